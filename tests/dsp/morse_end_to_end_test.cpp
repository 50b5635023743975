// Generate, decode, count: Morse text becomes a keying-level stream like
// the station's (mark 200, space 0, 3 ms ramps), runs through the decoder's
// per-sample loop in 160-sample blocks, and the decoded text is compared
// with the sent text by character error rate (edit distance / length).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "dsp/alphabet.h"
#include "dsp/cw_generator.h"
#include "dsp/element_timing.h"
#include "dsp/text_distance.h"

namespace {

struct TextRecorder final : dsp::TextOutput {
    std::int32_t alphabet = dsp::Latin;
    std::string text;
    void character(dsp::ElementCode code) override { text += dsp::lookupCharacter(code, alphabet); }
    void wordGap() override { text += ' '; }
};

struct Trial {
    double wpm;
    double jitter = 0;
    double levelNoise = 0;
    bool autoDot = false;
    std::int32_t threshold = 35;
    std::int32_t alphabet = dsp::Latin;
    std::uint32_t seed = 1;
};

std::string decode(const std::string& text, const Trial& t) {
    const auto envelope = dsp::keyingFromText(text, {.wpm = t.wpm,
                                                     .jitter = t.jitter,
                                                     .seed = t.seed,
                                                     .leadingSilenceMs = 100, // shorter than 4 dots at every speed used
                                                     .trailingSilenceMs = 400}); // closes the last character
    if (!envelope) {
        return "<not sendable>";
    }
    const std::vector<std::int16_t> levels = dsp::keyingLevelsFrom(
        *envelope, {.rampSamples = 24, .noiseRms = t.levelNoise, .noiseSmoothingSamples = 40, .seed = t.seed + 99});
    dsp::ElementTimer state;
    state.threshold = t.threshold;
    if (t.autoDot) {
        dsp::startDotTraining(state);
    } else {
        state.dotLength = dsp::dotSamples(t.wpm) - 1; // D is a dot's runLength
    }
    TextRecorder out;
    out.alphabet = t.alphabet;
    const std::span<const std::int16_t> all(levels);
    for (std::size_t at = 0; at < all.size(); at += 160) {
        dsp::decodeKeyingLevels(state, all.subspan(at, std::min<std::size_t>(160, all.size() - at)), out);
    }
    return out.text;
}

const std::string qso = "CQ CQ DE OK1ABC OK1ABC <KN> R 599 5NN TU 73 <SK> FB? QTH BERLIN/P = <AR> ,.!";
const std::string qsoDecoded = "CQ CQ DE OK1ABC OK1ABC KN R 599 5NN TU 73 SK FB? QTH BERLIN/P = AR ,.!";

TEST(MorseEndToEnd, CleanKeyingDecodesExactly) {
    for (const bool autoDot : {false, true}) {
        for (const double wpm : {12.0, 18.0, 25.0, 35.0}) {
            EXPECT_EQ(decode(qso, {.wpm = wpm, .autoDot = autoDot}), qsoDecoded)
                << wpm << " WPM, automatic dot length " << autoDot;
        }
    }
    // The same keying read in the Russian alphabet.
    EXPECT_EQ(decode("PRIWET MIR", {.wpm = 20, .alphabet = dsp::Russian}),
              "\xCF\xD0\xC8\xC2\xC5\xD2 \xCC\xC8\xD0"); // ПРИВЕТ МИР
}

// Hand keying and a noisy level (noise correlated over 5 ms, as a detector's
// output wanders), ten seeds each. Bounds carry margin over the rates
// measured when they were set. The automatic dot length is the shortest of
// the last twelve marks, so irregular keying shortens D and splits
// characters into words: its band at 10 % jitter records that weakness.
TEST(MorseEndToEnd, ImperfectKeyingStaysWithinItsAccuracyBand) {
    struct Band {
        const char* what;
        Trial trial;
        double maxCer;
    };
    const Band bands[] = {
        {"jitter 10 %, fixed D, 18 WPM", {.wpm = 18, .jitter = 0.10}, 0.01},
        {"jitter 20 %, fixed D, 25 WPM", {.wpm = 25, .jitter = 0.20}, 0.15},
        {"jitter 5 %, auto D, 18 WPM", {.wpm = 18, .jitter = 0.05, .autoDot = true}, 0.01},
        {"jitter 10 %, auto D, 18 WPM", {.wpm = 18, .jitter = 0.10, .autoDot = true}, 0.30},
        {"level noise 8, fixed D, 18 WPM", {.wpm = 18, .levelNoise = 8}, 0.01},
        {"level noise 8, auto D, 25 WPM", {.wpm = 25, .levelNoise = 8, .autoDot = true}, 0.06},
        {"level noise 15, threshold 100, fixed D, 12 WPM", {.wpm = 12, .levelNoise = 15, .threshold = 100}, 0.02},
        {"level noise 15, threshold 100, auto D, 25 WPM",
         {.wpm = 25, .levelNoise = 15, .autoDot = true, .threshold = 100},
         0.07},
    };
    for (const Band& b : bands) {
        std::size_t errors = 0;
        for (std::uint32_t seed = 1; seed <= 10; ++seed) {
            Trial t = b.trial;
            t.seed = seed;
            errors += editDistance(qsoDecoded, decode(qso, t));
        }
        const double cer = static_cast<double>(errors) / static_cast<double>(10 * qsoDecoded.size());
        std::printf("[ measured ] %s: CER %.4f\n", b.what, cer);
        EXPECT_LE(cer, b.maxCer) << b.what;
    }
}

} // namespace
