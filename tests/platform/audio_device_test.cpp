// Audio devices without a sound card: the WAV-file devices, the header
// contract around them, and the lock-free ring under the card devices.

#include "platform/audio_device.h"
#include "platform/core/audio_engine.h"
#include "platform/filedev/file_reader.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace platform;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr double pi = 3.14159265358979323846;

struct Completion {
    unsigned message;
    WParam handle;
    WaveHeader* header;
    std::chrono::steady_clock::time_point at;
    std::thread::id thread;
};

// The notify target: records completions as the message queue would.
class Collector {
  public:
    WaveNotify notify() {
        return [this](unsigned message, WParam w, LParam l) {
            const std::lock_guard lock(m_);
            got_.push_back({message, w, reinterpret_cast<WaveHeader*>(l), std::chrono::steady_clock::now(),
                            std::this_thread::get_id()});
            cv_.notify_all();
        };
    }
    bool waitFor(std::size_t n, milliseconds timeout = milliseconds(10000)) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout, [&] { return got_.size() >= n; });
    }
    std::vector<Completion> all() {
        const std::lock_guard lock(m_);
        return got_;
    }
    std::size_t count() {
        const std::lock_guard lock(m_);
        return got_.size();
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Completion> got_;
};

// Caller-owned buffers, as the station's slots are.
struct Slots {
    Slots(std::size_t n, std::uint32_t bytes) : data(n, std::vector<char>(bytes)), headers(n) {
        for (std::size_t i = 0; i < n; ++i) {
            headers[i].data = data[i].data();
            headers[i].bufferLength = bytes;
        }
    }
    std::vector<std::vector<char>> data;
    std::vector<WaveHeader> headers;
};

std::int16_t sampleAt(const WaveHeader& h, std::size_t i) {
    const auto* b = reinterpret_cast<const unsigned char*>(h.data);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
}

class AudioDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("audio_device_test_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // `channelValue(frame, channel)` in -1 … 1.
    template <typename F>
    std::string writeWav(const std::string& name, int rate, int channels, int frames, F channelValue) {
        const std::string path = (dir / name).string();
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
        std::vector<float> frame(static_cast<std::size_t>(channels));
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c)
                frame[static_cast<std::size_t>(c)] = static_cast<float>(channelValue(i, c));
            sf_writef_float(f, frame.data(), 1);
        }
        sf_close(f);
        return path;
    }

    // Opens the file capture device, queues every slot and starts it.
    WaveHandle startCapture(AudioSystem& audio, Collector& sink, Slots& slots) {
        WaveHandle h = 0;
        EXPECT_EQ(audio.openCapture(-1, sink.notify(), h), MMSYSERR_NOERROR);
        for (auto& header : slots.headers) {
            EXPECT_EQ(audio.prepareHeader(h, &header), MMSYSERR_NOERROR);
            EXPECT_EQ(audio.addBuffer(h, &header), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(audio.start(h), MMSYSERR_NOERROR);
        return h;
    }

    fs::path dir;
    AudioDeviceConfig config; // no files, no named cards unless a test says
};

std::vector<std::int16_t> samplesInOrder(const std::vector<Completion>& done) {
    std::vector<std::int16_t> out;
    for (const auto& c : done) {
        for (std::size_t i = 0; i < c.header->bytesRecorded / 2; ++i)
            out.push_back(sampleAt(*c.header, i));
    }
    return out;
}

TEST_F(AudioDeviceTest, FileCaptureDownmixesAndResamplesThenGivesSilence) {
    // 0.5 s of 600 Hz at 44100 Hz stereo; left 0.7, right 0.3 of full scale,
    // so the mono mix (their mean) is 0.5.
    const int rate = 44100, frames = rate / 2;
    const std::string path = writeWav("sine.wav", rate, 2, frames, [&](int i, int c) {
        return (c == 0 ? 0.7 : 0.3) * std::sin(2 * pi * 600.0 * i / rate);
    });
    config.inputFile = path;
    config.fileSpeed = 100;

    AudioSystem audio(config);
    Collector sink;
    Slots slots(40, 320); // 0.8 s: the file, then silence
    const WaveHandle h = startCapture(audio, sink, slots);
    ASSERT_TRUE(sink.waitFor(40)) << "expected 40 buffers, got " << sink.count();
    const auto done = sink.all();
    for (std::size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].message, MM_WIM_DATA);
        EXPECT_EQ(done[i].handle, h);
        EXPECT_EQ(done[i].header, &slots.headers[i]) << "buffers must return in queue order";
        EXPECT_EQ(done[i].header->bytesRecorded, 320u);
        EXPECT_TRUE(done[i].header->flags & WHDR_DONE);
    }
    const std::vector<std::int16_t> pcm = samplesInOrder(done);
    ASSERT_EQ(pcm.size(), 40u * 160u);

    // Steady part of the tone: frequency by rising zero crossings, amplitude by peak.
    int crossings = 0, peak = 0;
    for (std::size_t i = 400; i < 3600; ++i) {
        if (pcm[i - 1] < 0 && pcm[i] >= 0)
            ++crossings;
        peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
    }
    const double hz = crossings / (3200.0 / 8000.0);
    EXPECT_NEAR(hz, 600.0, 5.0) << "expected 600 Hz, got " << hz;
    EXPECT_NEAR(peak, 16384, 16384 * 0.03) << "expected the mean of both channels (0.5 of full scale), got " << peak;

    // After the file (4000 samples at 8000 Hz, plus the converter's short tail): silence.
    for (std::size_t i = 4200; i < pcm.size(); ++i) {
        ASSERT_EQ(pcm[i], 0) << "expected silence after the end of the file, got " << pcm[i] << " at " << i;
    }
    EXPECT_EQ(audio.reset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(audio.close(h), MMSYSERR_NOERROR);
}

