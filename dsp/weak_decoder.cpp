#include "dsp/weak_decoder.h"

// How it works, stage by stage (every stage runs on the decoder's own fixed
// arrays; nothing allocates after construction):
//
// 1. Impulse blanker: samples far above the running mean magnitude are
//    zeroed (clicks and static crashes would otherwise read as marks).
// 2. Tone search: a Hann-windowed Goertzel bank (10 Hz steps, 200 … 1200 Hz)
//    over 64 ms blocks, power averaged over about a second; the strongest
//    bin, refined by a parabola, places the mixer.
// 3. Coherent mixing to baseband and a boxcar sum of 20 samples gives one
//    complex value per 2.5 ms tick; a running sum over W ticks (W ≈ 0.7 dot)
//    is the matched filter, so the noise bandwidth is about 1/dot.
// 4. Fine pitch tracking: the phase advance of the matched-filter output
//    during marks steers the mixer (drift, a tone between search bins).
// 5. Per tick, the log-likelihood ratio of key down against key up from a
//    Rician (tone plus noise) and a Rayleigh (noise) model, with the noise
//    level from a low quantile of the tick power and the tone level from the
//    marks recently decoded (fading is followed, and a floor keeps noise
//    from passing as a weak tone).
// 6. A semi-Markov Viterbi search over runs: dot, dash, element gap,
//    character gap, word gap, idle, with log-normal duration models scaled
//    by the current dot length. Every run's score is the sum of its ticks'
//    ratios plus its duration and transition log-probabilities.
// 7. Fixed-lag decisions: every 50 ms the best path is traced back; runs
//    that ended more than 0.8 s ago are final. The dot length is refitted to
//    the last runs' durations (any speed in the range, changing speed), the
//    runs are labelled with it and grouped into characters, and an invalid
//    code is replaced by the most likely valid one (one element flipped).

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>

namespace dsp {

namespace {

using cplx = std::complex<double>;

constexpr int sampleRate = 8000;
constexpr int samplesPerTick = 20;                               // 2.5 ms ticks
constexpr double tickSeconds = double(samplesPerTick) / sampleRate; // 0.0025 s
constexpr int historyTicks = 4096;                               // 10.24 s, a power of two
constexpr int historyMask = historyTicks - 1;
constexpr int maxWindowTicks = 64;   // longest matched filter, 160 ms
constexpr int searchBlock = 512;     // 64 ms
constexpr int searchBins = 101;      // 200, 210, … 1200 Hz
constexpr double searchLowHz = 200.0;
constexpr double searchStepHz = 10.0;
constexpr int maxSegments = 2048;    // runs held by one traceback
constexpr int maxOutput = 2048;      // characters returned by one call
constexpr int maxCharacterElements = 15;
constexpr int commitLagTicks = 320;  // 0.8 s: decisions older than this are final
constexpr int tracebackEveryTicks = 20;
constexpr int fitRuns = 24;          // runs the dot length is fitted to
constexpr double negInf = -1e300;

enum Run : int { Dot = 0, Dash = 1, Gap1 = 2, Gap3 = 3, Gap7 = 4, Idle = 5, NoRun = 6 };
constexpr int timedRuns = 5; // Dot … Gap7 have duration models

// Nominal length in dots and spread (standard deviation of the log length)
// of each timed run, and the range searched, in dots.
constexpr std::array<double, timedRuns> runUnits = {1.0, 3.0, 1.0, 3.0, 7.0};
constexpr std::array<double, timedRuns> runSpread = {0.28, 0.22, 0.32, 0.28, 0.30};
constexpr std::array<double, timedRuns> runMinDots = {0.3, 1.6, 0.3, 1.7, 4.4};
constexpr std::array<double, timedRuns> runMaxDots = {2.2, 5.5, 2.2, 5.5, 11.0};
constexpr int maxRunTicks = 700; // 11 dots at 5 WPM would be 1056; the range is clamped

// log I0(x), x ≥ 0 (Abramowitz and Stegun 9.8.1, 9.8.2; relative error < 1e-7).
double logBesselI0(double x) {
    if (x < 3.75) {
        const double t = (x / 3.75) * (x / 3.75);
        return std::log(1.0 + t * (3.5156229 + t * (3.0899424 + t * (1.2067492 +
                                   t * (0.2659732 + t * (0.0360768 + t * 0.0045813))))));
    }
    const double t = 3.75 / x;
    return x - 0.5 * std::log(x) +
           std::log(0.39894228 + t * (0.01328592 + t * (0.00225319 + t * (-0.00157565 + t * (0.00916281 +
                    t * (-0.02057706 + t * (0.02635537 + t * (-0.01647633 + t * 0.00392377))))))));
}

struct Segment {
    Run run = NoRun;
    std::int64_t start = 0; // first tick
    std::int64_t end = 0;   // one past the last tick
};

} // namespace

struct WeakSignalDecoder::State {
    WeakDecoderOptions options;
    decoder::Alphabet alphabet = decoder::Latin;

