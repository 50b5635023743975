#pragma once
// A StationControl that records what the logic asked of the station.

#include <vector>

#include "station/shell/station_control.h"

namespace station::testing {

struct RecordingControl final : StationControl {
    int redesigns = 0;
    int quits = 0;
    int captureReopens = 0;
    int playbackReopens = 0;
    std::vector<DisplayLayout> layouts;

    void redesignFilter() override { ++redesigns; }
    void applyDisplaySize(const DisplayLayout& layout) override { layouts.push_back(layout); }
    void quit() override { ++quits; }
    void reopenCapture() override { ++captureReopens; }
    void reopenPlayback() override { ++playbackReopens; }

    int calls() const {
        return redesigns + quits + captureReopens + playbackReopens + static_cast<int>(layouts.size());
    }
};

} // namespace station::testing
