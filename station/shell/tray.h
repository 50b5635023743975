#pragma once
// The station's notification-area icon and its three popup menus: the
// tray menu ("&Exit") and the capture and playback device menus opened with
// the right mouse button over the display. Main thread only.
//
// The icon shows the station's state (trayIdle, traySending, trayReceiving
// below). Its tip is the station title.
//
// The desktop (tray, popup tracking, cursor, foreground) and the device
// lists are reached through the small interfaces below, so that the rules
// run in tests without a desktop or sound cards.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {
class AudioSystem;
}

namespace station {

struct StationConfig;

// The tray states: idle ("ICON_pause"), the capture path is delivering audio
// ("ICON_send"), only playback is working ("ICON_recv"). Any other value
// shows as idle.
inline constexpr int trayIdle = 0;
inline constexpr int traySending = 1;
inline constexpr int trayReceiving = 2;

// The desktop services the tray and the menus use.
class TrayDesktop {
  public:
    virtual ~TrayDesktop() = default;
    // Add/change/remove the icon; true when the desktop accepted the call.
    virtual bool notifyIcon(platform::TrayAction action, const platform::TrayIcon& icon) = 0;
    // A registered menu by name (case-insensitive); nullopt when missing.
    virtual std::optional<platform::MenuDescription> findMenu(std::string_view name) const = 0;
    virtual void setForeground(platform::WindowHandle window) = 0;
    // Screen position of the mouse cursor, pixels.
    virtual void cursorPos(int& x, int& y) = 0;
    // Shows the popup at screen (x, y) and waits; the chosen id, 0 for none.
    virtual int trackPopupMenu(platform::WindowHandle owner, const platform::MenuDescription& menu, int x, int y) = 0;
};

// TrayDesktop on the running platform::Platform and its resource registry.
class PlatformTrayDesktop final : public TrayDesktop {
  public:
    explicit PlatformTrayDesktop(platform::Platform& platform) : platform_(platform) {}
    bool notifyIcon(platform::TrayAction action, const platform::TrayIcon& icon) override;
    std::optional<platform::MenuDescription> findMenu(std::string_view name) const override;
    void setForeground(platform::WindowHandle window) override;
    void cursorPos(int& x, int& y) override;
    int trackPopupMenu(platform::WindowHandle owner, const platform::MenuDescription& menu, int x, int y) override;

  private:
    platform::Platform& platform_;
};

// The computer's waveform-audio devices in the order (and with the indices)
// that the capture and playback opens use. Names are Windows-1251.
class AudioDeviceList {
  public:
    virtual ~AudioDeviceList() = default;
    virtual int captureDeviceCount() const = 0;
    virtual std::string captureDeviceName(int index) const = 0;
    virtual int playbackDeviceCount() const = 0;
    virtual std::string playbackDeviceName(int index) const = 0;
};

// The live lists of platform::AudioSystem, read each time they are asked for.
class AudioSystemDevices final : public AudioDeviceList {
  public:
    explicit AudioSystemDevices(const platform::AudioSystem& audio) : audio_(audio) {}
    int captureDeviceCount() const override;
    std::string captureDeviceName(int index) const override;
    int playbackDeviceCount() const override;
    std::string playbackDeviceName(int index) const override;

  private:
    const platform::AudioSystem& audio_;
};

// The notification-area icon and the last state it shows.
class StationTray {
  public:
    static constexpr unsigned iconId = 1006;
    // TRAY_MESSAGE: the owner gets (callbackMessage, iconId, mouse message).
    static constexpr unsigned callbackMessage = 1055;
    // Bytes of the title's part of the tip, terminator included: the title
    // keeps at most 63 bytes.
    static constexpr std::size_t tipCapacity = 64;
    // Bytes of a whole tip with a status line after the title, terminator
    // included (the notification area's later field size).
    static constexpr std::size_t longTipCapacity = 128;

    // `owner`: the main window. `config.stationTitle` is read at each call.
    StationTray(TrayDesktop& desktop, platform::WindowHandle owner, const StationConfig& config);

    // Add: adds the icon with "ICON_pause". Modify: nothing, and false, when
    // `state` is the state last shown; otherwise remembers it and shows
    // "ICON_send" for traySending, "ICON_recv" for trayReceiving,
    // "ICON_pause" for anything else.
    // Delete: removes the icon. True when the desktop accepted the call.
    // `statusLine` (the Icecast push's, may be empty) goes into the tip on
    // a line after the title; a Modify with the same state but another
    // status line shows the new tip.
    bool updateTrayIcon(platform::TrayAction action, int state, std::string_view statusLine = {});

    int lastState() const { return lastState_; }

    // The tip for a station title: the title cut at 63 bytes, then, when
    // `statusLine` is not empty, a line break and the status line, the
    // whole cut at 127 bytes.
    static std::string tipFor(const char* stationTitle, std::string_view statusLine = {});

  private:
    platform::TrayIcon record(std::string_view iconName) const;

    std::string statusLine_; // the last one shown

    TrayDesktop& desktop_;
    platform::WindowHandle owner_;
    const StationConfig& config_;
    int lastState_ = trayIdle;
};

// The tray state for the 400 ms timer: traySending when a captured block
// has been handed over since capture was opened (`audioStarted`), else
// trayReceiving when a played block has come back since playback was opened
// (`blockPlayed`), else trayIdle.
int trayStateFor(bool audioStarted, bool blockPlayed);

// The popups as they will be shown: the registered menu, and for the device
// menus one item per device after the default-device item, named by the
// device's product name, with id 202 + i (capture) or 302 + i (playback),
// for the first 99 devices.
// nullopt when the menu resource is missing.
std::optional<platform::MenuDescription> trayMenu(const TrayDesktop& desktop);
std::optional<platform::MenuDescription> inputDeviceMenu(const TrayDesktop& desktop, const AudioDeviceList& devices);
std::optional<platform::MenuDescription> outputDeviceMenu(const TrayDesktop& desktop, const AudioDeviceList& devices);

// Build the popup (above), bring `window` to the foreground and track the
// popup at the cursor. Return the chosen id (which also arrives at `window`
// as WM_COMMAND), or 0: nothing chosen, no popup possible (headless), or the
// menu resource missing (then nothing is shown).
int showTrayMenu(TrayDesktop& desktop, platform::WindowHandle window);
int showInputDeviceMenu(TrayDesktop& desktop, platform::WindowHandle window, const AudioDeviceList& devices);
int showOutputDeviceMenu(TrayDesktop& desktop, platform::WindowHandle window, const AudioDeviceList& devices);

} // namespace station
