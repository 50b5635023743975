#include "station/shell/tray.h"

#include <algorithm>
#include <cstring>

#include "platform/audio_device.h"
#include "station/resources/station_resources.h"
#include "station/shell/station_settings.h"

namespace station {

namespace {

constexpr unsigned firstCaptureItemId = 202;
constexpr unsigned firstPlaybackItemId = 302;
// At most this many device items: ids 202 … 300 and 302 … 400, so that a
// long device list can never produce the id of another menu's item (301).
constexpr int maxDeviceItems = 99;

std::optional<platform::MenuDescription> withDevices(std::optional<platform::MenuDescription> menu, int count,
                                                     unsigned firstId, auto nameOf) {
    if (!menu) {
        return menu;
    }
    // The resource's default-device item stays first.
    for (int i = 0; i < std::min(count, maxDeviceItems); ++i) {
        menu->items.push_back({firstId + static_cast<unsigned>(i), nameOf(i)});
    }
    return menu;
}

int track(TrayDesktop& desktop, platform::WindowHandle window, const std::optional<platform::MenuDescription>& menu) {
    if (!menu) {
        return 0;
    }
    desktop.setForeground(window);
    int x = 0;
    int y = 0;
    desktop.cursorPos(x, y);
    return desktop.trackPopupMenu(window, *menu, x, y);
}

} // namespace

bool PlatformTrayDesktop::notifyIcon(platform::TrayAction action, const platform::TrayIcon& icon) {
    return platform_.notifyIcon(action, icon);
}

std::optional<platform::MenuDescription> PlatformTrayDesktop::findMenu(std::string_view name) const {
    return platform_.resources().findMenu(name);
}

void PlatformTrayDesktop::setForeground(platform::WindowHandle window) { platform_.setForeground(window); }

void PlatformTrayDesktop::cursorPos(int& x, int& y) { platform_.cursorPos(x, y); }

int PlatformTrayDesktop::trackPopupMenu(platform::WindowHandle owner, const platform::MenuDescription& menu, int x,
                                        int y) {
    return platform_.trackPopupMenu(owner, menu, x, y);
}

int AudioSystemDevices::captureDeviceCount() const { return audio_.captureDeviceCount(); }
std::string AudioSystemDevices::captureDeviceName(int index) const { return audio_.captureDeviceName(index); }
int AudioSystemDevices::playbackDeviceCount() const { return audio_.playbackDeviceCount(); }
std::string AudioSystemDevices::playbackDeviceName(int index) const { return audio_.playbackDeviceName(index); }

StationTray::StationTray(TrayDesktop& desktop, platform::WindowHandle owner, const StationConfig& config)
    : desktop_(desktop), owner_(owner), config_(config) {}

std::string StationTray::tipFor(const char* stationTitle, std::string_view statusLine) {
    std::string tip;
    if (stationTitle != nullptr) {
        tip.assign(stationTitle, strnlen(stationTitle, tipCapacity - 1));
    }
    if (!statusLine.empty()) {
        tip += '\n';
        tip += statusLine;
        tip.resize(std::min(tip.size(), longTipCapacity - 1));
    }
    return tip;
}

platform::TrayIcon StationTray::record(std::string_view iconName) const {
    platform::TrayIcon icon;
    icon.owner = owner_;
    icon.id = iconId;
    icon.callbackMessage = callbackMessage;
    icon.iconName = std::string(iconName);
    icon.tipCp1251 = tipFor(config_.stationTitle, statusLine_);
    return icon;
}

bool StationTray::updateTrayIcon(platform::TrayAction action, int state, std::string_view statusLine) {
    switch (action) {
    case platform::TrayAction::Add:
        statusLine_ = std::string(statusLine);
        return desktop_.notifyIcon(action, record(pauseIconName));
    case platform::TrayAction::Modify:
        if (state == lastState_ && statusLine == statusLine_) {
            return false;
        }
        lastState_ = state;
        statusLine_ = std::string(statusLine);
        return desktop_.notifyIcon(action, record(state == traySending     ? sendIconName
                                                  : state == trayReceiving ? recvIconName
                                                                           : pauseIconName));
    case platform::TrayAction::Delete:
        return desktop_.notifyIcon(action, record(pauseIconName));
    }
    return false;
}

int trayStateFor(bool audioStarted, bool blockPlayed) {
    return audioStarted ? traySending : blockPlayed ? trayReceiving : trayIdle;
}

std::optional<platform::MenuDescription> trayMenu(const TrayDesktop& desktop) { return desktop.findMenu(trayMenuName); }

std::optional<platform::MenuDescription> inputDeviceMenu(const TrayDesktop& desktop, const AudioDeviceList& devices) {
    return withDevices(desktop.findMenu(inputMenuName), devices.captureDeviceCount(), firstCaptureItemId,
                       [&](int i) { return devices.captureDeviceName(i); });
}

std::optional<platform::MenuDescription> outputDeviceMenu(const TrayDesktop& desktop, const AudioDeviceList& devices) {
    return withDevices(desktop.findMenu(outputMenuName), devices.playbackDeviceCount(), firstPlaybackItemId,
                       [&](int i) { return devices.playbackDeviceName(i); });
}

int showTrayMenu(TrayDesktop& desktop, platform::WindowHandle window) {
    return track(desktop, window, trayMenu(desktop));
}

int showInputDeviceMenu(TrayDesktop& desktop, platform::WindowHandle window, const AudioDeviceList& devices) {
    return track(desktop, window, inputDeviceMenu(desktop, devices));
}

int showOutputDeviceMenu(TrayDesktop& desktop, platform::WindowHandle window, const AudioDeviceList& devices) {
    return track(desktop, window, outputDeviceMenu(desktop, devices));
}

} // namespace station
