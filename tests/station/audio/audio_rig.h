#pragma once
// A station's audio side on file devices, with the completion messages
// queued here and delivered on the test thread, which plays the main thread.

#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dsp/band_filter.h"
#include "platform/audio_device.h"
#include "platform/kernel.h"
#include "platform/messages.h"
#include "station/audio/block_processing.h"
#include "station/audio/fatal_stop.h"
#include "station/audio/station_audio.h"
#include "station/shell/station_settings.h"
#include "station_audio_rig.h"

namespace audiotest {

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cw-audio-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const char* name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline bool writeWav(const std::string& path, const std::vector<std::int16_t>& samples, int rate = 8000) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    const sf_count_t n = sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return n == static_cast<sf_count_t>(samples.size());
}

inline std::vector<std::int16_t> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return {};
    }
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames));
    const sf_count_t n = sf_read_short(file, samples.data(), info.frames);
    sf_close(file);
    samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(n, 0)));
    return samples;
}

// Sum of tones: (frequency Hz, amplitude) pairs at 8000 Hz.
inline std::vector<std::int16_t> tones(std::size_t count, const std::vector<std::pair<double, double>>& parts) {
    std::vector<std::int16_t> out(count);
    for (std::size_t t = 0; t < count; ++t) {
        double v = 0.0;
        for (const auto& [hz, amplitude] : parts) {
            v += amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(t) / 8000.0);
        }
        out[t] = static_cast<std::int16_t>(std::lround(v));
    }
    return out;
}

// Amplitude of the component at `hz`, Hann-windowed so that the other tone
// leaks less than −100 dB into it.
inline double toneAmplitude(const std::vector<std::int16_t>& x, std::size_t from, std::size_t count, double hz) {
    double re = 0.0;
    double im = 0.0;
    double windowSum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(count));
        const double phase = 2.0 * M_PI * hz * static_cast<double>(i) / 8000.0;
        re += w * x[from + i] * std::cos(phase);
        im += w * x[from + i] * std::sin(phase);
        windowSum += w;
    }
    return 2.0 * std::hypot(re, im) / windowSum;
}

// Records every hook call; occupancy answers are set by the test.
struct CountingHooks : station::CaptureHooks {
    std::atomic<int> toClients{0}, toServer{0}, toSlot0{0};
    bool any = false, slot0 = false, connected = false;
    void relayToClients(const std::int16_t*, std::int32_t) override { ++toClients; }
    void relayToServer(const std::int16_t*, std::int32_t) override { ++toServer; }
    void sendProcessedToSlot0(const std::int16_t*, std::int32_t) override { ++toSlot0; }
    bool anySlotOccupied() override { return any; }
    bool slot0Occupied() override { return slot0; }
    bool clientConnected() override { return connected; }
};

// The station's audio on file devices (useFiles), its relay hooks and its
// fatal stops' quits counted.
struct AudioRig : StationAudioRig {
    explicit AudioRig(station::CaptureHooks* customHooks = nullptr) {
        fatal.audio = &audio;
        fatal.workingDirectory = dir.path().string();
        fatal.executableDirectory = dir.path().string();
        fatal.postQuit = [this](int) { ++quits; };
        stationAudio->attachRelay(customHooks ? *customHooks : hooks);
    }
    ~AudioRig() {
        stationAudio.reset(); // before the hooks go
    }

    // From the next open, the default capture device reads `input` ("" for
    // a card) and the default playback device writes `output`, `speed` times
    // faster than real time.
    void useFiles(const std::string& input, const std::string& output, int speed) {
        platform::AudioDeviceConfig files;
        files.inputFile = input;
        files.outputFile = output;
        files.fileSpeed = speed;
        audio.configure(files);
    }

    // Pumps until `done` or the time-out; returns done().
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            pump();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

    TempDir dir;
    int quits = 0;
    CountingHooks hooks;
};

} // namespace audiotest
