#include "sound_server.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "platform/kernel.h"

namespace harness {

namespace {

bool installed(const char* program) { return fs::exists(fs::path("/usr/bin") / program); }

} // namespace

Tool::Tool(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
           const std::string& output) {
    platform::SpawnOptions options;
    options.standardOutput = output;
    pid_ = platform::spawnProcess("/usr/bin/" + argv.front(), argv, environment, options);
}

int Tool::wait(long timeoutMs) {
    const int code = platform::waitProcess(pid_, timeoutMs);
    if (code >= 0)
        pid_ = -1;
    return code;
}

int Tool::stop() {
    if (pid_ <= 0)
        return 0;
    platform::terminateProcess(pid_);
    int code = platform::waitProcess(pid_, 5000);
    if (code < 0) {
        ::kill(pid_, SIGKILL);
        code = platform::waitProcess(pid_, 5000);
    }
    pid_ = -1;
    return code;
}

namespace {

// A running server the tests are to use instead of starting their own (a
// desktop's PipeWire with pipewire-pulse, say): its address, or nullptr.
const char* externalServer() {
    const char* address = std::getenv("CW_TEST_PULSE_SERVER");
    return address != nullptr && *address != '\0' ? address : nullptr;
}

} // namespace

std::string SoundServer::missingTools() {
    for (const char* tool : {"pulseaudio", "pactl", "paplay", "parecord"}) {
        if (externalServer() != nullptr && std::string(tool) == "pulseaudio")
            continue;
        if (!installed(tool))
            return std::string(tool) + " is not installed (Debian: pulseaudio, pulseaudio-utils)";
    }
    return {};
}

SoundServer::SoundServer(const fs::path& home) : home_(home) {
    failure_ = missingTools();
    if (!failure_.empty())
        return;
    const std::string mono = " channels=1 channel_map=mono remix=no master=meter master_channel_map=";
    const std::vector<std::string> modules = {
        "module-null-sink sink_name=meter channels=3 channel_map=front-left,front-right,front-center",
        "module-remap-sink sink_name=rx" + mono + "front-left",
        "module-remap-sink sink_name=spk" + mono + "front-right",
        "module-remap-sink sink_name=spk2" + mono + "front-center"};
    if (externalServer() != nullptr) {
        for (const std::string& module : modules) {
            std::vector<std::string> args{"load-module"};
            std::istringstream words(module);
            for (std::string word; words >> word;)
                args.push_back(word);
            std::string index;
            if (!pactl(args, &index)) {
                failure_ = "the server refused " + module;
                return;
            }
            loaded_.push_back(index.substr(0, index.find('\n')));
        }
    } else {
        std::vector<std::string> argv{"pulseaudio",
                                      "-n",
                                      "--daemonize=no",
                                      "--exit-idle-time=-1",
                                      "--use-pid-file=no",
                                      "--log-level=error",
                                      "--load=module-native-protocol-unix auth-anonymous=1"};
        for (const std::string& module : modules)
            argv.push_back("--load=" + module);
        server_ = std::make_unique<Tool>(argv, environment());
        if (!server_->started()) {
            failure_ = "pulseaudio did not start";
            return;
        }
        if (!waitFor([&] { return fs::exists(home_ / "pulse" / "native"); }, 10000ms)) {
            failure_ = "pulseaudio did not open its socket within 10 s";
            return;
        }
    }
    // ALSA's devices, for this home only; its default is the server, whose
    // default source and sink environment() names for the programs here.
    std::ofstream(home_ / ".asoundrc") << "pcm.!default { type pulse }\n"
                                          "ctl.!default { type pulse }\n"
                                          "pcm.receiver { type pulse device rx.monitor }\n"
                                          "pcm.speaker { type pulse device spk }\n"
                                          "pcm.speaker2 { type pulse device spk2 }\n";
}

SoundServer::~SoundServer() {
    for (auto module = loaded_.rbegin(); module != loaded_.rend(); ++module)
        pactl({"unload-module", *module});
    if (server_)
        server_->stop();
}

std::vector<std::string> SoundServer::environment() const {
    std::vector<std::string> entries{"HOME=" + home_.string(), "PULSE_SOURCE=rx.monitor", "PULSE_SINK=spk"};
    if (const char* address = externalServer(); address != nullptr) {
        entries.push_back(std::string("PULSE_SERVER=") + address);
    } else {
        entries.push_back("XDG_RUNTIME_DIR=" + home_.string());
        entries.push_back("PULSE_SERVER=unix:" + (home_ / "pulse" / "native").string());
    }
    return entries;
}

void SoundServer::exportEnvironment() const {
    for (const std::string& entry : environment()) {
        const std::size_t equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

int SoundServer::count(const std::string& what) const {
    std::string lines;
    if (!pactl({"list", "short", what}, &lines))
        return -1;
    return int(std::count(lines.begin(), lines.end(), '\n'));
}

bool SoundServer::pactl(const std::vector<std::string>& args, std::string* output) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const fs::path file = home_ / "pactl.out";
    Tool tool(argv, environment(), output != nullptr ? file.string() : std::string());
    const bool ok = tool.started() && tool.wait(5000) == 0;
    if (output != nullptr)
        *output = readFile(file);
    return ok;
}

bool SoundServer::unloadSink(const std::string& name) {
    std::string modules;
    if (!pactl({"list", "short", "modules"}, &modules))
        return false;
    std::istringstream lines(modules);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("sink_name=" + name + " ") == std::string::npos)
            continue;
        const std::string index = line.substr(0, line.find('\t'));
        std::erase(loaded_, index);
        return pactl({"unload-module", index});
    }
    return false;
}

