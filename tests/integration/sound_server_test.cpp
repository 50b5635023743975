// The station on a real sound path: PortAudio → ALSA's pulse plugin → a
// private PulseAudio with two null sinks, "rx" (the receiver; its monitor is
// the default source) and "spk" (the speaker, the default sink). A recording
// played into "rx" must come out of "spk" through the band filter. Skipped
// where PulseAudio or its tools are missing. Everything runs under one
// temporary directory (the server's runtime directory and the programs'
// home), and every process is stopped and reaped.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "program_harness.h"

namespace {

using namespace harness;

constexpr double passHz = 840;  // inside the station's default band, 800 … 880 Hz
constexpr double stopHz = 2000; // far outside it

bool installed(const char* program) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        if (fs::exists(fs::path(dir) / program)) return true;
    }
    return false;
}

// A process of the sound tools: started without held stop signals (they
// handle SIGTERM themselves and then finish their files), always reaped.
class Tool {
  public:
    Tool(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
        pid_ = platform::spawnProcess("/usr/bin/" + argv.front(), argv, environment);
    }
    ~Tool() { stop(); }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
    bool started() const { return pid_ > 0; }
    // Exit code once it ended within `timeoutMs`, else -1.
    int wait(long timeoutMs) {
        const int code = platform::waitProcess(pid_, timeoutMs);
        if (code >= 0) pid_ = -1;
        return code;
    }
    int stop() {
        if (pid_ <= 0) return 0;
        platform::terminateProcess(pid_);
        const int code = platform::waitProcess(pid_, 5000);
        if (code < 0) {
            ::kill(pid_, SIGKILL);
            platform::waitProcess(pid_, 5000);
        }
        pid_ = -1;
        return code;
    }

  private:
    pid_t pid_ = -1;
};

class SoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"pulseaudio", "pactl", "paplay", "parecord"}) {
            if (!installed(tool)) GTEST_SKIP() << tool << " is not installed (pulseaudio, pulseaudio-utils)";
        }
        ASSERT_FALSE(home.path.empty());
        ASSERT_FALSE(plainStationRunning()) << "another plain station runs on this machine";
        // Run as root the server needs -n and its modules named; it is as
        // happy with them as any other user.
        server = std::make_unique<Tool>(
            std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                     "--use-pid-file=no", "--load=module-native-protocol-unix auth-anonymous=1",
                                     "--load=module-null-sink sink_name=rx", "--load=module-null-sink sink_name=spk"},
            environment());
        ASSERT_TRUE(server->started());
        ASSERT_TRUE(waitFor([&] { return fs::exists(home.path / "pulse" / "native"); }, 10000ms))
            << "the sound server did not start";
        for (const auto& [verb, name] : {std::pair{"set-default-source", "rx.monitor"}, {"set-default-sink", "spk"}}) {
            Tool pactl({"pactl", verb, name}, environment());
            ASSERT_EQ(pactl.wait(5000), 0) << "pactl " << verb;
        }
        // ALSA's default device is the sound server, for this home only.
        std::ofstream(home.path / ".asoundrc") << "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
    }

    // What every program here runs with: the private server, found through
    // its runtime directory, and a home of its own.
    std::vector<std::string> environment() const {
        return {"XDG_RUNTIME_DIR=" + home.path.string(), "HOME=" + home.path.string(),
                "PULSE_SERVER=unix:" + (home.path / "pulse" / "native").string()};
    }

    TempDir home{"cw-sound"};
    std::unique_ptr<Tool> server;
    Programs programs;
};

TEST_F(SoundServer, RecordingPlayedIntoTheReceiverComesOutOfTheSpeakerFiltered) {
    const fs::path input = home.path / "two.wav";
    const fs::path output = home.path / "spk.wav";
    ASSERT_TRUE(writeTones(input, {passHz, stopHz}, 5, 6000));
    const pid_t station = programs.start(CW_SELVANE_PATH, {{}, environment(), home.path / "station", {}});
    ASSERT_GT(station, 0);
    ASSERT_TRUE(waitFor(plainStationRunning, 15000ms)) << "the station did not come up";
    std::this_thread::sleep_for(1000ms); // its devices open after the role is claimed

    Tool recorder({"parecord", "--device=spk.monitor", "--rate=8000", "--channels=1", "--format=s16le",
                   "--file-format=wav", output.string()},
                  environment());
    ASSERT_TRUE(recorder.started());
    Tool player({"paplay", "--device=rx", input.string()}, environment());
    EXPECT_EQ(player.wait(20000), 0) << "paplay";
    std::this_thread::sleep_for(500ms);
    recorder.stop();
    EXPECT_EQ(programs.stop(station), 0);

    // The last two seconds of the tones, well after the filter has settled.
    const std::vector<short> heard = readWav(output);
    ASSERT_GT(heard.size(), 3u * 8000) << "the speaker's monitor recorded " << heard.size() << " samples";
    const std::vector<short> steady = tail(heard, 2.5);
    const double pass = toneShare(steady, passHz);
    const double stop = toneShare(steady, stopHz);
    const double rejectionDb = 10 * std::log10(std::max(stop, 1e-12) / std::max(pass, 1e-12));
    std::printf("real sound path: %.0f Hz share %.3f, %.0f Hz at %.1f dB below it\n", passHz, pass, stopHz,
                -rejectionDb);
    EXPECT_GT(pass, 0.5) << "the pass-band tone did not come through";
    EXPECT_LT(rejectionDb, -40) << "the stop-band tone was not filtered out";
}

} // namespace
