// The relay on loopback:
//  - serverBlockTo20Listeners: the server's cost per captured block with 20
//    listeners, one GSM encode and 20 sends, as the processing thread does
//    every 20 ms. The counter "core_pct" is that cost as a percentage of one
//    core's 20 ms.
//  - relayTransitServerToClient: how long a captured block takes from the
//    server's relayRaw to the client's block processing, with a real server
//    and client station core on one loop.

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/sockets.h"
#include "station/net/station_client.h"
#include "station/net/station_server.h"

namespace {

using namespace platform;
using namespace station;

class NullPlayout final : public BlockPlayout {
  public:
    void processAndPlay(std::int16_t*, int) override {}
};

// Registers `wc` and opens a hidden window of it: the sockets' messages
// arrive there. 0 on failure.
WindowHandle hiddenWindow(Platform& platform, const WindowClass& wc) {
    platform.registerClass(wc);
    WindowOptions o;
    o.className = wc.name;
    o.visible = false;
    o.width = 100;
    o.height = 100;
    return platform.createWindow(o);
}

void serverBlockTo20Listeners(benchmark::State& state) {
    int argc = 1;
    char arg0[] = "net_bench";
    char* argv[] = {arg0, nullptr};
    Platform platform(argc, argv);

    StationSettings settings;
    settings.config.serverMode = true;
    settings.config.serverPort = 0;
    settings.config.maxConnections = 20;
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
    const WindowHandle window = hiddenWindow(platform, wc);
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
        for (Socket s : peers)
            fds.push_back({s, POLLIN, 0});
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
    for (Socket s : peers)
        closeSocket(s);
}
BENCHMARK(serverBlockTo20Listeners)->Unit(benchmark::kMicrosecond)->UseRealTime();

using Clock = std::chrono::steady_clock;

// Stamps each block the client hands to block processing. Main thread.
class StampingPlayout final : public BlockPlayout {
  public:
    StampingPlayout(Platform& platform, std::size_t expected) : platform_(platform) { arrivals.reserve(expected); }
    void processAndPlay(std::int16_t*, int) override {
        if (arrivals.size() < arrivals.capacity()) {
            arrivals.push_back(Clock::now());
        }
        if (arrivals.size() == arrivals.capacity()) {
            platform_.postQuit(0);
        }
    }
    std::vector<Clock::time_point> arrivals;

