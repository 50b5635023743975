#include "platform/environment.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>

using namespace std::chrono;
using platform::Semaphore;

namespace {

// This test program doubles as the other process of the instance-lock tests:
// started with CW_TEST_LOCK_NAME set it acts before main() and exits.
//   mode "try":  exit 0 if the name could be acquired, 1 if not;
//   mode "hold": acquire (retrying up to 5 s), create the marker file, then
//                sleep until killed (at most 20 s).
[[maybe_unused]] const bool lockHelperChecked = [] {
    const char* name = std::getenv("CW_TEST_LOCK_NAME");
    if (name == nullptr) {
        return false;
    }
    const std::string mode = std::getenv("CW_TEST_LOCK_MODE") ? std::getenv("CW_TEST_LOCK_MODE") : "try";
    platform::InstanceLock lock;
    if (mode == "hold") {
        const auto until = steady_clock::now() + seconds(5);
        while (!lock.acquire(name) && steady_clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        if (!lock.held()) {
            _exit(1);
        }
        const int fd = ::open(std::getenv("CW_TEST_LOCK_MARKER"), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
        }
        std::this_thread::sleep_for(seconds(20));
        _exit(0);
    }
    _exit(lock.acquire(name) ? 0 : 1);
}();

std::string selfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string uniqueName(const char* what) {
    return std::string(what) + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(steady_clock::now().time_since_epoch().count());
}

int runSh(const std::string& script, const std::vector<std::string>& env = {}) {
    const pid_t pid = platform::spawnProcess("/bin/sh", {"sh", "-c", script}, env);
    if (pid < 0) {
        return -100;
    }
    return platform::waitProcess(pid, 10000);
}

// ------------------------------------------------------------------ Semaphore

struct SemaphoreCase {
    long initial, maximum, releases;
    int acceptedReleases; // releases that may be made
    int signalledWaits;   // waits that then succeed before one times out
};

TEST(Semaphore, CountStaysWithinMaximum) {
    const SemaphoreCase cases[] = {
        {0, 1, 2, 1, 1},                   // the capture wake-up: a second release is lost
        {1, 1, 1, 0, 1},                   // already signalled: release refused
        {0, 3, 5, 3, 3},  {5, 2, 0, 0, 2}, // initial count clamped to the maximum
        {-4, 2, 1, 1, 1},                  // negative initial count clamped to 0
    };
    for (const SemaphoreCase& c : cases) {
        Semaphore s(c.initial, c.maximum);
        int accepted = 0;
        for (long i = 0; i < c.releases; ++i) {
            accepted += s.release() ? 1 : 0;
        }
        int signalled = 0;
        while (signalled <= c.signalledWaits && s.wait(20) == Semaphore::WaitResult::Signalled) {
            ++signalled;
        }
        EXPECT_EQ(accepted, c.acceptedReleases)
            << "initial " << c.initial << " max " << c.maximum << " releases " << c.releases;
        EXPECT_EQ(signalled, c.signalledWaits)
            << "initial " << c.initial << " max " << c.maximum << " releases " << c.releases;
    }
}

TEST(Semaphore, ReleaseOfSeveralUnitsIsAllOrNothing) {
    Semaphore s(1, 3);
    EXPECT_FALSE(s.release(3)) << "1 + 3 passes the maximum 3";
    EXPECT_TRUE(s.release(2));
    EXPECT_FALSE(s.release(0));
    int signalled = 0;
    while (s.wait(0) == Semaphore::WaitResult::Signalled) {
        ++signalled;
    }
    EXPECT_EQ(signalled, 3);
}

TEST(Semaphore, TimedWaitEndsAfterItsTimeout) {
    Semaphore s(0, 1);
    const auto start = steady_clock::now();
    EXPECT_EQ(s.wait(150), Semaphore::WaitResult::Timeout);
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 1500) << "a 150 ms wait took " << ms << " ms";
}

TEST(Semaphore, ReleaseFromAnotherThreadWakesAWaiterAtOnce) {
    Semaphore s(0, 1);
    std::thread releaser([&] {
        std::this_thread::sleep_for(milliseconds(50));
        s.release();
    });
    const auto start = steady_clock::now();
    const auto result = s.wait(3000);
    const auto ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
    releaser.join();
    EXPECT_EQ(result, Semaphore::WaitResult::Signalled);
    EXPECT_LT(ms, 1500) << "woken after " << ms << " ms instead of about 50";
}

// ------------------------------------------------------------------ InstanceLock

TEST(InstanceLock, NameIsExclusiveUntilReleased) {
    const std::string name = uniqueName("excl");
    platform::InstanceLock first, second, other;
    ASSERT_TRUE(first.acquire(name));
    EXPECT_FALSE(second.acquire(name)) << "two holders of one name";
    EXPECT_FALSE(second.held());
    EXPECT_TRUE(other.acquire(name + "-other")) << "names must be independent";
    first.release();
    EXPECT_TRUE(second.acquire(name)) << "the name stayed taken after release";
    EXPECT_FALSE(first.acquire(std::string(200, 'x'))) << "an over-long name must be refused, not cut";
}

TEST(InstanceLock, HeldAcrossProcessesAndFreedWhenTheHolderDies) {
    const std::string name = uniqueName("proc");
    const std::string self = selfPath();
    const std::vector<std::string> tryEnv = {"CW_TEST_LOCK_NAME=" + name, "CW_TEST_LOCK_MODE=try"};
    {
        platform::InstanceLock mine;
        ASSERT_TRUE(mine.acquire(name));
        EXPECT_EQ(platform::waitProcess(platform::spawnProcess(self, {}, tryEnv), 10000), 1)
            << "another process acquired a held name";
    }
    EXPECT_EQ(platform::waitProcess(platform::spawnProcess(self, {}, tryEnv), 10000), 0)
        << "the name was not free after release";

    const std::string marker = std::filesystem::temp_directory_path() / (uniqueName("marker") + ".tmp");
    const pid_t holder = platform::spawnProcess(
        self, {}, {"CW_TEST_LOCK_NAME=" + name, "CW_TEST_LOCK_MODE=hold", "CW_TEST_LOCK_MARKER=" + marker});
    ASSERT_GT(holder, 0);
    const auto until = steady_clock::now() + seconds(10);
    while (!std::filesystem::exists(marker) && steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    const bool holderReady = std::filesystem::exists(marker);
    platform::InstanceLock mine;
    const bool acquiredWhileHeld = holderReady && mine.acquire(name);
    ::kill(holder, SIGKILL); // dies without any clean-up of its own
    EXPECT_EQ(platform::waitProcess(holder, 10000), 128 + SIGKILL);
    std::filesystem::remove(marker);
    ASSERT_TRUE(holderReady) << "the holding process did not report within 10 s";
    EXPECT_FALSE(acquiredWhileHeld) << "acquired a name another process holds";
    EXPECT_TRUE(mine.acquire(name)) << "the name was not freed by the holder's death";
}

// ------------------------------------------------------------------ processes

TEST(SpawnProcess, ExitCodesAndEnvironment) {
    ::setenv("CW_SPAWN_B", "old", 1);
    struct Case {
        const char* script;
        std::vector<std::string> env;
        int exitCode;
    } const cases[] = {
        {"exit 3", {}, 3},
        {"exit 0", {}, 0},
        {"test \"$CW_SPAWN_A\" = 'one two'", {"CW_SPAWN_A=one two"}, 0},
        // An extra entry replaces the inherited one rather than doubling it.
        {"test \"$CW_SPAWN_B\" = new && test \"$(env | grep -c '^CW_SPAWN_B=')\" = 1", {"CW_SPAWN_B=new"}, 0},
        {"test \"$CW_SPAWN_B\" = old", {}, 0},
        {"kill -TERM $$", {}, 128 + SIGTERM},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runSh(c.script, c.env), c.exitCode) << c.script;
    }
    ::unsetenv("CW_SPAWN_B");
}

TEST(SpawnProcess, ChildInheritsNoDescriptorsBeyondStandardOnes) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0); // deliberately without close-on-exec
    const std::string probe = "test -e /proc/$$/fd/";
    const int leaked = runSh(probe + std::to_string(p[1]));
    const int standard = runSh(probe + "2");
    ::close(p[0]);
    ::close(p[1]);
    EXPECT_EQ(standard, 0) << "the probe cannot see descriptor 2";
    EXPECT_EQ(leaked, 1) << "descriptor " << p[1] << " reached the child";
}

