#pragma once
// One speed class of the weak-signal decoder: from complex baseband ticks
// (2.5 ms each) to characters. A matched filter about 0.7 dot long, the
// noise level (decoded gaps, or a low quantile held at first under the
// warm-up's mean), the tone level (decoded marks, capped by each mark's own
// level seen 160 ms ahead, so fading is followed), a per-tick
// log-likelihood ratio of key down (in a fade, over a few tone levels, as
// the level moves inside a mark), a semi-Markov
// Viterbi search over marks and gaps with log-normal duration models, and
// fixed-lag decisions that refit the dot length to the decoded runs and give
// out a character only where the best path gains evidence (noise gains
// little); a code in no alphabet is repaired by reading one mark the other
// way or by splitting it at a short character gap. The dot length stays
// inside the class's range, so a channel never drifts to a speed where its
// filter would blur the gaps or drown in noise; the decoder runs one channel
// per class and reads the one that fits best.
// Fixed arrays only: nothing allocates after construction.

#include <array>
#include <complex>
#include <cstdint>

#include "dsp/alphabet.h"
#include "dsp/audio_constants.h"

namespace dsp {

inline constexpr int weakSamplesPerTick = 20;                                                     // at 8000 Hz
inline constexpr double weakTickSeconds = weakSamplesPerTick / static_cast<double>(sampleRateHz); // 2.5 ms

// A character decided by a channel.
struct ChannelCharacter {
    ElementCode code = 0; // > 0
    // Tick (counted from the first tick fed) at which its last mark ended.
    std::int64_t endTick = 0;
    bool wordGapBefore = false; // a word gap separates it from the one before
    // 0 … 1: 0 at the least evidence gain a character needs, 1 at 5 times it.
    float confidence = 0.0F;
};

// Tuning of the likelihoods and decisions; the defaults were chosen on
// generated signals over many seeds, texts, speeds and SNRs.
struct ChannelTuning {
    double windowDots = 0.7; // matched filter length, dots
    // Weight of one tick's log-likelihood ratio, per window length: more
    // than 1 (the ticks of one window are correlated) lets the evidence
    // outweigh the duration models, which measured better at every SNR.
    double evidenceScale = 5.0;
    double floorRatioDb = 7.0; // weakest tone assumed, dB over the noise of one window
    // A mark's own level counts (fading) only above this, dB over the noise
    // of one window; below it the level of the marks around is assumed.
    double guardRatioDb = 12.5;
    // In a fade (the marks within 2.7 dots this many dB under the level of
    // the last 30 or so marks) a tick may also be key down at a tone 1 or 2
    // steps weaker than the one assumed, never under the guard level: the
    // signal's level moves inside a mark.
    double fadeDetectDb = 3.0;
    double fadeStepDb = 3.0;
    // Those weaker tones reach down to the floor while a tone stands over it
    // within 2.7 dots and the level without fades stands this many dB over
    // the guard; otherwise they stop at the guard. On Rayleigh fading at
    // 10 dB, 20 WPM (40 random texts, two seed sets) the CER was 12.6 and
    // 13.1 % stopping at the guard, 10.3 and 10.5 % so; AWGN at 0 and −3 dB
    // did not move.
    double fadeReachDb = 4.5;
    double startPenalty = 12.0; // log cost of a transmission starting after an idle
    // Decisions on runs that ended this long ago are final, s. With the
    // 160 ms look-ahead and 50 ms between decisions a character comes out
    // about 1.0 s after its last mark, at most 1 s after its closing gap.
    double commitLagSeconds = 0.8;
    // A character is given out only when the best path gained at least this
    // much log-likelihood per second (over 2 s) per unit of evidenceScale:
    // noise alone gains little, a keyed tone even at −3 dB much more.
    double minGainPerSecond = 8.0;
    // A character of one dot is given out only when its mark's evidence
    // per tick is at least this part of what a dot at the tone level gives.
    double minDotEvidence = 0.15;
    // A code in no alphabet may be two characters run together: it is split
    // at a gap only when that gap lasted at least this many dots (a
    // character gap keyed short; shorter ones are element gaps, and a split
    // there would add a character to a code that noise or a fade broke).
    double splitMinGapDots = 1.2;
};

class KeyingChannel {
  public:
    using cplx = std::complex<double>;

    // `lowDot`, `highDot`: the class's dot lengths in ticks, 2 … 200, low < high.
    void configure(double lowDot, double highDot, const ChannelTuning& tuning);
    void setAlphabet(Alphabet a) { alphabet_ = a; }
    // Forgets levels, speed and decisions.
    void restart();
    // Clears the matched filter (after the mixer moved); levels stay.
    void resetFilter();

    // One baseband tick: the sum of 20 mixed samples.
    void tick(cplx z);
    // End of input: decides every pending character.
    void finish();

    // Characters decided since the last clearPending, oldest first.
    int pendingCount() const { return pendingCount_; }
    const ChannelCharacter& pending(int i) const { return pending_[static_cast<std::size_t>(i)]; }
    void clearPending() { pendingCount_ = 0; }

    double dotTicks() const { return dot_; }
    // Mean squared log misfit of the last runs to the dot length (0 = exact);
    // 1 until enough runs are known.
    double fitCost() const { return fitCost_; }
    bool speedMeasured() const { return fitCost_ < 1.0; }
    // Tone power over noise power in 500 Hz, dB; −99 before any mark.
    double snrDb() const { return snrDb_; }
    // Pitch error seen in the phase advance during marks, Hz, and whether
    // it is trustworthy.
    double pitchErrorHz() const { return pitchErrorHz_; }
    bool pitchErrorValid() const { return pitchErrorValid_; }

