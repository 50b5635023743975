#include "station/shell/main_window.h"

#include <utility>

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "dsp/band_filter.h"
#include "dsp/fft.h"
#include "link/datagrams.h"
#include "link/link_socket.h"
#include "platform/cp1251.h"
#include "platform/gdi.h"
#include "station/resources/station_resources.h"
#include "station/shell/control_datagram.h"
#include "station/shell/display.h"
#include "station/shell/station_settings.h"
#include "station/shell/tray.h"

namespace station {

using namespace platform::literals;
using platform::LParam;
using platform::LResult;
using platform::WindowHandle;
using platform::WParam;

namespace {

// The gain steps of Page Up / Page Down; the gain never falls below 1.0.
constexpr double gainStep = 0.1;
constexpr double minimumGain = 1.0;

// F5/F6 keep the receive buffer within these many blocks.
constexpr std::int32_t minimumReceivePackets = 1;
constexpr std::int32_t maximumReceivePackets = 60;

// Columns left of this open the input device menu, others the output one.
constexpr std::uint16_t deviceMenuSplitColumn = 256;

// Menu command ids: default device, then devices 0 … 8.
constexpr unsigned exitId = 101;
constexpr unsigned inputFirst = 201, inputLast = 210, inputDevice0 = 202;
constexpr unsigned outputFirst = 301, outputLast = 310, outputDevice0 = 302;

constexpr platform::Colour lampOn = platform::rgb(0, 180, 0);
constexpr platform::Colour lampOff = platform::rgb(0, 0, 0);

// Transform order of the idle spectrum: 2^10 points.
constexpr int spectrumOrder = 10;

} // namespace

std::string gainText(double gain) {
    std::string text = "Уселитель "_cp1251.c_str();
    char digits[64];
    const auto result = std::to_chars(digits, digits + sizeof digits, gain, std::chars_format::fixed, 6);
    text.append(digits, result.ptr);
    return text;
}

MainWindow::MainWindow(platform::Platform& platform, StationSettings& settings, dsp::FirBandFilter& filter,
                       BlockProcessor& processor, StationDisplay& display, BandDrag& drag, TrayDesktop& desktop,
                       const AudioDeviceList& devices, StationHooks& hooks)
    : platform_(platform), settings_(settings), filter_(filter), processor_(processor), display_(display), drag_(drag),
      desktop_(desktop), devices_(devices), hooks_(hooks) {}

MainWindow::~MainWindow() {
    if (window_ != 0) {
        // Taken down with the station, after its loop: nothing to end.
        closing_ = true;
        platform_.destroyWindow(window_);
    }
}

bool MainWindow::create() {
    platform::WindowClass windowClass;
    windowClass.name = settings_.config.windowClassName;
    windowClass.procedure = [this](WindowHandle w, unsigned m, WParam wp, LParam lp) {
        return procedure(w, m, wp, lp);
    };
    windowClass.iconName = std::string(recvIconName);
    windowClass.redrawOnSize = true;
    windowClass.background = 0xFFFFFF;
    if (!platform_.registerClass(windowClass)) {
        return false;
    }
    platform::WindowOptions options;
    options.className = settings_.config.windowClassName;
    options.captionCp1251 = stationCaption.c_str();
    options.style = platform::WindowStyle::FixedTopmost;
    options.useDefaultPosition = true;
    options.width = mainWindowWidth;
    options.height = mainWindowHeight;
    options.visible = settings_.config.windowVisible;
    window_ = platform_.createWindow(options);
    if (window_ == 0) {
        return false;
    }
    tray_ = std::make_unique<StationTray>(desktop_, window_, settings_.config);
    return true;
}

void MainWindow::show() {
    if (settings_.config.windowVisible) {
        platform_.showWindow(window_, true);
        platform_.invalidate(window_);
    }
}

void MainWindow::redesignFilter() { designStationFilter(settings_, filter_); }

void MainWindow::announce() {
    if (settings_.config.clientMode && settings_.config.commandMode) {
        relay_->sendSettingsPacket();
    }
}

void MainWindow::apply(BandAction action) {
    switch (action) {
    case BandAction::none:
        break;
    case BandAction::rebuild:
        redesignFilter();
        break;
    case BandAction::rebuildThenAnnounce:
        redesignFilter();
        announce();
        break;
    case BandAction::announceThenRebuild:
        announce();
        redesignFilter();
        break;
    }
}

void MainWindow::applyDisplaySize(const DisplayLayout& layout) {
    platform::Rect rect;
    if (!platform_.windowRect(window_, rect)) {
        return;
    }
    applyDisplayLayout(settings_.live, layout);
    if (settings_.config.windowVisible) {
        rect.bottom = rect.top + layout.windowHeight;
        platform_.setWindowRect(window_, rect);
        platform_.showWindow(window_, true);
    }
    display_.drawScalePanel();
}

void MainWindow::quit() { platform_.postQuit(0); }

void MainWindow::reopenCapture() { requestDeviceSwitch(switchCapture); }

void MainWindow::reopenPlayback() { requestDeviceSwitch(switchPlayback); }

void MainWindow::requestDeviceSwitch(unsigned which) {
    const bool posted = pendingSwitches_ != 0;
    pendingSwitches_ |= which;
    if (!posted && !platform_.postMessage(window_, DEVICE_SWITCH_MESSAGE, 0, 0)) {
        pendingSwitches_ = 0; // the queue is full: this burst's switch is dropped
    }
}

void MainWindow::onDeviceSwitch() {
    const unsigned which = std::exchange(pendingSwitches_, 0);
    if ((which & switchCapture) != 0) {
        hooks_.reopenCapture();
    }
    if ((which & switchPlayback) != 0) {
        hooks_.reopenPlayback();
    }
}

LResult MainWindow::procedure(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    switch (message) {
    case platform::WM_DESTROY:
        if (!closing_) {
            platform_.postQuit(0);
        }
        return 0;
    case platform::WM_SIZE:
        return 0;
    case platform::WM_PAINT:
        onPaint();
        return 0;
    case platform::WM_KEYDOWN:
        return onKeyDown(lParam);
    case platform::WM_CHAR:
        return onChar(wParam);
    case platform::WM_COMMAND:
        return onCommand(wParam);
    case platform::WM_TIMER:
        onTimer(wParam);
        return 0;
    case platform::WM_MOUSEMOVE:
        onMouseMove(drag_, platform::loWord(static_cast<std::uintptr_t>(lParam)));
        return 0;
    case platform::WM_LBUTTONDOWN: {
        const auto position = static_cast<std::uintptr_t>(lParam);
        apply(onLeftButtonDown(settings_.live, drag_, platform::loWord(position), platform::hiWord(position)));
        return 0;
    }
    case platform::WM_LBUTTONUP:
        apply(onLeftButtonUp(settings_.live, drag_, platform::loWord(static_cast<std::uintptr_t>(lParam))));
        return 0;
    case platform::WM_RBUTTONDOWN:
        if (platform::loWord(static_cast<std::uintptr_t>(lParam)) < deviceMenuSplitColumn) {
            showInputDeviceMenu(desktop_, window_, devices_);
        } else {
            showOutputDeviceMenu(desktop_, window_, devices_);
        }
        return 0;
    case platform::WM_MBUTTONDOWN:
        return 0;
    case platform::WM_MOUSEWHEEL: {
        // Only the sign of the distance counts: forward narrows, back widens.
        const auto distance = static_cast<std::int16_t>(platform::hiWord(wParam));
        if (adjustBandWidth(settings_.live, distance)) {
            apply(BandAction::rebuildThenAnnounce);
        }
        return 0;
    }
    case platform::MM_WOM_DONE:
        hooks_.onPlaybackDone(wParam, lParam);
        return 0;
    case platform::MM_WIM_DATA:
        hooks_.onCaptureDone(wParam, lParam);
        return 0;
    case SERVER_ACCEPT_MESSAGE:
        relay_->onListenEvent(wParam, lParam);
        return 0;
    case SERVER_SOCKET_MESSAGE:
        relay_->onPeerEvent(wParam, lParam);
        return 0;
    case CLIENT_SOCKET_MESSAGE:
        relay_->onServerLinkEvent(wParam, lParam);
        return 0;
    case DRAW_PANEL_MESSAGE:
        onDrawPanel();
        return 0;
    case locallink::LINK_SOCKET_MESSAGE:
        onLinkSocket(wParam, lParam);
        return 0;
    case TRAY_MESSAGE:
        if (static_cast<unsigned>(lParam) == platform::WM_RBUTTONDOWN) {
            return showTrayMenu(desktop_, window_);
        }
        return 0;
    case INVALIDATE_MESSAGE:
        platform_.invalidate(window_);
        return 0;
    case DEVICE_SWITCH_MESSAGE:
        onDeviceSwitch();
        return 0;
    default:
        return platform_.defWindowProc(window, message, wParam, lParam);
    }
}

LResult MainWindow::onKeyDown(LParam lParam) {
    const unsigned scan = platform::keyScanCode(lParam);
    switch (scan) {
    case scanPageUp:
    case scanPageDown: {
        double gain = settings_.live.outputGain.load() + (scan == scanPageUp ? gainStep : -gainStep);
        gain = std::max(gain, minimumGain);
        settings_.live.outputGain.store(gain);
        display_.drawStatusLine(gainText(gain));
        break;
    }
    case scanF4:
        settings_.live.showReceiveBuffer.store(!settings_.live.showReceiveBuffer.load());
        break;
    case scanF5:
        if (settings_.live.showReceiveBuffer.load() &&
            settings_.live.receiveBufferPackets.load() > minimumReceivePackets) {
            settings_.live.receiveBufferPackets.fetch_sub(1);
        }
        break;
    case scanF6:
        if (settings_.live.showReceiveBuffer.load() &&
            settings_.live.receiveBufferPackets.load() < maximumReceivePackets) {
            settings_.live.receiveBufferPackets.fetch_add(1);
        }
        break;
    case scanUp:
    case scanDown:
        if (adjustBandWidth(settings_.live, scan == scanUp ? 1 : -1)) {
            apply(BandAction::rebuildThenAnnounce);
        }
        break;
    case scanRight:
    case scanLeft:
        apply(shiftBand(settings_.live, scan == scanRight ? 1 : -1));
        break;
    default:
        break;
    }
    return 0;
}

LResult MainWindow::onChar(WParam wParam) {
    const auto character = static_cast<std::uint32_t>(wParam);
    if (character == '5') {
        if (settings_.config.serverMode) {
            relay_->showConnectionList();
        }
    } else if (character == ' ') {
        changeDisplaySize(settings_.live, nextDisplaySize(settings_.live.displaySize.load()), *this);
    }
    // Every character rebuilds the filter; the edge keys announce first.
    apply(onBandCharacter(settings_.live, character));
    return 0;
}

LResult MainWindow::onCommand(WParam wParam) {
    const unsigned id = platform::loWord(wParam);
    if (id == exitId) {
        platform_.destroyWindow(window_);
        return 1;
    }
    if (id >= inputFirst && id <= inputLast) {
        // A client without the dialog role records nothing: the choice is
        // dropped whole.
        if (settings_.config.clientMode && !settings_.config.dialogMode) {
            return 0;
        }
        settings_.live.inputDevice.store(id == inputFirst ? -1 : static_cast<std::int32_t>(id - inputDevice0));
        hooks_.reopenCapture();
        return 1;
    }
    if (id >= outputFirst && id <= outputLast) {
        settings_.live.outputDevice.store(id == outputFirst ? -1 : static_cast<std::int32_t>(id - outputDevice0));
        hooks_.reopenPlayback();
        return 1;
    }
    return 0;
}

void MainWindow::onTimer(WParam id) {
    if (id == displayTimerId) {
        // An unconnected client without its own capture keeps its display
        // scrolling with an empty spectrum. Blocks from the network, the only
        // other user of these arrays in this role, are processed on this
        // same thread.
        if (settings_.config.clientMode && !settings_.config.dialogMode && !relay_->clientConnected()) {
            std::fill(std::begin(processor_.spectrumReal), std::end(processor_.spectrumReal), 0.0f);
            std::fill(std::begin(processor_.spectrumImag), std::end(processor_.spectrumImag), 0.0f);
            dsp::fftInPlace(processor_.spectrumReal, processor_.spectrumImag, spectrumOrder);
            display_.drawSpectrumPanel(processor_.spectrumReal, processor_.spectrumImag, BlockProcessor::spectrumBins);
            platform_.invalidate(window_);
            onDrawPanel();
        }
        if (tray_) {
            char pushStatus[StationTray::longTipCapacity];
            hooks_.copyPushTipText(pushStatus);
            pushStatus[sizeof pushStatus - 1] = '\0';
            tray_->updateTrayIcon(platform::TrayAction::Modify,
                                  trayStateFor(hooks_.audioStarted(), hooks_.blockPlayed()), pushStatus);
        }
    } else if (id == clockTimerId) {
        // Every tick, whatever the time limit: the sessions also flush the
        // bytes their sockets did not take and end overdue logins here.
        if (settings_.config.clientMode) {
            relay_->clientTimeLimitTick();
        } else if (settings_.config.serverMode) {
            relay_->serverTimeLimitTick();
        }
    }
}

void MainWindow::onDrawPanel() {
    const WindowHandle target = settings_.live.drawWindow.load();
    if (target == 0) {
        return;
    }
    if (auto context = platform_.windowContext(target)) {
        display_.presentDisplay(*context);
        return;
    }
    // The foreign window is gone: draw into the own window again. Only the
    // handle that failed is dropped, not one set meanwhile.
    std::uint32_t expected = target;
    settings_.live.drawWindow.compare_exchange_strong(expected, 0);
}

void MainWindow::onPaint() {
    if (settings_.live.drawWindow.load() != 0) {
        return;
    }
    platform::Rect client;
    if (!platform_.clientRect(window_, client)) {
        return;
    }
    if (auto context = platform_.windowContext(window_)) {
        display_.presentIntoOwnWindow(*context, client.height());
    }
}

void MainWindow::onLinkSocket(WParam socket, LParam event) {
    if ((platform::loWord(static_cast<std::uintptr_t>(event)) & platform::FD_READ) == 0) {
        return;
    }
    locallink::receiveWaitingDatagrams(static_cast<platform::Socket>(socket), linkDatagramsPerPass,
                                       [this](const std::uint8_t* bytes, std::size_t length) {
                                           handleControlDatagram(bytes, length, settings_, *this);
                                       });
}

// ---------------------------------------------------------------- sink

void StationBlockSink::spectrumReady(const float* real, const float* imag, int bins) {
    display_.drawSpectrumPanel(real, imag, bins);
}

void StationBlockSink::invalidateWindow() {
    // The repaint request itself must be made on the main thread.
    platform_.postMessage(window_.handle(), INVALIDATE_MESSAGE, 0, 0);
}

void StationBlockSink::presentDisplay() {
    // Without a drawing window the message would find nothing to do; not
    // sending it spares the processing thread a wait for the main thread.
    if (settings_.live.drawWindow.load() == 0) {
        return;
    }
    platform_.sendMessage(sent_, window_.handle(), DRAW_PANEL_MESSAGE, 0, 0);
}

void StationBlockSink::lampChanged(int keyDown) {
    display_.drawKeyingLamp(keyDown);
    // The same square, straight onto the screen: the foreign drawing window
    // when one is set and reachable, else the own window.
    const WindowHandle foreign = settings_.live.drawWindow.load();
    platform::WindowContext context;
    if (foreign != 0) {
        context = platform_.windowContext(foreign);
    }
    if (!context) {
        context = platform_.windowContext(window_.handle());
    }
    if (context) {
        const int right = keyingLampLeft + keyingLampSize;
        const int bottom = keyingLampTop + keyingLampSize;
        context->fillRect(keyingLampLeft, keyingLampTop, right, bottom, keyDown != 0 ? lampOn : lampOff);
    }
}

void StationBlockSink::sendDatagram(const locallink::SampleDatagram& datagram) {
    if (!settings_.config.udpSend) {
        return;
    }
    locallink::sendLinkDatagram(linkSocket_.load(), &datagram, sizeof datagram, locallink::decoderPort);
}

} // namespace station
