#pragma once
// What the whole-program tests share: a temporary directory, tone files and
// recordings, a raw relay listener, the started programs (always stopped
// and reaped, orphans included) and what /proc tells about a process.
// Everything binds to loopback only.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace harness {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end. `path` is empty when it could not be made.
struct TempDir {
    explicit TempDir(const char* prefix = "cw-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    fs::path path;
};

std::string readFile(const fs::path& path);

// A 16-bit mono 8000 Hz WAV of `samples`.
bool writeWav(const fs::path& path, const std::vector<short>& samples);
// A 16-bit mono 8000 Hz WAV of `seconds`: the sum of one sine of
// `amplitude` (full scale 32767) per frequency in `hz`.
bool writeTones(const fs::path& path, const std::vector<double>& hz, double seconds, double amplitude = 10000);
// All samples of a sound file as 16-bit values (channels interleaved);
// empty when it cannot be read.
std::vector<short> readWav(const fs::path& path);
// The last `seconds` of `x` (all of it when shorter).
std::vector<short> tail(const std::vector<short>& x, double seconds);
// Power at `hz` relative to the total power of `x` (Goertzel), 0 … 1.
double toneShare(const std::vector<short>& x, double hz);

// Polls `done` every 20 ms until it holds or `limit` has passed.
template <typename Predicate> bool waitFor(Predicate done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

double secondsSince(Clock::time_point start);

// A TCP port on loopback that nobody listens on at the moment.
std::uint16_t freePort();

// ---------------------------------------------------------------- relay units

inline constexpr std::size_t unitBytes = 33;

// A relay control packet as it travels: "TASMIR", type, filter code, two
// little-endian floats, 15 name bytes, a reserved 0 and the byte sum.
std::vector<std::uint8_t> controlPacket(std::uint8_t type, std::uint8_t filterCode = 0, float low = 0, float high = 0,
                                        const char* name = "TEST");
bool isControlPacket(const std::uint8_t* unit);
// A unit a listener may receive where units are aligned: a control packet
// or a GSM 06.10 frame (its first byte carries the 0xD signature).
bool isAlignedUnit(const std::uint8_t* unit);

// A raw TCP connection to a station's relay port, standing in for a client
// station where the bytes on the wire are the point.
class RawListener {
  public:
    RawListener() = default;
    ~RawListener() { close(); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    // Tries for up to `limit`: a station under a sanitizer takes a while
    // before it listens. `receiveBuffer` > 0 sets SO_RCVBUF first. With
    // `greet`, sends a Hello once connected, as a client station does.
    bool connect(std::uint16_t port, std::chrono::milliseconds limit = 5000ms, int receiveBuffer = 0,
                 bool greet = true);
    bool send(const std::vector<std::uint8_t>& bytes);
    // The next whole unit; nullopt at the end of the stream, on an error or
    // when nothing complete came within `limit`. `closed` tells the end.
    std::optional<std::vector<std::uint8_t>> nextUnit(std::chrono::milliseconds limit);
    void close();
    int fd() const { return fd_; }
    bool closed = false;

  private:
    int fd_ = -1;
    std::vector<std::uint8_t> buffer_;
};

// ---------------------------------------------------------------- programs

struct ProgramRun {
    std::vector<std::string> args;        // after argv[0]
    std::vector<std::string> environment; // "NAME=value", on top of this process's; replaces the
                                          // defaults QT_QPA_PLATFORM=offscreen, CW_NO_MODAL=1
    fs::path directory;                   // where it runs (created if missing)
    fs::path output;                      // standard output and error go here; empty: inherited
};

// Programs started by a test. The test process adopts orphans (a child
// subreaper), so a station started by morvel is reaped here too. Whatever
// still runs at the end is killed and reaped.
class Programs {
  public:
    Programs();
    ~Programs();
    Programs(const Programs&) = delete;
    Programs& operator=(const Programs&) = delete;

    // Starts `program` headless (offscreen, no modal boxes) with its stop
    // signals held until it handles them. The pid, or -1.
    pid_t start(const std::string& program, const ProgramRun& run);
    // Waits up to `timeoutMs` for `pid` to end and reaps it: its exit code,
    // 128 + signal, or -1 while it still runs.
    int finish(pid_t pid, long timeoutMs);
    // SIGTERM, then finish within `timeoutMs`.
    int stop(pid_t pid, long timeoutMs = 15000);
    // Whether `pid` exists and has not ended (a zombie has); reaps nothing.
    static bool running(pid_t pid);
    // Processes whose parent is `parent`.
    static std::vector<pid_t> childrenOf(pid_t parent);
    // The first child `parent` starts within `limit` (a station started by
    // morvel), or -1.
    static pid_t awaitChild(pid_t parent, std::chrono::milliseconds limit);

  private:
    std::vector<pid_t> started_;
};

// True while some process holds the plain station's role, i.e. a station
// without a relay role is past its single-instance test.
bool plainStationRunning();
// Whether a plain station's main window exists (what morvel looks for; the
// role is taken a little earlier in the station's start-up).
bool plainStationWindowUp();

// Open descriptors of `pid`, and its resident memory in KiB (-1 when
// unknown).
int openDescriptors(pid_t pid);
long residentKiB(pid_t pid);

} // namespace harness
