#pragma once
// The station's display: a 512-pixel-wide panel with the filter-length
// strip and header, a spectrum trace of 0 … 4000 Hz, a waterfall of past
// spectra scrolling down, the band edges as markers and a few help lines.
//
// Everything is drawn into two off-screen pictures:
// - traceBitmap: header, status texts, trace, waterfall, scale and help;
// - composeBitmap: a copy of traceBitmap with the band markers on top,
//   made by presentDisplay and copied from there to the screen.
//
// Threads: spectra and the keying lamp are drawn by whichever thread
// processes audio blocks, while the main thread paints, presents and writes
// status lines. One mutex guards both pictures and their selected tools;
// every public drawing function takes it for its whole duration. Lock order:
// a caller may hold a window surface's lock (a platform::WindowContext)
// while calling presentDisplay; the display never takes a surface lock
// while holding its own.
//
// Geometry: B = spectrumBaseY (row of the newest waterfall line), H =
// waterfallHeight; column x stands for x × 7.8125 Hz (x / 1024 of the
// 8000 Hz sample rate).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>

#include "platform/gdi.h"
#include "station/shell/display_geometry.h"
#include "station/shell/network_role.h"

namespace station {

struct StationSettings;
struct BandDrag;

// The drag of a band-marker handle as the display sees it.
struct DragView {
    bool dragging = false;
    bool draggingLow = false;
    bool draggingHigh = false;
    std::int32_t dragX = 0; // last mouse column while dragging
};

DragView viewOf(const BandDrag& drag);

// What the display reads from parts of the station it does not own. Every
// function may be called on the processing thread as well as the main
// thread, with the display's lock held: implementations must be quick,
// thread-safe, must not allocate and must not call back into the display.
// The defaults describe a station with nothing queued at playback, key up
// and no drag.
class DisplayInputs {
  public:
    virtual ~DisplayInputs() = default;
    // The Icecast push's status line (ASCII, no password), copied into `out`
    // and NUL-terminated there; "" without a push.
    virtual void copyPushStatusText(std::span<char> out) const;
    // Blocks now waiting at the playback device, ≥ 0.
    virtual std::int32_t playbackQueued() const { return 0; }
    // 1 while the keying detector sees the key down, else 0.
    virtual std::int32_t keyDown() const { return 0; }
    virtual DragView dragState() const { return {}; }
};

// Colour of a spectrum magnitude 0 … 1023 (larger ones use entry 1023).
using SpectrumPalette = std::array<platform::Colour, 1024>;

// Entries 0 … 4: dark blue ramp; 5 … 34: olive to pale yellow; 35 … 69: a
// red ramp from 173 to 255; 70 … 1023: pure red.
SpectrumPalette makeSpectrumPalette();

class StationDisplay {
  public:
    static constexpr int width = displayWidth;
    static constexpr int height = displayHeight;

    // Creates both pictures filled black and selects their tools; measures
    // the line height. Needs the platform::Platform to exist (fonts); without
    // it texts are not drawn and the line height is 0. `settings` and
    // `inputs` must outlive the display.
    StationDisplay(const StationSettings& settings, const DisplayInputs& inputs);
    StationDisplay(const StationDisplay&) = delete;
    StationDisplay& operator=(const StationDisplay&) = delete;

    // The station's relay role, read for the client's status; until attached
    // (and after detachRelay) the display shows a station without one. Main
    // thread; the role must outlive its attachment.
    void attachRelay(const NetworkRole& role) { relay_.store(&role, std::memory_order_release); }
    void detachRelay() { relay_.store(&noRelay_, std::memory_order_release); }

    // Clears traceBitmap and draws the frequency scale and the five help
    // lines. At start-up and after every display-size change.
    void drawScalePanel();

    // Redraws header and status texts, scrolls the waterfall one row down
    // and draws the trace and the newest waterfall line from the spectrum
    // re[g] + i·im[g], g = 0 … count − 1 (at most 512 bins are used; a
    // negative count or a null array draws no bins). Allocates nothing.
    void drawSpectrumPanel(const float* re, const float* im, int count);

    // Copies traceBitmap into composeBitmap, draws the band markers there
    // (not with the filter off, 32 taps) and copies the top 190, 210, 300 or
    // 125 rows (displaySize 1 … 4, any other size 190) to `target` at (0, 0).
    void presentDisplay(platform::DrawContext& target);

    // The station's own window: the picture as presentDisplay presents it,
    // and black (the picture's background) in the `clientHeight` − presented
    // rows below it, so no pixel of the client area is left unpainted. The
    // window's height counts a caption and frame that the desktop draws
    // outside the client area, so the client is taller than the picture.
    void presentIntoOwnWindow(platform::DrawContext& target, int clientHeight);

    // A one-line status text at column 10, row B + 1 of traceBitmap (the gain
    // text, connection notices). `textCp1251`: Windows-1251.
    void drawStatusLine(std::string_view textCp1251);

    // The keying lamp: columns 495 … 504, rows 2 … 11 of traceBitmap, green
    // while `keyDown` is nonzero, black otherwise.
    void drawKeyingLamp(int keyDown);

    // Font height plus external leading, pixels; measured once.
    int lineHeight() const { return lineHeight_; }
    const SpectrumPalette& spectrumPalette() const { return spectrumPalette_; }

    // A copy of the trace picture, taken under the lock (tests, snapshots).
    platform::Picture traceSnapshot() const;

    // Rows of composeBitmap presented for a display size.
    static int presentedRows(std::int32_t displaySize);

  private:
    // The header area above row B − 30, with the lock held: drawHeaderLocked
    // clears it and draws each part below in turn.
    void drawHeaderLocked();
    void drawLengthStripFrameLocked();
    void drawLengthMarkerLocked(std::int32_t taps);
    void fillKeyingLampLocked(bool keyDown);
    void drawFilterStateLocked(std::int32_t taps);
    void drawStatusTextsLocked(int b);
    void drawConnectionTimeLocked();
    void drawReceiveBufferLocked();
    // `length` as snprintf returned it for `line` of `capacity` bytes.
    void drawPrinted(int x, int y, const char* line, int length, std::size_t capacity);
    void drawText(int x, int y, std::string_view textCp1251);

    const StationSettings& settings_;
    const DisplayInputs& inputs_;
    const NetworkRole noRelay_;
    std::atomic<const NetworkRole*> relay_{&noRelay_};
    const SpectrumPalette spectrumPalette_;

    mutable std::mutex mutex_; // guards everything below
    platform::Picture traceBitmap_;
    platform::Picture composeBitmap_;
    platform::DrawContext trace_;
    platform::DrawContext compose_;
    int lineHeight_ = 0;
};

} // namespace station
