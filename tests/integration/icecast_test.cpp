// The station pushing to a real Icecast server: the Debian icecast2 program,
// started here on a free loopback port with a configuration written into a
// temporary folder, and stopped at the end of each test. A listener fetches
// the mount over plain HTTP and decodes the Ogg Opus it gets with
// libopusfile. Skipped when icecast2 is not installed.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "icecast_server.h"
#include "platform/kernel.h"
#include "program_harness.h"

namespace {

using namespace harness;

constexpr const char* goodPassword = "Fr0g-Pond";
constexpr const char* mount = "/cw.opus";

// The station's roles, by the window class that keeps a second one out.
struct Role {
    const char* keywords; // on the command line
    const char* windowClass;
};
constexpr Role plainRole{"", "Tarnello"};
constexpr Role serverRole{"SERVER", "FiltrServer"};
constexpr Role clientRole{"CLIENT", "FiltrClient"};

bool roleTaken(const Role& role) {
    platform::InstanceLock probe;
    return !probe.acquire(std::string("station-role-") + role.windowClass);
}

bool mountUp(std::uint16_t port) { return httpGet(port, mount, 300, 1).status == 200; }

double rms(const std::vector<short>& x) {
    double sum = 0;
    for (short v : x) {
        sum += double(v) * v;
    }
    return x.empty() ? 0 : std::sqrt(sum / double(x.size()));
}

class IcecastPush : public ::testing::Test {
  protected:
    void SetUp() override {
        program = icecastProgram();
        if (program.empty()) {
            GTEST_SKIP() << "icecast2 is not installed (Debian package icecast2); the push is not tested";
        }
        ASSERT_FALSE(dir.path.empty());
        port = freePort();
        icecast = std::make_unique<IcecastServer>(program, dir.path, port, goodPassword);
        ASSERT_TRUE(icecast->start()) << readFile(dir.path / "icecast-output.txt") << readFile(dir.path / "error.log");
        input = dir.path / "in.wav";
        // The 2000 Hz tone is outside the station's default band (800 … 880 Hz).
        ASSERT_TRUE(writeTones(input, {840, 2000}, 30, 6000));
    }

    // A station in `role` pushing with `password`, at twice real time; -1
    // when another station holds the role for longer than a moment.
    pid_t startStation(const std::string& password, const Role& role) {
        if (!waitFor([&] { return !roleTaken(role); }, 20000ms)) {
            ADD_FAILURE() << "another station in the role \"" << role.keywords << "\" runs on this machine";
            return -1;
        }
        const std::string url = "ICECAST=http://source:" + password + "@127.0.0.1:" + std::to_string(port) + mount;
        std::vector<std::string> args{url, "ICECASTNAME=Test"};
        if (*role.keywords != '\0') {
            args.push_back(role.keywords);
            // A relay port of its own, so no other station's is in the way.
            args.push_back(std::string(role.keywords) + "PORT=" + std::to_string(freePort()));
        }
        return stations.start(CW_SELVANE_PATH,
                              {args,
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
    std::unique_ptr<IcecastServer> icecast;
    fs::path input;
    Programs stations;
};

TEST_F(IcecastPush, AListenerHearsTheFilteredToneAndTheMountGoesWithTheStation) {
    const pid_t station = startStation(goodPassword, plainRole); // the push alone
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor([&] { return mountUp(port); }, 15000ms)) << readFile(log());

    const Fetched got = httpGet(port, mount, 3000);
    ASSERT_EQ(got.status, 200);
    ASSERT_EQ(got.body.substr(0, 4), "OggS");
    std::vector<short> heard = decodeOggOpusAt8000(got.body);
    ASSERT_GT(heard.size(), 8000u) << "less than a second decoded from " << got.body.size() << " bytes";
    heard = tail(heard, double(heard.size()) / 8000 - 0.5); // past the decoder's start
    EXPECT_GT(toneShare(heard, 840), 0.8);
    EXPECT_LT(toneShare(heard, 2000), 0.01);

    ASSERT_EQ(stations.stop(station), 0) << readFile(log());
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
    const pid_t station = startStation(goodPassword, serverRole);
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor([&] { return mountUp(port); }, 15000ms)) << readFile(log());

    icecast->stop();
    ASSERT_TRUE(waitFor([&] { return logHas("reconnecting"); }, 5000ms)) << readFile(log());
    ASSERT_TRUE(icecast->start());
    // One attempt every 3 s: the mount is back well within 10 s.
    ASSERT_TRUE(waitFor([&] { return mountUp(port); }, 10000ms)) << readFile(log());
    const Fetched got = httpGet(port, mount, 1500);
    EXPECT_EQ(got.body.substr(0, 4), "OggS");
    EXPECT_GT(decodeOggOpusAt8000(got.body).size(), 4000u) << "no audio after the reconnect";
    EXPECT_TRUE(Programs::running(station));
    EXPECT_EQ(stations.stop(station), 0) << readFile(log());
}

TEST_F(IcecastPush, AWrongPasswordIsReportedAndTheStationKeepsRunning) {
    // A client whose relay server is away plays nothing; the push runs all the same.
    const pid_t station = startStation("wrong-one", clientRole);
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
    EXPECT_EQ(stations.stop(station), 0) << readFile(log());
}

} // namespace
