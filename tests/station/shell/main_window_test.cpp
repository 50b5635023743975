// The station's window procedure, driven message by message on a real
// (headless) window with the real display and band filter; devices, network
// and desktop are recorded by fakes.

#include "station/shell/main_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "dsp/band_filter.h"
#include "link/datagrams.h"
#include "platform/cp1251.h"
#include "platform/gdi.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "station/resources/station_resources.h"
#include "station/shell/display.h"
#include "station/shell/station_settings.h"
#include "station/shell/tray.h"

namespace {

using namespace platform::literals;
using platform::LParam;
using platform::WParam;
using namespace station;

struct RecordingHooks final : StationHooks {
    int captureDone = 0, playbackDone = 0, captureReopens = 0, playbackReopens = 0;
    bool started = false, played = false;

    void onCaptureDone(WParam, LParam) override { ++captureDone; }
    void onPlaybackDone(WParam, LParam) override { ++playbackDone; }
    void reopenCapture() override { ++captureReopens; }
    void reopenPlayback() override { ++playbackReopens; }
    bool audioStarted() const override { return started; }
    bool blockPlayed() const override { return played; }
};

struct RecordingRelay final : NetworkRole {
    int clientTicks = 0, serverTicks = 0, connectionLists = 0;
    bool connected = false;
    // The designed coefficient the filter held at each announce.
    std::vector<float> coefficientAtAnnounce;
    const dsp::FirBandFilter* filter = nullptr;

    void sendSettingsPacket() override { coefficientAtAnnounce.push_back(filter->designedCoefficients()[128]); }
    bool clientConnected() const override { return connected; }
    void clientTimeLimitTick() override { ++clientTicks; }
    void serverTimeLimitTick() override { ++serverTicks; }
    void showConnectionList() override { ++connectionLists; }
};

// Records the popups instead of showing them; chooses `choice`.
struct RecordingDesktop final : TrayDesktop {
    explicit RecordingDesktop(platform::Platform& p) : real(p) {}
    bool notifyIcon(platform::TrayAction, const platform::TrayIcon& icon) override {
        iconNames.push_back(icon.iconName);
        return true;
    }
    std::optional<platform::MenuDescription> findMenu(std::string_view name) const override {
        return real.findMenu(name);
    }
    void setForeground(platform::WindowHandle) override {}
    void cursorPos(int& x, int& y) override { x = y = 0; }
    int trackPopupMenu(platform::WindowHandle, const platform::MenuDescription& menu, int, int) override {
        shown.push_back(menu);
        return choice;
    }
    PlatformTrayDesktop real;
    std::vector<std::string> iconNames;
    std::vector<platform::MenuDescription> shown;
    int choice = 0;
};

struct NoDevices final : AudioDeviceList {
    int captureDeviceCount() const override { return 0; }
    std::string captureDeviceName(int) const override { return {}; }
    int playbackDeviceCount() const override { return 0; }
    std::string playbackDeviceName(int) const override { return {}; }
};

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() {
        std::snprintf(settings.config.windowClassName, sizeof settings.config.windowClassName, "MainWindowTest-%d",
                      getpid());
        registerStationResources(platform.resources());
        relay.filter = &filter;
    }

    // Creates the window after the test has set up the settings.
    void open() {
        window = std::make_unique<MainWindow>(platform, settings, filter, *processor, display, drag, desktop, devices,
                                              hooks);
        window->attachRelay(relay);
        ASSERT_TRUE(window->create());
        window->redesignFilter();
        display.drawScalePanel();
    }

