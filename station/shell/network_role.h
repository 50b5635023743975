#pragma once
// The one interface between the station's window and display and its TCP
// relay role: nothing (a plain station), the server sessions or the client's
// connection. The window hands the role its socket messages, the one-second
// tick, the '5' key and the band announcements; the display reads the
// client's status; capture sends through captureHooks(). The defaults are a
// station without a role.
//
// Threads: every call is made on the main thread, except captureHooks()'s
// calls (processing thread) and copyClientStatusText / clientSocketOpen
// (the display, any thread).

#include <span>

#include "platform/messages.h"
#include "station/audio/capture.h"

namespace station {

// A TCP role of the station. The defaults are a station without one.
class NetworkRole {
  public:
    virtual ~NetworkRole() = default;
    // Start-up step after the timers: start listening, or start the
    // reconnect worker. Shutdown, before the socket notifiers go: stop the
    // server or end the worker, and close the sockets.
    virtual void start() {}
    virtual void stop() {}
    // fatalStop: close every connection.
    virtual void closeConnections() {}
    // Client role: sends the server a Settings packet (band edges, filter
    // length) when connected; the result of the send is not examined.
    virtual void sendSettingsPacket() {}
    // Client role: the connection to the server is up.
    virtual bool clientConnected() const { return false; }
    // Socket notifications: (socket, event | error << 16).
    virtual void onListenEvent(platform::WParam, platform::LParam) {}
    virtual void onPeerEvent(platform::WParam, platform::LParam) {}
    virtual void onServerLinkEvent(platform::WParam, platform::LParam) {}
    // Timer 2, every tick of the role's own (client or server): the
    // sessions keep the time-limit rule themselves and also retry queued
    // bytes and enforce login deadlines on this tick.
    virtual void clientTimeLimitTick() {}
    virtual void serverTimeLimitTick() {}
    // Server role, '5' key: the list of connected listeners.
    virtual void showConnectionList() {}
    // The display's view of a client connection (any thread, quick).
    virtual void copyClientStatusText(std::span<char> out) const {
        if (!out.empty()) {
            out[0] = '\0';
        }
    }
    virtual bool clientSocketOpen() const { return false; }
    // What the processing thread relays to the network.
    virtual CaptureHooks& captureHooks() { return noRelay_; }

  private:
    CaptureHooks noRelay_;
};

} // namespace station
