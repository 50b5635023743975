#include "dsp/keying_channel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string_view>

namespace dsp {

namespace {

constexpr double negInf = -1e300;
constexpr bool isFinite(double v) { return v > negInf / 2; }
constexpr int fitRuns = 24;          // runs the dot length is fitted to
constexpr int decideEveryTicks = 20; // 50 ms
constexpr int pauseTicks = 800;      // 2 s: the speed is fitted to the runs since the last pause
constexpr double noiseQuantileLevel = 0.2;
// The warm-up's mean of noise alone is over about 10 independent windows, so
// within ±30 % (one standard deviation); the margin keeps a low draw from
// making every burst look like a mark.
constexpr double warmupNoiseMargin = 1.5;

// Nominal length in dots, spread (standard deviation of the log length) and
// searched range in dots of dot, dash, element gap, character gap, word gap.
constexpr std::array<double, 5> runUnits = {1.0, 3.0, 1.0, 3.0, 7.0};
constexpr std::array<double, 5> runSpread = {0.28, 0.22, 0.32, 0.28, 0.30};
constexpr std::array<double, 5> runMinDots = {0.3, 1.6, 0.3, 1.7, 4.4};
constexpr std::array<double, 5> runMaxDots = {2.2, 5.5, 2.2, 5.5, 11.0};
// Log-probabilities of a dot or dash, and of each gap after a mark.
const std::array<double, 5> logTransition = {std::log(0.5), std::log(0.5), std::log(0.56), std::log(0.32),
                                             std::log(0.12)};

// log I0(x), x ≥ 0 (Abramowitz and Stegun 9.8.1, 9.8.2; relative error < 1e-7).
double logBesselI0(double x) {
    if (x < 3.75) {
        const double t = (x / 3.75) * (x / 3.75);
        return std::log(
            1.0 +
            t * (3.5156229 + t * (3.0899424 + t * (1.2067492 + t * (0.2659732 + t * (0.0360768 + t * 0.0045813))))));
    }
    const double t = 3.75 / x;
    return x - 0.5 * std::log(x) +
           std::log(0.39894228 +
                    t * (0.01328592 +
                         t * (0.00225319 +
                              t * (-0.00157565 +
                                   t * (0.00916281 +
                                        t * (-0.02057706 + t * (0.02635537 + t * (-0.01647633 + t * 0.00392377))))))));
}

// Nearest nominal length in dots: 1 or 3 for a mark, 1, 3 or 7 for a gap.
int nearestUnits(double length, double dot, bool mark) {
    const double l = std::log(length / dot);
    if (mark) {
        return l < 0.5 * std::log(3.0) ? 1 : 3;
    }
    if (l < 0.5 * std::log(3.0)) {
        return 1;
    }
    return l < 0.5 * (std::log(3.0) + std::log(7.0)) ? 3 : 7;
}

} // namespace

void KeyingChannel::configure(double lowDot, double highDot, const ChannelTuning& tuning) {
    lowDot_ = std::clamp(lowDot, 2.0, 200.0);
    highDot_ = std::clamp(highDot, lowDot_, 200.0);
    tuning_ = tuning;
    restart();
}

void KeyingChannel::restart() {
    resetFilter();
    noiseQuantile_ = 0.0;
    warmupNoise_ = 0.0;
    gapNoise_ = 0.0;
    gapTicks_ = 0.0;
    noiseUpdatedTo_ = 0;
    toneLevel_ = 0.0;
    slowTone_ = 0.0;
    aheadCount_ = 0;
    arrivals_ = 0;
    toneUpdatedTo_ = 0;
    snrDb_ = -99.0;
    fitCost_ = 1.0;
    windowTicks_ = 0;
    setDot(std::sqrt(lowDot_ * highDot_));
    ticks_ = 0;
    evidence_[0] = 0.0;
    best_[0].fill(negInf);
    idle_[0] = 0.0;
    top_.fill(0.0);
    idleOrigin_[0] = -1;
    enter_[0] = negInf;
    exit_[0] = negInf;
    segmentCount_ = 0;
    committedTo_ = 0;
    wordGapOwed_ = false;
    pendingCount_ = 0;
}

void KeyingChannel::resetFilter() {
    baseband_.fill({});
    filtered_.fill({});
    index_ = 0;
    windowSum_ = {};
    filledTicks_ = 0;
    discriminator_ = {};
    pitchErrorValid_ = false;
}

// The dot length sets the duration models and the matched filter's length.
void KeyingChannel::setDot(double dot) {
    dot_ = std::clamp(dot, lowDot_, highDot_);
    for (std::size_t r = 0; r < timedRuns; ++r) {
        minTicks_[r] = std::max(2, static_cast<int>(std::floor(runMinDots[r] * dot_)));
        maxTicks_[r] = std::min(maxRunTicks, static_cast<int>(std::ceil(runMaxDots[r] * dot_)));
        const double centre = runUnits[r] * dot_;
        const double s = runSpread[r];
        for (int d = 0; d <= maxRunTicks; ++d) {
            double v = negInf;
            if (d >= minTicks_[r] && d <= maxTicks_[r]) {
                const double z = std::log(d / centre) / s;
                v = -0.5 * z * z - std::log(static_cast<double>(d) * s);
            }
            logDuration_[r][static_cast<std::size_t>(d)] = v;
        }
    }
    const int w = std::clamp(static_cast<int>(std::lround(tuning_.windowDots * dot_)), 2, maxWindowTicks);
    if (w == windowTicks_) {
        return;
    }
    if (windowTicks_ > 0) {
        // Noise power of a sum grows with its length, a tone's with its square.
        const double ratio = static_cast<double>(w) / windowTicks_;
        noiseQuantile_ *= ratio;
        warmupNoise_ *= ratio;
        gapNoise_ *= ratio;
        gapTicks_ = std::min(gapTicks_, 200.0);
        toneLevel_ *= ratio * ratio;
        slowTone_ *= ratio * ratio;
    }
    windowTicks_ = w;
    windowSum_ = {};
    for (int i = 1; i <= w; ++i) {
        windowSum_ += baseband_[static_cast<std::size_t>((index_ - i + maxWindowTicks) % maxWindowTicks)];
    }
}

// The quantile reads a few dB high while a tone is keyed; a gap level above
// it means the "gaps" hold tone (a channel not locked to the signal). Until
// the decoded gaps hold enough noise, in the first seconds, the quantile is
// held at most at the warm-up's mean with a margin: near the noise when the
// warm-up heard noise alone, and above the quantile (so no limit) when it
// heard the tone keyed.
double KeyingChannel::noisePower() const {
    double fromQuantile = std::max(noiseQuantile_ / -std::log(1.0 - noiseQuantileLevel), 1e-9);
    if (gapTicks_ < 200.0 && ticks_ < startupTicks && warmupNoise_ > 0.0) {
        fromQuantile = std::min(fromQuantile, warmupNoise_ * warmupNoiseMargin);
    }
    if (gapTicks_ >= 200.0 && ticks_ - noiseUpdatedTo_ < 1600 && gapNoise_ < 1.5 * fromQuantile) {
        return gapNoise_;
    }
    return fromQuantile;
}

void KeyingChannel::tick(cplx z) {
    ++arrivals_;
    const auto bi = static_cast<std::size_t>(index_);
    const cplx leaving = baseband_[static_cast<std::size_t>((index_ - windowTicks_ + maxWindowTicks) % maxWindowTicks)];
    baseband_[bi] = z;
    windowSum_ += z - leaving;
    const cplx y = windowSum_;
    const int lag = std::max(1, windowTicks_ / 2);
    const cplx past = filtered_[static_cast<std::size_t>((index_ - lag + maxWindowTicks) % maxWindowTicks)];
    filtered_[bi] = y;
    index_ = (index_ + 1) % maxWindowTicks;
    const double p = std::norm(y);

    ++filledTicks_;
    if (filledTicks_ < windowTicks_) {
        return; // the sum does not yet span a window
    }
    // Rounding drift of the running sum is cleared now and then.
    if (filledTicks_ % 4096 == 0) {
        windowSum_ = {};
        for (int i = 1; i <= windowTicks_; ++i) {
            windowSum_ += baseband_[static_cast<std::size_t>((index_ - i + maxWindowTicks) % maxWindowTicks)];
        }
    }
    // Noise level: first the mean power over a warm-up (exact for noise
    // alone, high while a tone is keyed: a cautious start), then a running
    // 0.2-quantile tracked by multiplicative steps.
    const int warm = filledTicks_ - windowTicks_;
    if (noiseQuantile_ <= 0.0) {
        warmupSum_ = warm == 0 ? p : warmupSum_ + p;
        if (warm + 1 < warmupTicks) {
            return;
        }
        warmupNoise_ = std::max(warmupSum_ / warmupTicks, 1e-6);
        noiseQuantile_ = std::max(warmupSum_ / warmupTicks * -std::log(1.0 - noiseQuantileLevel), 1e-6);
    } else {
        constexpr double rate = 0.04;
        noiseQuantile_ *=
            p < noiseQuantile_ ? 1.0 - rate * (1.0 - noiseQuantileLevel) : 1.0 + rate * noiseQuantileLevel;
    }

    // Pitch error from the phase advance over half a window on strong ticks.
    const double noise = noisePower();
    if (p > std::max(4.0 * noise, 0.3 * toneLevel_)) {
        discriminator_ += 0.05 * (y * std::conj(past) / std::sqrt(p * std::norm(past) + 1e-30) - discriminator_);
        pitchErrorHz_ = std::arg(discriminator_) / (2.0 * std::numbers::pi * lag * weakTickSeconds);
        pitchErrorValid_ = std::abs(discriminator_) > 0.5;
    } else {
        pitchErrorValid_ = false;
    }

    // The tick is judged lookAheadTicks later, when the peak power around it
    // is known.
    ahead_[static_cast<std::size_t>(aheadCount_ % aheadSize)] = p;
    ++aheadCount_;
    if (aheadCount_ > lookAheadTicks) {
        judge();
    }
}

void KeyingChannel::judge() {
    const std::int64_t at = aheadCount_ - 1 - lookAheadTicks; // index of the tick judged
    const double p = ahead_[static_cast<std::size_t>(at % aheadSize)];
    // Highest powers within 2.7 dots and within half a dot either side (short
    // enough to follow a fade inside a dash).
    const int reach = std::clamp(static_cast<int>(2.7 * dot_), 2, lookAheadTicks);
    const int nearReach = std::clamp(static_cast<int>(0.5 * dot_), 1, reach);
    // Behind the tick the ring holds 2.7 dots at any speed, ahead only the
    // look-ahead: a fade is judged on the highest power over both, so that
    // at slow speeds the middle of a character gap is not taken for one.
    const int behind = std::clamp(static_cast<int>(2.7 * dot_), 2, aheadSize - lookAheadTicks - 1);
    double farPeak = 0.0, nearPeak = 0.0, fadePeak = 0.0;
    for (std::int64_t i = std::max<std::int64_t>(0, at - behind); i <= at + reach && i < aheadCount_; ++i) {
        const double v = ahead_[static_cast<std::size_t>(i % aheadSize)];
        fadePeak = std::max(fadePeak, v);
        if (i >= at - reach) {
            farPeak = std::max(farPeak, v);
        }
        if (i >= at - nearReach && i <= at + nearReach) {
            nearPeak = std::max(nearPeak, v);
        }
    }
    const double noise = noisePower();
    // The tone level assumed. A peak less the lift that noise gives a
    // maximum (about sqrt(ln(1 + n)) noise amplitudes over n independent
    // windows) estimates the level of the marks there. It is the level of
    // the decoded marks (or of the marks within 2.7 dots), but no more than
    // the mark's own level within half a dot, so that a fading mark stays a
    // mark (its boundary lies where the filtered tone is at half the level
    // assumed); and never below the guard level, so that a gap's noise does
    // not pass as a mark that faded.
    const auto lifted = [&](double peak, int span) {
        const double windows = static_cast<double>(2 * span + 1) / windowTicks_;
        const double lift = std::sqrt(std::log(1.0 + windows));
        const double a = std::max(std::sqrt(peak) - lift * std::sqrt(noise), 0.0);
        return a * a;
    };
    const double guard = noise * std::pow(10.0, tuning_.guardRatioDb / 10.0);
    const double around = toneLevel_ > 0.0 ? toneLevel_ : lifted(farPeak, reach);
    const double own = lifted(nearPeak, nearReach);
    const double assumed = std::min(around, std::max(own, guard));
    const double floor = noise * std::pow(10.0, tuning_.floorRatioDb / 10.0);
    const double tone = std::max(assumed, floor);

    // Log-likelihood ratio of key down (Rician) against key up (Rayleigh);
    // the magnitude is capped so one burst cannot outweigh a whole mark.
    const double a = std::sqrt(tone);
    const double x = std::min(std::sqrt(p), 3.0 * a);
    double llr = logBesselI0(2.0 * a * x / noise) - tone / noise;
    const double nearby = lifted(fadePeak, (behind + reach) / 2);
    const bool fading = slowTone_ > 0.0 && nearby < slowTone_ * std::pow(10.0, -tuning_.fadeDetectDb / 10.0);
    // How weak a faded mark may be: down to the floor for a signal whose
    // usual level stands well clear of the guard, else down to the guard
    // (a signal near it would let noise pass for its faded marks).
    const double faded =
        slowTone_ > guard * std::pow(10.0, tuning_.fadeReachDb / 10.0) && nearby > floor ? floor : guard;
    if (fading && tone > faded) {
        // Key down is a mixture: half at the tone assumed, a quarter each
        // at one and two steps weaker (a log-sum of the Rician terms).
        const double step = std::pow(10.0, -tuning_.fadeStepDb / 10.0);
        const double t1 = std::max(tone * step, faded), t2 = std::max(tone * step * step, faded);
        const double l1 = logBesselI0(2.0 * std::sqrt(t1) * x / noise) - t1 / noise;
        const double l2 = logBesselI0(2.0 * std::sqrt(t2) * x / noise) - t2 / noise;
        const double top = std::max({llr, l1, l2});
        llr = top + std::log(0.5 * std::exp(llr - top) + 0.25 * std::exp(l1 - top) + 0.25 * std::exp(l2 - top));
    }
    llr *= tuning_.evidenceScale / windowTicks_;

    ++ticks_;
    const std::int64_t t = ticks_;
    // The window's sum is centred half a window before its newest tick.
    arrivalOf_[static_cast<std::size_t>(t & historyMask)] = arrivals_ - lookAheadTicks - windowTicks_ / 2;
    const auto ti = static_cast<std::size_t>(t & historyMask);
    evidence_[ti] = evidence_[static_cast<std::size_t>((t - 1) & historyMask)] + llr;
    power_[ti] = static_cast<float>(p);
    viterbiStep(t);
    if (t % decideEveryTicks == 0) {
        decide(false);
    }
    snrDb_ =
        toneLevel_ > 0.0 ? 10.0 * std::log10(toneLevel_ / noise * 16.0 / (weakSamplesPerTick * windowTicks_)) : -99.0;
    // Scores only matter relative to each other: shift them now and then so
    // that hours of audio keep their precision.
    if (t % historyTicks == 0) {
        const double shift = idle_[ti];
        const double eShift = evidence_[ti];
        for (std::size_t i = 0; i < historyTicks; ++i) {
            for (double& v : best_[i]) {
                v = isFinite(v) ? v - shift : v;
            }
            idle_[i] = isFinite(idle_[i]) ? idle_[i] - shift : idle_[i];
            enter_[i] = isFinite(enter_[i]) ? enter_[i] - shift : enter_[i];
            exit_[i] = isFinite(exit_[i]) ? exit_[i] - shift : exit_[i];
            top_[i] = isFinite(top_[i]) ? top_[i] - shift : top_[i];
            evidence_[i] -= eShift;
        }
    }
}

// Semi-Markov Viterbi step: the best score of a path whose last run of each
// kind ends exactly at tick t. A mark scores its ticks' log-likelihood
// ratios; a gap scores nothing (the ratios are against key up).
void KeyingChannel::viterbiStep(std::int64_t t) {
    const auto ti = static_cast<std::size_t>(t & historyMask);
    const double eNow = evidence_[ti];
    const std::int64_t oldest = std::max<std::int64_t>(0, t - historyTicks + maxRunTicks + 1);
    // Raw pointers in the loops over run lengths: they are the decoder's
    // whole cost, and unoptimised (sanitiser) builds run them many times
    // slower through checked accessors.
    const double* evidence = evidence_.data();
    const double* enter = enter_.data();
    const double* exit = exit_.data();
    for (std::size_t r = 0; r < timedRuns; ++r) {
        const bool mark = r <= Dash;
        const double* from = mark ? enter : exit;
        const double* logDuration = logDuration_[r].data();
        double bestScore = negInf;
        int bestLength = 0;
        const int longest = static_cast<int>(std::min<std::int64_t>(maxTicks_[r], t - oldest));
        for (int d = minTicks_[r]; d <= longest; ++d) {
            const auto si = static_cast<std::size_t>((t - d) & historyMask);
            const double v = from[si] + logDuration[d] + (mark ? eNow - evidence[si] : 0.0);
            if (v > bestScore) {
                bestScore = v;
                bestLength = d;
            }
        }
        const auto bi = static_cast<std::size_t>((t - bestLength) & historyMask);
        const bool found = bestLength > 0 && isFinite(bestScore) && isFinite(from[bi]);
        best_[ti][r] = found ? bestScore + logTransition[r] : negInf;
        backLength_[ti][r] = static_cast<std::int16_t>(found ? bestLength : 0);
        backRun_[ti][r] = found ? (mark ? enterRun_[bi] : exitRun_[bi]) : NoRun;
    }
    const auto pi = static_cast<std::size_t>((t - 1) & historyMask);
    // The idle is a word gap that goes on.
    if (best_[ti][Gap7] >= idle_[pi]) {
        idle_[ti] = best_[ti][Gap7];
        idleOrigin_[ti] = t;
    } else {
        idle_[ti] = idle_[pi];
        idleOrigin_[ti] = idleOrigin_[pi];
    }
    // A mark starting at t follows a gap that ends at t, or the idle (a new
    // transmission, which costs the start penalty).
    enter_[ti] = best_[ti][Gap1];
    enterRun_[ti] = Gap1;
    for (const Run r : {Gap3, Gap7}) {
        if (best_[ti][static_cast<std::size_t>(r)] > enter_[ti]) {
            enter_[ti] = best_[ti][static_cast<std::size_t>(r)];
            enterRun_[ti] = r;
        }
    }
    if (idle_[pi] - tuning_.startPenalty > enter_[ti]) {
        enter_[ti] = idle_[pi] - tuning_.startPenalty;
        enterRun_[ti] = Idle;
    }
    top_[ti] = std::max(idle_[ti], *std::max_element(best_[ti].begin(), best_[ti].end()));
    const bool dash = best_[ti][Dash] > best_[ti][Dot];
    exit_[ti] = dash ? best_[ti][Dash] : best_[ti][Dot];
    exitRun_[ti] = dash ? Dash : Dot;
}

// Traces the best path back from the newest tick into segments_ (oldest
// first), far enough to cover every undecided run and the runs the dot
// length is fitted to.
void KeyingChannel::traceBack() {
    const std::int64_t t = ticks_;
    const auto ti = static_cast<std::size_t>(t & historyMask);
    const std::int64_t limit = std::max<std::int64_t>(0, t - historyTicks + maxRunTicks + 1);
    int count = 0;
    Run state = Idle;
    double v = idle_[ti];
    for (std::size_t r = 0; r < timedRuns; ++r) {
        if (best_[ti][r] > v) {
            v = best_[ti][r];
            state = static_cast<Run>(r);
        }
    }
    std::int64_t at = t;
    int marksBeforeCommit = 0;
    const auto addIdle = [&](std::int64_t idleTick, std::int64_t end) {
        const std::int64_t origin = idleOrigin_[static_cast<std::size_t>(idleTick & historyMask)];
        segments_[static_cast<std::size_t>(count++)] = {Idle, std::max<std::int64_t>(origin, 0), end};
        return origin;
    };
    while (count < maxSegments - 1 && at > limit) {
        if (state == Idle) {
            const std::int64_t origin = addIdle(at, at);
            if (origin <= limit) {
                break;
            }
            at = origin; // the idle's start is a word gap's end
            state = Gap7;
            continue;
        }
        const auto ai = static_cast<std::size_t>(at & historyMask);
        const int d = backLength_[ai][static_cast<std::size_t>(state)];
        const Run prev = backRun_[ai][static_cast<std::size_t>(state)];
        if (d <= 0 || prev == NoRun) {
            break;
        }
        segments_[static_cast<std::size_t>(count++)] = {state, at - d, at};
        at -= d;
        if (at <= committedTo_ && state <= Dash && ++marksBeforeCommit > fitRuns) {
            break;
        }
        if (prev == Idle) {
            // The mark left an idle that lasted up to the tick before.
            const std::int64_t origin = addIdle(at - 1, at);
            if (origin <= limit) {
                break;
            }
            at = origin;
            state = Gap7;
            continue;
        }
        state = prev;
    }
    std::reverse(segments_.begin(), segments_.begin() + count);
    segmentCount_ = count;
}

// Dot length (ticks) that best explains the last runs as 1 or 3 dots
// (marks) and 1, 3 or 7 dots (gaps), searched on a 2 % grid over the class.
double KeyingChannel::fitDot(double& meanCost) const {
    std::array<double, fitRuns> len{};
    std::array<bool, fitRuns> isMark{};
    int n = 0;
    for (int i = segmentCount_ - 1; i >= 0 && n < fitRuns; --i) {
        const Segment& s = segments_[static_cast<std::size_t>(i)];
        if (s.run == Idle && s.end - s.start >= pauseTicks) {
            break; // a pause: what came before may be noise, or another station
        }
        if (s.run == Idle || s.end >= ticks_) {
            continue; // an idle, or a run still going on
        }
        len[static_cast<std::size_t>(n)] = static_cast<double>(s.end - s.start);
        isMark[static_cast<std::size_t>(n)] = s.run <= Dash;
        ++n;
    }
    if (n < 5) {
        return 0.0;
    }
    const double log3 = std::log(3.0), log7 = std::log(7.0);
    double bestDot = 0.0, bestCost = 1e300;
    for (double dot = lowDot_; dot <= highDot_ * 1.0001; dot *= 1.02) {
        double cost = 0.0;
        int ones = 0;
        for (int i = 0; i < n; ++i) {
            const double l = std::log(len[static_cast<std::size_t>(i)] / dot);
            const double one = l * l;
            double e = std::min(one, (l - log3) * (l - log3));
            if (!isMark[static_cast<std::size_t>(i)]) {
                e = std::min(e, (l - log7) * (l - log7));
            }
            ones += one <= e ? 1 : 0;
            cost += std::min(e, 0.35);
        }
        // Text has dots and element gaps (about half of all runs): a fit
        // that reads fewer than a third of the runs as one dot is the same
        // keying at a third of the speed, or the first character alone.
        cost += 0.2 * std::max(0.0, n / 3.0 - ones);
        if (cost < bestCost) {
            bestCost = cost;
            bestDot = dot;
        }
    }
    meanCost = bestCost / n;
    return bestDot;
}

// The tone level from the middle of the newest marks, the noise level from
// the inside of the newest long gaps, once the filter has passed them.
void KeyingChannel::updateLevels() {
    for (int i = 0; i < segmentCount_; ++i) {
        const Segment& s = segments_[static_cast<std::size_t>(i)];
        if (s.run == Gap3 || s.run == Gap7 || s.run == Idle) {
            const std::int64_t from = std::max(s.start + windowTicks_, noiseUpdatedTo_);
            const std::int64_t to = std::min(s.end - windowTicks_, ticks_ - windowTicks_);
            if (to - from < 4) {
                continue;
            }
            double sum = 0.0;
            for (std::int64_t k = from; k < to; ++k) {
                sum += power_[static_cast<std::size_t>(k & historyMask)];
            }
            const double n = static_cast<double>(to - from);
            // A running mean, then an exponential one over 2000 ticks.
            gapTicks_ = std::min(gapTicks_ + n, 2000.0);
            gapNoise_ += n / gapTicks_ * (sum / n - gapNoise_);
            noiseUpdatedTo_ = to;
            continue;
        }
        if (s.run > Dash || s.end + windowTicks_ > ticks_ || s.end <= toneUpdatedTo_) {
            continue;
        }
        const std::int64_t len = s.end - s.start;
        const std::int64_t from = s.start + len / 4;
        const std::int64_t to = std::max(from + 1, s.end - len / 4);
        double sum = 0.0;
        for (std::int64_t k = from; k < to; ++k) {
            sum += power_[static_cast<std::size_t>(k & historyMask)];
        }
        const double measured = std::max(sum / static_cast<double>(to - from) - noisePower(), 0.0);
        toneLevel_ = toneLevel_ <= 0.0 ? measured : toneLevel_ + 0.3 * (measured - toneLevel_);
        slowTone_ = slowTone_ <= 0.0 ? measured : slowTone_ + 0.03 * (measured - slowTone_);
        toneUpdatedTo_ = s.end;
    }
}

// Decides the characters whose last mark ended at least the commit lag ago
// (all of them at the end of input): the runs are labelled with the freshly
// fitted dot length and grouped into characters at gaps of 3 dots or more.
void KeyingChannel::decide(bool final) {
    traceBack();
    updateLevels();
    double cost = 1.0;
    const double fitted = fitDot(cost);
    if (fitted > 0.0) {
        fitCost_ = cost;
        if (std::abs(std::log(fitted / dot_)) > 0.03) {
            setDot(fitted);
        }
    }
    const std::int64_t lag = static_cast<std::int64_t>(tuning_.commitLagSeconds / weakTickSeconds);
    const std::int64_t horizon = final ? std::numeric_limits<std::int64_t>::max() : ticks_ - lag;

    int i = 0;
    while (i < segmentCount_ && (segments_[static_cast<std::size_t>(i)].run > Dash ||
                                 segments_[static_cast<std::size_t>(i)].start <= committedTo_)) {
        ++i;
    }
    while (i < segmentCount_) {
        CharacterRuns c;
        int j = i;
        bool closed = false;
        bool wordGap = false;
        std::int64_t lastEnd = 0;
        for (; j < segmentCount_; ++j) {
            const Segment& s = segments_[static_cast<std::size_t>(j)];
            const double len = static_cast<double>(s.end - s.start);
            if (s.run <= Dash) {
                if (c.elements <= maxCharacterElements) {
                    const auto e = static_cast<std::size_t>(c.elements);
                    c.marks[e] = len;
                    c.units[e] = nearestUnits(len, dot_, true);
                    c.ends[e] = s.end;
                }
                ++c.elements;
                lastEnd = s.end;
                c.markEvidence += evidence_[static_cast<std::size_t>(s.end & historyMask)] -
                                  evidence_[static_cast<std::size_t>(s.start & historyMask)];
                c.markTicks += s.end - s.start;
                continue;
            }
            const int gapUnits = s.run == Idle ? 7 : nearestUnits(len, dot_, false);
            if (gapUnits > 1) {
                closed = true;
                wordGap = gapUnits == 7;
                break;
            }
            if (c.elements >= 1 && c.elements <= maxCharacterElements) {
                c.gaps[static_cast<std::size_t>(c.elements - 1)] = len;
            }
        }
        if (!closed && final && c.elements > 0) {
            closed = true;
            wordGap = true;
        }
        if (!closed || lastEnd > horizon) {
            return;
        }
        const bool shown = emit(c, wordGapOwed_);
        committedTo_ = lastEnd;
        // A character not given out was noise in a gap: with the character
        // gaps around it, that gap spans a word gap.
        wordGapOwed_ = wordGap || !shown;
        i = j + 1;
        while (i < segmentCount_ && segments_[static_cast<std::size_t>(i)].run > Dash) {
            ++i;
        }
    }
}

void KeyingChannel::finish() {
    // The last ticks are judged with what follows them so far.
    for (int i = 0; i < lookAheadTicks && aheadCount_ > lookAheadTicks; ++i) {
        ahead_[static_cast<std::size_t>(aheadCount_ % aheadSize)] = 0.0;
        ++aheadCount_;
        ++arrivals_;
        judge();
    }
    if (ticks_ > 0) {
        decide(true);
    }
}

bool KeyingChannel::emit(const CharacterRuns& runs, bool wordGapBefore) {
    const int elements = runs.elements;
    if (elements == 0 || elements > maxCharacterElements || pendingCount_ + 2 > maxPending) {
        return false;
    }
    // A lone dot is what noise makes most often (in word gaps, before and
    // after a transmission, where the gain over 2 s is the real text's): it
    // must bring a fair part of the evidence a dot of the tone level brings
    // (about the tone's power over the noise's per window, per tick).
    if (elements == 1 && runs.units[0] == 1 && toneLevel_ > 0.0 && runs.markTicks > 0) {
        const double perTick = toneLevel_ / noisePower() * tuning_.evidenceScale / windowTicks_;
        if (runs.markEvidence / static_cast<double>(runs.markTicks) < tuning_.minDotEvidence * perTick) {
            return false;
        }
    }
    const std::int64_t span = std::min<std::int64_t>(800, ticks_ - 1);
    const double gain = (top_[static_cast<std::size_t>(ticks_ & historyMask)] -
                         top_[static_cast<std::size_t>((ticks_ - span) & historyMask)]) /
                        (span * weakTickSeconds);
    // For the first 3 s the noise level rests on little data: twice the gain.
    const double minGain = tuning_.minGainPerSecond * tuning_.evidenceScale * (ticks_ < 1200 ? 2.0 : 1.0);
    if (gain < minGain) {
        return false;
    }
    const auto confidence = static_cast<float>(std::clamp((gain - minGain) / (4.0 * minGain), 0.0, 1.0));
    // Elements [from, to) read as marks of their nearest length, mark `flip`
    // the other way.
    const auto codeOf = [&](int from, int to, int flip) {
        ElementCode c = 0;
        for (int e = to - 1; e >= from; --e) {
            const bool dot = (runs.units[static_cast<std::size_t>(e)] == 1) != (e == flip);
            c = dot ? foldDot(c) : foldDash(c);
        }
        return c;
    };
    const auto valid = [&](ElementCode c) { return lookupCharacter(c, alphabet_) != "*"; };
    // How near a run of `length` ticks lies to the boundary between 1 and 3
    // dots, in log units: the smaller, the likelier it was misread.
    const auto margin = [&](double length) { return std::abs(std::log(length / dot_) - 0.5 * std::log(3.0)); };
    const auto put = [&](ElementCode code, std::int64_t lastEnd, bool gapBefore) {
        ChannelCharacter& c = pending_[static_cast<std::size_t>(pendingCount_++)];
        c.code = code;
        c.endTick = std::max<std::int64_t>(0, arrivalOf_[static_cast<std::size_t>(lastEnd & historyMask)]);
        c.wordGapBefore = gapBefore;
        c.confidence = confidence;
    };
    const std::int64_t lastEnd = runs.ends[static_cast<std::size_t>(elements - 1)];
    ElementCode code = codeOf(0, elements, -1);
    if (valid(code)) {
        put(code, lastEnd, wordGapBefore);
        return true;
    }
    // A code in no alphabet is most likely one misread run: a mark read the
    // other way, or a character gap taken for an element gap (two characters
    // run together). The repair whose run lies nearest its boundary wins.
    double bestMargin = 1e300;
    int split = -1;
    for (int flip = 0; flip < elements; ++flip) {
        const ElementCode c = codeOf(0, elements, flip);
        const double m = margin(runs.marks[static_cast<std::size_t>(flip)]);
        if (valid(c) && m < bestMargin) {
            bestMargin = m;
            code = c;
            split = -1;
        }
    }
    for (int g = 0; g + 1 < elements; ++g) {
        const double gap = runs.gaps[static_cast<std::size_t>(g)];
        const double m = margin(gap);
        if (gap >= tuning_.splitMinGapDots * dot_ && m < bestMargin && valid(codeOf(0, g + 1, -1)) &&
            valid(codeOf(g + 1, elements, -1))) {
            bestMargin = m;
            split = g;
        }
    }
    if (split < 0) {
        put(code, lastEnd, wordGapBefore);
        return true;
    }
    put(codeOf(0, split + 1, -1), runs.ends[static_cast<std::size_t>(split)], wordGapBefore);
    put(codeOf(split + 1, elements, -1), lastEnd, false);
    return true;
}

} // namespace dsp
