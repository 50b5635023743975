#pragma once
// The station's one process-wide record of roles, options, band, devices,
// display layout, gain and names. Created by start-up, filled by option
// processing before any thread exists, and afterwards written only on the
// main thread.
//
// Fields that other threads read while the station runs (the processing
// thread reads the band, the tap count, the gain, the threshold...) are
// std::atomic: each is one word, read and written whole, which is exactly the
// guarantee the design relies on, made explicit so ThreadSanitizer agrees.
// Role flags and texts are written only during start-up and stay plain.

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/cp1251.h"

namespace station {

// The station's texts are Windows-1251 literals.
using platform::literals::operator""_cp1251;

// Caption of the main window, and the start of the tray tip.
inline constexpr auto stationCaption = "Фильтр НЧ для CW"_cp1251;

struct StationSettings {
    StationSettings() { std::memcpy(stationTitle, stationCaption.c_str(), stationCaption.size() + 1); }
    StationSettings(const StationSettings&) = delete;
    StationSettings& operator=(const StationSettings&) = delete;

    // Roles and flags (0 or 1), set by option processing only.
    std::int32_t serverMode = 0;
    std::int32_t clientMode = 0;
    std::int32_t dialogMode = 0;
    std::int32_t controlMic = 0;
    std::int32_t commandMode = 0;
    std::int32_t realtimePriority = 0;
    std::int32_t udpSend = 0;
    std::int32_t windowVisible = 1;

    // Network identity. Server keeps at most 11 characters of login and
    // password, a client at most 15.
    char login[16] = {};
    char password[16] = {};
    std::int32_t loginRequired = 0;
    // Seconds. Server: limit per connection (0 = none). Client: remaining
    // time announced by the server, counted down by the 1 s timer.
    std::atomic<std::int32_t> timeLimit{0};
    std::uint16_t serverPort = 8080;
    std::uint16_t clientPort = 8080;
    char serverAddress[256] = "127.0.0.1"; // any valid dotted address serves as the default
    char stationName[16] = "USER";
    std::int32_t maxConnections = 6;

    // Audio buffering. receiveBufferPackets: most blocks waiting at the
    // playback device, 1 … 60 once running (F5/F6).
    std::atomic<std::int32_t> receiveBufferPackets{6};
    std::int32_t blocksPerPacket = 1;    // 160-sample blocks per capture buffer
    std::int32_t captureBufferBytes = 320; // 320 × blocksPerPacket

    // Band filter. filterLength: taps, one of 32, 64, 128, 256, 512, 1024;
    // 32 means the filter is off. bandLow/bandHigh: fractions of the
    // 8000 Hz sample rate, 0 … 0.5.
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
    std::atomic<std::int32_t> showReceiveBuffer{0};
    // Threshold of the station's own keying detector, in keying-level units.
    std::atomic<std::int32_t> keyingThreshold{80};
    std::atomic<std::int32_t> playbackOn{1};
    // Foreign window (the decoder's) to present into; 0 = none.
    std::atomic<std::uint32_t> drawWindow{0};

    char windowClassName[256] = "Tarnello";
    char instanceName[256] = "Brisvane";
    // Tray tip: the caption, plus "\n(сетевой сервер)" / "\n(сетевой клиент)".
    char stationTitle[1024] = {};
};

} // namespace station
