#include "station/net/station_server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <system_error>

#include "dsp/audio_constants.h"
#include "platform/files.h"
#include "platform/messages.h"

namespace station {

using namespace platform::literals;
using platform::invalidSocket;
using platform::Socket;

namespace {

constexpr auto acceptLineFormat = "%s  Соединение с           %s\n"_cp1251;
constexpr auto helloLineFormat = "%s  Имя                    %s\n"_cp1251;
constexpr auto closeLineFormat = "%s  Разорвано соединение с %s\n"_cp1251;
constexpr auto contactTextFormat = "Контакт %s"_cp1251;
constexpr auto closedTextFormat = "Разорвано соединение с %s"_cp1251;
constexpr auto connectionListFormat = "%s     %s\n"_cp1251;

// The connection list's buffer: everything beyond is cut off.
constexpr std::size_t connectionListBytes = 10000;
// Reads of a closing connection's unread bytes, so its close is a FIN and
// not a reset that could destroy what was sent last.
constexpr int drainReads = 16;

// printf-style "%s" substitution, in order; other text is copied as is.
std::string formatText(std::string_view format, std::initializer_list<std::string_view> args) {
    std::string out;
    auto arg = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && arg != args.end()) {
            out += *arg++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

} // namespace

std::string connectionLogStamp(const std::tm& t) {
    static constexpr const char* weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* weekday = t.tm_wday >= 0 && t.tm_wday < 7 ? weekdays[t.tm_wday] : "???";
    const char* month = t.tm_mon >= 0 && t.tm_mon < 12 ? months[t.tm_mon] : "???";
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", weekday, month, t.tm_mday, t.tm_hour, t.tm_min,
                  t.tm_sec, 1900 + t.tm_year);
    return text;
}

std::string printableText(const char* text, std::size_t maxBytes) {
    std::string out;
    for (std::size_t i = 0; i < maxBytes && text[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out += c < 0x20 ? '?' : text[i];
    }
    return out;
}

StationServer::StationServer(StationSettings& settings, platform::SocketNotifiers& notifiers, GsmCodecPair& codec,
                             BlockPlayout& playout, RelayHooks& hooks, ServerOptions options)
    : StreamContext(settings), settings_(settings), notifiers_(notifiers), codec_(codec), hooks_(hooks),
      options_(std::move(options)), receive_(codec, *this, playout) {}

StationServer::~StationServer() {
    // stopServer() is the orderly end, while the notifiers still exist; this
    // only keeps descriptors from leaking when it was not called.
    for (ClientSlot& slot : slots_) {
        platform::closeSocket(slot.socket);
    }
    platform::closeSocket(listener_);
}

int StationServer::usedSlots() const { return std::clamp(settings_.config.maxConnections, 0, slotCount); }

platform::Socket StationServer::slotSocket(int slot) const {
    if (slot < 0 || slot >= slotCount) {
        return invalidSocket;
    }
    std::lock_guard lock(mutex_);
    return slots_[static_cast<std::size_t>(slot)].socket;
}

int StationServer::occupiedCount() const {
    std::lock_guard lock(mutex_);
    return occupied_;
}

bool StationServer::receivesStream(int slot) const {
    return slot == 0 && (settings_.config.dialogMode || settings_.config.commandMode);
}

int StationServer::slotOf(Socket socket) const {
    for (int i = 0; i < slotCount; ++i) {
        if (slots_[static_cast<std::size_t>(i)].socket == socket) {
            return i;
        }
    }
    return -1;
}

bool StationServer::startListening(platform::WindowHandle window) {
    window_ = window;
    const Socket s = platform::createTcpSocket();
    if (s == invalidSocket) {
        hooks_.requestRedraw();
        return false;
    }
    // Without SO_REUSEADDR a restarted server could not listen on its port
    // until the old connections' TIME_WAIT had passed.
    platform::setReuseAddr(s);
    if (!platform::bindSocket(s, platform::BindAddress::Any, settings_.config.serverPort)) {
        platform::closeSocket(s);
        return false;
    }
    platform::setNoDelay(s);
    if (!platform::listenSocket(s, 1)) {
        platform::closeSocket(s);
        return false;
    }
    if (!notifiers_.asyncSelect(s, window, relay::SERVER_ACCEPT_MESSAGE, platform::FD_ACCEPT)) {
        platform::closeSocket(s);
        return false;
    }
    listener_ = s;
    return true;
}

std::uint16_t StationServer::listeningPort() const {
    return listener_ == invalidSocket ? 0 : platform::localPort(listener_);
}

void StationServer::onListenEvent(platform::LParam lParam) {
    if (listener_ == invalidSocket) {
        return;
    }
    if (platform::hiWord(static_cast<std::uintptr_t>(lParam)) != 0) {
        // An error on the listening socket: accept nobody from now on.
        notifiers_.asyncSelect(listener_, window_, 0, 0);
        return;
    }
    accept();
}

void StationServer::accept() {
    int index = -1;
    for (int i = 0; i < usedSlots(); ++i) {
        if (slots_[static_cast<std::size_t>(i)].socket == invalidSocket) {
            index = i;
            break;
        }
    }
    const platform::AcceptResult accepted = platform::acceptConnection(listener_);
    if (accepted.socket == invalidSocket) {
        return;
    }
    if (index < 0) {
        platform::closeSocket(accepted.socket); // all slots busy: refused without a word
        return;
    }
    if (!notifiers_.asyncSelect(accepted.socket, window_, relay::SERVER_SOCKET_MESSAGE,
                                platform::FD_READ | platform::FD_CLOSE)) {
        notifiers_.closeSocket(accepted.socket);
        return;
    }
    platform::setNoDelay(accepted.socket);

    ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
    {
        std::lock_guard lock(mutex_);
        slot.socket = accepted.socket;
        std::snprintf(slot.peerAddress, sizeof slot.peerAddress, "%s", accepted.peerAddress.c_str());
        slot.secondsConnected = 0;
        slot.loggedIn = false;
        slot.rejected = false;
        slot.shutdownPending = false;
        slot.greeted = false;
        slot.acceptedAt = std::chrono::steady_clock::now();
        slot.outgoing.reset();
        ++occupied_;
    }
    slot.incoming.reset();
    if (receivesStream(index)) {
        receive_.reset();
    }

    writeLog(acceptLineFormat.c_str(), slot.peerAddress);
    hooks_.drawStatusLine(formatText(contactTextFormat, {printableText(slot.peerAddress, sizeof slot.peerAddress)}));

    if (settings_.live.timeLimit.load() != 0) {
        const StreamPacket limit = buildStreamPacket(StreamPacketType::TimeLimit, settings_);
        std::lock_guard lock(mutex_);
        pushLocked(index, &limit, sizeof limit, OutgoingQueue::Kind::Control);
    }
    if (settings_.config.loginRequired) {
        const StreamPacket request = buildStreamPacket(StreamPacketType::LoginRequest, settings_);
        std::lock_guard lock(mutex_);
        pushLocked(index, &request, sizeof request, OutgoingQueue::Kind::Control);
    }
}

void StationServer::onPeerEvent(Socket socket, platform::LParam lParam) {
    const unsigned event = platform::loWord(static_cast<std::uintptr_t>(lParam));
    if (event == platform::FD_READ) {
        const platform::IoResult r = platform::recvBytes(socket, receiveBuffer_.data(), receiveBuffer_.size());
        if (!r.ok() || r.bytes == 0) {
            return;
        }
        const int index = slotOf(socket);
        if (index < 0) {
            return;
        }
        ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
        if (slot.rejected) {
            return; // waiting for the listener to close: what it sends is dropped
        }
        slot.incoming.feed(receiveBuffer_.data(), static_cast<std::size_t>(r.bytes), [&](const std::uint8_t* unit) {
            onUnit(index, unit);
            return slot.socket == socket && !slot.rejected;
        });
        return;
    }
    if (event == platform::FD_CLOSE) {
        const int index = slotOf(socket);
        if (index >= 0) {
            std::lock_guard lock(mutex_);
            freeSlotLocked(index);
        }
        notifiers_.closeSocket(socket);
        if (index < 0) {
            return;
        }
        ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
        writeLog(closeLineFormat.c_str(), slot.peerAddress);
        hooks_.drawStatusLine(formatText(closedTextFormat, {printableText(slot.peerAddress, sizeof slot.peerAddress)}));
    }
}

void StationServer::onUnit(int index, const std::uint8_t* unit) {
    std::uint8_t type = 0;
    const bool control = isControlPacket(unit, type);
    const bool login = control && type == static_cast<std::uint8_t>(StreamPacketType::Login);
    const bool hello = control && type == static_cast<std::uint8_t>(StreamPacketType::Hello);
    // Until its Login has matched, a listener may only greet and log in:
    // its Settings, its audio and anything else are dropped unread. Only
    // this thread writes loggedIn, so it is read here without the lock.
    if (settings_.config.loginRequired && !slots_[static_cast<std::size_t>(index)].loggedIn && !login && !hello) {
        return;
    }
    rejectedNow_ = false;
    if (receivesStream(index)) {
        receive_.feedStream(unit, static_cast<int>(streamUnitBytes), index);
    } else {
        handleStreamPacket(unit, index, *this);
    }
    if (!login || !settings_.config.loginRequired) {
        return;
    }
    ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
    std::lock_guard lock(mutex_);
    if (slot.socket == invalidSocket || slot.rejected) {
        return;
    }
    if (!rejectedNow_) {
        slot.loggedIn = true;
        return;
    }
    // Rejected: nothing more goes to this listener; once the LoginRejected
    // is out, the write side is shut so the listener reads it and then the
    // end of the stream. The slot is freed when the listener closes (or at
    // the login deadline).
    slot.loggedIn = false;
    slot.rejected = true;
    slot.shutdownPending = true;
    flushLocked(index);
}

void StationServer::freeSlotLocked(int index) {
    ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.socket == invalidSocket) {
        return;
    }
    slot.socket = invalidSocket;
    slot.outgoing.reset();
    slot.loggedIn = false;
    slot.rejected = false;
    slot.shutdownPending = false;
    slot.incoming.reset();
    --occupied_;
    if (receivesStream(index)) {
        receive_.reset();
    }
}

void StationServer::closeSlotNow(int index) {
    ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
    Socket s = invalidSocket;
    {
        std::lock_guard lock(mutex_);
        s = slot.socket;
        if (s == invalidSocket) {
            return;
        }
        if (slot.outgoing.flush(SocketWriter{s})) {
            platform::shutdownSocket(s, platform::ShutdownDirection::Send);
        }
        freeSlotLocked(index);
    }
    platform::drainSocket(s, drainReads);
    notifiers_.closeSocket(s);
}

void StationServer::pushLocked(int index, const void* bytes, std::size_t count, OutgoingQueue::Kind kind) {
    ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.socket == invalidSocket) {
        return;
    }
    const OutgoingQueue::Result r = slot.outgoing.push(bytes, count, kind, SocketWriter{slot.socket});
    if (r == OutgoingQueue::Result::Dropped) {
        droppedChunks_.fetch_add(1, std::memory_order_relaxed);
    } else if (r == OutgoingQueue::Result::Overflow) {
        // The listener has read nothing for a long time: end the connection;
        // the close notification frees the slot.
        platform::shutdownSocket(slot.socket, platform::ShutdownDirection::Both);
    }
}

