// The station on a real sound path: PortAudio → ALSA's pulse plug-in → a
// private PulseAudio (sound_server.h) whose null sinks stand in for the
// receiver and two speakers. Sound is played into the receiver with paplay;
// one recording holds, sample-aligned, the receiver and both speakers.
// Skipped where PulseAudio or its tools are missing.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "link/datagrams.h"
#include "platform/resources.h"
#include "platform/sockets.h"
#include "program_harness.h"
#include "sound_server.h"
#include "station/resources/station_resources.h"
#include "station/shell/tray.h"

namespace {

using namespace harness;

constexpr double rate = 8000;
constexpr double passHz = 840;  // inside the station's default band, 800 … 880 Hz
constexpr double stopHz = 2000; // far outside it
// The default 256-tap filter's group delay: (256 − 1) / 2 samples.
constexpr double groupDelayMs = 127.5 / rate * 1000;
// How much later than that a click may come out of the speaker, ms.
constexpr double clickBudgetMs = 60;

std::size_t at(double seconds) { return std::size_t(seconds * rate); }

// The desktop the device menus are built for: the station's menu resources,
// nothing shown.
struct MenuDesktop : station::TrayDesktop {
    MenuDesktop() { station::registerStationResources(resources); }
    bool notifyIcon(platform::TrayAction, const platform::TrayIcon&) override { return false; }
    std::optional<platform::MenuDescription> findMenu(std::string_view name) const override {
        return resources.findMenu(name);
    }
    void setForeground(platform::WindowHandle) override {}
    void cursorPos(int& x, int& y) override { x = y = 0; }
    int trackPopupMenu(platform::WindowHandle, const platform::MenuDescription&, int, int) override { return 0; }
    platform::Resources resources;
};

// The item texts of a device menu, the default-device item first.
std::vector<std::string> itemTexts(const std::optional<platform::MenuDescription>& menu) {
    std::vector<std::string> texts;
    if (menu)
        for (const platform::MenuItem& item : menu->items)
            texts.push_back(item.textCp1251);
    return texts;
}

class SoundPath : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string missing = SoundServer::missingTools(); !missing.empty())
            GTEST_SKIP() << "no sound server for the real sound path: " << missing;
        ASSERT_FALSE(home.path.empty());
        server = std::make_unique<SoundServer>(home.path);
        ASSERT_EQ(server->failure(), "");
        // The sanitizer presets hide ALSA's plug-ins (ALSA_PLUGIN_DIR), the
        // pulse one too: PortAudio then sees none of the server's devices.
        if (const std::vector<std::string> input = deviceMenus()[0];
            std::find(input.begin(), input.end(), "receiver") == input.end())
            GTEST_SKIP() << "ALSA's pulse plug-in is not loaded (ALSA_PLUGIN_DIR="
                         << (std::getenv("ALSA_PLUGIN_DIR") ? std::getenv("ALSA_PLUGIN_DIR") : "its default")
                         << "): no device of the sound server to test";
        // The server's own streams: the sinks' on the meter.
        sinkInputs = server->count("sink-inputs");
        ASSERT_GE(sinkInputs, 0);
    }

    // A headless station with no file devices, ready once its streams are
    // open at the server (which is what a recording must wait for).
    pid_t startStation(std::vector<std::string> environment, const std::vector<std::string>& args = {}) {
        if (!waitFor([] { return !plainStationRunning(); }, 20000ms)) {
            ADD_FAILURE() << "another plain station runs on this machine";
            return -1;
        }
        const std::vector<std::string> own = server->environment();
        environment.insert(environment.end(), own.begin(), own.end());
        const pid_t pid =
            programs.start(CW_SELVANE_PATH, {args, environment, home.path / "station", home.path / "station.log"});
        if (pid > 0 &&
            !waitFor(
                [&] { return server->count("sink-inputs") == sinkInputs + 1 && server->count("source-outputs") == 1; },
                15000ms)) {
            ADD_FAILURE() << "the station's streams did not open: " << readFile(home.path / "station.log");
            return -1;
        }
        return pid;
    }

    // Records while `wav` plays into the receiver, then a little longer;
    // the recording, split into channels.
    std::vector<std::vector<short>> playAndRecord(const fs::path& wav, double tailSeconds = 0.5,
                                                  const std::function<void()>& whilePlaying = {}) {
        const fs::path recording = home.path / "meter.wav";
        auto recorder = server->record(recording);
        std::this_thread::sleep_for(300ms); // the recording runs before the sound starts
        auto player = server->play(wav);
        if (whilePlaying)
            whilePlaying();
        EXPECT_EQ(player->wait(30000), 0) << "paplay";
        std::this_thread::sleep_for(std::chrono::duration<double>(tailSeconds));
        recorder->stop();
        return split(readWav(recording));
    }

    static std::vector<std::vector<short>> split(const std::vector<short>& interleaved) {
        std::vector<std::vector<short>> channels;
        for (int c = 0; c < SoundServer::channels; ++c)
            channels.push_back(channelOf(interleaved, SoundServer::channels, c));
        return channels;
    }

    // The input and output menus as the station builds them from the same
    // device list.
    std::array<std::vector<std::string>, 2> deviceMenus() {
        server->exportEnvironment();
        platform::AudioSystem system;
        const station::AudioSystemDevices devices(system);
        return {itemTexts(station::inputDeviceMenu(desktop, devices)),
                itemTexts(station::outputDeviceMenu(desktop, devices))};
    }

    TempDir home{"cw-sound"};
    std::unique_ptr<SoundServer> server;
    int sinkInputs = 0;
    Programs programs;
    MenuDesktop desktop;
};

