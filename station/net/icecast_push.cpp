#include "station/net/icecast_push.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

namespace station {

namespace {

// Copies `text` into `out`, cut to fit, NUL-terminated.
void copyCut(std::span<char> out, std::string_view text) {
    if (out.empty()) {
        return;
    }
    const std::size_t n = std::min(text.size(), out.size() - 1);
    std::memcpy(out.data(), text.data(), n);
    out[n] = '\0';
}

} // namespace

std::string_view icecastStateText(IcecastPush::State state) {
    switch (state) {
    case IcecastPush::State::Connecting:
        return "connecting";
    case IcecastPush::State::Connected:
        return "connected";
    case IcecastPush::State::Reconnecting:
        return "reconnecting";
    case IcecastPush::State::Refused:
        return "refused";
    }
    return "";
}

std::string_view icecastReasonText(IcecastPush::Reason reason) {
    switch (reason) {
    case IcecastPush::Reason::None:
        return "";
    case IcecastPush::Reason::Unreachable:
        return "server unreachable";
    case IcecastPush::Reason::Lost:
        return "connection lost";
    case IcecastPush::Reason::TooSlow:
        return "server too slow";
    case IcecastPush::Reason::WrongPassword:
        return "wrong user or password";
    case IcecastPush::Reason::MountInUse:
        return "mount in use";
    case IcecastPush::Reason::Encoder:
        return "encoder failed";
    }
    return "";
}

IcecastPush::IcecastPush(IcecastTarget target, IcecastStreamInfo info, std::unique_ptr<IcecastConnection> connection,
                         std::unique_ptr<StreamEncoder> encoder, Timing timing, StatusLog log)
    : target_(std::move(target)), info_(std::move(info)), targetName_(target_.displayName()),
      connection_(std::move(connection)), encoder_(std::move(encoder)), timing_(timing), log_(std::move(log)),
      blocks_(std::make_unique<Block[]>(ringSize)) {}

IcecastPush::~IcecastPush() { stop(); }

void IcecastPush::start() {
    if (!thread_.joinable()) {
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }
}

void IcecastPush::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void IcecastPush::pushBlock(const std::int16_t* samples, int count) noexcept {
    const std::uint32_t head = head_.load(std::memory_order_relaxed);
    const std::uint32_t next = (head + 1) % ringSize;
    if (next == tail_.load(std::memory_order_acquire)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Block& block = blocks_[head];
    const int n = samples == nullptr ? 0 : std::clamp(count, 0, blockSamples);
    std::copy_n(samples, n, block.begin());
    std::fill(block.begin() + n, block.end(), std::int16_t{0});
    head_.store(next, std::memory_order_release);
}

void IcecastPush::onBlockPlayed(const std::int16_t* samples, int count) noexcept {
    for (int offset = 0; offset < count; offset += blockSamples) {
        pushBlock(samples + offset, std::min(blockSamples, count - offset));
    }
}

void IcecastPush::copyStatusText(std::span<char> out) const {
    if (out.empty()) {
        return;
    }
    const int status = status_.load(std::memory_order_acquire);
    const bool refused = stateOf(status) == State::Refused;
    const std::string_view state = icecastStateText(stateOf(status));
    const std::string_view reason = icecastReasonText(reasonOf(status));
    // "Icecast host:port/mount: refused: mount in use"; a reconnect's
    // reason in brackets: "reconnecting (server unreachable)".
    const char* open = refused ? ": " : " (";
    const char* close = refused ? "" : ")";
    const int n = reason.empty() ? std::snprintf(out.data(), out.size(), "Icecast %s: %.*s", targetName_.c_str(),
                                                 static_cast<int>(state.size()), state.data())
                                 : std::snprintf(out.data(), out.size(), "Icecast %s: %.*s%s%.*s%s",
                                                 targetName_.c_str(), static_cast<int>(state.size()), state.data(),
                                                 open, static_cast<int>(reason.size()), reason.data(), close);
    if (n < 0) {
        out[0] = '\0';
    }
}

void IcecastPush::copyShortStatusText(std::span<char> out) const {
    if (out.empty()) {
        return;
    }
    const int status = status_.load(std::memory_order_acquire);
    const std::string_view state = icecastStateText(stateOf(status));
    const std::string_view reason = icecastReasonText(reasonOf(status));
    if (stateOf(status) == State::Refused && !reason.empty()) {
        const int n = std::snprintf(out.data(), out.size(), "Icecast: refused: %.*s", static_cast<int>(reason.size()),
                                    reason.data());
        if (n < 0) {
            out[0] = '\0';
        }
        return;
    }
    char line[64];
    const int n = std::snprintf(line, sizeof line, "Icecast: %.*s", static_cast<int>(state.size()), state.data());
    copyCut(out, std::string_view(line, static_cast<std::size_t>(std::clamp<int>(n, 0, sizeof line - 1))));
}

void IcecastPush::setState(State state, Reason reason) {
    const int status = packed(state, reason);
    if (status_.exchange(status, std::memory_order_acq_rel) != status && log_) {
        char line[512];
        copyStatusText(line);
        log_(line);
    }
}

bool IcecastPush::pause(std::stop_token stop, int ms) {
    std::unique_lock lock(pauseMutex_);
    pauseWake_.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
    return !stop.stop_requested();
}

void IcecastPush::discardQueued() { tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release); }

void IcecastPush::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        const IcecastConnection::OpenResult opened = connection_->open(target_, info_, stop);
        if (stop.stop_requested()) {
            break;
        }
        switch (opened) {
        case IcecastConnection::OpenResult::Connected:
            connections_.fetch_add(1, std::memory_order_relaxed);
            setState(State::Connected, Reason::None);
            stream(stop);
            if (!pause(stop, timing_.reconnectDelayMs)) {
                return;
            }
            break;
        case IcecastConnection::OpenResult::Unreachable:
            setState(State::Reconnecting, Reason::Unreachable);
            if (!pause(stop, timing_.reconnectDelayMs)) {
                return;
            }
            break;
        case IcecastConnection::OpenResult::WrongPassword:
        case IcecastConnection::OpenResult::MountInUse:
            setState(State::Refused, opened == IcecastConnection::OpenResult::WrongPassword ? Reason::WrongPassword
                                                                                            : Reason::MountInUse);
            if (!pause(stop, timing_.refusedDelayMs)) {
                return;
            }
            break;
        }
    }
}

