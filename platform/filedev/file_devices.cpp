// The WAV-file devices: a file read or written at a steady pace.

#include "platform/core/audio_engine.h"
#include "platform/filedev/file_reader.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace platform::audio {

namespace {

constexpr std::size_t scratchSamples = 4096;

// The first point at or after `t` of the grid of multiples of `step` on the
// clock.
Clock::time_point gridCeiling(Clock::time_point t, Clock::duration step) {
    if (step <= Clock::duration::zero()) {
        return t;
    }
    const Clock::duration past = t.time_since_epoch() % step;
    return past == Clock::duration::zero() ? t : t + (step - past);
}

// Real-time pacing of a file device: each buffer is finished one buffer
// duration (divided by the speed) after the previous one. Deadlines follow
// each other exactly, so wake-up jitter does not accumulate into drift.
// A device that starts, or had run dry, finishes its next buffer at the
// first point of the clock's grid of buffer durations at least one
// duration away: the file devices of a station then finish their buffers
// at the same moments, and the window thread, which gets every completion,
// can take a recorded and a played buffer in one wake-up.
class Pacer {
  public:
    explicit Pacer(int speed) : speed_(speed) {}
    void restart(Clock::time_point now, bool running) {
        last_ = now;
        continuous_ = running;
        armed_ = false;
    }
    // Deadline of the buffer at the front, of `samples` samples.
    Clock::time_point deadline(std::size_t samples, Clock::time_point now) {
        if (!armed_) {
            const Clock::duration duration = blockDuration(samples, speed_);
            deadline_ = continuous_ ? last_ + duration : gridCeiling(now + duration, duration);
            armed_ = true;
        }
        return deadline_;
    }
    void finished(bool moreQueued) {
        last_ = deadline_;
        armed_ = false;
        continuous_ = moreQueued;
    }

  private:
    int speed_;
    Clock::time_point last_{};
    Clock::time_point deadline_{};
    bool continuous_ = false;
    bool armed_ = false;
};

constexpr auto idleWait = std::chrono::seconds(1);

class FileCaptureEngine final : public Engine {
  public:
    FileCaptureEngine(int speed) : pacer_(speed), scratch_(scratchSamples) {}
    MonoFileReader reader;

    AudioResult begin(Clock::time_point now) override {
        pacer_.restart(now, false);
        return MMSYSERR_NOERROR;
    }
    void halt() override { pacer_.restart(Clock::time_point{}, false); }
    bool servesBuffersBehindOthers() const override { return false; }

    Clock::time_point service(DeviceCore& core, Clock::time_point now) override {
        while (core.started && !core.queue.empty()) {
            WaveHeader* h = core.queue.front();
            const std::size_t samples = h->bufferLength / 2;
            const Clock::time_point due = pacer_.deadline(samples, now);
            if (now < due) {
                return due;
            }
            fill(*h, samples);
            core.completeFront();
            pacer_.finished(!core.queue.empty());
        }
        return now + idleWait;
    }

  private:
    // The file's samples, then silence once it has ended.
    void fill(WaveHeader& h, std::size_t samples) {
        auto* bytes = reinterpret_cast<unsigned char*>(h.data);
        for (std::size_t done = 0; done < samples;) {
            const std::size_t want = std::min(samples - done, scratch_.size());
            const std::size_t got = reader.read(scratch_.data(), want);
            std::fill(scratch_.begin() + static_cast<std::ptrdiff_t>(got),
                      scratch_.begin() + static_cast<std::ptrdiff_t>(want), 0.0f);
            for (std::size_t i = 0; i < want; ++i) {
                const auto s = static_cast<std::uint16_t>(floatToPcm16(scratch_[i]));
                bytes[2 * (done + i)] = static_cast<unsigned char>(s & 0xFF);
                bytes[2 * (done + i) + 1] = static_cast<unsigned char>(s >> 8);
            }
            done += want;
        }
        h.bytesRecorded = static_cast<std::uint32_t>(samples * 2);
    }

