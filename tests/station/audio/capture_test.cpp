// Capture: the ring, the role rules of the processing thread, open/close,
// overrun, device switches while blocks flow, and the filter path from an
// input file to an output file.

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <numeric>

#include "tests/station/audio/audio_rig.h"

namespace {

using audiotest::AudioRig;
using namespace std::chrono_literals;

std::vector<char> pattern(std::int32_t n, int seed) {
    std::vector<char> v(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
        v[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + seed) & 0xFF);
    }
    return v;
}

TEST(CaptureRing, EveryByteIsUsableAndAnOverrunDropsTheWholeBuffer) {
    auto ring = std::make_unique<station::CaptureState>();
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(ring->ringPush(pattern(320, i).data(), 320)) << "buffer " << i << " of 60 must fit";
    }
    EXPECT_EQ(ring->ringUnread(), 19200u) << "a full ring must not read as empty";
    EXPECT_FALSE(ring->ringPush(pattern(2, 99).data(), 2));
    EXPECT_EQ(ring->ringUnread(), 19200u) << "an overrun must leave the ring as it was";

    std::vector<char> out(320);
    ASSERT_EQ(ring->ringTake(out.data(), 320), 320);
    EXPECT_EQ(out, pattern(320, 0)) << "the oldest buffer comes out first, intact";
    // Room for exactly one more buffer now, not for a bigger one.
    EXPECT_FALSE(ring->ringPush(pattern(322, 5).data(), 322));
    EXPECT_TRUE(ring->ringPush(pattern(320, 60).data(), 320));
    for (int i = 1; i <= 60; ++i) {
        ASSERT_EQ(ring->ringTake(out.data(), 320), 320);
        ASSERT_EQ(out, pattern(320, i)) << "buffer " << i << " across the wrap";
    }
    EXPECT_EQ(ring->ringTake(out.data(), 320), 0);
}

TEST(CaptureRing, ShortBlockWhenTheRingHoldsLess) {
    auto ring = std::make_unique<station::CaptureState>();
    // Odd sizes walk the write position across the wrap at unaligned places.
    std::vector<char> out(1920);
    for (int round = 0; round < 200; ++round) {
        const std::int32_t n = 1 + (round * 37) % 300;
        ASSERT_TRUE(ring->ringPush(pattern(n, round).data(), n));
        ASSERT_EQ(ring->ringTake(out.data(), 1920), n) << "round " << round;
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + n, pattern(n, round).begin())) << "round " << round;
    }
    ASSERT_TRUE(ring->ringPush(pattern(100, 1).data(), 100));
    EXPECT_EQ(ring->ringTake(out.data(), 320), 100);
}

// handleBlock for each role: which relays run, and whether the block is
// filtered and played.
TEST(CaptureRoles, RelayAndLocalHandlingFollowTheRole) {
    struct Case {
        const char* name;
        int server, client, dialog, command, mic;
        bool any, slot0, connected, started;
        std::int32_t bytes;
        int toClients, toServer, toSlot0;
        bool processed, played;
    };
    const Case cases[] = {
        {"local", 0, 0, 0, 0, 0, false, false, false, true, 320, 0, 0, 0, true, true},
        {"local before audio started", 0, 0, 0, 0, 0, false, false, false, false, 320, 0, 0, 0, false, false},
        {"server, nobody connected", 1, 0, 0, 0, 0, false, false, false, true, 320, 0, 0, 0, true, true},
        {"server with clients", 1, 0, 0, 0, 0, true, true, false, true, 320, 1, 0, 0, true, true},
        {"server relays before audio started", 1, 0, 0, 0, 0, true, false, false, false, 320, 1, 0, 0, false, false},
        {"server, short block", 1, 0, 0, 0, 0, true, true, false, true, 200, 0, 0, 0, true, true},
        {"command server, slot 0 busy", 1, 0, 0, 1, 0, true, true, false, true, 320, 0, 0, 1, true, true},
        {"command server, short block", 1, 0, 0, 1, 0, true, true, false, true, 200, 0, 0, 0, true, true},
        {"command server, slot 0 free", 1, 0, 0, 1, 0, true, false, false, true, 320, 0, 0, 0, true, true},
        {"dialog server, slot 0 free", 1, 0, 1, 0, 0, false, false, false, true, 320, 0, 0, 0, true, false},
        {"dialog server, slot 0 free, mic", 1, 0, 1, 0, 1, false, false, false, true, 320, 0, 0, 0, true, true},
        {"dialog server, slot 0 busy", 1, 0, 1, 0, 1, true, true, false, true, 320, 1, 0, 0, false, false},
        {"dialog client, connected", 0, 1, 1, 0, 1, false, false, true, true, 320, 0, 1, 0, false, false},
        {"dialog client, not connected", 0, 1, 1, 0, 1, false, false, false, true, 320, 0, 0, 0, true, true},
        {"dialog client, connected, short", 0, 1, 1, 0, 0, false, false, true, true, 100, 0, 0, 0, false, false},
    };
    audiotest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        audiotest::CountingHooks hooks;
        hooks.any = c.any;
        hooks.slot0 = c.slot0;
        hooks.connected = c.connected;
        AudioRig rig(&hooks);
        rig.useFiles("", dir.file("roles.wav"), 1);
        rig.settings.config.serverMode = c.server;
        rig.settings.config.clientMode = c.client;
        rig.settings.config.dialogMode = c.dialog;
        rig.settings.config.commandMode = c.command;
        rig.settings.config.controlMic = c.mic;
        rig.settings.live.receiveBufferPackets = 60;
        ASSERT_EQ(rig.playback().openPlayback(-1), 0);
        std::vector<std::int16_t> block(160, 1000);
        const int fillBefore = rig.processor->spectrumFill;
        rig.capture().handleBlock(block.data(), c.bytes, c.started);
        EXPECT_EQ(hooks.toClients.load(), c.toClients);
        EXPECT_EQ(hooks.toServer.load(), c.toServer);
        EXPECT_EQ(hooks.toSlot0.load(), c.toSlot0);
        EXPECT_EQ(rig.processor->spectrumFill != fillBefore, c.processed);
        EXPECT_EQ(rig.playback().blocksWritten() == 1u, c.played);
        rig.playback().closePlayback();
        rig.pump();
    }
}