void IcecastPush::stream(std::stop_token stop) {
    // What was queued while there was no connection is stale now.
    discardQueued();
    IcecastConnection::SendResult failure = IcecastConnection::SendResult::Sent;
    const bool begun = encoder_->begin(info_, [&](std::span<const std::uint8_t> page) {
        if (failure == IcecastConnection::SendResult::Sent) {
            failure = connection_->send(page);
        }
    });
    if (!begun) {
        connection_->close();
        setState(State::Reconnecting, Reason::Encoder);
        return;
    }
    using Clock = std::chrono::steady_clock;
    constexpr auto blockTime = std::chrono::milliseconds(20);
    const Block silence{};
    // The time up to which the stream holds audio, played or filled in.
    Clock::time_point streamedUntil = Clock::now();
    while (!stop.stop_requested() && failure == IcecastConnection::SendResult::Sent) {
        const std::uint32_t tail = tail_.load(std::memory_order_relaxed);
        bool encoded = false;
        if (tail != head_.load(std::memory_order_acquire)) {
            encoded = encoder_->encode(blocks_[tail]);
            tail_.store((tail + 1) % ringSize, std::memory_order_release);
            encoded_.fetch_add(1, std::memory_order_relaxed);
            streamedUntil = Clock::now();
        } else if (Clock::now() - streamedUntil >= std::chrono::milliseconds(timing_.silenceAfterMs)) {
            // One block of silence per 20 ms of the gap, the gap's start
            // included, so the stream keeps the real-time pace.
            encoded = encoder_->encode(silence);
            silence_.fetch_add(1, std::memory_order_relaxed);
            streamedUntil += blockTime;
        } else {
            pause(stop, timing_.pollMs);
            continue;
        }
        if (!encoded) {
            encoder_->end();
            connection_->close();
            setState(State::Reconnecting, Reason::Encoder);
            return;
        }
    }
    // On a stop the last pages still go out, so a listener hears the end.
    encoder_->end();
    connection_->close();
    if (!stop.stop_requested()) {
        setState(State::Reconnecting,
                 failure == IcecastConnection::SendResult::TooSlow ? Reason::TooSlow : Reason::Lost);
    }
}

} // namespace station