  private:
    Platform& platform_;
};

// A producer thread stands in for the server's processing thread and relays
// one block every 20 ms (the capture cadence); its send stamp is taken
// before relayRaw, so GSM encoding counts. The client's stamp is taken where
// the station would filter and queue the block for playback, after receive,
// reassembly and decoding. One TCP connection keeps the order and nothing
// is dropped (checked), so the k-th block played is the k-th relayed. The
// client's playback queue adds playbackQueued × 20 ms on top of this.
void relayTransitServerToClient(benchmark::State& state) {
    int argc = 1;
    char arg0[] = "net_bench";
    char* argv[] = {arg0, nullptr};
    Platform platform(argc, argv);

    constexpr std::size_t blocks = 500; // 10 s of audio
    constexpr auto blockPeriod = std::chrono::milliseconds(20);

    StationSettings serverSettings;
    serverSettings.config.serverMode = true;
    serverSettings.config.serverPort = 0;
    StationSettings clientSettings;
    clientSettings.config.clientMode = true;
    GsmCodecPair serverCodec;
    GsmCodecPair clientCodec;
    NullPlayout serverPlayout;
    StampingPlayout clientPlayout(platform, blocks);
    RelayHooks hooks;
    SocketNotifiers notifiers(platform);
    std::unique_ptr<StationServer> server;
    std::unique_ptr<StationClient> client;

    constexpr unsigned pollTimer = 1;
    constexpr unsigned guardTimer = 2;
    static int runs = 0;
    const std::string className = "NetTransit-" + std::to_string(getpid()) + "-" + std::to_string(++runs);
    bool waitingForLink = true;
    bool timedOut = false;
    WindowClass wc;
    wc.name = className;
    wc.procedure = [&](WindowHandle w, unsigned m, WParam wp, LParam lp) -> LResult {
        if (m == relay::SERVER_ACCEPT_MESSAGE) {
            server->onListenEvent(lp);
        } else if (m == relay::SERVER_SOCKET_MESSAGE) {
            server->onPeerEvent(static_cast<Socket>(wp), lp);
        } else if (m == relay::CLIENT_SOCKET_MESSAGE) {
            client->onServerLinkEvent(static_cast<Socket>(wp), lp);
        } else if (m == WM_TIMER && wp == guardTimer) {
            timedOut = true;
            platform.postQuit(0);
        } else if (m == WM_TIMER && wp == pollTimer && waitingForLink && server->occupiedCount() == 1 &&
                   client->linkState() == LinkState::Connected) {
            platform.postQuit(0);
        } else {
            return platform.defWindowProc(w, m, wp, lp);
        }
        return 0;
    };
    const WindowHandle window = hiddenWindow(platform, wc);
    if (window == 0) {
        state.SkipWithError("no window");
        return;
    }
    server = std::make_unique<StationServer>(serverSettings, notifiers, serverCodec, serverPlayout, hooks,
                                             ServerOptions{.logPath = "/dev/null"});
    client = std::make_unique<StationClient>(clientSettings, notifiers, clientCodec, clientPlayout, hooks);
    if (!server->startListening(window)) {
        state.SkipWithError("cannot listen");
        return;
    }
    clientSettings.config.clientPort = server->listeningPort();
    client->start(window);

    platform.setTimer(window, pollTimer, 5);
    platform.setTimer(window, guardTimer, 5000);
    platform.runLoop();
    platform.killTimer(window, pollTimer);
    platform.killTimer(window, guardTimer);
    waitingForLink = false;
    if (timedOut) {
        client->stop();
        state.SkipWithError("the client did not connect");
        return;
    }

    std::vector<std::int16_t> block(160);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = std::int16_t(8000 * std::sin(2 * std::numbers::pi * 700 * double(i) / 8000));
    }
    std::vector<double> transitUs;
    for (auto _ : state) {
        clientPlayout.arrivals.clear();
        std::vector<Clock::time_point> sends(blocks);
        const auto dropsBefore = server->droppedChunks();
        timedOut = false;
        platform.setTimer(window, guardTimer, unsigned(blocks * 20 + 3000));
        std::jthread producer([&](std::stop_token stop) {
            const auto start = Clock::now();
            for (std::size_t k = 0; k < blocks && !stop.stop_requested(); ++k) {
                std::this_thread::sleep_until(start + k * blockPeriod);
                sends[k] = Clock::now();
                server->relayRaw(block.data(), 320);
            }
        });
        platform.runLoop();
        platform.killTimer(window, guardTimer);
        producer.request_stop();
        producer.join();
        if (timedOut || clientPlayout.arrivals.size() != blocks || server->droppedChunks() != dropsBefore) {
            state.SkipWithError("blocks were lost on the way");
            break;
        }
        for (std::size_t k = 0; k < blocks; ++k) {
            transitUs.push_back(
                std::chrono::duration<double, std::micro>(clientPlayout.arrivals[k] - sends[k]).count());
        }
        double sum = 0;
        for (std::size_t k = transitUs.size() - blocks; k < transitUs.size(); ++k)
            sum += transitUs[k];
        state.SetIterationTime(sum / double(blocks) / 1e6);
    }
    client->stop();
    server->stopServer();

    if (!transitUs.empty()) {
        std::sort(transitUs.begin(), transitUs.end());
        const auto at = [&](double q) { return transitUs[std::size_t(q * double(transitUs.size() - 1))]; };
        state.counters["min_us"] = transitUs.front();
        state.counters["median_us"] = at(0.5);
        state.counters["p99_us"] = at(0.99);
        state.counters["max_us"] = transitUs.back();
        state.counters["blocks"] = double(transitUs.size());
    }
}
// Each iteration is 10 s of relayed audio at real speed; the reported time
// is the mean transit of a block in it.
BENCHMARK(relayTransitServerToClient)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
