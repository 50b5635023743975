#include "station_audio_rig.h"

namespace audiotest {

StationAudioRig::StationAudioRig(int taps)
    : filter(std::make_unique<dsp::FirBandFilter>()), processor(std::make_unique<station::BlockProcessor>()) {
    captureReady.wait(0); // start-up takes it once: it starts unsignalled
    settings.live.filterLength = taps;
    station::designStationFilter(settings, *filter);
    stationAudio = std::make_unique<station::StationAudio>(
        settings, audio, *filter, *processor, sink, captureReady, fatal,
        [this](unsigned message, platform::WParam wParam, platform::LParam lParam) {
            const std::lock_guard lock(mutex_);
            queue_.push_back({message, wParam, lParam, Clock::now()});
            arrived_.notify_one();
        });
}

StationAudioRig::~StationAudioRig() { stationAudio.reset(); }

bool StationAudioRig::next(Posted& out) {
    const std::lock_guard lock(mutex_);
    if (queue_.empty()) {
        return false;
    }
    out = queue_.front();
    queue_.pop_front();
    return true;
}

void StationAudioRig::handle(const Posted& p) {
    if (p.message == platform::MM_WIM_DATA) {
        ++captureMessages;
    }
    stationAudio->handleMessage(p.message, p.wParam, p.lParam);
}

int StationAudioRig::pump() {
    int n = 0;
    for (Posted p{}; next(p); ++n) {
        handle(p);
    }
    return n;
}

void StationAudioRig::pumpFor(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    do {
        pump();
        // Woken by the next completion, as a message loop is.
        std::unique_lock lock(mutex_);
        arrived_.wait_until(lock, end, [&] { return !queue_.empty(); });
    } while (Clock::now() < end);
    pump();
}

std::size_t StationAudioRig::queued() {
    const std::lock_guard lock(mutex_);
    return queue_.size();
}

} // namespace audiotest