    // Tuning (kept together so that the benchmark's trials read in one place).
    double windowDots = 0.7;         // matched filter length, dots
    double evidenceScale = 1.6;      // tick ratios are correlated over the window
    double floorRatioDb = 7.0;       // weakest tone assumed, per window, dB over noise
    double outputSnrDb = -6.0;       // characters below this estimated SNR are held back
    double startPenalty = 12.0;      // log cost of a transmission starting after idle
    double noiseQuantile = 0.2;

    // --- input and blanker ---
    std::int64_t samplesIn = 0;
    // The blanker looks blankerDelay samples ahead: a sample far above the
    // mean magnitude is an impulse when few of its neighbours are loud too
    // (a tone's onset stays loud).
    static constexpr int blankerDelay = 16;
    std::array<float, 2 * blankerDelay> delayLine{};
    int delayIndex = 0;
    int loudCount = 0; // samples in delayLine above 3 mean magnitudes
    std::array<bool, 2 * blankerDelay> loud{};
    double meanMagnitude = 0.0;

    // --- tone search ---
    std::array<float, searchBlock> window{};
    std::array<float, searchBlock> block{};
    int blockFill = 0;
    // The audio before the tone is found, decoded once it is.
    static constexpr int replaySamples = 16 * searchBlock; // the last 1.024 s, a ring
    std::array<float, replaySamples> replay{};
    std::int64_t replayFill = 0; // samples ever put into the ring
    std::array<double, searchBins> binCoefficient{};
    std::array<double, searchBins> binPower{};
    int blocksSeen = 0;
    double searchLow = 200.0, searchHigh = 1200.0;

    // --- mixer and decimation ---
    double pitchHz = 0.0; // 0 until found
    cplx phasor{1.0, 0.0};
    cplx step{1.0, 0.0};
    cplx tickSum{};
    int tickFill = 0;

    // --- matched filter, pitch tracking ---
    std::array<cplx, maxWindowTicks> baseband{};
    std::array<cplx, maxWindowTicks> filtered{};
    int basebandIndex = 0;
    cplx windowSum{};
    int windowTicks = 17;
    int filledTicks = 0; // ticks since the filter was cleared
    cplx discriminator{};

    // --- levels ---
    double noiseLevel = 0.0;  // quantile of tick power
    double toneLevel = 0.0;   // A², tick power of the tone alone
    std::int64_t toneUpdatedTo = 0;

    // --- run search ---
    double dotTicks = 24.0; // current dot length, ticks
    std::array<std::array<double, maxRunTicks + 1>, timedRuns> logDuration{};
    std::array<int, timedRuns> minTicks{}, maxTicks{};
    std::array<double, historyTicks> evidence{}; // cumulative tick ratio
    std::array<float, historyTicks> tickPower{};
    std::array<std::array<double, timedRuns>, historyTicks> best{};
    std::array<std::array<std::int16_t, timedRuns>, historyTicks> backLength{};
    std::array<std::array<std::int8_t, timedRuns>, historyTicks> backRun{};
    std::array<double, historyTicks> idleScore{};
    std::array<std::int64_t, historyTicks> idleOrigin{}; // tick the word gap before the idle ended; −1: since start
    std::array<double, historyTicks> enterScore{};       // best way into a mark starting at this tick
    std::array<std::int8_t, historyTicks> enterRun{};
    std::array<double, historyTicks> exitScore{};        // best mark ending at this tick
    std::array<std::int8_t, historyTicks> exitRun{};
    std::int64_t ticks = 0; // ticks processed

    // --- decisions ---
    std::array<Segment, maxSegments> segments{};
    int segmentCount = 0;
    std::int64_t committedTo = 0; // end tick of the last decided character's last mark
    bool spaceOwed = false;       // a word gap follows the last character
    std::array<DecodedCharacter, maxOutput> out{};
    int outCount = 0;
    double snrDb = -99.0;

