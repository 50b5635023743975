// The programs under abuse, headless, on loopback: connection floods,
// garbage on every socket, listeners that never read, stop requests at any
// moment, files that cannot be written, a kill in the middle of a
// recording and a station dying under the decoder. Every run is bounded in
// count and time, stops by itself and is reaped; its figures are printed.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dsp/cw_generator.h"
#include "link/datagrams.h"
#include "platform/cp1251.h"
#include "platform/kernel.h"
#include "program_harness.h"

#ifndef CW_SANITIZED
#define CW_SANITIZED 0
#endif

namespace {

using namespace harness;
using namespace platform::literals;

constexpr double toneHz = 840;             // inside the default band
constexpr double audioUnitsPerSecond = 50; // one GSM frame per 20 ms block

// Reads a relay stream on its own thread and keeps the figures a listener
// cares about: how much audio, whether every unit was aligned, the longest
// silence on the wire.
class ReadingListener {
  public:
    ~ReadingListener() { finish(); }
    // `first`: bytes sent right after the Hello (a Login), if any.
    bool connect(std::uint16_t port, const std::vector<std::uint8_t>& first = {}) {
        if (!raw_.connect(port) || (!first.empty() && !raw_.send(first)))
            return false;
        reader_ = std::thread([this] { run(); });
        return true;
    }
    // Stops reading; the figures are stable afterwards.
    void finish() {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
    }
    // Starts the counts afresh (the stream is already flowing).
    void resetCounts() {
        audio_ = 0;
        longestGapMs_ = 0;
    }
    long audio() const { return audio_; }
    long misaligned() const { return misaligned_; }
    long longestGapMs() const { return longestGapMs_; }
    bool closed() const { return closed_; }

  private:
    void run() {
        auto last = Clock::now();
        while (!stop_) {
            const auto unit = raw_.nextUnit(100ms);
            const auto now = Clock::now();
            if (!unit) {
                if (raw_.closed) {
                    closed_ = true;
                    return;
                }
            } else if (!isAlignedUnit(unit->data())) {
                ++misaligned_;
            } else if (!isControlPacket(unit->data())) {
                ++audio_;
                longestGapMs_ = std::max<long>(
                    longestGapMs_, long(std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count()));
                last = now;
            }
        }
    }

    RawListener raw_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<long> audio_{0}, misaligned_{0}, longestGapMs_{0};
    std::atomic<bool> closed_{false};
};

// A UDP socket for sending to the link ports.
class DatagramSender {
  public:
    // Bound to loopback: the tests never open a port beyond this machine.
    DatagramSender() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~DatagramSender() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool send(const void* bytes, std::size_t size, std::uint16_t port) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::sendto(fd_, bytes, size, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) == ssize_t(size);
    }

  private:
    int fd_;
};

bool sendControl(std::int32_t command, std::int32_t value = 0, std::int32_t filterCode = 0, std::int32_t bandwidth = 0,
                 std::int32_t centre = 0) {
    locallink::ControlDatagram d;
    d.command = command;
    d.value = value;
    d.filterCode = filterCode;
    d.bandwidthHz = bandwidth;
    d.centreHz = centre;
    return DatagramSender().send(&d, sizeof d, locallink::stationPort);
}

// The sample datagrams that carry the keying levels of `text` sent at `wpm`
// (the default band's header, 160 levels each).
std::vector<locallink::SampleDatagram> keyingDatagrams(std::string_view text, double wpm, int leadingSilenceMs) {
    std::vector<locallink::SampleDatagram> datagrams;
    const auto envelope =
        dsp::keyingFromText(text, {.wpm = wpm, .leadingSilenceMs = leadingSilenceMs, .trailingSilenceMs = 1000});
    if (!envelope)
        return datagrams;
    const std::vector<std::int16_t> levels = dsp::keyingLevelsFrom(*envelope, {});
    for (std::size_t at = 0; at < levels.size(); at += locallink::samplesPerDatagram) {
        locallink::SampleDatagram d;
        d.blockBytes = 2 * locallink::samplesPerDatagram;
        d.filterTaps = 256;
        d.bandwidthHz = 79;
        d.centreHz = 839;
        std::copy_n(levels.begin() + std::ptrdiff_t(at),
                    std::min<std::size_t>(locallink::samplesPerDatagram, levels.size() - at), d.keyingLevel);
        datagrams.push_back(d);
    }
    return datagrams;
}