    LParam send(unsigned message, WParam wParam = 0, LParam lParam = 0) {
        return window->procedure(window->handle(), message, wParam, lParam);
    }
    void key(unsigned scan) { send(platform::WM_KEYDOWN, 0, static_cast<LParam>(scan) << 16); }
    void character(char c) { send(platform::WM_CHAR, static_cast<unsigned char>(c)); }
    void mouse(unsigned message, int x, int y) {
        send(message, 0, platform::makeLParam(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y)));
    }
    void setBand(float low, float high) {
        settings.live.bandLow = low;
        settings.live.bandHigh = high;
    }

    static inline int argc = 1;
    static inline char arg0[] = "main_window_tests";
    static inline char* argv[] = {arg0, nullptr};

    platform::Platform platform{argc, argv};
    StationSettings settings;
    dsp::FirBandFilter filter;
    std::unique_ptr<BlockProcessor> processor = std::make_unique<BlockProcessor>();
    DisplayInputs inputs;
    StationDisplay display{settings, inputs};
    BandDrag drag;
    RecordingDesktop desktop{platform};
    NoDevices devices;
    RecordingHooks hooks;
    RecordingRelay relay;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, UpArrowNarrowsToAFloorAndNeverClosesTheBand) {
    open();
    for (int i = 0; i < 20; ++i) {
        key(scanUp);
    }
    const float low = settings.live.bandLow, high = settings.live.bandHigh;
    EXPECT_GT(high - low, 0.0f) << "band vanished: " << low << " … " << high;
    EXPECT_LE((high - low) / 2, 0.0011f) << "got half-width " << (high - low) / 2;
    EXPECT_NEAR((low + high) / 2, 0.105f, 1e-5f) << "centre moved";
    // The filter follows the band: its design is the one for the final band.
    std::vector<float> expected(256);
    dsp::windowedSincBandPass(expected.data(), 256, low, high);
    EXPECT_EQ(0, std::memcmp(expected.data(), filter.designedCoefficients(), 256 * sizeof(float)));
}

TEST_F(MainWindowTest, ArrowKeysMoveTheBandKeepingItsWidth) {
    struct Case {
        const char* name;
        unsigned scan;
        float low, high, wantLow, wantHigh;
    };
    const Case cases[] = {
        {"Right pinned at 0.5", scanRight, 0.49f, 0.5f, 0.49f, 0.5f},
        {"Right in the open", scanRight, 0.1f, 0.11f, 0.101f, 0.111f},
        {"Left pinned at 0", scanLeft, 0.0f, 0.02f, 0.0f, 0.02f},
        {"keypad Right (no extended flag) does nothing", 0x4D, 0.1f, 0.11f, 0.1f, 0.11f},
        {"keypad Up does nothing", 0x48, 0.1f, 0.11f, 0.1f, 0.11f},
        {"Down widens", scanDown, 0.1f, 0.11f, 0.099f, 0.111f},
    };
    open();
    for (const Case& c : cases) {
        setBand(c.low, c.high);
        key(c.scan);
        EXPECT_NEAR(settings.live.bandLow, c.wantLow, 1e-6f) << c.name;
        EXPECT_NEAR(settings.live.bandHigh, c.wantHigh, 1e-6f) << c.name;
    }
}

TEST_F(MainWindowTest, CommandClientAnnouncesInTheOrderOfEachControl) {
    settings.config.clientMode = true;
    settings.config.commandMode = true;
    settings.live.filterLength = 256;
    open();
    const float before = filter.designedCoefficients()[128];
    key(scanRight); // announce, then rebuild: the server hears before the filter changes
    ASSERT_EQ(relay.coefficientAtAnnounce.size(), 1u);
    EXPECT_EQ(relay.coefficientAtAnnounce[0], before);
    const float afterRight = filter.designedCoefficients()[128];
    ASSERT_NE(afterRight, before);
    key(scanUp); // rebuild, then announce
    ASSERT_EQ(relay.coefficientAtAnnounce.size(), 2u);
    EXPECT_NE(relay.coefficientAtAnnounce[1], afterRight);
    EXPECT_EQ(relay.coefficientAtAnnounce[1], filter.designedCoefficients()[128]);

    // A plain station announces nothing.
    settings.config.commandMode = false;
    key(scanRight);
    EXPECT_EQ(relay.coefficientAtAnnounce.size(), 2u);
}

