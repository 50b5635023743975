// A client station's receive path from a hostile server: the client
// connects over loopback to a socket of this harness, which sends a byte
// stream cut into reads at points the fuzzer chooses, with one-second ticks
// of the client's countdown between them. The client's notifications are
// delivered here, as the window would deliver them.
//
// Input: byte 0: bit 0, COMMAND; bit 1, DIALOG; bits 2 … 7, the time limit
// the client starts with (seconds). Then the pieces (relay_session.h), then
// the stream.
//
// Checks: the time limit never goes below 0 (a sanitized build also stops
// on any overflow of the countdown); the station is stopped at most once,
// and nothing is played after the stop; what the client sends is whole,
// aligned units.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <vector>

#include "fuzz/relay_session.h"
#include "station/net/gsm_codec.h"
#include "station/net/relay_hooks.h"
#include "station/net/station_client.h"
#include "station/shell/station_settings.h"

namespace {

struct CountingHooks final : station::RelayHooks {
    void fatalStop(std::string_view message) override {
        FUZZ_CHECK(!message.empty());
        ++stops;
    }
    int stops = 0;
};

struct CountingPlayout final : station::BlockPlayout {
    void processAndPlay(std::int16_t*, int byteCount) override {
        FUZZ_CHECK(byteCount == 320);
        FUZZ_CHECK(hooks != nullptr && hooks->stops == 0);
        ++blocks;
    }
    const CountingHooks* hooks = nullptr;
    int blocks = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const fuzzsupport::SessionInput input(data, size);
    platform::Platform& platform = fuzzsupport::headlessPlatform();

    const platform::Socket server = platform::createTcpSocket();
    FUZZ_CHECK(platform::bindSocket(server, platform::BindAddress::Loopback, 0));
    FUZZ_CHECK(platform::listenSocket(server, 1));

    station::StationSettings settings;
    settings.config.clientMode = true;
    settings.config.commandMode = (input.mode & 1) != 0;
    settings.config.dialogMode = (input.mode & 2) != 0;
    settings.live.timeLimit = input.mode >> 2;
    settings.config.clientPort = platform::localPort(server);
    std::snprintf(settings.config.serverAddress, sizeof settings.config.serverAddress, "127.0.0.1");
    std::snprintf(settings.config.login, sizeof settings.config.login, "op");

    platform::SocketNotifiers notifiers(platform);
    const auto codec = std::make_unique<station::GsmCodecPair>();
    CountingHooks hooks;
    CountingPlayout playout;
    playout.hooks = &hooks;
    auto client = std::make_unique<station::StationClient>(settings, notifiers, *codec, playout, hooks,
                                                           station::ClientOptions{.connectTimeoutMs = 2000});
    client->connectToServer(std::stop_token{});
    FUZZ_CHECK(client->linkState() == station::LinkState::Connected);
    const platform::AcceptResult accepted = platform::acceptConnection(server);
    FUZZ_CHECK(accepted.socket != platform::invalidSocket);

    std::vector<std::uint8_t> sent; // what the client sent to the server
    std::size_t at = 0;
    for (std::size_t i = 0; at < input.stream.size(); ++i) {
        const std::size_t n = std::min(input.pieces.length(i), input.stream.size() - at);
        if (platform::sendBytes(accepted.socket, input.stream.data() + at, n).bytes != static_cast<std::ptrdiff_t>(n)) {
            break;
        }
        at += n;
        for (int reads = 0; reads < 8; ++reads) {
            const platform::Socket s = client->connectionSocket();
            if (s == platform::invalidSocket || !fuzzsupport::readable(s)) {
                break;
            }
            client->onServerLinkEvent(s, platform::FD_READ);
        }
        if (input.pieces.tick(i)) {
            client->timeLimitTick();
        }
        FUZZ_CHECK(settings.live.timeLimit.load() >= 0);
        FUZZ_CHECK(hooks.stops <= 1);
        fuzzsupport::drain(accepted.socket, sent);
    }
    fuzzsupport::drain(accepted.socket, sent);
    for (std::size_t u = 0; u + 33 <= sent.size(); u += 33) {
        FUZZ_CHECK(fuzzsupport::isAlignedUnit(sent.data() + u));
    }

    fuzzsupport::closeAbruptly(accepted.socket);
    client->closeConnections();
    platform::closeSocket(server);
    return 0;
}
