#include "dsp/weak_decoder.h"

// How it works, stage by stage (every stage runs on fixed arrays; nothing
// allocates after construction):
//
// 1. Impulse blanker: a sample far above the running mean magnitude is
//    zeroed when few of its neighbours are loud too (a click, not a tone's
//    onset); it looks 2 ms ahead to tell.
// 2. Tone search: a Hann-windowed Goertzel bank (10 Hz steps over 200 …
//    1200 Hz) on 64 ms blocks, powers averaged over about a second; the
//    strongest bin, refined by a parabola, places the mixer. Until a tone
//    stands out, the last second of audio is kept and decoded once it does.
// 3. Coherent mixing to baseband and a sum of 20 samples: one complex value
//    per 2.5 ms tick.
// 4. Three speed classes (KeyingChannel) decode the ticks side by side, each
//    with its matched filter, levels, run search and decisions; the one
//    whose decoded runs fit a dot length best is read. This is the speed
//    part of the state: a class never has to find its way from a filter
//    that blurs the gaps (too slow) or drowns them in noise (too fast).
// 5. The read channel's phase advance during marks steers the mixer (drift,
//    a tone between search bins).

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>

#include "dsp/audio_constants.h"
#include "dsp/keying_channel.h"

namespace dsp {

namespace {

using cplx = std::complex<double>;

constexpr int searchBlock = 512; // 64 ms
constexpr int searchBins = 101;  // 200, 210, … 1200 Hz
constexpr double searchLowHz = 200.0;
constexpr double searchStepHz = 10.0;
constexpr int channelCount = 3;
constexpr int maxOutput = 2048;          // characters returned by one call
constexpr double firstOutputCost = 0.07; // fit cost (mean squared log misfit) a first character needs

} // namespace

struct WeakSignalDecoder::State {
    WeakDecoderOptions options;
    Alphabet alphabet = Latin;
    ChannelTuning tuning;

    // --- blanker ---
    static constexpr int blankerDelay = 16; // samples looked ahead
    std::array<float, 2 * blankerDelay> delayLine{};
    std::array<bool, 2 * blankerDelay> loud{};
    int delayIndex = 0;
    int loudCount = 0; // samples in delayLine above 3 mean magnitudes
    double meanMagnitude = 0.0;
    std::int64_t samplesIn = 0;

    // --- tone search ---
    std::array<float, searchBlock> window{};
    std::array<float, searchBlock> block{};
    int blockFill = 0;
    std::array<double, searchBins> binCoefficient{};
    std::array<double, searchBins> binPower{};
    int blocksSeen = 0;
    double searchLow = 200.0, searchHigh = 1200.0;
    static constexpr int replaySamples = 16 * searchBlock; // the last 1.024 s, a ring
    std::array<float, replaySamples> replay{};
    std::int64_t replayFill = 0; // samples ever put into the ring

    // --- mixer ---
    double pitchHz = 0.0; // 0 until a tone is found
    cplx phasor{1.0, 0.0};
    cplx step{1.0, 0.0};
    cplx tickSum{};
    int tickFill = 0;
    std::int64_t ticks = 0;
    std::int64_t mixedOrigin = 0; // input sample index of the first sample mixed

    // --- channels and their reading ---
    std::array<KeyingChannel, channelCount> channels{};
    int chosen = 1;
    int challenger = -1;
    int challengeCount = 0;
    std::int64_t emittedTo = -1; // end tick of the last character given out
    bool anyOutput = false;
    std::array<DecodedCharacter, maxOutput> out{};
    int outCount = 0;

