#include "station/audio/block_processing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "dsp/audio_constants.h"
#include "dsp/band_filter.h"
#include "dsp/fft.h"
#include "dsp/keying_detector.h"
#include "station/shell/station_settings.h"

namespace station {
namespace {

constexpr double sampleScale = 32000.0; // full-scale 16-bit sample ↔ 1.0
constexpr int spectrumOrder = 10;       // 2^10 = 1024 points

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

// Returns whether a new spectrum was handed over (the display is then
// presented once the block is done).
bool feedAndFilter(BlockProcessor& state, dsp::FirBandFilter& filter, bool filtering, std::int16_t* samples, int count,
                   BlockSink& sink) {
    bool presentDue = false;
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
            presentDue = true;
        }
    }
    return presentDue;
}

void detectKeying(BlockProcessor& state, const StationSettings& settings, const std::int16_t* samples, int count,
                  BlockSink& sink) {
    const std::int32_t threshold = settings.live.keyingThreshold.load(std::memory_order_relaxed);
    std::int32_t keyDown = state.keyDown.load(std::memory_order_relaxed);
    dsp::setKeyingPeriod(state.keying, state.periodCount);
    for (int j = 0; j < count; ++j) {
        const std::int64_t level = dsp::nextKeyingLevel(state.keying, samples[j]);
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

void designStationFilter(StationSettings& settings, dsp::FirBandFilter& filter) {
    const BandSnapshot band{settings.live.bandLow.load(), settings.live.bandHigh.load(),
                            settings.live.filterLength.load()};
    dsp::designBandFilter(filter, band.taps, 1, band.low, band.high);
    settings.designedBand.publish(band);
}

BandFigures bandFigures(float low, float high) {
    const std::int32_t bandwidthHz =
        truncToInt32((static_cast<double>(high) - static_cast<double>(low)) * dsp::sampleRateHz);
    const std::int32_t lowHz = truncToInt32(static_cast<double>(low) * dsp::sampleRateHz);
    // Both terms are bounded by the int32 range; add in 64 bits and saturate.
    const std::int64_t centre = static_cast<std::int64_t>(lowHz) + bandwidthHz / 2;
    return {bandwidthHz,
            static_cast<std::int32_t>(std::clamp<std::int64_t>(centre, std::numeric_limits<std::int32_t>::min(),
                                                               std::numeric_limits<std::int32_t>::max()))};
}

namespace {

bool processLocked(BlockProcessor& state, const StationSettings& settings, dsp::FirBandFilter& filter,
                   std::int16_t* samples, std::int32_t byteCount, BlockSink& sink) {
    const std::lock_guard<std::mutex> oneBlockAtATime(state.blockMutex);
    const int count = byteCount > 0 ? byteCount / 2 : 0;
    // Read once, so the block is filtered and reported with one band.
    const BandSnapshot designed = settings.designedBand.read();
    const std::int32_t taps = designed.taps;
    // A command-role client receives audio the server has already filtered.
    const bool filtering = taps != filterOffTaps && !(settings.config.clientMode && settings.config.commandMode);

    const bool presentDue = feedAndFilter(state, filter, filtering, samples, count, sink);

    if (!settings.config.udpSend) {
        return presentDue;
    }

    const BandFigures band = bandFigures(designed.low, designed.high);
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
    return presentDue;
}

} // namespace

void processBlock(BlockProcessor& state, const StationSettings& settings, dsp::FirBandFilter& filter,
                  std::int16_t* samples, std::int32_t byteCount, BlockSink& sink) {
    // Presenting waits for the main thread, which may itself be waiting for
    // this lock (a network block): it happens after the lock is released.
    if (processLocked(state, settings, filter, samples, byteCount, sink)) {
        sink.presentDisplay();
    }
}

} // namespace station
