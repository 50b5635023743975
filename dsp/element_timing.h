#pragma once
// Morse element timing: keying levels (one per audio sample, 8000 per
// second) become marks and spaces, an estimate of the dot length, closed
// characters as element codes, and word gaps. Pure code: no windows, no
// platform calls, no allocation.

#include <array>
#include <cstdint>
#include <span>

#include "dsp/alphabet.h"

namespace dsp {

// Entries kept in each history. Only the newest historyShifted entries are
// ever moved; the rest stay 0 for the program's life.
inline constexpr int historySize = 320;
inline constexpr int historyShifted = 33;
// Entries read: runHistory when a character closes, markHistory when the
// dot length is re-estimated.
inline constexpr int runHistoryRead = 30;
inline constexpr int markHistoryRead = 12;

// Dot length used when markHistory holds no mark at all, in samples.
inline constexpr std::int32_t noMarkDotLength = 100000;

// The timer's state: thresholds, the peak follower, the dot length and the
// run histories. Created once and passed by reference; zero-initialised
// except where a default is given.
struct ElementTimer {
    // Keying-level thresholds, in keying-level units. `threshold` is the
    // manual one, 1 … 300 once set from the strip; `effectiveThreshold` is
    // the one compared with the level (follows the peak while `agcOn`).
    std::int32_t threshold = 35;
    std::int32_t agcOn = 1;
    std::int32_t effectiveThreshold = 35;
    // Peak follower of the keying level (never below 0), and samples since
    // it was last raised.
    std::int32_t peak = 0;
    std::int32_t samplesSincePeak = 0;

    // Dot length D in keying samples (8000 per second), at least 1.
    std::int32_t dotLength = 430;
    std::int32_t autoDot = 0;
    std::int32_t shortPulseCheck = 1;

    // Level of the previous sample: 0 = space, 1 = mark.
    std::int32_t prevLevel = 0;
    // Length of the current run: 0 on the sample where the level changed,
    // +1 on every following sample, so a run of n samples ends at n − 1.
    std::int32_t runLength = 0;
    // Marks ended since the last character was closed.
    std::int32_t markCount = 0;

    // Newest first. runHistory: ended marks as +runLength, spaces as
    // −runLength. markHistory: ended mark lengths, pushed while autoDot is
    // on. An entry of 0 (a one-sample run) is neither mark nor space.
    std::array<std::int32_t, historySize> runHistory{};
    std::array<std::int32_t, historySize> markHistory{};
};

// Middle button pressed: forget every mark length and track the dot length
// from the marks that follow.
inline void startDotTraining(ElementTimer& state) {
    state.markHistory.fill(0);
    state.autoDot = 1;
}

// Middle button released: keep the last estimate of the dot length.
inline void stopDotTraining(ElementTimer& state) { state.autoDot = 0; }

// Where closed characters and word gaps go (the text window and the strip).
class TextOutput {
  public:
    virtual void character(ElementCode elementCode) = 0;
    virtual void wordGap() = 0;

  protected:
    ~TextOutput() = default;
};

// One step of the element timer. `level`: 1 for a mark, 0 for a space.
void onKeyingSample(ElementTimer& state, std::int32_t level, TextOutput& output);

// One value of the per-sample loop: peak follower, threshold (automatic
// while agcOn), mark/space decision, then onKeyingSample. `keyingLevel`: the
// station's keying level for one sample, any 16-bit value.
void onKeyingLevel(ElementTimer& state, std::int32_t keyingLevel, TextOutput& output);

// The per-sample loop over one datagram's keying levels, in order.
void decodeKeyingLevels(ElementTimer& state, std::span<const std::int16_t> keyingLevels, TextOutput& output);

} // namespace dsp