class Abuse : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_FALSE(plainStationRunning()) << "another plain station runs on this machine";
        port = freePort();
        ASSERT_NE(port, 0);
        tone = dir.path / "tone.wav";
        ASSERT_TRUE(writeTones(tone, {toneHz}, 120));
    }

    // A station in its own folder `name` (its files go there, its output
    // to log.txt), capturing `input` at real speed and playing into
    // played.wav unless `environment` says otherwise.
    pid_t startStation(const std::string& name, std::vector<std::string> args,
                       std::vector<std::string> environment = {}) {
        for (const std::string& standard :
             {"SELVANE_INPUT=" + tone.string(), "SELVANE_OUTPUT=" + (dir.path / name / "played.wav").string(),
              std::string("SELVANE_SPEED=1")}) {
            const std::string variable = standard.substr(0, standard.find('=') + 1);
            if (std::none_of(environment.begin(), environment.end(),
                             [&](const std::string& e) { return e.starts_with(variable); })) {
                environment.push_back(standard);
            }
        }
        return programs.start(CW_SELVANE_PATH, {args, environment, dir.path / name, dir.path / name / "log.txt"});
    }
    pid_t startServer(const std::string& name, std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"SERVER", "SERVERPORT=" + std::to_string(port), "MAXCONNECT=20"});
        return startStation(name, args);
    }
    std::string log(const std::string& name) { return readFile(dir.path / name / "log.txt"); }
    // A fake server on loopback (`fake`, listening) and a client station of
    // it in folder `name`.
    void startClientOfFakeServer(const std::string& name, int& fake, pid_t& client) {
        const std::uint16_t fakePort = freePort();
        fake = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fake, 0);
        const int on = 1;
        ::setsockopt(fake, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(fakePort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(fake, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(fake, 4), 0);
        client =
            programs.start(CW_SELVANE_PATH, {{"CLIENT", "IPADRESS=127.0.0.1", "CLIENTPORT=" + std::to_string(fakePort)},
                                             {"SELVANE_OUTPUT=" + (dir.path / name / "played.wav").string()},
                                             dir.path / name,
                                             dir.path / name / "log.txt"});
        ASSERT_GT(client, 0);
    }
    // morvel without a station: it finds a plain station running and starts
    // none of its own; that station is then killed, and morvel, which only
    // watches a station it started, goes on.
    void startDecoderWithoutStation(pid_t& morvel) {
        const fs::path home = dir.path / "morvel";
        ASSERT_TRUE(writeTones(dir.path / "silence.wav", {}, 60));
        const pid_t holder =
            startStation("holder", {"UDPSEND"}, {"SELVANE_INPUT=" + (dir.path / "silence.wav").string()});
        ASSERT_GT(holder, 0);
        ASSERT_TRUE(waitFor(plainStationWindowUp, 15000ms));
        morvel = programs.start(CW_MORVEL_PATH, {{}, {}, home, home / "log.txt"});
        ASSERT_GT(morvel, 0);
        ASSERT_TRUE(
            waitFor([&] { return log("morvel").find("morvel: a station already runs") != std::string::npos; }, 15000ms))
            << log("morvel");
        EXPECT_TRUE(Programs::childrenOf(morvel).empty()) << "morvel started a second station";
        ::kill(holder, SIGKILL);
        programs.finish(holder, 5000);
        ASSERT_TRUE(waitFor([] { return !plainStationRunning(); }, 5000ms));
    }

    TempDir dir{"cw-abuse"};
    Programs programs;
    std::uint16_t port = 0;
    fs::path tone;
};

// ------------------------------------------------------------ connection flood

TEST_F(Abuse, ConnectionFloodLeavesNoTrace) {
    const pid_t server = startServer("server");
    ASSERT_GT(server, 0);
    std::vector<std::unique_ptr<ReadingListener>> listeners;
    for (int i = 0; i < 5; ++i) {
        listeners.push_back(std::make_unique<ReadingListener>());
        ASSERT_TRUE(listeners.back()->connect(port)) << "listener " << i;
    }
    std::this_thread::sleep_for(2s);
    const int descriptorsBefore = openDescriptors(server);
    const long memoryBefore = residentKiB(server);
    ASSERT_GT(descriptorsBefore, 0);
    for (auto& l : listeners)
        l->resetCounts();

    // 500 connections in rounds of 25: every round overfills the 20 slots
    // (5 are taken), then all of it is closed at once. The kernel completes
    // a connect on its own, so each one is followed until the server has
    // handled it: taken into a slot (a line in its log) or refused (accepted
    // and closed at once: the end of its stream). One at a time, as the
    // listening backlog is 1 and the system retries a connect the backlog
    // had no room for only after a second.
    const auto floodStart = Clock::now();
    const fs::path connectionLog = dir.path / "server" / "servconnect.txt";
    const std::string acceptText = "Соединение с"_cp1251.c_str();
    const auto acceptLines = [&] {
        const std::string text = readFile(connectionLog);
        int lines = 0;
        for (std::size_t at = 0; (at = text.find(acceptText, at)) != std::string::npos; ++at)
            ++lines;
        return lines;
    };
    const int acceptedBefore = acceptLines();
    int accepted = acceptedBefore, refused = 0, connects = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<int> burst;
        for (int i = 0; i < 25; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            burst.push_back(fd);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                continue;
            ++connects;
            waitFor(
                [&] {
                    char byte;
                    if (::recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
                        ++refused;
                        return true;
                    }
                    const int lines = acceptLines();
                    const bool taken = lines > accepted;
                    accepted = lines;
                    return taken;
                },
                5000ms);
        }
        for (const int fd : burst)
            ::close(fd);
    }
    const double floodSeconds = secondsSince(floodStart);
    std::this_thread::sleep_for(1s);

    // Closed connections are noticed by the server's loop; give it a moment.
    waitFor([&] { return openDescriptors(server) <= descriptorsBefore; }, 5000ms);
    const int descriptorsAfter = openDescriptors(server);
    const long memoryAfter = residentKiB(server);
    const double seconds = secondsSince(floodStart);
    for (auto& l : listeners)
        l->finish();
    std::printf("flood: %d connects in %.2f s; descriptors %d -> %d; resident %ld -> %ld KiB\n", connects, floodSeconds,
                descriptorsBefore, descriptorsAfter, memoryBefore, memoryAfter);

    std::printf("  the server took %d into a slot and refused %d\n", accepted - acceptedBefore, refused);
    EXPECT_EQ(connects, 500);
    EXPECT_EQ(accepted - acceptedBefore + refused, 500) << "connections the server never handled";
    EXPECT_GT(refused, 0) << "no round overfilled the slots";
    EXPECT_EQ(descriptorsAfter, descriptorsBefore);
    // Allocator caches may keep a little; a leak per connection would be
    // 500 times something. The sanitizers' quarantine keeps freed memory.
    EXPECT_LT(memoryAfter - memoryBefore, CW_SANITIZED ? 65536 : 2048);
    for (std::size_t i = 0; i < listeners.size(); ++i) {
        const auto& l = *listeners[i];
        std::printf("  listener %zu: %ld audio units in %.1f s, longest gap %ld ms, misaligned %ld\n", i, l.audio(),
                    seconds, l.longestGapMs(), l.misaligned());
        EXPECT_FALSE(l.closed()) << "listener " << i << " was dropped";
        EXPECT_EQ(l.misaligned(), 0) << "listener " << i;
        EXPECT_GT(l.audio(), long(0.8 * audioUnitsPerSecond * seconds)) << "listener " << i;
        EXPECT_LT(l.longestGapMs(), 1000) << "listener " << i;
    }
    EXPECT_EQ(programs.stop(server), 0) << log("server");
}

