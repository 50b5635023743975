#include "station/shell/tray.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/audio_device.h"
#include "platform/cp1251.h"
#include "platform/resources.h"
#include "station/resources/station_resources.h"
#include "station/shell/station_settings.h"

namespace {

using namespace platform::literals;
using platform::TrayAction;
using station::StationTray;

// A desktop that records what the tray and the menus ask of it.
struct FakeDesktop : station::TrayDesktop {
    bool notifyIcon(TrayAction action, const platform::TrayIcon& icon) override {
        calls.push_back({action, icon});
        return accept;
    }
    std::optional<platform::MenuDescription> findMenu(std::string_view name) const override {
        return resources.findMenu(name);
    }
    void setForeground(platform::WindowHandle window) override { foreground.push_back(window); }
    void cursorPos(int& x, int& y) override {
        x = 123;
        y = 456;
    }
    int trackPopupMenu(platform::WindowHandle owner, const platform::MenuDescription& menu, int x, int y) override {
        tracked.push_back({owner, menu, x, y});
        return choice;
    }

    struct Call {
        TrayAction action;
        platform::TrayIcon icon;
    };
    struct Track {
        platform::WindowHandle owner;
        platform::MenuDescription menu;
        int x, y;
    };
    bool accept = true;
    int choice = 0;
    platform::Resources resources;
    std::vector<Call> calls;
    std::vector<platform::WindowHandle> foreground;
    std::vector<Track> tracked;
};

struct FakeDevices : station::AudioDeviceList {
    int captureDeviceCount() const override { return static_cast<int>(capture.size()); }
    std::string captureDeviceName(int i) const override { return capture.at(static_cast<std::size_t>(i)); }
    int playbackDeviceCount() const override { return static_cast<int>(playback.size()); }
    std::string playbackDeviceName(int i) const override { return playback.at(static_cast<std::size_t>(i)); }
    std::vector<std::string> capture, playback;
};

constexpr platform::WindowHandle mainWindow = 77;

TEST(TrayIcon, StatesAndTheLastStateRule) {
    FakeDesktop desktop;
    station::StationConfig config;
    StationTray tray(desktop, mainWindow, config);

    ASSERT_TRUE(tray.updateTrayIcon(TrayAction::Add, 0));
    ASSERT_EQ(desktop.calls.size(), 1u);
    const platform::TrayIcon& added = desktop.calls[0].icon;
    EXPECT_EQ(desktop.calls[0].action, TrayAction::Add);
    EXPECT_EQ(added.iconName, "ICON_pause");
    EXPECT_EQ(added.owner, mainWindow);
    EXPECT_EQ(added.id, 1006u);
    EXPECT_EQ(added.callbackMessage, 1055u);
    EXPECT_EQ(added.tipCp1251, std::string("Фильтр НЧ для CW"_cp1251));

    // state given → expected result and icon ("" = no call made).
    const struct {
        int state;
        bool result;
        const char* icon;
    } steps[] = {
        {0, false, ""}, // the icon already shows pause
        {1, true, "ICON_send"},  {1, false, ""},         {2, true, "ICON_recv"},  {2, false, ""},
        {0, true, "ICON_pause"}, {1, true, "ICON_send"}, {7, true, "ICON_pause"}, // any other state shows pause...
        {0, true, "ICON_pause"},                                                  // ...but is a state of its own
    };
    for (const auto& step : steps) {
        const std::size_t before = desktop.calls.size();
        EXPECT_EQ(tray.updateTrayIcon(TrayAction::Modify, step.state), step.result) << "state " << step.state;
        if (*step.icon == '\0') {
            EXPECT_EQ(desktop.calls.size(), before) << "state " << step.state << " repeated: no call expected";
        } else {
            ASSERT_EQ(desktop.calls.size(), before + 1) << "state " << step.state;
            EXPECT_EQ(desktop.calls.back().action, TrayAction::Modify);
            EXPECT_EQ(desktop.calls.back().icon.iconName, step.icon) << "state " << step.state;
        }
        EXPECT_EQ(tray.lastState(), step.state);
    }

    // A desktop without a tray refuses; the state is still remembered, so
    // the next tick with the same state does not ask again.
    desktop.accept = false;
    EXPECT_FALSE(tray.updateTrayIcon(TrayAction::Modify, 2));
    const std::size_t before = desktop.calls.size();
    EXPECT_FALSE(tray.updateTrayIcon(TrayAction::Modify, 2));
    EXPECT_EQ(desktop.calls.size(), before);

    // The Icecast push's status: a new one shows a new tip in the same
    // state, under the title; the same one again asks nothing.
    desktop.accept = true;
    EXPECT_TRUE(tray.updateTrayIcon(TrayAction::Modify, 2, "Icecast: connected"));
    EXPECT_EQ(desktop.calls.back().icon.tipCp1251, std::string("Фильтр НЧ для CW\nIcecast: connected"_cp1251));
    EXPECT_FALSE(tray.updateTrayIcon(TrayAction::Modify, 2, "Icecast: connected"));
    EXPECT_TRUE(tray.updateTrayIcon(TrayAction::Modify, 2, "Icecast: reconnecting"));

    EXPECT_TRUE(tray.updateTrayIcon(TrayAction::Delete, 0));
    EXPECT_EQ(desktop.calls.back().action, TrayAction::Delete);
    EXPECT_EQ(desktop.calls.back().icon.id, 1006u);
}

TEST(TrayIcon, StateForTheTimer) {
    EXPECT_EQ(station::trayStateFor(false, false), 0);
    EXPECT_EQ(station::trayStateFor(false, true), 2);
    EXPECT_EQ(station::trayStateFor(true, false), 1);
    EXPECT_EQ(station::trayStateFor(true, true), 1) << "capture wins over playback";
}

TEST(TrayIcon, TipFitsItsField) {
    FakeDesktop desktop;
    station::StationConfig config;
    // Both role suffixes, the server's first: the longest title there is.
    const std::string longest = std::string("Фильтр НЧ для CW\n(сетевой сервер)\n(сетевой клиент)"_cp1251);
    ASSERT_EQ(longest.size(), 50u);
    std::snprintf(config.stationTitle, sizeof config.stationTitle, "%s", longest.c_str());
    StationTray tray(desktop, mainWindow, config);
    tray.updateTrayIcon(TrayAction::Add, 0);
    ASSERT_EQ(desktop.calls.size(), 1u);
    EXPECT_EQ(desktop.calls[0].icon.tipCp1251, longest) << "whole title in the tip";

    // A title longer than the field keeps its first 63 bytes.
    std::memset(config.stationTitle, 'x', 200);
    config.stationTitle[200] = '\0';
    tray.updateTrayIcon(TrayAction::Modify, 1);
    EXPECT_EQ(desktop.calls.back().icon.tipCp1251, std::string(63, 'x'));
}

TEST(DeviceMenus, ItemsFollowTheDeviceLists) {
    FakeDesktop desktop;
    ASSERT_TRUE(station::registerStationResources(desktop.resources));
    FakeDevices devices;

    // No capture devices: only the default item.
    auto input = station::inputDeviceMenu(desktop, devices);
    ASSERT_TRUE(input.has_value());
    EXPECT_EQ(input->popupTitleCp1251, std::string("&Режимы"_cp1251));
    ASSERT_EQ(input->items.size(), 1u);
    EXPECT_EQ(input->items[0].id, 201u);
    EXPECT_EQ(input->items[0].textCp1251, std::string("&Вход по умолчанию"_cp1251));

    // Eleven playback devices: all listed, ids 302 … 312, after the default.
    for (int i = 0; i < 11; ++i) {
        devices.playback.push_back("Card " + std::to_string(i));
    }
    devices.capture = {std::string("Микрофон"_cp1251)};
    auto output = station::outputDeviceMenu(desktop, devices);
    ASSERT_TRUE(output.has_value());
    ASSERT_EQ(output->items.size(), 12u);
    EXPECT_EQ(output->items[0].id, 301u);
    EXPECT_EQ(output->items[0].textCp1251, std::string("&Выход по умолчанию"_cp1251));
    for (unsigned i = 0; i < 11; ++i) {
        EXPECT_EQ(output->items[i + 1].id, 302 + i);
        EXPECT_EQ(output->items[i + 1].textCp1251, "Card " + std::to_string(i));
    }
    input = station::inputDeviceMenu(desktop, devices);
    ASSERT_EQ(input->items.size(), 2u);
    EXPECT_EQ(input->items[1].id, 202u);
    EXPECT_EQ(input->items[1].textCp1251, std::string("Микрофон"_cp1251));

    // A huge list stops before its ids could reach the other menu's 301.
    devices.capture.assign(150, "c");
    input = station::inputDeviceMenu(desktop, devices);
    EXPECT_EQ(input->items.size(), 100u);
    EXPECT_EQ(input->items.back().id, 300u);

    auto tray = station::trayMenu(desktop);
    ASSERT_TRUE(tray.has_value());
    ASSERT_EQ(tray->items.size(), 1u);
    EXPECT_EQ(tray->items[0].id, 101u);
    EXPECT_EQ(tray->items[0].textCp1251, "&Exit");
}

TEST(DeviceMenus, ShowingTracksAtTheCursor) {
    FakeDesktop desktop;
    FakeDevices devices;
    devices.capture = {"a", "b"};
    desktop.choice = 203;

    // Missing resources: nothing is shown and the result is 0.
    EXPECT_EQ(station::showTrayMenu(desktop, mainWindow), 0);
    EXPECT_EQ(station::showInputDeviceMenu(desktop, mainWindow, devices), 0);
    EXPECT_EQ(station::showOutputDeviceMenu(desktop, mainWindow, devices), 0);
    EXPECT_TRUE(desktop.tracked.empty());
    EXPECT_TRUE(desktop.foreground.empty());

    ASSERT_TRUE(station::registerStationResources(desktop.resources));
    EXPECT_EQ(station::showInputDeviceMenu(desktop, mainWindow, devices), 203);
    ASSERT_EQ(desktop.tracked.size(), 1u);
    EXPECT_EQ(desktop.foreground, std::vector<platform::WindowHandle>{mainWindow});
    EXPECT_EQ(desktop.tracked[0].owner, mainWindow);
    EXPECT_EQ(desktop.tracked[0].x, 123);
    EXPECT_EQ(desktop.tracked[0].y, 456);
    EXPECT_EQ(desktop.tracked[0].menu.items.size(), 3u);

    // The list is read again each time the menu opens.
    devices.capture.pop_back();
    desktop.choice = 0;
    EXPECT_EQ(station::showInputDeviceMenu(desktop, mainWindow, devices), 0);
    ASSERT_EQ(desktop.tracked.size(), 2u);
    EXPECT_EQ(desktop.tracked[1].menu.items.size(), 2u);
}

TEST(DeviceMenus, HeadlessPlatformShowsNothing) {
    static int argc = 1;
    static char arg0[] = "station_display_tests";
    static char* argv[] = {arg0, nullptr};
    platform::Platform platform(argc, argv);
    ASSERT_TRUE(station::registerStationResources(platform.resources()));
    station::PlatformTrayDesktop desktop(platform);
    ASSERT_TRUE(desktop.findMenu("menu_tray").has_value()) << "names match without regard to case";

    platform::WindowClass wc;
    wc.name = "StationTrayTest-" + std::to_string(::getpid());
    wc.procedure = [&](platform::WindowHandle w, unsigned m, platform::WParam wp, platform::LParam lp) {
        return platform.defWindowProc(w, m, wp, lp);
    };
    ASSERT_TRUE(platform.registerClass(wc));
    platform::WindowOptions options;
    options.className = wc.name;
    options.width = 512;
    options.height = 215;
    options.visible = false;
    const platform::WindowHandle window = platform.createWindow(options);
    ASSERT_NE(window, 0u);

    station::StationConfig config;
    StationTray tray(desktop, window, config);
    EXPECT_FALSE(tray.updateTrayIcon(TrayAction::Add, 0)) << "no tray on a headless desktop";
    EXPECT_EQ(station::showTrayMenu(desktop, window), 0);
    platform::AudioSystem audio;
    const station::AudioSystemDevices devices(audio);
    EXPECT_EQ(station::showOutputDeviceMenu(desktop, window, devices), 0);
    platform.destroyWindow(window);
}

// ---------------------------------------------------------------- icons

// An XPM image read back: size, colour table (key → "#RRGGBB" or "None")
// and pixel rows. Fails the test on any malformed part.
struct Xpm {
    int width = 0, height = 0;
    std::map<char, std::string> colours;
    std::vector<std::string> rows;

