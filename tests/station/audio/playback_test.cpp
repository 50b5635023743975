// Playback: gain arithmetic, silence mode, the queue limit, the busy-slot
// cursor and the count after close, on a file output device.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/station/audio/audio_rig.h"

namespace {

using audiotest::AudioRig;
using namespace std::chrono_literals;

TEST(AmplifySample, TruncatesInDoubleAndWrapsToSixteenBits) {
    struct Case {
        std::int16_t in;
        double gain;
        std::int16_t expected;
    };
    const Case cases[] = {
        {1000, 1.1, 1100},    {-1000, 1.1, -1100}, {30000, 1.1, -32536}, // 33000 wraps
        {-32760, 1.1, 29500},              // −36036 wraps; single precision would give 29501
        {0, 7.5, 0},          {3, 1.5, 4}, // 4.5 truncated
        {-3, 1.5, -4},                     // −4.5 truncated toward zero
        {32767, 4.0, -4},                  // 131068 keeps its low 16 bits
        {20000, 1e12, 0},                  // exact: 2e16 is a multiple of 65536 (2^16 × 305175781250)
    };
    for (const Case& c : cases) {
        EXPECT_EQ(station::amplifySample(c.in, c.gain), c.expected) << "sample " << c.in << " at gain " << c.gain;
    }
}

class PlaybackTest : public ::testing::Test {
  protected:
    PlaybackTest() : output(rig.dir.file("out.wav")) { rig.useFiles("", output, 50); }

    // Plays `samples` as one block with the given gain and silence setting;
    // returns the caller's block afterwards and the file's content.
    void playOne(std::vector<std::int16_t>& samples) {
        ASSERT_EQ(rig.playback().openPlayback(-1), 0);
        rig.playback().playBlock(samples.data(), static_cast<std::int32_t>(samples.size() * 2));
        ASSERT_TRUE(rig.pumpUntil([&] { return rig.playback().playbackQueued() == 0; }, 5s))
            << "queued " << rig.playback().playbackQueued();
        EXPECT_EQ(rig.playback().blockPlayed(), 1);
        rig.playback().closePlayback();
        rig.pump();
    }

    AudioRig rig;
    std::string output;
};

TEST_F(PlaybackTest, GainAboveOneAmplifiesTheCallersBlockAndTheDevice) {
    rig.settings.live.outputGain = 1.1;
    std::vector<std::int16_t> block = {30000, -32760, 1000, -1000};
    playOne(block);
    const std::vector<std::int16_t> expected = {-32536, 29500, 1100, -1100};
    EXPECT_EQ(block, expected);
    EXPECT_EQ(audiotest::readWav(output), expected);
}

TEST_F(PlaybackTest, GainOfExactlyOneLeavesSamplesUntouched) {
    rig.settings.live.outputGain = 1.0;
    std::vector<std::int16_t> block = {32767, -32768, 1, -1, 12345};
    const auto original = block;
    playOne(block);
    EXPECT_EQ(block, original);
    EXPECT_EQ(audiotest::readWav(output), original);
}

TEST_F(PlaybackTest, SilenceModeWritesZerosOfTheSameLength) {
    rig.settings.live.playbackOn = false;
    std::vector<std::int16_t> block = {500, 600, 700};
    const auto original = block;
    playOne(block);
    EXPECT_EQ(block, original) << "silence mode must not touch the caller's block at gain 1.0";
    EXPECT_EQ(audiotest::readWav(output), std::vector<std::int16_t>(3, 0));
}

TEST_F(PlaybackTest, QueueAtItsLimitDropsUntilADoneLowersIt) {
    rig.settings.live.receiveBufferPackets = 3;
    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    std::vector<std::int16_t> block(160, 100);
    for (int i = 0; i < 5; ++i) {
        rig.playback().playBlock(block.data(), 320);
    }
    // Completions wait in the queue until delivered, so the count holds.
    EXPECT_EQ(rig.playback().blocksWritten(), 3u);
    EXPECT_EQ(rig.playback().playbackQueued(), 3);
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.playback().playbackQueued() < 3; }, 5s));
    rig.playback().playBlock(block.data(), 320);
    EXPECT_GE(rig.playback().blocksWritten(), 4u) << "a block after a done must be accepted";
    rig.playback().closePlayback();
    rig.pump();
    EXPECT_EQ(rig.playback().playbackQueued(), 0);
}