TEST_F(MainWindowTest, GainKeysKeepAFloorOfOneAndWriteTheGainLine) {
    open();
    const platform::Picture before = display.traceSnapshot();
    key(scanPageDown);
    EXPECT_EQ(settings.live.outputGain.load(), 1.0);
    EXPECT_EQ(gainText(settings.live.outputGain.load()), std::string("Уселитель 1.000000"_cp1251.c_str()));
    // The line lands at column 10, row B + 1.
    const platform::Picture after = display.traceSnapshot();
    int changed = 0;
    for (int y = 101; y < 101 + 14; ++y) {
        for (int x = 10; x < 200; ++x) {
            changed += before.pixel(x, y) != after.pixel(x, y) ? 1 : 0;
        }
    }
    EXPECT_GT(changed, 20) << "no gain text drawn at (10, B + 1)";
    key(scanPageUp);
    key(scanPageUp);
    EXPECT_NEAR(settings.live.outputGain.load(), 1.2, 1e-12);
    EXPECT_EQ(gainText(1.2), std::string("Уселитель 1.200000"_cp1251.c_str()));
}

TEST_F(MainWindowTest, ReceiveBufferKeysNeedF4AndStayWithinOneToSixty) {
    open();
    settings.live.receiveBufferPackets = 6;
    key(scanF5);
    key(scanF6);
    key(scanF6);
    EXPECT_EQ(settings.live.receiveBufferPackets.load(), 6) << "F5/F6 acted without F4";
    key(scanF4);
    EXPECT_EQ(settings.live.showReceiveBuffer.load(), 1);
    key(scanF6);
    EXPECT_EQ(settings.live.receiveBufferPackets.load(), 7);
    settings.live.receiveBufferPackets = 60;
    key(scanF6);
    EXPECT_EQ(settings.live.receiveBufferPackets.load(), 60);
    settings.live.receiveBufferPackets = 1;
    key(scanF5);
    EXPECT_EQ(settings.live.receiveBufferPackets.load(), 1);
    key(scanF4);
    EXPECT_EQ(settings.live.showReceiveBuffer.load(), 0);
}

TEST_F(MainWindowTest, CharacterKeys) {
    open();
    // '2' just under the upper edge leaves a 0.005 band below it.
    setBand(0.108f, 0.11f);
    character('2');
    EXPECT_NEAR(settings.live.bandLow, 0.105f, 1e-6f);
    EXPECT_FLOAT_EQ(settings.live.bandHigh, 0.11f);
    // Every character rebuilds, even one without a meaning.
    setBand(0.2f, 0.25f);
    character('x');
    std::vector<float> expected(256);
    dsp::windowedSincBandPass(expected.data(), 256, 0.2f, 0.25f);
    EXPECT_EQ(0, std::memcmp(expected.data(), filter.designedCoefficients(), 256 * sizeof(float)));
    // '5' is the server's connection list only.
    character('5');
    EXPECT_EQ(relay.connectionLists, 0);
    settings.config.serverMode = true;
    character('5');
    EXPECT_EQ(relay.connectionLists, 1);
}

TEST_F(MainWindowTest, SpaceCyclesDisplaySizesWithTheirWindowHeights) {
    open();
    window->show();
    platform::Rect start;
    ASSERT_TRUE(platform.windowRect(window->handle(), start));
    struct Step {
        int size, baseY, waterfall, height;
    };
    const Step steps[] = {{2, 110, 90, 235}, {3, 190, 100, 325}, {4, 100, 20, 150}, {1, 100, 80, 215}};
    for (const Step& s : steps) {
        character(' ');
        platform::Rect r;
        ASSERT_TRUE(platform.windowRect(window->handle(), r));
        EXPECT_EQ(settings.live.displaySize.load(), s.size);
        EXPECT_EQ(settings.live.spectrumBaseY.load(), s.baseY) << "size " << s.size;
        EXPECT_EQ(settings.live.waterfallHeight.load(), s.waterfall) << "size " << s.size;
        EXPECT_EQ(r.height(), s.height) << "size " << s.size;
        EXPECT_EQ(r.width(), start.width()) << "size " << s.size;
        EXPECT_EQ(r.left, start.left) << "size " << s.size;
        EXPECT_EQ(r.top, start.top) << "size " << s.size;
    }
}

