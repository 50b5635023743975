#pragma once
// The one audio format of the station and the buffer slot that capture and
// playback share.

#include <cstdint>

#include "platform/audio_device.h"
#include "dsp/audio_constants.h"

namespace station {

// PCM description in the layout of a wave format record. The device layer
// always runs in this format; the record is what the station states.
struct AudioFormat {
    std::uint16_t formatTag = 1;           // PCM
    std::uint16_t channels = 1;
    std::uint32_t samplesPerSecond = 8000;
    std::uint32_t averageBytesPerSecond = 16000;
    std::uint16_t blockAlign = 2;          // bytes per sample frame
    std::uint16_t bitsPerSample = 16;
    std::uint16_t extraSize = 0;           // no extra format bytes
};
inline constexpr AudioFormat stationAudioFormat{};

// Bytes a slot can hold; a block never exceeds it.
inline constexpr std::int32_t slotDataBytes = 19300;
inline constexpr int captureSlotCount = 128;
inline constexpr int playbackSlotCount = 128;

// One buffer slot. header.data always points at this slot's data while the
// slot is queued at a device.
struct CaptureRecord {
    platform::WaveHeader header;
    // Nonzero while the slot is queued at the device.
    std::int32_t inUse = 0;
    // Sample bytes: 16-bit little-endian mono.
    alignas(std::int16_t) char data[slotDataBytes] = {};
};

} // namespace station