// ------------------------------------------------------------ slow listeners

TEST_F(Abuse, ListenersThatNeverReadHarmNobody) {
    const pid_t server = startServer("server");
    ASSERT_GT(server, 0);
    ReadingListener reader;
    ASSERT_TRUE(reader.connect(port));
    std::vector<std::unique_ptr<RawListener>> stalled;
    for (int i = 0; i < 19; ++i) {
        stalled.push_back(std::make_unique<RawListener>());
        ASSERT_TRUE(stalled.back()->connect(port, 5000ms, 4096)) << "stalled listener " << i;
    }
    // The first seconds fill the socket buffers of the stalled ones.
    std::this_thread::sleep_for(3s);
    const long memoryAt3s = residentKiB(server);
    reader.resetCounts();
    const auto start = Clock::now();
    std::this_thread::sleep_for(10s);
    const double seconds = secondsSince(start);
    const long memoryAt13s = residentKiB(server);
    reader.finish();
    std::printf("slow listeners: reader got %ld audio units in %.1f s, longest gap %ld ms, misaligned %ld; "
                "resident %ld -> %ld KiB\n",
                reader.audio(), seconds, reader.longestGapMs(), reader.misaligned(), memoryAt3s, memoryAt13s);
    EXPECT_FALSE(reader.closed());
    EXPECT_EQ(reader.misaligned(), 0);
    EXPECT_GT(reader.audio(), long(0.9 * audioUnitsPerSecond * seconds));
    EXPECT_LT(reader.longestGapMs(), 500);
    EXPECT_LT(memoryAt13s - memoryAt3s, CW_SANITIZED ? 16384 : 1024) << "the server keeps what nobody reads";
    // Each stalled listener, reading at last, gets whole, aligned units: what
    // waited, then the live stream.
    for (std::size_t i = 0; i < stalled.size(); ++i) {
        int audio = 0, misaligned = 0;
        for (int n = 0; n < 400 && audio < 100; ++n) {
            const auto unit = stalled[i]->nextUnit(2000ms);
            if (!unit)
                break;
            if (!isAlignedUnit(unit->data()))
                ++misaligned;
            else if (!isControlPacket(unit->data()))
                ++audio;
        }
        EXPECT_FALSE(stalled[i]->closed) << "stalled listener " << i << " was dropped";
        EXPECT_EQ(misaligned, 0) << "stalled listener " << i;
        EXPECT_EQ(audio, 100) << "stalled listener " << i;
    }
    EXPECT_EQ(programs.stop(server), 0) << log("server");
}

// ------------------------------------------------------------ garbage

// A Login packet as a client station sends it: login at bytes 7 … 18,
// password at 20 … 31, then the byte sum.
std::vector<std::uint8_t> loginPacket(const char* login, const char* password) {
    auto p = controlPacket(5);
    std::strncpy(reinterpret_cast<char*>(p.data() + 7), login, 12);
    std::strncpy(reinterpret_cast<char*>(p.data() + 20), password, 12);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 32; ++i)
        sum += p[i];
    p[32] = std::uint8_t(sum);
    return p;
}

std::vector<float> bandFile(const fs::path& path) {
    const std::string bytes = readFile(path);
    std::vector<float> edges(bytes.size() / 4);
    std::memcpy(edges.data(), bytes.data(), edges.size() * 4);
    return edges;
}

// Random bytes, and now and then a control packet with a right checksum
// and random contents, so the handlers behind the checksum get some too.
// For a client, not the packets that rightly end its session (time limit,
// time expired, login rejected).
std::vector<std::uint8_t> garbageStream(std::mt19937& random, std::size_t units, bool forClient) {
    std::vector<std::uint8_t> bytes;
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t u = 0; u < units; ++u) {
        if (random() % 4 == 0) {
            float low, high;
            const std::uint32_t a = random(), b = random();
            std::memcpy(&low, &a, 4);
            std::memcpy(&high, &b, 4);
            char name[16];
            for (char& c : name)
                c = char(byte(random));
            name[15] = 0;
            std::uint8_t type = std::uint8_t(random() % 12);
            if (forClient && (type == 2 || type == 3 || type == 6))
                type = 7;
            const auto p = controlPacket(type, std::uint8_t(byte(random)), low, high, name);
            bytes.insert(bytes.end(), p.begin(), p.end());
        } else {
            for (std::size_t i = 0; i < unitBytes; ++i)
                bytes.push_back(std::uint8_t(byte(random)));
        }
    }
    // Cut at a random point, so units arrive misaligned as well.
    bytes.resize(bytes.size() - random() % unitBytes);
    return bytes;
}

