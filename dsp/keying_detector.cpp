#include "dsp/keying_detector.h"

#include <algorithm>
#include <cstring>

namespace dsp {
namespace {

constexpr std::int32_t levelDivisor = 10000;

// |v| in 16 bits: −32768 has no positive counterpart and stays −32768.
std::int16_t rectify(std::int16_t v) {
    return v < 0 ? static_cast<std::int16_t>(static_cast<std::uint16_t>(-static_cast<std::int32_t>(v))) : v;
}

// The correlation of the newest 3P rectified samples over the lags
// 0 … P − 1 is Σ_{k<3P} h[k]·h[k + lag] for each lag; it reads h up to
// index 4P − 2, and entries above W = 3P are never shifted. The sums are
// 64-bit: 27 terms of up to 32768² already pass the 32-bit range, and a loud
// signal must read as loud.

// Computes the lag sums of `state` for the history as it stands, directly
// (3P² multiply-adds; once per change of period).
void recomputeLagSums(KeyingDetector& state, int period) {
    const int window = 3 * period;
    const std::int16_t* h = state.rectifiedHistory;
    for (int lag = 0; lag < period; ++lag) {
        const int lastShifted = window - std::max(lag, 1); // last k with k + lag ≤ W
        std::int64_t shifted = 0;
        std::int64_t frozen = 0;
        for (int k = 0; k <= lastShifted; ++k) {
            shifted += static_cast<std::int32_t>(h[k]) * static_cast<std::int32_t>(h[k + lag]);
        }
        for (int k = lastShifted + 1; k < window; ++k) {
            frozen += static_cast<std::int32_t>(h[k]) * static_cast<std::int32_t>(h[k + lag]);
        }
        state.lagSums[lag] = shifted;
        state.frozenSums[lag] = frozen;
    }
    state.frozenNonZero = std::any_of(h + window + 1, h + 4 * period, [](std::int16_t v) { return v != 0; });
    state.sumsPeriod = period;
}

// Moves the lag sums from the history h as it stands to the history after
// `newest` is shifted in (entries 0 … W − 1 move up one place): each sum
// gains its newest product and loses its oldest. O(P). Call before the shift.
void advanceLagSums(KeyingDetector& state, int period, std::int16_t newest) {
    const int window = 3 * period;
    const std::int16_t* h = state.rectifiedHistory;
    // Each product fits 32 bits (at most 32768²); their difference may not.
    const std::int32_t r = newest;
    const std::int32_t leaving = h[window]; // h[W], overwritten by the shift
    const std::int32_t lastShifted = h[window - 1];
    state.lagSums[0] += std::int64_t{r * r} - std::int64_t{lastShifted * lastShifted};
    for (int lag = 1; lag < period; ++lag) {
        state.lagSums[lag] += std::int64_t{r * static_cast<std::int32_t>(h[lag - 1])} -
                              std::int64_t{static_cast<std::int32_t>(h[window - lag]) * leaving};
    }
    if (!state.frozenNonZero) {
        return; // every frozen product is 0
    }
    // A frozen sum for lag after the shift is the one for lag + 1 before it,
    // less its term at k = W − 1. Lag P is not kept: computed here, O(P).
    std::int64_t beyond = 0;
    for (int k = window - period + 1; k < window; ++k) {
        beyond += static_cast<std::int32_t>(h[k]) * static_cast<std::int32_t>(h[k + period]);
    }
    for (int lag = 2; lag < period; ++lag) {
        const std::int64_t next = lag + 1 < period ? state.frozenSums[lag + 1] : beyond;
        state.frozenSums[lag] = next - lastShifted * static_cast<std::int32_t>(h[window + lag]);
    }
}

// Largest lag value: each lag's sum divided by 3P when positive; 0 when no
// sum is positive.
std::int64_t periodCorrelation(const KeyingDetector& state, int period) {
    const std::int64_t window = 3 * period;
    std::int64_t best = 0;
    for (int lag = 0; lag < period; ++lag) {
        const std::int64_t sum = state.lagSums[lag] + state.frozenSums[lag];
        if (sum > 0) {
            best = std::max(best, sum / window);
        }
    }
    return best;
}

} // namespace

void setKeyingPeriod(KeyingDetector& state, std::int32_t period) {
    // The correlation reads rectifiedHistory up to index 4P − 2 (its running
    // sums up to 4P − 1); a period the history cannot serve is none.
    const std::int32_t usable = period >= 1 && period <= KeyingDetector::maxPeriod ? period : 0;
    if (usable != state.sumsPeriod) {
        state.sumsPeriod = 0; // recomputed once the next sample is in
    }
    state.period = usable;
}

std::int64_t nextKeyingLevel(KeyingDetector& state, std::int16_t sample) {
    const int period = state.period;
    const int window = 3 * period;
    std::int16_t* const rectified = state.rectifiedHistory;
    const std::int16_t newest = rectify(sample);
    if (state.sumsPeriod != 0) {
        advanceLagSums(state, period, newest);
    }
    std::memmove(rectified + 1, rectified, static_cast<std::size_t>(window) * sizeof(std::int16_t));
    rectified[0] = newest;

    std::int64_t correlation = 0;
    if (period > 0) {
        if (state.sumsPeriod == 0) {
            recomputeLagSums(state, period);
        }
        correlation = periodCorrelation(state, period);
    }

    std::int32_t* const levels = state.levelHistory;
    std::memmove(levels + 1, levels, (KeyingDetector::levelLength - 1) * sizeof(std::int32_t));
    // correlation ≤ 32768², so the quotient fits comfortably.
    levels[0] = static_cast<std::int32_t>(correlation / levelDivisor);
    std::int64_t levelSum = 0;
    for (int k = 0; k < KeyingDetector::levelLength; ++k) {
        levelSum += levels[k];
    }
    return levelSum / KeyingDetector::levelLength;
}

} // namespace dsp