// First sample from `from` on whose 10 ms neighbourhood is louder than
// `level` (RMS); x.size() when none is.
// First place where `x` holds an RMS above `level` for `seconds`.
std::size_t onset(const std::vector<short>& x, double level, std::size_t from = 0, double seconds = 0.01) {
    for (std::size_t i = from; i + at(seconds) <= x.size(); i += at(0.005))
        if (rms(x, i, i + at(seconds)) > level)
            return i;
    return x.size();
}

// RMS of the part of `x` at `hz`.
double toneLevel(const std::vector<short>& x, double hz) { return std::sqrt(toneShare(x, hz)) * rms(x, 0, x.size()); }

TEST_F(SoundPath, RecordingPlayedIntoTheReceiverComesOutOfTheSpeakerFiltered) {
    const fs::path input = home.path / "two.wav";
    ASSERT_TRUE(writeTones(input, {passHz, stopHz}, 4, 6000));
    const pid_t station = startStation({});
    ASSERT_GT(station, 0);
    const auto channels = playAndRecord(input);
    EXPECT_EQ(programs.stop(station), 0);

    const auto& in = channels[SoundServer::receiverChannel];
    const std::size_t start = onset(in, 1000);
    ASSERT_LT(start + at(3.2), in.size()) << "the receiver's recording lacks the tones";
    // Two seconds well inside the tones, after the filter has settled.
    const std::vector<short> heard(channels[SoundServer::speakerChannel].begin() + std::ptrdiff_t(start + at(1.2)),
                                   channels[SoundServer::speakerChannel].begin() + std::ptrdiff_t(start + at(3.2)));
    const std::vector<short> sent(in.begin() + std::ptrdiff_t(start + at(1.2)),
                                  in.begin() + std::ptrdiff_t(start + at(3.2)));
    // Measured in quarter seconds and judged by the median: the tone's
    // level is measured coherently, so a skip in either recording (the
    // machine holding up a recorder, or the playback trimming the delay a
    // stall left) would spoil a measure over the whole two seconds; here
    // it spoils one quarter, and the profile shows it.
    std::vector<double> gains, rejectionsDb;
    std::string profile;
    for (std::size_t from = 0; from + at(0.25) <= heard.size(); from += at(0.25)) {
        const auto slice = [&](const std::vector<short>& x) {
            return std::vector<short>(x.begin() + std::ptrdiff_t(from), x.begin() + std::ptrdiff_t(from + at(0.25)));
        };
        const std::vector<short> h = slice(heard);
        gains.push_back(toneLevel(h, passHz) / toneLevel(slice(sent), passHz));
        rejectionsDb.push_back(
            10 * std::log10(std::max(toneShare(h, stopHz), 1e-12) / std::max(toneShare(h, passHz), 1e-12)));
        profile += " " + std::to_string(gains.back()).substr(0, 4);
    }
    std::sort(gains.begin(), gains.end());
    std::sort(rejectionsDb.begin(), rejectionsDb.end());
    const double passGain = gains[gains.size() / 2];
    const double rejectionDb = rejectionsDb[rejectionsDb.size() / 2];
    std::printf("real sound path: %.0f Hz at %.2f of its level, %.0f Hz %.1f dB below it (medians of 8 quarter "
                "seconds)\n",
                passHz, passGain, stopHz, -rejectionDb);
    EXPECT_GT(passGain, 0.7) << "the pass-band tone did not come through; gain by quarter second:" << profile << "\n"
                             << readFile(home.path / "station.log");
    EXPECT_LT(passGain, 1.3) << "gain by quarter second:" << profile;
    EXPECT_LT(rejectionDb, -40) << "the stop-band tone was not filtered out";
    EXPECT_LT(rms(channels[SoundServer::speaker2Channel], 0, SIZE_MAX), 30) << "sound on the other speaker";
}

