#pragma once
// The station's audio side as its start-up composes it, for tests and
// benchmarks: settings, the sound system, the band filter, block processing,
// and capture with its processing thread and playback (StationAudio). The
// devices' completions are queued here, stamped with the time they were
// posted, and handled by pump() on the calling thread, which plays the
// station's main thread.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "dsp/band_filter.h"
#include "platform/audio_device.h"
#include "platform/kernel.h"
#include "platform/messages.h"
#include "station/audio/block_processing.h"
#include "station/audio/fatal_stop.h"
#include "station/audio/station_audio.h"
#include "station/shell/station_settings.h"

namespace audiotest {

class StationAudioRig {
  public:
    using Clock = std::chrono::steady_clock;

    struct Posted {
        unsigned message;
        platform::WParam wParam;
        platform::LParam lParam;
        Clock::time_point at; // when the device posted it
    };

    // `taps`: the band filter's length (32 … 1024), designed for the default
    // band. The devices are the sound system's defaults: cards, or files
    // once configured (audio.configure).
    explicit StationAudioRig(int taps = 256);
    // Closes capture and playback while the queue still takes their last
    // completions.
    ~StationAudioRig();
    StationAudioRig(const StationAudioRig&) = delete;
    StationAudioRig& operator=(const StationAudioRig&) = delete;

    // The oldest queued completion, taken off the queue; false when none.
    bool next(Posted& out);
    // Handles every queued completion; returns how many.
    int pump();
    // Handles completions as they come, for `duration`.
    void pumpFor(std::chrono::milliseconds duration);
    std::size_t queued();

    station::Playback& playback() { return stationAudio->playback; }
    station::Capture& capture() { return stationAudio->capture; }

    int captureMessages = 0; // MM_WIM_DATA handled so far
    station::StationSettings settings;
    platform::AudioSystem audio;
    std::unique_ptr<dsp::FirBandFilter> filter;
    std::unique_ptr<station::BlockProcessor> processor;
    station::BlockSink sink;
    platform::Semaphore captureReady{1, 1};
    station::FatalStopContext fatal;
    std::unique_ptr<station::StationAudio> stationAudio;

  private:
    void handle(const Posted& p);

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Posted> queue_;
};

} // namespace audiotest
