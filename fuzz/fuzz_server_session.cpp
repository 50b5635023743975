// A whole listener connection at a server with LOGIN= and COMMAND (or
// DIALOG): the listener connects over loopback and sends a byte stream, cut
// into reads at points the fuzzer chooses, with one-second ticks and a block
// of captured audio relayed between them. The server's notifications are
// delivered here, as the window would deliver them.
//
// Input: byte 0: bit 0, DIALOG instead of COMMAND; bit 1, TIMECLOSE=1;
// bit 2, login and greeting deadlines of 0 (the next tick closes a listener
// that has not logged in or greeted). Then the pieces (relay_session.h),
// then the stream.
//
// Checks: the listener receives whole, aligned units only; without a
// matching Login anywhere in the stream its units change no setting, play
// nothing, and it gets no audio; at most one listener holds a slot.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/relay_session.h"
#include "station/net/gsm_codec.h"
#include "station/net/relay_hooks.h"
#include "station/net/station_server.h"
#include "station/shell/station_settings.h"

namespace {

struct CountingHooks final : station::RelayHooks {
    void redesignFilter() override { ++redesigns; }
    int redesigns = 0;
};

struct CountingPlayout final : station::BlockPlayout {
    void processAndPlay(std::int16_t*, int byteCount) override {
        FUZZ_CHECK(byteCount == 320);
        ++blocks;
    }
    int blocks = 0;
};

// A Login unit that the server's "op" / "pw" accept.
bool matchingLogin(const std::uint8_t* unit) {
    const auto field = [&](std::size_t at, const char* text) {
        return std::memcmp(unit + at, text, std::strlen(text) + 1) == 0;
    };
    return fuzzsupport::isControlPacket(unit) && unit[6] == 5 && field(7, "op") && field(20, "pw");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    platform::Platform& platform = fuzzsupport::headlessPlatform();
    const fuzzsupport::SessionInput input(data, size);

    station::StationSettings settings;
    settings.config.serverMode = true;
    settings.config.serverPort = 0;
    settings.live.filterLength = 256;
    settings.config.loginRequired = true;
    std::strcpy(settings.config.login, "op");
    std::strcpy(settings.config.password, "pw");
    settings.config.dialogMode = (input.mode & 1) != 0;
    settings.config.commandMode = (input.mode & 1) == 0;
    settings.config.maxConnections = settings.config.commandMode ? 1 : 6;
    settings.live.timeLimit = (input.mode & 2) != 0 ? 1 : 0;
    station::ServerOptions options;
    options.logPath = "/dev/null";
    if ((input.mode & 4) != 0) {
        options.loginDeadlineMs = 0;
        options.greetingDeadlineMs = 0;
    }
    const float low = settings.live.bandLow.load(), high = settings.live.bandHigh.load();

    platform::SocketNotifiers notifiers(platform);
    const auto codec = std::make_unique<station::GsmCodecPair>();
    CountingHooks hooks;
    CountingPlayout playout;
    auto server = std::make_unique<station::StationServer>(settings, notifiers, *codec, playout, hooks, options);
    FUZZ_CHECK(server->startListening(0));

    const platform::Socket listener = platform::createTcpSocket();
    FUZZ_CHECK(platform::connectTo(listener, "127.0.0.1", server->listeningPort(), 2000) == 0);
    server->onListenEvent(platform::FD_ACCEPT);
    FUZZ_CHECK(server->occupiedCount() == 1);

    const std::vector<std::int16_t> silence(160);
    std::vector<std::uint8_t> received;
    std::size_t at = 0;
    for (std::size_t i = 0; at < input.stream.size(); ++i) {
        const std::size_t n = std::min(input.pieces.length(i), input.stream.size() - at);
        if (platform::sendBytes(listener, input.stream.data() + at, n).bytes != static_cast<std::ptrdiff_t>(n)) {
            break; // the server has closed the connection
        }
        at += n;
        for (int reads = 0; reads < 8; ++reads) {
            const platform::Socket s = server->slotSocket(0);
            if (s == platform::invalidSocket || !fuzzsupport::readable(s)) {
                break;
            }
            server->onPeerEvent(s, platform::FD_READ);
        }
        if (input.pieces.tick(i)) {
            server->timeLimitTick();
        }
        server->relayRaw(silence.data(), 320);
        fuzzsupport::drain(listener, received);
        FUZZ_CHECK(server->occupiedCount() <= 1);
    }
    fuzzsupport::drain(listener, received);

    bool loggedIn = false;
    for (std::size_t u = 0; u + 33 <= at && !loggedIn; u += 33) {
        loggedIn = matchingLogin(input.stream.data() + u);
    }
    int audio = 0;
    for (std::size_t u = 0; u + 33 <= received.size(); u += 33) {
        FUZZ_CHECK(fuzzsupport::isAlignedUnit(received.data() + u));
        audio += fuzzsupport::isControlPacket(received.data() + u) ? 0 : 1;
    }
    if (!loggedIn) {
        FUZZ_CHECK(audio == 0);
        FUZZ_CHECK(hooks.redesigns == 0 && playout.blocks == 0);
        FUZZ_CHECK(settings.live.bandLow.load() == low && settings.live.bandHigh.load() == high);
        FUZZ_CHECK(settings.live.filterLength.load() == 256);
    }

    fuzzsupport::closeAbruptly(listener);
    const platform::Socket s = server->slotSocket(0);
    if (s != platform::invalidSocket) {
        server->onPeerEvent(s, platform::FD_CLOSE);
    }
    FUZZ_CHECK(server->occupiedCount() == 0);
    server->stopServer();
    return 0;
}
