#include "decoder/audio_decoding.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

#include "dsp/audio_constants.h"
#include "dsp/band_filter.h"
#include "dsp/element_timing.h"
#include "dsp/fft.h"
#include "link/datagrams.h"
#include "station/audio/block_processing.h"
#include "station/shell/station_settings.h"

namespace decoder {

namespace {

// Spectrum of the tone search: 1024-sample Hann frames, half overlapping,
// 7.8125 Hz per bin.
constexpr int frameOrder = 10;
constexpr int frameLength = 1 << frameOrder;
constexpr int frameHop = frameLength / 2;
constexpr int binCount = frameLength / 2 + 1;
constexpr double binHz = static_cast<double>(dsp::sampleRateHz) / frameLength;
// The line itself (main lobe of the window and the keying's close
// sidebands) and the neighbourhood its noise floor is taken from, in bins.
constexpr int lineHalfWidthBins = 3;      // 23 Hz each side
constexpr int neighbourhoodBins = 25;     // 195 Hz each side
constexpr double maxProminenceDb = 200.0; // a line over a silent floor

// Streaming search: held audio, the first look, and the step between looks.
constexpr std::size_t searchWindowSamples = 4 * dsp::sampleRateHz;
constexpr std::size_t firstSearchSamples = 2 * dsp::sampleRateHz;
constexpr std::size_t searchStepSamples = dsp::sampleRateHz / 2;

// The station's block: the keying detector keeps 320 levels at most.
constexpr int blockSamples = locallink::samplesPerDatagram;

constexpr std::int32_t allowedTaps[] = {64, 128, 256, 512, 1024};

constexpr float notMeasured = std::numeric_limits<float>::quiet_NaN();

using PowerSpectrum = std::array<double, binCount>;

struct SpectrumScratch {
    std::array<float, frameLength> window{};
    std::array<float, frameLength> real{};
    std::array<float, frameLength> imag{};
    SpectrumScratch() {
        for (int i = 0; i < frameLength; ++i) {
            window[static_cast<std::size_t>(i)] =
                static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / frameLength));
        }
    }
};

// Sum of the power spectra of the Hann frames of `samples` (a short input
// gives one zero-padded frame).
void sumPowerSpectrum(std::span<const std::int16_t> samples, PowerSpectrum& power, SpectrumScratch& s) {
    power.fill(0.0);
    std::size_t start = 0;
    do {
        for (std::size_t i = 0; i < frameLength; ++i) {
            const std::size_t at = start + i;
            const float x = at < samples.size() ? static_cast<float>(samples[at]) : 0.0F;
            s.real[i] = x * s.window[i];
            s.imag[i] = 0.0F;
        }
        dsp::fftInPlace(s.real.data(), s.imag.data(), frameOrder);
        for (std::size_t k = 0; k < binCount; ++k) {
            power[k] += static_cast<double>(s.real[k]) * s.real[k] + static_cast<double>(s.imag[k]) * s.imag[k];
        }
        start += frameHop;
    } while (start + frameLength <= samples.size());
}

// The local maximum between lowestPitchHz and highestPitchHz that stands
// highest over the median of its neighbourhood.
ToneEstimate pickTone(const PowerSpectrum& power) {
    const int first = static_cast<int>(std::ceil(lowestPitchHz / binHz));
    const int last = static_cast<int>(std::floor(highestPitchHz / binHz));
    ToneEstimate best;
    double bestRatio = 0.0;
    int bestBin = -1;
    std::array<double, 2 * neighbourhoodBins> around{};
    for (int k = first; k <= last; ++k) {
        const double p = power[static_cast<std::size_t>(k)];
        if (p <= 0.0 || p < power[static_cast<std::size_t>(k - 1)] || p < power[static_cast<std::size_t>(k + 1)]) {
            continue;
        }
        std::size_t n = 0;
        for (int d = lineHalfWidthBins + 1; d <= neighbourhoodBins; ++d) {
            for (const int j : {k - d, k + d}) {
                if (j >= 1 && j < binCount - 1) {
                    around[n++] = power[static_cast<std::size_t>(j)];
                }
            }
        }
        const auto middle = around.begin() + static_cast<std::ptrdiff_t>(n / 2);
        std::nth_element(around.begin(), middle, around.begin() + static_cast<std::ptrdiff_t>(n));
        const double floor = *middle;
        const double ratio = floor > 0.0 ? p / floor : std::numeric_limits<double>::infinity();
        if (bestBin < 0 || ratio > bestRatio) {
            bestRatio = ratio;
            bestBin = k;
        }
    }
    if (bestBin < 0) {
        return best;
    }
    // Parabola through the log powers of the line and its two neighbours.
    const auto logPower = [&](int k) { return std::log(power[static_cast<std::size_t>(k)] + 1e-30); };
    const double a = logPower(bestBin - 1);
    const double b = logPower(bestBin);
    const double c = logPower(bestBin + 1);
    const double curvature = a - 2.0 * b + c;
    const double offset = curvature < 0.0 ? std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5) : 0.0;
    best.pitchHz = std::clamp((bestBin + offset) * binHz, lowestPitchHz, highestPitchHz);
    best.prominenceDb =
        std::isfinite(bestRatio) ? std::min(10.0 * std::log10(bestRatio), maxProminenceDb) : maxProminenceDb;
    return best;
}