void StationServer::flushLocked(int index) {
    ClientSlot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.socket == invalidSocket) {
        return;
    }
    if (slot.outgoing.flush(SocketWriter{slot.socket}) && slot.shutdownPending) {
        slot.shutdownPending = false;
        platform::shutdownSocket(slot.socket, platform::ShutdownDirection::Send);
    }
}

void StationServer::timeLimitTick() {
    {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < slotCount; ++i) {
            flushLocked(i);
        }
    }
    const std::int32_t limit = settings_.live.timeLimit.load();
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = std::chrono::milliseconds(options_.loginDeadlineMs);
    const auto greetingDeadline = std::chrono::milliseconds(options_.greetingDeadlineMs);
    for (int i = 0; i < slotCount; ++i) {
        ClientSlot& slot = slots_[static_cast<std::size_t>(i)];
        if (slot.socket == invalidSocket) {
            continue;
        }
        if (!slot.greeted && now - slot.acceptedAt >= greetingDeadline) {
            closeSlotNow(i);
            continue;
        }
        if (limit != 0 && i < usedSlots()) {
            if (++slot.secondsConnected > limit) {
                const StreamPacket expired = buildStreamPacket(StreamPacketType::TimeExpired, settings_);
                {
                    std::lock_guard lock(mutex_);
                    pushLocked(i, &expired, sizeof expired, OutgoingQueue::Kind::Control);
                }
                closeSlotNow(i);
                continue;
            }
        }
        bool loggedIn = false;
        {
            std::lock_guard lock(mutex_);
            loggedIn = slot.loggedIn;
        }
        if (settings_.config.loginRequired && !loggedIn && now - slot.acceptedAt >= deadline) {
            closeSlotNow(i);
        }
    }
}

