#pragma once
// The station's main window and its window procedure: the control centre
// that receives every key, mouse action, menu command, timer tick, tray
// event and device and socket notification, edits the band and the filter
// length, rebuilds the band filter and hands device and socket events to the
// parts of the station that own them (StationHooks, the NetworkRole).
//
// Threads: the procedure runs on the main thread only; block processing
// sends DRAW_PANEL_MESSAGE from the processing thread and waits for it. That
// message only presents the display into a foreign window through
// Platform::windowContext (any thread) and never touches a widget.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/messages.h"
#include "platform/platform.h"
#include "station/audio/block_processing.h"
#include "station/net/relay_hooks.h"
#include "station/shell/band_controls.h"
#include "station/shell/network_role.h"
#include "station/shell/station_control.h"

namespace dsp {
class FirBandFilter;
}

namespace station {

struct StationSettings;

class StationDisplay;
class StationTray;
class TrayDesktop;
class AudioDeviceList;

// Message numbers of the station's own. The relay's socket messages
// (1025 … 1027) belong to the relay sessions, which ask for them.
using relay::CLIENT_SOCKET_MESSAGE;
using relay::SERVER_ACCEPT_MESSAGE;
using relay::SERVER_SOCKET_MESSAGE;
inline constexpr unsigned DRAW_PANEL_MESSAGE = 1034;
inline constexpr unsigned TRAY_MESSAGE = 1055;
// Asks the main thread to repaint the window: block processing runs on the
// processing thread, where the toolkit's repaint request may not be made.
inline constexpr unsigned INVALIDATE_MESSAGE = platform::WM_USER + 0x300;
// Carries out the device switches link commands asked for. A switch closes
// the device, pauses and reopens it; the commands of a burst only mark what
// to switch, and one message switches each device once, to the latest
// choice, so a flood of them cannot hold the loop for a pause each.
inline constexpr unsigned DEVICE_SWITCH_MESSAGE = platform::WM_USER + 0x301;
// Link datagrams read in one pass of the loop, at most.
inline constexpr int linkDatagramsPerPass = 256;

// Window timers: 1 every 400 ms (idle spectrum of an unconnected client,
// tray state), 2 every 1000 ms (connection time limits).
inline constexpr unsigned displayTimerId = 1;
inline constexpr unsigned displayTimerPeriodMs = 400;
inline constexpr unsigned clockTimerId = 2;
inline constexpr unsigned clockTimerPeriodMs = 1000;

// Size and caption of the main window.
inline constexpr int mainWindowWidth = 512;  // pixels
inline constexpr int mainWindowHeight = 215; // pixels

// Key-down scan codes with the extended flag (bit 8): the separate cursor
// and page keys. Their keypad twins (no flag) do nothing.
inline constexpr unsigned scanPageUp = 0x149;
inline constexpr unsigned scanPageDown = 0x151;
inline constexpr unsigned scanF4 = 0x3E;
inline constexpr unsigned scanF5 = 0x3F;
inline constexpr unsigned scanF6 = 0x40;
inline constexpr unsigned scanUp = 0x148;
inline constexpr unsigned scanDown = 0x150;
inline constexpr unsigned scanRight = 0x14D;
inline constexpr unsigned scanLeft = 0x14B;

// What the window hands on to the audio devices of the station. All calls
// come on the main thread.
class StationHooks {
  public:
    virtual ~StationHooks() = default;

    // MM_WIM_DATA / MM_WOM_DONE: (device handle, header).
    virtual void onCaptureDone(platform::WParam device, platform::LParam header) = 0;
    virtual void onPlaybackDone(platform::WParam device, platform::LParam header) = 0;
    // Close the device, wait 100 ms, open it on settings.live.inputDevice /
    // settings.live.outputDevice; the result of the open is not examined.
    virtual void reopenCapture() = 0;
    virtual void reopenPlayback() = 0;
    // Tray state inputs: a captured block was handed over since capture
    // opened; a played block came back since playback opened.
    virtual bool audioStarted() const = 0;
    virtual bool blockPlayed() const = 0;
    // The Icecast push's short status for the tray tip, NUL-terminated in
    // `out`; "" without a push.
    virtual void copyPushTipText(std::span<char> out) const {
        if (!out.empty()) {
            out[0] = '\0';
        }
    }
};

// "Уселитель %f" for a gain, Windows-1251, six decimals with a '.' whatever
// the process locale.
std::string gainText(double gain);

class MainWindow final : public StationControl {
  public:
    // Every reference must outlive the window object.
    MainWindow(platform::Platform& platform, StationSettings& settings, dsp::FirBandFilter& filter,
               BlockProcessor& processor, StationDisplay& display, BandDrag& drag, TrayDesktop& desktop,
               const AudioDeviceList& devices, StationHooks& hooks);
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    ~MainWindow() override;

