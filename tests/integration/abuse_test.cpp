// The programs under abuse, headless, on loopback: connection floods,
// garbage on every socket, listeners that never read, stop requests at any
// moment, files that cannot be written, a kill in the middle of a
// recording and a station dying under the decoder. Every run is bounded in
// count and time, stops by itself and is reaped; its figures are printed.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/datagrams.h"
#include "platform/kernel.h"
#include "program_harness.h"

#ifndef CW_SANITIZED
#define CW_SANITIZED 0
#endif

namespace {

using namespace harness;

constexpr double toneHz = 840;             // inside the default band
constexpr double audioUnitsPerSecond = 50; // one GSM frame per 20 ms block

// Reads a relay stream on its own thread and keeps the figures a listener
// cares about: how much audio, whether every unit was aligned, the longest
// silence on the wire.
class ReadingListener {
  public:
    ~ReadingListener() { finish(); }
    bool connect(std::uint16_t port) {
        if (!raw_.connect(port))
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
                    longestGapMs_,
                    long(
                        std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count()));
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
        return ::sendto(fd_, bytes, size, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
               ssize_t(size);
    }

  private:
    int fd_;
};

bool sendControl(std::int32_t command, std::int32_t value = 0, std::int32_t filterCode = 0,
                 std::int32_t bandwidth = 0, std::int32_t centre = 0) {
    locallink::ControlDatagram d;
    d.command = command;
    d.value = value;
    d.filterCode = filterCode;
    d.bandwidthHz = bandwidth;
    d.centreHz = centre;
    return DatagramSender().send(&d, sizeof d, locallink::stationPort);
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
             {"SELVANE_INPUT=" + tone.string(),
              "SELVANE_OUTPUT=" + (dir.path / name / "played.wav").string(),
              std::string("SELVANE_SPEED=1")}) {
            const std::string variable = standard.substr(0, standard.find('=') + 1);
            if (std::none_of(environment.begin(), environment.end(),
                             [&](const std::string& e) { return e.starts_with(variable); })) {
                environment.push_back(standard);
            }
        }
        return programs.start(CW_SELVANE_PATH,
                              {args, environment, dir.path / name, dir.path / name / "log.txt"});
    }
    pid_t startServer(const std::string& name, std::vector<std::string> args = {}) {
        args.insert(args.begin(),
                    {"SERVER", "SERVERPORT=" + std::to_string(port), "MAXCONNECT=20"});
        return startStation(name, args);
    }
    std::string log(const std::string& name) { return readFile(dir.path / name / "log.txt"); }

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
    // (5 are taken), then all of it is closed at once. The connects of a
    // round run side by side: the listening backlog is 1, and the system
    // retries a connect the backlog had no room for only after a second.
    const auto floodStart = Clock::now();
    int connects = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<pollfd> burst;
        for (int i = 0; i < 25; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            burst.push_back({fd, POLLOUT, 0});
        }
        // Connected ones stay open until the round ends.
        std::size_t pending = burst.size();
        const auto roundEnd = Clock::now() + 10s;
        while (pending > 0 && Clock::now() < roundEnd) {
            if (::poll(burst.data(), burst.size(), 100) <= 0)
                continue;
            for (pollfd& p : burst) {
                if (p.events == 0 || p.revents == 0)
                    continue;
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == 0)
                    ++connects;
                p.events = 0; // settled
                --pending;
            }
        }
        for (const pollfd& p : burst)
            ::close(p.fd);
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
    std::printf("flood: %d connects in %.2f s; descriptors %d -> %d; resident %ld -> %ld KiB\n",
                connects, floodSeconds, descriptorsBefore, descriptorsAfter, memoryBefore,
                memoryAfter);

    EXPECT_EQ(connects, 500);
    EXPECT_EQ(descriptorsAfter, descriptorsBefore);
    // Allocator caches may keep a little; a leak per connection would be
    // 500 times something. The sanitizers' quarantine keeps freed memory.
    EXPECT_LT(memoryAfter - memoryBefore, CW_SANITIZED ? 65536 : 2048);
    for (std::size_t i = 0; i < listeners.size(); ++i) {
        const auto& l = *listeners[i];
        std::printf(
            "  listener %zu: %ld audio units in %.1f s, longest gap %ld ms, misaligned %ld\n", i,
            l.audio(), seconds, l.longestGapMs(), l.misaligned());
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
    std::printf(
        "slow listeners: reader got %ld audio units in %.1f s, longest gap %ld ms, misaligned %ld; "
        "resident %ld -> %ld KiB\n",
        reader.audio(), seconds, reader.longestGapMs(), reader.misaligned(), memoryAt3s,
        memoryAt13s);
    EXPECT_FALSE(reader.closed());
    EXPECT_EQ(reader.misaligned(), 0);
    EXPECT_GT(reader.audio(), long(0.9 * audioUnitsPerSecond * seconds));
    EXPECT_LT(reader.longestGapMs(), 500);
    EXPECT_LT(memoryAt13s - memoryAt3s, CW_SANITIZED ? 16384 : 1024)
        << "the server keeps what nobody reads";
    EXPECT_EQ(programs.stop(server), 0) << log("server");
}

