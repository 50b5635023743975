#pragma once
// The decoder's one process-wide record: the copies of the station's band,
// the display zoom, the element timer and the selected alphabet. Created once
// by the decoder's start-up and passed by reference; it lives until exit and
// is never reset as a whole. Everything here is touched only on the window
// thread, so the fields are plain integers (flags hold 0 or 1).

#include <array>
#include <cstdint>

namespace decoder {

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

struct DecoderState {
    // Station values as last reported in a SampleDatagram; the decoder never
    // changes them when it sends a command.
    std::int32_t centreHz = 1000;
    std::int32_t bandwidthHz = 100;
    std::int32_t filterLengthCode = 3; // 0 = 32 taps … 5 = 1024 taps
    // Columns the signal strip advances per datagram, 1 … 9.
    std::int32_t zoom = 2;

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

    // 0 = Latin, 1 = Russian, 2 = Ukrainian.
    std::int32_t alphabet = 0;
};

// Middle button pressed: forget every mark length and track the dot length
// from the marks that follow.
inline void startDotTraining(DecoderState& state) {
    state.markHistory.fill(0);
    state.autoDot = 1;
}

// Middle button released: keep the last estimate of the dot length.
inline void stopDotTraining(DecoderState& state) { state.autoDot = 0; }

// The alphabet after `current` in the cycle Latin → Russian → Ukrainian →
// Latin. A value outside 0 … 2 starts the cycle again at Latin.
constexpr std::int32_t nextAlphabet(std::int32_t current) {
    return current >= 0 && current < 2 ? current + 1 : 0;
}

} // namespace decoder
