// The processing thread's work per 20 ms block (band filter, spectrum,
// keying detector, playback queuing on a file device), as a share of one
// core in real time, and the delay the station adds between a finished
// capture buffer and its filtered block reaching the playback device.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sndfile.h>

#include "dsp/band_filter.h"
#include "platform/audio_device.h"
#include "platform/kernel.h"
#include "station/audio/block_processing.h"
#include "station/audio/fatal_stop.h"
#include "station/audio/station_audio.h"
#include "station/net/icecast_push.h"
#include "station/net/icecast_shout.h"
#include "station/shell/station_settings.h"
#include "station_audio_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

using Posted = audiotest::StationAudioRig::Posted;

// The station's audio on file devices; completions are queued with the time
// they were posted and delivered by the benchmark thread, the "main thread".
struct Station : audiotest::StationAudioRig {
    explicit Station(int taps)
        : StationAudioRig(taps),
          dir(std::filesystem::temp_directory_path() / ("cw-bench-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir);
        useFiles("", 1);
        fatal.workingDirectory = dir.string();
        stationAudio->attachRelay(hooks);
    }
    ~Station() {
        stationAudio.reset(); // before the hooks go
        std::error_code error;
        std::filesystem::remove_all(dir, error);
    }
    // The default devices: capture reads `input` ("" for a card), playback
    // writes dir/out.wav, both `speed` times faster than real time.
    void useFiles(const std::string& input, int speed) {
        platform::AudioDeviceConfig files;
        files.inputFile = input;
        files.outputFile = (dir / "out.wav").string();
        files.fileSpeed = speed;
        audio.configure(files);
    }

    std::filesystem::path dir;
    station::CaptureHooks hooks;
};

std::vector<std::int16_t> toneBlock(std::size_t samples, std::size_t offset) {
    std::vector<std::int16_t> x(samples);
    for (std::size_t t = 0; t < samples; ++t) {
        const double n = static_cast<double>(t + offset);
        x[t] = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * M_PI * 840.0 * n / 8000.0) +
                                         3000.0 * std::sin(2.0 * M_PI * 2000.0 * n / 8000.0));
    }
    return x;
}

// processBlock + playBlock for one 160-sample block: the processing
// thread's work per block in the local mode. Arguments: taps, UDPSEND.
void BM_ProcessingThreadBlock(benchmark::State& state) {
    Station s(static_cast<int>(state.range(0)));
    s.settings.config.udpSend = state.range(1) != 0;
    s.settings.live.receiveBufferPackets = 60;
    s.useFiles("", 1000);
    if (s.stationAudio->playback.openPlayback(-1) != 0) {
        state.SkipWithError("no file playback device");
        return;
    }
    const auto input = toneBlock(160 * 50, 0);
    std::vector<std::int16_t> block(160);
    std::size_t k = 0;
    Clock::duration busy{};
    for (auto _ : state) {
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(160 * (k % 50)), 160, block.begin());
        const auto start = Clock::now();
        station::processBlock(*s.processor, s.settings, *s.filter, block.data(), 320, s.sink);
        s.stationAudio->playback.playBlock(block.data(), 320);
        busy += Clock::now() - start;
        if (++k % 40 == 0) {
            // The main thread's part, outside the measurement.
            state.PauseTiming();
            while (s.stationAudio->playback.playbackQueued() > 0) {
                s.pump();
                std::this_thread::yield();
            }
            state.ResumeTiming();
        }
    }
    s.stationAudio->playback.closePlayback();
    s.pump();
    // Real time per block over the block's 20 ms, in percent of one core.
    const double perBlockUs = std::chrono::duration<double, std::micro>(busy).count() /
                              static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
    state.counters["us_per_block"] = perBlockUs;
    state.counters["core_pct"] = perBlockUs / 20000.0 * 100.0;
}
BENCHMARK(BM_ProcessingThreadBlock)->Args({256, 0})->Args({1024, 0})->Args({1024, 1})->UseRealTime();

// An Icecast server as the push sees it: up (takes every page at once),
// slow (takes 300 ms per page, far behind the audio) or down (nobody
// listens on the port).
enum class Server { none, up, slow, down };