TEST_F(MainWindowTest, MouseRules) {
    open();
    // A click beyond the 512 columns does nothing.
    setBand(0.1f, 0.11f);
    mouse(platform::WM_LBUTTONDOWN, 600, 150);
    EXPECT_FLOAT_EQ(settings.live.bandLow, 0.1f);
    EXPECT_FLOAT_EQ(settings.live.bandHigh, 0.11f);
    // A click in the display centres the band there.
    mouse(platform::WM_LBUTTONDOWN, 256, 150);
    EXPECT_NEAR(settings.live.bandLow, 0.245f, 1e-6f);
    EXPECT_NEAR(settings.live.bandHigh, 0.255f, 1e-6f);

    // Two edges within 6 pixels are grabbed together (columns 102 and 105);
    // the release puts both there and separates them by 0.005.
    setBand(0.1f, 0.1035f);
    mouse(platform::WM_LBUTTONDOWN, 103, 30); // handle strip: B − 80 < y < B − 65
    EXPECT_TRUE(drag.dragging && drag.draggingLow && drag.draggingHigh);
    mouse(platform::WM_MOUSEMOVE, 180, 30);
    EXPECT_EQ(drag.dragX.load(), 180);
    EXPECT_FLOAT_EQ(settings.live.bandLow, 0.1f) << "the band changed before the release";
    mouse(platform::WM_LBUTTONUP, 200, 30);
    EXPECT_FALSE(drag.dragging);
    EXPECT_NEAR(settings.live.bandHigh, 200.0f / 1024, 1e-6f);
    EXPECT_NEAR(settings.live.bandLow, 200.0f / 1024 - 0.005f, 1e-6f);

    // The filter-length strip; with the filter off the display ignores clicks.
    mouse(platform::WM_LBUTTONDOWN, 10, 10);
    EXPECT_EQ(settings.live.filterLength.load(), 32);
    const float low = settings.live.bandLow;
    mouse(platform::WM_LBUTTONDOWN, 300, 150);
    EXPECT_FLOAT_EQ(settings.live.bandLow, low);
    mouse(platform::WM_LBUTTONDOWN, 110, 10);
    EXPECT_EQ(settings.live.filterLength.load(), 1024);
    EXPECT_EQ(filter.designedTapCount(), 1024);

    // Wheel: only the sign counts, one step per message.
    setBand(0.1f, 0.11f);
    send(platform::WM_MOUSEWHEEL, static_cast<WParam>(static_cast<std::uint16_t>(-240)) << 16);
    EXPECT_NEAR(settings.live.bandLow, 0.099f, 1e-6f);
    EXPECT_NEAR(settings.live.bandHigh, 0.111f, 1e-6f);
    send(platform::WM_MOUSEWHEEL, static_cast<WParam>(120) << 16);
    EXPECT_NEAR(settings.live.bandLow, 0.1f, 1e-6f);
    EXPECT_NEAR(settings.live.bandHigh, 0.11f, 1e-6f);
}

TEST_F(MainWindowTest, RightButtonHalvesOpenTheDeviceMenus) {
    open();
    mouse(platform::WM_RBUTTONDOWN, 255, 100);
    mouse(platform::WM_RBUTTONDOWN, 256, 100);
    ASSERT_EQ(desktop.shown.size(), 2u);
    ASSERT_FALSE(desktop.shown[0].items.empty());
    ASSERT_FALSE(desktop.shown[1].items.empty());
    EXPECT_EQ(desktop.shown[0].items[0].id, 201u) << "left half: the input menu";
    EXPECT_EQ(desktop.shown[1].items[0].id, 301u) << "right half: the output menu";
    // The tray icon's right button shows the tray menu and returns its choice.
    desktop.choice = 101;
    EXPECT_EQ(send(TRAY_MESSAGE, StationTray::iconId, platform::WM_RBUTTONDOWN), 101);
    EXPECT_EQ(send(TRAY_MESSAGE, StationTray::iconId, platform::WM_LBUTTONDOWN), 0);
    EXPECT_EQ(desktop.shown.size(), 3u);
}