    explicit State(const WeakDecoderOptions& o) : options(o), alphabet(o.alphabet) {
        for (int i = 0; i < searchBlock; ++i) {
            window[static_cast<std::size_t>(i)] =
                static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (i + 0.5) / searchBlock));
        }
        for (int b = 0; b < searchBins; ++b) {
            binCoefficient[static_cast<std::size_t>(b)] =
                2.0 * std::cos(2.0 * std::numbers::pi * (searchLowHz + searchStepHz * b) / sampleRate);
        }
        restart();
    }

    double minDotTicks() const { return 1.2 / std::clamp(options.maxWpm, 5.0, 60.0) / tickSeconds; }
    double maxDotTicks() const { return 1.2 / std::clamp(options.minWpm, 5.0, 60.0) / tickSeconds; }

    void restart() {
        samplesIn = 0;
        meanMagnitude = 0.0;
        delayLine.fill(0.0F);
        loud.fill(false);
        delayIndex = 0;
        loudCount = 0;
        blockFill = 0;
        replayFill = 0;
        binPower.fill(0.0);
        blocksSeen = 0;
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
        noiseLevel = 0.0;
        toneLevel = 0.0;
        toneUpdatedTo = 0;
        const double lo = minDotTicks(), hi = maxDotTicks();
        setDot(std::clamp(std::sqrt(lo * hi), lo, hi));
        ticks = 0;
        evidence[0] = 0.0;
        best[0].fill(negInf);
        idleScore[0] = 0.0;
        idleOrigin[0] = -1;
        enterScore[0] = negInf;
        exitScore[0] = negInf;
        committedTo = 0;
        spaceOwed = false;
        outCount = 0;
        snrDb = -99.0;
        resetFilter();
    }

    void resetFilter() {
        baseband.fill({});
        filtered.fill({});
        basebandIndex = 0;
        windowSum = {};
        discriminator = {};
        filledTicks = 0;
    }

    void tune(double hz) {
        pitchHz = std::clamp(hz, 150.0, 1250.0);
        const double w = -2.0 * std::numbers::pi * pitchHz / sampleRate;
        step = {std::cos(w), std::sin(w)};
    }

    // The dot length sets the duration models and the matched filter.
    void setDot(double dot) {
        dotTicks = dot;
        for (int r = 0; r < timedRuns; ++r) {
            const auto ru = static_cast<std::size_t>(r);
            minTicks[ru] = std::max(2, static_cast<int>(std::floor(runMinDots[ru] * dot)));
            maxTicks[ru] = std::min(maxRunTicks, static_cast<int>(std::ceil(runMaxDots[ru] * dot)));
            const double centre = runUnits[ru] * dot;
            const double s = runSpread[ru];
            for (int d = 0; d <= maxRunTicks; ++d) {
                double v = negInf;
                if (d >= minTicks[ru] && d <= maxTicks[ru]) {
                    const double z = std::log(d / centre) / s;
                    v = -0.5 * z * z - std::log(static_cast<double>(d) * s);
                }
                logDuration[ru][static_cast<std::size_t>(d)] = v;
            }
        }
        const int w = std::clamp(static_cast<int>(std::lround(windowDots * dot)), 2, maxWindowTicks);
        if (w != windowTicks) {
            // The noise power of a sum grows with its length.
            noiseLevel *= static_cast<double>(w) / windowTicks;
            toneLevel *= (static_cast<double>(w) / windowTicks) * (static_cast<double>(w) / windowTicks);
            windowTicks = w;
            windowSum = {};
            for (int i = 0; i < w; ++i) {
                windowSum += baseband[static_cast<std::size_t>((basebandIndex - 1 - i + maxWindowTicks) % maxWindowTicks)];
            }
        }
    }

    // ---------------------------------------------------------------- search
    void searchBlockDone() {
        const double weight = blocksSeen < 16 ? 1.0 / (blocksSeen + 1) : 1.0 / 16.0;
        ++blocksSeen;
        for (int b = 0; b < searchBins; ++b) {
            const double hz = searchLowHz + searchStepHz * b;
            auto& avg = binPower[static_cast<std::size_t>(b)];
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
            const double p = s1 * s1 + s2 * s2 - k * s1 * s2;
            avg += weight * (p - avg);
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
            // A first tone must stand out of the band searched (noise alone
            // has its peaks too); later the search keeps going.
            std::array<double, searchBins> sorted = binPower;
            const auto middle = sorted.begin() + (searchBins - 1) / 2;
            std::nth_element(sorted.begin(), middle, sorted.end());
            if (binPower[static_cast<std::size_t>(peak)] < 5.0 * *middle && blocksSeen < 32 &&
                searchHigh - searchLow > 150.0) {
                return;
            }
            tune(peakHz);
            resetFilter();
            for (std::int64_t i = std::max<std::int64_t>(0, replayFill - replaySamples); i < replayFill; ++i) {
                mix(replay[static_cast<std::size_t>(i % replaySamples)]);
            }
            replayFill = 0;
            return;
        }
        // Move to another tone only when it is clearly the stronger one.
        const int here = std::clamp(static_cast<int>(std::lround((pitchHz - searchLowHz) / searchStepHz)), 0, searchBins - 1);
        if (std::abs(peakHz - pitchHz) > 25.0 &&
            binPower[static_cast<std::size_t>(peak)] > 4.0 * binPower[static_cast<std::size_t>(here)]) {
            tune(peakHz);
            resetFilter();
        }
    }

    // ---------------------------------------------------------------- ticks
    void processTick(cplx z) {
        const auto bi = static_cast<std::size_t>(basebandIndex);
        const cplx leaving =
            baseband[static_cast<std::size_t>((basebandIndex - windowTicks + maxWindowTicks) % maxWindowTicks)];
        baseband[bi] = z;
        windowSum += z - leaving;
        // Rounding drift of the running sum is cleared once per window.
        if (ticks % 4096 == 0) {
            windowSum = {};
            for (int i = 0; i < windowTicks; ++i) {
                windowSum += baseband[static_cast<std::size_t>((basebandIndex - i + maxWindowTicks) % maxWindowTicks)];
            }
        }
        const cplx y = windowSum;
        const int lag = std::max(1, windowTicks / 2);
        const cplx past = filtered[static_cast<std::size_t>((basebandIndex - lag + maxWindowTicks) % maxWindowTicks)];
        filtered[bi] = y;
        basebandIndex = (basebandIndex + 1) % maxWindowTicks;
        const double p = std::norm(y);

        // Noise level: the noiseQuantile-quantile of the tick power, tracked
        // by multiplicative steps; for noise alone the power is exponential.
        ++filledTicks;
        if (filledTicks < windowTicks) {
            return; // the sum is not yet over a whole window
        }
        if (noiseLevel <= 0.0) {
            noiseLevel = std::max(p, 1e-6);
        } else {
            // Large steps first, so a poor first guess is soon forgotten.
            const double rate = ticks < 400 ? 0.1 : 0.04;
            noiseLevel *= p < noiseLevel ? 1.0 - rate * (1.0 - noiseQuantile) : 1.0 + rate * noiseQuantile;
        }
        const double noise = std::max(noiseLevel / -std::log(1.0 - noiseQuantile), 1e-9);
        const double floorTone = noise * std::pow(10.0, floorRatioDb / 10.0);
        const double tone = std::max(toneLevel, floorTone);

        // Pitch tracking on strong ticks.
        if (p > std::max(4.0 * noise, 0.3 * tone) && pitchHz > 0.0) {
            discriminator += 0.05 * (y * std::conj(past) / std::sqrt(p * std::norm(past) + 1e-30) - discriminator);
            const double offsetHz = std::arg(discriminator) / (2.0 * std::numbers::pi * lag * tickSeconds);
            if (std::abs(discriminator) > 0.5) {
                tune(std::clamp(pitchHz + 0.02 * offsetHz, searchLow - 30.0, searchHigh + 30.0));
            }
        }

        // Tick log-likelihood ratio, mark against space.
        const double a = std::sqrt(tone);
        const double x = std::min(std::sqrt(p), 3.0 * a);
        const double llr = (logBesselI0(2.0 * a * x / noise) - tone / noise) * evidenceScale / windowTicks;

        ++ticks;
        const std::int64_t t = ticks;
        if (std::getenv("WDEBUG") && t < 1600 && t % 4 == 0) {
            std::fprintf(stderr, "t %ld p/n %.2f llr %.3f pitch %.2f noise %.3g tone %.3g dot %.1f\n", (long)t, p / noise, llr, pitchHz, noise, tone, dotTicks);
        }
        const auto ti = static_cast<std::size_t>(t & historyMask);
        evidence[ti] = evidence[static_cast<std::size_t>((t - 1) & historyMask)] + llr;
        tickPower[ti] = static_cast<float>(p);
        step_viterbi(t);
        if (t % tracebackEveryTicks == 0) {
            decide(false);
        }
        snrDb = 10.0 * std::log10(std::max(toneLevel, 1e-12) / noise * 16.0 / (samplesPerTick * windowTicks));
        // Scores only matter relative to each other: shift them down now and
        // then so that hours of audio keep their precision.
        if (t % historyTicks == 0) {
            renormalise(t);
        }
    }

    void renormalise(std::int64_t t) {
        const double shift = idleScore[static_cast<std::size_t>(t & historyMask)];
        const double eShift = evidence[static_cast<std::size_t>(t & historyMask)];
        for (std::size_t i = 0; i < historyTicks; ++i) {
            for (double& v : best[i]) {
                v = v <= negInf / 2 ? v : v - shift;
            }
            idleScore[i] = idleScore[i] <= negInf / 2 ? idleScore[i] : idleScore[i] - shift;
            enterScore[i] = enterScore[i] <= negInf / 2 ? enterScore[i] : enterScore[i] - shift;
            exitScore[i] = exitScore[i] <= negInf / 2 ? exitScore[i] : exitScore[i] - shift;
            evidence[i] -= eShift;
        }
    }

    void step_viterbi(std::int64_t t) {
        const auto ti = static_cast<std::size_t>(t & historyMask);
        const double eNow = evidence[ti];
        const std::int64_t oldest = std::max<std::int64_t>(0, t - historyTicks + maxRunTicks + 1);
        // Transition log-probabilities: a mark is a dot or a dash alike; after
        // a mark comes an element gap, a character gap or a word gap.
        constexpr double logHalf = -0.6931;
        const std::array<double, timedRuns> logTransition = {logHalf, logHalf, std::log(0.56), std::log(0.32),
                                                             std::log(0.12)};
        for (int r = 0; r < timedRuns; ++r) {
            const auto ru = static_cast<std::size_t>(r);
            double bestScore = negInf;
            int bestLength = 0;
            std::int8_t bestPrev = NoRun;
            const bool mark = r <= Dash;
            for (int d = minTicks[ru]; d <= maxTicks[ru]; ++d) {
                const std::int64_t s = t - d;
                if (s < oldest) {
                    break;
                }
                const auto si = static_cast<std::size_t>(s & historyMask);
                const double from = mark ? enterScore[si] : exitScore[si];
                if (from <= negInf / 2) {
                    continue;
                }
                double v = from + logDuration[ru][static_cast<std::size_t>(d)];
                if (mark) {
                    v += eNow - evidence[si];
                }
                if (v > bestScore) {
                    bestScore = v;
                    bestLength = d;
                    bestPrev = mark ? enterRun[si] : exitRun[si];
                }
            }
            best[ti][ru] = bestScore + logTransition[ru];
            backLength[ti][ru] = static_cast<std::int16_t>(bestLength);
            backRun[ti][ru] = bestPrev;
        }
        const auto pi = static_cast<std::size_t>((t - 1) & historyMask);
        // Idle: a word gap that goes on.
        if (best[ti][Gap7] >= idleScore[pi]) {
            idleScore[ti] = best[ti][Gap7];
            idleOrigin[ti] = t;
        } else {
            idleScore[ti] = idleScore[pi];
            idleOrigin[ti] = idleOrigin[pi];
        }
        // A mark starting at t follows a gap ending at t, or the idle.
        enterScore[ti] = best[ti][Gap1];
        enterRun[ti] = Gap1;
        if (best[ti][Gap3] > enterScore[ti]) {
            enterScore[ti] = best[ti][Gap3];
            enterRun[ti] = Gap3;
        }
        if (best[ti][Gap7] > enterScore[ti]) {
            enterScore[ti] = best[ti][Gap7];
            enterRun[ti] = Gap7;
        }
        if (idleScore[pi] - startPenalty > enterScore[ti]) {
            enterScore[ti] = idleScore[pi] - startPenalty;
            enterRun[ti] = Idle;
        }
        exitScore[ti] = best[ti][Dot];
        exitRun[ti] = Dot;
        if (best[ti][Dash] > exitScore[ti]) {
            exitScore[ti] = best[ti][Dash];
            exitRun[ti] = Dash;
        }
    }

    // Traces the best path back from the newest tick into segments (oldest
    // first), far enough to cover every undecided run and the runs the dot
    // length is fitted to.
    void traceBack() {
        const std::int64_t t = ticks;
        const auto ti = static_cast<std::size_t>(t & historyMask);
        const std::int64_t limit = std::max<std::int64_t>(0, t - historyTicks + maxRunTicks + 1);
        int count = 0;
        std::array<Segment, maxSegments>& seg = segments;
        // Choose the end state.
        Run state = Idle;
        double v = idleScore[ti];
        for (int r = 0; r < timedRuns; ++r) {
            if (best[ti][static_cast<std::size_t>(r)] > v) {
                v = best[ti][static_cast<std::size_t>(r)];
                state = static_cast<Run>(r);
            }
        }
        std::int64_t at = t;
        int marksBeforeCommit = 0;
        while (count < maxSegments && at > limit) {
            const auto ai = static_cast<std::size_t>(at & historyMask);
            if (state == Idle) {
                const std::int64_t origin = idleOrigin[ai];
                const std::int64_t from = origin < 0 ? 0 : origin;
                seg[static_cast<std::size_t>(count++)] = {Idle, from, at};
                if (origin < 0 || origin <= limit) {
                    break;
                }
                // The idle's start is a word gap's end.
                at = origin;
                state = Gap7;
                continue;
            }
            const int d = backLength[ai][static_cast<std::size_t>(state)];
            const auto prev = static_cast<Run>(backRun[ai][static_cast<std::size_t>(state)]);
            if (d <= 0 || prev == NoRun) {
                break;
            }
            seg[static_cast<std::size_t>(count++)] = {state, at - d, at};
            if (at - d <= committedTo && state <= Dash && ++marksBeforeCommit > fitRuns) {
                break;
            }
            if (prev == Idle) {
                // The mark started out of the idle that ended one tick before.
                at = at - d;
                const auto ii = static_cast<std::size_t>((at - 1) & historyMask);
                const std::int64_t origin = idleOrigin[ii];
                seg[static_cast<std::size_t>(count++)] = {Idle, origin < 0 ? 0 : origin, at};
                if (origin < 0 || origin <= limit || count >= maxSegments) {
                    break;
                }
                at = origin;
                state = Gap7;
                continue;
            }
            at -= d;
            state = prev;
        }
        std::reverse(seg.begin(), seg.begin() + count);
        segmentCount = count;
    }

    // Dot length (ticks) that best explains the last runs as 1, 3 (marks)
    // or 1, 3, 7 (gaps) dots; 0 when too few runs are known.
    double fitDot(int lastSegment) const {
        std::array<double, fitRuns> len{};
        std::array<bool, fitRuns> isMark{};
        int n = 0;
        for (int i = lastSegment; i >= 0 && n < fitRuns; --i) {
            const Segment& s = segments[static_cast<std::size_t>(i)];
            if (s.run == Idle || s.run == NoRun) {
                continue;
            }
            len[static_cast<std::size_t>(n)] = static_cast<double>(s.end - s.start);
            isMark[static_cast<std::size_t>(n)] = s.run <= Dash;
            ++n;
        }
        if (n < 8) {
            return 0.0;
        }
        const double lo = minDotTicks(), hi = maxDotTicks();
        double bestDot = 0.0, bestCost = 1e300;
        for (double dot = lo; dot <= hi; dot *= 1.02) {
            double cost = 0.0;
            for (int i = 0; i < n; ++i) {
                const double l = std::log(len[static_cast<std::size_t>(i)] / dot);
                double e = std::min(l * l, (l - std::log(3.0)) * (l - std::log(3.0)));
                if (!isMark[static_cast<std::size_t>(i)]) {
                    e = std::min(e, (l - std::log(7.0)) * (l - std::log(7.0)));
                }
                cost += std::min(e, 0.35);
            }
            if (cost < bestCost) {
                bestCost = cost;
                bestDot = dot;
            }
        }
        return bestDot;
    }

    static int nearestUnits(double length, double dot, bool mark) {
        const double l = std::log(length / dot);
        if (mark) {
            return std::abs(l) <= std::abs(l - std::log(3.0)) ? 1 : 3;
        }
        if (l < 0.5 * std::log(3.0)) {
            return 1;
        }
        return l < 0.5 * (std::log(3.0) + std::log(7.0)) ? 3 : 7;
    }

    // Decides the characters whose last mark ended at least commitLagTicks
    // ago (all of them at the end of input).
    void decide(bool final) {
        traceBack();
        const std::int64_t horizon = final ? std::numeric_limits<std::int64_t>::max() : ticks - commitLagTicks;
        updateToneLevel();

        // Refit the speed to the runs up to now.
        const double fitted = fitDot(segmentCount - 1);
        if (fitted > 0.0 && std::abs(std::log(fitted / dotTicks)) > 0.03) {
            setDot(fitted);
        }
        const double dot = dotTicks;

        int i = 0;
        while (i < segmentCount && (segments[static_cast<std::size_t>(i)].run > Dash ||
                                    segments[static_cast<std::size_t>(i)].start <= committedTo)) {
            ++i;
        }
        while (i < segmentCount) {
            // One character: marks joined by element gaps.
            std::array<int, maxCharacterElements + 1> units{};
            std::array<double, maxCharacterElements + 1> lengths{};
            int elements = 0;
            int j = i;
            bool closed = false;
            bool wordGap = false;
            double markEvidence = 0.0;
            std::int64_t markTicks = 0;
            std::int64_t lastEnd = 0;
            while (j < segmentCount) {
                const Segment& s = segments[static_cast<std::size_t>(j)];
                const double len = static_cast<double>(s.end - s.start);
                if (s.run <= Dash) {
                    if (elements <= maxCharacterElements) {
                        lengths[static_cast<std::size_t>(elements)] = len;
                        units[static_cast<std::size_t>(elements)] = nearestUnits(len, dot, true);
                    }
                    ++elements;
                    lastEnd = s.end;
                    markEvidence += evidence[static_cast<std::size_t>(s.end & historyMask)] -
                                    evidence[static_cast<std::size_t>(s.start & historyMask)];
                    markTicks += s.end - s.start;
                    ++j;
                    continue;
                }
                const int gapUnits = s.run == Idle ? 7 : nearestUnits(len, dot, false);
                if (gapUnits > 1) {
                    closed = true;
                    wordGap = gapUnits == 7;
                    break;
                }
                ++j;
            }
            if (!closed && final && elements > 0) {
                closed = true;
                wordGap = true;
            }
            if (!closed || lastEnd > horizon) {
                return;
            }
            emitCharacter(units, lengths, elements, lastEnd, markEvidence, markTicks, dot);
            committedTo = lastEnd;
            spaceOwed = spaceOwed || wordGap;
            i = j + 1;
            while (i < segmentCount && segments[static_cast<std::size_t>(i)].run > Dash) {
                ++i;
            }
        }
    }

    void updateToneLevel() {
        // The tone level from the newest marks that the filter has passed.
        for (int i = 0; i < segmentCount; ++i) {
            const Segment& s = segments[static_cast<std::size_t>(i)];
            if (s.run > Dash || s.end + windowTicks > ticks || s.end <= toneUpdatedTo) {
                continue;
            }
            const std::int64_t len = s.end - s.start;
            const std::int64_t from = s.start + len / 4 + windowTicks / 2;
            const std::int64_t to = std::max(from + 1, s.end - len / 4 + windowTicks / 2);
            double sum = 0.0;
            for (std::int64_t k = from; k < to; ++k) {
                sum += tickPower[static_cast<std::size_t>(k & historyMask)];
            }
            const double noise = noiseLevel / -std::log(1.0 - noiseQuantile);
            const double measured = std::max(sum / static_cast<double>(to - from) - noise, 0.0);
            toneLevel = toneLevel <= 0.0 ? measured : toneLevel + 0.3 * (measured - toneLevel);
            toneUpdatedTo = s.end;
        }
    }

    void emitCharacter(const std::array<int, maxCharacterElements + 1>& units,
                       const std::array<double, maxCharacterElements + 1>& lengths, int elements,
                       std::int64_t lastEnd, double markEvidence, std::int64_t markTicks, double dot) {
        if (snrDb < outputSnrDb || elements == 0) {
            return;
        }
        decoder::ElementCode code = 0;
        if (elements > maxCharacterElements) {
            code = -1;
        } else {
            for (int e = elements - 1; e >= 0; --e) {
                code = units[static_cast<std::size_t>(e)] == 1 ? decoder::foldDot(code) : decoder::foldDash(code);
            }
        }
        std::string_view text = code > 0 ? decoder::lookupCharacter(code, alphabet) : std::string_view("*");
        if (text == "*" && code > 0) {
            // The most likely valid code with one element read the other way.
            double bestCost = 1e300;
            for (int flip = 0; flip < elements; ++flip) {
                decoder::ElementCode c = 0;
                for (int e = elements - 1; e >= 0; --e) {
                    const int u = units[static_cast<std::size_t>(e)];
                    const bool dotHere = (e == flip) ? u != 1 : u == 1;
                    c = dotHere ? decoder::foldDot(c) : decoder::foldDash(c);
                }
                const std::string_view alt = decoder::lookupCharacter(c, alphabet);
                if (alt == "*") {
                    continue;
                }
                const double l = std::log(lengths[static_cast<std::size_t>(flip)] / dot);
                const double cost = std::abs(std::abs(l) - std::abs(l - std::log(3.0)));
                if (cost < bestCost) {
                    bestCost = cost;
                    code = c;
                    text = alt;
                }
            }
        }
        if (outCount + 2 > maxOutput) {
            return;
        }
        if (spaceOwed && outCount >= 0) {
            DecodedCharacter& gap = out[static_cast<std::size_t>(outCount++)];
            gap = {};
            gap.text[0] = ' ';
            gap.endSample = committedTo * samplesPerTick;
            fillEstimates(gap);
            spaceOwed = false;
        }
        DecodedCharacter& c = out[static_cast<std::size_t>(outCount++)];
        c = {};
        std::memcpy(c.text, text.data(), std::min<std::size_t>(text.size(), 3));
        c.elementCode = code > 0 ? code : 0;
        c.endSample = lastEnd * samplesPerTick;
        fillEstimates(c);
        c.confidence = static_cast<float>(
            std::clamp(markTicks > 0 ? markEvidence / static_cast<double>(markTicks) * windowTicks / 8.0 : 0.0, 0.0, 1.0));
    }

    void fillEstimates(DecodedCharacter& c) const {
        c.wpm = static_cast<float>(1.2 / (dotTicks * tickSeconds));
        c.pitchHz = static_cast<float>(pitchHz);
        c.snrDb = static_cast<float>(snrDb);
        c.confidence = static_cast<float>(confidence());
    }

    double confidence() const { return std::clamp((snrDb - outputSnrDb) / 10.0, 0.0, 1.0); }

    // ---------------------------------------------------------------- samples
    void feedSample(double x) {
        ++samplesIn;
        // Blanker: the mean magnitude follows with a 250 ms time constant
        // (the first samples set it directly) and ignores what is blanked.
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
        // The sample in the middle of the window goes on.
        x = delayLine[static_cast<std::size_t>((delayIndex + blankerDelay) % (2 * blankerDelay))];
        const bool impulse = std::abs(x) > 6.0 * meanMagnitude && loudCount <= blankerDelay;
        if (samplesIn > 64) {
            meanMagnitude += ((impulse ? meanMagnitude : std::abs(x)) - meanMagnitude) * (1.0 / 2000.0);
        }
        if (impulse) {
            x = 0.0;
        }
        block[static_cast<std::size_t>(blockFill)] = static_cast<float>(x * window[static_cast<std::size_t>(blockFill)]);
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
        if (++tickFill == samplesPerTick) {
            tickFill = 0;
            phasor /= std::abs(phasor);
            processTick(tickSum);
            tickSum = {};
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
    if (s.ticks > 0) {
        s.decide(true);
        if (s.spaceOwed && s.outCount < maxOutput) {
            DecodedCharacter& gap = s.out[static_cast<std::size_t>(s.outCount++)];
            gap = {};
            gap.text[0] = ' ';
            gap.endSample = s.committedTo * samplesPerTick;
            s.fillEstimates(gap);
            s.spaceOwed = false;
        }
    }
    return {s.out.data(), static_cast<std::size_t>(s.outCount)};
}

void WeakSignalDecoder::reset() { state_->restart(); }

void WeakSignalDecoder::setAlphabet(decoder::Alphabet alphabet) { state_->alphabet = alphabet; }

WeakDecoderEstimates WeakSignalDecoder::estimates() const {
    const State& s = *state_;
    WeakDecoderEstimates e;
    e.pitchHz = s.pitchHz;
    e.snrDb = s.snrDb;
    e.confidence = s.confidence();
    e.wpm = s.toneLevel > 0.0 ? 1.2 / (s.dotTicks * tickSeconds) : 0.0;
    return e;
}

} // namespace dsp
