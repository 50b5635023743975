// The weak-signal decoder on short generated signals with fixed seeds: weak,
// slow, fast and Cyrillic copy, the one-second decision delay, and silence
// on noise alone. Bounds are a little looser than the benchmark's goals
// (bench/decoder_accuracy has the full tables).

#include "dsp/weak_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "dsp/cw_generator.h"
#include "dsp/text_distance.h"

namespace {

struct Decoded {
    std::string text;
    // Largest delay between a character's last mark and the end of the
    // block that returned it, samples.
    std::int64_t worstDelay = 0;
};

// Feeds `audio` in the station's 160-sample blocks, as morvel does.
Decoded decode(const std::vector<std::int16_t>& audio, const dsp::WeakDecoderOptions& options = {}) {
    dsp::WeakSignalDecoder decoder(options);
    Decoded d;
    const auto take = [&](std::span<const dsp::DecodedCharacter> out, std::int64_t fed) {
        for (const dsp::DecodedCharacter& c : out) {
            d.text += c.text;
            if (c.elementCode != 0) {
                d.worstDelay = std::max(d.worstDelay, fed - c.endSample);
            }
        }
    };
    for (std::size_t at = 0; at < audio.size(); at += 160) {
        const std::size_t n = std::min<std::size_t>(160, audio.size() - at);
        take(decoder.feed({audio.data() + at, n}), static_cast<std::int64_t>(at + n));
    }
    take(decoder.flush(), static_cast<std::int64_t>(audio.size()));
    while (!d.text.empty() && d.text.back() == ' ') {
        d.text.pop_back();
    }
    return d;
}

struct Copy {
    const char* name;
    const char* keyed;    // Latin readings for the generator
    const char* expected; // what the decoder prints (Windows-1251)
    double wpm;
    double snrDb; // tone over the noise in 500 Hz
    dsp::Alphabet alphabet;
    std::size_t maxErrors;
};

// "ПРИВЕТ МИР 73" keyed with the Latin equivalents.
const Copy copies[] = {
    {"6 dB at 20 WPM", "CQ DE R3ABC 599 QTH MOSCOW K", "CQ DE R3ABC 599 QTH MOSCOW K", 20, 6, dsp::Latin, 1},
    {"12 WPM, no speed set", "VY 73 ES GL 2026 OM", "VY 73 ES GL 2026 OM", 12, 10, dsp::Latin, 1},
    {"40 WPM, no speed set", "TEST DE DL1ABC 5NN 14 TU 73 BK", "TEST DE DL1ABC 5NN 14 TU 73 BK", 40, 10, dsp::Latin, 1},
    // Right after a silence the noise level rests on the silence alone (the
    // first character was lost to a noise level raised by the keying).
    {"a short call at -1 dB", "CQ TEST DL1ABC", "CQ TEST DL1ABC", 20, -1, dsp::Latin, 1},
    {"Cyrillic, 6 dB", "PRIWET MIR 73", "\xCF\xD0\xC8\xC2\xC5\xD2 \xCC\xC8\xD0 73", 20, 6, dsp::Russian, 1},
};

class WeakCopy : public ::testing::TestWithParam<Copy> {};

TEST_P(WeakCopy, CopiesWithinTheBoundAndDecidesWithinOneSecond) {
    const Copy& c = GetParam();
    const auto envelope =
        dsp::keyingFromText(c.keyed, {.wpm = c.wpm, .seed = 3, .leadingSilenceMs = 600, .trailingSilenceMs = 1500});
    ASSERT_TRUE(envelope);
    const std::vector<std::int16_t> audio = dsp::synthesizeCw(
        *envelope,
        {.pitchHz = 760, .amplitude = 4000, .noiseRms = dsp::noiseRmsForSnr(4000, c.snrDb, 500), .seed = 17});
    dsp::WeakDecoderOptions options;
    options.alphabet = c.alphabet;
    const Decoded d = decode(audio, options);
    EXPECT_LE(editDistance(d.text, c.expected), c.maxErrors) << d.text;
    // The closing gap is 3 dots; the decision follows within a second of it.
    const std::int64_t dot = dsp::dotSamples(c.wpm);
    EXPECT_LE(d.worstDelay, 3 * dot + 8000);
}

INSTANTIATE_TEST_SUITE_P(Signals, WeakCopy, ::testing::ValuesIn(copies),
                         [](const ::testing::TestParamInfo<Copy>& info) {
                             std::string name;
                             for (const char ch : std::string(info.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_';
                             }
                             return name;
                         });

// A hand that keys a character gap as short as 1.4 dots runs two characters
// together into a code no alphabet has (".----....-" for "14"); the decoder
// splits it at that gap.
TEST(WeakDecoder, SplitsCharactersRunTogether) {
    const double wpm = 20;
    auto envelope = dsp::keyingFromText("CQ DE 14 59 TEST",
                                        {.wpm = wpm, .seed = 3, .leadingSilenceMs = 600, .trailingSilenceMs = 1500});
    ASSERT_TRUE(envelope);
    // The character gaps inside "14" and "59": the space after the fifth
    // mark of the third and of the fourth word.
    const std::int32_t dot = dsp::dotSamples(wpm);
    int marks = 0, words = 0;
    for (dsp::KeyingRun& run : *envelope) {
        if (run.mark) {
            ++marks;
        } else if (run.samples > 5 * dot) {
            ++words;
            marks = 0;
        } else if (marks == 5 && (words == 2 || words == 3)) {
            run.samples = dot * 14 / 10;
        }
    }
    const std::vector<std::int16_t> audio = dsp::synthesizeCw(
        *envelope, {.pitchHz = 760, .amplitude = 4000, .noiseRms = dsp::noiseRmsForSnr(4000, 20, 500), .seed = 17});
    EXPECT_EQ(decode(audio).text, "CQ DE 14 59 TEST");
}

// White noise, raw and through a narrow resonator like the station's band
// filter, gives no text.
TEST(WeakDecoder, NoiseAloneGivesNoText) {
    for (const double bandHz : {0.0, 80.0}) {
        std::mt19937 rng(42);
        std::normal_distribution<double> gauss(0.0, 3000.0);
        std::vector<std::int16_t> audio(8000 * 12);
        const double r = std::exp(-M_PI * bandHz / 8000.0);
        const double c = 2.0 * r * std::cos(2.0 * M_PI * 840.0 / 8000.0);
        double y1 = 0.0, y2 = 0.0;
        for (std::int16_t& s : audio) {
            double v = gauss(rng);
            if (bandHz > 0.0) {
                const double y = 4.0 * (1.0 - r) * v + c * y1 - r * r * y2;
                y2 = y1;
                y1 = y;
                v = y;
            }
            s = static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
        }
        EXPECT_EQ(decode(audio).text, "") << "band " << bandHz << " Hz";
    }
}

} // namespace
