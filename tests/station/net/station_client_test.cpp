#include "station/net/station_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>

#include "tests/station/net/relay_fixture.h"

namespace station {
namespace {

using namespace testing;

std::string joined(const std::vector<std::string>& texts) {
    std::string s;
    for (const std::string& t : texts) {
        s += "[" + platform::cp1251ToUtf8(t) + "] ";
    }
    return s;
}

// Index of the first entry equal to `text` at or after `from`; -1 if none.
int find(const std::vector<std::string>& texts, std::string_view text, int from = 0) {
    for (int i = std::max(from, 0); i < int(texts.size()); ++i) {
        if (texts[std::size_t(i)] == text)
            return i;
    }
    return -1;
}

// A raw listening socket that plays the server.
struct RawServer {
    Socket listener = createTcpSocket();
    RawPeer peer;
    int accepts = 0;
    RawServer() {
        bindSocket(listener, BindAddress::Loopback, 0);
        listenSocket(listener, 4);
    }
    ~RawServer() { platform::closeSocket(listener); }
    std::uint16_t port() const { return localPort(listener); }
    // Takes a waiting connection, if any, then reads.
    void poll() {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1) {
            const AcceptResult a = acceptConnection(listener);
            if (a.socket != invalidSocket) {
                peer.close();
                peer.s = a.socket;
                peer.received.clear();
                peer.closed = false;
                ++accepts;
            }
        }
        peer.poll();
    }
};

class ClientTest : public RelayFixture {};

TEST_F(ClientTest, ServerDownAlternatesConnectingAndConnectError) {
    StationClient& c = makeClient(unusedPort());
    c.start(window);
    ASSERT_TRUE(pumpUntil(
        [&] {
            const auto h = clientHooks.statusHistory();
            const int first = find(h, connectErrorStatus);
            return first >= 0 && find(h, connectErrorStatus, find(h, connectingStatus, first + 1)) > first;
        },
        4000))
        << joined(clientHooks.statusHistory());
    const auto h = clientHooks.statusHistory();
    EXPECT_EQ(std::string(connectingStatus), h.at(0));
    EXPECT_EQ(std::string(connectErrorStatus), h.at(1));
    EXPECT_EQ(LinkState::Idle, c.linkState());
    EXPECT_FALSE(c.socketOpen());
}

TEST_F(ClientTest, ConnectsSendsHelloAndReconnectsAfterTheServerCloses) {
    RawServer rawServer;
    std::snprintf(clientSettings.config.stationName, sizeof clientSettings.config.stationName, "RX7");
    StationClient& c = makeClient(rawServer.port());
    c.start(window);
    ASSERT_TRUE(pumpUntil([&] { return rawServer.peer.received.size() >= 33; }, 3000, [&] { rawServer.poll(); }));
    EXPECT_EQ(std::vector<int>{1}, unitTypes(rawServer.peer.received)) << "Hello, and only that";
    EXPECT_EQ(0, std::memcmp(rawServer.peer.received.data() + 16, "RX7", 4));
    EXPECT_EQ(LinkState::Connected, c.linkState());
    EXPECT_EQ(std::string(connectedStatusPrefix) + "127.0.0.1", c.statusText());

    // A half unit and then the close: the next connection starts aligned.
    const Bytes half(20, 0xD5);
    ASSERT_TRUE(rawServer.peer.send(half));
    pumpFor(50);
    rawServer.peer.close();
    const auto closed = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return rawServer.accepts == 2; }, 3000, [&] { rawServer.poll(); }))
        << joined(clientHooks.statusHistory());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
    EXPECT_LE(seconds, 2.2) << "reconnect too slow";
    const auto h = clientHooks.statusHistory();
    const int gone = find(h, disconnectedStatus);
    ASSERT_GE(gone, 0) << joined(h);
    EXPECT_GT(find(h, connectingStatus, gone), gone) << joined(h);
    EXPECT_GE(clientHooks.blockPlayedClears, 1);

    // One whole frame on the new connection plays as one block.
    ASSERT_TRUE(pumpUntil([&] { return rawServer.peer.received.size() >= 33; }, 2000, [&] { rawServer.poll(); }));
    const std::vector<std::int16_t> silence(160, 0);
    Bytes frame(33);
    GsmCodecPair encoder;
    encodeBlocks(encoder, silence.data(), frame.data(), 1);
    const int before = clientPlayout.blocks;
    ASSERT_TRUE(rawServer.peer.send(frame));
    ASSERT_TRUE(pumpUntil([&] { return clientPlayout.blocks == before + 1; }, 2000));
}

