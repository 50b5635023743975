#include "platform/posix/loop_events.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <utility>

namespace platform::posix {

struct QuitSignals::Saved {
    sigset_t mask{};
};

QuitSignals::QuitSignals() {
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGTERM);
    auto saved = std::make_unique<Saved>();
    if (pthread_sigmask(SIG_BLOCK, &quit, &saved->mask) == 0) {
        saved_ = std::move(saved);
        fd_ = ::signalfd(-1, &quit, SFD_NONBLOCK | SFD_CLOEXEC);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

QuitSignals::~QuitSignals() {
    if (fd_ >= 0) {
        // A stop request that came in after the loop ended is for a program
        // already stopping: take it off, so that restoring the mask does not
        // let it kill the process on its way out.
        take();
        ::close(fd_);
    }
    if (saved_ != nullptr) {
        pthread_sigmask(SIG_SETMASK, &saved_->mask, nullptr);
    }
}

int QuitSignals::take() {
    int n = 0;
    signalfd_siginfo info{};
    while (fd_ >= 0 && ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        ++n;
    }
    return n;
}

WakeCounter::WakeCounter() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeCounter::~WakeCounter() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void WakeCounter::raise() {
    if (fd_ < 0 || raised_.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    const std::uint64_t one = 1;
    // EAGAIN only when the counter is near 2^64: the loop is awake anyway.
    [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

void WakeCounter::clear() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd_, &count, sizeof count);
    // After the read: a raise from here on writes again, and one that came
    // between the read and this exchange is seen by the loop's look that
    // follows (the exchange takes the raiser's release).
    raised_.exchange(false, std::memory_order_acq_rel);
}

WakeTimer::WakeTimer() : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {}

WakeTimer::~WakeTimer() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void WakeTimer::arm(int milliseconds) {
    if (fd_ < 0) {
        return;
    }
    itimerspec when{};
    when.it_value.tv_sec = milliseconds / 1000;
    when.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1'000'000L;
    ::timerfd_settime(fd_, 0, &when, nullptr);
}

void WakeTimer::disarm() {
    if (fd_ >= 0) {
        const itimerspec never{};
        ::timerfd_settime(fd_, 0, &never, nullptr);
    }
}

void WakeTimer::clear() {
    std::uint64_t expiries = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd_, &expiries, sizeof expiries);
}

bool isOwnChild(long pid) {
    // WNOWAIT leaves an ended child for whoever reaps it.
    siginfo_t info{};
    return pid > 0 && ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

int processExitDescriptor(long pid) { return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)); }

void closeDescriptor(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

} // namespace platform::posix