// A server of each kind that takes slot 0's stream apart, with a login,
// and a plain one: the garbage talkers come first, so one of them holds
// slot 0; an honest listener (logged in where a login is asked) joins where
// a slot is left. A client station gets garbage from a fake server. Nobody
// falls over, the honest listener's stream stays whole, and a talker that
// never logged in does not move the commanded band.
TEST_F(Abuse, GarbageOnRelayConnections) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        bool honest; // a slot is left for an honest listener
    };
    const Case cases[] = {{"plain", {}, true},
                          {"dialog", {"LOGIN=op", "PASSWD=pw", "DIALOG"}, true},
                          {"command", {"LOGIN=op", "PASSWD=pw", "COMMAND"}, false}};
    std::mt19937 random(20261207);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool login = !c.options.empty();
        const pid_t server = startServer(c.name, c.options);
        ASSERT_GT(server, 0);
        std::vector<std::unique_ptr<RawListener>> talkers;
        const auto refill = [&] {
            // Talkers the server closed are replaced.
            std::erase_if(talkers, [](const auto& t) { return t->closed; });
            while (talkers.size() < 3) {
                talkers.push_back(std::make_unique<RawListener>());
                if (!talkers.back()->connect(port, 1000ms))
                    talkers.back()->closed = true;
            }
        };
        refill();
        ReadingListener honest;
        if (c.honest) {
            ASSERT_TRUE(honest.connect(port, login ? loginPacket("op", "pw") : std::vector<std::uint8_t>{}));
        }

        // A fake server for a client station: it accepts, then talks garbage.
        const std::string clientHome = std::string(c.name) + "-client";
        int fake = -1;
        pid_t client = -1;
        ASSERT_NO_FATAL_FAILURE(startClientOfFakeServer(clientHome, fake, client));

        std::vector<int> clientConnections;
        long bytesToServer = 0, bytesToClient = 0;
        honest.resetCounts();
        const auto start = Clock::now();
        while (secondsSince(start) < 5) {
            refill();
            for (auto& t : talkers) {
                const auto bytes = garbageStream(random, 1 + random() % 8, false);
                if (t->send(bytes)) {
                    bytesToServer += long(bytes.size());
                } else {
                    t->closed = true;
                }
            }
            pollfd p{fake, POLLIN, 0};
            if (::poll(&p, 1, 0) == 1) {
                const int connection = ::accept4(fake, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection >= 0)
                    clientConnections.push_back(connection);
            }
            for (int connection : clientConnections) {
                const auto bytes = garbageStream(random, 1 + random() % 8, true);
                const ssize_t n = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    bytesToClient += n;
            }
            std::this_thread::sleep_for(5ms);
        }
        const double seconds = secondsSince(start);
        honest.finish();
        for (int connection : clientConnections)
            ::close(connection);
        ::close(fake);
        std::printf("garbage (%s): %ld bytes to the server, %ld bytes to the client over %zu "
                    "connections in %.1f s; honest listener %ld audio units, longest gap %ld ms, "
                    "misaligned %ld\n",
                    c.name, bytesToServer, bytesToClient, clientConnections.size(), seconds, honest.audio(),
                    honest.longestGapMs(), honest.misaligned());

        EXPECT_GT(bytesToServer, 50000);
        EXPECT_GE(clientConnections.size(), 1u) << "the client never connected";
        EXPECT_GT(bytesToClient, 5000);
        if (c.honest) {
            EXPECT_FALSE(honest.closed());
            EXPECT_EQ(honest.misaligned(), 0);
            EXPECT_GT(honest.audio(), long(0.8 * audioUnitsPerSecond * seconds));
        }
        EXPECT_TRUE(Programs::running(server)) << log(c.name);
        EXPECT_TRUE(Programs::running(client)) << log(clientHome);
        talkers.clear();
        EXPECT_EQ(programs.stop(server), 0) << log(c.name);
        EXPECT_EQ(programs.stop(client), 0) << log(clientHome);
        if (login) {
            const auto edges = bandFile(dir.path / c.name / "f.###");
            EXPECT_EQ(edges, (std::vector<float>{0.1f, 0.11f})) << "a talker that never logged in moved the band";
        }
    }
}

// Random datagrams at both link ports, 5000 per second each, for 10 s,
// while a linked station and the decoder run. A quarter of the station's
// are well-formed commands with random arguments (never Quit), a quarter of
// the decoder's are sample datagrams with random headers.
TEST_F(Abuse, GarbageDatagramsAtBothLinkPorts) {
    const pid_t station = startStation("station", {"UDPSEND"});
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor(plainStationWindowUp, 15000ms)) << log("station");
    // morvel finds the running station, starts none, and decodes ours.
    const pid_t morvel = programs.start(CW_MORVEL_PATH, {{}, {}, dir.path / "morvel", dir.path / "morvel" / "log.txt"});
    ASSERT_GT(morvel, 0);
    std::this_thread::sleep_for(2s);

    std::mt19937 random(7);
    std::uniform_int_distribution<int> length(0, 2000), byte(0, 255);
    const std::int32_t commands[] = {
        locallink::SetBand,       locallink::SetKeyingThreshold, locallink::SetDisplaySize,    locallink::SetPlayback,
        locallink::SetDrawWindow, locallink::SelectInputDevice,  locallink::SelectOutputDevice};
    // The random bytes are made beforehand, so that the sending keeps its
    // pace in a slow (sanitized) test build too: every datagram is a random
    // window of this noise.
    std::vector<std::uint8_t> noise(1 << 16);
    for (auto& b : noise)
        b = std::uint8_t(byte(random));
    std::vector<std::uint8_t> bytes(2000);
    const DatagramSender sender;
    long sent = 0, refused = 0;
    const auto start = Clock::now();
    for (long tick = 0; secondsSince(start) < 10; ++tick) {
        // 50 per port every 10 ms.
        for (int i = 0; i < 50; ++i) {
            for (const std::uint16_t target : {locallink::stationPort, locallink::decoderPort}) {
                std::size_t size = std::size_t(length(random));
                std::memcpy(bytes.data(), noise.data() + random() % (noise.size() - bytes.size()), bytes.size());
                if (random() % 4 == 0) {
                    if (target == locallink::stationPort) {
                        size = sizeof(locallink::ControlDatagram);
                        const std::int32_t command = commands[random() % std::size(commands)];
                        std::memcpy(bytes.data(), &command, 4);
                    } else {
                        size = sizeof(locallink::SampleDatagram);
                        std::memset(bytes.data(), 0, 4);
                    }
                }
                (sender.send(bytes.data(), size, target) ? sent : refused)++;
            }
        }
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
    }
    const double seconds = secondsSince(start);
    std::printf("link garbage: %ld datagrams sent (%ld refused by the sending socket) in %.1f s\n", sent, refused,
                seconds);
    EXPECT_GT(sent, long(0.8 * 2 * 5000 * seconds)) << "the test could not keep the pace";

    EXPECT_TRUE(Programs::running(station)) << log("station");
    EXPECT_TRUE(Programs::running(morvel)) << log("morvel");
    // A valid Quit right behind the flood stops the station, with 0, within
    // half a second of the flood's end. It is repeated every 50 ms: one that
    // meets a receive buffer still full of the flood is lost.
    const auto floodEnd = Clock::now();
    while (Programs::running(station) && secondsSince(floodEnd) < 5) {
        sendControl(locallink::Quit);
        waitFor([&] { return !Programs::running(station); }, 50ms);
    }
    const double quitSeconds = secondsSince(floodEnd);
    std::printf("the Quit behind the flood acted after %.2f s\n", quitSeconds);
    EXPECT_LT(quitSeconds, CW_SANITIZED ? 1.5 : 0.5);
    EXPECT_EQ(programs.finish(station, 15000), 0) << log("station");
    EXPECT_EQ(programs.stop(morvel), 0) << log("morvel");
}