TEST_F(MainWindowTest, DeviceMenuCommands) {
    struct Case {
        unsigned id;
        int client;
        int dialog;
        platform::LResult result;
        int inputDevice, outputDevice, captureReopens, playbackReopens;
    };
    const Case cases[] = {
        {201, 0, 0, 1, -1, 5, 1, 0}, {202, 0, 0, 1, 0, 5, 1, 0}, {210, 0, 0, 1, 8, 5, 1, 0}, {211, 0, 0, 0, 5, 5, 0, 0},
        {301, 0, 0, 1, 5, -1, 0, 1}, {310, 0, 0, 1, 5, 8, 0, 1}, {311, 0, 0, 0, 5, 5, 0, 0}, {205, 1, 0, 0, 5, 5, 0, 0},
        {205, 1, 1, 1, 3, 5, 1, 0},  {305, 1, 0, 1, 5, 3, 0, 1}, {999, 0, 0, 0, 5, 5, 0, 0},
    };
    open();
    for (const Case& c : cases) {
        settings.config.clientMode = c.client;
        settings.config.dialogMode = c.dialog;
        settings.live.inputDevice = 5;
        settings.live.outputDevice = 5;
        hooks.captureReopens = hooks.playbackReopens = 0;
        EXPECT_EQ(send(platform::WM_COMMAND, c.id), c.result) << "id " << c.id << " client " << c.client;
        EXPECT_EQ(settings.live.inputDevice.load(), c.inputDevice) << "id " << c.id;
        EXPECT_EQ(settings.live.outputDevice.load(), c.outputDevice) << "id " << c.id;
        EXPECT_EQ(hooks.captureReopens, c.captureReopens) << "id " << c.id;
        EXPECT_EQ(hooks.playbackReopens, c.playbackReopens) << "id " << c.id;
    }
}

TEST_F(MainWindowTest, ExitCommandDestroysTheWindowAndEndsTheLoop) {
    open();
    EXPECT_EQ(send(platform::WM_COMMAND, 101), 1);
    EXPECT_FALSE(platform.postMessage(window->handle(), platform::WM_USER, 0, 0)) << "window still exists";
    EXPECT_EQ(platform.runLoop(), 0);
}

TEST_F(MainWindowTest, DrawPanelPresentsIntoTheForeignWindowOrDropsIt) {
    open();
    // A second window stands in for the decoder's.
    platform::WindowOptions o;
    o.className = settings.config.windowClassName;
    o.width = 512;
    o.height = 215;
    const platform::WindowHandle foreign = platform.createWindow(o);
    ASSERT_NE(foreign, 0u);
    settings.live.drawWindow = foreign;
    send(DRAW_PANEL_MESSAGE);
    EXPECT_EQ(settings.live.drawWindow.load(), foreign);
    platform::Picture shown(1, 1);
    ASSERT_TRUE(platform.readClientArea(foreign, shown));
    // The scale's 1000 Hz tick (red) at column 128 shows the display arrived.
    EXPECT_EQ(shown.pixel(128, 100 - 27), platform::rgb(255, 0, 0));

    settings.live.drawWindow = 0xDEAD; // no such window
    send(DRAW_PANEL_MESSAGE);
    EXPECT_EQ(settings.live.drawWindow.load(), 0u);
}

TEST_F(MainWindowTest, TimersFollowRoleAndState) {
    open();
    // Tray state: sending beats receiving beats idle.
    hooks.played = true;
    send(platform::WM_TIMER, displayTimerId);
    EXPECT_EQ(window->tray().lastState(), 2);
    hooks.started = true;
    send(platform::WM_TIMER, displayTimerId);
    EXPECT_EQ(window->tray().lastState(), 1);

    // An unconnected plain client scrolls an empty spectrum; a connected
    // one does not.
    settings.config.clientMode = true;
    const platform::Picture before = display.traceSnapshot();
    send(platform::WM_TIMER, displayTimerId);
    const platform::Picture idle = display.traceSnapshot();
    EXPECT_EQ(idle.pixel(5, 100), platform::rgb(15, 4, 63)) << "no empty waterfall line";
    EXPECT_NE(before.pixel(5, 100), idle.pixel(5, 100));
    relay.connected = true;
    display.drawScalePanel();
    send(platform::WM_TIMER, displayTimerId);
    EXPECT_EQ(display.traceSnapshot().pixel(5, 100), platform::rgb(0, 0, 0));

    // Timer 2 ticks the role on every tick, time limit or not (the sessions
    // also flush queued bytes and end overdue logins on it).
    send(platform::WM_TIMER, clockTimerId);
    EXPECT_EQ(relay.clientTicks, 1);
    settings.live.timeLimit = 30;
    send(platform::WM_TIMER, clockTimerId);
    settings.config.clientMode = false;
    settings.config.serverMode = true;
    send(platform::WM_TIMER, clockTimerId);
    EXPECT_EQ(relay.clientTicks, 2);
    EXPECT_EQ(relay.serverTicks, 1);
}