// Clicks, each a 5 ms burst of the pass-band tone, 607 ms apart (so each
// meets the station's 20 ms blocks at another phase), the first at 0.2 s.
std::vector<short> clicks(int count) {
    std::vector<short> x(at(0.6 + 0.607 * count));
    for (int k = 0; k < count; ++k)
        for (std::size_t i = 0; i < at(0.005); ++i)
            x[at(0.2 + 0.607 * k) + i] = short(20000 * std::sin(2 * std::numbers::pi * passHz * double(i) / rate));
    return x;
}

// Each click of the receiver's recording, found again in the speaker's by
// cross-correlation (the peak of the filter's response is one group delay
// late): how much later than the filter's delay each came out, ms.
std::vector<double> clickDelaysMs(const std::vector<short>& in, const std::vector<short>& out) {
    std::vector<double> delays;
    for (std::size_t from = 0;;) {
        const std::size_t click = onset(in, 500, from);
        if (click >= in.size())
            break;
        from = click + at(0.3);
        std::size_t best = 0;
        double bestValue = 0;
        for (std::size_t lag = 0; lag < at(0.4) && click + lag + at(0.03) < out.size(); ++lag) {
            double sum = 0;
            for (std::size_t i = 0; i < at(0.03); ++i)
                sum += double(in[click + i]) * double(out[click + lag + i]);
            if (std::abs(sum) > bestValue) {
                bestValue = std::abs(sum);
                best = lag;
            }
        }
        delays.push_back(double(best) / rate * 1000 - groupDelayMs);
    }
    return delays;
}

TEST_F(SoundPath, AClickComesOutWithinSixtyMillisecondsOfTheFiltersDelay) {
    const fs::path input = home.path / "clicks.wav";
    ASSERT_TRUE(writeWav(input, clicks(5)));
    const pid_t station = startStation({});
    ASSERT_GT(station, 0);
    const auto channels = playAndRecord(input);
    EXPECT_EQ(programs.stop(station), 0);

    std::vector<double> latencyMs =
        clickDelaysMs(channels[SoundServer::receiverChannel], channels[SoundServer::speakerChannel]);
    ASSERT_EQ(latencyMs.size(), 5u) << "clicks found in the receiver's recording";
    std::sort(latencyMs.begin(), latencyMs.end());
    std::printf("real sound path: a click comes out %.1f ms (median; %.1f … %.1f) after the filter's %.1f ms\n",
                latencyMs[2], latencyMs.front(), latencyMs.back(), groupDelayMs);
    EXPECT_GE(latencyMs.front(), 0);
    EXPECT_LE(latencyMs.back(), clickBudgetMs);
}

// The station stopped for 150 ms while it plays (as a busy machine may stop
// it): what the receiver sent meanwhile then arrives at once, and the
// speaker's sound would stay that much later for good. The stall comes 2 s
// after the player starts, which is inside the sound here (the sound takes
// up to 1.4 s to reach the station); the last three clicks, 3.7 s and more
// after it, come out as early as ever, give or take the 10 ms the playback
// tolerates before it trims. Their median is judged, so that one click a
// later hold-up of the machine delays does not count.
TEST_F(SoundPath, AStallLeavesNoLastingDelay) {
    constexpr int count = 14;
    const fs::path input = home.path / "clicks.wav";
    ASSERT_TRUE(writeWav(input, clicks(count)));
    const pid_t station = startStation({});
    ASSERT_GT(station, 0);
    const auto channels = playAndRecord(input, 0.5, [&] {
        std::this_thread::sleep_for(2000ms);
        ::kill(station, SIGSTOP);
        std::this_thread::sleep_for(150ms);
        ::kill(station, SIGCONT);
    });
    EXPECT_EQ(programs.stop(station), 0);

    const auto delays = clickDelaysMs(channels[SoundServer::receiverChannel], channels[SoundServer::speakerChannel]);
    ASSERT_EQ(delays.size(), std::size_t(count)) << "clicks found in the receiver's recording";
    std::string seen;
    for (const double delay : delays)
        seen += " " + std::to_string(int(std::lround(delay)));
    std::printf("real sound path: clicks came out (ms beyond the filter's delay, a 150 ms stall 2 s after the "
                "player started):%s\n",
                seen.c_str());
    std::vector<double> last(delays.end() - 3, delays.end());
    std::sort(last.begin(), last.end());
    const double before = *std::max_element(delays.begin(), delays.end() - 3);
    if (before <= clickBudgetMs)
        GTEST_SKIP() << "the stall did not delay the sound (it came before the sound reached the station):" << seen;
    EXPECT_LE(last[1], clickBudgetMs + 10) << "the delay a stall left did not go:" << seen;
}

