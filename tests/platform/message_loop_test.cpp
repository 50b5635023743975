// The message queue, the loop, quitting, timers and window lifetime.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/platform/platform_fixture.h"

namespace platform_test {
namespace {

constexpr unsigned MSG_A = WM_USER + 1;
constexpr unsigned MSG_B = WM_USER + 2;

using MessageLoopTest = PlatformFixture;

TEST_F(MessageLoopTest, PostsFromSeveralThreadsAllArriveInOrderPerThread) {
    const WindowHandle w = makeWindow(false);
    constexpr int threads = 4;
    constexpr int perThread = 500;
    std::vector<int> next(threads, 0);
    int received = 0;
    bool ordered = true;
    handler = [&](WindowHandle, unsigned m, WParam wp, LParam lp) -> LResult {
        if (m == MSG_A) {
            const auto t = static_cast<int>(wp);
            ordered = ordered && lp == next[t];
            next[t] = static_cast<int>(lp) + 1;
            if (++received == threads * perThread) {
                platform.postQuit(0);
            }
        }
        return 0;
    };
    std::vector<std::thread> posters;
    std::atomic<int> refused{0};
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                if (!platform.postMessage(w, MSG_A, static_cast<WParam>(t), i)) {
                    ++refused;
                }
            }
        });
    }
    const int code = runBounded(w, 5000);
    for (auto& p : posters) {
        p.join();
    }
    EXPECT_EQ(code, 0) << "loop ended by the guard timer: " << received << " of " << threads * perThread << " arrived";
    EXPECT_EQ(refused.load(), 0);
    EXPECT_TRUE(ordered) << "a thread's messages arrived out of order";
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(next[t], perThread) << "thread " << t;
    }
}

// A message sent from another thread runs on the loop's thread and its
// result reaches the sender; a cancel ends a wait the loop would never end
// (the loop is not running), and the abandoned call still runs later.
TEST_F(MessageLoopTest, SentFromAnotherThreadRunsOnTheLoopThreadOrIsCancelled) {
    const WindowHandle w = makeWindow(false);
    const std::thread::id loopThread = std::this_thread::get_id();
    std::atomic<int> onLoopThread{0}, elsewhere{0};
    handler = [&](WindowHandle, unsigned m, WParam wp, LParam) -> LResult {
        if (m != MSG_A) {
            return 0;
        }
        (std::this_thread::get_id() == loopThread ? onLoopThread : elsewhere)++;
        return static_cast<LResult>(wp) * 2;
    };
    SentMessages sent;

    // No loop yet: the sender waits until cancelled.
    std::atomic<LResult> abandoned{-1};
    std::thread early([&] { abandoned = platform.sendMessage(sent, w, MSG_A, 5, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(abandoned.load(), -1) << "returned before the loop ran or a cancel came";
    sent.cancel();
    early.join();
    EXPECT_EQ(abandoned.load(), 0);
    EXPECT_EQ(platform.sendMessage(sent, w, MSG_A, 6, 0), 12) << "on the loop's thread: a direct call";

    sent.rearm();
    std::atomic<LResult> result{-1};
    std::thread sender([&] {
        LResult r = 0;
        while ((r = platform.sendMessage(sent, w, MSG_A, 21, 0)) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the abandoned call runs first
        }
        result = r;
        platform.postQuit(0);
    });
    EXPECT_EQ(runBounded(w, 5000), 0);
    sender.join();
    EXPECT_EQ(result.load(), 42);
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_EQ(onLoopThread.load(), 3) << "the abandoned call, the direct one and the sent one";
}

TEST_F(MessageLoopTest, QuitEndsLoopAfterEarlierMessagesAndLaterOnesWaitForNextLoop) {
    const WindowHandle w = makeWindow(false);
    ASSERT_TRUE(platform.postMessage(w, MSG_A, 1, 0));
    ASSERT_TRUE(platform.postMessage(w, MSG_A, 2, 0));
    platform.postQuit(7);
    ASSERT_TRUE(platform.postMessage(w, MSG_B, 3, 0));

    EXPECT_EQ(runBounded(w, 3000), 7);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].wParam, 1u);
    EXPECT_EQ(log[1].wParam, 2u);

    platform.postQuit(-3);
    EXPECT_EQ(runBounded(w, 3000), -3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].message, MSG_B);
}

