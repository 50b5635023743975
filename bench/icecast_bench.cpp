// The Icecast push measured:
//   encode     the Ogg Opus encoder's cost per 20 ms block, as microseconds
//              and as a share of one core, and the audio path's own cost
//              (one pushBlock, the ring copy) with the ring taking and
//              dropping;
//   delay      from the moment a block is played (pushed) to a listener's
//              first decoded sound of it, through a real icecast2 on
//              loopback with the low-latency configuration (no burst on
//              connect);
//   listeners  N listeners (default 100) on one icecast2, each fetching the
//              whole stream for 20 s: what each one decoded, and the
//              server's CPU.
// Usage: icecast_bench [encode|delay|listeners [N]|all]. delay and
// listeners need icecast2 and start it themselves on a free loopback port.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <opus/opusfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "icecast_server.h"
#include "program_harness.h"
#include "station/net/icecast_push.h"
#include "station/net/icecast_shout.h"

namespace {

using namespace harness;
using station::IcecastPush;

constexpr const char* password = "bench-only";
constexpr const char* mountName = "/bench.opus";
constexpr int blockSamples = IcecastPush::blockSamples;

// One 20 ms block of an 840 Hz tone (amplitude 8000) with a little noise,
// as the station plays it, or silence.
void makeBlock(std::int16_t* block, long blockIndex, bool tone) {
    for (int i = 0; i < blockSamples; ++i) {
        const long k = blockIndex * blockSamples + i;
        const unsigned noise = static_cast<unsigned>(k) * 2654435761u;
        const double n = static_cast<int>((noise >> 16) & 0xff) - 128;
        const double t = static_cast<double>(k) / 8000.0;
        block[i] = static_cast<std::int16_t>((tone ? 8000 * std::sin(2 * std::numbers::pi * 840 * t) : 0) + n);
    }
}

double processCpuSeconds(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    unsigned long utime = 0, stime = 0;
    // Fields 14 and 15 after the name: skip state … cmajflt (11 fields).
    if (std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
        2) {
        return -1;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void benchEncode() {
    auto encoder = station::makeOpusOggEncoder();
    std::size_t bytes = 0;
    encoder->begin({"bench", 16000}, [&](std::span<const std::uint8_t> page) { bytes += page.size(); });
    constexpr long blocks = 3000; // one minute of audio
    std::int16_t block[blockSamples];
    // Warm up, then time.
    for (long b = 0; b < 50; ++b) {
        makeBlock(block, b, true);
        encoder->encode(block);
    }
    double seconds = 0;
    for (long b = 0; b < blocks; ++b) {
        makeBlock(block, b, (b / 50) % 3 != 2); // tone with gaps, like keying
        const auto start = Clock::now();
        encoder->encode(block);
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    encoder->end();
    const double perBlockUs = seconds / blocks * 1e6;
    std::printf("encode: %.1f us per 20 ms block = %.3f %% of one core; %.1f kbit/s on the wire with Ogg\n", perBlockUs,
                perBlockUs / 20000.0 * 100.0, static_cast<double>(bytes) * 8 / (blocks * 0.02) / 1000);

    // The audio path's part: the copy into the ring, taken and dropped.
    IcecastPush push(*station::parseIcecastUrl("http://source:x@127.0.0.1:1/m"), {}, station::makeShoutConnection(),
                     station::makeOpusOggEncoder(), {});
    constexpr int calls = 1000000;
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        push.pushBlock(block, blockSamples); // the ring fills after 64 and then drops
    }
    const double droppingNs = std::chrono::duration<double>(Clock::now() - start).count() / calls * 1e9;
    std::printf("pushBlock (ring full, dropping): %.0f ns per block; dropped %llu\n", droppingNs,
                static_cast<unsigned long long>(push.blocksDropped()));
}

// A live source for the server benchmarks: the real push, fed every 20 ms
// from its own thread like the playback path; `tone(t)` says whether the
// block at t seconds carries the tone.
class LiveSource {
  public:
    LiveSource(std::uint16_t port, std::function<bool(double)> tone)
        : push_(*station::parseIcecastUrl("http://source:" + std::string(password) +
                                          "@127.0.0.1:" + std::to_string(port) + mountName),
                {"bench", 16000}, station::makeShoutConnection(), station::makeOpusOggEncoder(), {}),
          tone_(std::move(tone)) {
        push_.start();
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }
    ~LiveSource() {
        thread_.request_stop();
        thread_.join();
        push_.stop();
    }
    // When the last silent-to-tone change was pushed.
    Clock::time_point lastOnset() const { return Clock::time_point(Clock::duration(onset_.load())); }

  private:
    void run(std::stop_token stop) {
        const auto start = Clock::now();
        std::int16_t block[blockSamples];
        bool wasTone = false;
        for (long b = 0; !stop.stop_requested(); ++b) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * b));
            const bool tone = tone_(b * 0.02);
            makeBlock(block, b, tone);
            if (tone && !wasTone) {
                onset_.store(Clock::now().time_since_epoch().count());
            }
            wasTone = tone;
            push_.pushBlock(block, blockSamples);
        }
    }

    IcecastPush push_;
    std::function<bool(double)> tone_;
    std::atomic<Clock::rep> onset_{0};
    std::jthread thread_;
};

// Reads an HTTP listener's socket for libopusfile, giving up at `until`.
struct SocketSource {
    int fd;
    Clock::time_point until;
};

