// The station as a whole: the real program started headless with WAV-file
// devices in a temporary directory, and one run in this process for a
// picture of its window. Every station is stopped within a bound; the
// temporary directories and the processes are cleaned up.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "apps/version.h"
#include "link/datagrams.h"
#include "platform/audio_device.h"
#include "platform/cp1251.h"
#include "platform/gdi.h"
#include "platform/kernel.h"
#include "platform/platform.h"
#include "platform/png.h"
#include "platform/sockets.h"
#include "program_harness.h"
#include "station/shell/station.h"

namespace {

using namespace harness;
using namespace platform::literals;

// How long a station may take to come up, and to end after being told.
constexpr long stopBoundMs = 15000;
constexpr auto startBound = std::chrono::seconds(15);

// One started station; killed and reaped if the test leaves it running.
class StationProcess {
  public:
    // `output`: where standard output and error go; empty: inherited.
    StationProcess(const fs::path& dir, const std::string& argument, std::vector<std::string> environment,
                   const fs::path& output = {}) {
        std::vector<std::string> args;
        if (!argument.empty())
            args.push_back(argument);
        pid_ = programs_.start(CW_SELVANE_PATH, {args, std::move(environment), dir, output});
    }
    bool started() const { return pid_ > 0; }
    bool running() const { return Programs::running(pid_); }
    // The exit code, or -1 when it did not end within `timeoutMs`.
    int wait(long timeoutMs) { return programs_.finish(pid_, timeoutMs); }
    int terminate() { return programs_.stop(pid_, stopBoundMs); }