TEST_F(AudioDeviceTest, FileCaptureAt8000HzMonoIsBitExact) {
    const std::string path = (dir / "ramp.wav").string();
    {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        std::vector<short> ramp(800);
        for (int i = 0; i < 800; ++i)
            ramp[static_cast<std::size_t>(i)] = static_cast<short>((i * 97) % 65536 - 32768);
        sf_write_short(f, ramp.data(), 800);
        sf_close(f);
    }
    config.inputFile = path;
    config.fileSpeed = 1000;
    AudioSystem audio(config);
    Collector sink;
    Slots slots(5, 320);
    const WaveHandle h = startCapture(audio, sink, slots);
    ASSERT_TRUE(sink.waitFor(5));
    const std::vector<std::int16_t> pcm = samplesInOrder(sink.all());
    for (int i = 0; i < 800; ++i) {
        ASSERT_EQ(pcm[static_cast<std::size_t>(i)], (i * 97) % 65536 - 32768) << "sample " << i;
    }
    audio.close(h);
}

TEST_F(AudioDeviceTest, FileCaptureTurnsNotANumberIntoSilence) {
    // A float file may hold any bit pattern; NaN and the infinities must
    // come out as defined samples, the finite ones untouched around them.
    const std::string path = (dir / "float.wav").string();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {0.25f, nan, -0.5f, inf, -inf, -nan, 0.125f};
    {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        sf_write_float(f, values.data(), static_cast<sf_count_t>(values.size()));
        sf_close(f);
    }
    config.inputFile = path;
    config.fileSpeed = 1000;
    AudioSystem audio(config);
    Collector sink;
    Slots slots(1, 320);
    const WaveHandle h = startCapture(audio, sink, slots);
    ASSERT_TRUE(sink.waitFor(1));
    const std::vector<std::int16_t> pcm = samplesInOrder(sink.all());
    const std::int16_t want[] = {8192, 0, -16384, 32767, -32768, 0, 4096, 0};
    for (std::size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(pcm[i], want[i]) << "sample " << i;
    }
    audio.close(h);
}

