#pragma once
// The one audio format the whole system works in: 8000 samples a second,
// 16-bit mono, processed in 20 ms blocks of 160 samples.

#include <cstdint>

namespace dsp {

inline constexpr std::int32_t sampleRateHz = 8000; // samples per second
inline constexpr std::int32_t blockSamples = 160;  // one 20 ms block
inline constexpr std::int32_t blockBytes = 320;    // the same block as 16-bit samples

} // namespace dsp
