#pragma once
// A fresh Platform per test with one window class whose procedure records
// every message and hands it to the test's own handler.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/messages.h"
#include "platform/platform.h"

namespace platform_test {

using namespace platform;

struct Received {
    WindowHandle window;
    unsigned message;
    WParam wParam;
    LParam lParam;
};

class PlatformFixture : public ::testing::Test {
  protected:
    static constexpr unsigned guardTimerId = 0xC0DE;
    static constexpr int guardExitCode = -99;

    PlatformFixture() {
        WindowClass wc;
        wc.name = className;
        wc.background = 0xFFFFFF;
        wc.procedure = [this](WindowHandle w, unsigned m, WParam wp, LParam lp) -> LResult {
            if (m == WM_TIMER && wp == guardTimerId) {
                platform.postQuit(guardExitCode);
                return 0;
            }
            log.push_back({w, m, wp, lp});
            if (handler) {
                return handler(w, m, wp, lp);
            }
            return platform.defWindowProc(w, m, wp, lp);
        };
        EXPECT_TRUE(platform.registerClass(wc));
    }

    WindowHandle makeWindow(bool visible = true, int width = 512, int height = 215) {
        WindowOptions o;
        o.className = className;
        o.captionCp1251 = "test";
        o.style = WindowStyle::FixedTopmost;
        o.width = width;
        o.height = height;
        o.visible = visible;
        return platform.createWindow(o);
    }

    // Runs the loop, ended by the test's own quit or by a guard timer after
    // `limitMs`, so that no test can hang. Returns the loop's code.
    int runBounded(WindowHandle guardWindow, unsigned limitMs) {
        platform.setTimer(guardWindow, guardTimerId, limitMs);
        const int code = platform.runLoop();
        platform.killTimer(guardWindow, guardTimerId);
        return code;
    }

    std::vector<Received> messagesOf(unsigned message) const {
        std::vector<Received> out;
        for (const Received& r : log) {
            if (r.message == message) {
                out.push_back(r);
            }
        }
        return out;
    }

    static inline int argc = 1;
    static inline char arg0[] = "platform_tests";
    static inline char* argv[] = {arg0, nullptr};

    // Unique per process, so parallel test programs do not see each other.
    const std::string className = "PlatformTestClass-" + std::to_string(getpid());
    Platform platform{argc, argv};
    std::vector<Received> log; // main thread
    std::function<LResult(WindowHandle, unsigned, WParam, LParam)> handler;
};

} // namespace platform_test