class BenchConnection final : public station::IcecastConnection {
  public:
    explicit BenchConnection(bool slow) : slow_(slow) {}
    OpenResult open(const station::IcecastTarget&, const station::IcecastStreamInfo&, std::stop_token) override {
        return OpenResult::Connected;
    }
    SendResult send(std::span<const std::uint8_t>) override {
        if (slow_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return SendResult::Sent;
    }
    void close() override {}

  private:
    bool slow_;
};

std::unique_ptr<station::IcecastPush> makePush(Server server) {
    if (server == Server::none) {
        return nullptr;
    }
    auto connection = server == Server::down ? station::makeShoutConnection()
                                             : std::make_unique<BenchConnection>(server == Server::slow);
    return std::make_unique<station::IcecastPush>(*station::parseIcecastUrl("http://source:x@127.0.0.1:1/bench"),
                                                  station::IcecastStreamInfo{}, std::move(connection),
                                                  station::makeOpusOggEncoder(), station::IcecastPush::Timing{});
}

// Capture at real speed from a file, 1024 taps: for each finished capture
// buffer, the time from its completion being posted until its filtered
// block has been written to the playback device (window-message delivery,
// ring, wake-up, filtering, queuing). Device buffering comes on top.
// Argument: the Icecast push, none or to a server up, slow or down; the
// delay should not depend on it.
void BM_CaptureToPlaybackLatency(benchmark::State& state) {
    Station s(1024);
    const auto push = makePush(static_cast<Server>(state.range(0)));
    if (push) {
        s.stationAudio->playback.setPlayedBlockTap(push.get());
        push->start();
    }
    const std::string input = (s.dir / "in.wav").string();
    {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
        const auto samples = toneBlock(8000 * 3, 0);
        sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(file);
    }
    s.useFiles(input, 1);
    s.settings.live.receiveBufferPackets = 60;
    std::vector<double> latencyUs;
    latencyUs.reserve(400);
    for (auto _ : state) {
        if (s.stationAudio->playback.openPlayback(-1) != 0 || s.stationAudio->capture.openCapture(-1) != 0) {
            state.SkipWithError("no file devices");
            return;
        }
        const auto end = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < end) {
            Posted p{};
            if (!s.next(p)) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            const std::uint64_t written = s.stationAudio->playback.blocksWritten();
            s.stationAudio->handleMessage(p.message, p.wParam, p.lParam);
            if (p.message != platform::MM_WIM_DATA) {
                continue;
            }
            // Wait (at most one block) for this buffer's block to be written.
            const auto limit = Clock::now() + std::chrono::milliseconds(20);
            while (s.stationAudio->playback.blocksWritten() == written && Clock::now() < limit) {
                std::this_thread::yield();
            }
            if (s.stationAudio->playback.blocksWritten() != written) {
                latencyUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - p.at).count());
            }
        }
        s.stationAudio->capture.closeCapture();
        s.stationAudio->playback.closePlayback();
        s.pump();
    }
    if (push) {
        s.stationAudio->playback.setPlayedBlockTap(nullptr);
        state.counters["push_dropped"] = static_cast<double>(push->blocksDropped());
        state.counters["push_encoded"] = static_cast<double>(push->blocksEncoded());
        push->stop();
    }
    if (latencyUs.empty()) {
        state.SkipWithError("no block reached the playback device");
        return;
    }
    std::sort(latencyUs.begin(), latencyUs.end());
    double sum = 0.0;
    for (double v : latencyUs) {
        sum += v;
    }
    state.counters["blocks"] = static_cast<double>(latencyUs.size());
    state.counters["mean_us"] = sum / static_cast<double>(latencyUs.size());
    state.counters["p50_us"] = latencyUs[latencyUs.size() / 2];
    state.counters["p99_us"] = latencyUs[latencyUs.size() * 99 / 100];
    state.counters["max_us"] = latencyUs.back();
}
BENCHMARK(BM_CaptureToPlaybackLatency)
    ->ArgName("icecast_none_up_slow_down")
    ->DenseRange(0, 3)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
