#include "dsp/element_timing.h"

#include <algorithm>
#include <limits>

namespace dsp {

namespace {

constexpr std::int32_t int32Max = std::numeric_limits<std::int32_t>::max();

// Counters that run for as long as a level lasts stop at the 32-bit maximum
// (about 74 hours of one level) instead of overflowing.
void raiseSaturating(std::int32_t& counter) {
    if (counter < int32Max) {
        ++counter;
    }
}

// Pushes `value` in front of the history, moving only the newest entries.
void pushHistory(std::array<std::int32_t, historySize>& history, std::int32_t value) {
    std::copy_backward(history.begin(), history.begin() + historyShifted - 1, history.begin() + historyShifted);
    history[0] = value;
}

// Lengths compared with multiples of D are computed in 64 bits: D follows
// the measured marks and a stuck carrier can make it arbitrarily large.
std::int64_t dashLimit(std::int32_t dotLength) { return std::int64_t{dotLength} + dotLength / 2; }

// Alternating marks and spaces put at most 15 marks into the 30 entries a
// character is read from; more can only mean a history not written by the
// timer, and then nothing is output (the fold would leave 64 bits).
constexpr int maxCharacterMarks = runHistoryRead / 2;

void onMarkEnded(ElementTimer& state) {
    const std::int32_t length = state.runLength;
    pushHistory(state.runHistory, length);
    if (state.autoDot != 0) {
        pushHistory(state.markHistory, length);
        std::int32_t m = noMarkDotLength;
        bool found = false;
        for (int i = 0; i < markHistoryRead; ++i) {
            const std::int32_t e = state.markHistory[static_cast<std::size_t>(i)];
            if (e > 0 && (!found || e < m)) {
                m = e;
                found = true;
            }
        }
        // The second mark of a character may be a dash after a dot; a
        // minimum more than twice the current dot is not trusted then.
        if (state.markCount != 1 || state.dotLength >= m / 2) {
            state.dotLength = m;
        }
    }
    raiseSaturating(state.markCount);
}

void onSpaceEnded(ElementTimer& state, TextOutput& output) {
    pushHistory(state.runHistory, -state.runLength);
    if (state.runLength > 4 * std::int64_t{state.dotLength}) {
        output.wordGap();
    }
}

void closeCharacter(ElementTimer& state, TextOutput& output) {
    const std::int64_t dashAbove = dashLimit(state.dotLength);
    const std::int32_t shortBelow = state.dotLength / 3;
    dsp::ElementCode code = 0;
    int taken = 0;
    bool shortPulse = false;
    bool tooLong = false;
    for (int i = 0; i < runHistoryRead && taken < state.markCount; ++i) {
        const std::int32_t e = state.runHistory[static_cast<std::size_t>(i)];
        if (e <= 0) {
            continue;
        }
        if (taken == maxCharacterMarks) {
            tooLong = true;
            break;
        }
        ++taken;
        code = e > dashAbove ? dsp::foldDash(code) : dsp::foldDot(code);
        if (e < shortBelow) {
            shortPulse = true;
        }
    }
    const bool complete = !tooLong && taken == state.markCount;
    if (complete && !(state.shortPulseCheck != 0 && shortPulse)) {
        output.character(code);
    }
    state.markCount = 0;
}

} // namespace

void onKeyingSample(ElementTimer& state, std::int32_t level, TextOutput& output) {
    if (level == state.prevLevel) {
        raiseSaturating(state.runLength);
    } else {
        if (level == 0) {
            onMarkEnded(state);
        } else {
            onSpaceEnded(state, output);
        }
        state.prevLevel = level;
        state.runLength = 0;
    }
    if (state.markCount > 0 && level == 0 && state.runLength > dashLimit(state.dotLength)) {
        closeCharacter(state, output);
    }
}

void onKeyingLevel(ElementTimer& state, std::int32_t keyingLevel, TextOutput& output) {
    if (keyingLevel > state.peak) {
        state.peak = keyingLevel;
        state.samplesSincePeak = 0;
    }
    raiseSaturating(state.samplesSincePeak);
    if (state.samplesSincePeak > 2 * std::int64_t{state.dotLength} && state.peak != 0) {
        --state.peak;
    }

    if (state.agcOn != 0) {
        const std::int32_t t = state.peak / 6;
        state.effectiveThreshold = t >= state.threshold ? t : state.threshold;
        // A level strong enough to need more than 250 gets a firm margin.
        if (state.effectiveThreshold > 250) {
            state.effectiveThreshold = 290;
        }
    } else {
        state.effectiveThreshold = state.threshold;
    }

    onKeyingSample(state, keyingLevel > state.effectiveThreshold ? 1 : 0, output);
}

void decodeKeyingLevels(ElementTimer& state, std::span<const std::int16_t> keyingLevels, TextOutput& output) {
    for (const std::int16_t v : keyingLevels) {
        onKeyingLevel(state, v, output);
    }
}

} // namespace dsp