std::string StationServer::connectionListText() const {
    std::string text;
    std::lock_guard lock(mutex_);
    for (const ClientSlot& slot : slots_) {
        if (slot.socket != invalidSocket) {
            text += formatText(connectionListFormat, {printableText(slot.peerAddress, sizeof slot.peerAddress),
                                                      printableText(slot.name, sizeof slot.name)});
        }
    }
    if (text.size() >= connectionListBytes) {
        text.resize(connectionListBytes - 1);
    }
    return text;
}

void StationServer::showConnectionList() {
    const std::string text = connectionListText();
    if (!text.empty()) {
        hooks_.messageBox(text, connectionListCaption);
    }
}

void StationServer::stopServer() {
    closeConnections();
    if (listener_ != invalidSocket) {
        notifiers_.closeSocket(listener_);
        listener_ = invalidSocket;
    }
}

void StationServer::closeConnections() {
    for (int i = 0; i < slotCount; ++i) {
        Socket s = invalidSocket;
        {
            std::lock_guard lock(mutex_);
            s = slots_[static_cast<std::size_t>(i)].socket;
            freeSlotLocked(i);
        }
        if (s != invalidSocket) {
            notifiers_.closeSocket(s);
        }
    }
}

std::size_t StationServer::encode(const std::int16_t* block, std::int32_t byteCount) {
    const std::int32_t blocks = byteCount / dsp::blockBytes;
    if (block == nullptr || blocks < 1 || static_cast<std::size_t>(blocks) > maxChunkFrames ||
        byteCount % dsp::blockBytes != 0) {
        return 0;
    }
    encodeBlocks(codec_, block, frames_.data(), blocks);
    return static_cast<std::size_t>(blocks) * streamUnitBytes;
}

