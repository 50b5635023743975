#pragma once
// The station's keying detector: how strongly the band-filtered audio repeats
// at the period of the band centre. Each sample is rectified; the level is
// the largest autocorrelation of the newest three periods over the lags of
// one period, divided by 10000 and averaged over the last 32 samples. A
// steady tone at the centre reads high, noise and silence read low. Integer
// arithmetic throughout, so running sums equal direct ones exactly. Fixed
// arrays only: nothing allocates.

#include <cstdint>

namespace dsp {

// State of the detector, zeroed at the start. Large (about 150 KB): create
// it once, off the stack.
struct KeyingDetector {
    static constexpr int rectifiedLength = 25000;
    static constexpr int levelLength = 32; // moving-average length, samples
    // Longest period the correlation can serve: it reads rectifiedHistory up
    // to index 4P − 1 (see lagSums).
    static constexpr int maxPeriod = rectifiedLength / 4;

    // Rectified samples, newest at index 0.
    std::int16_t rectifiedHistory[rectifiedLength] = {};
    // The correlation's lag sums, kept up to date sample by sample so that a
    // sample costs O(P) instead of O(P²). With W = 3P, for lag 0 … P − 1:
    //   lagSums[lag]    = Σ h[k]·h[k + lag] over k + lag ≤ W (k < W), the
    //                     part inside the shifted entries 0 … W;
    //   frozenSums[lag] = the same over k + lag > W: entries above W are not
    //                     shifted while P holds (they keep what a longer
    //                     period left there, else 0).
    // Valid for sumsPeriod; another period recomputes them once.
    std::int64_t lagSums[maxPeriod] = {};
    std::int64_t frozenSums[maxPeriod] = {};
    std::int32_t sumsPeriod = 0; // 0: no valid sums
    bool frozenNonZero = false;  // some entry in W + 1 … 4P − 1 is not 0
    // Period in use, 0 … maxPeriod (0: none, every level reads 0).
    std::int32_t period = 0;
    // Per-sample correlation / 10000, newest at index 0.
    std::int32_t levelHistory[levelLength] = {};
};

// Sets the period of the samples that follow: samples per period of the
// band centre (8000 / centre Hz). A period outside 1 … maxPeriod (a centre
// at or below 1 Hz, or none) is treated as none.
void setKeyingPeriod(KeyingDetector& detector, std::int32_t period);

// Feeds one sample (any 16-bit value) and returns its keying level,
// 0 … 107374 (the square of full scale / 10000).
std::int64_t nextKeyingLevel(KeyingDetector& detector, std::int16_t sample);

} // namespace dsp
