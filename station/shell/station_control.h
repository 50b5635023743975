#pragma once
// What the station's control logic (band editing, display size, link
// commands) asks of the running station: the effects that need the filter
// object, the window or the audio devices. The station implements it once;
// tests implement it with a recorder. All calls come on the main thread.

#include <cstdint>

namespace station {

// Layout of one display size.
struct DisplayLayout {
    std::int32_t spectrumBaseY;     // pixels: row of the newest waterfall line
    std::int32_t waterfallHeight;   // pixels: waterfall rows below spectrumBaseY
    std::int32_t windowHeight;      // pixels: outer height of the main window
    std::int32_t clientHeightShown; // pixels: rows of the display presented
};

class StationControl {
  public:
    virtual ~StationControl() = default;

    // Designs the band filter with the settings' filterLength, decimation 1
    // and [bandLow, bandHigh].
    virtual void redesignFilter() = 0;

    // The display size has become settings.live.displaySize. Reads the main
    // window's rectangle; if that fails, nothing more. Otherwise stores
    // layout.spectrumBaseY and layout.waterfallHeight (applyDisplayLayout),
    // gives a visible window the new height at the same position and width
    // and shows it, and redraws the scale panel in every case.
    virtual void applyDisplaySize(const DisplayLayout& layout) = 0;

    // Posts the quit message (exit code 0); the loop then shuts down.
    virtual void quit() = 0;

    // Close capture, wait 100 ms, open it on settings.live.inputDevice; the result
    // of the open is not examined.
    virtual void reopenCapture() = 0;

    // Close playback, wait 100 ms, open it on settings.live.outputDevice; the
    // result of the open is not examined.
    virtual void reopenPlayback() = 0;
};

} // namespace station
