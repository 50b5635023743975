// cwdecode as a user runs it: on sound files and on raw audio piped into
// standard input, with both decoders; bad input ends with code 2 and one line
// on standard error; a pipe's text appears while the pipe is still open.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/audio_constants.h"
#include "dsp/cw_generator.h"
#include "dsp/text_distance.h"
#include "platform/audio_file.h"
#include "program_harness.h"

#ifndef CW_SANITIZED
#define CW_SANITIZED 0
#endif

namespace {

using namespace harness;

constexpr const char* sentLatin = "CQ DE R3ABC K";

constexpr std::int32_t trailingMs = 600;

dsp::KeyingEnvelope keying(const std::string& text) {
    return dsp::keyingFromText(text, {.wpm = 20, .seed = 3, .leadingSilenceMs = 300, .trailingSilenceMs = trailingMs})
        .value();
}

// 8000 Hz audio of `text`; at 48000 Hz when `rate48k`.
std::vector<std::int16_t> cwAudio(const std::string& text, double snrDb, double amplitude, bool rate48k) {
    const dsp::KeyingEnvelope envelope = keying(text);
    dsp::ToneOptions tone{.pitchHz = 650, .amplitude = amplitude, .seed = 3};
    tone.noiseRms = dsp::noiseRmsForSnr(amplitude, snrDb, 500);
    std::vector<std::int16_t> audio = dsp::synthesizeCw(envelope, tone);
    if (!rate48k) {
        return audio;
    }
    platform::StreamResampler up;
    EXPECT_TRUE(up.init(8000, 48000));
    std::vector<std::int16_t> out;
    up.process(audio, true, out);
    return out;
}

void writeRaw(const fs::path& path, const std::vector<std::int16_t>& samples) {
    std::ofstream f(path, std::ios::binary);
    for (const std::int16_t s : samples) {
        const auto u = static_cast<std::uint16_t>(s);
        f.put(static_cast<char>(u & 0xFF)).put(static_cast<char>(u >> 8));
    }
}

class Cwdecode : public ::testing::Test {
  protected:
    TempDir temp{"cwdecode-test"};
    fs::path dir = temp.path;
    Programs programs;

    struct Run {
        int code = -1;
        std::string out, err;
    };

