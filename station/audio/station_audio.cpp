#include "station/audio/station_audio.h"

#include "platform/kernel.h"
#include "station/shell/station_settings.h"

namespace station {
namespace {

// Time the device gets between closing and reopening on a switch.
constexpr unsigned deviceSwitchPauseMs = 100;

} // namespace

StationAudio::StationAudio(StationSettings& settings, platform::AudioSystem& audio, dsp::FirBandFilter& filter,
                           BlockProcessor& processor, BlockSink& sink, platform::Semaphore& captureReady,
                           FatalStopContext& fatal, const platform::WaveNotify& notify)
    : playback(settings.live, audio, fatal, notify),
      capture(settings, audio, fatal, notify, captureReady, playback, filter, processor, sink), settings_(settings) {}

bool StationAudio::handleMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) {
    auto* header = reinterpret_cast<platform::WaveHeader*>(lParam);
    const auto handle = static_cast<platform::WaveHandle>(wParam);
    if (message == platform::MM_WIM_DATA) {
        capture.onCaptureDone(handle, header);
        return true;
    }
    if (message == platform::MM_WOM_DONE) {
        playback.onPlaybackDone(handle, header);
        return true;
    }
    return false;
}

int StationAudio::switchInputDevice(int deviceIndex) {
    settings_.live.inputDevice.store(deviceIndex, std::memory_order_relaxed);
    capture.closeCapture();
    platform::sleepMs(deviceSwitchPauseMs);
    return capture.openCapture(deviceIndex);
}

int StationAudio::switchOutputDevice(int deviceIndex) {
    settings_.live.outputDevice.store(deviceIndex, std::memory_order_relaxed);
    playback.closePlayback();
    platform::sleepMs(deviceSwitchPauseMs);
    return playback.openPlayback(deviceIndex);
}

} // namespace station
