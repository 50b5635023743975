#include "platform/core/posted_queue.h"

namespace platform {

bool PostedQueue::push(const PostedMessage& entry) {
    const std::lock_guard lock(mutex_);
    if (count_ >= (isQuit(entry) ? postLimit + quitHeadroom : postLimit)) {
        return false;
    }
    ring_[(head_ + count_) % ring_.size()] = entry;
    ++count_;
    return true;
}

bool PostedQueue::pop(PostedMessage& out, bool loopRunning) {
    const std::lock_guard lock(mutex_);
    if (count_ == 0 || (isQuit(ring_[head_]) && !loopRunning)) {
        return false;
    }
    out = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
    return true;
}

bool PostedQueue::empty() const {
    const std::lock_guard lock(mutex_);
    return count_ == 0;
}

void PostedQueue::forgetSender(const SentMessages& sender) {
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
        PostedMessage& entry = ring_[(head_ + i) % ring_.size()];
        if (entry.sent == &sender) {
            entry.sent = nullptr;
        }
    }
}

} // namespace platform