TEST_F(MessageLoopTest, QuitAndTerminationSignalFromOtherThreads) {
    const WindowHandle w = makeWindow(false);
    std::thread quitter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        platform.postQuit(5);
    });
    EXPECT_EQ(runBounded(w, 3000), 5);
    quitter.join();

    // SIGTERM (as from kill) takes the normal way out: a quit with code 0.
    std::thread signaller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::kill(::getpid(), SIGTERM);
    });
    EXPECT_EQ(runBounded(w, 3000), 0);
    signaller.join();
}

TEST_F(MessageLoopTest, WindowLifetime) {
    const WindowHandle a = makeWindow(false);
    const WindowHandle b = makeWindow(true);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_FALSE(platform.postMessage(0, MSG_A, 0, 0));
    EXPECT_FALSE(platform.postMessage(b + 100, MSG_A, 0, 0));

    handler = [](WindowHandle, unsigned m, WParam wp, LParam) -> LResult {
        return m == MSG_B ? 40 + static_cast<LResult>(wp) : 0;
    };
    EXPECT_EQ(platform.sendMessage(a, MSG_B, 2, 0), 42);

    ASSERT_TRUE(platform.postMessage(a, MSG_A, 0, 0)); // queued, then the window goes
    platform.destroyWindow(a);
    EXPECT_EQ(messagesOf(WM_DESTROY).size(), 1u);
    EXPECT_FALSE(platform.postMessage(a, MSG_A, 0, 0));
    const WindowHandle c = makeWindow(false);
    EXPECT_NE(c, a) << "handles are never reused";

    log.clear();
    platform.postQuit(0);
    EXPECT_EQ(runBounded(b, 2000), 0);
    EXPECT_TRUE(messagesOf(MSG_A).empty()) << "a message for a destroyed window was delivered";

    // The desktop's close command goes to the procedure; its default handling
    // destroys the window.
    log.clear();
    handler = nullptr;
    platform.sendMessage(b, WM_CLOSE, 0, 0);
    EXPECT_EQ(messagesOf(WM_DESTROY).size(), 1u);
    EXPECT_FALSE(platform.postMessage(b, MSG_A, 0, 0));
}

TEST_F(MessageLoopTest, QueueRefusesPostsBeyondItsLimit) {
    const WindowHandle w = makeWindow(false);
    int accepted = 0;
    while (accepted < 20000 && platform.postMessage(w, MSG_A, 0, accepted)) {
        ++accepted;
    }
    EXPECT_EQ(accepted, 10000);
    platform.postQuit(1); // a quit still fits
    EXPECT_EQ(runBounded(w, 5000), 1);
    EXPECT_EQ(messagesOf(MSG_A).size(), 10000u);
}

TEST_F(MessageLoopTest, TimerTicksAtItsPeriodUntilKilled) {
    const WindowHandle w = makeWindow(false); // hidden windows get timers too
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    Clock::duration fifth{};
    int ticks = 0;
    handler = [&](WindowHandle, unsigned m, WParam wp, LParam) -> LResult {
        if (m == WM_TIMER && wp == 3 && ++ticks == 5) {
            fifth = Clock::now() - start;
            platform.killTimer(w, 3);
            platform.setTimer(w, 4, 300); // ends the test after a quiet spell
        } else if (m == WM_TIMER && wp == 4) {
            platform.postQuit(0);
        }
        return 0;
    };
    ASSERT_TRUE(platform.setTimer(w, 3, 50));
    EXPECT_EQ(runBounded(w, 5000), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(fifth).count();
    EXPECT_GE(ms, 200) << "5 ticks of 50 ms came after " << ms << " ms";
    EXPECT_LE(ms, 600) << "5 ticks of 50 ms came after " << ms << " ms";
    EXPECT_EQ(ticks, 5) << "the timer ticked after killTimer";
    EXPECT_FALSE(platform.setTimer(w + 1000, 1, 50));
}

} // namespace
} // namespace platform_test