// ------------------------------------------------------------ garbage

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

TEST_F(Abuse, GarbageOnRelayConnections) {
    std::mt19937 random(20261207);
    // A server with three garbage talkers and one honest listener.
    const pid_t server = startServer("server");
    ASSERT_GT(server, 0);
    ReadingListener honest;
    ASSERT_TRUE(honest.connect(port));

    // A fake server for a client station: it accepts, then talks garbage.
    const std::uint16_t fakePort = freePort();
    const int fake = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fake, 0);
    {
        const int on = 1;
        ::setsockopt(fake, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(fakePort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(fake, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(fake, 4), 0);
    }
    const pid_t client =
        programs.start(CW_SELVANE_PATH,
                       {{"CLIENT", "IPADRESS=127.0.0.1", "CLIENTPORT=" + std::to_string(fakePort)},
                        {"SELVANE_OUTPUT=" + (dir.path / "client" / "played.wav").string()},
                        dir.path / "client",
                        dir.path / "client" / "log.txt"});
    ASSERT_GT(client, 0);

    std::vector<std::unique_ptr<RawListener>> talkers;
    std::vector<int> clientConnections;
    long bytesToServer = 0, bytesToClient = 0;
    honest.resetCounts();
    const auto start = Clock::now();
    while (secondsSince(start) < 10) {
        // Talkers the server closed are replaced.
        std::erase_if(talkers, [](const auto& t) { return t->closed; });
        while (talkers.size() < 3) {
            talkers.push_back(std::make_unique<RawListener>());
            if (!talkers.back()->connect(port, 1000ms))
                talkers.back()->closed = true;
        }
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
            const int c = ::accept4(fake, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                clientConnections.push_back(c);
        }
        for (int c : clientConnections) {
            const auto bytes = garbageStream(random, 1 + random() % 8, true);
            const ssize_t n = ::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                bytesToClient += n;
        }
        std::this_thread::sleep_for(5ms);
    }
    const double seconds = secondsSince(start);
    honest.finish();
    for (int c : clientConnections)
        ::close(c);
    ::close(fake);
    std::printf(
        "garbage: %ld bytes to the server, %ld bytes to the client over %zu connections in %.1f s; "
        "honest listener %ld audio units, longest gap %ld ms, misaligned %ld\n",
        bytesToServer, bytesToClient, clientConnections.size(), seconds, honest.audio(),
        honest.longestGapMs(), honest.misaligned());

    EXPECT_GT(bytesToServer, 100000);
    EXPECT_GE(clientConnections.size(), 1u) << "the client never connected";
    EXPECT_GT(bytesToClient, 10000);
    EXPECT_FALSE(honest.closed());
    EXPECT_EQ(honest.misaligned(), 0);
    EXPECT_GT(honest.audio(), long(0.8 * audioUnitsPerSecond * seconds));
    EXPECT_TRUE(Programs::running(server)) << log("server");
    EXPECT_TRUE(Programs::running(client)) << log("client");
    EXPECT_EQ(programs.stop(server), 0) << log("server");
    EXPECT_EQ(programs.stop(client), 0) << log("client");
}

// Random datagrams at both link ports, 5000 per second each, for 10 s,
// while a linked station and the decoder run. A quarter of the station's
// are well-formed commands with random arguments (never Quit), a quarter of
// the decoder's are sample datagrams with random headers.
TEST_F(Abuse, GarbageDatagramsAtBothLinkPorts) {
    const pid_t station = startStation("station", {"UDPSEND"});
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor(plainStationRunning, 15000ms)) << log("station");
    // morvel finds the running station, starts none, and decodes ours.
    const pid_t morvel = programs.start(
        CW_MORVEL_PATH, {{}, {}, dir.path / "morvel", dir.path / "morvel" / "log.txt"});
    ASSERT_GT(morvel, 0);
    std::this_thread::sleep_for(2s);

    std::mt19937 random(7);
    std::uniform_int_distribution<int> length(0, 2000), byte(0, 255);
    const std::int32_t commands[] = {locallink::SetBand,           locallink::SetKeyingThreshold,
                                     locallink::SetDisplaySize,    locallink::SetPlayback,
                                     locallink::SetDrawWindow,     locallink::SelectInputDevice,
                                     locallink::SelectOutputDevice};
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
                std::memcpy(bytes.data(), noise.data() + random() % (noise.size() - bytes.size()),
                            bytes.size());
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
    std::printf("link garbage: %ld datagrams sent (%ld refused by the sending socket) in %.1f s\n",
                sent, refused, seconds);
    EXPECT_GT(sent, long(0.8 * 2 * 5000 * seconds)) << "the test could not keep the pace";

    EXPECT_TRUE(Programs::running(station)) << log("station");
    EXPECT_TRUE(Programs::running(morvel)) << log("morvel");
    // A valid Quit afterwards (once the flood has passed: a datagram that
    // meets a full receive buffer is lost) still stops the station, with 0.
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(sendControl(locallink::Quit));
    EXPECT_EQ(programs.finish(station, 15000), 0) << log("station");
    EXPECT_EQ(programs.stop(morvel), 0) << log("morvel");
}