TEST_F(SoundPath, DeviceMenusListTheServersDevicesByName) {
    const auto [input, output] = deviceMenus();
    for (const char* name : {"receiver", "default"})
        EXPECT_NE(std::find(input.begin(), input.end(), name), input.end()) << name << " missing from the input menu";
    for (const char* name : {"speaker", "speaker2", "default"})
        EXPECT_NE(std::find(output.begin(), output.end(), name), output.end())
            << name << " missing from the output menu";
}

// The output menu as a user works it, while the station plays: the station
// on an X server (Xvfb), a right click in the right half of its display,
// the arrow keys down to the other speaker, Return (xdotool). The click
// comes once the first speaker has sounded for a while: how long the station
// takes to start playing varies with the machine's load (a choice made
// before it played left no sound on the first speaker to compare with).
TEST_F(SoundPath, ChoosingTheOtherSpeakerFromTheMenuMovesTheSoundWhileItPlays) {
    for (const char* tool : {"Xvfb", "xdotool"})
        if (!fs::exists(fs::path("/usr/bin") / tool))
            GTEST_SKIP() << tool << " is not installed (Debian: xvfb, xdotool): no X server to click in";
    const std::vector<std::string> menu = deviceMenus()[1];
    const auto item = std::find(menu.begin(), menu.end(), "speaker2");
    ASSERT_NE(item, menu.end());
    int display = 90;
    while (display < 140 && (fs::exists("/tmp/.X" + std::to_string(display) + "-lock") ||
                             fs::exists("/tmp/.X11-unix/X" + std::to_string(display))))
        ++display;
    const std::string x = ":" + std::to_string(display);
    Tool xserver({"Xvfb", x, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {});
    ASSERT_TRUE(waitFor([&] { return fs::exists("/tmp/.X11-unix/X" + std::to_string(display)); }, 10000ms))
        << "Xvfb did not start on " << x;
    const std::vector<std::string> desktop{"DISPLAY=" + x, "QT_QPA_PLATFORM=xcb"};
    const auto xdotool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        Tool tool(args, desktop, (home.path / "xdotool.out").string());
        return tool.started() && tool.wait(5000) == 0;
    };
    const fs::path input = home.path / "tone.wav";
    ASSERT_TRUE(writeTones(input, {passHz}, 6, 6000));
    const pid_t station = startStation(desktop);
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor(
        [&] {
            return xdotool({"search", "--onlyvisible", "--name", "CW"});
        },
        10000ms))
        << "no station window: " << readFile(home.path / "station.log");
    const std::string found = readFile(home.path / "xdotool.out");
    const std::string window = found.substr(0, found.find('\n'));

    const fs::path recording = home.path / "meter.wav";
    auto recorder = server->record(recording);
    auto player = server->play(input);
    std::this_thread::sleep_for(2500ms);
    ASSERT_TRUE(xdotool({"mousemove", "--window", window, "400", "100", "click", "3"}));
    std::this_thread::sleep_for(500ms); // the popup opens
    std::vector<std::string> keys{"key", "--delay", "50"};
    keys.insert(keys.end(), std::size_t(item - menu.begin()) + 1, "Down"); // the first Down selects the first item
    keys.push_back("Return");
    ASSERT_TRUE(xdotool(keys));
    EXPECT_EQ(player->wait(10000), 0);
    recorder->stop();
    EXPECT_EQ(programs.stop(station), 0);

    const auto channels = split(readWav(recording));
    const auto& spk = channels[SoundServer::speakerChannel];
    const auto& spk2 = channels[SoundServer::speaker2Channel];
    // Sustained sound (100 ms): a speaker's stream may click once when the
    // station lists or opens the devices.
    const std::size_t first = onset(spk, 1000, 0, 0.1);
    const std::size_t second = onset(spk2, 1000, 0, 0.1);
    ASSERT_LT(first, spk.size()) << "no sound on the speaker";
    ASSERT_LT(second, spk2.size()) << "the sound did not move to the other speaker";
    EXPECT_GT(second, first + at(0.2)) << "the other speaker played before it was chosen";
    EXPECT_LT(rms(spk, second + at(0.3), second + at(1.5)), 30) << "the first speaker still plays";
    EXPECT_GT(rms(spk2, second + at(0.3), second + at(1.5)), 1000) << "the other speaker went quiet";
}