void StationServer::relayRaw(const std::int16_t* block, std::int32_t byteCount) {
    if (!anySlotOccupied()) {
        return;
    }
    const std::size_t size = encode(block, byteCount);
    if (size == 0) {
        return;
    }
    const bool loginRequired = settings_.config.loginRequired;
    std::lock_guard lock(mutex_);
    for (int i = 0; i < slotCount; ++i) {
        const ClientSlot& slot = slots_[static_cast<std::size_t>(i)];
        if (slot.socket != invalidSocket && !slot.rejected && (!loginRequired || slot.loggedIn)) {
            pushLocked(i, frames_.data(), size, OutgoingQueue::Kind::Audio);
        }
    }
}

void StationServer::sendProcessedToSlot0(const std::int16_t* block, std::int32_t byteCount) {
    if (!slot0Occupied()) {
        return;
    }
    const std::size_t size = encode(block, byteCount);
    if (size == 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    const ClientSlot& slot = slots_[0];
    if (slot.socket != invalidSocket && !slot.rejected && (!settings_.config.loginRequired || slot.loggedIn)) {
        pushLocked(0, frames_.data(), size, OutgoingQueue::Kind::Audio);
    }
}

bool StationServer::anySlotOccupied() {
    std::lock_guard lock(mutex_);
    return occupied_ > 0;
}

bool StationServer::slot0Occupied() {
    std::lock_guard lock(mutex_);
    return slots_[0].socket != invalidSocket;
}

void StationServer::redesignFilter() { hooks_.redesignFilter(); }

void StationServer::setSlotName(int slot, const char* name) {
    if (slot < 0 || slot >= slotCount) {
        return;
    }
    char* target = slots_[static_cast<std::size_t>(slot)].name;
    std::snprintf(target, sizeof slots_[0].name, "%s", name);
}

void StationServer::logHello(int slot) {
    if (slot < 0 || slot >= slotCount) {
        return;
    }
    // One line per connection: a listener repeating its Hello cannot fill
    // the disk.
    ClientSlot& greeter = slots_[static_cast<std::size_t>(slot)];
    if (!greeter.greeted) {
        greeter.greeted = true;
        writeLog(helloLineFormat.c_str(), greeter.name);
    }
}

void StationServer::sendToSlot(int slot, const void* bytes, std::size_t count) {
    if (slot < 0 || slot >= slotCount) {
        return;
    }
    std::uint8_t type = 0;
    if (count == streamUnitBytes && isControlPacket(static_cast<const std::uint8_t*>(bytes), type) &&
        type == static_cast<std::uint8_t>(StreamPacketType::LoginRejected)) {
        rejectedNow_ = true;
    }
    std::lock_guard lock(mutex_);
    pushLocked(slot, bytes, count, OutgoingQueue::Kind::Control);
}

void StationServer::fatalStop(const char* message) { hooks_.fatalStop(message); }

void StationServer::writeLog(const char* formatCp1251, const char* text) const {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string line = formatText(formatCp1251, {connectionLogStamp(local), printableText(text, 32)});
    // A full log is moved aside whole, so the newest lines are always in the
    // log and at most two logs' worth stays on the disk.
    std::error_code error;
    const std::filesystem::path path = options_.logPath;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error)) &&
        std::filesystem::file_size(path, error) + line.size() > options_.logCapBytes && !error) {
        std::filesystem::rename(path, path.string() + ".1", error);
        if (error) {
            return; // a full log that cannot be moved aside grows no further
        }
    }
    // A log that cannot be written, or is no regular file, is skipped;
    // nothing else changes.
    platform::appendToRegularFile(path, line.data(), line.size());
}

} // namespace station