TEST_F(AudioDeviceTest, FileReaderFromMemoryReadsAsFromThePath) {
    const std::string path =
        writeWav("stereo.wav", 11025, 2, 3000, [](int i, int c) { return (c == 0 ? 0.4 : -0.2) * std::sin(i * 0.05); });
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto readAll = [](audio::MonoFileReader& reader) {
        std::vector<float> samples;
        float chunk[1000];
        for (std::size_t n = 1; n > 0;) {
            n = reader.read(chunk, std::size(chunk));
            samples.insert(samples.end(), chunk, chunk + n);
        }
        return samples;
    };
    audio::MonoFileReader fromPath;
    ASSERT_TRUE(fromPath.open(path, 8000));
    const std::vector<float> expected = readAll(fromPath);
    ASSERT_GT(expected.size(), 2000u);

    struct Case {
        const char* what;
        std::size_t bytes;
        bool opens;
    };
    for (const Case c :
         {Case{"the whole file", bytes.size(), true}, Case{"half a header", 22, false}, Case{"nothing", 0, false}}) {
        SCOPED_TRACE(c.what);
        audio::MonoFileReader fromMemory;
        ASSERT_EQ(fromMemory.open(std::span(bytes.data(), c.bytes), 8000), c.opens);
        if (c.opens) {
            EXPECT_EQ(readAll(fromMemory), expected);
        }
    }
}

TEST_F(AudioDeviceTest, SpeedSettingPacesFileCapture) {
    const std::string path = writeWav("quiet.wav", 8000, 1, 100, [](int, int) { return 0.0; });
    config.inputFile = path;
    struct Case {
        int speed;
        std::size_t buffers;
        double expectedMs; // buffers × 20 ms / speed
    };
    for (const Case c : {Case{20, 50, 50.0}, Case{5, 25, 100.0}}) {
        SCOPED_TRACE("speed " + std::to_string(c.speed));
        config.fileSpeed = c.speed;
        AudioSystem audio(config);
        Collector sink;
        Slots slots(c.buffers, 320);
        const auto t0 = std::chrono::steady_clock::now();
        const WaveHandle h = startCapture(audio, sink, slots);
        ASSERT_TRUE(sink.waitFor(c.buffers));
        const double ms = std::chrono::duration<double, std::milli>(sink.all().back().at - t0).count();
        // Never early; late only by scheduling, far from real time (×speed).
        EXPECT_GE(ms, c.expectedMs * 0.95) << "expected about " << c.expectedMs << " ms, got " << ms;
        EXPECT_LE(ms, c.expectedMs * 2 + 100) << "expected about " << c.expectedMs << " ms, got " << ms;
        audio.close(h);
    }
}