int readSocket(void* source, unsigned char* out, int bytes) {
    auto* s = static_cast<SocketSource*>(source);
    while (Clock::now() < s->until) {
        const ssize_t n = ::recv(s->fd, out, static_cast<std::size_t>(bytes), 0);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

bool startServer(IcecastServer& server) {
    if (!server.start()) {
        std::printf("icecast2 did not start\n");
        return false;
    }
    return true;
}

void benchDelay(const fs::path& program) {
    TempDir dir("icecast-bench");
    const std::uint16_t port = freePort();
    IcecastServer server(program, dir.path, port, password);
    if (!startServer(server)) {
        return;
    }
    // 2 s of silence, then about 1 s of tone, over and over; the period is
    // no multiple of the 200 ms page, so the onsets fall anywhere in a page.
    LiveSource source(port, [](double t) { return std::fmod(t, 3.07) >= 2.0; });
    if (!waitFor([&] { return httpGet(port, mountName, 300, 1).status == 200; }, 10000ms)) {
        std::printf("delay: the mount did not come up\n");
        return;
    }
    const int fd = openListener(port, mountName);
    SocketSource socketSource{fd, Clock::now() + 40s};
    OpusFileCallbacks callbacks{readSocket, nullptr, nullptr, nullptr};
    int error = 0;
    OggOpusFile* file = fd < 0 ? nullptr : op_open_callbacks(&socketSource, &callbacks, nullptr, 0, &error);
    if (file == nullptr) {
        std::printf("delay: no stream (error %d)\n", error);
        if (fd >= 0)
            ::close(fd);
        return;
    }
    std::vector<double> delaysMs;
    std::vector<opus_int16> pcm(5760);
    long quietSamples = 0;
    while (delaysMs.size() < 8) {
        const int n = op_read(file, pcm.data(), static_cast<int>(pcm.size()), nullptr);
        if (n == OP_HOLE) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (std::abs(pcm[static_cast<std::size_t>(i)]) > 2000) {
                if (quietSamples > 48000 / 2) { // a half second of quiet before: an onset
                    delaysMs.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - source.lastOnset()).count());
                }
                quietSamples = 0;
            } else {
                ++quietSamples;
            }
        }
    }
    op_free(file);
    ::close(fd);
    if (delaysMs.empty()) {
        std::printf("delay: no onset heard\n");
        return;
    }
    std::sort(delaysMs.begin(), delaysMs.end());
    std::printf("delay push -> listener's first decoded tone: min %.0f ms, median %.0f ms, max %.0f ms (%zu onsets)\n",
                delaysMs.front(), delaysMs[delaysMs.size() / 2], delaysMs.back(), delaysMs.size());
}

void benchListeners(const fs::path& program, int count) {
    TempDir dir("icecast-bench");
    const std::uint16_t port = freePort();
    IcecastServer server(program, dir.path, port, password, count);
    if (!startServer(server)) {
        return;
    }
    constexpr double runSeconds = 30; // from the first listener's joining
    auto source = std::make_unique<LiveSource>(port, [](double t) { return std::fmod(t, 1.0) < 0.5; });
    if (!waitFor([&] { return httpGet(port, mountName, 300, 1).status == 200; }, 10000ms)) {
        std::printf("listeners: the mount did not come up\n");
        return;
    }
    std::vector<pollfd> fds;
    std::vector<Clock::time_point> joined; // when each listener's connection was accepted
    const auto connected = Clock::now();
    for (int i = 0; i < count; ++i) {
        // All requests first: the server answers each with its next page.
        const int fd = requestStream(port, mountName);
        if (fd >= 0) {
            fds.push_back({fd, POLLIN, 0});
            joined.push_back(Clock::now());
        }
    }
    const double cpuBefore = processCpuSeconds(server.pid());
    const double connectMs = std::chrono::duration<double, std::milli>(Clock::now() - connected).count();
    std::vector<std::string> bodies(fds.size());
    char buffer[8192];
    const auto end = connected + std::chrono::duration<double>(runSeconds);
    while (Clock::now() < end) {
        if (::poll(fds.data(), fds.size(), 100) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    bodies[i].append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
    }
    const double cpu = processCpuSeconds(server.pid()) - cpuBefore;
    source.reset();
    for (const pollfd& p : fds) {
        ::close(p.fd);
    }
    // Each listener should have decoded everything from its joining to the
    // end, less the page it waited for first and the one still being
    // filled at the end (200 ms each).
    double least = 1e9, most = 0, worstShortfall = 0;
    int whole = 0;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const double seconds = static_cast<double>(decodeOggOpusAt8000(bodyOf200(bodies[i])).size()) / 8000.0;
        const double due = std::chrono::duration<double>(end - joined[i]).count();
        least = std::min(least, seconds);
        most = std::max(most, seconds);
        worstShortfall = std::max(worstShortfall, due - seconds);
        whole += seconds >= due - 0.6 ? 1 : 0;
    }
    std::printf("listeners: %zu of %d connected in %.0f ms; each decoded %.1f … %.1f s; %d got all audio from "
                "joining to the end (within 0.6 s, two pages; worst shortfall %.2f s); icecast2 used %.1f %% "
                "of one core\n",
                fds.size(), count, connectMs, least, most, whole, worstShortfall, cpu / runSeconds * 100);
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    const int listeners = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    if (mode == "encode" || mode == "all") {
        benchEncode();
    }
    if (mode == "encode") {
        return 0;
    }
    const fs::path program = icecastProgram();
    if (program.empty()) {
        std::printf("icecast2 is not installed: no delay or listener figures\n");
        return 0;
    }
    if (mode == "delay" || mode == "all") {
        benchDelay(program);
    }
    if (mode == "listeners" || mode == "all") {
        benchListeners(program, listeners);
    }
    return 0;
}
