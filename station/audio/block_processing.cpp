#include "station/audio/block_processing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "dsp/band_filter.h"
#include "dsp/fft.h"
#include "station/shell/station_settings.h"
#include "dsp/audio_constants.h"

namespace station {
namespace {

constexpr double sampleScale = 32000.0;   // full-scale 16-bit sample ↔ 1.0
constexpr std::int32_t filterOffTaps = 32;
constexpr int spectrumOrder = 10;         // 2^10 = 1024 points
constexpr std::int32_t levelDivisor = 10000;

// Float-to-integer conversion that truncates toward zero and never invokes
// undefined behaviour: NaN gives 0, values beyond the range saturate.
std::int32_t truncToInt32(double v) {
    if (!(v == v)) {
        return 0;
    }
    if (v >= 2147483647.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (v <= -2147483648.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(v);
}

// Truncates toward zero and keeps the low 16 bits, as a 16-bit sample store
// always has: 32768 becomes −32768. Exact for every finite value; NaN and
// infinities give 0.
std::int16_t wrapToInt16(double v) {
    if (!std::isfinite(v)) {
        return 0;
    }
    double t = std::trunc(v);
    if (std::fabs(t) >= 2147483648.0) {
        t = std::fmod(t, 65536.0); // exact; same low 16 bits
    }
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::int64_t>(t)));
}

// |v| in 16 bits: −32768 has no positive counterpart and stays −32768.
std::int16_t rectify(std::int16_t v) {
    return v < 0 ? static_cast<std::int16_t>(static_cast<std::uint16_t>(-static_cast<std::int32_t>(v))) : v;
}

void feedAndFilter(BlockProcessor& state, dsp::FirBandFilter& filter, bool filtering, std::int16_t* samples, int count,
                   BlockSink& sink) {
    for (int j = 0; j < count; ++j) {
        const float x = static_cast<float>(samples[j] / sampleScale);
        // The spectrum shows the input, before the band filter.
        state.spectrumReal[state.spectrumFill] = x;
        if (filtering) {
            float y = 0.0f;
            if (dsp::pushSample(filter, x, y)) {
                samples[j] = wrapToInt16(sampleScale * static_cast<double>(y));
            }
        }
        if (++state.spectrumFill == BlockProcessor::spectrumPoints) {
            std::fill(std::begin(state.spectrumImag), std::end(state.spectrumImag), 0.0f);
            dsp::fftInPlace(state.spectrumReal, state.spectrumImag, spectrumOrder);
            sink.spectrumReady(state.spectrumReal, state.spectrumImag, BlockProcessor::spectrumBins);
            state.spectrumFill = 0;
            sink.invalidateWindow();
            sink.presentDisplay();
        }
    }
}

// The correlation of the newest 3P rectified samples over the lags
// 0 … P − 1 is Σ_{k<3P} h[k]·h[k + lag] for each lag; it reads h up to
// index 4P − 2, and entries above W = 3P are never shifted. The sums are
// 64-bit: 27 terms of up to 32768² already pass the 32-bit range, and a loud
// signal must read as loud.

// Computes the lag sums of `state` for the history as it stands, directly
// (3P² multiply-adds; once per change of period).
void recomputeLagSums(BlockProcessor& state, int period) {
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
void advanceLagSums(BlockProcessor& state, int period, std::int16_t newest) {
    const int window = 3 * period;
    const std::int16_t* h = state.rectifiedHistory;
    // Each product fits 32 bits (at most 32768²); their difference may not.
    const std::int32_t r = newest;
    const std::int32_t leaving = h[window];      // h[W], overwritten by the shift
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
std::int64_t periodCorrelation(const BlockProcessor& state, int period) {
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

void detectKeying(BlockProcessor& state, const StationSettings& settings, const std::int16_t* samples, int count,
                  BlockSink& sink) {
    // The correlation reads rectifiedHistory up to index 4P − 2 (its running
    // sums up to 4P − 1); a period the history cannot serve (a centre below
    // 2 Hz) is treated like no period.
    const int period = state.periodCount;
    const int usablePeriod = period >= 1 && period <= BlockProcessor::maxPeriod ? period : 0;
    const int window = 3 * usablePeriod;
    const std::int32_t threshold = settings.keyingThreshold.load(std::memory_order_relaxed);
    std::int32_t keyDown = state.keyDown.load(std::memory_order_relaxed);

    if (usablePeriod != state.sumsPeriod) {
        state.sumsPeriod = 0; // recomputed below, once the first sample is in
    }

    for (int j = 0; j < count; ++j) {
        std::int16_t* const rectified = state.rectifiedHistory;
        const std::int16_t newest = rectify(samples[j]);
        if (state.sumsPeriod != 0) {
            advanceLagSums(state, usablePeriod, newest);
        }
        std::memmove(rectified + 1, rectified, static_cast<std::size_t>(window) * sizeof(std::int16_t));
        rectified[0] = newest;

        std::int64_t correlation = 0;
        if (usablePeriod > 0) {
            if (state.sumsPeriod == 0) {
                recomputeLagSums(state, usablePeriod);
            }
            correlation = periodCorrelation(state, usablePeriod);
        }

        std::int32_t* const levels = state.levelHistory;
        std::memmove(levels + 1, levels, (BlockProcessor::levelLength - 1) * sizeof(std::int32_t));
        // correlation ≤ 32768², so the quotient fits comfortably.
        levels[0] = static_cast<std::int32_t>(correlation / levelDivisor);
        std::int64_t levelSum = 0;
        for (int k = 0; k < BlockProcessor::levelLength; ++k) {
            levelSum += levels[k];
        }
        const std::int64_t level = levelSum / BlockProcessor::levelLength;

        if (j < BlockProcessor::keyingLevelCapacity) {
            state.keyingLevelBlock[j] = static_cast<std::int16_t>(std::min<std::int64_t>(level, 32767));
        }
        const std::int32_t nowDown = level > threshold ? 1 : 0;
        if (nowDown != keyDown) {
            keyDown = nowDown;
            state.keyDown.store(keyDown, std::memory_order_relaxed);
            sink.lampChanged(keyDown);
        }
    }
}

} // namespace

BandFigures bandFigures(float low, float high) {
    const std::int32_t bandwidthHz =
        truncToInt32((static_cast<double>(high) - static_cast<double>(low)) * dsp::sampleRateHz);
    const std::int32_t lowHz = truncToInt32(static_cast<double>(low) * dsp::sampleRateHz);
    // Both terms are bounded by the int32 range; add in 64 bits and saturate.
    const std::int64_t centre = static_cast<std::int64_t>(lowHz) + bandwidthHz / 2;
    return {bandwidthHz, static_cast<std::int32_t>(std::clamp<std::int64_t>(
                             centre, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()))};
}

void processBlock(BlockProcessor& state, const StationSettings& settings, dsp::FirBandFilter& filter,
                  std::int16_t* samples, std::int32_t byteCount, BlockSink& sink) {
    const std::lock_guard<std::mutex> oneBlockAtATime(state.blockMutex);
    const int count = byteCount > 0 ? byteCount / 2 : 0;
    // Read once, so the block is filtered and reported with one tap count.
    const std::int32_t taps = settings.filterLength.load(std::memory_order_relaxed);
    // A command-role client receives audio the server has already filtered.
    const bool filtering = taps != filterOffTaps && !(settings.clientMode != 0 && settings.commandMode != 0);

    feedAndFilter(state, filter, filtering, samples, count, sink);

    if (settings.udpSend == 0) {
        return;
    }

    const BandFigures band =
        bandFigures(settings.bandLow.load(std::memory_order_relaxed), settings.bandHigh.load(std::memory_order_relaxed));
    locallink::SampleDatagram& datagram = state.datagram;
    datagram.kind = 0;
    datagram.blockBytes = byteCount;
    datagram.filterTaps = taps;
    datagram.bandwidthHz = band.bandwidthHz;
    datagram.centreHz = band.centreHz;
    // A short block fills only its own samples; the rest of the record is
    // silence rather than whatever lies beyond the block.
    const int carried = std::min(count, locallink::samplesPerDatagram);
    std::copy(samples, samples + carried, datagram.samples);
    std::fill(datagram.samples + carried, datagram.samples + locallink::samplesPerDatagram, std::int16_t{0});

    state.periodCount = band.centreHz > 0 ? static_cast<std::int32_t>(dsp::sampleRateHz) / band.centreHz : 0;

    detectKeying(state, settings, samples, count, sink);

    std::copy(state.keyingLevelBlock, state.keyingLevelBlock + locallink::samplesPerDatagram, datagram.keyingLevel);
    sink.sendDatagram(datagram);
}

} // namespace station
