// A local-link datagram of any length at the station's command handler,
// once for a station on its own and once for a client without the dialog
// role. The band must stay finite, in range and ordered; an ignored
// datagram must change nothing and ask nothing of the station.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/datagrams.h"
#include "station/shell/control_datagram.h"
#include "station/shell/station_control.h"
#include "station/shell/station_settings.h"

namespace {

struct RecordingControl final : station::StationControl {
    int redesigns = 0, quits = 0, captureReopens = 0, playbackReopens = 0, layouts = 0;
    void redesignFilter() override { ++redesigns; }
    void applyDisplaySize(const station::DisplayLayout&) override { ++layouts; }
    void quit() override { ++quits; }
    void reopenCapture() override { ++captureReopens; }
    void reopenPlayback() override { ++playbackReopens; }
    int calls() const { return redesigns + quits + captureReopens + playbackReopens + layouts; }
};

struct Snapshot {
    std::int32_t filterLength, keyingThreshold, displaySize, inputDevice, outputDevice;
    bool playbackOn;
    std::uint32_t drawWindow;
    float bandLow, bandHigh;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const station::StationSettings& s) {
    return {s.live.filterLength.load(), s.live.keyingThreshold.load(), s.live.displaySize.load(),
            s.live.inputDevice.load(),  s.live.outputDevice.load(),    s.live.playbackOn.load(),
            s.live.drawWindow.load(),   s.live.bandLow.load(),         s.live.bandHigh.load()};
}

void runOnce(const std::uint8_t* data, std::size_t size, bool clientWithoutDialog) {
    station::StationSettings settings;
    settings.config.clientMode = clientWithoutDialog;
    RecordingControl control;
    const Snapshot before = snapshot(settings);

    const bool accepted = station::handleControlDatagram(data, size, settings, control);
    const Snapshot after = snapshot(settings);

    const float low = after.bandLow;
    const float high = after.bandHigh;
    FUZZ_CHECK(std::isfinite(low) && std::isfinite(high));
    FUZZ_CHECK(0.0f <= low && low <= high && high <= 0.5f);
    const std::int32_t taps = after.filterLength;
    FUZZ_CHECK(taps >= 32 && taps <= 1024 && (taps & (taps - 1)) == 0);
    FUZZ_CHECK(after.displaySize >= 1 && after.displaySize <= 4);

    if (!accepted) {
        FUZZ_CHECK(after == before);
        FUZZ_CHECK(control.calls() == 0);
        return;
    }
    FUZZ_CHECK(size >= sizeof(locallink::ControlDatagram));
    locallink::ControlDatagram d;
    std::memcpy(&d, data, sizeof d);
    FUZZ_CHECK(d.command >= locallink::SetBand && d.command <= locallink::SelectOutputDevice);
    if (d.command == locallink::SetBand) {
        FUZZ_CHECK(control.redesigns == 1 && control.calls() == 1);
        FUZZ_CHECK(high > low); // widths of at least 1 Hz
    }
    if (clientWithoutDialog) {
        FUZZ_CHECK(control.captureReopens == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so a read past the received length is caught.
    const std::vector<std::uint8_t> datagram(data, data + size);
    runOnce(datagram.data(), datagram.size(), false);
    runOnce(datagram.data(), datagram.size(), true);
    return 0;
}