TEST_F(PlaybackTest, BusyCursorSlotTriesOnlyTheNextOne) {
    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    rig.settings.live.receiveBufferPackets = 60;
    std::vector<std::int16_t> block(160, 1);
    rig.playback().setSlotInUse(0, true);
    rig.playback().playBlock(block.data(), 320);
    EXPECT_EQ(rig.playback().blocksWritten(), 1u) << "slot 0 busy: slot 1 takes the block";
    EXPECT_EQ(rig.playback().playbackCursor(), 2);

    rig.playback().setSlotInUse(2, true);
    rig.playback().setSlotInUse(3, true);
    rig.playback().playBlock(block.data(), 320);
    EXPECT_EQ(rig.playback().blocksWritten(), 1u) << "slots 2 and 3 busy: dropped, slot 4 not tried";
    EXPECT_EQ(rig.playback().playbackCursor(), 3) << "the cursor moves once";

    rig.playback().setSlotInUse(3, false);
    rig.playback().playBlock(block.data(), 320);
    EXPECT_EQ(rig.playback().blocksWritten(), 2u);
    EXPECT_EQ(rig.playback().playbackCursor(), 4);
    rig.playback().closePlayback();
    rig.pump();
}

TEST_F(PlaybackTest, CloseReturnsTheCountToZeroAndReopenWorks) {
    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    EXPECT_EQ(rig.playback().openPlayback(-1), 2);
    rig.settings.live.receiveBufferPackets = 20;
    std::vector<std::int16_t> block(160, 7);
    for (int i = 0; i < 20; ++i) {
        rig.playback().playBlock(block.data(), 320);
    }
    ASSERT_EQ(rig.playback().playbackQueued(), 20);
    rig.playback().closePlayback();
    EXPECT_FALSE(rig.playback().playbackOpen());
    // The returned blocks arrive after the close, with the old handle.
    rig.pump();
    EXPECT_EQ(rig.playback().playbackQueued(), 0);
    EXPECT_EQ(rig.playback().blockPlayed(), 0) << "blocks returned after close are not 'played'";

    // Closing a closed device is harmless: no fatal stop.
    rig.playback().closePlayback();
    EXPECT_EQ(rig.quits, 0);
    EXPECT_FALSE(std::filesystem::exists(rig.dir.file("ErrorWav.txt")));

    // A block offered while closed is dropped without touching a device.
    rig.playback().playBlock(block.data(), 320);
    EXPECT_EQ(rig.playback().blocksWritten(), 20u);

    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    rig.playback().playBlock(block.data(), 320);
    EXPECT_EQ(rig.playback().blocksWritten(), 21u);
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.playback().playbackQueued() == 0; }, 5s));
    rig.playback().closePlayback();
    rig.pump();
}

TEST_F(PlaybackTest, RejectsBlocksNoSlotCanHoldAndForeignHeaders) {
    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    std::vector<std::int16_t> big(station::slotDataBytes / 2 + 2, 1);
    rig.playback().playBlock(big.data(), station::slotDataBytes + 2);
    rig.playback().playBlock(big.data(), -2);
    EXPECT_EQ(rig.playback().blocksWritten(), 0u);
    platform::WaveHeader foreign;
    rig.playback().onPlaybackDone(1, &foreign);
    EXPECT_EQ(rig.playback().playbackQueued(), 0) << "a header that is not ours must not lower the count";
    rig.playback().closePlayback();
    rig.pump();
}

TEST(PlaybackOpen, UnknownDeviceFails) {
    AudioRig rig;
    EXPECT_EQ(rig.playback().openPlayback(100000), 3);
    EXPECT_FALSE(rig.playback().playbackOpen());
}

} // namespace
