// Audio through the tone search and the station's front end into either
// decoder, as cwdecode and the accuracy benchmark use it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "decoder/audio_decoding.h"
#include "dsp/audio_constants.h"
#include "dsp/cw_generator.h"
#include "dsp/text_distance.h"

namespace {

using decoder::AudioDecodingOptions;
using decoder::DecoderKind;

struct Signal {
    std::string text = "CQ DE R3ABC K";
    double wpm = 20;
    double pitchHz = 700;
    double snrDb = 99; // tone over the noise in 500 Hz; 99: clean
    std::int32_t leadMs = 300;
    double amplitude = 8000;
    std::uint32_t seed = 5;
    double noiseRms = 0; // > 0: this noise instead of the SNR's
};

std::vector<std::int16_t> audioOf(const Signal& s) {
    const auto envelope = dsp::keyingFromText(
        s.text, {.wpm = s.wpm, .seed = s.seed, .leadingSilenceMs = s.leadMs, .trailingSilenceMs = 600});
    if (!envelope) {
        ADD_FAILURE() << "not sendable: " << s.text;
        return {};
    }
    dsp::ToneOptions tone{.pitchHz = s.pitchHz, .amplitude = s.amplitude, .seed = s.seed};
    if (s.noiseRms > 0) {
        tone.noiseRms = s.noiseRms;
    } else if (s.snrDb < 90) {
        tone.noiseRms = dsp::noiseRmsForSnr(s.amplitude, s.snrDb, 500);
    }
    return dsp::synthesizeCw(*envelope, tone);
}

TEST(ToneSearch, FindsTheSignalsPitchAndTellsNoiseFromATone) {
    const struct { double pitchHz, snrDb; } tones[] = {{210, 99}, {700, 10}, {1190, 3}, {840, -3}};
    for (const auto& t : tones) {
        const auto found =
            decoder::findStrongestTone(audioOf({.pitchHz = t.pitchHz, .snrDb = t.snrDb, .amplitude = 4000}));
        EXPECT_NEAR(found.pitchHz, t.pitchHz, 3.0) << t.snrDb << " dB";
        EXPECT_GE(found.prominenceDb, decoder::toneLockProminenceDb) << t.pitchHz << " Hz, " << t.snrDb << " dB";
    }
    for (const std::uint32_t seed : {1U, 2U, 3U}) {
        const auto noise = decoder::findStrongestTone(audioOf({.amplitude = 0, .seed = seed, .noiseRms = 1000}));
        EXPECT_LT(noise.prominenceDb, decoder::toneLockProminenceDb) << "seed " << seed << " at " << noise.pitchHz;
    }
}

TEST(AudioDecoding, ClassicDecoderReadsACleanSignalThroughTheStationsFrontEnd) {
    const Signal s;
    const auto result = decoder::decodeAudio(audioOf(s), {.kind = DecoderKind::Classic});
    EXPECT_EQ(result.text, s.text);
    EXPECT_NEAR(result.pitchHz, s.pitchHz, 3.0);
    // "C" (−·−·, eleven dot lengths of 60 ms) ends 0.96 s in.
    ASSERT_FALSE(result.characters.empty());
    EXPECT_NEAR(static_cast<double>(result.characters.front().endSample) / dsp::sampleRateHz, 0.96, 0.03);
    EXPECT_TRUE(std::is_sorted(result.characters.begin(), result.characters.end(),
                               [](const auto& a, const auto& b) { return a.endSample < b.endSample; }));
}

TEST(AudioDecoding, ChunkingOfTheInputChangesNothing) {
    const std::vector<std::int16_t> audio = audioOf({.snrDb = 12});
    for (const DecoderKind kind : {DecoderKind::Classic, DecoderKind::Weak}) {
        const AudioDecodingOptions options{.kind = kind, .pitchHz = 700};
        const auto whole = decoder::decodeAudio(audio, options);
        for (const std::size_t chunk : {1UL, 159UL, 161UL, 4001UL}) {
            decoder::AudioDecoder streaming(options);
            std::vector<dsp::DecodedCharacter> got;
            const auto keep = [&](auto decided) { got.insert(got.end(), decided.begin(), decided.end()); };
            for (std::size_t at = 0; at < audio.size(); at += chunk) {
                keep(streaming.feed(std::span(audio).subspan(at, std::min(chunk, audio.size() - at))));
            }
            keep(streaming.flush());
            ASSERT_EQ(got.size(), whole.characters.size()) << decoderKindName(kind) << ", chunks of " << chunk;
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_STREQ(got[i].text, whole.characters[i].text);
                EXPECT_EQ(got[i].endSample, whole.characters[i].endSample);
            }
        }
    }
}

TEST(AudioDecoding, StreamingFindsASignalThatStartsAfterSecondsOfNoise) {
    // Longer than the 4 s the search holds: the noise slides out unlocked.
    const Signal s{.pitchHz = 560, .snrDb = 20, .leadMs = 6000};
    const std::vector<std::int16_t> audio = audioOf(s);
    decoder::AudioDecoder streaming({.kind = DecoderKind::Classic});
    std::string text;
    for (std::size_t at = 0; at < audio.size(); at += 800) {
        for (const auto& c :
             streaming.feed(std::span(audio).subspan(at, std::min<std::size_t>(800, audio.size() - at)))) {
            text += c.text;
        }
    }
    for (const auto& c : streaming.flush()) {
        text += c.text;
    }
    EXPECT_NEAR(streaming.pitchHz(), s.pitchHz, 3.0);
    EXPECT_LE(editDistance(text, s.text), 1U) << "got \"" << text << "\"";
}

} // namespace
