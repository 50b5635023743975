// The server's cost per captured block with 20 listeners on loopback: one
// GSM encode and 20 sends, as the processing thread does every 20 ms. The
// counter "core_pct" is that cost as a percentage of one core's 20 ms.

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/sockets.h"
#include "station/net/station_server.h"

namespace {

using namespace platform;
using namespace station;

class NullPlayout final : public BlockPlayout {
public:
    void processAndPlay(std::int16_t*, int) override {}
};

void serverBlockTo20Listeners(benchmark::State& state) {
    int argc = 1;
    char arg0[] = "net_bench";
    char* argv[] = {arg0, nullptr};
    Platform platform(argc, argv);

    StationSettings settings;
    settings.serverMode = 1;
    settings.serverPort = 0;
    settings.maxConnections = 20;
    GsmCodecPair codec;
    NullPlayout playout;
    RelayHooks hooks;
    std::unique_ptr<StationServer> server;
    SocketNotifiers notifiers(platform);

    constexpr unsigned pollTimer = 1;
    // The benchmark runs this function more than once: a class per run.
    static int runs = 0;
    const std::string className = "NetBench-" + std::to_string(getpid()) + "-" + std::to_string(++runs);
    constexpr unsigned guardTimer = 2;
    int target = 0; // listeners the loop waits for
    WindowClass wc;
    wc.name = className;
    wc.procedure = [&](WindowHandle w, unsigned m, WParam wp, LParam lp) -> LResult {
        if (m == relay::SERVER_ACCEPT_MESSAGE) {
            server->onListenEvent(lp);
        } else if (m == relay::SERVER_SOCKET_MESSAGE) {
            server->onPeerEvent(static_cast<Socket>(wp), lp);
        } else if (m == WM_TIMER && (wp == guardTimer || (wp == pollTimer && server->occupiedCount() == target))) {
            platform.postQuit(0);
        } else {
            return platform.defWindowProc(w, m, wp, lp);
        }
        return 0;
    };
    platform.registerClass(wc);
    WindowOptions o;
    o.className = className;
    o.visible = false;
    o.width = 100;
    o.height = 100;
    const WindowHandle window = platform.createWindow(o);
    if (window == 0) {
        state.SkipWithError("no window");
        return;
    }
    server = std::make_unique<StationServer>(settings, notifiers, codec, playout, hooks,
                                             ServerOptions{.logPath = "/dev/null"});
    if (!server->startListening(window)) {
        state.SkipWithError("cannot listen");
        return;
    }

    // Twenty listeners, accepted one by one (the backlog is 1).
    std::vector<Socket> peers;
    for (int i = 0; i < 20; ++i) {
        const Socket s = createTcpSocket();
        if (connectTo(s, "127.0.0.1", server->listeningPort(), 2000) != 0) {
            state.SkipWithError("connect failed");
            return;
        }
        peers.push_back(s);
        target = i + 1;
        platform.setTimer(window, pollTimer, 2);
        platform.setTimer(window, guardTimer, 3000);
        platform.runLoop();
        platform.killTimer(window, pollTimer);
        platform.killTimer(window, guardTimer);
        if (server->occupiedCount() != i + 1) {
            state.SkipWithError("not accepted");
            return;
        }
    }

    // The listeners read everything, so the sends never back up.
    std::atomic<bool> stop{false};
    std::thread readers([&] {
        std::vector<pollfd> fds;
        for (Socket s : peers) fds.push_back({s, POLLIN, 0});
        std::vector<std::uint8_t> buffer(65536);
        while (!stop) {
            if (::poll(fds.data(), fds.size(), 20) > 0) {
                for (const pollfd& p : fds) {
                    if (p.revents & POLLIN) {
                        ::recv(p.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                    }
                }
            }
        }
    });

    std::vector<std::int16_t> block(160);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = std::int16_t(8000 * std::sin(2 * std::numbers::pi * 700 * double(i) / 8000));
    }
    for (auto _ : state) {
        server->relayRaw(block.data(), 320);
    }
    stop = true;
    readers.join();

    // (seconds per block) / 0.020 s × 100: the inverted rate of 0.0002 per
    // iteration.
    state.counters["core_pct"] =
        benchmark::Counter(0.020 / 100.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["dropped_chunks"] = static_cast<double>(server->droppedChunks());
    server->stopServer();
    server.reset();
    for (Socket s : peers) closeSocket(s);
}
BENCHMARK(serverBlockTo20Listeners)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