// ------------------------------------------------------------ stop at any moment

TEST_F(Abuse, StopAtAnyMomentKeepsTheBandFileWhole) {
    const fs::path home = dir.path / "station";
    const fs::path bandFile = home / "f.###";
    const std::vector<std::string> linked{"UDPSEND"};
    fs::create_directories(home);
    const float oldEdges[2] = {0.1f, 0.11f};
    const std::string oldBand(reinterpret_cast<const char*>(oldEdges), 8);
    const auto writeOld = [&] {
        std::ofstream(bandFile, std::ios::binary | std::ios::trunc).write(oldBand.data(), 8);
    };
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
        ASSERT_TRUE(band == oldBand || band == newBand)
            << "run " << run << ": " << band.size() << " bytes";
        (band == oldBand ? old : changed)++;
        for (const auto& entry : fs::directory_iterator(home)) {
            ASSERT_NE(entry.path().extension(), ".tmp")
                << "run " << run << " left " << entry.path().filename();
        }
        // The next station must not meet this one's role lock.
        ASSERT_TRUE(waitFor([] { return !plainStationRunning(); }, 5000ms));
    }
    running = false;
    changer.join();
    std::printf(
        "stop at any moment: %d runs (%d stopped twice), all exit 0; band file old %d, new %d\n",
        runs, twice, old, changed);
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
    ASSERT_TRUE(waitFor([&] { return fs::exists(recording) && fs::file_size(recording) > 20000; },
                        15000ms));
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
    EXPECT_GT(listener.audio(), long(0.8 * audioUnitsPerSecond * seconds))
        << "the relay stopped with the disk";
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
    const pid_t failing =
        startStation("server", {}, {"SELVANE_INPUT=" + (home / "missing.wav").string()});
    ASSERT_GT(failing, 0);
    EXPECT_EQ(programs.finish(failing, 15000), 1) << log("server");
}

TEST_F(Abuse, DecoderAndStationInAnUnwritableFolder) {
    const fs::path home = dir.path / "morvel";
    blockStationFiles(home);
    // The station started by morvel plays into a file it cannot create.
    const pid_t morvel = programs.start(
        CW_MORVEL_PATH, {{},
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
    EXPECT_TRUE(waitFor(
        [&] { return readFile(home / "log.txt").find(expected) != std::string::npos; }, 40000ms))
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
    ASSERT_TRUE(
        waitFor([&] { return fs::exists(recording) && fs::file_size(recording) > 44; }, 15000ms));
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
    const pid_t morvel = programs.start(
        CW_MORVEL_PATH, {{},
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
    EXPECT_NE(log("morvel").find("morvel: the station stopped (exit code 137)"), std::string::npos)
        << log("morvel");
}

} // namespace
