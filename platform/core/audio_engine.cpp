// The device building blocks every medium shares: header queues, the
// sample ring, the sample format.

#include "platform/core/audio_engine.h"

#include <algorithm>
#include <cmath>

namespace platform::audio {

Clock::duration blockDuration(std::size_t samples, int speed) {
    const auto ns = static_cast<std::int64_t>(samples) * 1'000'000'000LL /
                    (static_cast<std::int64_t>(stationRate) * std::max(speed, 1));
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

void HeaderQueue::push(WaveHeader* h) {
    h->next_ = nullptr;
    if (tail_ == nullptr) {
        head_ = tail_ = h;
    } else {
        tail_->next_ = h;
        tail_ = h;
    }
}

WaveHeader* HeaderQueue::pop() {
    WaveHeader* h = head_;
    if (h != nullptr) {
        head_ = h->next_;
        if (head_ == nullptr) {
            tail_ = nullptr;
        }
        h->next_ = nullptr;
    }
    return h;
}

void DeviceCore::completeFront() {
    if (WaveHeader* h = queue.pop()) {
        h->state_ = WaveHeader::State::Returning;
        returning.push(h);
    }
}

SpscRing::SpscRing(std::size_t capacityPow2) : buf_(capacityPow2), mask_(capacityPow2 - 1) {}

std::size_t SpscRing::readable() const {
    return static_cast<std::size_t>(write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed));
}

std::size_t SpscRing::writable() const {
    return buf_.size() -
           static_cast<std::size_t>(write_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
}

std::size_t SpscRing::write(const float* src, std::size_t n) {
    const std::uint64_t w = write_.load(std::memory_order_relaxed);
    n = std::min(n, writable());
    for (std::size_t i = 0; i < n; ++i) {
        buf_[static_cast<std::size_t>(w + i) & mask_] = src[i];
    }
    write_.store(w + n, std::memory_order_release); // publishes the samples
    return n;
}

std::size_t SpscRing::read(float* dst, std::size_t n) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    n = std::min(n, readable());
    for (std::size_t i = 0; i < n; ++i) {
        dst[i] = buf_[static_cast<std::size_t>(r + i) & mask_];
    }
    read_.store(r + n, std::memory_order_release); // hands the slots back
    return n;
}

void SpscRing::discardAll() { read_.store(write_.load(std::memory_order_acquire), std::memory_order_release); }

void SpscRing::discard(std::size_t n) {
    read_.store(read_.load(std::memory_order_relaxed) + std::min(n, readable()), std::memory_order_release);
}

std::int16_t floatToPcm16(float x) {
    // A float file may hold NaN; it carries no sound, and converting it to an
    // integer would be undefined, so it becomes silence.
    if (std::isnan(x)) {
        return 0;
    }
    const float scaled = std::nearbyint(x * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

int findDeviceByName(const std::vector<std::string>& names, std::string_view wanted) {
    if (wanted.empty()) {
        return -1;
    }
    const auto lower = [](std::string_view text) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return out;
    };
    const std::string key = lower(wanted);
    int contains = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string name = lower(names[i]);
        if (name == key) {
            return static_cast<int>(i);
        }
        if (contains < 0 && name.find(key) != std::string::npos) {
            contains = static_cast<int>(i);
        }
    }
    return contains;
}

} // namespace platform::audio
