#include "dsp/element_timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "dsp/alphabet.h"

namespace {

using dsp::ElementCode;
using dsp::elementCodeOf;
using dsp::ElementTimer;
using Events = std::vector<dsp::ElementCode>;
constexpr dsp::ElementCode gap = -1;

// Records the timer's output in order: a code per character, -1 per gap.
struct Recorder final : dsp::TextOutput {
    Events events;
    void character(dsp::ElementCode elementCode) override { events.push_back(elementCode); }
    void wordGap() override { events.push_back(gap); }
};

void feed(ElementTimer& s, Recorder& out, int level, int samples) {
    for (int i = 0; i < samples; ++i) {
        dsp::onKeyingSample(s, level, out);
    }
}

// Keys '.'/'-' as marks of 430/1290 samples with 430-sample gaps, then
// `closing` samples of space.
void key(ElementTimer& s, Recorder& out, const std::string& elements, int closing = 700) {
    for (std::size_t i = 0; i < elements.size(); ++i) {
        feed(s, out, 0, i > 0 ? 430 : 0);
        feed(s, out, 1, elements[i] == '-' ? 1290 : 430);
    }
    feed(s, out, 0, closing);
}

TEST(ElementTiming, DotDashBoundaryAndCharacterCloseAtDefaultDotLength) {
    // D = 430: a dash is a runLength above 645, i.e. a mark of 647 samples;
    // the space closes the character on its 647th sample.
    for (const auto& [markSamples, expected] :
         {std::pair{646, dsp::elementCodeOf(".")}, std::pair{647, dsp::elementCodeOf("-")}}) {
        ElementTimer s;
        Recorder out;
        feed(s, out, 1, markSamples);
        feed(s, out, 0, 646);
        EXPECT_EQ(out.events, Events{}) << "closed early, mark " << markSamples;
        feed(s, out, 0, 1);
        EXPECT_EQ(out.events, Events{expected}) << "mark " << markSamples;
    }
}

TEST(ElementTiming, OneSampleMarkIsCountedButSkippedSoAnOlderMarkIsTaken) {
    ElementTimer s;
    Recorder out;
    key(s, out, "-"); // T, closed
    feed(s, out, 1, 430);
    feed(s, out, 0, 430);
    feed(s, out, 1, 1); // runLength 0
    feed(s, out, 0, 700);
    // The walk takes the dot and then T's dash: "-." in sending order.
    EXPECT_EQ(out.events, (Events{dsp::elementCodeOf("-"), dsp::elementCodeOf("-.")}));
}

TEST(ElementTiming, LongCharactersShortPulsesAndTheResetAfterThem) {
    struct Case {
        std::string elements; // keyed as is when shortMark is 0
        int shortMark;        // else a dash and a mark of this many samples
        int shortPulseCheck;
        bool output;
    };
    // At most 15 marks fit in the 30 entries read; a mark of 143 samples
    // (runLength 142) is below D / 3 = 143.
    for (const Case& c : {Case{std::string(15, '.'), 0, 1, true}, Case{std::string(15, '-'), 0, 1, true},
                          Case{std::string(16, '.'), 0, 1, false}, Case{"-.", 143, 1, false}, Case{"-.", 144, 1, true},
                          Case{"-.", 143, 0, true}}) {
        ElementTimer s;
        s.shortPulseCheck = c.shortPulseCheck;
        Recorder out;
        if (c.shortMark > 0) {
            feed(s, out, 1, 1290);
            feed(s, out, 0, 430);
            feed(s, out, 1, c.shortMark);
            feed(s, out, 0, 700);
        } else {
            key(s, out, c.elements);
        }
        key(s, out, ".-"); // markCount was reset either way
        Events expected;
        if (c.output) {
            expected.push_back(dsp::elementCodeOf(c.elements));
        }
        expected.push_back(dsp::elementCodeOf(".-"));
        EXPECT_EQ(out.events, expected) << c.elements << ", short mark " << c.shortMark << ", check "
                                        << c.shortPulseCheck;
    }
}

TEST(ElementTiming, WordGapsIncludingTheStartUpSilence) {
    struct Case {
        int firstMark; // 0: the silence is the start-up space
        int space;
        bool gap;
    };
    // 4·D = 1720 against runLength; the start-up space counts from 1, so
    // n samples of it end with runLength n.
    for (const Case c : {Case{430, 1721, false}, Case{430, 1722, true}, Case{430, 40000, true}, Case{0, 1720, false},
                         Case{0, 1721, true}}) {
        ElementTimer s;
        Recorder out;
        feed(s, out, 1, c.firstMark);
        feed(s, out, 0, c.space);
        Events expected;
        if (c.firstMark > 0) {
            expected.push_back(dsp::elementCodeOf("."));
        }
        EXPECT_EQ(out.events, expected) << "a gap waits for the next mark, space " << c.space;
        key(s, out, ".");
        if (c.gap) {
            expected.push_back(gap);
        }
        expected.push_back(dsp::elementCodeOf("."));
        EXPECT_EQ(out.events, expected) << "first mark " << c.firstMark << " space " << c.space;
    }
}

TEST(ElementTiming, AutoDotLengthRules) {
    {
        ElementTimer s;
        Recorder out;
        dsp::startDotTraining(s);
        feed(s, out, 1, 1); // nothing usable: D = 100000
        feed(s, out, 0, 5);
        EXPECT_EQ(s.dotLength, 100000);
        feed(s, out, 1, 400); // second mark, 100000 ≥ 399 / 2
        feed(s, out, 0, 5);
        EXPECT_EQ(s.dotLength, 399);
        dsp::stopDotTraining(s); // freezes the estimate
        feed(s, out, 1, 50);
        feed(s, out, 0, 5);
        EXPECT_EQ(s.dotLength, 399);
    }
    struct Case {
        bool second; // the mark is the character's second
        int markSamples;
        int expectedDot;
    };
    // On a second mark a minimum with m / 2 > 430 (m ≥ 862) is not taken;
    // on any other it is, however large.
    for (const Case c : {Case{true, 862, 861}, Case{true, 863, 430}, Case{false, 5001, 5000}}) {
        ElementTimer s;
        Recorder out;
        if (c.second) {
            feed(s, out, 1, 1000);
            feed(s, out, 0, 430);
        }
        dsp::startDotTraining(s);
        feed(s, out, 1, c.markSamples);
        feed(s, out, 0, 2);
        EXPECT_EQ(s.dotLength, c.expectedDot) << "mark " << c.markSamples << " second " << c.second;
    }
}

TEST(ElementTiming, ThresholdAndPeakFollower) {
    struct Case {
        int agcOn, threshold, level, expectedThreshold, expectedLevel;
    };
    for (const Case c :
         {Case{1, 35, 35, 35, 0}, Case{1, 35, 36, 35, 1}, Case{1, 35, 600, 100, 1}, Case{1, 35, 1505, 250, 1},
          Case{1, 35, 1506, 290, 1}, Case{1, 260, 0, 290, 0}, Case{0, 260, 1506, 260, 1}, Case{1, 35, -500, 35, 0}}) {
        ElementTimer s;
        s.agcOn = c.agcOn;
        s.threshold = c.threshold;
        Recorder out;
        dsp::onKeyingLevel(s, c.level, out);
        EXPECT_EQ(s.effectiveThreshold, c.expectedThreshold) << "agc " << c.agcOn << " level " << c.level;
        EXPECT_EQ(s.prevLevel, c.expectedLevel) << "level " << c.level;
    }
    // The peak holds for 2·D samples, then falls one step per sample.
    ElementTimer s;
    Recorder out;
    dsp::onKeyingLevel(s, 600, out);
    for (int i = 0; i < 859; ++i) {
        dsp::onKeyingLevel(s, 0, out);
    }
    EXPECT_EQ(s.peak, 600);
    dsp::onKeyingLevel(s, 0, out);
    EXPECT_EQ(s.peak, 599);
}

TEST(ElementTiming, ExtremeLengthsSaturateInsteadOfOverflowing) {
    // A space of about 2^31 samples against 4·D computed without overflow.
    for (const auto& [dot, gapExpected] : {std::pair{1000000000, false}, std::pair{500000000, true}}) {
        ElementTimer s;
        Recorder out;
        s.dotLength = dot;
        s.runLength = INT_MAX - 2;
        s.samplesSincePeak = INT_MAX - 2;
        for (int i = 0; i < 5; ++i) {
            dsp::onKeyingLevel(s, 0, out);
        }
        EXPECT_EQ(s.runLength, INT_MAX);
        EXPECT_EQ(s.samplesSincePeak, INT_MAX);
        dsp::onKeyingLevel(s, 200, out);
        EXPECT_EQ(out.events, gapExpected ? Events{gap} : Events{}) << "dot " << dot;
    }
}

} // namespace