class CaptureTest : public ::testing::Test {
  protected:
    CaptureTest() : input(rig.dir.file("in.wav")), output(rig.dir.file("out.wav")) {
        rig.useFiles(input, output, 40);
        rig.settings.live.receiveBufferPackets = 60;
        EXPECT_TRUE(audiotest::writeWav(input, audiotest::tones(8000 * 4, {{840.0, 8000.0}})));
    }

    static int threadCount() {
        int n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
            ++n;
        }
        return n;
    }

    AudioRig rig;
    std::string input, output;
};

TEST_F(CaptureTest, OpenTwiceReturnsTwoAndStartsNoSecondThread) {
    ASSERT_EQ(rig.capture().openCapture(-1), 0);
    EXPECT_TRUE(rig.capture().processingThreadRunning());
    const int threads = threadCount();
    EXPECT_EQ(rig.capture().openCapture(-1), 2);
    EXPECT_EQ(threadCount(), threads);
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.capture().audioStarted() == 1; }, 5s));
    rig.capture().closeCapture();
    EXPECT_FALSE(rig.capture().processingThreadRunning());
    EXPECT_EQ(rig.capture().audioStarted(), 0);
    EXPECT_LT(threadCount(), threads) << "close must end the processing thread and the device's";
    rig.pump(); // buffers the reset returned: dropped, not re-queued
    EXPECT_EQ(rig.capture().state().ringUnread(), 0u);
    EXPECT_EQ(rig.quits, 0) << "no device call may have failed";
}

TEST_F(CaptureTest, UnknownDeviceFailsAndLeavesNothingRunning) {
    EXPECT_EQ(rig.capture().openCapture(100000), 3);
    EXPECT_FALSE(rig.capture().captureOpen());
    EXPECT_FALSE(rig.capture().processingThreadRunning());
    rig.capture().closeCapture(); // closing what never opened is harmless
    EXPECT_EQ(rig.quits, 0);
}