TEST_F(AudioDeviceTest, OpensThatCannotWorkFailCleanly) {
    std::ofstream(dir / "notes.txt") << "not a sound file";
    AudioSystem audio(config);
    Collector sink;
    struct Case {
        const char* what;
        bool capture;
        std::string input, output;
        int index;
    };
    const Case cases[] = {
        {"missing input file", true, (dir / "missing.wav").string(), "", -1},
        {"input file that is not audio", true, (dir / "notes.txt").string(), "", -1},
        {"capture index past the card list", true, "", "", audio.captureDeviceCount()},
        {"playback index past the card list", false, "", "", audio.playbackDeviceCount()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        config.inputFile = c.input;
        config.outputFile = c.output;
        AudioSystem configured(config);
        WaveHandle h = 0;
        const AudioResult r = c.capture ? configured.openCapture(c.index, sink.notify(), h)
                                        : configured.openPlayback(c.index, sink.notify(), h);
        EXPECT_NE(r, MMSYSERR_NOERROR);
        EXPECT_EQ(h, 0u) << "a failed open must not hand out a handle";
    }
    EXPECT_EQ(audio.captureDeviceName(audio.captureDeviceCount()), "");
    EXPECT_EQ(audio.playbackDeviceName(-2), "");
}

std::vector<short> readWav(const std::string& path, SF_INFO& info) {
    info = SF_INFO{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<short> pcm;
    if (f == nullptr)
        return pcm;
    pcm.resize(static_cast<std::size_t>(info.frames));
    pcm.resize(static_cast<std::size_t>(sf_read_short(f, pcm.data(), info.frames)));
    sf_close(f);
    return pcm;
}

// A recording that cannot be kept does not take the device away: it plays
// into nothing at its pace, and says so once.
TEST_F(AudioDeviceTest, UnwritableFilePlaybackStillPlays) {
    config.outputFile = (dir / "no-such-folder" / "out.wav").string();
    config.fileSpeed = 100;
    AudioSystem audio(config);
    Collector sink;
    Slots slots(4, 320);
    ::testing::internal::CaptureStderr();
    WaveHandle h = 0;
    ASSERT_EQ(audio.openPlayback(-1, sink.notify(), h), MMSYSERR_NOERROR);
    for (auto& header : slots.headers) {
        ASSERT_EQ(audio.prepareHeader(h, &header), MMSYSERR_NOERROR);
        ASSERT_EQ(audio.write(h, &header), MMSYSERR_NOERROR);
    }
    const bool played = sink.waitFor(4);
    EXPECT_EQ(audio.close(h), MMSYSERR_NOERROR);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(played) << "the blocks never came back";
    EXPECT_NE(said.find("SELVANE_OUTPUT: cannot write"), std::string::npos) << said;
    EXPECT_FALSE(std::filesystem::exists(dir / "no-such-folder"));
}

TEST_F(AudioDeviceTest, FilePlaybackWritesExactSamplesInOrder) {
    const std::string out = (dir / "out.wav").string();
    config.outputFile = out;
    config.fileSpeed = 100;
    AudioSystem audio(config);
    Collector sink;
    Slots slots(12, 320);
    std::vector<short> expected;
    for (std::size_t b = 0; b < slots.headers.size(); ++b) {
        auto* bytes = reinterpret_cast<unsigned char*>(slots.data[b].data());
        for (std::size_t i = 0; i < 160; ++i) {
            const auto s = static_cast<std::int16_t>(static_cast<int>(b * 160 + i) * 421 - 30000);
            bytes[2 * i] = static_cast<unsigned char>(static_cast<std::uint16_t>(s) & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(static_cast<std::uint16_t>(s) >> 8);
            expected.push_back(s);
        }
    }
    auto play = [&](std::size_t from, std::size_t to) -> WaveHandle {
        WaveHandle h = 0;
        EXPECT_EQ(audio.openPlayback(-1, sink.notify(), h), MMSYSERR_NOERROR);
        for (std::size_t b = from; b < to; ++b) {
            EXPECT_EQ(audio.prepareHeader(h, &slots.headers[b]), MMSYSERR_NOERROR);
            EXPECT_EQ(audio.write(h, &slots.headers[b]), MMSYSERR_NOERROR);
        }
        return h;
    };
    const WaveHandle first = play(0, 10);
    ASSERT_TRUE(sink.waitFor(10));
    auto done = sink.all();
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(done[i].message, MM_WOM_DONE);
        EXPECT_EQ(done[i].handle, first);
        EXPECT_EQ(done[i].header, &slots.headers[i]) << "played out of order at " << i;
    }

    // Valid while the device is still open: a crash now loses nothing played.
    SF_INFO info;
    std::vector<short> pcm = readWav(out, info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    ASSERT_EQ(pcm.size(), 1600u);
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), expected.begin()));
    EXPECT_EQ(audio.close(first), MMSYSERR_NOERROR);

    // Reopening the default output (a device switch) continues the file.
    const WaveHandle second = play(10, 12);
    ASSERT_TRUE(sink.waitFor(12));
    EXPECT_EQ(audio.close(second), MMSYSERR_NOERROR);
    pcm = readWav(out, info);
    ASSERT_EQ(pcm.size(), expected.size()) << "expected the reopened device to append";
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), expected.begin()));
}