// A card pulled out while the station uses it (its sink unloaded, and its
// streams not moved anywhere): the speaker the station plays on, or the
// receiver whose monitor it records. No fatal stop and no hang: the station
// plays on into nothing, or waits for sound that no longer comes, and still
// stops at once, normally, when asked.
TEST_F(SoundPath, ACardPulledOutLeavesAStationThatStops) {
    const struct {
        std::string sink;
        std::string choice; // the station's device of that direction, by name
    } cases[] = {{"spk2", "SELVANE_OUTPUT_DEVICE=speaker2"}, {"rx", "SELVANE_INPUT_DEVICE=receiver"}};
    const fs::path input = home.path / "tone.wav";
    ASSERT_TRUE(writeTones(input, {passHz}, 3, 6000));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sink);
        sinkInputs = server->count("sink-inputs");
        const pid_t station = startStation({c.choice});
        ASSERT_GT(station, 0);
        auto player = server->play(input);
        std::this_thread::sleep_for(1000ms);
        ASSERT_TRUE(server->unloadSink(c.sink));
        std::this_thread::sleep_for(1000ms);
        EXPECT_TRUE(Programs::running(station)) << readFile(home.path / "station.log");
        const auto stopping = Clock::now();
        EXPECT_EQ(programs.stop(station, 5000), 0) << readFile(home.path / "station.log");
        EXPECT_LT(secondsSince(stopping), 3);
        EXPECT_FALSE(fs::exists(home.path / "station" / "ErrorWav.txt")) << "a fatal stop";
    }
}

// The station's audio path in this process, on the server's default
// devices, for a few seconds of steady sound once it plays: no gap, no
// underflow, no overflow, unless the machine itself stopped the process for
// longer than the card's buffer can bridge (each such stall may cost the
// card a buffer and the playback a gap). The first two seconds are left
// out: a playback stream may gap there while its cushion grows to what the
// machine needs. The 60 s figure is the benchmark's (bench/sound_server_bench).
TEST_F(SoundPath, SteadyPlayLosesNothing) {
    const fs::path input = home.path / "tone.wav";
    ASSERT_TRUE(writeTones(input, {passHz}, 8, 6000));
    server->exportEnvironment();
    CardStation station(home.path);
    auto player = server->play(input);
    ASSERT_TRUE(station.open());
    for (int i = 0; i < 100 && station.blocksPlayed() == 0; ++i)
        station.pump(50ms); // until the receiver delivers
    station.pump(2000ms);
    const platform::AudioSystem::CardTrouble before = station.trouble();
    const std::uint64_t blocks = station.blocksPlayed();
    std::uint64_t stalls = 0;
    {
        const StallCounter machine(CardStation::cardBufferMs);
        station.pump(5000ms);
        stalls = machine.stalls();
        std::printf("real sound path: the machine held a processor up %llu times by more than %.0f ms "
                    "(at worst %.1f ms)\n",
                    static_cast<unsigned long long>(stalls), CardStation::cardBufferMs, machine.worstMs());
    }
    const platform::AudioSystem::CardTrouble after = station.trouble();
    const std::uint64_t gaps = after.playbackGaps - before.playbackGaps;
    const std::uint64_t lost =
        (after.outputUnderflows - before.outputUnderflows) + (after.inputOverflows - before.inputOverflows);
    const std::uint64_t trims = after.latencyTrims - before.latencyTrims;
    std::printf("real sound path: %llu blocks played in 5 s; %llu gaps, %llu underflows, %llu overflows, %llu "
                "latency trims\n",
                static_cast<unsigned long long>(station.blocksPlayed() - blocks), static_cast<unsigned long long>(gaps),
                static_cast<unsigned long long>(after.outputUnderflows - before.outputUnderflows),
                static_cast<unsigned long long>(after.inputOverflows - before.inputOverflows),
                static_cast<unsigned long long>(trims));
    EXPECT_GT(station.blocksPlayed() - blocks, 200u) << "the path did not play";
    EXPECT_LE(gaps, stalls) << "the playback ran dry on a machine that kept up";
    EXPECT_LE(lost, stalls) << "the cards lost sound on a machine that kept up";
    EXPECT_LE(trims, stalls) << "the playback skipped sound on a machine that kept up";
    // The count is live: the end of the sound is one gap.
    station.closeCapture();
    station.pump(300ms);
    EXPECT_EQ(station.trouble().playbackGaps, after.playbackGaps + 1);
}

} // namespace
