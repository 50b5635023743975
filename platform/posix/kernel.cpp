#include "platform/kernel.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace platform {

bool isTerminal(std::FILE* stream) { return stream != nullptr && ::isatty(::fileno(stream)) == 1; }

// --- Semaphore --------------------------------------------------------------

Semaphore::Semaphore(long initialCount, long maximumCount) : count_(0), maximum_(std::max(1L, maximumCount)) {
    count_ = std::clamp(initialCount, 0L, maximum_);
}

bool Semaphore::release(long count) {
    {
        std::lock_guard lock(mutex_);
        if (count < 1 || count > maximum_ - count_) {
            return false;
        }
        count_ += count;
    }
    changed_.notify_all();
    return true;
}

Semaphore::WaitResult Semaphore::wait(long timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto available = [this] { return count_ > 0; };
    if (timeoutMs < 0) {
        changed_.wait(lock, available);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
        return WaitResult::Timeout;
    }
    --count_;
    return WaitResult::Signalled;
}

void sleepMs(unsigned ms) {
    if (ms == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// --- Priority ---------------------------------------------------------------

bool setPriorityClass(bool realtime) {
    // Niceness rather than a real-time scheduling policy: the main thread runs
    // the whole user interface, and SCHED_FIFO there could starve the machine
    // if a handler ever spins. On Linux the value is per thread and inherited
    // by threads created later.
    const int wanted = realtime ? -20 : -10;
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, 0);
    if (current == -1 && errno != 0) {
        return false;
    }
    if (current <= wanted) {
        return true; // already at least as high
    }
    return ::setpriority(PRIO_PROCESS, 0, wanted) == 0;
}

// --- Single instance ----------------------------------------------------------

InstanceLock::~InstanceLock() { release(); }

void InstanceLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool InstanceLock::acquire(std::string_view name) {
    release();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract namespace: sun_path[0] is 0 and the name is the following bytes
    // (not zero-terminated). It is shared by the whole network namespace, so
    // the user id keeps users apart.
    std::string key = "cwstation-" + std::to_string(::getuid()) + "-";
    key.append(name);
    const std::size_t room = sizeof address.sun_path - 1;
    if (key.size() > room) {
        return false; // a cut name could collide with another
    }
    std::memcpy(address.sun_path + 1, key.data(), key.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size());

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd); // EADDRINUSE: held elsewhere
        return false;
    }
    fd_ = fd;
    return true;
}

// --- Processes ----------------------------------------------------------------

namespace {

std::string_view variableName(std::string_view entry) { return entry.substr(0, entry.find('=')); }

} // namespace

ProcessId spawnProcess(const std::string& path, const std::vector<std::string>& argv,
                       const std::vector<std::string>& extraEnvironment, const SpawnOptions& options) {
    std::vector<std::string> args = argv.empty() ? std::vector<std::string>{path} : argv;
    std::vector<char*> argPointers;
    argPointers.reserve(args.size() + 1);
    for (std::string& a : args) {
        argPointers.push_back(a.data());
    }
    argPointers.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const bool replaced = std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                                          [&](const std::string& x) { return variableName(x) == variableName(entry); });
        if (!replaced) {
            environment.emplace_back(entry);
        }
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envPointers;
    envPointers.reserve(environment.size() + 1);
    for (std::string& e : environment) {
        envPointers.push_back(e.data());
    }
    envPointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    // Our own descriptors are close-on-exec already; this also covers those
    // that libraries opened without it.
    bool ready = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
    if (!options.workingDirectory.empty()) {
        ready = ready && posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str()) == 0;
    }
    const auto redirect = [&](int fd, const std::string& file) {
        return file.empty() ||
               posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) == 0;
    };
    ready = ready && redirect(STDOUT_FILENO, options.standardOutput) && redirect(STDERR_FILENO, options.standardError);
    sigset_t mask;
    sigset_t defaults;
    sigemptyset(&mask);
    if (options.holdStopSignals) {
        sigaddset(&mask, SIGINT);
        sigaddset(&mask, SIGTERM);
    }
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    ready = ready && posix_spawnattr_setsigmask(&attributes, &mask) == 0 &&
            posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;

    pid_t pid = -1;
    if (ready && posix_spawn(&pid, path.c_str(), &actions, &attributes, argPointers.data(), envPointers.data()) != 0) {
        pid = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitProcess(ProcessId pid, long timeoutMs) {
    if (pid <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0L, timeoutMs));
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) {
                return WEXITSTATUS(status);
            }
            if (WIFSIGNALED(status)) {
                return 128 + WTERMSIG(status);
            }
            continue; // stopped or continued: keep waiting
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

ProcessId currentProcessId() { return static_cast<ProcessId>(::getpid()); }

std::string executableDirectory() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return {};
    }
    const std::string path(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string findExecutable(std::string_view name, const std::vector<std::string>& directories) {
    for (const std::string& dir : directories) {
        if (dir.empty()) {
            continue;
        }
        std::string candidate = dir;
        if (candidate.back() != '/') {
            candidate += '/';
        }
        candidate += name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

bool terminateProcess(ProcessId pid) { return pid > 0 && ::kill(pid, SIGTERM) == 0; }

} // namespace platform