// A processing thread held up for longer than the ring lasts: whole
// buffers are dropped and counted, and every buffer is either drained or
// counted as dropped.
class BlockingHooks : public audiotest::CountingHooks {
  public:
    bool anySlotOccupied() override {
        std::unique_lock lock(mutex_);
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
        return false;
    }
    bool held() {
        const std::lock_guard lock(mutex_);
        return held_;
    }
    void release() {
        const std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool released_ = false;
};

TEST(CaptureOverrun, DropsWholeBuffersAndCountsThem) {
    BlockingHooks hooks;
    AudioRig rig(&hooks);
    const std::string input = rig.dir.file("in.wav");
    ASSERT_TRUE(audiotest::writeWav(input, audiotest::tones(8000, {{600.0, 5000.0}})));
    rig.useFiles(input, rig.dir.file("out.wav"), 100);
    rig.settings.config.serverMode = true; // every whole block asks the (held) hooks first
    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    ASSERT_EQ(rig.capture().openCapture(-1), 0);
    const bool overran = rig.pumpUntil([&] { return rig.capture().overrunCount() >= 5; }, 10s);
    hooks.release();
    ASSERT_TRUE(overran) << "held thread, yet overruns " << rig.capture().overrunCount();
    EXPECT_TRUE(hooks.held());
    EXPECT_EQ(rig.capture().state().ringUnread() % 320, 0u) << "only whole buffers may be in the ring";

    // Stop delivering, let the thread catch up, then account for every buffer.
    const auto drained = [&] { return rig.capture().state().ringUnread() == 0; };
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!drained() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(drained());
    RecordProperty("overruns", std::to_string(rig.capture().overrunCount()));
    EXPECT_EQ(rig.capture().blocksDrained() + rig.capture().overrunCount(),
              static_cast<std::uint64_t>(rig.captureMessages))
        << "drained " << rig.capture().blocksDrained() << " + dropped " << rig.capture().overrunCount()
        << " vs buffers delivered " << rig.captureMessages;
    rig.capture().closeCapture();
    rig.playback().closePlayback();
    rig.pump();
}

// As the device menus do it: close, 100 ms, reopen, while blocks flow on
// both sides. Run under ThreadSanitizer too.
TEST_F(CaptureTest, DeviceSwitchesWhileBlocksFlow) {
    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    ASSERT_EQ(rig.capture().openCapture(-1), 0);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const std::uint64_t before = rig.playback().blocksWritten();
        ASSERT_TRUE(rig.pumpUntil([&] { return rig.playback().blocksWritten() >= before + 10; }, 10s))
            << "blocks stopped flowing: written " << rig.playback().blocksWritten();
        EXPECT_EQ(rig.stationAudio->switchInputDevice(-1), 0);
        ASSERT_TRUE(rig.pumpUntil([&] { return rig.playback().blocksWritten() >= before + 20; }, 10s));
        EXPECT_EQ(rig.stationAudio->switchOutputDevice(-1), 0);
    }
    const std::uint64_t before = rig.playback().blocksWritten();
    EXPECT_TRUE(rig.pumpUntil([&] { return rig.playback().blocksWritten() >= before + 10; }, 10s));
    rig.capture().closeCapture();
    rig.playback().closePlayback();
    rig.pump();
    EXPECT_EQ(rig.playback().playbackQueued(), 0);
    EXPECT_EQ(rig.quits, 0) << "no device call may have failed";
}

// Capture → ring → processing thread → band filter → playback, through the
// file devices: the tone in the band passes at the filter's gain, the one
// outside it is at least 40 dB down.
TEST_F(CaptureTest, FilterPathPassesTheBandAndStopsTheRest) {
    const std::size_t inputSamples = 8000 * 3;
    ASSERT_TRUE(audiotest::writeWav(input, audiotest::tones(inputSamples, {{840.0, 8000.0}, {2000.0, 8000.0}})));
    ASSERT_EQ(rig.settings.live.filterLength.load(), 256);
    // Slow enough that a sanitizer build on a busy machine keeps up: a
    // dropped buffer would put a phase jump into the measured stretch.
    rig.useFiles(input, output, 10);
    ASSERT_EQ(rig.playback().openPlayback(-1), 0);
    ASSERT_EQ(rig.capture().openCapture(-1), 0);
    const std::uint64_t blocksWanted = inputSamples / 160;
    ASSERT_TRUE(rig.pumpUntil([&] { return rig.playback().blocksWritten() >= blocksWanted; }, 20s))
        << "written " << rig.playback().blocksWritten() << " of " << blocksWanted;
    rig.capture().closeCapture();
    rig.pumpUntil([&] { return rig.playback().playbackQueued() == 0; }, 5s);
    rig.playback().closePlayback();
    rig.pump();
    RecordProperty("overruns", std::to_string(rig.capture().overrunCount()));

    const auto out = audiotest::readWav(output);
    ASSERT_GE(out.size(), 8000u + 4000u) << "output samples";
    // Past the filter's start (256 taps) and the first blocks; 4000 samples
    // hold whole periods of both tones.
    const std::size_t from = 4000;
    const double pass = audiotest::toneAmplitude(out, from, 4000, 840.0) / 8000.0;
    const double stop = audiotest::toneAmplitude(out, from, 4000, 2000.0) / 8000.0;
    RecordProperty("gain840", std::to_string(pass));
    RecordProperty("level2000dB", std::to_string(20.0 * std::log10(stop)));
    EXPECT_NEAR(pass, 0.94, 0.05) << "gain at 840 Hz";
    EXPECT_LT(20.0 * std::log10(stop), -40.0) << "2000 Hz relative level " << stop;
}

} // namespace
