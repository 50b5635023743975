#include "station/shell/band_controls.h"

#include <algorithm>
#include <array>

#include "station/shell/display_geometry.h"

namespace station {

namespace {

constexpr double shiftStep = 0.001;    // arrow keys: 8 Hz
constexpr double edgeStep = 0.01;      // character keys: 80 Hz
constexpr double minimumWidth = 0.005; // 40 Hz, kept when edges meet
constexpr float nyquist = 0.5f;
// Up/Down keys and the wheel: 0.001 of the sample rate (8 Hz) at each edge,
// up to the widest half-width, the band 0 … 0.5.
constexpr double bandWidthStep = 0.001;
constexpr double maxHalfWidth = 0.25;

float low(const LiveSettings& s) { return s.bandLow.load(); }
float high(const LiveSettings& s) { return s.bandHigh.load(); }
void setLow(LiveSettings& s, double v) { s.bandLow.store(static_cast<float>(v)); }
void setHigh(LiveSettings& s, double v) { s.bandHigh.store(static_cast<float>(v)); }

double halfWidthOf(const LiveSettings& s) { return (static_cast<double>(high(s)) - static_cast<double>(low(s))) / 2; }

constexpr std::array<DisplayLayout, 4> layouts{{
    {100, 80, 215, 190},
    {110, 90, 235, 210},
    {190, 100, 325, 300},
    {100, 20, 150, 125},
}};

} // namespace

std::int32_t edgeColumn(float edge) { return static_cast<std::int32_t>(edge * 1024.0f); }

void clampKeepingWidth(LiveSettings& s, double halfWidth) {
    if (low(s) < 0.0f) {
        setLow(s, 0.0);
        setHigh(s, 2 * halfWidth);
    }
    if (high(s) > nyquist) {
        setHigh(s, nyquist);
        setLow(s, nyquist - 2 * halfWidth);
    }
}

BandAction shiftBand(LiveSettings& s, int direction) {
    const double w = halfWidthOf(s);
    const double step = direction > 0 ? shiftStep : -shiftStep;
    setLow(s, low(s) + step);
    setHigh(s, high(s) + step);
    clampKeepingWidth(s, w);
    return BandAction::announceThenRebuild;
}

BandAction onBandCharacter(LiveSettings& s, std::uint32_t character) {
    switch (character) {
    case '1':
        if (low(s) > 0.0f) {
            setLow(s, low(s) - edgeStep);
            if (low(s) < 0.0f) {
                setLow(s, 0.0);
            }
        }
        return BandAction::announceThenRebuild;
    case '2':
        if (low(s) < high(s)) {
            setLow(s, low(s) + edgeStep);
        }
        if (!(low(s) < high(s))) {
            setLow(s, high(s) - minimumWidth);
        }
        // An upper edge under 0.005 would otherwise push the lower one
        // below 0.
        if (low(s) < 0.0f) {
            setLow(s, 0.0);
        }
        return BandAction::announceThenRebuild;
    case '9':
        if (high(s) > low(s)) {
            setHigh(s, high(s) - edgeStep);
        }
        if (!(high(s) > low(s))) {
            setHigh(s, low(s) + minimumWidth);
        }
        // Likewise a lower edge above 0.495 must not lift the upper one
        // past 0.5.
        if (high(s) > nyquist) {
            setHigh(s, nyquist);
        }
        return BandAction::announceThenRebuild;
    case '0':
        if (high(s) < nyquist) {
            setHigh(s, high(s) + edgeStep);
        }
        if (!(high(s) < nyquist)) {
            setHigh(s, nyquist);
        }
        return BandAction::announceThenRebuild;
    default:
        return BandAction::rebuild;
    }
}

BandAction onLeftButtonDown(LiveSettings& s, BandDrag& drag, std::uint16_t x, std::uint16_t y) {
    const std::int32_t col = x;
    const std::int32_t row = y;
    if (row >= lengthStripTop && row <= lengthStripBottom && col >= lengthStripLeft && col <= lengthStripRight) {
        s.filterLength.store(filterOffTaps << ((col - lengthStripLeft) / lengthCellWidth));
        return BandAction::rebuildThenAnnounce;
    }
    if (s.filterLength.load() == filterOffTaps) {
        return BandAction::none;
    }
    const std::int32_t base = s.spectrumBaseY.load();
    if (row > base - handleTopAboveBase && row <= base - handleEndAboveBase) {
        const std::int32_t l = edgeColumn(low(s));
        const std::int32_t h = edgeColumn(high(s));
        bool grabbed = false;
        if (col > l - handleGrabReach && col < l + handleGrabReach) {
            drag.draggingLow.store(true);
            grabbed = true;
        }
        if (col > h - handleGrabReach && col < h + handleGrabReach) {
            drag.draggingHigh.store(true);
            grabbed = true;
        }
        if (grabbed) {
            // The handle is drawn at dragX from now on; start it where it
            // was grabbed rather than at the last drag's column.
            drag.dragX.store(col);
            drag.dragging.store(true);
        }
        return BandAction::none;
    }
    if (col <= displayWidth && row > bandPressTopRow) {
        const double w = halfWidthOf(s);
        const double centre = col / 1024.0;
        setLow(s, centre - w);
        setHigh(s, centre + w);
        clampKeepingWidth(s, w);
        return BandAction::announceThenRebuild;
    }
    return BandAction::none;
}

void onMouseMove(BandDrag& drag, std::uint16_t x) {
    if (drag.dragging.load()) {
        drag.dragX.store(x);
    }
}

BandAction onLeftButtonUp(LiveSettings& s, BandDrag& drag, std::uint16_t x) {
    if (!drag.dragging.load()) {
        return BandAction::none;
    }
    // The display ends at column 512 (0.5); a release beyond it stands for
    // the upper end, so a double grab cannot leave bandLow above bandHigh.
    const double f = std::min(x / 1024.0, 0.5);
    if (drag.draggingLow.load()) {
        setLow(s, f);
        drag.draggingLow.store(false);
    }
    if (drag.draggingHigh.load()) {
        setHigh(s, f);
        drag.draggingHigh.store(false);
    }
    drag.dragging.store(false);

    if (low(s) < 0.0f) {
        setLow(s, 0.0);
    }
    if (!(low(s) < high(s))) {
        setLow(s, high(s) - minimumWidth);
        if (!(high(s) > low(s))) {
            setHigh(s, low(s) + minimumWidth);
        }
    }
    if (!(high(s) < nyquist)) {
        setHigh(s, nyquist);
    }
    // Edges that met below column 5 (0.005) leave bandLow negative after the
    // rules above; lift the band to start at 0 and keep it open.
    if (low(s) < 0.0f) {
        setLow(s, 0.0);
        if (!(high(s) > low(s))) {
            setHigh(s, minimumWidth);
        }
    }
    return BandAction::announceThenRebuild;
}

std::optional<DisplayLayout> displayLayout(std::int32_t size) {
    if (size < 1 || size > static_cast<std::int32_t>(layouts.size())) {
        return std::nullopt;
    }
    return layouts[static_cast<std::size_t>(size - 1)];
}

std::int32_t nextDisplaySize(std::int32_t size) { return size >= 1 && size < 4 ? size + 1 : 1; }

void applyDisplayLayout(LiveSettings& s, const DisplayLayout& layout) {
    s.spectrumBaseY.store(layout.spectrumBaseY);
    s.waterfallHeight.store(layout.waterfallHeight);
}

bool changeDisplaySize(LiveSettings& s, std::int32_t size, StationControl& control) {
    const auto layout = displayLayout(size);
    if (!layout) {
        return false;
    }
    s.displaySize.store(size);
    control.applyDisplaySize(*layout);
    return true;
}

bool adjustBandWidth(LiveSettings& settings, int direction) {
    const float low = settings.bandLow.load(std::memory_order_relaxed);
    const float high = settings.bandHigh.load(std::memory_order_relaxed);
    double halfWidth = (static_cast<double>(high) - static_cast<double>(low)) * 0.5;
    const float centre = static_cast<float>(low + halfWidth);
    if (direction < 0) {
        // Unbounded widening would push the low edge below 0 once the band
        // is wider than 0.5; stop at the whole range instead.
        const double widened = std::min(halfWidth + bandWidthStep, maxHalfWidth);
        if (!(widened > halfWidth)) {
            return false;
        }
        halfWidth = widened;
    } else {
        if (halfWidth <= bandWidthStep) {
            return false;
        }
        halfWidth -= bandWidthStep;
    }
    float newLow = static_cast<float>(centre - halfWidth);
    float newHigh = static_cast<float>(centre + halfWidth);
    if (newLow < 0.0f) {
        newLow = 0.0f;
        newHigh = static_cast<float>(2.0 * halfWidth);
    }
    if (newHigh > 0.5f) {
        newHigh = 0.5f;
        newLow = static_cast<float>(0.5 - 2.0 * halfWidth);
    }
    settings.bandLow.store(newLow, std::memory_order_relaxed);
    settings.bandHigh.store(newHigh, std::memory_order_relaxed);
    return true;
}

} // namespace station
