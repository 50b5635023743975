#include "station/net/connection_buffers.h"

#include <gtest/gtest.h>

#include <vector>

#include "station/net/station_server.h"

namespace station {
namespace {

using Kind = OutgoingQueue::Kind;
using Result = OutgoingQueue::Result;

// A socket stand-in that takes at most `room` bytes, then would block.
struct FakeSocket {
    std::vector<std::uint8_t> wire;
    std::size_t room = 0;
    bool failing = false;
    std::ptrdiff_t operator()(const std::uint8_t* bytes, std::size_t count) {
        if (failing)
            return -1;
        const std::size_t n = std::min(count, room);
        wire.insert(wire.end(), bytes, bytes + n);
        room -= n;
        return static_cast<std::ptrdiff_t>(n);
    }
};

std::vector<std::uint8_t> unitsOf(std::uint8_t tag, std::size_t units) {
    return std::vector<std::uint8_t>(units * streamUnitBytes, tag);
}

TEST(OutgoingQueue, PartialSendIsFinishedBeforeAnythingElse) {
    OutgoingQueue q;
    FakeSocket socket;
    socket.room = 50;
    const auto audio = unitsOf(0xD1, 2); // 66 bytes, 50 go out
    EXPECT_EQ(Result::Queued, q.push(audio.data(), audio.size(), Kind::Audio, socket));
    EXPECT_EQ(16u, q.pending());
    const auto packet = unitsOf(0x54, 1);
    EXPECT_EQ(Result::Queued, q.push(packet.data(), packet.size(), Kind::Control, socket));
    socket.room = 1000;
    EXPECT_TRUE(q.flush(socket));
    std::vector<std::uint8_t> expected = audio;
    expected.insert(expected.end(), packet.begin(), packet.end());
    EXPECT_EQ(expected, socket.wire) << "order broken or bytes lost";
}

TEST(OutgoingQueue, AudioIsDroppedWholeWhileMoreThanOneChunkWaitsButControlNeverIs) {
    OutgoingQueue q;
    FakeSocket socket; // takes nothing
    const auto chunk = unitsOf(0xD2, 6);
    EXPECT_EQ(Result::Queued, q.push(chunk.data(), chunk.size(), Kind::Audio, socket));
    EXPECT_EQ(Result::Queued, q.push(chunk.data(), chunk.size(), Kind::Audio, socket)) << "one chunk waits: queue";
    EXPECT_EQ(Result::Dropped, q.push(chunk.data(), chunk.size(), Kind::Audio, socket)) << "two chunks wait: drop";
    EXPECT_EQ(2 * chunk.size(), q.pending());
    const auto packet = unitsOf(0x54, 1);
    EXPECT_EQ(Result::Queued, q.push(packet.data(), packet.size(), Kind::Control, socket));
    EXPECT_EQ(2 * chunk.size() + 33, q.pending());
    EXPECT_EQ(0u, q.pending() % streamUnitBytes);
}

TEST(OutgoingQueue, ControlOverflowAndHardErrorsBreakTheConnection) {
    OutgoingQueue q;
    FakeSocket socket;
    const auto packet = unitsOf(0x54, 1);
    std::size_t queued = 0;
    Result r = Result::Queued;
    while ((r = q.push(packet.data(), packet.size(), Kind::Control, socket)) == Result::Queued) {
        ++queued;
        ASSERT_LE(queued * 33, OutgoingQueue::capacity) << "memory not bounded";
    }
    EXPECT_EQ(Result::Overflow, r);
    EXPECT_EQ(OutgoingQueue::capacity / 33, queued);
    EXPECT_TRUE(q.broken());
    EXPECT_EQ(Result::Failed, q.push(packet.data(), packet.size(), Kind::Control, socket));

    q.reset();
    socket.room = 10;
    socket.failing = true;
    EXPECT_EQ(Result::Failed, q.push(packet.data(), packet.size(), Kind::Control, socket));
    EXPECT_EQ(0u, q.pending());
    socket.failing = false;
    EXPECT_EQ(Result::Failed, q.push(packet.data(), packet.size(), Kind::Control, socket)) << "broken until reset";
    q.reset();
    EXPECT_EQ(Result::Sent, (socket.room = 100, q.push(packet.data(), packet.size(), Kind::Control, socket)));
}

TEST(UnitAssembler, JoinsSplitUnitsAndStopsWhenAsked) {
    UnitAssembler a;
    std::vector<std::uint8_t> stream(99);
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = std::uint8_t(i);
    std::vector<std::uint8_t> firsts;
    const auto onUnit = [&](const std::uint8_t* u) {
        firsts.push_back(u[0]);
        return true;
    };
    a.feed(stream.data(), 10, onUnit);
    a.feed(stream.data() + 10, 60, onUnit);
    a.feed(stream.data() + 70, 29, onUnit);
    EXPECT_EQ((std::vector<std::uint8_t>{0, 33, 66}), firsts);
    firsts.clear();
    a.feed(stream.data(), 99, [&](const std::uint8_t* u) {
        firsts.push_back(u[0]);
        return false;
    });
    EXPECT_EQ(std::vector<std::uint8_t>{0}, firsts) << "bytes after a refused unit were still cut";
}

TEST(ConnectionLog, StampIsAsctimeWithoutLineEnd) {
    // (sec, min, hour, day, month 0 … 11, years since 1900, weekday 0 = Sunday)
    const auto at = [](int sec, int min, int hour, int day, int month, int year, int weekday) {
        std::tm t{};
        t.tm_sec = sec;
        t.tm_min = min;
        t.tm_hour = hour;
        t.tm_mday = day;
        t.tm_mon = month;
        t.tm_year = year;
        t.tm_wday = weekday;
        return t;
    };
    struct Case {
        std::tm time;
        const char* expected;
    };
    const Case cases[] = {
        {at(46, 27, 11, 7, 11, 126, 1), "Mon Dec  7 11:27:46 2026"},
        {at(0, 5, 0, 31, 0, 100, 1), "Mon Jan 31 00:05:00 2000"},
        {at(9, 59, 23, 1, 5, 9, 6), "Sat Jun  1 23:59:09 1909"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, connectionLogStamp(c.time));
        EXPECT_EQ(24u, connectionLogStamp(c.time).size());
    }
    EXPECT_EQ("a?b?\xC0", printableText("a\x01"
                                        "b\x1F\xC0",
                                        16))
        << "control bytes become '?', Cyrillic stays";
    EXPECT_EQ("abc", printableText("abcdef", 3));
}

} // namespace
} // namespace station