std::unique_ptr<Tool> SoundServer::record(const fs::path& wav) const {
    return std::make_unique<Tool>(std::vector<std::string>{"parecord", "--latency-msec=10", "--device=meter.monitor",
                                                           "--rate=8000", "--channels=3", "--format=s16le",
                                                           "--file-format=wav", wav.string()},
                                  environment());
}

std::unique_ptr<Tool> SoundServer::play(const fs::path& wav, const std::string& sink) const {
    return std::make_unique<Tool>(
        std::vector<std::string>{"paplay", "--latency-msec=10", "--device=" + sink, wav.string()}, environment());
}

CardStation::CardStation(const fs::path& directory) {
    rig_.fatal.workingDirectory = directory.string();
    rig_.fatal.errorStream = nullptr;
}

CardStation::~CardStation() {
    rig_.capture().closeCapture();
    rig_.playback().closePlayback();
    rig_.pump();
}

bool CardStation::open() {
    // The station's own priority, which its start-up takes, before the
    // sound library's threads exist (they inherit it): the path is measured
    // as it runs there.
    platform::setPriorityClass(false);
    return rig_.playback().openPlayback(-1) == station::openSucceeded &&
           rig_.capture().openCapture(-1) == station::openSucceeded;
}

StallCounter::StallCounter(double lateMs) {
    const auto late = std::chrono::duration<double, std::milli>(lateMs);
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned cpu = 0; cpu < processors; ++cpu)
        threads_.emplace_back([this, late, cpu] {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            pthread_setaffinity_np(pthread_self(), sizeof set, &set); // unbound if refused: still a gauge
            constexpr auto nap = 2ms;
            while (!stop_.load()) {
                const auto start = Clock::now();
                std::this_thread::sleep_for(nap);
                const auto overslept = Clock::now() - start - nap;
                const auto us = std::chrono::duration_cast<std::chrono::microseconds>(overslept).count();
                for (std::int64_t worst = worstUs_.load(); us > worst && !worstUs_.compare_exchange_weak(worst, us);) {
                }
                if (overslept > late)
                    ++stalls_;
            }
        });
}

StallCounter::~StallCounter() {
    stop_.store(true);
    for (std::thread& t : threads_)
        t.join();
}

std::vector<short> channelOf(const std::vector<short>& interleaved, int channels, int index) {
    std::vector<short> out;
    out.reserve(interleaved.size() / std::size_t(channels));
    for (std::size_t i = std::size_t(index); i < interleaved.size(); i += std::size_t(channels))
        out.push_back(interleaved[i]);
    return out;
}

double rms(const std::vector<short>& x, std::size_t from, std::size_t to) {
    to = std::min(to, x.size());
    if (from >= to)
        return 0;
    double sum = 0;
    for (std::size_t i = from; i < to; ++i)
        sum += double(x[i]) * double(x[i]);
    return std::sqrt(sum / double(to - from));
}

} // namespace harness
