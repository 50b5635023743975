// The decoder with the real station, headless: morvel starts selvane, which
// plays the sample recording from a WAV file at a raised speed; the decoded
// text appears on morvel's standard output. SIGTERM to morvel ends both
// programs with code 0 (the station on the decoder's Quit), and the station
// stores its band file on the way out.
//
// morvel waits for the station it started and reaps it; a station that dies
// under it is reported, and headless morvel then ends with its exit code.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dsp/text_distance.h"
#include "platform/kernel.h"
#include "program_harness.h"

// Replay speed of the sample: sanitizer builds run slower than real time
// would allow at 4x, and a station that falls behind drops audio.
#ifndef CW_REPLAY_SPEED
#define CW_REPLAY_SPEED 4
#endif
#ifndef CW_SANITIZED
#define CW_SANITIZED 0
#endif

namespace {

using namespace harness;

class MorvelWithStation : public ::testing::Test {
  protected:
    TempDir temp{"morvel-test"};
    fs::path dir = temp.path;
    Programs programs;

    pid_t startMorvel(std::vector<std::string> args = {},
                      const std::string& input = std::string(CW_SAMPLES_DIR) + "/cq.wav") {
        return programs.start(CW_MORVEL_PATH,
                              {std::move(args),
                               {"SELVANE_INPUT=" + input, "SELVANE_OUTPUT=" + (dir / "played.wav").string(),
                                "SELVANE_SPEED=" + std::to_string(CW_REPLAY_SPEED)},
                               dir,
                               dir / "out.txt"});
    }
};

TEST_F(MorvelWithStation, DecodesTheSampleWithEitherDecoderAndBothProgramsStopOnSigterm) {
    // Under the sanitizers both programs run many times slower and the
    // decoder falls behind the link; there the run proves the whole path
    // (start, decode, Quit, exit codes, band file) and the first word, while
    // exact decoding is checked by the normal build and the in-process
    // pipeline tests. The weak-signal decoder may still be finding the
    // signal during the first character.
    const std::string expected = CW_SANITIZED ? "CQ" : "CQ CQ DE R3ABC K";
    const struct {
        std::vector<std::string> args;
        std::size_t maxDistance;
    } choices[] = {{{}, 0}, {{"--decoder=weak"}, 2}};
    for (const auto& [args, maxDistance] : choices) {
        SCOPED_TRACE(args.empty() ? "no options" : args.front());
        const auto decoded = [&, maxDistance = maxDistance] {
            const std::string out = readFile(dir / "out.txt");
            return out.find(expected) != std::string::npos ||
                   (!CW_SANITIZED && editDistance(out, expected) <= maxDistance);
        };
        fs::remove(dir / "f.###");
        fs::remove(dir / "out.txt");
        const pid_t morvel = startMorvel(args);
        ASSERT_GT(morvel, 0);
        const pid_t station = Programs::awaitChild(morvel, 10000ms);
        ASSERT_GT(station, 0) << "morvel started no station";

        EXPECT_TRUE(waitFor(decoded, 40000ms)) << "output: \"" << readFile(dir / "out.txt") << "\"";

        // morvel has waited for its station before it ends.
        EXPECT_EQ(programs.stop(morvel, 15000), 0) << readFile(dir / "out.txt");
        EXPECT_FALSE(Programs::running(station)) << "morvel left its station running";
        EXPECT_EQ(fs::exists(dir / "f.###") ? fs::file_size(dir / "f.###") : 0u, 8u) << "band file written at exit";
    }
}

TEST_F(MorvelWithStation, UnknownDecoderIsRefusedBeforeAnythingStarts) {
    const pid_t morvel = startMorvel({"--decoder=fast"});
    ASSERT_GT(morvel, 0);
    EXPECT_EQ(programs.finish(morvel, 10000), 2);
    EXPECT_EQ(readFile(dir / "out.txt"), "morvel: unknown decoder 'fast' (weak or classic)\n");
    EXPECT_TRUE(Programs::childrenOf(morvel).empty());
}

TEST_F(MorvelWithStation, StationThatDiesAtStartUpEndsHeadlessMorvelWithItsCodeAndReason) {
    const pid_t morvel = startMorvel({}, (dir / "missing.wav").string());
    ASSERT_GT(morvel, 0);
    EXPECT_EQ(programs.finish(morvel, 20000), 1) << readFile(dir / "out.txt");
    const std::string said = readFile(dir / "out.txt");
    EXPECT_NE(said.find("morvel: the station stopped (exit code 1): Не удалось открыть устройство ввода звука!"),
              std::string::npos)
        << said;
}

TEST_F(MorvelWithStation, ReaderThatGoesAwayEndsHeadlessMorvelAndItsStation) {
    // As `morvel | head -c 1`: the reader takes one byte and leaves.
    const fs::path pipe = dir / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const pid_t morvel = programs.start(CW_MORVEL_PATH, {{},
                                                         {std::string("SELVANE_INPUT=") + CW_SAMPLES_DIR + "/cq.wav",
                                                          "SELVANE_OUTPUT=" + (dir / "played.wav").string(),
                                                          "SELVANE_SPEED=" + std::to_string(CW_REPLAY_SPEED)},
                                                         dir,
                                                         pipe});
    ASSERT_GT(morvel, 0);
    const pid_t station = Programs::awaitChild(morvel, 10000ms);
    ASSERT_GT(station, 0) << "morvel started no station";
    char byte = 0;
    EXPECT_TRUE(waitFor([&] { return ::read(reader, &byte, 1) == 1; }, 40000ms)) << "morvel said nothing";
    ::close(reader);
    EXPECT_EQ(programs.finish(morvel, 40000), 0) << "morvel did not end by itself with 0";
    EXPECT_FALSE(Programs::running(station)) << "morvel left its station running";
}

} // namespace
