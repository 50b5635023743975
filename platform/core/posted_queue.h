#pragma once
// Private to platform/: the queue of posted messages a message loop drains.
// A fixed ring allocated once, so posting from an audio callback never
// allocates; any thread may post, the loop's thread takes.

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace platform {

struct PostedMessage {
    WindowHandle window = 0; // 0 with WM_QUIT: the quit message
    unsigned message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
    SentMessages* sent = nullptr; // a sent call: its sender waits there
};

class PostedQueue {
  public:
    static constexpr std::size_t postLimit = 10000; // ordinary messages waiting, at most
    static constexpr std::size_t quitHeadroom = 64; // room kept beyond them for quits

    PostedQueue() : ring_(postLimit + quitHeadroom) {}

    // Appends; false when full. A quit message may use the headroom, so a
    // flood of ordinary messages cannot keep a program from ending.
    bool push(const PostedMessage& entry);
    // Takes the oldest message into `out`; false when there is none, or when
    // it is a quit and `loopRunning` is false (a quit met outside the loop,
    // say in a modal box before it starts, waits for the loop).
    bool pop(PostedMessage& out, bool loopRunning);
    bool empty() const;
    // Queued calls of `sender` are delivered as plain posts from now on: the
    // sender stops waiting for them.
    void forgetSender(const SentMessages& sender);

    static bool isQuit(const PostedMessage& entry) { return entry.window == 0 && entry.message == WM_QUIT; }

  private:
    mutable std::mutex mutex_;
    std::vector<PostedMessage> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

} // namespace platform
