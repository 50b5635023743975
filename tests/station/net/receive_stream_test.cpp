#include "station/net/receive_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "tests/station/net/net_fakes.h"

namespace station {
namespace {

using namespace testing;

// `blocks` GSM frames of a 700 Hz tone, as a server sends them.
Bytes audioFrames(int blocks) {
    std::vector<std::int16_t> samples(std::size_t(blocks * gsmBlockSamples));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = std::int16_t(9000 * std::sin(2 * std::numbers::pi * 700 * double(i) / 8000));
    }
    Bytes frames(std::size_t(blocks * gsmFrameBytes));
    GsmCodecPair sender;
    encodeBlocks(sender, samples.data(), frames.data(), blocks);
    return frames;
}

Bytes packet(StreamPacketType type, std::int32_t timeLimit = 0) {
    StationSettings sender;
    sender.live.timeLimit = timeLimit;
    sender.live.filterLength = 1024;
    return packetBytes(type, sender);
}

// Three audio units, a TimeLimit, two more audio units.
Bytes mixedStream() {
    Bytes stream = audioFrames(5);
    const Bytes limit = packet(StreamPacketType::TimeLimit, 77);
    stream.insert(stream.begin() + 3 * gsmFrameBytes, limit.begin(), limit.end());
    return stream;
}

TEST(ReceiveStream, PacketAmidAudioIsObeyedAndCutsDoNotMatter) {
    const Bytes stream = mixedStream();
    Station whole('c');
    whole.feed(stream, clientSlot);
    EXPECT_EQ(77, whole.settings.live.timeLimit.load());
    ASSERT_EQ(5u, whole.playout.blocks.size()) << "five audio units, the packet not played";
    EXPECT_EQ(std::size_t(gsmBlockSamples), whole.playout.blocks[0].size());

    // One byte at a time, each unit as 10 + 23, and random cuts.
    std::vector<std::vector<int>> patterns = {std::vector<int>(stream.size(), 1), {}};
    for (std::size_t i = 0; i < stream.size() / 33; ++i) {
        patterns[1].insert(patterns[1].end(), {10, 23});
    }
    std::mt19937 random(7);
    for (int n = 0; n < 5; ++n) {
        auto& cuts = patterns.emplace_back();
        for (int left = int(stream.size()); left > 0; left -= cuts.back()) {
            cuts.push_back(std::min(left, 1 + int(random() % 70)));
        }
    }
    for (std::size_t p = 0; p < patterns.size(); ++p) {
        Station split('c');
        std::size_t at = 0;
        for (int part : patterns[p]) {
            split.stream.feedStream(stream.data() + at, part, clientSlot);
            at += std::size_t(part);
        }
        EXPECT_EQ(whole.playout.blocks, split.playout.blocks) << "cut pattern " << p;
        EXPECT_EQ(77, split.settings.live.timeLimit.load()) << "cut pattern " << p;
    }
}

TEST(ReceiveStream, LowSpeedChunkGivesSixBlocksInOrder) {
    const Bytes chunk = audioFrames(6);
    ASSERT_EQ(198u, chunk.size());
    Station client('c');
    client.feed(chunk, clientSlot);
    ASSERT_EQ(6u, client.playout.blocks.size());
    GsmCodecPair reference;
    std::vector<std::int16_t> block(gsmBlockSamples);
    for (std::size_t i = 0; i < 6; ++i) {
        decodeFrames(reference, chunk.data() + i * gsmFrameBytes, block.data(), 1);
        EXPECT_EQ(block, client.playout.blocks[i]) << "block " << i;
    }
}

TEST(ReceiveStream, ServerPlaysSlotZeroOnlyInDialogMode) {
    Bytes stream = audioFrames(3);
    const Bytes settings = packet(StreamPacketType::Settings);
    stream.insert(stream.end(), settings.begin(), settings.end());
    stream.insert(stream.end(), 33, 0x11); // neither packet nor frame

    Station command('s', /*commandMode=*/true);
    command.feed(stream, 0);
    EXPECT_EQ(0u, command.playout.blocks.size()) << "a commanding client is never played";
    EXPECT_EQ(1024, command.settings.live.filterLength.load()) << "its Settings are obeyed";

    Station dialog('s', false, /*dialogMode=*/true);
    dialog.feed(stream, 0);
    EXPECT_EQ(4u, dialog.playout.blocks.size());
    EXPECT_EQ(256, dialog.settings.live.filterLength.load());
}

TEST(ReceiveStream, BrokenPacketPlaysAsSilence) {
    Station client('c');
    Bytes unit = packet(StreamPacketType::TimeExpired);
    unit[32] ^= 0xFF;
    client.feed(unit, clientSlot);
    EXPECT_TRUE(client.context.stops.empty());
    ASSERT_EQ(1u, client.playout.blocks.size());
    EXPECT_EQ(std::vector<std::int16_t>(gsmBlockSamples, 0), client.playout.blocks[0]);
}

TEST(ReceiveStream, EmptyReceivesAndResetKeepUnitsAligned) {
    Station client('c');
    const Bytes frames = audioFrames(1);
    client.stream.feedStream(frames.data(), 0, clientSlot);
    client.stream.feedStream(frames.data(), -5, clientSlot);
    EXPECT_EQ(0, client.stream.pendingBytes());

    // A connection dies 10 bytes into a unit; the next one starts afresh.
    client.stream.feedStream(frames.data(), 10, clientSlot);
    EXPECT_EQ(10, client.stream.pendingBytes());
    client.stream.reset();
    client.feed(packet(StreamPacketType::TimeLimit, 5), clientSlot);
    EXPECT_EQ(5, client.settings.live.timeLimit.load()) << "the packet after reset must be read whole";
    EXPECT_TRUE(client.playout.blocks.empty());
}

} // namespace
} // namespace station
