// The station pushing to a real Icecast server: the Debian icecast2 program,
// started here on a free loopback port with a configuration written into a
// temporary folder, and stopped at the end of each test. A listener fetches
// the mount over plain HTTP and decodes the Ogg Opus it gets with
// libopusfile. Skipped when icecast2 is not installed.

#include <gtest/gtest.h>

#include <opus/opusfile.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "program_harness.h"

namespace {

using namespace harness;

constexpr const char* goodPassword = "Fr0g-Pond";
constexpr const char* mount = "/cw.opus";

// The icecast2 program, or empty.
fs::path icecastProgram() {
    for (const char* candidate : {"/usr/bin/icecast2", "/usr/sbin/icecast2", "/usr/local/bin/icecast2"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// What a listener got: the HTTP status and the body's bytes.
struct Fetched {
    int status = 0;
    std::string body;
};

// GET `path` from 127.0.0.1:`port`, reading the body for at most `forMs`
// or until `maxBytes` have come.
Fetched httpGet(std::uint16_t port, const std::string& path, long forMs, std::size_t maxBytes = 1 << 20) {
    Fetched got;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return got;
    }
    timeval timeout{0, 100 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return got;
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return got;
    }
    std::string raw;
    const auto end = Clock::now() + std::chrono::milliseconds(forMs);
    char buffer[4096];
    while (Clock::now() < end && raw.size() < maxBytes) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            break;
        }
        if (n > 0) {
            raw.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    const std::size_t headerEnd = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/", 0) == 0 && raw.size() > 12) {
        got.status = std::atoi(raw.c_str() + 9);
    }
    if (headerEnd != std::string::npos) {
        got.body = raw.substr(headerEnd + 4);
    }
    return got;
}

bool mountUp(std::uint16_t port) { return httpGet(port, mount, 300, 1).status == 200; }

// Decoded Ogg Opus (48 kHz) brought to 8000 Hz by keeping every sixth
// sample: the stream carries nothing above 4 kHz.
std::vector<short> decodeAt8000(const std::string& ogg) {
    std::vector<short> out;
    int error = 0;
    OggOpusFile* file = op_open_memory(reinterpret_cast<const unsigned char*>(ogg.data()), ogg.size(), &error);
    if (file == nullptr) {
        return out;
    }
    std::vector<opus_int16> pcm(5760);
    long index = 0;
    for (;;) {
        const int n = op_read(file, pcm.data(), static_cast<int>(pcm.size()), nullptr);
        if (n == OP_HOLE) {
            continue; // a listener that joins mid-stream starts on a page boundary
        }
        if (n <= 0) {
            break;
        }
        for (int i = 0; i < n; ++i, ++index) {
            if (index % 6 == 0) {
                out.push_back(pcm[static_cast<std::size_t>(i)]);
            }
        }
    }
    op_free(file);
    return out;
}

double rms(const std::vector<short>& x) {
    double sum = 0;
    for (short v : x) {
        sum += double(v) * v;
    }
    return x.empty() ? 0 : std::sqrt(sum / double(x.size()));
}

// One Icecast server on a loopback port, with its files in `dir`.
class IcecastServer {
public:
    IcecastServer(const fs::path& program, const fs::path& dir, std::uint16_t port)
        : program_(program), dir_(dir), port_(port) {
        // The server drops root to nobody, which must still write its logs.
        ::chmod(dir.c_str(), 0777);
        std::ofstream config(dir / "icecast.xml");
        config << "<icecast><location>test</location><admin>none@localhost</admin><hostname>127.0.0.1</hostname>"
                  "<limits><clients>20</clients><sources>4</sources><queue-size>65536</queue-size>"
                  "<client-timeout>10</client-timeout><header-timeout>5</header-timeout>"
                  "<source-timeout>5</source-timeout><burst-on-connect>0</burst-on-connect>"
                  "<burst-size>0</burst-size></limits>"
                  "<authentication><source-password>"
               << goodPassword
               << "</source-password><admin-user>admin</admin-user><admin-password>not-used-here</admin-password>"
                  "</authentication>"
                  "<listen-socket><port>"
               << port << "</port><bind-address>127.0.0.1</bind-address></listen-socket>"
               << "<paths><basedir>" << dir.string() << "</basedir><logdir>" << dir.string()
               << "</logdir><pidfile>" << (dir / "icecast.pid").string()
               << "</pidfile></paths><logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
                  "<loglevel>3</loglevel></logging><security><chroot>0</chroot>";
        if (::geteuid() == 0) {
            config << "<changeowner><user>nobody</user><group>nogroup</group></changeowner>";
        }
        config << "</security></icecast>\n";
    }
    ~IcecastServer() { stop(); }

    // Starts the server and waits until it answers HTTP.
    bool start() {
        pid_ = programs_.start(program_.string(), {{"-c", (dir_ / "icecast.xml").string()}, {}, dir_,
                                                    dir_ / "icecast-output.txt"});
        return pid_ > 0 && waitFor([&] { return httpGet(port_, "/no-such-mount", 200, 1).status == 404; }, 5000ms);
    }
    // Kills the server at once, as a crash or a pulled cable would.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            programs_.finish(pid_, 5000);
            pid_ = -1;
        }
    }

private:
    fs::path program_;
    fs::path dir_;
    std::uint16_t port_;
    Programs programs_;
    pid_t pid_ = -1;
};

