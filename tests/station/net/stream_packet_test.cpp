#include "station/net/stream_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "tests/station/net/net_fakes.h"

namespace station {
namespace {

using namespace testing;

void setText(char (&field)[16], const std::string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}
Bytes slice(const Bytes& b, std::size_t from, std::size_t to) { return {b.begin() + long(from), b.begin() + long(to)}; }
Bytes text(const std::string& s) { return {s.begin(), s.end()}; }

TEST(StreamPacketBuild, FieldsAndOverlaysSitAtTheirOffsets) {
    StationSettings s;
    s.live.filterLength = 32;
    const Bytes hello = {0x54, 0x41, 0x53, 0x4D, 0x49, 0x52, 0x01, 0x00, 0xCD, 0xCC, 0xCC,
                         0x3D, 0xAE, 0x47, 0xE1, 0x3D, 0x55, 0x53, 0x45, 0x52, 0,    0,
                         0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0xC5};
    EXPECT_EQ(hello, packetBytes(StreamPacketType::Hello, s));

    s.live.timeLimit = 600;
    const Bytes timeLimit = packetBytes(StreamPacketType::TimeLimit, s);
    EXPECT_EQ((Bytes{0x58, 0x02, 0, 0}), slice(timeLimit, 12, 16));
    EXPECT_EQ(slice(hello, 8, 12), slice(timeLimit, 8, 12)) << "lower edge stays";
    EXPECT_EQ(streamChecksum(timeLimit.data()), timeLimit[32]);

    // 16 characters (no terminator in the record) travel as the first 15.
    std::memset(s.config.stationName, 'Z', sizeof s.config.stationName);
    const Bytes longName = packetBytes(StreamPacketType::Hello, s);
    EXPECT_EQ(text(std::string(15, 'Z')), slice(longName, 16, 31));
    EXPECT_EQ(0, longName[31]);

    setText(s.config.stationName, "RZ3ABC");
    setText(s.config.login, "pw");
    setText(s.config.password, "abcdefghijklmno");
    const Bytes login = packetBytes(StreamPacketType::Login, s);
    EXPECT_EQ(text(std::string("pw") + std::string(10, '\0')), slice(login, 7, 19));
    EXPECT_EQ('A', login[19]) << "byte 19 keeps the name's fourth byte";
    EXPECT_EQ(text("abcdefghijkl"), slice(login, 20, 32));
    unsigned sum = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        sum += login[i];
    }
    EXPECT_EQ(sum % 256, login[32]) << "checksum covers bytes 0 … 31, the password's last byte too";
}

TEST(StreamPacketHandle, UnitsThatAreNotControlPacketsAreRefusedUntouched) {
    Station server('s', true);
    StationSettings sender;
    Bytes badChecksum = packetBytes(StreamPacketType::Settings, sender);
    badChecksum[32] ^= 1;
    Bytes badMagic = packetBytes(StreamPacketType::Settings, sender);
    badMagic[5] = 'r';
    badMagic[32] = streamChecksum(badMagic.data());
    EXPECT_FALSE(handleStreamPacket(badChecksum.data(), 0, server.context));
    EXPECT_FALSE(handleStreamPacket(badMagic.data(), 0, server.context));
    // A GSM frame starts with 0xD?: never the magic, whatever follows.
    Bytes frame(33, 0);
    for (int first = 0xD0; first <= 0xDF; ++first) {
        frame[0] = std::uint8_t(first);
        frame[32] = streamChecksum(frame.data());
        EXPECT_FALSE(handleStreamPacket(frame.data(), 0, server.context)) << "first byte " << first;
    }
    EXPECT_EQ(0u, server.context.actions());
    EXPECT_EQ(256, server.settings.live.filterLength.load());
}

TEST(StreamPacketHandle, CommandServerTakesSettingsAndDistrustsTheEdges) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case {
        int code;
        float low, high;
        int taps; // 0: packet ignored
        float wantLow, wantHigh;
    } cases[] = {
        {0, 0.2f, 0.25f, 32, 0.2f, 0.25f},
        {1, 0.2f, 0.25f, 64, 0.2f, 0.25f},
        {5, 0.2f, 0.25f, 1024, 0.2f, 0.25f},
        {6, 0.2f, 0.25f, 32, 0.2f, 0.25f},
        {255, 0.2f, 0.25f, 32, 0.2f, 0.25f},
        {3, -0.1f, 0.7f, 256, 0.0f, 0.5f},
        {3, 0.3f, 0.2f, 256, 0.2f, 0.3f},
        {3, nan, 0.2f, 0, 0, 0},
        {3, 0.1f, inf, 0, 0, 0},
        {3, -inf, 0.2f, 0, 0, 0},
    };
    for (const auto& c : cases) {
        Station server('s', true);
        server.settings.live.filterLength = 512;
        StationSettings sender;
        sender.live.bandLow = c.low;
        sender.live.bandHigh = c.high;
        setText(sender.config.stationName, "OPERATOR");
        Bytes unit = packetBytes(StreamPacketType::Settings, sender);
        unit[7] = std::uint8_t(c.code);
        unit[32] = streamChecksum(unit.data());
        ASSERT_TRUE(handleStreamPacket(unit.data(), 0, server.context)) << "a valid packet is never audio";

        const auto& got = server.settings;
        const std::string what =
            "code " + std::to_string(c.code) + " edges " + std::to_string(c.low) + ", " + std::to_string(c.high);
        if (c.taps == 0) {
            EXPECT_EQ(512, got.live.filterLength.load()) << what;
            EXPECT_EQ(0.1f, got.live.bandLow.load()) << what;
            EXPECT_EQ(0u, server.context.actions()) << what;
            continue;
        }
        EXPECT_EQ(c.taps, got.live.filterLength.load()) << what;
        EXPECT_FLOAT_EQ(c.wantLow, got.live.bandLow.load()) << what;
        EXPECT_FLOAT_EQ(c.wantHigh, got.live.bandHigh.load()) << what;
        EXPECT_EQ(std::vector<std::string>{"0:OPERATOR"}, server.context.names) << what;
        EXPECT_EQ(1, server.context.redesigns) << what;
    }
}

