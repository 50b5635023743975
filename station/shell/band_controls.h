#pragma once
// The operator's band and filter-length controls of the main window, as
// rules on the live settings with no window involved. Each rule changes the
// settings and returns what the caller has to do next:
// - rebuild:  redesign the band filter (filterLength taps, decimation 1,
//             [bandLow, bandHigh]);
// - announce: as a connected client in the command role, send the server a
//             Settings packet with the band edges and filter length.
// The order matters to a command-role server, so it is part of the result.
//
// Band edges: fractions of the 8000 Hz sample rate, 0 … 0.5, stored in
// single precision after every step. The display shows them at column
// edge × 1024 (truncated), so column x stands for x / 1024.

#include <atomic>
#include <cstdint>
#include <optional>

#include "station/shell/station_control.h"
#include "station/shell/station_settings.h"

namespace station {

enum class BandAction : std::uint8_t {
    none,
    rebuild,
    rebuildThenAnnounce,
    announceThenRebuild,
};

// Drag of a band marker handle. Written on the main thread; the display,
// which may be composed on the processing thread, reads it to draw the
// handle that follows the mouse.
struct BandDrag {
    std::atomic<bool> dragging{false};
    std::atomic<bool> draggingLow{false};
    std::atomic<bool> draggingHigh{false};
    std::atomic<std::int32_t> dragX{0}; // last mouse column while dragging
};

// Display column of a band edge: edge × 1024, truncated toward zero.
std::int32_t edgeColumn(float edge);

// After a move of the stored edges: `halfWidth` is (bandHigh − bandLow) / 2
// from before the move. A band below 0 is put at [0, 2w]; then a band above
// 0.5 is put at [0.5 − 2w, 0.5].
void clampKeepingWidth(LiveSettings& settings, double halfWidth);

// Right (direction > 0) or Left (direction < 0) arrow: both edges move by
// 0.001 (8 Hz) and the band keeps its width. Announce, then rebuild.
BandAction shiftBand(LiveSettings& settings, int direction);

// A character key. '1'/'2' move the lower edge down/up by 0.01, '9'/'0' the
// upper edge down/up by 0.01, keeping the band at least 0.005 wide and the
// edges in 0 … 0.5; these announce, then rebuild. Every other character
// only rebuilds: the caller handles '5' (connection list) and ' ' (next
// display size, see nextDisplaySize) before the rebuild.
BandAction onBandCharacter(LiveSettings& settings, std::uint32_t character);

// Left button down at client column x, row y (unsigned 16-bit words).
// First matching rule:
// 1. filter-length strip 4 < y < 16, 0 < x < 120: 32 … 1024 taps by
//    20-column steps; rebuild, then announce;
// 2. filter off (32 taps): nothing;
// 3. handle strip B − 80 < y < B − 65 (B = spectrumBaseY): grabs the lower
//    and/or upper edge whose column lies within 2 of x; nothing else;
// 4. 0 ≤ x ≤ 512 and y > 30: centres the band on x, keeping its width;
//    announce, then rebuild;
// 5. nothing.
BandAction onLeftButtonDown(LiveSettings& settings, BandDrag& drag, std::uint16_t x, std::uint16_t y);

// Mouse move: while dragging, the handle follows column x. No redraw.
void onMouseMove(BandDrag& drag, std::uint16_t x);

// Left button up at column x: ends a drag, putting the grabbed edge(s) at
// x / 1024 (at most 0.5), then keeps bandLow ≥ 0, bandLow below bandHigh by
// at least 0.005 when they meet, and bandHigh ≤ 0.5. Announce, then rebuild;
// nothing when no drag is open.
BandAction onLeftButtonUp(LiveSettings& settings, BandDrag& drag, std::uint16_t x);

// Band width (Up/Down keys, mouse wheel): widens (direction < 0) or narrows
// (direction ≥ 0) the band by 0.001 of the sample rate at each edge, keeping
// the centre unless an edge would leave 0 … 0.5. Returns false with nothing
// changed when narrowing a half-width of 0.001 or less, or widening a band
// already 0 … 0.5 wide; true otherwise, and the caller then rebuilds and
// announces (BandAction::rebuildThenAnnounce). Only the sign of the wheel
// distance matters.
bool adjustBandWidth(LiveSettings& settings, int direction);

// Display sizes 1 … 4 and their layouts.
//   size  spectrumBaseY  waterfallHeight  window height  client height shown
//    1        100              80              215               190
//    2        110              90              235               210
//    3        190             100              325               300
//    4        100              20              150               125
std::optional<DisplayLayout> displayLayout(std::int32_t size);

// The Space key's cycle 1 → 2 → 3 → 4 → 1 (anything else → 1).
std::int32_t nextDisplaySize(std::int32_t size);

// Stores the layout's spectrumBaseY and waterfallHeight.
void applyDisplayLayout(LiveSettings& settings, const DisplayLayout& layout);

// Sets displaySize and hands the layout to the station (Space key with
// nextDisplaySize, or the link command). Returns false, changing nothing,
// for a size outside 1 … 4.
bool changeDisplaySize(LiveSettings& settings, std::int32_t size, StationControl& control);

} // namespace station