    explicit State(const WeakDecoderOptions& o) : options(o), alphabet(o.alphabet) {
        for (int i = 0; i < searchBlock; ++i) {
            window[static_cast<std::size_t>(i)] =
                static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (i + 0.5) / searchBlock));
        }
        for (int b = 0; b < searchBins; ++b) {
            binCoefficient[static_cast<std::size_t>(b)] =
                2.0 * std::cos(2.0 * std::numbers::pi * (searchLowHz + searchStepHz * b) / dsp::sampleRateHz);
        }
        // Three classes of equal width on a log scale over the speed range,
        // overlapping by 15 % so that a speed on a border is held by both.
        const double lo = 1.2 / std::clamp(std::max(options.minWpm, options.maxWpm), 5.0, 60.0) / weakTickSeconds;
        const double hi = 1.2 / std::clamp(std::min(options.minWpm, options.maxWpm), 5.0, 60.0) / weakTickSeconds;
        const double ratio = std::pow(hi / lo, 1.0 / channelCount);
        for (int c = 0; c < channelCount; ++c) {
            const double a = lo * std::pow(ratio, c);
            channels[static_cast<std::size_t>(c)].configure(std::max(lo, a / 1.15), std::min(hi, a * ratio * 1.15),
                                                            tuning);
        }
        restart();
    }

    void restart() {
        samplesIn = 0;
        meanMagnitude = 0.0;
        delayLine.fill(0.0F);
        loud.fill(false);
        delayIndex = 0;
        loudCount = 0;
        blockFill = 0;
        binPower.fill(0.0);
        blocksSeen = 0;
        replayFill = 0;
        searchLow = 200.0;
        searchHigh = 1200.0;
        pitchHz = 0.0;
        if (options.pitchHz >= 200.0 && options.pitchHz <= 1200.0) {
            searchLow = std::max(200.0, options.pitchHz - 50.0);
            searchHigh = std::min(1200.0, options.pitchHz + 50.0);
            tune(options.pitchHz);
        }
        tickSum = {};
        tickFill = 0;
        ticks = 0;
        mixedOrigin = -blankerDelay;
        for (KeyingChannel& c : channels) {
            c.setAlphabet(alphabet);
            c.restart();
        }
        chosen = channelCount / 2;
        challenger = -1;
        challengeCount = 0;
        emittedTo = -1;
        anyOutput = false;
        outCount = 0;
    }

    void tune(double hz) {
        pitchHz = std::clamp(hz, 150.0, 1250.0);
        const double w = -2.0 * std::numbers::pi * pitchHz / dsp::sampleRateHz;
        step = {std::cos(w), std::sin(w)};
    }

    void retune(double hz) {
        tune(hz);
        for (KeyingChannel& c : channels) {
            c.resetFilter();
        }
    }

    // ---------------------------------------------------------------- search
    void searchBlockDone() {
        const double weight = blocksSeen < 16 ? 1.0 / (blocksSeen + 1) : 1.0 / 16.0;
        ++blocksSeen;
        for (int b = 0; b < searchBins; ++b) {
            const double hz = searchLowHz + searchStepHz * b;
            double& avg = binPower[static_cast<std::size_t>(b)];
            if (hz < searchLow - 1e-9 || hz > searchHigh + 1e-9) {
                avg = 0.0;
                continue;
            }
            const double k = binCoefficient[static_cast<std::size_t>(b)];
            double s1 = 0.0, s2 = 0.0;
            for (int i = 0; i < searchBlock; ++i) {
                const double s0 = block[static_cast<std::size_t>(i)] + k * s1 - s2;
                s2 = s1;
                s1 = s0;
            }
            avg += weight * (s1 * s1 + s2 * s2 - k * s1 * s2 - avg);
        }
        if (blocksSeen < 8) {
            return;
        }
        int peak = 0;
        for (int b = 1; b < searchBins; ++b) {
            if (binPower[static_cast<std::size_t>(b)] > binPower[static_cast<std::size_t>(peak)]) {
                peak = b;
            }
        }
        double offset = 0.0;
        if (peak > 0 && peak < searchBins - 1) {
            const double a = std::log(binPower[static_cast<std::size_t>(peak - 1)] + 1e-9);
            const double m = std::log(binPower[static_cast<std::size_t>(peak)] + 1e-9);
            const double c = std::log(binPower[static_cast<std::size_t>(peak + 1)] + 1e-9);
            const double den = a - 2.0 * m + c;
            offset = den < 0.0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
        }
        const double peakHz = searchLowHz + searchStepHz * (peak + offset);
        if (pitchHz == 0.0) {
            // A first tone must stand out of the band (noise alone has its
            // peaks too), or two seconds have passed.
            std::array<double, searchBins> sorted = binPower;
            const auto middle = sorted.begin() + (searchBins - 1) / 2;
            std::nth_element(sorted.begin(), middle, sorted.end());
            if (binPower[static_cast<std::size_t>(peak)] < 3.0 * *middle && blocksSeen < 32 &&
                searchHigh - searchLow > 150.0) {
                return;
            }
            retune(peakHz);
            mixedOrigin = std::max<std::int64_t>(0, replayFill - replaySamples) - blankerDelay;
            for (std::int64_t i = std::max<std::int64_t>(0, replayFill - replaySamples); i < replayFill; ++i) {
                mix(replay[static_cast<std::size_t>(i % replaySamples)]);
            }
            replayFill = 0;
            return;
        }
        // Move to another tone only when it is clearly the stronger one.
        const int here =
            std::clamp(static_cast<int>(std::lround((pitchHz - searchLowHz) / searchStepHz)), 0, searchBins - 1);
        if (std::abs(peakHz - pitchHz) > 25.0 &&
            binPower[static_cast<std::size_t>(peak)] > 4.0 * binPower[static_cast<std::size_t>(here)]) {
            retune(peakHz);
        }
    }

    // ---------------------------------------------------------------- ticks
    void processTick(cplx z) {
        ++ticks;
        for (KeyingChannel& c : channels) {
            c.tick(z);
        }
        const KeyingChannel& read = channels[static_cast<std::size_t>(chosen)];
        if (read.pitchErrorValid()) {
            tune(std::clamp(pitchHz + 0.02 * read.pitchErrorHz(), searchLow - 30.0, searchHigh + 30.0));
        }
        if (ticks % 20 == 0 || !anyOutput) {
            choose();
        }
        takeCharacters();
    }

    // Reads the channel whose runs fit a dot length best; another one takes
    // over when it fits clearly better for a while.
    void choose() {
        int bestIndex = chosen;
        for (int c = 0; c < channelCount; ++c) {
            if (channels[static_cast<std::size_t>(c)].fitCost() <
                channels[static_cast<std::size_t>(bestIndex)].fitCost()) {
                bestIndex = c;
            }
        }
        const double current = channels[static_cast<std::size_t>(chosen)].fitCost();
        const double other = channels[static_cast<std::size_t>(bestIndex)].fitCost();
        if (bestIndex == chosen || other > 0.75 * current) {
            challenger = -1;
            challengeCount = 0;
            return;
        }
        challengeCount = bestIndex == challenger ? challengeCount + 1 : 1;
        challenger = bestIndex;
        if (challengeCount >= 3 || !anyOutput) {
            chosen = bestIndex;
            challenger = -1;
            challengeCount = 0;
        }
    }

    void takeCharacters() {
        const KeyingChannel& read = channels[static_cast<std::size_t>(chosen)];
        // The first characters wait for a channel that has found the speed.
        if (!anyOutput && read.fitCost() > firstOutputCost) {
            for (KeyingChannel& c : channels) {
                c.clearPending();
            }
            return;
        }
        for (int i = 0; i < read.pendingCount(); ++i) {
            const ChannelCharacter& c = read.pending(i);
            if (c.endTick <= emittedTo) {
                continue; // given out already, by the channel read before
            }
            if (c.wordGapBefore && anyOutput) {
                put(" ", 0, c.endTick, read, read.snrDb() > -99.0 ? 1.0F : 0.0F);
            }
            put(lookupCharacter(c.code, alphabet), c.code, c.endTick, read, c.confidence);
            emittedTo = c.endTick;
            anyOutput = true;
        }
        for (KeyingChannel& c : channels) {
            c.clearPending();
        }
    }

    void put(std::string_view text, ElementCode code, std::int64_t endTick, const KeyingChannel& from,
             float confidence) {
        if (outCount >= maxOutput) {
            return;
        }
        DecodedCharacter& c = out[static_cast<std::size_t>(outCount++)];
        c = {};
        std::memcpy(c.text, text.data(), std::min<std::size_t>(text.size(), sizeof c.text - 1));
        c.elementCode = code;
        c.endSample = std::max<std::int64_t>(0, mixedOrigin + endTick * weakSamplesPerTick);
        c.wpm = static_cast<float>(1.2 / (from.dotTicks() * weakTickSeconds));
        c.pitchHz = static_cast<float>(pitchHz);
        c.snrDb = static_cast<float>(from.snrDb());
        c.confidence = confidence;
    }

    // ---------------------------------------------------------------- samples
    void feedSample(double x) {
        ++samplesIn;
        // Blanker. The mean magnitude follows with a 250 ms time constant
        // (the first 64 samples set it) and ignores what is blanked.
        const double mag = std::abs(x);
        if (samplesIn <= 64) {
            meanMagnitude += (mag - meanMagnitude) / static_cast<double>(samplesIn);
        }
        const auto di = static_cast<std::size_t>(delayIndex);
        loudCount -= loud[di] ? 1 : 0;
        loud[di] = mag > 3.0 * meanMagnitude;
        loudCount += loud[di] ? 1 : 0;
        delayLine[di] = static_cast<float>(x);
        delayIndex = (delayIndex + 1) % (2 * blankerDelay);
        x = delayLine[static_cast<std::size_t>((delayIndex + blankerDelay) % (2 * blankerDelay))];
        const bool impulse = std::abs(x) > 6.0 * meanMagnitude && loudCount <= blankerDelay;
        if (samplesIn > 64) {
            meanMagnitude += ((impulse ? meanMagnitude : std::abs(x)) - meanMagnitude) * (1.0 / 2000.0);
        }
        if (impulse) {
            x = 0.0;
        }

        block[static_cast<std::size_t>(blockFill)] =
            static_cast<float>(x * window[static_cast<std::size_t>(blockFill)]);
        if (++blockFill == searchBlock) {
            blockFill = 0;
            searchBlockDone();
        }
        if (pitchHz == 0.0) {
            replay[static_cast<std::size_t>(replayFill++ % replaySamples)] = static_cast<float>(x);
            return;
        }
        mix(x);
    }

    void mix(double x) {
        tickSum += x * phasor;
        phasor *= step;
        if (++tickFill == weakSamplesPerTick) {
            tickFill = 0;
            phasor /= std::abs(phasor);
            processTick(tickSum);
            tickSum = {};
        }
    }

    void finish() {
        for (KeyingChannel& c : channels) {
            c.finish();
        }
        takeCharacters();
        const KeyingChannel& read = channels[static_cast<std::size_t>(chosen)];
        if (anyOutput) {
            put(" ", 0, emittedTo, read, 1.0F);
            anyOutput = false; // the next character starts a new word
        }
    }
};

