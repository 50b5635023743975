#pragma once
// The client role of the relay: one TCP connection to a server station,
// re-established once a second whenever it is down, with a one-line status
// text for the display.
//
// Threads:
//  - reconnectWorker (its own std::jthread): connects, asks for the socket's
//    notifications, sends Hello;
//  - main (window) thread: the socket notifications, the one-second tick,
//    the control packets' actions, Settings;
//  - processing thread: the microphone in dialog mode (sendMicrophone).
// One mutex guards the connection (socket, LinkState, outgoing queue); the
// status text has its own small mutex, taken after the connection's when
// both are needed, and never while calling out of this object.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/sockets.h"
#include "station/audio/capture.h"
#include "station/net/connection_buffers.h"
#include "station/net/receive_stream.h"
#include "station/net/relay_hooks.h"
#include "station/net/stream_packet.h"

namespace station {

enum class LinkState : std::int32_t {
    Idle = 0,         // no attempt has succeeded yet
    SocketFailed = 1, // the last socket could not be created
    Connected = 9,
    Disconnected = 10, // the server closed the connection
};

struct ClientOptions {
    // How long one connection attempt may wait for the server's answer, ms.
    // The attempt also ends at once when the worker is asked to stop.
    int connectTimeoutMs = 5000;
    // Pause between attempts, ms.
    int retryPauseMs = 1000;
};

// Status texts, Windows-1251.
inline constexpr auto connectingStatus = "Идет установление связи"_cp1251;
inline constexpr auto socketErrorStatus = "Ошибка сокета"_cp1251;
inline constexpr auto connectErrorStatus = "Ошибка connect"_cp1251;
inline constexpr auto notifyErrorStatus = "Ошибка WSAAsyncSelect(NETEVENT)"_cp1251;
inline constexpr auto connectedStatusPrefix = "Соединение "_cp1251;
inline constexpr auto disconnectedStatus = "Связь разорвана"_cp1251;

inline constexpr std::size_t statusTextBytes = 256;
inline constexpr std::size_t clientReceiveBytes = 40000;

class StationClient final : public CaptureHooks, private StreamContext {
  public:
    // Every reference must outlive the client. `playout` plays the server's
    // audio (main thread).
    StationClient(StationSettings& settings, platform::SocketNotifiers& notifiers, GsmCodecPair& codec,
                  BlockPlayout& playout, RelayHooks& hooks, ClientOptions options = {});
    // Stops the worker. The socket should have been closed by stop() while
    // the notifiers existed; one left open is closed here.
    ~StationClient() override;
    StationClient(const StationClient&) = delete;
    StationClient& operator=(const StationClient&) = delete;

    // Main thread, once: starts reconnectWorker; notifications go to
    // `window` as CLIENT_SOCKET_MESSAGE.
    void start(platform::WindowHandle window);
    // Main thread, at shutdown: ends the worker (within about a second even
    // while it connects) and closes the connection.
    void stop();

    // The worker: while not asked to stop, one connectToServer when the
    // state is not Connected, then a pause.
    void reconnectWorker(std::stop_token stop);
    // One attempt to settings.config.serverAddress:clientPort (worker thread).
    void connectToServer(std::stop_token stop);

    // CLIENT_SOCKET_MESSAGE (wParam: the socket). Main thread.
    void onServerLinkEvent(platform::Socket socket, platform::LParam lParam);
    // Timer 2, every 1000 ms: counts the time limit down (fatalStop
    // "Время подключения истекло" at 0) and retries bytes the socket did not
    // take. Main thread.
    void timeLimitTick();
    // Command mode, after a band or filter change: Settings to the server,
    // when connected. Main thread.
    void sendSettings();
    // Dialog mode, processing thread: `byteCount` / 320 blocks of the
    // microphone (1 … 60), encoded and sent while connected.
    void sendMicrophone(const std::int16_t* block, std::int32_t byteCount);
    // fatalStop: closes the connection. Main thread.
    void closeConnections();

    LinkState linkState() const;
    bool socketOpen() const;
    // The connection to the server, invalidSocket when there is none. For
    // tests and harnesses that deliver the socket's notifications themselves.
    platform::Socket connectionSocket() const;
    // The status text, Windows-1251, NUL-terminated in `out` (cut to fit).
    // Any thread; quick, allocates nothing.
    void copyStatusText(std::span<char> out) const;
    std::string statusText() const;

    // CaptureHooks (processing thread).
    void relayToServer(const std::int16_t* block, std::int32_t byteCount) override { sendMicrophone(block, byteCount); }
    bool clientConnected() override { return linkState() == LinkState::Connected; }

  private:
    // StreamContext: the actions of the server's control packets.
    void redesignFilter() override { hooks_.redesignFilter(); }
    void setSlotName(int, const char*) override {}
    void logHello(int) override {}
    void sendToServer(const void* bytes, std::size_t count) override;
    void sendToSlot(int, const void*, std::size_t) override {}
    void fatalStop(const char* message) override { stopNow(message); }
    bool stopped() const override { return stopped_; }
    // The one way this client stops the station: once.
    void stopNow(std::string_view messageCp1251);

    void setStatus(std::string_view textCp1251);
    void pushLocked(const void* bytes, std::size_t count, OutgoingQueue::Kind kind);

    StationSettings& settings_;
    platform::SocketNotifiers& notifiers_;
    GsmCodecPair& codec_;
    RelayHooks& hooks_;
    const ClientOptions options_;
    ReceiveStream receive_;
    platform::WindowHandle window_ = 0;
    bool stopped_ = false; // main thread: a fatal stop has been asked for

    mutable std::mutex mutex_; // guards socket_, state_, outgoing_
    platform::Socket socket_ = platform::invalidSocket;
    LinkState state_ = LinkState::Idle;
    OutgoingQueue outgoing_;

    mutable std::mutex statusMutex_;
    char statusText_[statusTextBytes] = {};

    std::array<std::uint8_t, clientReceiveBytes> receiveBuffer_{}; // main thread
    std::array<std::uint8_t, maxChunkBytes> frames_{};             // processing thread

    std::mutex pauseMutex_;
    std::condition_variable_any pause_;
    std::jthread worker_; // last: stopped and joined before the rest goes
};

} // namespace station
