#pragma once
// The server role of the relay: one listening TCP socket and up to 20
// listening stations, each in a ClientSlot. Audio captured at this station
// goes to every occupied slot as GSM frames; listeners may be asked for a
// login and given a time limit; connections are logged to
// "servconnect.txt".
//
// Threads: everything but the audio sends runs on the main (window) thread:
// start, the socket notifications, the one-second tick, the connection list,
// stop. The processing thread calls relayRaw / sendProcessedToSlot0 (through
// CaptureHooks). One mutex guards what the two share: each slot's socket,
// its outgoing queue and its login state. The main thread is the only one
// that opens, closes or frees a slot; it changes them under the mutex.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/sockets.h"
#include "station/audio/capture.h"
#include "station/net/connection_buffers.h"
#include "station/net/receive_stream.h"
#include "station/net/relay_hooks.h"
#include "station/net/stream_packet.h"

namespace station {

// One listener's place at the server.
struct ClientSlot {
    platform::Socket socket = platform::invalidSocket; // invalidSocket: the slot is free
    char peerAddress[32] = {};                         // dotted IPv4, set at accept
    char name[16] = "USER";                            // from the listener's Hello; kept after a close
    std::int32_t secondsConnected = 0;                 // counted by the tick while a time limit is set

    // Login state (with loginRequired): no audio until a Login matched; after
    // a rejection nothing more is sent and the write side is shut once the
    // LoginRejected is out.
    bool loggedIn = false;
    bool rejected = false;
    bool shutdownPending = false; // shut the write side when the queue drains
    // Main thread: the listener's first Hello has come (and was logged);
    // later ones only rename the slot.
    bool greeted = false;
    std::chrono::steady_clock::time_point acceptedAt{};

    OutgoingQueue outgoing; // guarded by the server's mutex
    UnitAssembler incoming; // main thread only
};

struct ServerOptions {
    // The connection log, opened for appending for every line.
    std::string logPath = "servconnect.txt";
    // With loginRequired: a listener that has not presented a matching Login
    // this long after its accept is disconnected. Milliseconds.
    int loginDeadlineMs = 10000;
    // A listener that has not sent Hello this long after its accept is
    // disconnected, whatever the options, so idle connections cannot hold
    // the slots. Milliseconds.
    int greetingDeadlineMs = 10000;
    // The connection log grows to about this many bytes; then it is moved
    // to logPath + ".1" (replacing an older one) and a new log begins.
    std::uintmax_t logCapBytes = 1u << 20;
};

// "Www Mmm dd hh:mm:ss yyyy" (asctime without its line end, 24 characters
// for years 1000 … 9999) for a local time, with English names whatever the
// locale.
std::string connectionLogStamp(const std::tm& localTime);

// A name or address from the network made safe for a text line: control
// bytes (below 0x20) become '?'. Reads up to the terminator or `maxBytes`.
std::string printableText(const char* text, std::size_t maxBytes);

// Window-1251 texts of the server.
inline constexpr auto connectionListCaption = "Всего соединений"_cp1251;

class StationServer final : public CaptureHooks, private StreamContext {
  public:
    // Every reference must outlive the server. `playout` plays slot 0's audio
    // in dialog mode.
    StationServer(StationSettings& settings, platform::SocketNotifiers& notifiers, GsmCodecPair& codec,
                  BlockPlayout& playout, RelayHooks& hooks, ServerOptions options = {});
    ~StationServer() override;
    StationServer(const StationServer&) = delete;
    StationServer& operator=(const StationServer&) = delete;

    // Listens on settings.config.serverPort (0: a port the system picks) on every
    // local address; notifications come to `window` as SERVER_ACCEPT_MESSAGE.
    // A failure leaves the station without a server, silently (a failed
    // socket creation asks for a redraw). True when listening.
    bool startListening(platform::WindowHandle window);
    // The port listened on (host order), 0 when not listening.
    std::uint16_t listeningPort() const;

