#include "station/shell/network_roles.h"

#include <utility>

#include "station/audio/block_processing.h"
#include "station/audio/playback.h"
#include "station/shell/display.h"
#include "station/shell/main_window.h"
#include "station/shell/station_settings.h"

namespace station {

// ---------------------------------------------------------------- hooks

void StationRelayHooks::redesignFilter() { wiring_.window.redesignFilter(); }

void StationRelayHooks::fatalStop(std::string_view messageCp1251) { station::fatalStop(wiring_.fatal, messageCp1251); }

void StationRelayHooks::drawStatusLine(std::string_view textCp1251) {
    wiring_.display.drawStatusLine(textCp1251);
    wiring_.platform.invalidate(wiring_.window.handle());
}

void StationRelayHooks::messageBox(std::string_view textCp1251, std::string_view captionCp1251) {
    wiring_.platform.messageBox(wiring_.window.handle(), textCp1251, captionCp1251);
}

void StationRelayHooks::clearBlockPlayed() { wiring_.playback.clearBlockPlayed(); }

void StationRelayHooks::requestRedraw() {
    // Called from the reconnect worker too: the panel is presented and the
    // window repainted by the main thread.
    wiring_.platform.postMessage(wiring_.window.handle(), DRAW_PANEL_MESSAGE, 0, 0);
    wiring_.platform.postMessage(wiring_.window.handle(), INVALIDATE_MESSAGE, 0, 0);
}

void StationRelayHooks::processAndPlay(std::int16_t* samples, int byteCount) {
    processBlock(wiring_.processor, wiring_.settings, wiring_.filter, samples, byteCount, wiring_.sink);
    wiring_.playback.playBlock(samples, byteCount);
}

// ---------------------------------------------------------------- server

ServerRole::ServerRole(const RelayWiring& wiring, ServerOptions options)
    : window_(wiring.window.handle()), hooks_(wiring),
      server_(wiring.settings, wiring.notifiers, wiring.codec, hooks_, hooks_, std::move(options)) {}

void ServerRole::start() { server_.startListening(window_); }

void ServerRole::stop() { server_.stopServer(); }

void ServerRole::onPeerEvent(platform::WParam wParam, platform::LParam lParam) {
    server_.onPeerEvent(static_cast<platform::Socket>(wParam), lParam);
}

// ---------------------------------------------------------------- client

ClientRole::ClientRole(const RelayWiring& wiring, ClientOptions options)
    : window_(wiring.window.handle()), hooks_(wiring),
      client_(wiring.settings, wiring.notifiers, wiring.codec, hooks_, hooks_, options) {}

void ClientRole::start() { client_.start(window_); }

void ClientRole::stop() { client_.stop(); }

void ClientRole::onServerLinkEvent(platform::WParam wParam, platform::LParam lParam) {
    client_.onServerLinkEvent(static_cast<platform::Socket>(wParam), lParam);
}

// ---------------------------------------------------------------- choice

std::unique_ptr<NetworkRole> makeNetworkRole(const RelayWiring& wiring) {
    if (wiring.settings.config.serverMode) {
        return std::make_unique<ServerRole>(wiring);
    }
    if (wiring.settings.config.clientMode) {
        return std::make_unique<ClientRole>(wiring);
    }
    return std::make_unique<NetworkRole>();
}

} // namespace station
