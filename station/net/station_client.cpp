#include "station/net/station_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "dsp/audio_constants.h"
#include "platform/messages.h"

namespace station {

using platform::invalidSocket;
using platform::Socket;

namespace {

// Longest single wait of a connect, so a stop request is seen quickly, ms.

} // namespace

StationClient::StationClient(StationSettings& settings, platform::SocketNotifiers& notifiers, GsmCodecPair& codec,
                             BlockPlayout& playout, RelayHooks& hooks, ClientOptions options)
    : StreamContext(settings), settings_(settings), notifiers_(notifiers), codec_(codec), hooks_(hooks),
      options_(options), receive_(codec, *this, playout) {}

StationClient::~StationClient() {
    if (worker_.joinable()) {
        worker_.request_stop();
        worker_.join();
    }
    platform::closeSocket(socket_);
}

void StationClient::start(platform::WindowHandle window) {
    window_ = window;
    worker_ = std::jthread([this](std::stop_token stop) { reconnectWorker(stop); });
}

void StationClient::stop() {
    if (worker_.joinable()) {
        worker_.request_stop();
        worker_.join();
    }
    closeConnections();
}

void StationClient::reconnectWorker(std::stop_token stop) {
    while (!stop.stop_requested()) {
        if (linkState() != LinkState::Connected) {
            connectToServer(stop);
        }
        std::unique_lock lock(pauseMutex_);
        pause_.wait_for(lock, stop, std::chrono::milliseconds(options_.retryPauseMs), [] { return false; });
    }
}

void StationClient::connectToServer(std::stop_token stop) {
    setStatus(connectingStatus);
    hooks_.requestRedraw();

    const Socket s = platform::createTcpSocket();
    if (s == invalidSocket) {
        setStatus(socketErrorStatus);
        hooks_.requestRedraw();
        std::lock_guard lock(mutex_);
        state_ = LinkState::SocketFailed;
        return;
    }
    platform::setNoDelay(s);

    if (platform::connectTo(s, settings_.config.serverAddress, settings_.config.clientPort, options_.connectTimeoutMs,
                            stop) != 0) {
        platform::closeSocket(s);
        {
            std::lock_guard lock(mutex_);
            socket_ = invalidSocket;
        }
        setStatus(connectErrorStatus);
        hooks_.requestRedraw();
        return;
    }

    {
        // One step under the lock: the socket's first notification (even an
        // immediate close) is handled on the main thread only after the
        // connection is recorded as Connected, so it cannot be lost.
        std::lock_guard lock(mutex_);
        if (stop.stop_requested() ||
            !notifiers_.asyncSelect(s, window_, relay::CLIENT_SOCKET_MESSAGE, platform::FD_READ | platform::FD_CLOSE)) {
            platform::closeSocket(s);
            socket_ = invalidSocket;
            if (!stop.stop_requested()) {
                setStatus(notifyErrorStatus);
            }
        } else {
            socket_ = s;
            state_ = LinkState::Connected;
            outgoing_.reset();
            std::string text(connectedStatusPrefix);
            text += settings_.config.serverAddress;
            setStatus(text);
            const StreamPacket hello = buildStreamPacket(StreamPacketType::Hello, settings_);
            pushLocked(&hello, sizeof hello, OutgoingQueue::Kind::Control);
        }
    }
    hooks_.requestRedraw();
}

void StationClient::onServerLinkEvent(Socket socket, platform::LParam lParam) {
    {
        std::lock_guard lock(mutex_);
        if (socket != socket_ || socket == invalidSocket) {
            return; // a notification of a connection already closed
        }
    }
    const unsigned event = platform::loWord(static_cast<std::uintptr_t>(lParam));
    if (event == platform::FD_READ) {
        const platform::IoResult r = platform::recvBytes(socket, receiveBuffer_.data(), receiveBuffer_.size());
        if (r.ok() && r.bytes > 0) {
            receive_.feedStream(receiveBuffer_.data(), static_cast<int>(r.bytes), clientSlot);
        }
        return;
    }
    if (event == platform::FD_CLOSE) {
        {
            std::lock_guard lock(mutex_);
            socket_ = invalidSocket;
            outgoing_.reset();
            setStatus(disconnectedStatus);
            state_ = LinkState::Disconnected;
        }
        notifiers_.closeSocket(socket);
        hooks_.requestRedraw();
        hooks_.clearBlockPlayed();
        // A unit cut off by the close must not prefix the next connection's.
        receive_.reset();
    }
}

void StationClient::timeLimitTick() {
    {
        std::lock_guard lock(mutex_);
        if (socket_ != invalidSocket) {
            outgoing_.flush(SocketWriter{socket_});
        }
    }
    // A limit is never below 0 (TimeLimit packets are clamped), so the
    // countdown cannot overflow.
    std::int32_t limit = settings_.live.timeLimit.load();
    if (limit <= 0) {
        return;
    }
    settings_.live.timeLimit.store(--limit);
    if (limit == 0) {
        stopNow(timeExpiredMessage);
    }
}

void StationClient::stopNow(std::string_view messageCp1251) {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    hooks_.fatalStop(messageCp1251);
}

void StationClient::sendSettings() {
    const StreamPacket packet = buildStreamPacket(StreamPacketType::Settings, settings_);
    std::lock_guard lock(mutex_);
    if (state_ == LinkState::Connected) {
        pushLocked(&packet, sizeof packet, OutgoingQueue::Kind::Control);
    }
}

void StationClient::sendMicrophone(const std::int16_t* block, std::int32_t byteCount) {
    const std::int32_t blocks = byteCount / dsp::blockBytes;
    if (block == nullptr || blocks < 1 || static_cast<std::size_t>(blocks) > maxChunkFrames ||
        byteCount % dsp::blockBytes != 0 || linkState() != LinkState::Connected) {
        return;
    }
    encodeBlocks(codec_, block, frames_.data(), blocks);
    std::lock_guard lock(mutex_);
    if (state_ == LinkState::Connected) {
        pushLocked(frames_.data(), static_cast<std::size_t>(blocks) * streamUnitBytes, OutgoingQueue::Kind::Audio);
    }
}

void StationClient::closeConnections() {
    Socket s = invalidSocket;
    {
        std::lock_guard lock(mutex_);
        s = socket_;
        socket_ = invalidSocket;
        outgoing_.reset();
    }
    if (s != invalidSocket) {
        notifiers_.closeSocket(s);
    }
    receive_.reset();
}

void StationClient::sendToServer(const void* bytes, std::size_t count) {
    std::lock_guard lock(mutex_);
    pushLocked(bytes, count, OutgoingQueue::Kind::Control);
}

void StationClient::pushLocked(const void* bytes, std::size_t count, OutgoingQueue::Kind kind) {
    if (socket_ == invalidSocket) {
        return;
    }
    if (outgoing_.push(bytes, count, kind, SocketWriter{socket_}) == OutgoingQueue::Result::Overflow) {
        // The server has read nothing for a long time: end the connection;
        // its close notification starts a new one.
        platform::shutdownSocket(socket_, platform::ShutdownDirection::Both);
    }
}

LinkState StationClient::linkState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

platform::Socket StationClient::connectionSocket() const {
    std::lock_guard lock(mutex_);
    return socket_;
}

bool StationClient::socketOpen() const {
    std::lock_guard lock(mutex_);
    return socket_ != invalidSocket;
}

void StationClient::setStatus(std::string_view textCp1251) {
    std::lock_guard lock(statusMutex_);
    const std::size_t n = std::min(textCp1251.size(), statusTextBytes - 1);
    std::memcpy(statusText_, textCp1251.data(), n);
    statusText_[n] = '\0';
}

void StationClient::copyStatusText(std::span<char> out) const {
    if (out.empty()) {
        return;
    }
    std::lock_guard lock(statusMutex_);
    const std::size_t n = std::min(std::strlen(statusText_), out.size() - 1);
    std::memcpy(out.data(), statusText_, n);
    out[n] = '\0';
}

std::string StationClient::statusText() const {
    std::lock_guard lock(statusMutex_);
    return statusText_;
}

} // namespace station