// ------------------------------------------------------------ findings of the security review

// A listener that has not logged in cannot steer a command-mode server:
// its Settings change nothing (the band stored at exit stays); once its
// Login matched, they do.
TEST_F(Abuse, SettingsBeforeTheLoginChangeNothing) {
    for (const bool logIn : {false, true}) {
        SCOPED_TRACE(logIn ? "logged in" : "not logged in");
        const std::string name = logIn ? "in" : "out";
        const pid_t server = startServer(name, {"COMMAND", "LOGIN=op", "PASSWD=pw"});
        ASSERT_GT(server, 0);
        RawListener raw;
        ASSERT_TRUE(raw.connect(port));
        if (logIn) {
            ASSERT_TRUE(raw.send(loginPacket("op", "pw")));
        }
        ASSERT_TRUE(raw.send(controlPacket(0, 3, 0.2f, 0.3f, "STRANGER")));
        std::this_thread::sleep_for(1s);
        ASSERT_EQ(programs.stop(server), 0) << log(name);
        const auto edges = bandFile(dir.path / name / "f.###");
        ASSERT_EQ(edges.size(), 2u);
        EXPECT_EQ(edges[0], logIn ? 0.2f : 0.1f);
        EXPECT_EQ(edges[1], logIn ? 0.3f : 0.11f);
    }
}

// Runs `send` on a thread whose network namespace is `netns`.
template <typename Send> bool fromNamespace(const std::string& netns, Send send) {
    bool entered = false;
    std::thread outside([&] {
        const int fd = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            ::close(fd);
        if (entered)
            send();
    });
    outside.join();
    return entered;
}

// A host beyond this machine: a network namespace joined to this one by a
// veth pair, 10.213.77.2 inside, 10.213.77.1 here. Removed at the end.
struct OtherHost {
    const std::string netns = "cwsec" + std::to_string(::getpid());
    const std::string here = "cwa" + std::to_string(::getpid());
    bool made = false;
    OtherHost() {
        const std::string inside = "ip netns exec " + netns + " ";
        made = ::geteuid() == 0 && std::system(("ip netns add " + netns + " 2>/dev/null").c_str()) == 0 &&
               std::system(("ip link add " + here + " type veth peer name cwb netns " + netns +
                            " && ip addr add 10.213.77.1/30 dev " + here + " && ip link set " + here + " up && " +
                            inside + "ip addr add 10.213.77.2/30 dev cwb && " + inside + "ip link set cwb up && " +
                            inside + "ip link set lo up")
                               .c_str()) == 0;
    }
    ~OtherHost() {
        std::system(("ip netns del " + netns + " 2>/dev/null").c_str());
        std::system(("ip link del " + here + " 2>/dev/null").c_str());
    }
    // Sends `count` datagrams of `bytes` from inside to 10.213.77.1:`port`,
    // 10 ms apart. The number sent.
    int send(const void* bytes, std::size_t size, std::uint16_t port, int count) {
        int sent = 0;
        fromNamespace(netns, [&] {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(0x0AD54D01); // 10.213.77.1
            for (int i = 0; i < count; ++i) {
                if (::sendto(fd, bytes, size, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == ssize_t(size))
                    ++sent;
                std::this_thread::sleep_for(10ms);
            }
            ::close(fd);
        });
        return sent;
    }
};

// Link datagrams from another host are not acted on, by either program;
// the same from this machine are.
TEST_F(Abuse, LinkDatagramsFromAnotherHostAreIgnored) {
    OtherHost other;
    if (!other.made)
        GTEST_SKIP() << "cannot make a network namespace with a veth pair here (needs root and "
                        "the ip tool)";
    const pid_t station = startStation("station", {"UDPSEND"});
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor(plainStationRunning, 15000ms)) << log("station");
    std::this_thread::sleep_for(500ms);
    locallink::ControlDatagram quit;
    quit.command = locallink::Quit;
    ASSERT_EQ(other.send(&quit, sizeof quit, locallink::stationPort, 20), 20);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(Programs::running(station)) << "a Quit from another host stopped the station";
    ASSERT_TRUE(sendControl(locallink::Quit));
    EXPECT_EQ(programs.finish(station, 5000), 0) << "a Quit from this machine did not";
    ASSERT_TRUE(waitFor([] { return !plainStationRunning(); }, 5000ms));

    // morvel, its station gone, decodes only what this machine sends it.
    pid_t morvel = -1;
    ASSERT_NO_FATAL_FAILURE(startDecoderWithoutStation(morvel));
    const auto datagrams = keyingDatagrams("PARIS", 30, 300);
    ASSERT_FALSE(datagrams.empty());
    for (const auto& d : datagrams)
        other.send(&d, sizeof d, locallink::decoderPort, 1);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(log("morvel").find("PARIS"), std::string::npos)
        << "morvel decoded datagrams from another host: " << log("morvel");
    const DatagramSender sender;
    for (const auto& d : datagrams) {
        sender.send(&d, sizeof d, locallink::decoderPort);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(waitFor([&] { return log("morvel").find("PARIS") != std::string::npos; }, 10000ms))
        << "morvel's output: " << log("morvel");
    EXPECT_EQ(programs.stop(morvel), 0) << log("morvel");
}

// A counter of the station's sample datagrams: a socket on the decoder's
// port at the loopback broadcast address.
class SampleCounter {
  public:
    SampleCounter() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(locallink::decoderPort);
        a.sin_addr.s_addr = htonl(0x7FFFFFFF); // 127.255.255.255
        bound = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~SampleCounter() { ::close(fd_); }
    // Datagrams that arrive within `span`, up to `enough`; `centreHz` gets
    // the last one's centre.
    int count(std::chrono::milliseconds span, std::int32_t& centreHz, int enough = std::numeric_limits<int>::max()) {
        int n = 0;
        const auto end = Clock::now() + span;
        while (Clock::now() < end && n < enough) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            locallink::SampleDatagram d;
            if (::recv(fd_, &d, sizeof d, 0) == ssize_t(sizeof d)) {
                ++n;
                centreHz = d.centreHz;
            }
        }
        return n;
    }
    bool bound = false;