// The recording and the played file are served by one thread, so that the
// window thread gets both buffers of a block from one wake-up.
TEST_F(AudioDeviceTest, FileDevicesHandBackBuffersFromOneThread) {
    config.inputFile = writeWav("tone.wav", 8000, 1, 8000, [](int i, int) { return 0.25 * std::sin(i * 0.3); });
    config.outputFile = (dir / "out.wav").string();
    config.fileSpeed = 10;
    AudioSystem audio(config);
    Collector sink;
    Slots recorded(6, 320);
    Slots played(6, 320);
    WaveHandle out = 0;
    ASSERT_EQ(audio.openPlayback(-1, sink.notify(), out), MMSYSERR_NOERROR);
    for (auto& header : played.headers) {
        ASSERT_EQ(audio.prepareHeader(out, &header), MMSYSERR_NOERROR);
        ASSERT_EQ(audio.write(out, &header), MMSYSERR_NOERROR);
    }
    const WaveHandle in = startCapture(audio, sink, recorded);
    ASSERT_TRUE(sink.waitFor(12));
    const std::vector<Completion> done = sink.all();
    for (const Completion& c : done) {
        EXPECT_EQ(c.thread, done.front().thread) << "message " << c.message << " came from another thread";
    }
    EXPECT_NE(done.front().thread, std::this_thread::get_id());
    EXPECT_EQ(audio.close(in), MMSYSERR_NOERROR);
    EXPECT_EQ(audio.close(out), MMSYSERR_NOERROR);
}

TEST_F(AudioDeviceTest, ResetReturnsEveryQueuedBuffer) {
    const std::string in = writeWav("tone.wav", 8000, 1, 8000, [](int i, int) { return 0.25 * std::sin(i * 0.3); });
    const std::string out = (dir / "out.wav").string();
    config.inputFile = in;
    config.outputFile = out;
    AudioSystem audio(config); // real time: one-second buffers cannot finish during the test
    for (const bool capture : {true, false}) {
        SCOPED_TRACE(capture ? "capture" : "playback");
        Collector sink;
        Slots slots(5, 16000);
        WaveHandle h = 0;
        ASSERT_EQ(capture ? audio.openCapture(-1, sink.notify(), h) : audio.openPlayback(-1, sink.notify(), h),
                  MMSYSERR_NOERROR);
        for (auto& header : slots.headers) {
            ASSERT_EQ(audio.prepareHeader(h, &header), MMSYSERR_NOERROR);
            ASSERT_EQ(capture ? audio.addBuffer(h, &header) : audio.write(h, &header), MMSYSERR_NOERROR);
            EXPECT_TRUE(header.flags & WHDR_INQUEUE);
        }
        WaveHeader& first = slots.headers[0];
        EXPECT_EQ(audio.unprepareHeader(h, &first), WAVERR_STILLPLAYING) << "a queued header belongs to the device";
        EXPECT_EQ(capture ? audio.addBuffer(h, &first) : audio.write(h, &first), WAVERR_STILLPLAYING);
        if (capture) {
            EXPECT_EQ(audio.start(h), MMSYSERR_NOERROR);
        }

        EXPECT_EQ(audio.reset(h), MMSYSERR_NOERROR);
        const auto done = sink.all(); // delivered before reset returned
        ASSERT_EQ(done.size(), 5u);
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(done[i].message, capture ? MM_WIM_DATA : MM_WOM_DONE);
            EXPECT_EQ(done[i].header, &slots.headers[i]);
            EXPECT_EQ(done[i].header->flags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
            if (capture) {
                EXPECT_EQ(done[i].header->bytesRecorded, 0u) << "nothing was recorded yet";
            }
            EXPECT_EQ(audio.unprepareHeader(h, done[i].header), MMSYSERR_NOERROR);
        }
        // A reset device takes buffers again.
        ASSERT_EQ(audio.prepareHeader(h, &first), MMSYSERR_NOERROR);
        ASSERT_EQ(capture ? audio.addBuffer(h, &first) : audio.write(h, &first), MMSYSERR_NOERROR);
        EXPECT_EQ(audio.close(h), MMSYSERR_NOERROR);
        EXPECT_EQ(sink.count(), 6u) << "close returns what is still queued";
    }
    SF_INFO info;
    EXPECT_TRUE(readWav(out, info).empty()) << "buffers returned by reset were never played";
    EXPECT_EQ(info.samplerate, 8000) << "the output file must still be a valid WAV";
}

