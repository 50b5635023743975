#include "station/net/station_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

#include "tests/station/net/relay_fixture.h"

namespace station {
namespace {

using namespace testing;

// `blocks` blocks of a 600 Hz tone.
std::vector<std::int16_t> tone(int blocks) {
    std::vector<std::int16_t> samples(std::size_t(blocks) * gsmBlockSamples);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = std::int16_t(8000 * std::sin(2 * std::numbers::pi * 600 * double(i) / 8000));
    }
    return samples;
}

// Every 33-byte unit of `bytes` is a GSM frame or a control packet, and no
// unit is cut off at the end. Returns the number of GSM frames.
int checkAligned(const Bytes& bytes, const char* who) {
    EXPECT_EQ(0u, bytes.size() % streamUnitBytes)
        << who << ": " << bytes.size() << " bytes is no whole number of units";
    int frames = 0;
    for (std::size_t i = 0; i + streamUnitBytes <= bytes.size(); i += streamUnitBytes) {
        std::uint8_t type = 0;
        const bool frame = (bytes[i] & 0xF0) == 0xD0;
        if (!frame && !isControlPacket(bytes.data() + i, type)) {
            ADD_FAILURE() << who << ": unit at byte " << i << " is neither a frame nor a packet (first byte "
                          << int(bytes[i]) << ")";
            return frames;
        }
        frames += frame ? 1 : 0;
    }
    return frames;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// "Www Mmm dd hh:mm:ss yyyy" with English names.
bool looksLikeStamp(const std::string& s) {
    const std::string days = "SunMonTueWedThuFriSat", months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const auto digit = [&](std::size_t i) { return s[i] >= '0' && s[i] <= '9'; };
    if (s.size() != 24) {
        return false;
    }
    const std::size_t day = days.find(s.substr(0, 3)), month = months.find(s.substr(4, 3));
    if (day == std::string::npos || day % 3 != 0 || month == std::string::npos || month % 3 != 0) {
        return false;
    }
    for (std::size_t i : {3u, 7u, 10u, 19u}) {
        if (s[i] != ' ')
            return false;
    }
    for (std::size_t i : {9u, 11u, 12u, 14u, 15u, 17u, 18u, 20u, 21u, 22u, 23u}) {
        if (!digit(i))
            return false;
    }
    return (s[8] == ' ' || digit(8)) && s[13] == ':' && s[16] == ':';
}

class ServerTest : public RelayFixture {
  protected:
    StationSettings peerSettings; // what the raw listeners put in their packets

    Bytes hello(const char* name) {
        std::snprintf(peerSettings.config.stationName, sizeof peerSettings.config.stationName, "%s", name);
        return packetOf(StreamPacketType::Hello, peerSettings);
    }
    Bytes login(const char* user, const char* password) {
        std::snprintf(peerSettings.config.login, sizeof peerSettings.config.login, "%s", user);
        std::snprintf(peerSettings.config.password, sizeof peerSettings.config.password, "%s", password);
        return packetOf(StreamPacketType::Login, peerSettings);
    }
    void relay(int blocks = 1) {
        const auto samples = tone(blocks);
        server->relayRaw(samples.data(), blocks * 320);
    }
    void setLogin() {
        settings.config.loginRequired = true;
        std::snprintf(settings.config.login, sizeof settings.config.login, "op");
        std::snprintf(settings.config.password, sizeof settings.config.password, "pw");
    }
};

TEST_F(ServerTest, LoginGatesAudioAndAWrongOneIsRejectedThenClosed) {
    setLogin();
    makeServer();
    RawPeer good, bad;
    ASSERT_TRUE(connectPeer(good));
    ASSERT_TRUE(connectPeer(bad));
    ASSERT_TRUE(pumpUntil([&] { return good.received.size() >= 33 && bad.received.size() >= 33; }, 2000,
                          [&] {
                              good.poll();
                              bad.poll();
                          }));
    EXPECT_EQ(std::vector<int>{4}, unitTypes(good.received)) << "LoginRequest first, nothing else";

    // Before any Login no audio goes out.
    relay();
    pumpFor(100, [&] {
        good.poll();
        bad.poll();
    });
    EXPECT_EQ(33u, good.received.size()) << "audio reached a listener that has not logged in";

    // Hello and Login in one write: both are acted on.
    Bytes both = hello("ALPHA");
    const Bytes right = login("op", "pw");
    both.insert(both.end(), right.begin(), right.end());
    ASSERT_TRUE(good.send(both));
    ASSERT_TRUE(pumpUntil([&] { return server->connectionListText().find("ALPHA") != std::string::npos; }, 2000));
    relay();
    ASSERT_TRUE(pumpUntil([&] { return good.received.size() >= 66; }, 2000, [&] { good.poll(); }));
    EXPECT_EQ(1, checkAligned(good.received, "good")) << "the logged-in listener gets the frame";

    // A wrong password: LoginRejected, then the end of the stream.
    ASSERT_TRUE(bad.send(login("op", "PW")));
    ASSERT_TRUE(pumpUntil([&] { return bad.closed; }, 3000, [&] { bad.poll(); }))
        << "the server did not shut the rejected connection";
    EXPECT_EQ((std::vector<int>{4, 6}), unitTypes(bad.received)) << "LoginRequest, LoginRejected, and no audio";
    EXPECT_EQ(0u, bad.received.size() % 33);

    // Once the rejected listener closes, its slot is free again.
    bad.close();
    ASSERT_TRUE(pumpUntil([&] { return server->occupiedCount() == 1; }, 2000));
    EXPECT_TRUE(hooks.stops.empty());
}

// Before its Login matches, a listener's Settings and audio are dropped
// unread in the modes that take slot 0's stream; afterwards both act.
TEST_F(ServerTest, NothingButHelloAndLoginActsBeforeTheLogin) {
    struct Case {
        const char* mode;
        bool command;
    };
    for (const Case c : {Case{"COMMAND", true}, Case{"DIALOG", false}}) {
        SCOPED_TRACE(c.mode);
        settings.config.commandMode = c.command;
        settings.config.dialogMode = !c.command;
        setLogin();
        makeServer();
        hooks.redesigns = 0;
        playout.blocks = 0;
        const float lowBefore = settings.live.bandLow.load();
        RawPeer peer;
        ASSERT_TRUE(connectPeer(peer));

        // A frame of silence as a dialog client would send it.
        std::vector<std::int16_t> silence(gsmBlockSamples);
        Bytes frame(streamUnitBytes);
        encodeBlocks(codec, silence.data(), frame.data(), 1);
        peerSettings.live.bandLow.store(0.2f);
        peerSettings.live.bandHigh.store(0.3f);
        peerSettings.live.filterLength.store(256);
        Bytes early = hello("EARLY");
        for (const Bytes& unit : {packetOf(StreamPacketType::Settings, peerSettings), frame}) {
            early.insert(early.end(), unit.begin(), unit.end());
        }
        ASSERT_TRUE(peer.send(early));
        ASSERT_TRUE(pumpUntil([&] { return server->connectionListText().find("EARLY") != std::string::npos; }, 2000))
            << "the Hello before the login was not taken";
        pumpFor(100);
        EXPECT_EQ(0, hooks.redesigns) << "Settings acted on before the login";
        EXPECT_EQ(lowBefore, settings.live.bandLow.load());
        EXPECT_EQ(0, playout.blocks) << "audio played before the login";

        Bytes late = login("op", "pw");
        for (const Bytes& unit : {packetOf(StreamPacketType::Settings, peerSettings), frame}) {
            late.insert(late.end(), unit.begin(), unit.end());
        }
        ASSERT_TRUE(peer.send(late));
        if (c.command) {
            ASSERT_TRUE(pumpUntil([&] { return hooks.redesigns == 1; }, 2000));
            EXPECT_EQ(0.2f, settings.live.bandLow.load());
        } else {
            ASSERT_TRUE(pumpUntil([&] { return playout.blocks == 1; }, 2000));
        }
        server->stopServer();
        server.reset();
    }
}

TEST_F(ServerTest, ListenerWithoutMatchingLoginIsClosedAtTheDeadline) {
    setLogin();
    makeServer(ServerOptions{.logPath = "servconnect.txt", .loginDeadlineMs = 600});
    startTicks(100);
    RawPeer silent;
    ASSERT_TRUE(connectPeer(silent));
    const auto accepted = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return silent.closed; }, 3000, [&] { silent.poll(); }));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - accepted).count();
    EXPECT_GE(ms, 550) << "closed before the deadline";
    EXPECT_LE(ms, 1500);
    EXPECT_EQ(0, server->occupiedCount());
}