TEST(SpawnProcess, FailuresAndTimeouts) {
    EXPECT_EQ(platform::spawnProcess("./no-such-program-here", {}, {}), -1);
    const pid_t pid = platform::spawnProcess("/bin/sh", {"sh", "-c", "sleep 5"}, {});
    ASSERT_GT(pid, 0);
    const auto start = steady_clock::now();
    EXPECT_EQ(platform::waitProcess(pid, 100), -1) << "a running child must time out";
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 2000);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(platform::waitProcess(pid, 10000), 128 + SIGKILL);
    EXPECT_EQ(platform::waitProcess(pid, 0), -1) << "a reaped child cannot be waited for again";
}

// Where the child runs, where its output goes, and which stop signals it
// starts with blocked (read back from its own /proc status; programs run
// directly, as a shell unblocks every signal when it starts).
TEST(SpawnProcess, OptionsSetFolderOutputAndHeldStopSignals) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("spawn-options-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto run = [&](std::vector<std::string> argv, bool hold) {
        platform::SpawnOptions options;
        options.workingDirectory = dir.string();
        options.standardOutput = (dir / "out.txt").string();
        options.standardError = (dir / "err.txt").string();
        options.holdStopSignals = hold;
        const std::string program = argv.front();
        EXPECT_NE(platform::waitProcess(platform::spawnProcess(program, argv, {}, options), 10000), -1);
        std::ifstream out(dir / "out.txt");
        return std::string(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(run({"/bin/pwd"}, false), fs::canonical(dir).string() + "\n");
    run({"/bin/ls", "no-such-file-here"}, false);
    EXPECT_GT(fs::file_size(dir / "err.txt"), 0u) << "standard error did not reach its file";

    const auto blocked = [&](bool hold) {
        const std::string status = run({"/bin/grep", "SigBlk", "/proc/self/status"}, hold);
        return std::stoull(status.substr(status.find(':') + 1), nullptr, 16);
    };
    const unsigned long long stopSignals = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
    EXPECT_EQ(blocked(false) & stopSignals, 0u);
    EXPECT_EQ(blocked(true) & stopSignals, stopSignals);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// ------------------------------------------------------------------ hints, priority

TEST(WindowPosition, ParseAcceptsOnlyTwoIntegers) {
    struct Case {
        const char* text;
        bool ok;
        int x, y;
    } const cases[] = {
        {"10,371", true, 10, 371}, {"-5,0", true, -5, 0},  {"0,-20", true, 0, -20},  {"10;371", false, 0, 0},
        {"10,", false, 0, 0},      {",371", false, 0, 0},  {" 10,371", false, 0, 0}, {"10,371 ", false, 0, 0},
        {"+10,371", false, 0, 0},  {"1,2,3", false, 0, 0}, {"", false, 0, 0},        {"99999999999,1", false, 0, 0},
    };
    for (const Case& c : cases) {
        int x = 7, y = 7;
        EXPECT_EQ(platform::parseWindowPosition(c.text, x, y), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(x, c.ok ? c.x : 7) << '"' << c.text << '"';
        EXPECT_EQ(y, c.ok ? c.y : 7) << '"' << c.text << '"';
    }
}

TEST(WindowPosition, EntryTravelsThroughTheEnvironment) {
    const std::string entry = platform::firstWindowPositionEntry(10, 371);
    EXPECT_EQ(entry, "CW_FIRST_WINDOW_POS=10,371");
    // What the started program reads: checked in a real child.
    EXPECT_EQ(runSh("test \"$CW_FIRST_WINDOW_POS\" = 10,371", {entry}), 0);
}

// The environment as main() reads it: each variable, and how an empty,
// malformed or out-of-range value counts.
TEST(Environment, ReadsEachVariableAndDropsWhatItCannotUse) {
    struct Case {
        std::map<std::string, std::string> vars;
        std::function<bool(const platform::Environment&)> check;
        const char* what;
    } const cases[] = {
        {{},
         [](const auto& e) {
             return e.audio.inputFile.empty() && e.audio.fileSpeed == 1 && !e.noModalBoxes &&
                    !e.firstWindowPositionGiven && !e.x11Display && !e.toolkitPlatformChosen;
         },
         "nothing set"},
        {{{"SELVANE_INPUT", "in.wav"}, {"SELVANE_OUTPUT", "out.wav"}, {"SELVANE_SPEED", "40"}},
         [](const auto& e) {
             return e.audio.inputFile == "in.wav" && e.audio.outputFile == "out.wav" && e.audio.fileSpeed == 40;
         },
         "file devices"},
        {{{"SELVANE_INPUT", ""}, {"SELVANE_SPEED", "0"}},
         [](const auto& e) { return e.audio.inputFile.empty() && e.audio.fileSpeed == 1; },
         "empty file, speed 0"},
        {{{"SELVANE_SPEED", "fast"}}, [](const auto& e) { return e.audio.fileSpeed == 1; }, "speed not a number"},
        {{{"SELVANE_SPEED", "5x"}}, [](const auto& e) { return e.audio.fileSpeed == 1; }, "speed with a tail"},
        {{{"SELVANE_SPEED", "-3"}}, [](const auto& e) { return e.audio.fileSpeed == 1; }, "negative speed"},
        {{{"SELVANE_SPEED", "5000000"}}, [](const auto& e) { return e.audio.fileSpeed == 1'000'000; }, "speed capped"},
        {{{"SELVANE_SPEED", "99999999999999999999"}},
         [](const auto& e) { return e.audio.fileSpeed == 1; },
         "speed overflowing"},
        {{{"SELVANE_INPUT_DEVICE", "USB"}, {"SELVANE_OUTPUT_DEVICE", "spk"}},
         [](const auto& e) { return e.audio.inputCard == "USB" && e.audio.outputCard == "spk"; },
         "named cards"},
        {{{"CW_NO_MODAL", "1"}, {"DISPLAY", ":1"}, {"QT_QPA_PLATFORM", "xcb"}},
         [](const auto& e) { return e.noModalBoxes && e.x11Display && !e.waylandDisplay && e.toolkitPlatformChosen; },
         "desktop"},
        {{{"CW_NO_MODAL", "yes"}}, [](const auto& e) { return !e.noModalBoxes; }, "no-modal only for 1"},
        {{{"CW_FIRST_WINDOW_POS", "10,371"}},
         [](const auto& e) { return e.firstWindowPositionGiven && e.firstWindowX == 10 && e.firstWindowY == 371; },
         "window hint"},
        {{{"CW_FIRST_WINDOW_POS", "garbage"}},
         [](const auto& e) { return !e.firstWindowPositionGiven; },
         "malformed window hint"},
    };
    for (const Case& c : cases) {
        const platform::Environment env = platform::readEnvironment([&](const char* name) -> const char* {
            const auto it = c.vars.find(name);
            return it == c.vars.end() ? nullptr : it->second.c_str();
        });
        EXPECT_TRUE(c.check(env)) << c.what;
    }
}

TEST(PriorityClass, ResultMatchesTheSchedulingPriority) {
    // Run on a thread of its own: the niceness is per thread on Linux, so the
    // rest of the test program keeps its priority.
    std::thread([] {
        for (const bool realtime : {false, true}) {
            const int before = ::getpriority(PRIO_PROCESS, 0);
            const bool raised = platform::setPriorityClass(realtime);
            const int after = ::getpriority(PRIO_PROCESS, 0);
            const int wanted = realtime ? -20 : -10;
            if (raised) {
                EXPECT_LE(after, wanted) << (realtime ? "realtime" : "high") << " reported but nice is " << after;
            } else {
                EXPECT_EQ(after, before) << "a refusal changed the priority";
            }
        }
    }).join();
}

} // namespace