class IcecastPush : public ::testing::Test {
protected:
    void SetUp() override {
        program = icecastProgram();
        if (program.empty()) {
            GTEST_SKIP() << "icecast2 is not installed (Debian package icecast2); the push is not tested";
        }
        ASSERT_FALSE(dir.path.empty());
        ASSERT_FALSE(plainStationRunning()) << "another plain station runs on this machine";
        port = freePort();
        server = std::make_unique<IcecastServer>(program, dir.path, port);
        ASSERT_TRUE(server->start()) << readFile(dir.path / "icecast-output.txt") << readFile(dir.path / "error.log");
        input = dir.path / "in.wav";
        // The 2000 Hz tone is outside the station's default band (800 … 880 Hz).
        ASSERT_TRUE(writeTones(input, {840, 2000}, 30, 6000));
    }

    // A plain station pushing with `password`, at twice real time.
    pid_t startStation(const std::string& password) {
        const std::string url = "ICECAST=http://source:" + password + "@127.0.0.1:" + std::to_string(port) + mount;
        return stations.start(CW_SELVANE_PATH,
                              {{url, "ICECASTNAME=Test"},
                               {"SELVANE_INPUT=" + input.string(), "SELVANE_OUTPUT=" + (dir.path / "out.wav").string(),
                                "SELVANE_SPEED=2"},
                               dir.path / "station",
                               log()});
    }
    fs::path log() const { return dir.path / "station.txt"; }
    bool logHas(const std::string& text) const { return readFile(log()).find(text) != std::string::npos; }

    fs::path program;
    TempDir dir{"icecast-test"};
    std::uint16_t port = 0;
    std::unique_ptr<IcecastServer> server;
    fs::path input;
    Programs stations;
};

TEST_F(IcecastPush, AListenerHearsTheFilteredToneAndTheMountGoesWithTheStation) {
    const pid_t station = startStation(goodPassword);
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor([&] { return mountUp(port); }, 15000ms)) << readFile(log());

    const Fetched got = httpGet(port, mount, 3000);
    ASSERT_EQ(got.status, 200);
    ASSERT_EQ(got.body.substr(0, 4), "OggS");
    std::vector<short> heard = decodeAt8000(got.body);
    ASSERT_GT(heard.size(), 8000u) << "less than a second decoded from " << got.body.size() << " bytes";
    heard = tail(heard, double(heard.size()) / 8000 - 0.5); // past the decoder's start
    EXPECT_GT(toneShare(heard, 840), 0.8);
    EXPECT_LT(toneShare(heard, 2000), 0.01);

    ASSERT_EQ(stations.stop(station), 0);
    // At the level the station played it (within 2 dB).
    const double played = rms(tail(readWav(dir.path / "out.wav"), 3));
    ASSERT_GT(played, 1000);
    EXPECT_NEAR(20 * std::log10(rms(heard) / played), 0, 2) << "heard " << rms(heard) << ", played " << played;

    EXPECT_TRUE(waitFor([&] { return httpGet(port, mount, 300, 1).status == 404; }, 5000ms))
        << "the mount outlived the station";
    EXPECT_TRUE(logHas("Icecast 127.0.0.1:" + std::to_string(port) + mount + ": connected")) << readFile(log());
    EXPECT_FALSE(logHas(goodPassword)) << "the password was printed";
}

TEST_F(IcecastPush, TheStreamResumesWhenTheServerComesBack) {
    const pid_t station = startStation(goodPassword);
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor([&] { return mountUp(port); }, 15000ms)) << readFile(log());

    server->stop();
    ASSERT_TRUE(waitFor([&] { return logHas("reconnecting"); }, 5000ms)) << readFile(log());
    ASSERT_TRUE(server->start());
    // One attempt every 3 s: the mount is back well within 10 s.
    ASSERT_TRUE(waitFor([&] { return mountUp(port); }, 10000ms)) << readFile(log());
    const Fetched got = httpGet(port, mount, 1500);
    EXPECT_EQ(got.body.substr(0, 4), "OggS");
    EXPECT_GT(decodeAt8000(got.body).size(), 4000u) << "no audio after the reconnect";
    EXPECT_TRUE(Programs::running(station));
    EXPECT_EQ(stations.stop(station), 0);
}

TEST_F(IcecastPush, AWrongPasswordIsReportedAndTheStationKeepsRunning) {
    const pid_t station = startStation("wrong-one");
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor([&] { return logHas("refused: wrong user or password"); }, 15000ms)) << readFile(log());
    // Source logins the server has seen (each attempt may be a challenge
    // and an answer): no more come within the back-off.
    const auto logins = [&] {
        const std::string serverLog = readFile(dir.path / "access.log");
        std::size_t n = 0;
        for (std::size_t at = serverLog.find("\"SOURCE "); at != std::string::npos;
             at = serverLog.find("\"SOURCE ", at + 1)) {
            ++n;
        }
        return n;
    };
    const std::size_t loginsWhenRefused = logins();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(logins(), loginsWhenRefused) << readFile(dir.path / "access.log");
    EXPECT_TRUE(Programs::running(station));
    EXPECT_FALSE(mountUp(port));
    EXPECT_FALSE(logHas("wrong-one")) << "the password was printed";
    EXPECT_EQ(stations.stop(station), 0);
}

} // namespace
