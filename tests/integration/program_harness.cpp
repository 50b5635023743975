#include "program_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

#include "platform/kernel.h"
#include "platform/sockets.h"

namespace harness {

TempDir::TempDir(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr)
        path = pattern;
}

TempDir::~TempDir() {
    if (path.empty())
        return;
    std::error_code ignored;
    // A test may have made parts of the tree read-only.
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (it->is_directory(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeWav(const fs::path& path, const std::vector<short>& samples) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr)
        return false;
    const bool written = sf_write_short(f, samples.data(), sf_count_t(samples.size())) == sf_count_t(samples.size());
    return sf_close(f) == 0 && written;
}

bool writeTones(const fs::path& path, const std::vector<double>& hz, double seconds, double amplitude) {
    std::vector<short> samples(std::size_t(seconds * 8000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        double v = 0;
        for (double f0 : hz)
            v += amplitude * std::sin(2 * std::numbers::pi * f0 * double(i) / 8000);
        samples[i] = short(std::clamp(v, -32767.0, 32767.0));
    }
    return writeWav(path, samples);
}

std::vector<short> readWav(const fs::path& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr)
        return {};
    std::vector<short> samples(std::size_t(info.frames * info.channels));
    const sf_count_t got = sf_read_short(f, samples.data(), sf_count_t(samples.size()));
    sf_close(f);
    samples.resize(std::size_t(std::max<sf_count_t>(got, 0)));
    return samples;
}

std::vector<short> tail(const std::vector<short>& x, double seconds) {
    const auto n = std::min(x.size(), std::size_t(seconds * 8000));
    return {x.end() - std::ptrdiff_t(n), x.end()};
}

double toneShare(const std::vector<short>& x, double hz) {
    const double w = 2 * std::numbers::pi * hz / 8000, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0, total = 0;
    for (short v : x) {
        const double s0 = v + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += double(v) * v;
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return total > 0 ? 2 * power / (double(x.size()) * total) : 0;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::uint16_t freePort() {
    const platform::Socket probe = platform::createTcpSocket();
    platform::bindSocket(probe, platform::BindAddress::Loopback, 0);
    const std::uint16_t port = platform::localPort(probe);
    platform::closeSocket(probe);
    return port;
}

// ---------------------------------------------------------------- relay units

std::vector<std::uint8_t> controlPacket(std::uint8_t type, std::uint8_t filterCode, float low, float high,
                                        const char* name) {
    std::vector<std::uint8_t> p(unitBytes, 0);
    std::memcpy(p.data(), "TASMIR", 6);
    p[6] = type;
    p[7] = filterCode;
    std::memcpy(p.data() + 8, &low, 4);
    std::memcpy(p.data() + 12, &high, 4);
    std::strncpy(reinterpret_cast<char*>(p.data() + 16), name, 15);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 32; ++i)
        sum += p[i];
    p[32] = std::uint8_t(sum);
    return p;
}

bool isControlPacket(const std::uint8_t* unit) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < 32; ++i)
        sum += unit[i];
    return std::memcmp(unit, "TASMIR", 6) == 0 && std::uint8_t(sum) == unit[32];
}

bool isAlignedUnit(const std::uint8_t* unit) { return isControlPacket(unit) || (unit[0] & 0xF0) == 0xD0; }

bool RawListener::connect(std::uint16_t port, std::chrono::milliseconds limit, int receiveBuffer, bool greet) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = waitFor(
        [&] {
            close();
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd_ < 0)
                return false;
            if (receiveBuffer > 0)
                ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        },
        limit);
    // As a client station does: a Hello at once (a server closes a
    // connection that has not greeted it within 10 s).
    return connected && (!greet || send(controlPacket(1)));
}

bool RawListener::send(const std::vector<std::uint8_t>& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

std::optional<std::vector<std::uint8_t>> RawListener::nextUnit(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (buffer_.size() < unitBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        std::uint8_t chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed = true;
            return std::nullopt;
        }
        buffer_.insert(buffer_.end(), chunk, chunk + n);
    }
    std::vector<std::uint8_t> unit(buffer_.begin(), buffer_.begin() + unitBytes);
    buffer_.erase(buffer_.begin(), buffer_.begin() + unitBytes);
    return unit;
}

void RawListener::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

// ---------------------------------------------------------------- programs

Programs::Programs() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

Programs::~Programs() {
    for (pid_t pid : started_)
        ::kill(pid, SIGKILL);
    // An orphaned grandchild (a station whose morvel is gone) is adopted
    // here only once its parent has ended: sweep until none is left.
    for (int round = 0; round < 100; ++round) {
        for (pid_t pid : started_)
            platform::waitProcess(pid, 5000);
        started_.clear();
        const std::vector<pid_t> orphans = childrenOf(::getpid());
        if (orphans.empty())
            break;
        for (pid_t pid : orphans) {
            ::kill(pid, SIGKILL);
            started_.push_back(pid);
        }
    }
}

pid_t Programs::start(const std::string& program, const ProgramRun& run) {
    std::error_code ignored;
    if (!run.directory.empty())
        fs::create_directories(run.directory, ignored);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    // Headless and unattended, unless the run says otherwise.
    std::vector<std::string> environment;
    for (const std::string fallback : {"QT_QPA_PLATFORM=offscreen", "CW_NO_MODAL=1"}) {
        const std::string name = fallback.substr(0, fallback.find('=') + 1);
        if (std::none_of(run.environment.begin(), run.environment.end(),
                         [&](const std::string& entry) { return entry.starts_with(name); }))
            environment.push_back(fallback);
    }
    environment.insert(environment.end(), run.environment.begin(), run.environment.end());
    platform::SpawnOptions options;
    options.workingDirectory = run.directory.string();
    options.standardOutput = run.output.string();
    options.standardError = run.output.string();
    options.holdStopSignals = true;
    const pid_t pid = platform::spawnProcess(program, argv, environment, options);
    if (pid > 0)
        started_.push_back(pid);
    return pid;
}

int Programs::finish(pid_t pid, long timeoutMs) {
    const int code = platform::waitProcess(pid, timeoutMs);
    if (code != -1)
        std::erase(started_, pid);
    return code;
}

int Programs::stop(pid_t pid, long timeoutMs) {
    ::kill(pid, SIGTERM);
    return finish(pid, timeoutMs);
}

bool Programs::running(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

std::vector<pid_t> Programs::childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = readFile(entry.path() / "stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
            out.push_back(static_cast<pid_t>(std::stoi(name)));
        }
    }
    return out;
}

bool plainStationRunning() {
    platform::InstanceLock probe;
    return !probe.acquire("station-role-Tarnello");
}

bool plainStationWindowUp() {
    platform::InstanceLock probe;
    return !probe.acquire("window-class-Tarnello");
}

pid_t Programs::awaitChild(pid_t parent, std::chrono::milliseconds limit) {
    pid_t child = -1;
    waitFor(
        [&] {
            const std::vector<pid_t> children = childrenOf(parent);
            child = children.empty() ? -1 : children.front();
            return child > 0;
        },
        limit);
    return child;
}

int openDescriptors(pid_t pid) {
    std::error_code ec;
    int count = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return ec ? -1 : count;
}

long residentKiB(pid_t pid) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

} // namespace harness
