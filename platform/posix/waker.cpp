// The device worker's waker on a POSIX semaphore.

#include "platform/core/audio_engine.h"

#include <semaphore.h>

#include <cerrno>
#include <ctime>

namespace platform::audio {

struct Waker::Impl {
    sem_t semaphore;
};

Waker::Waker() : impl_(std::make_unique<Impl>()) { ::sem_init(&impl_->semaphore, 0, 0); }

Waker::~Waker() { ::sem_destroy(&impl_->semaphore); }

void Waker::release() { ::sem_post(&impl_->semaphore); }

void Waker::try_acquire_until(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) {
        while (::sem_wait(&impl_->semaphore) != 0 && errno == EINTR) {
        }
        return;
    }
    // steady_clock is CLOCK_MONOTONIC.
    const auto sinceEpoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec until{};
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    while (::sem_clockwait(&impl_->semaphore, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
    }
}

} // namespace platform::audio