  private:
    enum Run : std::int8_t { Dot = 0, Dash = 1, Gap1 = 2, Gap3 = 3, Gap7 = 4, Idle = 5, NoRun = 6 };
    static constexpr int timedRuns = 5;
    static constexpr int historyTicks = 4096; // 10.24 s, a power of two
    static constexpr int historyMask = historyTicks - 1;
    static constexpr int maxWindowTicks = 64;
    static constexpr int maxRunTicks = 700;
    static constexpr int maxSegments = 2048;
    static constexpr int maxPending = 64;
    static constexpr int maxCharacterElements = 15;
    static constexpr int warmupTicks = 160;   // 0.4 s
    static constexpr int startupTicks = 2400; // 6 s: the warm-up's mean may still bound the noise level

    struct Segment {
        Run run = NoRun;
        std::int64_t start = 0; // first tick
        std::int64_t end = 0;   // one past the last tick
    };

    void setDot(double dot);
    void judge();
    void viterbiStep(std::int64_t t);
    void traceBack();
    double fitDot(double& meanCost) const;
    void decide(bool final);
    void updateLevels();
    double noisePower() const;
    // The runs of one closed character, as decided.
    struct CharacterRuns {
        int elements = 0;                                          // marks
        std::array<int, maxCharacterElements + 1> units{};         // 1 or 3 dots each
        std::array<double, maxCharacterElements + 1> marks{};      // mark lengths, ticks
        std::array<double, maxCharacterElements + 1> gaps{};       // the gap after each mark but the last, ticks
        std::array<std::int64_t, maxCharacterElements + 1> ends{}; // tick each mark ended at
        double markEvidence = 0.0;
        std::int64_t markTicks = 0;
    };
    // Puts the character (or, repaired, two) into pending_; false when it
    // is not given out (taken for noise).
    bool emit(const CharacterRuns& runs, bool wordGapBefore);

    ChannelTuning tuning_;
    Alphabet alphabet_ = Latin;
    double lowDot_ = 10.0, highDot_ = 60.0;

    // Matched filter.
    std::array<cplx, maxWindowTicks> baseband_{};
    std::array<cplx, maxWindowTicks> filtered_{};
    int index_ = 0;
    cplx windowSum_{};
    int windowTicks_ = 17;
    int filledTicks_ = 0;
    cplx discriminator_{};
    double pitchErrorHz_ = 0.0;
    bool pitchErrorValid_ = false;

    // Levels, as tick powers of the matched filter.
    double warmupSum_ = 0.0;
    double noiseQuantile_ = 0.0; // running 0.2-quantile; 0: not yet set
    double warmupNoise_ = 0.0;   // mean power over the warm-up; 0: not yet set
    double gapNoise_ = 0.0;      // mean inside decoded long gaps; 0: none yet
    double gapTicks_ = 0.0;      // ticks that mean is over, up to 2000
    std::int64_t noiseUpdatedTo_ = 0;
    double toneLevel_ = 0.0; // tone alone; 0: no mark decoded yet
    double slowTone_ = 0.0;  // the same over about 30 marks: the level without fades
    // Tick powers waiting to be judged, and the ones around them.
    static constexpr int lookAheadTicks = 64; // 160 ms
    static constexpr int aheadSize = 256;     // > 2 lookAheadTicks, a power of two
    std::array<double, aheadSize> ahead_{};
    std::int64_t aheadCount_ = 0;
    std::int64_t toneUpdatedTo_ = 0;
    double snrDb_ = -99.0;

    // Run search.
    double dot_ = 24.0;
    double fitCost_ = 1.0;
    std::array<std::array<double, maxRunTicks + 1>, timedRuns> logDuration_{};
    std::array<int, timedRuns> minTicks_{}, maxTicks_{};
    std::array<double, historyTicks> evidence_{}; // cumulative tick log-likelihood ratio
    std::array<float, historyTicks> power_{};
    std::array<std::array<double, timedRuns>, historyTicks> best_{};
    std::array<std::array<std::int16_t, timedRuns>, historyTicks> backLength_{};
    std::array<std::array<Run, timedRuns>, historyTicks> backRun_{};
    std::array<double, historyTicks> idle_{};
    std::array<std::int64_t, historyTicks> idleOrigin_{}; // end of the word gap the idle extends; −1: from the start
    std::array<double, historyTicks> enter_{};            // best way into a mark starting here
    std::array<Run, historyTicks> enterRun_{};
    std::array<double, historyTicks> exit_{}; // best mark ending here
    std::array<Run, historyTicks> exitRun_{};
    std::array<double, historyTicks> top_{}; // best score of any path at each tick
    std::int64_t ticks_ = 0;
    std::int64_t arrivals_ = 0;                          // ticks fed since the restart
    std::array<std::int64_t, historyTicks> arrivalOf_{}; // tick fed that each judged tick is centred on

    // Decisions.
    std::array<Segment, maxSegments> segments_{};
    int segmentCount_ = 0;
    std::int64_t committedTo_ = 0;
    bool wordGapOwed_ = false;
    std::array<ChannelCharacter, maxPending> pending_{};
    int pendingCount_ = 0;
};

} // namespace dsp
