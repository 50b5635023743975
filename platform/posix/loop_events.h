#pragma once
// Private to platform/: the descriptors a message loop watches, on Linux.

#include <atomic>
#include <memory>

namespace platform::posix {

// Ctrl-C and SIGTERM as a readable descriptor instead of a handler. Made
// before any thread starts (threads inherit the blocked mask), it blocks both
// signals in the calling thread and ignores SIGPIPE and SIGXFSZ, so that a
// lost reader or a file size limit makes a write fail instead of ending the
// process. Its end takes pending stop requests off and restores the mask.
class QuitSignals {
  public:
    QuitSignals();
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    int fd() const { return fd_; } // -1 when signals cannot be read this way
    // Reads the pending stop requests; how many there were.
    int take();

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_; // the mask to restore; null when none was changed
    int fd_ = -1;
};

// A counter any thread may raise to wake the loop (eventfd). A raise while
// an earlier one is still unread writes nothing: the loop wakes once for
// both, and the second costs no system call.
class WakeCounter {
  public:
    WakeCounter();
    ~WakeCounter();
    WakeCounter(const WakeCounter&) = delete;
    WakeCounter& operator=(const WakeCounter&) = delete;

    int fd() const { return fd_; } // -1 when there is none
    void raise();                  // any thread
    void clear();                  // the loop's thread, before it looks at what woke it

  private:
    int fd_ = -1;
    std::atomic<bool> raised_{false}; // a raise was written and not yet cleared
};

// A one-shot timer any thread may set to wake the loop a little later
// (timerfd): readable once it has run out.
class WakeTimer {
  public:
    WakeTimer();
    ~WakeTimer();
    WakeTimer(const WakeTimer&) = delete;
    WakeTimer& operator=(const WakeTimer&) = delete;

    int fd() const { return fd_; } // -1 when there is none
    void arm(int milliseconds);    // any thread; a later arm replaces an earlier one
    void disarm();                 // any thread
    void clear();                  // the loop's thread: takes the expiry

  private:
    int fd_ = -1;
};

// Whether `pid` is a child of this process that can be reaped (an ended one
// stays reapable).
bool isOwnChild(long pid);
// A descriptor that becomes readable when the process ends, or -1 where the
// kernel has none (before Linux 5.3). The caller closes it.
int processExitDescriptor(long pid);
void closeDescriptor(int fd);

} // namespace platform::posix