    Pacer pacer_;
    std::vector<float> scratch_;
};

class FilePlaybackEngine final : public Engine {
  public:
    // `file` may be null: the recording could not be created, and the
    // device plays into nothing at the same pace.
    FilePlaybackEngine(SNDFILE* file, int speed) : file_(file), pacer_(speed), scratch_(scratchSamples) {}
    ~FilePlaybackEngine() override {
        if (file_ != nullptr) {
            sf_close(file_);
        }
    }
    FilePlaybackEngine(const FilePlaybackEngine&) = delete;
    FilePlaybackEngine& operator=(const FilePlaybackEngine&) = delete;

    void halt() override { pacer_.restart(Clock::time_point{}, false); }
    bool servesBuffersBehindOthers() const override { return false; }

    // A buffer is written to the file when it has played, just before it
    // is done: a done buffer is always in the file, and one a reset took
    // back never is. The write delays this service's completions by a
    // page-cache write; those of a capture file device served in the same
    // pass leave with them.
    Clock::time_point service(DeviceCore& core, Clock::time_point now) override {
        while (!core.queue.empty()) {
            WaveHeader* h = core.queue.front();
            const std::size_t samples = h->bufferLength / 2;
            const Clock::time_point due = pacer_.deadline(samples, now);
            if (now < due) {
                return due;
            }
            write(*h, samples);
            core.completeFront();
            pacer_.finished(!core.queue.empty());
        }
        return now + idleWait;
    }

  private:
    // The header is rewritten with every write, so the file stays valid at
    // any moment.
    void write(const WaveHeader& h, std::size_t samples) {
        if (file_ == nullptr || writeFailed_) {
            return;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(h.data);
        for (std::size_t done = 0; done < samples;) {
            const std::size_t n = std::min(samples - done, scratch_.size());
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t b = 2 * (done + i);
                scratch_[i] = static_cast<short>(static_cast<std::uint16_t>(bytes[b] | (bytes[b + 1] << 8)));
            }
            const auto count = static_cast<sf_count_t>(n);
            if (sf_write_short(file_, scratch_.data(), count) != count) {
                writeFailed_ = true; // told once: a full disk would say it fifty times a second
                std::fprintf(stderr, "SELVANE_OUTPUT: %s; the recording stops growing here\n", sf_strerror(file_));
                return;
            }
            done += n;
        }
    }

    SNDFILE* file_;
    bool writeFailed_ = false;
    Pacer pacer_;
    std::vector<short> scratch_;
};

} // namespace

namespace {

template <typename Source>
std::unique_ptr<Engine> makeFileCaptureFrom(const Source& source, int speed, AudioResult& error) {
    auto engine = std::make_unique<FileCaptureEngine>(speed);
    if (!engine->reader.open(source, stationRate)) {
        error = MMSYSERR_ERROR;
        return nullptr;
    }
    return engine;
}

} // namespace

std::unique_ptr<Engine> makeFileCapture(const std::string& path, int speed, AudioResult& error) {
    return makeFileCaptureFrom(path, speed, error);
}

std::unique_ptr<Engine> makeFileCapture(std::span<const std::uint8_t> bytes, int speed, AudioResult& error) {
    return makeFileCaptureFrom(bytes, speed, error);
}

std::unique_ptr<Engine> makeFilePlayback(const std::string& path, bool append, int speed) {
    SNDFILE* file = nullptr;
    if (append) {
        SF_INFO info{};
        file = sf_open(path.c_str(), SFM_RDWR, &info);
        const bool ours = file != nullptr && info.samplerate == stationRate && info.channels == 1 &&
                          info.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        if (ours && sf_seek(file, 0, SEEK_END) >= 0) {
            // continue after the earlier recording
        } else if (file != nullptr) {
            sf_close(file);
            file = nullptr;
        }
    }
    if (file == nullptr) {
        SF_INFO info{};
        info.samplerate = stationRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        file = sf_open(path.c_str(), SFM_WRITE, &info);
    }
    // The file stands in for a sound card: a recording that cannot be kept
    // (read-only folder, full disk) is told about but does not take the
    // device away from the station.
    if (file == nullptr) {
        std::fprintf(stderr, "SELVANE_OUTPUT: cannot write \"%s\": %s; playing into nothing\n", path.c_str(),
                     sf_strerror(nullptr));
    } else {
        sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    }
    return std::make_unique<FilePlaybackEngine>(file, speed);
}

bool fileIsReadable(const std::string& path) {
    MonoFileReader reader;
    return reader.open(path, stationRate);
}

} // namespace platform::audio