    // Pixels of `colour` in columns x0 … x1 − 1.
    int count(const std::string& colour, int x0 = 0, int x1 = 32) const {
        int n = 0;
        for (const std::string& row : rows) {
            for (int x = x0; x < x1; ++x) {
                n += colours.at(row.at(static_cast<std::size_t>(x))) == colour ? 1 : 0;
            }
        }
        return n;
    }
};

Xpm parseXpm(const char* const* lines, const char* name) {
    Xpm xpm;
    int ncolours = 0, chars = 0;
    EXPECT_EQ(std::sscanf(lines[0], "%d %d %d %d", &xpm.width, &xpm.height, &ncolours, &chars), 4) << name;
    EXPECT_EQ(chars, 1) << name;
    for (int i = 1; i <= ncolours; ++i) {
        const std::string line = lines[i];
        EXPECT_EQ(line.substr(1, 3), " c ") << name << " colour line " << line;
        xpm.colours[line[0]] = line.substr(4);
    }
    EXPECT_EQ(xpm.colours.size(), static_cast<std::size_t>(ncolours)) << name << ": keys must differ";
    std::string keys;
    for (const auto& entry : xpm.colours) {
        keys += entry.first;
    }
    for (int y = 0; y < xpm.height && lines[1 + ncolours + y] != nullptr; ++y) {
        const std::string row = lines[1 + ncolours + y];
        EXPECT_EQ(row.size(), static_cast<std::size_t>(xpm.width)) << name << " row " << y;
        EXPECT_EQ(row.find_first_not_of(keys), std::string::npos) << name << " row " << y << ": unknown key";
        xpm.rows.push_back(row);
    }
    EXPECT_EQ(xpm.rows.size(), static_cast<std::size_t>(xpm.height)) << name << ": pixel rows";
    EXPECT_EQ(lines[1 + ncolours + xpm.height], nullptr) << name << ": terminator after the last row";
    return xpm;
}

TEST(StationIcons, ParseAndShowTheirState) {
    const struct {
        const char* name;
        const char* const* xpm;
    } icons[] = {{"ICON_pause", station::pauseIconXpm},
                 {"ICON_send", station::sendIconXpm},
                 {"ICON_recv", station::recvIconXpm}};
    platform::Resources resources;
    ASSERT_TRUE(station::registerStationResources(resources));
    for (const auto& icon : icons) {
        const Xpm xpm = parseXpm(icon.xpm, icon.name);
        EXPECT_EQ(xpm.width, 32) << icon.name;
        EXPECT_EQ(xpm.height, 32) << icon.name;
        EXPECT_LE(xpm.colours.size(), 16u) << icon.name;
        EXPECT_GT(xpm.count("None"), 0) << icon.name << ": transparent background";
        const platform::IconResource* registered = resources.findIcon(icon.name);
        ASSERT_NE(registered, nullptr) << icon.name;
        EXPECT_EQ(registered->xpm.size(), 1 + xpm.colours.size() + 32) << icon.name;
    }

    // Idle: black head, cyan body, nothing outside the microphone (no rays).
    const Xpm pause = parseXpm(station::pauseIconXpm, "ICON_pause");
    EXPECT_GE(pause.count("#000000"), 40) << "black head";
    EXPECT_GE(pause.count("#00FFFF"), 40) << "cyan body";
    EXPECT_EQ(pause.count("#FF0000"), 0);
    EXPECT_EQ(pause.count("None", 0, 8) + pause.count("None", 24, 32), 32 * 16) << "no rays";

    // Sending: red microphone with red rays on both sides of it.
    const Xpm send = parseXpm(station::sendIconXpm, "ICON_send");
    EXPECT_GE(send.count("#FF0000"), 80);
    EXPECT_GE(send.count("#FF0000", 0, 8), 6) << "rays on the left";
    EXPECT_GE(send.count("#FF0000", 24, 32), 6) << "rays on the right";
    EXPECT_EQ(send.count("#00FFFF"), 0);

    // Receiving: a green speaker with waves to its right.
    const Xpm recv = parseXpm(station::recvIconXpm, "ICON_recv");
    EXPECT_GE(recv.count("#00C000"), 100) << "green speaker";
    EXPECT_GE(recv.count("#00FF00", 19, 32), 20) << "sound waves";
    EXPECT_EQ(recv.count("#FF0000") + recv.count("#00FFFF"), 0);
}

} // namespace