TEST_F(ServerTest, TimeLimitIsAnnouncedThenExpiresWithAClose) {
    settings.live.timeLimit = 2;
    makeServer();
    startTicks(1000);
    RawPeer peer;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(connectPeer(peer));
    const int ticksAtAccept = ticks;
    ASSERT_TRUE(pumpUntil([&] { return peer.closed; }, 6000, [&] { peer.poll(); }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ((std::vector<int>{2, 3}), unitTypes(peer.received)) << "TimeLimit, then TimeExpired";
    StreamPacket limit{};
    std::memcpy(&limit, peer.received.data(), sizeof limit);
    EXPECT_EQ(2, streamPacketTimeLimit(limit));
    // Closed by the third tick after the accept (2 s and the tick in which
    // the count passed 2): between 2 and 3 s, timer delays aside.
    EXPECT_EQ(3, ticks - ticksAtAccept);
    EXPECT_GE(seconds, 1.95);
    EXPECT_EQ(0, server->occupiedCount());
}

TEST_F(ServerTest, TwentyListenersGetAlignedAudioAndTheTwentyFirstIsRefused) {
    settings.config.maxConnections = 20;
    makeServer();
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < 20; ++i) {
        peers.push_back(std::make_unique<RawPeer>());
        ASSERT_TRUE(connectPeer(*peers.back())) << "listener " << i;
    }
    RawPeer extra;
    ASSERT_TRUE(extra.connect(server->listeningPort()));
    ASSERT_TRUE(pumpUntil([&] { return extra.closed; }, 2000, [&] { extra.poll(); })) << "21st not closed";
    EXPECT_TRUE(extra.received.empty());
    EXPECT_EQ(20, server->occupiedCount());

    // The processing thread's sends, concurrent with the window thread.
    constexpr int chunks = 25;
    std::thread processing([&] {
        const auto samples = tone(1);
        for (int i = 0; i < chunks; ++i) {
            server->relayRaw(samples.data(), 320);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const auto allIn = [&] {
        for (auto& p : peers) {
            if (p->received.size() < chunks * 33u)
                return false;
        }
        return true;
    };
    const bool done = pumpUntil(allIn, 5000, [&] {
        for (auto& p : peers)
            p->poll();
    });
    processing.join();
    ASSERT_TRUE(done);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        EXPECT_EQ(chunks, checkAligned(peers[i]->received, ("listener " + std::to_string(i)).c_str()));
    }
}

TEST_F(ServerTest, StalledListenerResumesOnUnitBoundariesWhileOthersKeepReceiving) {
    settings.config.blocksPerPacket = 6;
    makeServer();
    RawPeer reader, stalled;
    ASSERT_TRUE(connectPeer(reader));
    ASSERT_TRUE(connectPeer(stalled, 2048));

    // The processing thread sends as fast as it can until the stalled
    // connection has made the server drop audio (bounded in time).
    std::atomic<bool> stop{false};
    std::atomic<int> sentChunks{0};
    std::thread processing([&] {
        const auto samples = tone(6);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (!stop && server->droppedChunks() < 20 && std::chrono::steady_clock::now() < until) {
            server->relayRaw(samples.data(), 6 * 320);
            ++sentChunks;
        }
        stop = true;
    });
    pumpUntil([&] { return stop.load(); }, 10000, [&] { reader.poll(); });
    processing.join();
    ASSERT_GE(server->droppedChunks(), 20u) << "the stall never filled the connection; the test proved nothing";
    pumpFor(100, [&] { reader.poll(); });
    const int readerFrames = checkAligned(reader.received, "reader");
    EXPECT_GE(readerFrames, (sentChunks - 20) * 6 * 9 / 10)
        << "the reading listener lost audio; sent " << sentChunks * 6;

    // Now it reads again. What the socket did not take waits at the server
    // and goes out with the next send, ahead of the new audio; the stream
    // then holds whole units only.
    pumpFor(300, [&] { stalled.poll(); });
    const std::size_t before = stalled.received.size();
    relay(6);
    ASSERT_TRUE(pumpUntil([&] { return stalled.received.size() >= before + 198; }, 2000, [&] { stalled.poll(); }));
    pumpFor(50, [&] { stalled.poll(); });
    const int stalledFrames = checkAligned(stalled.received, "stalled");
    EXPECT_LT(stalledFrames, readerFrames);
    EXPECT_EQ(0u, stalled.received.size() % 198) << "a chunk was cut: " << stalled.received.size() << " bytes";
}

TEST_F(ServerTest, FreedSlotIsReusedLowestFirstAndKeepsTheOldName) {
    settings.config.maxConnections = 3;
    makeServer();
    RawPeer a, b, c, d;
    ASSERT_TRUE(connectPeer(a));
    ASSERT_TRUE(connectPeer(b));
    ASSERT_TRUE(connectPeer(c));
    ASSERT_TRUE(a.send(hello("A1")));
    ASSERT_TRUE(b.send(hello("B2")));
    ASSERT_TRUE(c.send(hello("C3")));
    ASSERT_TRUE(pumpUntil([&] { return server->connectionListText().find("C3") != std::string::npos; }, 2000));
    b.close();
    ASSERT_TRUE(pumpUntil([&] { return server->occupiedCount() == 2; }, 2000));
    ASSERT_TRUE(connectPeer(d));
    EXPECT_EQ("127.0.0.1     A1\n127.0.0.1     B2\n127.0.0.1     C3\n", server->connectionListText())
        << "the new listener takes slot 1 and shows its old name until its Hello";
    ASSERT_TRUE(d.send(hello("D4")));
    ASSERT_TRUE(pumpUntil([&] { return server->connectionListText().find("D4") != std::string::npos; }, 2000));
    EXPECT_EQ("127.0.0.1     A1\n127.0.0.1     D4\n127.0.0.1     C3\n", server->connectionListText());
    server->showConnectionList();
    ASSERT_EQ(1u, hooks.boxes.size());
    EXPECT_EQ(std::string(connectionListCaption) + "|" + server->connectionListText(), hooks.boxes[0]);
}

TEST_F(ServerTest, ConnectionLogLinesAndWindowTexts) {
    std::remove(logPath.c_str());
    makeServer();
    RawPeer peer;
    ASSERT_TRUE(connectPeer(peer));
    ASSERT_TRUE(peer.send(hello("AB\x01Z")));
    ASSERT_TRUE(pumpUntil([&] { return server->connectionListText().find("AB?Z") != std::string::npos; }, 2000))
        << "control byte not shown as '?' in the list: " << server->connectionListText();
    // A repeated Hello renames the slot but writes no second line.
    ASSERT_TRUE(peer.send(hello("AGAIN")));
    ASSERT_TRUE(pumpUntil([&] { return server->connectionListText().find("AGAIN") != std::string::npos; }, 2000));
    peer.close();
    ASSERT_TRUE(pumpUntil([&] { return server->occupiedCount() == 0; }, 2000));

    const std::string log = readFile(logPath);
    const std::string expected[] = {
        std::string("  ") + std::string("Соединение с           "_cp1251) + "127.0.0.1\n",
        std::string("  ") + std::string("Имя                    "_cp1251) + "AB?Z\n",
        std::string("  ") + std::string("Разорвано соединение с "_cp1251) + "127.0.0.1\n",
    };
    std::istringstream lines(log);
    std::string line;
    for (const std::string& tail : expected) {
        ASSERT_TRUE(std::getline(lines, line)) << "log ends early:\n" << log;
        line += '\n';
        ASSERT_GE(line.size(), 24u);
        EXPECT_TRUE(looksLikeStamp(line.substr(0, 24))) << "stamp: " << line.substr(0, 24);
        EXPECT_EQ(tail, line.substr(24));
    }
    EXPECT_FALSE(std::getline(lines, line)) << "extra line: " << line;
    EXPECT_EQ((std::vector<std::string>{std::string("Контакт 127.0.0.1"_cp1251),
                                        std::string("Разорвано соединение с 127.0.0.1"_cp1251)}),
              hooks.statusLines);
    std::remove(logPath.c_str());
}

// A full connection log is moved aside whole and a new one begins, so the
// newest lines are always in the log and two logs' worth at most stays.
TEST_F(ServerTest, FullConnectionLogIsMovedAside) {
    const std::string aside = logPath + ".1";
    std::remove(logPath.c_str());
    std::remove(aside.c_str());
    makeServer(ServerOptions{.logPath = "servconnect.txt", .logCapBytes = 300});
    for (int i = 0; i < 4; ++i) {
        RawPeer peer;
        ASSERT_TRUE(connectPeer(peer));
        peer.close();
        ASSERT_TRUE(pumpUntil([&] { return server->occupiedCount() == 0; }, 2000));
    }
    const std::string log = readFile(logPath), old = readFile(aside);
    EXPECT_LE(log.size(), 300u);
    EXPECT_LE(old.size(), 300u);
    EXPECT_GT(old.size(), 0u) << "nothing was moved aside";
    const std::string closeLine = std::string("Разорвано соединение с 127.0.0.1\n"_cp1251);
    EXPECT_EQ(closeLine, log.substr(log.size() - closeLine.size())) << "the newest line is not in the log";
    std::remove(logPath.c_str());
    std::remove(aside.c_str());
}

TEST_F(ServerTest, RestartedServerListensOnTheSamePortAtOnce) {
    makeServer();
    RawPeer peer;
    ASSERT_TRUE(connectPeer(peer));
    const std::uint16_t port = server->listeningPort();
    server->stopServer(); // the server closes first: its side goes to TIME_WAIT
    ASSERT_TRUE(pumpUntil([&] { return peer.closed; }, 2000, [&] { peer.poll(); }));
    settings.config.serverPort = port;
    StationServer again(settings, *notifiers, codec, playout, hooks, ServerOptions{.logPath = logPath});
    EXPECT_TRUE(again.startListening(window));
    EXPECT_EQ(port, again.listeningPort());
    again.stopServer();
}

} // namespace
} // namespace station