  private:
    int fd_;
};

// The lowest band centre the controls reach leaves the station in real
// time, and a Quit then acts at once.
TEST_F(Abuse, LowestBandCentreKeepsPace) {
    SampleCounter samples;
    ASSERT_TRUE(samples.bound) << "cannot bind the decoder port";
    const pid_t station = startStation("station", {"UDPSEND"});
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor(plainStationRunning, 15000ms)) << log("station");
    std::int32_t centre = 0;
    // A sanitized build, sharing the machine with other tests, may take a
    // few seconds from start-up to its first block.
    ASSERT_GT(samples.count(10000ms, centre, 1), 0) << "no sample datagrams";
    ASSERT_TRUE(sendControl(locallink::SetBand, 0, 3, 1, 3)); // 3 Hz, 1 Hz wide, 256 taps
    samples.count(500ms, centre);
    const int received = samples.count(3000ms, centre);
    std::printf("centre %d Hz: %d sample datagrams in 3 s\n", centre, received);
    EXPECT_LE(centre, 3) << "the band did not change";
    // Before the running sums a 3 Hz centre gave one datagram in 5 s. A
    // sanitized build, sharing the machine with other tests, is several
    // times slower than real time here; it need only show the station alive.
    EXPECT_GT(received, CW_SANITIZED ? 20 : 135) << "the station fell behind real time";
    const auto quitAt = Clock::now();
    ASSERT_TRUE(sendControl(locallink::Quit));
    EXPECT_EQ(programs.finish(station, 5000), 0) << log("station");
    EXPECT_LT(secondsSince(quitAt), CW_SANITIZED ? 2.0 : 1.0) << "the Quit waited";
}

// Hellos repeated on a connection that never logs in write one log line.
TEST_F(Abuse, HelloFloodWritesOneLogLine) {
    const pid_t server = startServer("server", {"LOGIN=op"});
    ASSERT_GT(server, 0);
    RawListener raw;
    ASSERT_TRUE(raw.connect(port, 5000ms, 0, false));
    std::vector<std::uint8_t> hellos;
    const auto hello = controlPacket(1, 0, 0, 0, "FLOOD");
    for (int i = 0; i < 20000; ++i)
        hellos.insert(hellos.end(), hello.begin(), hello.end());
    ASSERT_TRUE(raw.send(hellos));
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(programs.stop(server), 0) << log("server");
    const std::string connectionLog = readFile(dir.path / "server" / "servconnect.txt");
    int helloLines = 0;
    for (std::size_t at = 0; (at = connectionLog.find("FLOOD", at)) != std::string::npos; ++at)
        ++helloLines;
    EXPECT_EQ(helloLines, 1) << connectionLog.size() << " bytes of log";
}

// A connection that never greets is closed after 10 s, with no login or
// time limit set.
TEST_F(Abuse, SilentConnectionIsClosedAfterTenSeconds) {
    const pid_t server = startServer("server");
    ASSERT_GT(server, 0);
    RawListener silent;
    ASSERT_TRUE(silent.connect(port, 5000ms, 0, false));
    const auto start = Clock::now();
    while (!silent.closed && secondsSince(start) < 15)
        silent.nextUnit(100ms);
    const double seconds = secondsSince(start);
    std::printf("a silent connection was closed after %.1f s\n", seconds);
    EXPECT_TRUE(silent.closed);
    EXPECT_GT(seconds, 9.5);
    EXPECT_LT(seconds, 12.5);
    EXPECT_EQ(programs.stop(server), 0) << log("server");
}

