#pragma once
// What the relay sessions (StationServer, StationClient) need from the rest
// of the station, and the window messages their sockets report with.

#include <string_view>

namespace station::relay {

// Socket notifications, routed by the main window procedure: wParam is the
// socket, lParam the event (FD_*) with the error in the high word.
inline constexpr unsigned SERVER_ACCEPT_MESSAGE = 1025; // listening socket: FD_ACCEPT
inline constexpr unsigned SERVER_SOCKET_MESSAGE = 1026; // each slot's socket: FD_READ, FD_CLOSE
inline constexpr unsigned CLIENT_SOCKET_MESSAGE = 1027; // the client's socket: FD_READ, FD_CLOSE

} // namespace station::relay

namespace station {

// Calls into the station. Unless marked otherwise, every call comes on the
// main (window) thread. The defaults do nothing.
class RelayHooks {
  public:
    virtual ~RelayHooks() = default;

    // Rebuild the band filter from the settings (a commanding client's
    // Settings packet changed them).
    virtual void redesignFilter() {}
    // Stop the station with a Windows-1251 reason (fatalStop). The station's
    // fatalStop closes the relay's connections through closeConnections().
    virtual void fatalStop(std::string_view /*messageCp1251*/) {}
    // A one-line notice in the window ("Контакт …", "Разорвано соединение с …"),
    // Windows-1251.
    virtual void drawStatusLine(std::string_view /*textCp1251*/) {}
    // A message box with an OK button owned by the main window; Windows-1251.
    virtual void messageBox(std::string_view /*textCp1251*/, std::string_view /*captionCp1251*/) {}
    // The connection to the server closed: clear the tray's receive sign
    // (Playback::clearBlockPlayed).
    virtual void clearBlockPlayed() {}
    // Any thread: ask the main thread to redraw the panel (status text).
    // Must post, never call the window procedure directly.
    virtual void requestRedraw() {}
};

} // namespace station
