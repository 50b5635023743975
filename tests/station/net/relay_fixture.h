#pragma once
// A headless Platform with one window whose procedure routes the relay's
// socket messages and a tick timer to a server and/or a client under test,
// plus raw loopback sockets that play the other side.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sockets.h"
#include "station/net/relay_hooks.h"
#include "station/net/station_client.h"
#include "station/net/station_server.h"

namespace station::testing {

using namespace platform;
using Bytes = std::vector<std::uint8_t>;

class RecordingHooks final : public RelayHooks {
  public:
    void redesignFilter() override { ++redesigns; }
    void fatalStop(std::string_view message) override { stops.emplace_back(message); }
    void drawStatusLine(std::string_view text) override { statusLines.emplace_back(text); }
    void messageBox(std::string_view text, std::string_view caption) override {
        boxes.push_back(std::string(caption) + "|" + std::string(text));
    }
    void clearBlockPlayed() override { ++blockPlayedClears; }
    // Worker or main thread: records the client's status at each refresh.
    void requestRedraw() override {
        ++redraws;
        if (statusOf) {
            std::lock_guard lock(mutex);
            const std::string now = statusOf();
            if (statuses.empty() || statuses.back() != now) {
                statuses.push_back(now);
            }
        }
    }
    std::vector<std::string> statusHistory() {
        std::lock_guard lock(mutex);
        return statuses;
    }

    int redesigns = 0;
    int blockPlayedClears = 0;
    std::vector<std::string> stops, statusLines, boxes;
    std::atomic<int> redraws{0};
    std::function<std::string()> statusOf; // set before the client starts
    std::mutex mutex;
    std::vector<std::string> statuses;
};

class CountingPlayout final : public BlockPlayout {
  public:
    void processAndPlay(std::int16_t*, int byteCount) override {
        if (byteCount == 320) {
            ++blocks;
        }
    }
    int blocks = 0;
};

// A plain blocking loopback socket on the far side of the relay; reads never
// wait.
struct RawPeer {
    Socket s = invalidSocket;
    Bytes received;
    bool closed = false;

    RawPeer() = default;
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    ~RawPeer() { platform::closeSocket(s); }

    // `receiveBuffer` > 0 shrinks the socket's receive buffer first (bytes).
    bool connect(std::uint16_t port, int receiveBuffer = 0) {
        s = createTcpSocket();
        if (receiveBuffer > 0) {
            ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        return connectTo(s, "127.0.0.1", port, 2000) == 0;
    }
    // Appends what has arrived; notes the end of the stream.
    void poll() {
        std::uint8_t buffer[4096];
        while (!closed && s != invalidSocket) {
            const ssize_t r = ::recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
            if (r > 0) {
                received.insert(received.end(), buffer, buffer + r);
            } else if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                closed = true;
            } else {
                return;
            }
        }
    }
    bool send(const Bytes& bytes) {
        return sendBytes(s, bytes.data(), bytes.size()).bytes == static_cast<std::ptrdiff_t>(bytes.size());
    }
    void close() {
        platform::closeSocket(s);
        s = invalidSocket;
    }
};

inline Bytes packetOf(StreamPacketType type, const StationSettings& sender) {
    const StreamPacket p = buildStreamPacket(type, sender);
    const auto* b = reinterpret_cast<const std::uint8_t*>(&p);
    return {b, b + sizeof p};
}

// Types of the control packets among `bytes`, read as 33-byte units; -1 for
// a unit that is no control packet.
inline std::vector<int> unitTypes(const Bytes& bytes) {
    std::vector<int> types;
    for (std::size_t i = 0; i + streamUnitBytes <= bytes.size(); i += streamUnitBytes) {
        std::uint8_t type = 0;
        types.push_back(isControlPacket(bytes.data() + i, type) ? type : -1);
    }
    return types;
}

// A port on which nothing listens right now.
inline std::uint16_t unusedPort() {
    const Socket s = createTcpSocket();
    bindSocket(s, BindAddress::Loopback, 0);
    const std::uint16_t port = localPort(s);
    platform::closeSocket(s);
    return port;
}

class RelayFixture : public ::testing::Test {
  protected:
    static constexpr unsigned tickTimerId = 2;
    static constexpr unsigned pollTimerId = 0x51;
    static constexpr unsigned guardTimerId = 0x52;