WeakSignalDecoder::WeakSignalDecoder(const WeakDecoderOptions& options) : state_(std::make_unique<State>(options)) {}

WeakSignalDecoder::~WeakSignalDecoder() = default;

std::span<const DecodedCharacter> WeakSignalDecoder::feed(std::span<const std::int16_t> samples) {
    State& s = *state_;
    s.outCount = 0;
    for (const std::int16_t v : samples) {
        s.feedSample(v);
    }
    return {s.out.data(), static_cast<std::size_t>(s.outCount)};
}

std::span<const DecodedCharacter> WeakSignalDecoder::flush() {
    State& s = *state_;
    s.outCount = 0;
    s.finish();
    return {s.out.data(), static_cast<std::size_t>(s.outCount)};
}

void WeakSignalDecoder::reset() { state_->restart(); }

void WeakSignalDecoder::setAlphabet(Alphabet alphabet) {
    state_->alphabet = alphabet;
    for (KeyingChannel& c : state_->channels) {
        c.setAlphabet(alphabet);
    }
}

WeakDecoderEstimates WeakSignalDecoder::estimates() const {
    const State& s = *state_;
    const KeyingChannel& read = s.channels[static_cast<std::size_t>(s.chosen)];
    WeakDecoderEstimates e;
    e.pitchHz = s.pitchHz;
    e.snrDb = read.snrDb() > -99.0 ? read.snrDb() : 0.0;
    e.wpm = read.speedMeasured() ? 1.2 / (read.dotTicks() * weakTickSeconds) : 0.0;
    e.confidence = read.speedMeasured() ? std::clamp(1.0 - read.fitCost() / 0.1, 0.0, 1.0) *
                                              std::clamp((read.snrDb() + 6.0) / 10.0, 0.0, 1.0)
                                        : 0.0;
    return e;
}

} // namespace dsp