// FIFOs and symbolic links where the station's files go: start-up does not
// block, a stop request ends it at once, and nothing is written through a
// link.
TEST_F(Abuse, SpecialFilesAreLeftAlone) {
    const fs::path home = dir.path / "server";
    fs::create_directories(home);
    ASSERT_EQ(::mkfifo((home / "f.###").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((home / "servconnect.txt").c_str(), 0600), 0);
    std::ofstream(home / "target.txt") << "untouched";
    fs::create_symlink(home / "target.txt", home / "ErrorWav.txt");
    const pid_t server = startServer("server");
    ASSERT_GT(server, 0);
    ReadingListener listener;
    ASSERT_TRUE(listener.connect(port)) << log("server");
    ASSERT_TRUE(waitFor([&] { return listener.audio() > 10; }, 10000ms)) << log("server");
    listener.finish();
    const auto stopAt = Clock::now();
    EXPECT_EQ(programs.stop(server), 0) << log("server");
    EXPECT_LT(secondsSince(stopAt), CW_SANITIZED ? 3.0 : 1.0);
    EXPECT_NE(log("server").find("f.### is not a regular file"), std::string::npos) << log("server");

    // A fatal stop leaves its reason nowhere rather than through the link
    // (only on the terminal).
    const pid_t failing = startStation("server", {}, {"SELVANE_INPUT=" + (home / "missing.wav").string()});
    ASSERT_GT(failing, 0);
    EXPECT_EQ(programs.finish(failing, 15000), 1) << log("server");
    EXPECT_EQ(readFile(home / "target.txt"), "untouched");
}

// A hostile server's TimeLimit of INT32_MIN: the client's countdown does not
// wrap (a sanitized build would stop on it), and the client keeps running.
TEST_F(Abuse, HostileTimeLimitIsNoLimit) {
    int fake = -1;
    pid_t client = -1;
    ASSERT_NO_FATAL_FAILURE(startClientOfFakeServer("client", fake, client));
    pollfd p{fake, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the client did not connect";
    const int c = ::accept4(fake, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(c, 0);
    const std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
    auto limit = controlPacket(2);
    std::memcpy(limit.data() + 12, &lowest, 4);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 32; ++i)
        sum += limit[i];
    limit[32] = std::uint8_t(sum);
    ASSERT_EQ(::send(c, limit.data(), limit.size(), MSG_NOSIGNAL), ssize_t(limit.size()));
    std::this_thread::sleep_for(3s); // three ticks of the countdown
    EXPECT_TRUE(Programs::running(client)) << log("client");
    EXPECT_EQ(programs.stop(client), 0) << log("client");
    ::close(c);
    ::close(fake);
}

// ------------------------------------------------------------ stop at any moment

TEST_F(Abuse, StopAtAnyMomentKeepsTheBandFileWhole) {
    const fs::path home = dir.path / "station";
    const fs::path bandFile = home / "f.###";
    const std::vector<std::string> linked{"UDPSEND"};
    fs::create_directories(home);
    const float oldEdges[2] = {0.1f, 0.11f};
    const std::string oldBand(reinterpret_cast<const char*>(oldEdges), 8);
    const auto writeOld = [&] { std::ofstream(bandFile, std::ios::binary | std::ios::trunc).write(oldBand.data(), 8); };
    // 1000 Hz wide 100 with 256 taps (code 3), sent every 50 ms while a run
    // lasts.
    std::atomic<bool> running{true};
    std::thread changer([&] {
        while (running) {
            sendControl(locallink::SetBand, 0, 3, 100, 1000);
            std::this_thread::sleep_for(50ms);
        }
    });

    // The new band as the station stores it after a change.
    writeOld();
    pid_t pid = startStation("station", linked);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor(plainStationRunning, 15000ms));
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(programs.stop(pid), 0) << log("station");
    const std::string newBand = readFile(bandFile);
    ASSERT_EQ(newBand.size(), 8u);
    ASSERT_NE(newBand, oldBand) << "the band change did not arrive";

    // Stop requests at random points of start-up and running; a quarter of
    // the runs get a second one while the station is already stopping.
    const int runs = 100;
    std::mt19937 random(42);
    std::uniform_int_distribution<int> delayMs(0, CW_SANITIZED ? 2500 : 1200), secondMs(0, 300);
    int old = 0, changed = 0, twice = 0;
    for (int run = 0; run < runs; ++run) {
        writeOld();
        pid = startStation("station", linked);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        ::kill(pid, SIGTERM);
        if (random() % 4 == 0) {
            ++twice;
            std::this_thread::sleep_for(std::chrono::milliseconds(secondMs(random)));
            ::kill(pid, SIGTERM);
        }
        ASSERT_EQ(programs.finish(pid, 20000), 0) << "run " << run << ": " << log("station");
        const std::string band = readFile(bandFile);
        ASSERT_TRUE(band == oldBand || band == newBand) << "run " << run << ": " << band.size() << " bytes";
        (band == oldBand ? old : changed)++;
        for (const auto& entry : fs::directory_iterator(home)) {
            ASSERT_NE(entry.path().extension(), ".tmp") << "run " << run << " left " << entry.path().filename();
        }
        // The next station must not meet this one's role lock.
        ASSERT_TRUE(waitFor([] { return !plainStationRunning(); }, 5000ms));
    }
    running = false;
    changer.join();
    std::printf("stop at any moment: %d runs (%d stopped twice), all exit 0; band file old %d, new %d\n", runs, twice,
                old, changed);
}

// ------------------------------------------------------------ files that cannot be written

// Makes every file the station writes in `home` impossible to write: a
// directory stands where each would go (this holds even for root, unlike
// permissions).
void blockStationFiles(const fs::path& home) {
    for (const char* name : {"f.###", "ErrorWav.txt", "servconnect.txt"}) {
        fs::create_directories(home / name / "blocked");
    }
}

TEST_F(Abuse, UnwritableFilesAndAFullDisk) {
    const fs::path home = dir.path / "server";
    blockStationFiles(home);
    const fs::path recording = home / "played.wav";
    const pid_t server = startServer("server");
    ASSERT_GT(server, 0);
    ReadingListener listener;
    ASSERT_TRUE(listener.connect(port));
    ASSERT_TRUE(waitFor([&] { return fs::exists(recording) && fs::file_size(recording) > 20000; }, 15000ms));
    // The disk is full from here on: a file size limit just above what the
    // recording holds now makes every later write fail (the station takes
    // the limit as a write error, like ENOSPC).
    const rlim_t cap = fs::file_size(recording) + 4096;
    const rlimit limit{cap, cap};
    ASSERT_EQ(::prlimit(server, RLIMIT_FSIZE, &limit, nullptr), 0);
    listener.resetCounts();
    const auto start = Clock::now();
    std::this_thread::sleep_for(4s);
    const double seconds = secondsSince(start);
    listener.finish();

    EXPECT_TRUE(Programs::running(server)) << log("server");
    EXPECT_EQ(programs.stop(server), 0) << log("server");
    EXPECT_GT(listener.audio(), long(0.8 * audioUnitsPerSecond * seconds)) << "the relay stopped with the disk";
    EXPECT_LE(fs::file_size(recording), cap);
    const std::vector<short> played = readWav(recording);
    std::printf("full disk: recording capped at %ju bytes holds %zu samples; listener got %ld "
                "audio units in %.1f s\n",
                std::uintmax_t(cap), played.size(), listener.audio(), seconds);
    EXPECT_GT(played.size(), 8000u) << "the recording up to the full disk is not readable";
    for (const char* name : {"f.###", "ErrorWav.txt", "servconnect.txt"}) {
        EXPECT_TRUE(fs::is_directory(home / name)) << name;
    }
    for (const auto& entry : fs::directory_iterator(home)) {
        EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path().filename();
    }

    // A fatal stop whose "ErrorWav.txt" cannot be written still ends, with 1.
    const pid_t failing = startStation("server", {}, {"SELVANE_INPUT=" + (home / "missing.wav").string()});
    ASSERT_GT(failing, 0);
    EXPECT_EQ(programs.finish(failing, 15000), 1) << log("server");
}

TEST_F(Abuse, DecoderAndStationInAnUnwritableFolder) {
    const fs::path home = dir.path / "morvel";
    blockStationFiles(home);
    // The station started by morvel plays into a file it cannot create.
    const pid_t morvel =
        programs.start(CW_MORVEL_PATH, {{},
                                        {std::string("SELVANE_INPUT=") + CW_SAMPLES_DIR "/cq.wav",
                                         "SELVANE_OUTPUT=" + (home / "no-such-folder" / "out.wav").string(),
                                         "SELVANE_SPEED=" + std::to_string(CW_SANITIZED ? 1 : 4)},
                                        home,
                                        home / "log.txt"});
    ASSERT_GT(morvel, 0);
    const pid_t station = Programs::awaitChild(morvel, 10000ms);
    ASSERT_GT(station, 0) << "morvel started no station";
    // The decoder's text shows the station ran and linked in spite of all.
    const std::string expected = CW_SANITIZED ? "CQ" : "CQ CQ DE R3ABC";
    EXPECT_TRUE(waitFor([&] { return readFile(home / "log.txt").find(expected) != std::string::npos; }, 40000ms))
        << readFile(home / "log.txt");
    EXPECT_TRUE(Programs::running(station)) << readFile(home / "log.txt");
    EXPECT_EQ(programs.stop(morvel), 0) << readFile(home / "log.txt");
    // morvel waited for the station to end on its Quit.
    EXPECT_FALSE(Programs::running(station)) << readFile(home / "log.txt");
}

// ------------------------------------------------------------ a kill in the middle

TEST_F(Abuse, RecordingSurvivesAKill) {
    const fs::path recording = dir.path / "station" / "played.wav";
    const pid_t station = startStation("station", {});
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor([&] { return fs::exists(recording) && fs::file_size(recording) > 44; }, 15000ms));
    const auto firstAudio = Clock::now();
    std::this_thread::sleep_for(4s);
    ::kill(station, SIGKILL);
    const double playedFor = secondsSince(firstAudio);
    EXPECT_EQ(programs.finish(station, 5000), 128 + SIGKILL);

    SF_INFO info{};
    SNDFILE* f = sf_open(recording.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << "the recording is not readable: " << sf_strerror(nullptr);
    sf_close(f);
    const auto bytes = fs::file_size(recording);
    const std::vector<short> played = readWav(recording);
    const double seconds = double(played.size()) / 8000;
    std::printf("killed after %.2f s of playing: the file holds %.2f s (%ju bytes, header says %jd "
                "frames)\n",
                playedFor, seconds, std::uintmax_t(bytes), std::intmax_t(info.frames));
    // Up to about the last second, and the header tells the truth (one
    // block of slack: the kill may fall between a write and its header).
    EXPECT_GT(seconds, playedFor - 1.0);
    EXPECT_LT(seconds, playedFor + 1.0);
    EXPECT_GE(std::uintmax_t(info.frames) * 2 + 44 + 320, bytes);
    EXPECT_GT(toneShare(tail(played, 1), toneHz), 0.5) << "the last second is not the tone";
}

// ------------------------------------------------------------ the station dies under the decoder

TEST_F(Abuse, KilledStationEndsHeadlessMorvelWithItsCode) {
    const fs::path home = dir.path / "morvel";
    ASSERT_TRUE(writeTones(dir.path / "silence.wav", {}, 60));
    const pid_t morvel =
        programs.start(CW_MORVEL_PATH, {{},
                                        {"SELVANE_INPUT=" + (dir.path / "silence.wav").string(),
                                         "SELVANE_OUTPUT=" + (home / "played.wav").string(), "SELVANE_SPEED=1"},
                                        home,
                                        home / "log.txt"});
    ASSERT_GT(morvel, 0);
    ASSERT_TRUE(waitFor(plainStationRunning, 15000ms));
    const auto children = Programs::childrenOf(morvel);
    ASSERT_EQ(children.size(), 1u);
    ::kill(children.front(), SIGKILL);
    EXPECT_EQ(programs.finish(morvel, 10000), 128 + SIGKILL) << log("morvel");
    EXPECT_NE(log("morvel").find("morvel: the station stopped (exit code 137)"), std::string::npos) << log("morvel");
}

TEST_F(Abuse, DecoderOutlivesItsStation) {
    pid_t morvel = -1;
    ASSERT_NO_FATAL_FAILURE(startDecoderWithoutStation(morvel));

    // morvel still decodes what reaches its port: keying levels for a
    // message at 20 WPM, at twice real time.
    const auto datagrams = keyingDatagrams("VVV DE R3ABC K", 20, 500);
    ASSERT_FALSE(datagrams.empty());
    const DatagramSender sender;
    const auto start = Clock::now();
    std::size_t sent = 0;
    for (const auto& d : datagrams) {
        sender.send(&d, sizeof d, locallink::decoderPort);
        ++sent;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * sent));
    }
    EXPECT_TRUE(waitFor([&] { return log("morvel").find("R3ABC") != std::string::npos; }, 10000ms))
        << "morvel's output after its station died: " << log("morvel");
    EXPECT_TRUE(Programs::running(morvel));
    const auto stopping = Clock::now();
    EXPECT_EQ(programs.stop(morvel), 0) << log("morvel");
    std::printf("decoder outlived its station: decoded after the kill, stopped in %.2f s\n", secondsSince(stopping));
}

} // namespace
