#pragma once
// The station's one process-wide record of roles, options, band, devices,
// display layout, gain and names, split by lifetime: the fixed configuration
// (StationConfig), the live settings the main thread changes while running
// (LiveSettings) and the band of the filter design in use (PublishedBand).

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/cp1251.h"

namespace station {

// The station's texts are Windows-1251 literals.
using platform::literals::operator""_cp1251;

// Caption of the main window, and the start of the tray tip.
inline constexpr auto stationCaption = "Фильтр НЧ для CW"_cp1251;

// filterLength that means the filter is off (no filtering, no band
// markers, no band editing with the mouse), taps.
inline constexpr std::int32_t filterOffTaps = 32;

// The band a filter was designed for: both edges (fractions of the sample
// rate) and the tap count.
struct BandSnapshot {
    float low = 0.1f;
    float high = 0.11f;
    std::int32_t taps = 256;
};

// One BandSnapshot shared between one writing thread and any number of
// readers, read and written whole: a reader never pairs an edge of one band
// with an edge or tap count of another. A sequence lock over atomic fields
// (no fences, which ThreadSanitizer cannot follow), so neither side waits
// on a lock.
class PublishedBand {
  public:
    // The writing thread only.
    void publish(const BandSnapshot& band) {
        const std::uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed); // odd: being written
        // Each field is released, so a reader that sees any new field also
        // sees the odd sequence number stored before it.
        low_.store(band.low, std::memory_order_release);
        high_.store(band.high, std::memory_order_release);
        taps_.store(band.taps, std::memory_order_release);
        sequence_.store(sequence + 2, std::memory_order_release);
    }
    // Any thread. Retries only while a publish is under way (a few stores).
    BandSnapshot read() const {
        for (;;) {
            const std::uint32_t before = sequence_.load(std::memory_order_acquire);
            const BandSnapshot band{low_.load(std::memory_order_acquire), high_.load(std::memory_order_acquire),
                                    taps_.load(std::memory_order_acquire)};
            if ((before & 1u) == 0 && sequence_.load(std::memory_order_relaxed) == before) {
                return band;
            }
        }
    }

  private:
    std::atomic<std::uint32_t> sequence_{0};
    std::atomic<float> low_{BandSnapshot{}.low};
    std::atomic<float> high_{BandSnapshot{}.high};
    std::atomic<std::int32_t> taps_{BandSnapshot{}.taps};
};

// Fixed configuration. Written by option processing (or a test's set-up)
// before any thread starts; read-only after, by every thread: no guard needed.
struct StationConfig {
    StationConfig() { std::memcpy(stationTitle, stationCaption.c_str(), stationCaption.size() + 1); }

    // Roles and flags, set by option processing only.
    bool serverMode = false;
    bool clientMode = false;
    bool dialogMode = false;
    bool controlMic = false;
    bool commandMode = false;
    bool realtimePriority = false;
    bool udpSend = false;
    bool windowVisible = true;

    // Network identity. Server keeps at most 11 characters of login and
    // password, a client at most 15.
    char login[16] = {};
    char password[16] = {};
    bool loginRequired = false;
    std::uint16_t serverPort = 8080;
    std::uint16_t clientPort = 8080;
    char serverAddress[256] = "127.0.0.1"; // any valid dotted address serves as the default
    char stationName[16] = "USER";
    std::int32_t maxConnections = 6;

    // Audio buffering.
    std::int32_t blocksPerPacket = 1;      // 160-sample blocks per capture buffer
    std::int32_t captureBufferBytes = 320; // 320 × blocksPerPacket

    // Icecast push, any role: the "ICECAST=" URL (it holds the source
    // password, so it is never printed whole; empty = no push), the stream's
    // name and its Opus bitrate in kbit/s (6 … 64).
    char icecastUrl[257] = {};
    char icecastName[64] = {};
    std::int32_t icecastBitrateKbps = 16;

    char windowClassName[256] = "Tarnello";
    char instanceName[256] = "Brisvane";
    // Tray tip: the caption, plus "\n(сетевой сервер)" / "\n(сетевой клиент)".
    char stationTitle[1024] = {};
};

// Live settings. Start values from option processing; while running written
// only on the main thread, read also by the processing and network threads.
// Each is one std::atomic word, read and written whole, which is exactly the
// guarantee the design relies on, made explicit so ThreadSanitizer agrees.
struct LiveSettings {
    // Seconds. Server: limit per connection (0 = none). Client: remaining
    // time announced by the server, counted down by the 1 s timer.
    std::atomic<std::int32_t> timeLimit{0};

    // Most blocks waiting at the playback device, 1 … 60 once running (F5/F6).
    std::atomic<std::int32_t> receiveBufferPackets{6};

    // Band filter. filterLength: taps, one of 32, 64, 128, 256, 512, 1024;
    // filterOffTaps (32) means the filter is off. bandLow/bandHigh:
    // fractions of the 8000 Hz sample rate, 0 … 0.5.
    std::atomic<std::int32_t> filterLength{256};
    std::atomic<float> bandLow{0.1f};
    std::atomic<float> bandHigh{0.11f};

    // Devices: −1 is the system's default device.
    std::atomic<std::int32_t> inputDevice{-1};
    std::atomic<std::int32_t> outputDevice{-1};

    // Display layout: displaySize 1 … 4; spectrumBaseY and waterfallHeight
    // in pixels, following displaySize.
    std::atomic<std::int32_t> displaySize{1};
    std::atomic<std::int32_t> spectrumBaseY{100};
    std::atomic<std::int32_t> waterfallHeight{80};

    // Playback amplification, never below 1.0.
    std::atomic<double> outputGain{1.0};
    std::atomic<bool> showReceiveBuffer{false};
    // Threshold of the station's own keying detector, in keying-level units.
    std::atomic<std::int32_t> keyingThreshold{80};
    std::atomic<bool> playbackOn{true};
    // Foreign window (the decoder's) to present into; 0 = none.
    std::atomic<std::uint32_t> drawWindow{0};
};

// The station's one record, created by start-up and passed by reference.
struct StationSettings {
    StationSettings() = default;
    StationSettings(const StationSettings&) = delete;
    StationSettings& operator=(const StationSettings&) = delete;

    StationConfig config;
    LiveSettings live;
    // The band and tap count of the filter design in use: published whole by
    // the main thread with every design, read by block processing on any thread.
    PublishedBand designedBand;
};

} // namespace station