    // SERVER_ACCEPT_MESSAGE (lParam: event | error << 16).
    void onListenEvent(platform::LParam lParam);
    // SERVER_SOCKET_MESSAGE (wParam: the socket).
    void onPeerEvent(platform::Socket socket, platform::LParam lParam);
    // Timer 2, every 1000 ms: time limits, login deadlines, and a retry of
    // bytes the sockets did not take.
    void timeLimitTick();

    // "%s     %s\n" (address, name) per occupied slot in slot order,
    // Windows-1251; "" when none.
    std::string connectionListText() const;
    // The '5' key: the list in a message box "Всего соединений", when any.
    void showConnectionList();

    // Shutdown: closes every slot's connection and the listening socket.
    void stopServer();
    // fatalStop: closes every slot's connection without log lines (the
    // slots become free, so the processing thread never sends on a closed,
    // perhaps reused, descriptor). Main thread.
    void closeConnections();

    // Processing thread. `block`: `byteCount` / 320 blocks of 160 samples,
    // 1 … 60 blocks. Encodes them once and sends the frames to every
    // occupied slot (with loginRequired, only to slots whose Login matched).
    // Nothing is encoded while no slot is occupied.
    void relayRaw(const std::int16_t* block, std::int32_t byteCount);
    // Processing thread, command mode: the processed block to slot 0.
    void sendProcessedToSlot0(const std::int16_t* block, std::int32_t byteCount) override;

    // CaptureHooks (processing thread).
    void relayToClients(const std::int16_t* block, std::int32_t byteCount) override { relayRaw(block, byteCount); }
    bool anySlotOccupied() override;
    bool slot0Occupied() override;

    // The connection of slot `slot` (0 … 19), invalidSocket when it is free
    // or out of range. For tests and harnesses that deliver the socket's
    // notifications themselves.
    platform::Socket slotSocket(int slot) const;
    // Slots in use: settings.config.maxConnections within 0 … 20.
    int usedSlots() const;
    int occupiedCount() const;
    // Audio chunks not sent to a slot because its connection was still
    // behind (any thread; for measurements).
    std::uint64_t droppedChunks() const { return droppedChunks_.load(std::memory_order_relaxed); }

  private:
    // StreamContext: the actions of control packets received from slots.
    void redesignFilter() override;
    void setSlotName(int slot, const char* name) override;
    void logHello(int slot) override;
    void sendToServer(const void*, std::size_t) override {}
    void sendToSlot(int slot, const void* bytes, std::size_t count) override;
    void fatalStop(const char* message) override;

    void accept();
    void onUnit(int slot, const std::uint8_t* unit);
    // Main thread, mutex held: ends slot `slot`'s connection and frees it.
    void freeSlotLocked(int slot);
    // Main thread: shuts the write side after the queued bytes, drops what
    // the peer sent, closes and frees the slot (time limit, login deadline).
    void closeSlotNow(int slot);
    // Mutex held: queues or sends on a slot, acting on an overflow.
    void pushLocked(int slot, const void* bytes, std::size_t count, OutgoingQueue::Kind kind);
    void flushLocked(int slot);
    bool receivesStream(int slot) const;
    int slotOf(platform::Socket socket) const;
    void writeLog(const char* formatCp1251, const char* text) const;
    // Encodes into frames_ (processing thread); returns the byte count or 0.
    std::size_t encode(const std::int16_t* block, std::int32_t byteCount);

    StationSettings& settings_;
    platform::SocketNotifiers& notifiers_;
    GsmCodecPair& codec_;
    RelayHooks& hooks_;
    const ServerOptions options_;
    ReceiveStream receive_;

    platform::WindowHandle window_ = 0;
    platform::Socket listener_ = platform::invalidSocket;

    mutable std::mutex mutex_; // guards the slots' socket, outgoing and login fields
    std::array<ClientSlot, slotCount> slots_;
    int occupied_ = 0; // guarded by mutex_
    std::atomic<std::uint64_t> droppedChunks_{0};

    // Set while a received unit is acted on: the unit drew a LoginRejected.
    bool rejectedNow_ = false;

    std::array<std::uint8_t, 1024> receiveBuffer_{};   // main thread
    std::array<std::uint8_t, maxChunkBytes> frames_{}; // processing thread
};

} // namespace station
