// Generated CW audio through the station's block processing (band filter and
// keying detector, as with "UDPSEND") into the decoder's datagram handling,
// compared with the sent text. Also prints the character error rate against
// signal-to-noise ratio and speed, for the record (not a timed test).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decoder/decoder_app.h"
#include "decoder_fakes.h"
#include "dsp/alphabet.h"
#include "dsp/band_filter.h"
#include "dsp/cw_generator.h"
#include "dsp/text_distance.h"
#include "platform/cp1251.h"
#include "platform/gdi.h"
#include "platform/platform.h"
#include "station/audio/block_processing.h"
#include "station/shell/station_settings.h"

namespace {

using namespace decoder_test;
using namespace platform::literals;

// The datagram bytes exactly as they would leave the station.
struct DatagramBytes final : station::BlockSink {
    std::vector<std::vector<std::uint8_t>> sent;
    void sendDatagram(const locallink::SampleDatagram& d) override {
        std::vector<std::uint8_t> bytes(sizeof d);
        std::memcpy(bytes.data(), &d, sizeof d);
        sent.push_back(std::move(bytes));
    }
};

struct Trial {
    double wpm = 20;
    double snrDb = 99; // tone over the noise in 500 Hz; 99: clean
    bool autoDot = false;
    dsp::Alphabet alphabet = dsp::Latin;
    std::uint32_t seed = 7;
    decoder::DecoderKind decoder = decoder::DecoderKind::Classic;
    std::int32_t trailingMs = 800;
};

class Pipeline : public ::testing::Test {
  protected:
    int argc = 1;
    char name[8] = "test";
    char* argv[2] = {name, nullptr};
    platform::Platform platform{argc, argv};

    // Decoded text (Windows-1251) of `sent` (Latin readings for the generator).
    std::string run(const std::string& sent, const Trial& t) {
        station::StationSettings settings;
        settings.config.udpSend = true; // default band 0.1 … 0.11, 256 taps
        auto filter = std::make_unique<dsp::FirBandFilter>();
        auto processor = std::make_unique<station::BlockProcessor>();
        station::designStationFilter(settings, *filter);
        DatagramBytes link;

        RecordedControl control;
        RecordedText text;
        decoder::DecoderApp app(control, text, t.decoder);
        app.state().timer.autoDot = t.autoDot ? 1 : 0;
        app.state().alphabet = t.alphabet;
        platform::Picture window(900, 600, decoder::white);
        platform::DrawContext windowContext(window);

        const auto envelope = dsp::keyingFromText(
            sent, {.wpm = t.wpm, .seed = t.seed, .leadingSilenceMs = 150, .trailingSilenceMs = t.trailingMs});
        if (!envelope) {
            return "<not sendable>";
        }
        dsp::ToneOptions tone{.pitchHz = 840, .amplitude = 8000, .seed = t.seed};
        if (t.snrDb < 90) {
            tone.noiseRms = dsp::noiseRmsForSnr(tone.amplitude, t.snrDb, 500);
        }
        std::vector<std::int16_t> audio = dsp::synthesizeCw(*envelope, tone);
        audio.resize((audio.size() + 159) / 160 * 160, 0);
        for (std::size_t i = 0; i < audio.size(); i += 160) {
            station::processBlock(*processor, settings, *filter, audio.data() + i, 320, link);
            for (const auto& bytes : link.sent) {
                if (app.acceptDatagram(bytes)) {
                    app.drawAndDecode(windowContext);
                }
            }
            link.sent.clear();
        }
        EXPECT_TRUE(control.sent.empty()) << "decoding sends no commands";
        return text.bytes;
    }
};

const std::string message = "CQ CQ DE R3ABC R3ABC K";

TEST_F(Pipeline, DefaultSettingsDecodeTwentyWpmExactly) { EXPECT_EQ(run(message, {.wpm = 20}), message); }

TEST_F(Pipeline, AutomaticDotLengthFollowsTheSpeed) {
    for (const double wpm : {12.0, 16.0, 25.0, 30.0}) {
        SCOPED_TRACE(std::to_string(wpm) + " WPM");
        // A leading "VVV" lets the dot estimate settle before the message.
        const std::string decoded = run("VVV " + message, {.wpm = wpm, .autoDot = true});
        EXPECT_EQ(decoded, "VVV " + message);
    }
}

TEST_F(Pipeline, RussianTextWithTheRussianAlphabet) {
    // ПРИВЕТ МИР keyed as its Latin equivalents.
    const std::string decoded = run("PRIWET MIR", {.wpm = 20, .alphabet = dsp::Russian});
    EXPECT_EQ(platform::cp1251ToUtf8(decoded), "ПРИВЕТ МИР");
}

TEST_F(Pipeline, WeakDecoderSelectedWritesItsTextFromTheFilteredSamples) {
    // At 6 dB the classic decoder loses most characters (see the table
    // below); the weak-signal decoder reads the datagrams' samples instead,
    // and its text alone reaches the text window.
    // It puts a character out up to 1 s after its closing gap.
    for (const std::uint32_t seed : {7U, 8U}) {
        const std::string decoded =
            run(message, {.snrDb = 6, .seed = seed, .decoder = decoder::DecoderKind::Weak, .trailingMs = 1500});
        EXPECT_LE(editDistance(decoded, message), 2U) << "got \"" << decoded << "\"";
    }
}

TEST_F(Pipeline, CharacterErrorRateTable) {
    const std::string sent = "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789";
    // With the automatic dot length a short preamble lets the estimate
    // settle first (a cold start takes the first mark, maybe a dash, as the
    // dot); the preamble is counted like the rest.
    const auto cer = [&](const Trial& t) {
        const std::string keyed = t.autoDot ? "VVV " + sent : sent;
        double errors = 0;
        const int seeds = 3;
        for (int s = 0; s < seeds; ++s) {
            Trial ts = t;
            ts.seed = 11 + static_cast<std::uint32_t>(s);
            errors += static_cast<double>(editDistance(run(keyed, ts), keyed)) / static_cast<double>(keyed.size());
        }
        return errors / seeds;
    };
    std::printf("character error rate, 20 WPM, default settings\n  SNR dB (500 Hz)   CER\n");
    double clean = 1;
    for (const double snr : {20.0, 10.0, 6.0, 3.0, 0.0}) {
        const double c = cer({.wpm = 20, .snrDb = snr});
        clean = snr == 20.0 ? c : clean;
        std::printf("  %6.0f          %6.3f\n", snr, c);
    }
    std::printf("character error rate, automatic dot length, clean\n  WPM    CER\n");
    double worstSpeed = 0;
    for (const double wpm : {12.0, 15.0, 20.0, 25.0, 30.0, 35.0}) {
        const double c = cer({.wpm = wpm, .autoDot = true});
        worstSpeed = std::max(worstSpeed, c);
        std::printf("  %4.0f   %6.3f\n", wpm, c);
    }
    // Broad bounds only: the table is the record, these catch a broken chain.
    EXPECT_LE(clean, 0.02) << "20 dB SNR should decode almost perfectly";
    EXPECT_LE(worstSpeed, 0.1) << "clean keying at 12 … 35 WPM with automatic dot length";
}

} // namespace