TEST_F(AudioDeviceTest, ClosedHandlesStayDeadAndAreNeverReused) {
    const std::string in = writeWav("tone.wav", 8000, 1, 800, [](int i, int) { return 0.1 * std::sin(i * 0.2); });
    config.inputFile = in;
    config.outputFile = (dir / "out.wav").string();
    AudioSystem audio(config);
    Collector sink;
    Slots slots(4, 16000);

    std::vector<WaveHandle> seen;
    WaveHandle old = 0;
    ASSERT_EQ(audio.openCapture(-1, sink.notify(), old), MMSYSERR_NOERROR);
    seen.push_back(old);
    for (auto& header : slots.headers) {
        ASSERT_EQ(audio.prepareHeader(old, &header), MMSYSERR_NOERROR);
        ASSERT_EQ(audio.addBuffer(old, &header), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(audio.start(old), MMSYSERR_NOERROR);
    ASSERT_EQ(audio.close(old), MMSYSERR_NOERROR);
    // The queued buffers came back, under the handle they were queued on.
    auto done = sink.all();
    ASSERT_EQ(done.size(), 4u);
    for (const auto& c : done)
        EXPECT_EQ(c.handle, old);

    // Everything on the old handle fails, the way a late completion handler sees it.
    WaveHeader& h0 = slots.headers[0];
    EXPECT_EQ(audio.unprepareHeader(old, &h0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(audio.prepareHeader(old, &h0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(audio.addBuffer(old, &h0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(audio.start(old), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(audio.reset(old), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(audio.close(old), MMSYSERR_INVALHANDLE);

    // A new device takes the same headers; the old handle cannot unprepare
    // them there, and the new device only ever reports its own handle.
    WaveHandle fresh = 0;
    ASSERT_EQ(audio.openCapture(-1, sink.notify(), fresh), MMSYSERR_NOERROR);
    seen.push_back(fresh);
    ASSERT_EQ(audio.prepareHeader(fresh, &h0), MMSYSERR_NOERROR);
    ASSERT_EQ(audio.addBuffer(fresh, &h0), MMSYSERR_NOERROR);
    EXPECT_EQ(audio.unprepareHeader(old, &h0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(audio.write(fresh, &h0), MMSYSERR_INVALHANDLE) << "write is for playback handles";
    ASSERT_EQ(audio.close(fresh), MMSYSERR_NOERROR);
    done = sink.all();
    ASSERT_EQ(done.size(), 5u);
    EXPECT_EQ(done.back().handle, fresh);

    for (int i = 0; i < 6; ++i) {
        WaveHandle h = 0;
        ASSERT_EQ(i % 2 ? audio.openCapture(-1, sink.notify(), h) : audio.openPlayback(-1, sink.notify(), h),
                  MMSYSERR_NOERROR);
        seen.push_back(h);
        ASSERT_EQ(audio.close(h), MMSYSERR_NOERROR);
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_NE(seen[i], 0u);
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_NE(seen[i], seen[j]) << "handle reused: " << seen[i];
    }
}

TEST_F(AudioDeviceTest, UnpreparedHeadersAreRefused) {
    config.outputFile = (dir / "out.wav").string();
    AudioSystem audio(config);
    Collector sink;
    WaveHandle h = 0;
    ASSERT_EQ(audio.openPlayback(-1, sink.notify(), h), MMSYSERR_NOERROR);
    Slots slots(1, 320);
    WaveHeader& header = slots.headers[0];
    EXPECT_EQ(audio.write(h, &header), WAVERR_UNPREPARED);
    EXPECT_EQ(audio.write(h, nullptr), MMSYSERR_INVALPARAM);
    WaveHeader noData;
    EXPECT_EQ(audio.prepareHeader(h, &noData), MMSYSERR_INVALPARAM);
    ASSERT_EQ(audio.prepareHeader(h, &header), MMSYSERR_NOERROR);
    EXPECT_EQ(audio.addBuffer(h, &header), MMSYSERR_INVALHANDLE) << "addBuffer is for capture handles";
    EXPECT_EQ(audio.unprepareHeader(h, &header), MMSYSERR_NOERROR);
    EXPECT_EQ(audio.write(h, &header), WAVERR_UNPREPARED);
    EXPECT_EQ(audio.close(h), MMSYSERR_NOERROR);
    EXPECT_EQ(sink.count(), 0u);
}

TEST_F(AudioDeviceTest, HeadlessSoundPlayOnlyReadsTheFile) {
    const std::string chord =
        writeWav("chord.wav", 22050, 1, 22050 * 3, [](int i, int) { return 0.3 * std::sin(i * 0.1); });
    config.outputFile = (dir / "out.wav").string();
    AudioSystem audio(config);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(audio.playSoundFileSync(chord));
    EXPECT_FALSE(audio.playSoundFileSync((dir / "missing.wav").string()));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1)) << "a 3 s sound must not be waited for";
}

TEST(SpscRingTest, CarriesEverySampleInOrderAcrossThreads) {
    audio::SpscRing ring(256);
    constexpr int total = 200000;
    std::thread producer([&] {
        float next = 0;
        std::array<float, 37> chunk;
        while (next < total) {
            std::size_t n = 0;
            for (; n < chunk.size() && next + static_cast<float>(n) < total; ++n)
                chunk[n] = next + static_cast<float>(n);
            const std::size_t put = ring.write(chunk.data(), n);
            next += static_cast<float>(put);
            if (put == 0)
                std::this_thread::yield();
        }
    });
    std::array<float, 53> got;
    float expect = 0;
    while (expect < total) {
        const std::size_t n = ring.read(got.data(), got.size());
        ASSERT_LE(ring.readable(), 256u);
        for (std::size_t i = 0; i < n; ++i, ++expect)
            ASSERT_EQ(got[i], expect);
        if (n == 0)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(ring.readPosition(), static_cast<std::uint64_t>(total));
    EXPECT_EQ(ring.writable(), 256u);
}

TEST(SampleConversionTest, RoundsAndClampsToSixteenBits) {
    const std::pair<float, int> cases[] = {
        {0.0f, 0},
        {0.5f, 16384},
        {-1.0f, -32768},
        {1.0f, 32767},
        {1.7f, 32767},
        {-3.0f, -32768},
        {100.4f / 32768, 100},
        {std::numeric_limits<float>::quiet_NaN(), 0},
        {-std::numeric_limits<float>::quiet_NaN(), 0},
        {std::numeric_limits<float>::infinity(), 32767},
        {-std::numeric_limits<float>::infinity(), -32768},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(audio::floatToPcm16(in), want) << "for " << in;
    }
}

TEST(DeviceByNameTest, ExactNameFirstThenFirstContainingIgnoringCase) {
    const std::vector<std::string> cards = {"HDA Intel PCH: ALC257 Analog (hw:0,0)", "USB Audio CODEC: Audio (hw:1,0)",
                                            "sysdefault", "default", "USB Audio CODEC: Audio (hw:2,0)"};
    const std::pair<const char*, int> cases[] = {
        {"default", 3}, {"DEFAULT", 3}, {"usb audio", 1}, {"hw:2,0", 4}, {"ALC257", 0}, {"codec: audio (hw:1", 1},
        {"pulse", -1},  {"", -1},
    };
    for (const auto& [wanted, position] : cases) {
        EXPECT_EQ(audio::findDeviceByName(cards, wanted), position) << "for \"" << wanted << '"';
    }
    EXPECT_EQ(audio::findDeviceByName({}, "default"), -1);
}

TEST_F(AudioDeviceTest, NamedCardThatIsNotThereFailsTheOpenAndAFileStillWins) {
    config.inputCard = "no card is called this";
    Collector sink;
    WaveHandle h = 0;
    {
        AudioSystem audio(config);
        const AudioResult missing = audio.soundSystemAvailable() ? MMSYSERR_BADDEVICEID : MMSYSERR_NODRIVER;
        EXPECT_EQ(audio.openCapture(-1, sink.notify(), h), missing);
    }
    config.inputFile = writeWav("in.wav", 8000, 1, 160, [](int, int) { return 0.0; });
    AudioSystem audio(config);
    ASSERT_EQ(audio.openCapture(-1, sink.notify(), h), MMSYSERR_NOERROR);
    EXPECT_EQ(audio.close(h), MMSYSERR_NOERROR);
}

} // namespace
