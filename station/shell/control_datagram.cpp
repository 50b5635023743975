#include "station/shell/control_datagram.h"

#include <cstring>

#include "link/datagrams.h"
#include "station/shell/band_controls.h"

namespace station {

namespace {

// 1/8000: one Hz as a fraction of the sample rate, in single precision.
constexpr float hzToFraction = 0.000125f;

bool setBand(const locallink::ControlDatagram& d, StationSettings& s, StationControl& control) {
    if (d.bandwidthHz < minBandHz || d.bandwidthHz > maxBandHz || d.centreHz < minBandHz || d.centreHz > maxBandHz) {
        return false;
    }
    const float centre = static_cast<float>(d.centreHz) * hzToFraction;
    const float half = static_cast<float>(d.bandwidthHz) * hzToFraction * 0.5f;
    float lower = centre - half;
    float upper = centre + half;
    if (lower < 0.0f) {
        lower = 0.0f;
        upper = 2.0f * half;
    }
    if (upper > 0.5f) {
        upper = 0.5f;
        lower = 0.5f - 2.0f * half;
    }
    s.live.filterLength.store(locallink::filterLengthFromCode(d.filterCode));
    s.live.bandLow.store(lower);
    s.live.bandHigh.store(upper);
    control.redesignFilter();
    return true;
}

} // namespace

bool handleControlDatagram(const void* data, std::size_t length, StationSettings& s, StationControl& control) {
    locallink::ControlDatagram d;
    if (data == nullptr || length < sizeof d) {
        return false;
    }
    std::memcpy(&d, data, sizeof d);

    switch (d.command) {
    case locallink::SetBand:
        return setBand(d, s, control);
    case locallink::SetKeyingThreshold:
        s.live.keyingThreshold.store(d.value);
        return true;
    case locallink::SetDisplaySize:
        return changeDisplaySize(s.live, d.value, control);
    case locallink::SetPlayback:
        s.live.playbackOn.store(d.value != 0);
        return true;
    case locallink::SetDrawWindow:
        s.live.drawWindow.store(static_cast<std::uint32_t>(d.value));
        return true;
    case locallink::Quit:
        control.quit();
        return true;
    case locallink::SelectInputDevice:
        s.live.inputDevice.store(d.value);
        // A client without the dialog role never runs capture, and its
        // shutdown does not close it; opening it here would leave the
        // device and the processing thread running past shutdown.
        if (!s.config.clientMode || s.config.dialogMode) {
            control.reopenCapture();
        }
        return true;
    case locallink::SelectOutputDevice:
        s.live.outputDevice.store(d.value);
        control.reopenPlayback();
        return true;
    default:
        return false;
    }
}

} // namespace station