ToneEstimate estimateTone(std::span<const std::int16_t> samples, SpectrumScratch& scratch, PowerSpectrum& power) {
    sumPowerSpectrum(samples, power, scratch);
    return pickTone(power);
}

AudioDecodingOptions clamped(AudioDecodingOptions o) {
    if (o.pitchHz != 0.0) {
        o.pitchHz = std::isfinite(o.pitchHz) ? std::clamp(o.pitchHz, lowestPitchHz, highestPitchHz) : 0.0;
    }
    o.bandwidthHz = std::isfinite(o.bandwidthHz) ? std::clamp(o.bandwidthHz, 10.0, 1000.0) : 100.0;
    if (std::find(std::begin(allowedTaps), std::end(allowedTaps), o.filterTaps) == std::end(allowedTaps)) {
        o.filterTaps = 256;
    }
    if (o.alphabet != dsp::Latin && o.alphabet != dsp::Russian && o.alphabet != dsp::Ukrainian) {
        o.alphabet = dsp::Latin;
    }
    return o;
}

void setText(dsp::DecodedCharacter& c, std::string_view text) {
    const std::size_t n = std::min(text.size(), sizeof c.text - 1);
    std::copy_n(text.data(), n, c.text);
    c.text[n] = '\0';
}

} // namespace

std::optional<std::string> optionsProblem(const AudioDecodingOptions& o) {
    if (o.pitchHz != 0.0 && !(o.pitchHz >= lowestPitchHz && o.pitchHz <= highestPitchHz)) {
        return "the pitch must be between 200 and 1200 Hz";
    }
    if (!(o.bandwidthHz >= 10.0 && o.bandwidthHz <= 1000.0)) {
        return "the band width must be between 10 and 1000 Hz";
    }
    if (std::find(std::begin(allowedTaps), std::end(allowedTaps), o.filterTaps) == std::end(allowedTaps)) {
        return "the filter length must be 64, 128, 256, 512 or 1024 taps";
    }
    if (o.alphabet != dsp::Latin && o.alphabet != dsp::Russian && o.alphabet != dsp::Ukrainian) {
        return "unknown alphabet";
    }
    return std::nullopt;
}

ToneEstimate findStrongestTone(std::span<const std::int16_t> samples) {
    auto scratch = std::make_unique<SpectrumScratch>();
    auto power = std::make_unique<PowerSpectrum>();
    return estimateTone(samples, *scratch, *power);
}

// The front end is the station's: processBlock filters each block in place
// and, for the classic decoder (udpSend), runs the keying detector, whose
// levels arrive through sendDatagram.
struct AudioDecoder::State final : station::BlockSink, dsp::TextOutput {
    explicit State(const AudioDecodingOptions& o) : options(clamped(o)) {
        out.reserve(256);
        if (options.pitchHz == 0.0) {
            pending.reserve(searchWindowSamples + searchStepSamples);
        } else {
            lock(options.pitchHz);
        }
    }

    AudioDecodingOptions options;

    // Tone search while no pitch is known.
    std::vector<std::int16_t> pending;
    std::size_t sinceLastLook = 0;
    SpectrumScratch scratch;
    PowerSpectrum power{};
    double pitch = 0.0;

    // Samples fed so far, and the index (on the same count) of the next
    // sample to enter the front end.
    std::int64_t fed = 0;
    std::int64_t frontEndIndex = 0;
    std::int32_t filterDelay = 0; // samples from an input to its filtered output
    std::int32_t keyingDelay = 0; // and on to the keying level reacting to it