    // `args` as given (paths relative to the test directory), standard input
    // from `input` (none: /dev/null).
    pid_t start(const std::vector<std::string>& args, const std::string& input, const std::string& shellPrefix = "") {
        std::string command = shellPrefix + "exec '" CW_CWDECODE_PATH "'";
        for (const std::string& a : args) {
            command += " '" + a + "'";
        }
        command += " > out.txt 2> err.txt";
        if (shellPrefix.empty()) {
            command += " < " + (input.empty() ? std::string("/dev/null") : input);
        }
        return programs.start("/bin/sh", {{"-c", command}, {}, dir, dir / "sh.txt"});
    }
    Run run(const std::vector<std::string>& args, const std::string& input = "") {
        Run r;
        const pid_t pid = start(args, input);
        r.code = pid > 0 ? programs.finish(pid, 60000) : -1;
        r.out = readFile(dir / "out.txt");
        r.err = readFile(dir / "err.txt");
        return r;
    }
};

TEST_F(Cwdecode, DecodesFilesAndStandardInputWithEitherDecoder) {
    dsp::writeWav((dir / "clean8k.wav").string(), cwAudio(sentLatin, 20, 8000, false));
    const auto weak48k = cwAudio(sentLatin, 10, 4000, true);
    dsp::writeWav((dir / "weak48k.wav").string(), weak48k, 48000);
    writeRaw(dir / "weak48k.raw", weak48k);
    writeRaw(dir / "privet8k.raw", cwAudio("PRIWET MIR", 20, 8000, false));

    const struct {
        std::vector<std::string> args;
        std::string input;
        std::string expected; // UTF-8
        std::size_t maxDistance;
    } cases[] = {
        {{"--decoder=classic", "clean8k.wav"}, "", sentLatin, 0},
        {{"weak48k.wav"}, "", sentLatin, 2},
        {{"--rate", "48000", "-"}, "weak48k.raw", sentLatin, 2},
        {{"--decoder", "classic", "--alphabet=russian", "--rate=8000", "-"}, "privet8k.raw", "ПРИВЕТ МИР", 0},
    };
    for (const auto& c : cases) {
        const Run r = run(c.args, c.input);
        SCOPED_TRACE(c.args.front() + " … " + c.args.back());
        EXPECT_EQ(r.code, 0) << r.err;
        ASSERT_FALSE(r.out.empty());
        EXPECT_EQ(r.out.back(), '\n');
        const std::string text = r.out.substr(0, r.out.size() - 1);
        EXPECT_LE(editDistance(text, c.expected), c.maxDistance) << "got \"" << text << "\"";
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Cwdecode, JsonLinesGiveEachCharacterWithItsTimeAndEstimates) {
    dsp::writeWav((dir / "clean8k.wav").string(), cwAudio(sentLatin, 20, 8000, false));
    const Run r = run({"--jsonl", "--decoder=classic", "clean8k.wav"});
    EXPECT_EQ(r.code, 0) << r.err;
    const std::regex line(
        R"re(\{"time":([0-9.]+),"text":"([^"]*)","wpm":[0-9.]+,"pitch":([0-9.]+),"snr":(null|-?[0-9.]+)\})re");
    std::istringstream lines(r.out);
    std::string l, text;
    double lastTime = 0;
    while (std::getline(lines, l)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        const double t = std::stod(m[1]);
        EXPECT_GE(t, lastTime) << l;
        EXPECT_NEAR(std::stod(m[3]), 650, 5) << l;
        lastTime = t;
        text += m[2];
    }
    EXPECT_EQ(text, sentLatin);
    const double lastMarkEnd =
        static_cast<double>(dsp::totalSamples(keying(sentLatin))) / dsp::sampleRateHz - trailingMs / 1000.0;
    EXPECT_NEAR(lastTime, lastMarkEnd, 0.05) << "the time of the last character is where its last mark ends";
}

TEST_F(Cwdecode, BadInputEndsWithCodeTwoAndOneLine) {
    dsp::writeWav((dir / "ok.wav").string(), cwAudio(sentLatin, 20, 8000, false));
    std::ofstream(dir / "notes.txt") << "not a sound file\n";
    std::ofstream(dir / "empty.wav").flush();
    const std::vector<std::string> cases[] = {
        {"missing.wav"},
        {"notes.txt"},
        {"empty.wav"},
        {"."},
        {},
        {"-"},
        {"--rate", "12", "-"},
        {"--rate", "8000", "ok.wav"},
        {"--band", "wide", "ok.wav"},
        {"--pitch", "3000", "ok.wav"},
        {"--decoder=fast", "ok.wav"},
        {"--frobnicate", "ok.wav"},
        {"ok.wav", "ok.wav"},
    };
    for (const auto& args : cases) {
        const Run r = run(args);
        std::string shown;
        for (const std::string& a : args) {
            shown += a + " ";
        }
        EXPECT_EQ(r.code, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_TRUE(r.err.starts_with("cwdecode: ") && r.err.find('\n') == r.err.size() - 1)
            << shown << "→ \"" << r.err << "\"";
    }
}

TEST_F(Cwdecode, TextFromAPipeAppearsBeforeThePipeCloses) {
    writeRaw(dir / "clean8k.raw", cwAudio(sentLatin, 20, 8000, false));
    // The pipe stays open for a minute after the audio; the test needs the
    // text well before that.
    const pid_t pid = start({"--decoder=classic", "--rate", "8000", "-"}, "", "(cat clean8k.raw; sleep 60) | ");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir / "out.txt").find(sentLatin) != std::string::npos; },
                        CW_SANITIZED ? 40000ms : 20000ms))
        << "got \"" << readFile(dir / "out.txt") << "\"";
}

} // namespace
