#pragma once
// The station's TCP relay role: nothing (a plain station), the server
// sessions or the client's connection. The station holds one NetworkRole
// and forwards to it the window's socket messages, the one-second tick, the
// '5' key and the band announcements; capture sends through its
// captureHooks(). makeNetworkRole picks the role from the settings.
//
// Threads: every call is made on the main thread, except captureHooks()'s
// calls (processing thread) and copyClientStatusText / clientSocketOpen
// (the display, any thread).

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "station/audio/capture.h"
#include "station/audio/fatal_stop.h"
#include "station/net/receive_stream.h"
#include "station/net/relay_hooks.h"
#include "station/net/station_client.h"
#include "station/net/station_server.h"
#include "station/shell/network_role.h"

namespace dsp {
class FirBandFilter;
}

namespace station {

struct StationSettings;

struct BlockProcessor;
struct BlockSink;
class Playback;
class StationDisplay;
class MainWindow;
class GsmCodecPair;

// The parts of a running station the relay sessions reach. Every reference
// must outlive the role built from it.
struct RelayWiring {
    platform::Platform& platform;
    StationSettings& settings;
    platform::SocketNotifiers& notifiers;
    GsmCodecPair& codec;
    dsp::FirBandFilter& filter;
    BlockProcessor& processor;
    BlockSink& sink;
    Playback& playback;
    StationDisplay& display;
    MainWindow& window;
    FatalStopContext& fatal;
};

// What the sessions call in the station, and where received audio goes:
// block processing, then the playback queue (main thread).
class StationRelayHooks final : public RelayHooks, public BlockPlayout {
  public:
    explicit StationRelayHooks(const RelayWiring& wiring) : wiring_(wiring) {}

    void redesignFilter() override;
    void fatalStop(std::string_view messageCp1251) override;
    void drawStatusLine(std::string_view textCp1251) override;
    void messageBox(std::string_view textCp1251, std::string_view captionCp1251) override;
    void clearBlockPlayed() override;
    void requestRedraw() override;

    void processAndPlay(std::int16_t* samples, int byteCount) override;

  private:
    RelayWiring wiring_;
};

class ServerRole final : public NetworkRole {
  public:
    ServerRole(const RelayWiring& wiring, ServerOptions options = {});

    void start() override;
    void stop() override;
    void closeConnections() override { server_.closeConnections(); }
    void onListenEvent(platform::WParam, platform::LParam lParam) override { server_.onListenEvent(lParam); }
    void onPeerEvent(platform::WParam wParam, platform::LParam lParam) override;
    void serverTimeLimitTick() override { server_.timeLimitTick(); }
    void showConnectionList() override { server_.showConnectionList(); }
    CaptureHooks& captureHooks() override { return server_; }

    StationServer& server() { return server_; }

  private:
    platform::WindowHandle window_;
    StationRelayHooks hooks_;
    StationServer server_; // after hooks_: it holds references to them
};

class ClientRole final : public NetworkRole {
  public:
    ClientRole(const RelayWiring& wiring, ClientOptions options = {});

    void start() override;
    void stop() override;
    void closeConnections() override { client_.closeConnections(); }
    void sendSettingsPacket() override { client_.sendSettings(); }
    bool clientConnected() const override { return client_.linkState() == LinkState::Connected; }
    void onServerLinkEvent(platform::WParam wParam, platform::LParam lParam) override;
    void clientTimeLimitTick() override { client_.timeLimitTick(); }
    void copyClientStatusText(std::span<char> out) const override { client_.copyStatusText(out); }
    bool clientSocketOpen() const override { return client_.socketOpen(); }
    CaptureHooks& captureHooks() override { return client_; }

    StationClient& client() { return client_; }

  private:
    platform::WindowHandle window_;
    StationRelayHooks hooks_;
    StationClient client_; // after hooks_: it holds references to them
};

// The role the settings ask for: serverMode → ServerRole, clientMode →
// ClientRole, otherwise the plain NetworkRole.
std::unique_ptr<NetworkRole> makeNetworkRole(const RelayWiring& wiring);

} // namespace station