    station::StationSettings settings;
    dsp::FirBandFilter filter;
    station::BlockProcessor processor;
    std::array<std::int16_t, blockSamples> block{};
    int blockFill = 0;

    // Classic: the element timer with its defaults.
    dsp::ElementTimer timing;
    std::int32_t alphabet = dsp::Latin;
    std::int64_t levelIndex = 0;
    // Weak: created once the pitch is known.
    std::unique_ptr<dsp::WeakSignalDecoder> weak;
    std::int64_t weakStart = 0; // front-end index of the weak decoder's sample 0

    std::vector<dsp::DecodedCharacter> out;
    // A word gap is held until a character follows it, so that gaps only
    // ever separate characters: none before the first (the classic timer
    // reports the silence before the first mark as one), none after the
    // last, never two in a row.
    bool characterSeen = false;
    bool gapHeld = false;
    dsp::DecodedCharacter heldGap;

    void emit(const dsp::DecodedCharacter& c) {
        if (c.elementCode == 0 && c.text[0] == ' ' && c.text[1] == '\0') {
            if (characterSeen && !gapHeld) {
                heldGap = c;
                gapHeld = true;
            }
            return;
        }
        if (gapHeld) {
            out.push_back(heldGap);
            gapHeld = false;
        }
        characterSeen = true;
        out.push_back(c);
    }

    void lock(double pitchHz) {
        pitch = pitchHz;
        const double half = options.bandwidthHz / 2.0;
        const auto low = static_cast<float>(std::max(pitchHz - half, 0.0) / dsp::sampleRateHz);
        const auto high = static_cast<float>(std::min(pitchHz + half, dsp::sampleRateHz / 2.0) / dsp::sampleRateHz);
        settings.config.udpSend = options.kind == DecoderKind::Classic;
        settings.live.filterLength.store(options.filterTaps);
        settings.live.bandLow.store(low);
        settings.live.bandHigh.store(high);
        station::designStationFilter(settings, filter);
        filterDelay = (options.filterTaps - 1) / 2 + 1;
        const std::int32_t centreHz = station::bandFigures(low, high).centreHz;
        const std::int32_t period = centreHz > 0 ? dsp::sampleRateHz / centreHz : 0;
        keyingDelay = (3 * period + dsp::KeyingDetector::levelLength) / 2;
        if (options.kind == DecoderKind::Weak) {
            dsp::WeakDecoderOptions w;
            w.sampleRateHz = dsp::sampleRateHz;
            w.pitchHz = pitchHz;
            w.alphabet = options.alphabet;
            weak = std::make_unique<dsp::WeakSignalDecoder>(w);
            weakStart = frontEndIndex;
        }
        alphabet = options.alphabet;
        levelIndex = frontEndIndex;
    }

    // Classic records: the time is where the last mark ended.
    dsp::DecodedCharacter classicRecord(std::int64_t endSample) const {
        dsp::DecodedCharacter c;
        c.endSample = std::max<std::int64_t>(endSample - filterDelay - keyingDelay, 0);
        // PARIS: a dot of 1200/wpm ms, 8 samples per ms.
        c.wpm = static_cast<float>(9600.0 / std::max(timing.dotLength, 1));
        c.pitchHz = static_cast<float>(pitch);
        c.snrDb = notMeasured;
        c.confidence = notMeasured;
        return c;
    }
    void character(dsp::ElementCode elementCode) override {
        dsp::DecodedCharacter c = classicRecord(levelIndex - timing.runLength);
        c.elementCode = elementCode;
        setText(c, dsp::lookupCharacter(elementCode, alphabet));
        emit(c);
    }
    void wordGap() override {
        dsp::DecodedCharacter c = classicRecord(levelIndex);
        setText(c, " ");
        emit(c);
    }

    void sendDatagram(const locallink::SampleDatagram& datagram) override {
        // A short block leaves the levels past its own samples stale.
        const int count = std::clamp(datagram.blockBytes / 2, 0, blockSamples);
        for (int i = 0; i < count; ++i) {
            dsp::onKeyingLevel(timing, datagram.keyingLevel[i], *this);
            ++levelIndex;
        }
    }

    void takeWeak(std::span<const dsp::DecodedCharacter> decided) {
        for (dsp::DecodedCharacter c : decided) {
            c.endSample = std::max<std::int64_t>(c.endSample + weakStart - filterDelay, 0);
            emit(c);
        }
    }