    RelayFixture() {
        WindowClass wc;
        wc.name = className;
        wc.procedure = [this](WindowHandle w, unsigned m, WParam wp, LParam lp) -> LResult {
            switch (m) {
            case relay::SERVER_ACCEPT_MESSAGE:
                if (server)
                    server->onListenEvent(lp);
                return 0;
            case relay::SERVER_SOCKET_MESSAGE:
                if (server)
                    server->onPeerEvent(static_cast<Socket>(wp), lp);
                return 0;
            case relay::CLIENT_SOCKET_MESSAGE:
                if (client)
                    client->onServerLinkEvent(static_cast<Socket>(wp), lp);
                return 0;
            case WM_TIMER:
                if (wp == tickTimerId) {
                    ++ticks;
                    if (server)
                        server->timeLimitTick();
                    if (client)
                        client->timeLimitTick();
                } else if (wp == pollTimerId) {
                    if (onPoll)
                        onPoll();
                    if (until && until())
                        platform.postQuit(0);
                } else if (wp == guardTimerId) {
                    platform.postQuit(-1);
                }
                return 0;
            default:
                return platform.defWindowProc(w, m, wp, lp);
            }
        };
        EXPECT_TRUE(platform.registerClass(wc));
        WindowOptions o;
        o.className = className;
        o.captionCp1251 = "relay";
        o.width = 200;
        o.height = 100;
        o.visible = false;
        window = platform.createWindow(o);
        notifiers = std::make_unique<SocketNotifiers>(platform);
    }
    ~RelayFixture() override {
        if (client)
            client->stop();
        if (server)
            server->stopServer();
        client.reset();
        server.reset();
        notifiers.reset();
        std::remove(logPath.c_str());
    }

    StationServer& makeServer(ServerOptions options = {}) {
        settings.config.serverMode = true;
        settings.config.serverPort = 0;
        if (options.logPath == "servconnect.txt") {
            options.logPath = logPath;
        }
        server = std::make_unique<StationServer>(settings, *notifiers, codec, playout, hooks, options);
        EXPECT_TRUE(server->startListening(window));
        return *server;
    }

    StationClient& makeClient(std::uint16_t port, ClientOptions options = {}) {
        clientSettings.config.clientMode = true;
        clientSettings.config.clientPort = port;
        client = std::make_unique<StationClient>(clientSettings, *notifiers, clientCodec, clientPlayout, clientHooks,
                                                 options);
        StationClient* c = client.get();
        clientHooks.statusOf = [c] { return c->statusText(); };
        return *client;
    }

    // Runs the loop until `done` holds (checked every 5 ms) or `limitMs`
    // passes; `poll` runs at every check. True when `done` held.
    bool pumpUntil(std::function<bool()> done, unsigned limitMs, std::function<void()> poll = {}) {
        until = std::move(done);
        onPoll = std::move(poll);
        platform.setTimer(window, pollTimerId, 5);
        platform.setTimer(window, guardTimerId, limitMs);
        platform.runLoop();
        platform.killTimer(window, pollTimerId);
        platform.killTimer(window, guardTimerId);
        const bool held = until();
        until = nullptr;
        onPoll = nullptr;
        return held;
    }
    void pumpFor(unsigned ms, std::function<void()> poll = {}) {
        pumpUntil([] { return false; }, ms, std::move(poll));
    }
    void startTicks(unsigned periodMs = 1000) { platform.setTimer(window, tickTimerId, periodMs); }

    // Connects a raw peer and waits until the server has it in a slot.
    bool connectPeer(RawPeer& peer, int receiveBuffer = 0) {
        const int before = server->occupiedCount();
        return peer.connect(server->listeningPort(), receiveBuffer) &&
               pumpUntil([&] { return server->occupiedCount() == before + 1; }, 3000);
    }

    static inline int argc = 1;
    static inline char arg0[] = "station_net_tests";
    static inline char* argv[] = {arg0, nullptr};
    static inline int instances = 0;

    const std::string className = "RelayTest-" + std::to_string(getpid()) + "-" + std::to_string(++instances);
    const std::string logPath = ::testing::TempDir() + "servconnect-" + std::to_string(getpid()) + ".txt";
    Platform platform{argc, argv};
    WindowHandle window = 0;
    std::unique_ptr<SocketNotifiers> notifiers;
    StationSettings settings;
    GsmCodecPair codec;
    CountingPlayout playout;
    RecordingHooks hooks;
    std::unique_ptr<StationServer> server;
    std::unique_ptr<StationClient> client;
    // The client's station, apart from the server's.
    StationSettings clientSettings;
    GsmCodecPair clientCodec;
    CountingPlayout clientPlayout;
    RecordingHooks clientHooks;
    std::function<bool()> until;
    std::function<void()> onPoll;
    int ticks = 0; // one-second ticks delivered
};

} // namespace station::testing