    // Registers the class settings.config.windowClassName (icon "ICON_recv") and
    // creates the always-on-top 512 × 215 window captioned "Фильтр НЧ для CW"
    // at the default position (or the starter's hint), hidden unless
    // settings.config.windowVisible (it is shown by show()). False on failure.
    bool create();
    void show();
    platform::WindowHandle handle() const { return window_; }

    // The tray icon (owned here because it belongs to the window). Valid
    // after create().
    StationTray& tray() { return *tray_; }

    // The window procedure. DRAW_PANEL_MESSAGE may come from any thread.
    platform::LResult procedure(platform::WindowHandle window, unsigned message, platform::WParam wParam,
                                platform::LParam lParam);

    // StationControl: what band rules and link commands ask for.
    void redesignFilter() override;
    void applyDisplaySize(const DisplayLayout& layout) override;
    void quit() override;
    void reopenCapture() override;
    void reopenPlayback() override;

    // The station's relay role, once it exists; until then (and after
    // detachRelay) the window acts as a station without one. Main thread,
    // outside the procedure.
    void attachRelay(NetworkRole& role) { relay_ = &role; }
    void detachRelay() { relay_ = &noRelay_; }

    // Step 1 of "announce and rebuild": a client in the command role tells
    // its server about the new band.
    void announce();
    void apply(BandAction action);

  private:
    platform::LResult onKeyDown(platform::LParam lParam);
    platform::LResult onChar(platform::WParam wParam);
    platform::LResult onCommand(platform::WParam wParam);
    void onTimer(platform::WParam id);
    void onDrawPanel();
    void onPaint();
    void onLinkSocket(platform::WParam socket, platform::LParam event);
    void requestDeviceSwitch(unsigned which);
    void onDeviceSwitch();

    platform::Platform& platform_;
    StationSettings& settings_;
    dsp::FirBandFilter& filter_;
    BlockProcessor& processor_;
    StationDisplay& display_;
    BandDrag& drag_;
    TrayDesktop& desktop_;
    const AudioDeviceList& devices_;
    StationHooks& hooks_;
    NetworkRole noRelay_;
    NetworkRole* relay_ = &noRelay_;
    platform::WindowHandle window_ = 0;
    bool closing_ = false;
    // Devices marked for a switch (switchCapture | switchPlayback); main
    // thread only.
    static constexpr unsigned switchCapture = 1, switchPlayback = 2;
    unsigned pendingSwitches_ = 0;
    std::unique_ptr<StationTray> tray_;
};

// The sink block processing reports to: spectra and the lamp go into the
// display, the window is repainted through the main thread, the display is
// presented into a foreign drawing window, datagrams go to the decoder.
// Called on the thread that processes blocks; allocates nothing.
class StationBlockSink final : public BlockSink {
  public:
    StationBlockSink(platform::Platform& platform, const StationSettings& settings, StationDisplay& display,
                     MainWindow& window)
        : platform_(platform), settings_(settings), display_(display), window_(window) {}
    ~StationBlockSink() override { platform_.withdraw(sent_); }
    StationBlockSink(const StationBlockSink&) = delete;
    StationBlockSink& operator=(const StationBlockSink&) = delete;

    // The link socket; invalidSocket (the default) sends nothing.
    void setLinkSocket(int socket) { linkSocket_.store(socket); }

    void spectrumReady(const float* real, const float* imag, int bins) override;
    void invalidateWindow() override;
    void presentDisplay() override;
    void lampChanged(int keyDown) override;
    void sendDatagram(const locallink::SampleDatagram& datagram) override;
    void stopWaiting() override { sent_.cancel(); }
    void resumeWaiting() override { sent_.rearm(); }

  private:
    platform::Platform& platform_;
    // DRAW_PANEL_MESSAGE is sent: it runs on the main thread while the
    // processing thread waits.
    platform::SentMessages sent_;
    const StationSettings& settings_;
    StationDisplay& display_;
    MainWindow& window_;
    std::atomic<int> linkSocket_{-1};
};

} // namespace station
