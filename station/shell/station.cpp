#include "station/shell/station.h"

#include <cstdio>
#include <string>
#include <utility>

#include "link/datagrams.h"
#include "link/link_socket.h"
#include "platform/audio_device.h"
#include "platform/cp1251.h"
#include "station/audio/station_audio.h"
#include "station/net/gsm_codec.h"
#include "station/net/icecast_push.h"
#include "station/net/icecast_shout.h"
#include "station/resources/station_resources.h"
#include "station/shell/options.h"
#include "station/shell/settings_file.h"

namespace station {

using namespace platform::literals;
using platform::LParam;
using platform::WParam;

namespace {

constexpr auto playbackFailedText = "Не удалось открыть устройство вывода звука!"_cp1251;
constexpr auto captureFailedText = "Не удалось открыть устройство ввода звука!"_cp1251;

// Prefix of the per-role name that keeps a second station of a role out.
constexpr const char* roleLockPrefix = "station-role-";

// The push "ICECAST=" asks for, or nullptr (no URL, or one that does not
// parse: the program's option check has refused that one already). Its
// status changes go to standard error, without the password.
std::unique_ptr<IcecastPush> makeIcecastPush(const StationConfig& config) {
    auto target = parseIcecastUrl(config.icecastUrl);
    if (!target) {
        return nullptr;
    }
    IcecastStreamInfo info;
    info.name = config.icecastName;
    info.bitrateBps = config.icecastBitrateKbps * 1000;
    const auto log = [](std::string_view line) {
        std::fprintf(stderr, "selvane: %.*s\n", static_cast<int>(line.size()), line.data());
    };
    return std::make_unique<IcecastPush>(std::move(*target), std::move(info), makeShoutConnection(),
                                         makeOpusOggEncoder(), IcecastPush::Timing{}, log);
}

} // namespace

Station::Station(platform::Platform& platform, std::string_view commandLine, std::filesystem::path workingDirectory)
    : platform_(platform), commandLine_(commandLine), workingDirectory_(std::move(workingDirectory)) {}

Station::~Station() {
    // Devices first (their threads use the sink, the display and the
    // filter), then the sockets, then the window.
    if (stationAudio_) {
        stationAudio_->capture.stopQuietly();
        stationAudio_->capture.attachRelay(noRelay_);
    }
    // The relay sessions hold the playback and ask the notifiers to close
    // their sockets; nothing reaches them once they are detached.
    if (window_) {
        window_->detachRelay();
    }
    if (display_) {
        display_->detachRelay();
    }
    network_.reset();
    stationAudio_.reset();
    icecast_.reset();
    if (notifiers_ && linkSocket_ != platform::invalidSocket) {
        locallink::closeLinkSocket(*notifiers_, linkSocket_);
        linkSocket_ = platform::invalidSocket;
    }
    notifiers_.reset();
    sink_.reset();
    window_.reset();
}

bool Station::capturesAudio() const { return !settings_.config.clientMode || settings_.config.dialogMode; }

void Station::postToWindow(unsigned message, WParam wParam, LParam lParam) {
    platform_.postMessage(window_->handle(), message, wParam, lParam);
}

int Station::run() {
    processOptions(commandLine_, settings_);
    if (!startUp()) {
        return fatal_.stopped ? fatalExitCode : 0;
    }
    const int code = platform_.runLoop();
    shutDown();
    return fatal_.stopped ? fatalExitCode : code;
}

void Station::hintWhenNoDevice(bool capture) const {
    const int count = capture ? audio_->captureDeviceCount() : audio_->playbackDeviceCount();
    if (count > 0 || audio_->fileDeviceConfigured(capture)) {
        return;
    }
    if (platform_.headless()) {
        std::fputs("selvane: no sound device here; on a machine without one, name WAV files in SELVANE_INPUT and "
                   "SELVANE_OUTPUT\n",
                   stderr);
    } else {
        std::fputs("selvane: no sound device found; check that the sound server (PipeWire or PulseAudio) runs\n",
                   stderr);
    }
}

bool Station::startUp() {
    // One station per role: the window class is the key. The name lock makes
    // the test and the claim one step, so two stations started at the same
    // moment cannot both pass.
    if (platform_.classWindowExists(settings_.config.windowClassName) ||
        !roleLock_.acquire(std::string(roleLockPrefix) + settings_.config.windowClassName)) {
        std::fputs("selvane: a station in this role already runs on this desktop; this one leaves\n", stderr);
        return false;
    }

    codec_ = std::make_unique<GsmCodecPair>();
    if (!codec_->valid()) {
        return false;
    }

    loadBandEdges(settings_.live, workingDirectory_);
    filter_ = std::make_unique<dsp::FirBandFilter>();
    processor_ = std::make_unique<BlockProcessor>();
    designStationFilter(settings_, *filter_);

    // The palette is made with the display; the audio format is fixed.
    display_ = std::make_unique<StationDisplay>(settings_, static_cast<const DisplayInputs&>(*this));

    platform::setPriorityClass(settings_.config.realtimePriority);

    registerStationResources(platform_.resources());
    audio_ = std::make_unique<platform::AudioSystem>(platform_.environment().audio);
    devices_ = std::make_unique<AudioSystemDevices>(*audio_);
    desktop_ = std::make_unique<PlatformTrayDesktop>(platform_);
    window_ = std::make_unique<MainWindow>(platform_, settings_, *filter_, *processor_, *display_, drag_, *desktop_,
                                           *devices_, static_cast<StationHooks&>(*this));
    if (!window_->create()) {
        return false;
    }
    sink_ = std::make_unique<StationBlockSink>(platform_, settings_, *display_, *window_);

    display_->drawScalePanel();
    window_->show();

    // Starts signalled and is taken once, so the processing thread waits
    // for the first recorded buffer.
    captureReady_ = std::make_unique<platform::Semaphore>(1, 1);
    captureReady_->wait(-1);

    window_->tray().updateTrayIcon(platform::TrayAction::Add, trayIdle);
    if (!settings_.config.windowVisible && !platform_.trayAvailable()) {
        // Without a window and a tray nothing on the desktop can end this
        // station; say once what can.
        std::fprintf(stderr,
                     "selvane: no window and no system tray here; stop this station with Ctrl-C or SIGTERM "
                     "(kill %ld), or with morvel's Quit\n",
                     platform::currentProcessId());
    }

    notifiers_ = std::make_unique<platform::SocketNotifiers>(platform_);
    if (settings_.config.udpSend) {
        linkSocket_ = locallink::openLinkSocket(platform_, *notifiers_, window_->handle(), locallink::stationPort);
        sink_->setLinkSocket(linkSocket_);
    }

    fatal_.audio = audio_.get();
    fatal_.workingDirectory = workingDirectory_.string();
    fatal_.postQuit = [this](int code) { platform_.postQuit(code); };
    fatal_.closeConnections = [this] {
        if (network_) {
            network_->closeConnections();
        }
    };

    const auto notify = [this](unsigned message, WParam wParam, LParam lParam) {
        postToWindow(message, wParam, lParam);
    };
    stationAudio_ = std::make_unique<StationAudio>(settings_, *audio_, *filter_, *processor_, *sink_, *captureReady_,
                                                   fatal_, notify);
    icecast_ = makeIcecastPush(settings_.config);
    stationAudio_->playback.setPlayedBlockTap(icecast_.get());
    // The relay role exists before capture, which sends through it; it
    // starts listening or connecting only after the timers.
    network_ = makeNetworkRole(RelayWiring{platform_, settings_, *notifiers_, *codec_, *filter_, *processor_, *sink_,
                                           stationAudio_->playback, *display_, *window_, fatal_});
    window_->attachRelay(*network_);
    display_->attachRelay(*network_);
    stationAudio_->attachRelay(network_->captureHooks());

    if (stationAudio_->playback.openPlayback(settings_.live.outputDevice.load()) == openFailed) {
        window_->tray().updateTrayIcon(platform::TrayAction::Delete, trayIdle);
        fatalStop(fatal_, playbackFailedText.c_str());
        hintWhenNoDevice(false);
        return false;
    }
    if (capturesAudio() && stationAudio_->capture.openCapture(settings_.live.inputDevice.load()) == openFailed) {
        stationAudio_->playback.closePlayback();
        window_->tray().updateTrayIcon(platform::TrayAction::Delete, trayIdle);
        fatalStop(fatal_, captureFailedText.c_str());
        hintWhenNoDevice(true);
        return false;
    }

    platform_.setTimer(window_->handle(), displayTimerId, displayTimerPeriodMs);
    platform_.setTimer(window_->handle(), clockTimerId, clockTimerPeriodMs);
    timersStarted_ = true;

    network_->start();
    if (icecast_) {
        icecast_->start();
    }
    return true;
}

void Station::shutDown() {
    // The processing thread sends on the link and relay sockets, so it is
    // stopped before they are closed.
    if (capturesAudio()) {
        stationAudio_->capture.closeCapture();
    }
    if (settings_.config.udpSend) {
        sink_->setLinkSocket(platform::invalidSocket);
        locallink::closeLinkSocket(*notifiers_, linkSocket_);
        linkSocket_ = platform::invalidSocket;
    }
    network_->stop();
    stationAudio_->playback.closePlayback();
    if (icecast_) {
        // Ends the stream: the mount goes away with the station.
        icecast_->stop();
    }

    window_->tray().updateTrayIcon(platform::TrayAction::Delete, trayIdle);
    if (timersStarted_) {
        platform_.killTimer(window_->handle(), displayTimerId);
        platform_.killTimer(window_->handle(), clockTimerId);
    }

    storeBandEdges(settings_.live, workingDirectory_);
}

// ---------------------------------------------------------------- hooks

void Station::onCaptureDone(WParam device, LParam header) {
    stationAudio_->handleMessage(platform::MM_WIM_DATA, device, header);
}

void Station::onPlaybackDone(WParam device, LParam header) {
    stationAudio_->handleMessage(platform::MM_WOM_DONE, device, header);
}

void Station::reopenCapture() {
    if (!capturesAudio()) {
        return;
    }
    stationAudio_->switchInputDevice(settings_.live.inputDevice.load());
}

void Station::reopenPlayback() { stationAudio_->switchOutputDevice(settings_.live.outputDevice.load()); }

bool Station::audioStarted() const { return stationAudio_ && stationAudio_->capture.audioStarted() != 0; }

bool Station::blockPlayed() const { return stationAudio_ && stationAudio_->playback.blockPlayed() != 0; }

std::int32_t Station::playbackQueued() const { return stationAudio_ ? stationAudio_->playback.playbackQueued() : 0; }

void Station::copyPushStatusText(std::span<char> out) const {
    if (icecast_) {
        icecast_->copyStatusText(out);
    } else {
        DisplayInputs::copyPushStatusText(out);
    }
}

void Station::copyPushTipText(std::span<char> out) const {
    if (icecast_) {
        icecast_->copyShortStatusText(out);
    } else {
        StationHooks::copyPushTipText(out);
    }
}

std::int32_t Station::keyDown() const { return processor_ ? processor_->keyDown.load() : 0; }

} // namespace station
