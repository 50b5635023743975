#pragma once
// The filter station as one object: it owns every record of a running
// station (settings, band filter, block processing, audio devices, display,
// tray, link socket) and runs the whole life of the program: start-up in a
// fixed order, the message loop, and shutdown, which stores the band in
// "f.###". Created by the program's main() with the Platform; nothing of it
// is global, so a test can run a fresh station in one line.
//
// The station's files ("f.###", "ErrorWav.txt") are in the current
// directory.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "dsp/band_filter.h"
#include "platform/kernel.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "station/audio/block_processing.h"
#include "station/audio/capture.h"
#include "station/audio/fatal_stop.h"
#include "station/audio/station_audio.h"
#include "station/shell/band_controls.h"
#include "station/shell/display.h"
#include "station/shell/main_window.h"
#include "station/shell/network_roles.h"
#include "station/shell/station_settings.h"
#include "station/shell/tray.h"

namespace platform {
class AudioSystem;
}

namespace station {

class GsmCodecPair;
class IcecastPush;

class Station final : private StationHooks, private DisplayInputs {
  public:
    // `commandLine`: the text after the program name (joinArguments).
    // `workingDirectory`: where "f.###" and "ErrorWav.txt" are.
    Station(platform::Platform& platform, std::string_view commandLine, std::filesystem::path workingDirectory = ".");
    ~Station() override;
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Start-up, message loop, shutdown. Returns the exit code: 0 on every
    // path (a second station of the same role, a device that does not
    // open, a normal end).
    int run();

    // The main window (0 before start-up and after a refused one). It lives
    // until the station is destroyed, so its client area can still be read
    // after run() has returned.
    platform::WindowHandle mainWindow() const { return window_ ? window_->handle() : 0; }

  private:
    // Start-up after the options; false: leave at once (nothing stored).
    bool startUp();
    // After a device failed to open: one line on standard error saying what
    // to check when the failure is that there is no device at all.
    void hintWhenNoDevice(bool capture) const;
    void shutDown();

    // StationHooks
    void onCaptureDone(platform::WParam device, platform::LParam header) override;
    void onPlaybackDone(platform::WParam device, platform::LParam header) override;
    void reopenCapture() override;
    void reopenPlayback() override;
    bool audioStarted() const override;
    bool blockPlayed() const override;
    void copyPushTipText(std::span<char> out) const override;

    // DisplayInputs
    void copyPushStatusText(std::span<char> out) const override;
    std::int32_t playbackQueued() const override;
    std::int32_t keyDown() const override;
    DragView dragState() const override { return viewOf(drag_); }

    // Whether this role records from its own capture device.
    bool capturesAudio() const;
    void postToWindow(unsigned message, platform::WParam wParam, platform::LParam lParam);

    platform::Platform& platform_;
    std::string commandLine_;
    std::filesystem::path workingDirectory_;
    StationSettings settings_;
    platform::InstanceLock roleLock_;
    std::unique_ptr<GsmCodecPair> codec_;
    std::unique_ptr<dsp::FirBandFilter> filter_;
    std::unique_ptr<BlockProcessor> processor_;
    BandDrag drag_;
    std::unique_ptr<NetworkRole> network_;
    std::unique_ptr<platform::AudioSystem> audio_;
    std::unique_ptr<AudioSystemDevices> devices_;
    std::unique_ptr<PlatformTrayDesktop> desktop_;
    std::unique_ptr<StationDisplay> display_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<StationBlockSink> sink_;
    std::unique_ptr<platform::Semaphore> captureReady_;
    std::unique_ptr<platform::SocketNotifiers> notifiers_;
    platform::Socket linkSocket_ = platform::invalidSocket;
    FatalStopContext fatal_;
    CaptureHooks noRelay_;
    // The Icecast push, when "ICECAST=" asks for one; playback feeds it,
    // so it outlives the station's audio.
    std::unique_ptr<IcecastPush> icecast_;
    std::unique_ptr<StationAudio> stationAudio_;
    bool timersStarted_ = false;
};

} // namespace station