// Whether a receiver acts at all; what each action does is checked elsewhere.
TEST(StreamPacketHandle, EachTypeActsOnlyAtItsOwnRoleAndSlot) {
    struct Case {
        int type;
        char role;
        bool commandMode;
        int slot;
        bool acts;
    } cases[] = {
        {0, 's', true, 0, true},    {0, 's', false, 0, false},    {0, 'c', true, -1, false},
        {1, 's', false, 19, true},  {1, 's', false, 20, false},   {1, 's', false, -1, false},
        {1, 'c', false, -1, false}, {2, 's', false, 0, false},    {2, 'c', false, -1, true},
        {3, 's', false, 0, false},  {3, 'c', false, -1, true},    {4, 's', false, 0, false},
        {4, 'c', false, -1, true},  {5, 's', false, 3, true},     {5, 's', false, 20, false},
        {5, 'c', false, -1, false}, {6, 's', false, 0, false},    {6, 'c', false, -1, true},
        {7, 's', true, 0, false},   {255, 'c', false, -1, false}, {1, '-', false, 0, false},
        {4, '-', false, -1, false},
    };
    for (const auto& c : cases) {
        Station receiver(c.role, c.commandMode);
        setText(receiver.settings.config.login, "secret"); // every Login of the sender is wrong
        StationSettings sender;
        sender.live.timeLimit = 42;
        sender.live.filterLength = 64;
        const Bytes unit = packetBytes(static_cast<StreamPacketType>(c.type), sender);
        EXPECT_TRUE(handleStreamPacket(unit.data(), c.slot, receiver.context)) << "type " << c.type;
        const auto& got = receiver.settings;
        const bool acted =
            receiver.context.actions() > 0 || got.live.timeLimit.load() != 0 || got.live.filterLength.load() != 256;
        EXPECT_EQ(c.acts, acted) << "type " << c.type << " role " << c.role << " slot " << c.slot;
    }
}

TEST(StreamPacketHandle, ServerChecksLoginThenPasswordExactly) {
    struct Case {
        const char *serverLogin, *serverPassword, *clientLogin, *clientPassword;
        bool rejected;
    } cases[] = {
        {"ivan", "qwerty", "ivan", "qwerty", false},
        {"ivan", "qwerty", "Ivan", "qwerty", true},
        {"ivan", "qwerty", "ivan", "qwertY", true},
        {"ivan", "qwerty", "iva", "qwerty", true},
        {"ivan", "qwerty", "ivanov", "qwerty", true},
        {"", "", "", "", false},
        {"", "pass", "", "pass", false},
        {"abcdefghijk", "x", "abcdefghijk", "x", false},
        {"abcdefghijk", "x", "abcdefghijkl", "x", true},
        {"a", "abcdefghijk", "a", "abcdefghijklmno", true},
        {"abcdefghijkl", "x", "abcdefghijkl", "x", true}, // even against a 12-character own login
    };
    for (const auto& c : cases) {
        Station server('s');
        setText(server.settings.config.login, c.serverLogin);
        setText(server.settings.config.password, c.serverPassword);
        StationSettings client;
        setText(client.config.login, c.clientLogin);
        setText(client.config.password, c.clientPassword);
        ASSERT_TRUE(handleStreamPacket(packetBytes(StreamPacketType::Login, client).data(), 7, server.context));
        const std::string what = std::string("login ") + c.clientLogin + " password " + c.clientPassword;
        if (!c.rejected) {
            EXPECT_TRUE(server.context.sent.empty()) << what << ": expected accepted, got rejected";
            continue;
        }
        ASSERT_EQ(1u, server.context.sent.size()) << what << ": expected rejected, got accepted";
        EXPECT_EQ(std::vector<int>{7}, server.context.sentTo);
        EXPECT_EQ(packetBytes(StreamPacketType::LoginRejected, server.settings), server.context.sent[0]);
    }
}

TEST(StreamPacketHandle, ClientObeysTheServersControlPackets) {
    Station client('c');
    setText(client.settings.config.login, "ivan");
    StationSettings server;
    server.live.timeLimit = 10;
    for (auto type : {StreamPacketType::TimeLimit, StreamPacketType::LoginRequest, StreamPacketType::TimeExpired,
                      StreamPacketType::LoginRejected}) {
        ASSERT_TRUE(handleStreamPacket(packetBytes(type, server).data(), clientSlot, client.context));
    }
    EXPECT_EQ(10, client.settings.live.timeLimit.load());
    EXPECT_EQ(std::vector<Bytes>{packetBytes(StreamPacketType::Login, client.settings)}, client.context.sent);
    EXPECT_EQ(std::vector<int>{clientSlot}, client.context.sentTo);
    using namespace platform::literals;
    EXPECT_EQ((std::vector<std::string>{std::string("Время подключения истекло"_cp1251),
                                        std::string("Неверные логин и пароль"_cp1251)}),
              client.context.stops);
}

} // namespace
} // namespace station