    void runBlock() {
        processBlock(processor, settings, filter, block.data(), blockFill * 2, *this);
        if (weak) {
            takeWeak(weak->feed({block.data(), static_cast<std::size_t>(blockFill)}));
        }
        frontEndIndex += blockFill;
        blockFill = 0;
    }

    void toFrontEnd(std::span<const std::int16_t> samples) {
        for (const std::int16_t s : samples) {
            block[static_cast<std::size_t>(blockFill++)] = s;
            if (blockFill == blockSamples) {
                runBlock();
            }
        }
    }

    void lockAndReplay(double pitchHz) {
        lock(pitchHz);
        toFrontEnd(pending);
        pending.clear();
        pending.shrink_to_fit();
    }

    void search(std::span<const std::int16_t> samples) {
        while (!samples.empty() && pitch == 0.0) {
            const std::size_t n = std::min(samples.size(), searchStepSamples - sinceLastLook);
            pending.insert(pending.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
            samples = samples.subspan(n);
            sinceLastLook += n;
            if (sinceLastLook < searchStepSamples) {
                continue;
            }
            sinceLastLook = 0;
            if (pending.size() > searchWindowSamples) {
                const std::size_t drop = pending.size() - searchWindowSamples;
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(drop));
                frontEndIndex += static_cast<std::int64_t>(drop);
            }
            if (pending.size() >= firstSearchSamples) {
                const ToneEstimate tone = estimateTone(pending, scratch, power);
                if (tone.pitchHz > 0.0 && tone.prominenceDb >= toneLockProminenceDb) {
                    lockAndReplay(tone.pitchHz);
                }
            }
        }
        toFrontEnd(samples);
    }
};

AudioDecoder::AudioDecoder(const AudioDecodingOptions& options) : state_(std::make_unique<State>(options)) {}

AudioDecoder::~AudioDecoder() = default;

std::span<const dsp::DecodedCharacter> AudioDecoder::feed(std::span<const std::int16_t> samples) {
    State& s = *state_;
    s.out.clear();
    s.fed += static_cast<std::int64_t>(samples.size());
    if (s.pitch == 0.0) {
        s.search(samples);
    } else {
        s.toFrontEnd(samples);
    }
    return s.out;
}

std::span<const dsp::DecodedCharacter> AudioDecoder::flush() {
    State& s = *state_;
    s.out.clear();
    if (s.pitch == 0.0) {
        const ToneEstimate tone = s.pending.empty() ? ToneEstimate{} : estimateTone(s.pending, s.scratch, s.power);
        if (tone.pitchHz == 0.0) {
            // Silence only: nothing to decode.
            s.frontEndIndex += static_cast<std::int64_t>(s.pending.size());
            s.pending.clear();
            return s.out;
        }
        s.lockAndReplay(tone.pitchHz);
    }
    // Silence that carries the last samples through the filter and, for the
    // classic timer, lasts long enough to close the last character.
    std::size_t silence = static_cast<std::size_t>(s.options.filterTaps);
    if (s.options.kind == DecoderKind::Classic) {
        silence +=
            2 * static_cast<std::size_t>(std::max(s.timing.dotLength, 1)) + static_cast<std::size_t>(s.keyingDelay) * 2;
    }
    silence += static_cast<std::size_t>((blockSamples - s.blockFill) % blockSamples);
    static constexpr std::array<std::int16_t, blockSamples> zeros{};
    while (silence > 0) {
        const std::size_t n = std::min(silence, zeros.size());
        s.toFrontEnd({zeros.data(), n});
        silence -= n;
    }
    if (s.weak) {
        s.takeWeak(s.weak->flush());
    }
    return s.out;
}

double AudioDecoder::pitchHz() const { return state_->pitch; }

std::int64_t AudioDecoder::samplesFed() const { return state_->fed; }

AudioDecodingResult decodeAudio(std::span<const std::int16_t> samples, const AudioDecodingOptions& options) {
    AudioDecodingResult result;
    AudioDecodingOptions o = options;
    if (o.pitchHz == 0.0) {
        o.pitchHz = findStrongestTone(samples).pitchHz;
        if (o.pitchHz == 0.0) {
            return result;
        }
    }
    auto streaming = std::make_unique<AudioDecoder>(o);
    result.pitchHz = streaming->pitchHz();
    const auto keep = [&](std::span<const dsp::DecodedCharacter> decided) {
        for (const dsp::DecodedCharacter& c : decided) {
            result.characters.push_back(c);
            result.text += c.text;
        }
    };
    keep(streaming->feed(samples));
    keep(streaming->flush());
    return result;
}

} // namespace decoder