// A link socket as the station has it: bound on loopback, non-blocking (as
// notifications make it), with a sender.
struct LinkPair {
    LinkPair() {
        platform::bindSocket(receiver, platform::BindAddress::Loopback, 0);
        platform::setNonBlocking(receiver, true);
    }
    ~LinkPair() {
        platform::closeSocket(sender);
        platform::closeSocket(receiver);
    }
    bool send(std::int32_t command, std::int32_t value) const {
        locallink::ControlDatagram d;
        d.command = command;
        d.value = value;
        return platform::sendTo(sender, &d, sizeof d, "127.0.0.1", platform::localPort(receiver)).ok();
    }
    platform::Socket receiver = platform::createUdpSocket();
    platform::Socket sender = platform::createUdpSocket();
};

TEST_F(MainWindowTest, LinkCommandsAreReadFromTheSocket) {
    open();
    const LinkPair link;
    ASSERT_TRUE(link.send(locallink::SetKeyingThreshold, 55));
    send(locallink::LINK_SOCKET_MESSAGE, static_cast<WParam>(link.receiver), platform::FD_READ);
    EXPECT_EQ(settings.live.keyingThreshold.load(), 55);
}

// A burst of device choices costs one switch per device, to the latest
// choice, and is read in one pass: a command behind it acts at once.
TEST_F(MainWindowTest, ABurstOfDeviceChoicesSwitchesEachDeviceOnce) {
    open();
    const LinkPair link;
    // 201 datagrams: what a default receive buffer holds, under the 256
    // read per pass.
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(link.send(locallink::SelectOutputDevice, i));
        ASSERT_TRUE(link.send(locallink::SelectInputDevice, 1000 + i));
    }
    ASSERT_TRUE(link.send(locallink::SetKeyingThreshold, 77));
    send(locallink::LINK_SOCKET_MESSAGE, static_cast<WParam>(link.receiver), platform::FD_READ);
    EXPECT_EQ(settings.live.keyingThreshold.load(), 77) << "the command behind the burst was not read";
    EXPECT_EQ(hooks.playbackReopens, 0) << "switched while reading the burst";
    EXPECT_EQ(hooks.captureReopens, 0);
    EXPECT_EQ(settings.live.outputDevice.load(), 99);
    EXPECT_EQ(settings.live.inputDevice.load(), 1099);

    // The switch itself waits in the queue as one message.
    platform.postQuit(0);
    EXPECT_EQ(platform.runLoop(), 0);
    EXPECT_EQ(hooks.playbackReopens, 1);
    EXPECT_EQ(hooks.captureReopens, 1);

    // A later choice is switched again.
    ASSERT_TRUE(link.send(locallink::SelectOutputDevice, 3));
    send(locallink::LINK_SOCKET_MESSAGE, static_cast<WParam>(link.receiver), platform::FD_READ);
    platform.postQuit(0);
    EXPECT_EQ(platform.runLoop(), 0);
    EXPECT_EQ(hooks.playbackReopens, 2);
    EXPECT_EQ(hooks.captureReopens, 1);
}

TEST_F(MainWindowTest, SinkPaintsTheLampIntoTraceAndWindow) {
    open();
    window->show();
    StationBlockSink sink(platform, settings, display, *window);
    sink.lampChanged(1);
    platform::Picture shown(1, 1);
    ASSERT_TRUE(platform.readClientArea(window->handle(), shown));
    EXPECT_EQ(shown.pixel(495, 2), platform::rgb(0, 180, 0));
    EXPECT_EQ(shown.pixel(504, 11), platform::rgb(0, 180, 0));
    EXPECT_EQ(display.traceSnapshot().pixel(500, 5), platform::rgb(0, 180, 0));
}

} // namespace