  private:
    Programs programs_;
    pid_t pid_ = -1;
};

// Waits until the plain station has claimed its role (it is then past the
// single-instance test), and a little more for its devices.
bool awaitPlainStation(StationProcess& station) {
    const auto deadline = Clock::now() + startBound;
    while (Clock::now() < deadline && station.running()) {
        if (plainStationRunning()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

struct Band {
    float low, high;
};

Band readBand(const fs::path& file) {
    const std::string bytes = readFile(file);
    Band band{-1, -1};
    if (bytes.size() == 8) {
        std::memcpy(&band.low, bytes.data(), 4);
        std::memcpy(&band.high, bytes.data() + 4, 4);
    }
    return band;
}

class StationProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_FALSE(plainStationRunning()) << "another plain station runs on this machine";
        input = dir.path / "in.wav";
        writeTones(input, {840}, 20, 6000);
    }
    std::vector<std::string> devices(double speed = 1) const {
        return {"SELVANE_INPUT=" + input.string(), "SELVANE_OUTPUT=" + (dir.path / "out.wav").string(),
                "SELVANE_SPEED=" + std::to_string(static_cast<int>(speed))};
    }

    TempDir dir{"selvane-test"};
    fs::path input;
};

TEST_F(StationProgram, StopsOnSigtermAndStoresTheBand) {
    struct Case {
        const char* name;
        bool withFile;
        Band stored, expected;
    };
    const Case cases[] = {
        {"no band file: the defaults", false, {}, {0.1f, 0.11f}},
        {"band file: kept", true, {0.2f, 0.25f}, {0.2f, 0.25f}},
    };
    for (const Case& c : cases) {
        const fs::path bandFile = dir.path / "f.###";
        fs::remove(bandFile);
        if (c.withFile) {
            std::ofstream(bandFile, std::ios::binary).write(reinterpret_cast<const char*>(&c.stored), sizeof c.stored);
        }
        StationProcess station(dir.path, "", devices(4));
        ASSERT_TRUE(station.started());
        ASSERT_TRUE(awaitPlainStation(station)) << c.name;
        // Long enough for audio to pass even in a sanitizer build.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(station.terminate(), 0) << c.name;
        ASSERT_EQ(fs::file_size(bandFile), 8u) << c.name;
        const Band band = readBand(bandFile);
        EXPECT_EQ(band.low, c.expected.low) << c.name;
        EXPECT_EQ(band.high, c.expected.high) << c.name;
        EXPECT_GT(fs::file_size(dir.path / "out.wav"), 44u) << c.name << ": nothing played";
    }
}

TEST_F(StationProgram, SecondStationOfTheRoleLeavesAtOnce) {
    StationProcess first(dir.path, "", devices());
    ASSERT_TRUE(awaitPlainStation(first));
    TempDir other{"selvane-test"};
    const auto begun = Clock::now();
    StationProcess second(other.path, "", devices());
    EXPECT_EQ(second.wait(10000), 0);
    EXPECT_LT(Clock::now() - begun, std::chrono::seconds(8));
    EXPECT_FALSE(fs::exists(other.path / "f.###")) << "the refused station stored a band";
    EXPECT_TRUE(first.running()) << "the first station was disturbed";
    EXPECT_EQ(first.terminate(), 0);
}

TEST_F(StationProgram, FailuresSayWhyAndInfoOptionsTouchNothing) {
    struct Case {
        const char* name;
        std::string argument;
        std::string inputFile;
        int exitCode;
        std::string output;      // expected on the terminal
        std::string errorFile;   // expected in "ErrorWav.txt"; empty: none written
        bool fileDevices = true; // false: sound cards only
    };
    const bool soundCards = platform::AudioSystem().playbackDeviceCount() > 0;
    const Case cases[] = {
        {"no sound device at all", "", "", 1, "selvane: no sound device here; on a machine without one",
         "Не удалось открыть устройство вывода звука!", false},
        {"unreadable capture file", "", "missing.wav", 1, "selvane: Не удалось открыть устройство ввода звука!\n",
         "Не удалось открыть устройство ввода звука!"},
        {"--help", "--help", "missing.wav", 0, "SELVANE_INPUT=path", ""},
        {"--version", "--version", "missing.wav", 0, "selvane " CW_VERSION "\n", ""},
    };
    for (const Case& c : cases) {
        if (!c.fileDevices && soundCards) {
            std::printf("skipped \"%s\": this machine has a sound card\n", c.name);
            continue;
        }
        fs::remove(dir.path / "ErrorWav.txt");
        fs::remove(dir.path / "out.wav");
        const fs::path output = dir.path / "terminal.txt";
        std::vector<std::string> environment;
        if (c.fileDevices) {
            environment = {"SELVANE_INPUT=" + (dir.path / c.inputFile).string(),
                           "SELVANE_OUTPUT=" + (dir.path / "out.wav").string()};
        }
        StationProcess station(dir.path, c.argument, environment, output);
        EXPECT_EQ(station.wait(stopBoundMs), c.exitCode) << c.name;
        EXPECT_NE(readFile(output).find(c.output), std::string::npos) << c.name << ": " << readFile(output);
        EXPECT_EQ(readFile(dir.path / "ErrorWav.txt"), platform::utf8ToCp1251(c.errorFile)) << c.name;
        EXPECT_FALSE(fs::exists(dir.path / "f.###")) << c.name;
        if (c.exitCode == 0) {
            EXPECT_FALSE(fs::exists(dir.path / "out.wav")) << c.name << ": a device was opened";
        }
    }
}

// Values no run can mean stop the station before it starts: exit code 2
// and one line on standard error that names the option.
TEST_F(StationProgram, OutOfRangeOptionsAreRefused) {
    const struct {
        const char* argument;
        const char* option;
    } cases[] = {{"SERVERPORT=65616", "SERVERPORT="},
                 {"CLIENTPORT=0", "CLIENTPORT="},
                 {"SERVER TIMECLOSE=-1", "TIMECLOSE="},
                 {"SERVER MAXCONNECT=21", "MAXCONNECT="}};
    for (const auto& c : cases) {
        Programs programs;
        const fs::path output = dir.path / "stderr.txt";
        const pid_t pid = programs.start(CW_SELVANE_PATH, {{c.argument}, devices(), dir.path, output});
        ASSERT_GT(pid, 0);
        EXPECT_EQ(programs.finish(pid, stopBoundMs), 2) << c.argument;
        const std::string text = readFile(output);
        EXPECT_NE(text.find(c.option), std::string::npos) << c.argument << ": " << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << c.argument << ": " << text;
    }
}

TEST_F(StationProgram, QuitDatagramStopsALinkedStation) {
    StationProcess station(dir.path, "UDPSEND", devices());
    ASSERT_TRUE(awaitPlainStation(station));
    const platform::Socket s = platform::createUdpSocket();
    locallink::ControlDatagram quit;
    quit.command = locallink::Quit;
    // One byte short: ignored.
    platform::sendTo(s, &quit, sizeof quit - 1, "127.0.0.1", locallink::stationPort);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(station.running()) << "a 19-byte datagram stopped the station";
    platform::sendTo(s, &quit, sizeof quit, "127.0.0.1", locallink::stationPort);
    platform::closeSocket(s);
    EXPECT_EQ(station.wait(stopBoundMs), 0);
    EXPECT_EQ(fs::file_size(dir.path / "f.###"), 8u);
}

TEST_F(StationProgram, SampleDatagramsReachTheDecoderPort) {
    const platform::Socket s = platform::createUdpSocket();
    ASSERT_TRUE(platform::setReuseAddr(s));
    ASSERT_TRUE(platform::bindSocket(s, platform::BindAddress::Any, locallink::decoderPort));
    platform::setNonBlocking(s, true);

    StationProcess station(dir.path, "UDPSEND", devices(4));
    int received = 0, keyed = 0;
    locallink::SampleDatagram d;
    const auto deadline = Clock::now() + startBound;
    while (received < 100 && Clock::now() < deadline) {
        const platform::IoResult r = platform::recvFrom(s, &d, sizeof d);
        if (!r.ok()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ASSERT_EQ(r.bytes, 660);
        ++received;
        EXPECT_EQ(d.kind, 0);
        EXPECT_EQ(d.blockBytes, 320);
        EXPECT_EQ(d.filterTaps, 256);
        EXPECT_EQ(d.bandwidthHz, 79);
        EXPECT_EQ(d.centreHz, 839);
        for (std::int16_t level : d.keyingLevel) {
            keyed += level > 80 ? 1 : 0;
        }
    }
    platform::closeSocket(s);
    EXPECT_EQ(received, 100) << "datagrams on port 16962";
    EXPECT_GT(keyed, 1000) << "a steady tone in the band should key the detector";
    EXPECT_EQ(station.terminate(), 0);
}

// The station in this process, fed two tones at 4× speed for a few
// seconds; its window's client area is kept as station_window.png.
TEST(StationWindow, ShowsTraceWaterfallMarkersAndHeader) {
    ASSERT_FALSE(plainStationRunning());
    TempDir dir{"selvane-test"};
    const fs::path input = dir.path / "two.wav";
    writeTones(input, {840, 1500}, 30, 5000);
    platform::Environment files;
    files.audio.inputFile = input.string();
    files.audio.outputFile = (dir.path / "out.wav").string();
    files.audio.fileSpeed = 4;

    int argc = 1;
    char arg0[] = "station_window";
    char* argv[] = {arg0, nullptr};
    platform::Platform platform(argc, argv, files);
    platform::Picture shot(1, 1);
    {
        station::Station station(platform, "", dir.path);
        std::jthread stopper([&platform] {
            std::this_thread::sleep_for(std::chrono::milliseconds(3000));
            platform.postQuit(0);
        });
        EXPECT_EQ(station.run(), 0);
        ASSERT_TRUE(platform.readClientArea(station.mainWindow(), shot));
    }
    const std::string png = CW_TEST_OUTPUT_DIR "/station_window.png";
    EXPECT_TRUE(platform::savePng(shot, png)) << png;
    EXPECT_EQ(readBand(dir.path / "f.###").low, 0.1f);

    const platform::Colour yellow = platform::rgb(200, 200, 0);
    const platform::Colour red = platform::rgb(255, 0, 0);
    const platform::Colour text = platform::rgb(0, 125, 0);
    // Band edges at 800 and 880 Hz: columns 102 and 112, down into the waterfall.
    EXPECT_EQ(shot.pixel(102, 150), yellow);
    EXPECT_EQ(shot.pixel(112, 150), yellow);
    EXPECT_EQ(shot.pixel(102, 25), yellow) << "lower marker handle";
    // The trace rises above row 69 at both tones (840 Hz ≈ column 107,
    // 1500 Hz = column 192) and stays near the floor between them.
    auto peak = [&](int x0, int x1) {
        int top = 69;
        for (int x = x0; x <= x1; ++x) {
            for (int y = 16; y < 69; ++y) {
                if (shot.pixel(x, y) == red) {
                    top = std::min(top, y);
                }
            }
        }
        return 69 - top; // pixels above the floor
    };
    EXPECT_GT(peak(104, 110), 30) << "no trace peak at 840 Hz";
    EXPECT_GT(peak(189, 195), 30) << "no trace peak at 1500 Hz";
    EXPECT_LT(peak(300, 400), 15) << "trace high where there is no tone";
    // Waterfall: strong (red) at the tones, dark blue where there is none.
    const platform::Colour loud = shot.pixel(192, 120);
    EXPECT_TRUE((loud & 0xFFFF) == 0 && (loud >> 16) >= 173) << "waterfall at 1500 Hz is not red: " << loud;
    const platform::Colour quiet = shot.pixel(350, 120);
    EXPECT_GT(quiet & 0xFF, (quiet >> 16) & 0xFF) << "waterfall away from the tones is not the blue ramp";
    // Header text in green from column 123.
    int green = 0;
    for (int y = 0; y < 16; ++y) {
        for (int x = 123; x < 480; ++x) {
            green += shot.pixel(x, y) == text ? 1 : 0;
        }
    }
    EXPECT_GT(green, 30) << "no header text";
    // Every client pixel belongs to the picture: none is left white (the
    // window's background) below the presented rows.
    int white = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            white += shot.pixel(x, y) == platform::rgb(255, 255, 255) ? 1 : 0;
        }
    }
    EXPECT_EQ(white, 0) << "unpainted pixels in a " << shot.width() << " x " << shot.height() << " client area";
}

} // namespace
