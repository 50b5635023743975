#pragma once
// The station's audio records in one object: playback, capture with its
// processing thread, and the routing of the devices' completion messages.
// Created once by start-up, after the settings, the band filter and block
// processing's state, and destroyed before them.

#include <cstdint>

#include "platform/audio_device.h"
#include "platform/messages.h"
#include "station/audio/capture.h"
#include "station/audio/playback.h"

namespace station {

class StationAudio {
  public:
    // `notify` must bring each completion to the main thread (the station
    // binds it to Platform::postMessage of its main window) and there to
    // handleMessage.
    StationAudio(StationSettings& settings, platform::AudioSystem& audio, dsp::FirBandFilter& filter,
                 BlockProcessor& processor, BlockSink& sink, platform::Semaphore& captureReady, FatalStopContext& fatal,
                 const platform::WaveNotify& notify);

    // MM_WIM_DATA to onCaptureDone, MM_WOM_DONE to onPlaybackDone; true for
    // those two, false (nothing done) for any other message. Main thread.
    bool handleMessage(unsigned message, platform::WParam wParam, platform::LParam lParam);

    // What capture relays to the network (see Capture::attachRelay).
    void attachRelay(CaptureHooks& hooks) { capture.attachRelay(hooks); }

    // Device switches of the menus and the local link: store the index,
    // close, wait 100 ms, open again. The open's result is returned for the
    // caller to ignore, as the menus do. Main thread.
    int switchInputDevice(int deviceIndex);
    int switchOutputDevice(int deviceIndex);

    // Declared in this order so that capture, which plays through playback,
    // is destroyed first.
    Playback playback;
    Capture capture;

  private:
    StationSettings& settings_;
};

} // namespace station
