// The decoder with the real station, headless: morvel starts selvane, which
// plays the sample recording from a WAV file at a raised speed; the decoded
// text appears on morvel's standard output. SIGTERM to morvel ends both
// programs with code 0 (the station on the decoder's Quit), and the station
// stores its band file on the way out.
//
// The test process adopts orphans (child subreaper), so the station, which is
// morvel's child, is reaped here and its exit code checked.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

    pid_t startMorvel(std::vector<std::string> args = {}) {
        return programs.start(CW_MORVEL_PATH, {std::move(args),
                                               {std::string("SELVANE_INPUT=") + CW_SAMPLES_DIR + "/cq.wav",
                                                "SELVANE_OUTPUT=" + (dir / "played.wav").string(),
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
    // pipeline tests.
    // The weak-signal decoder may still be finding the signal during the
    // first character.
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

        // morvel, then the station (adopted here once morvel has gone), 20 s
        // at most between them.
        EXPECT_EQ(programs.stop(morvel, 10000), 0) << readFile(dir / "out.txt");
        EXPECT_EQ(platform::waitProcess(station, 10000), 0) << readFile(dir / "out.txt");
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

} // namespace
