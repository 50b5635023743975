#pragma once
// Kernel services the programs were designed against: a counting semaphore
// with a maximum, sleeping, the process priority class, one process per name,
// and starting another program.

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A counting semaphore whose count stays within 0 … maximumCount. Any thread.
class Semaphore {
  public:
    enum class WaitResult { Signalled, Timeout };

    // `initialCount` is clamped to 0 … maximumCount; `maximumCount` >= 1.
    Semaphore(long initialCount, long maximumCount);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds `count` (>= 1). A release that would pass the maximum changes
    // nothing and returns false (ReleaseSemaphore's rule).
    bool release(long count = 1);
    // Takes one unit, waiting at most `timeoutMs` (0 … ; a negative value
    // waits without limit).
    WaitResult wait(long timeoutMs);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    long count_;
    const long maximum_;
};

// Whether `stream` (stdin, stdout, stderr…) is a terminal rather than a
// file or a pipe.
bool isTerminal(std::FILE* stream);

// Sleeps the calling thread for `ms` milliseconds (0 yields).
void sleepMs(unsigned ms);

// Raises the scheduling priority of the calling thread and of the threads it
// creates afterwards, so call it before starting any: realtime → nice -20,
// high → nice -10. A refusal (no privilege) leaves the priority as it was and
// returns false; nothing is reported.
bool setPriorityClass(bool realtime);

// Holds a name for the life of the process: an abstract Unix socket
// "\0cwstation-<uid>-<name>", which the kernel releases when the process ends
// in any way (also on a crash). Not inherited by started programs.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False when another holder (any process of this user, or another lock
    // object) has the name, or on a system error. Acquiring again first
    // releases the name held so far.
    bool acquire(std::string_view name);
    void release();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A process of this system's, as spawnProcess returns it: compare it with
// noProcess (or test > 0) and hand it back to the functions below.
using ProcessId = long;
inline constexpr ProcessId noProcess = -1;

// How spawnProcess starts a child beyond its program, arguments and
// environment.
struct SpawnOptions {
    // The child's current directory; empty: this process's.
    std::string workingDirectory;
    // Files created (or truncated) for the child's standard output and
    // standard error; empty: inherited from this process.
    std::string standardOutput;
    std::string standardError;
    // Start with SIGINT and SIGTERM blocked. Meant for a program built on
    // Platform: it takes both signals over when it starts and acts on one
    // that came in meanwhile, so a stop request during its start-up (even
    // while its libraries load) ends it normally instead of killing it.
    bool holdStopSignals = false;
};

// Starts `path` (a relative path is looked up from the current directory, not
// in PATH) with `argv` (argv[0] included; empty means {path}), the current
// environment plus `extraEnvironment` entries "NAME=value" (replacing same
// names). The child inherits no descriptor beyond 0–2, default signal
// handling for SIGPIPE and an empty signal mask (but see
// `SpawnOptions::holdStopSignals`). Returns the pid, or -1 when the program
// could not be started.
ProcessId spawnProcess(const std::string& path, const std::vector<std::string>& argv,
                       const std::vector<std::string>& extraEnvironment, const SpawnOptions& options = {});

// Waits up to `timeoutMs` for the child `pid` to end and reaps it. Returns
// its exit code (0 … 255), 128 + the signal number when a signal ended it,
// or -1 on time-out (the child is left running) or error.
int waitProcess(ProcessId pid, long timeoutMs);

// This process's id.
ProcessId currentProcessId();

// The directory of this program's own executable, without a trailing '/'
// ("/" for a program in the root); empty when it cannot be told.
std::string executableDirectory();

// The first directory of `directories` that holds an executable regular file
// `name`, joined as "directory/name"; empty when none does. Empty entries
// are skipped.
std::string findExecutable(std::string_view name, const std::vector<std::string>& directories);

// Asks the process `pid` to stop (SIGTERM). False when there is no such
// process or it may not be signalled.
bool terminateProcess(ProcessId pid);

} // namespace platform