// Server and client stations in one process, on loopback.
TEST_F(ClientTest, LoginAgainstARealServer) {
    struct Case {
        const char* password;
        bool accepted;
    };
    for (const Case& k : {Case{"pw", true}, Case{"wrong", false}}) {
        SCOPED_TRACE(k.password);
        settings.config.loginRequired = true;
        std::snprintf(settings.config.login, sizeof settings.config.login, "op");
        std::snprintf(settings.config.password, sizeof settings.config.password, "pw");
        makeServer();
        std::snprintf(clientSettings.config.login, sizeof clientSettings.config.login, "op");
        std::snprintf(clientSettings.config.password, sizeof clientSettings.config.password, "%s", k.password);
        StationClient& c = makeClient(server->listeningPort());
        c.start(window);
        clientHooks.stops.clear();
        clientPlayout.blocks = 0;
        if (k.accepted) {
            ASSERT_TRUE(pumpUntil(
                [&] {
                    std::vector<std::int16_t> samples(160, 1000);
                    server->relayRaw(samples.data(), 320);
                    return clientPlayout.blocks > 0;
                },
                3000));
            EXPECT_TRUE(clientHooks.stops.empty());
        } else {
            ASSERT_TRUE(pumpUntil([&] { return !clientHooks.stops.empty(); }, 3000));
            EXPECT_EQ(std::string(loginRejectedMessage), clientHooks.stops.at(0));
            EXPECT_EQ(0, clientPlayout.blocks);
        }
        client->stop();
        server->stopServer();
        client.reset();
        server.reset();
    }
}

TEST_F(ClientTest, TimeLimitCountsDownToFatalStop) {
    StationClient& c = makeClient(unusedPort());
    clientSettings.live.timeLimit = 2;
    c.timeLimitTick();
    EXPECT_EQ(1, clientSettings.live.timeLimit.load());
    EXPECT_TRUE(clientHooks.stops.empty());
    c.timeLimitTick();
    ASSERT_EQ(1u, clientHooks.stops.size());
    EXPECT_EQ(std::string(timeExpiredMessage), clientHooks.stops[0]);
    clientSettings.live.timeLimit = 0;
    c.timeLimitTick();
    EXPECT_EQ(1u, clientHooks.stops.size()) << "no limit, no stop";
}

// A hostile server: a TimeLimit of INT32_MIN is taken as no limit (the
// countdown never wraps), and 1200 TimeExpired in one write stop the client
// once; the rest of that read is dropped.
TEST_F(ClientTest, HostileTimeLimitAndAStopFloodStopOnce) {
    const Socket listener = createTcpSocket();
    ASSERT_TRUE(bindSocket(listener, BindAddress::Loopback, 0));
    ASSERT_TRUE(listenSocket(listener, 1));
    StationClient& c = makeClient(localPort(listener));
    clientSettings.live.timeLimit = 5;
    c.start(window);
    AcceptResult accepted;
    ASSERT_TRUE(pumpUntil([&] { return c.linkState() == LinkState::Connected; }, 3000));
    accepted = acceptConnection(listener);
    ASSERT_NE(invalidSocket, accepted.socket);

    StationSettings hostile;
    hostile.live.timeLimit = std::numeric_limits<std::int32_t>::min();
    const Bytes limit = packetOf(StreamPacketType::TimeLimit, hostile);
    ASSERT_EQ(std::ptrdiff_t(limit.size()), sendBytes(accepted.socket, limit.data(), limit.size()).bytes);
    ASSERT_TRUE(pumpUntil([&] { return clientSettings.live.timeLimit.load() == 0; }, 3000));
    for (int i = 0; i < 3; ++i) {
        c.timeLimitTick();
    }
    EXPECT_EQ(0, clientSettings.live.timeLimit.load());
    EXPECT_TRUE(clientHooks.stops.empty());

    Bytes flood;
    const Bytes expired = packetOf(StreamPacketType::TimeExpired, hostile);
    for (int i = 0; i < 1200; ++i) {
        flood.insert(flood.end(), expired.begin(), expired.end());
    }
    ASSERT_EQ(std::ptrdiff_t(flood.size()), sendBytes(accepted.socket, flood.data(), flood.size()).bytes);
    ASSERT_TRUE(pumpUntil([&] { return !clientHooks.stops.empty(); }, 3000));
    pumpFor(200);
    EXPECT_EQ(1u, clientHooks.stops.size());
    client->stop();
    platform::closeSocket(accepted.socket);
    platform::closeSocket(listener);
}

TEST_F(ClientTest, StopEndsAConnectAttemptQuickly) {
    // 10.255.255.1 normally drops the SYN, so the connect would wait for its
    // whole time-out; where it is refused at once the bound still holds.
    std::snprintf(clientSettings.config.serverAddress, sizeof clientSettings.config.serverAddress, "10.255.255.1");
    StationClient& c = makeClient(9, ClientOptions{.connectTimeoutMs = 20000, .retryPauseMs = 1000});
    c.start(window);
    pumpFor(300);
    const auto begin = std::chrono::steady_clock::now();
    c.stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_LT(seconds, 1.0);
}

} // namespace
} // namespace station
