#pragma once
// The buffer slot that capture and playback share. The audio format itself
// is dsp/audio_constants.h.

#include <cstdint>

#include "dsp/audio_constants.h"
#include "platform/audio_device.h"

namespace station {

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
