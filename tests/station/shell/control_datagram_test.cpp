#include "station/shell/control_datagram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "link/datagrams.h"
#include "tests/station/shell/recording_control.h"

namespace {

using station::StationSettings;
using station::testing::RecordingControl;

// The 20 bytes of a datagram as the decoder sends it.
std::vector<unsigned char> datagram(std::int32_t command, std::int32_t value = 0, std::int32_t filterCode = 0,
                                    std::int32_t bandwidthHz = 0, std::int32_t centreHz = 0) {
    const locallink::ControlDatagram d{command, value, filterCode, bandwidthHz, centreHz};
    const auto* p = reinterpret_cast<const unsigned char*>(&d);
    return {p, p + sizeof d};
}

bool handle(const std::vector<unsigned char>& bytes, StationSettings& s, RecordingControl& control) {
    return station::handleControlDatagram(bytes.data(), bytes.size(), s, control);
}

TEST(ControlDatagram, SetBand) {
    const struct {
        std::int32_t filterCode, bandwidthHz, centreHz;
        bool applied;
        int taps;
        float low, high;
    } cases[] = {
        {3, 80, 840, true, 256, 0.1f, 0.11f},
        {3, 3999, 1000, true, 256, 0.0f, 0.499875f}, // lower edge clamped, width kept
        {5, 100, 3990, true, 1024, 0.4875f, 0.5f},   // upper edge clamped, width kept
        {1, 1, 1, true, 64, 0.0000625f, 0.0001875f},
        {2, 2, 1, true, 128, 0.0f, 0.00025f},
        {4, 3999, 3999, true, 512, 0.000125f, 0.5f},
        {0, 80, 840, true, 32, 0.1f, 0.11f}, // code 0: filter off, band still stored
        {9, 80, 840, true, 32, 0.1f, 0.11f}, // unknown code: filter off
        {-1, 80, 840, true, 32, 0.1f, 0.11f},
        {5, 0, 1000, false, 128, 0.3f, 0.4f}, // outside 1 … 3999: nothing changes
        {5, 4000, 1000, false, 128, 0.3f, 0.4f},
        {5, 100, 0, false, 128, 0.3f, 0.4f},
        {5, 100, 4000, false, 128, 0.3f, 0.4f},
    };
    for (const auto& c : cases) {
        StationSettings s;
        s.live.filterLength.store(128);
        s.live.bandLow.store(0.3f);
        s.live.bandHigh.store(0.4f);
        RecordingControl control;
        SCOPED_TRACE(testing::Message() << "SetBand code " << c.filterCode << ", " << c.bandwidthHz << " Hz at "
                                        << c.centreHz << " Hz");
        EXPECT_EQ(handle(datagram(locallink::SetBand, 0, c.filterCode, c.bandwidthHz, c.centreHz), s, control),
                  c.applied);
        EXPECT_EQ(s.live.filterLength.load(), c.taps);
        // Single-precision arithmetic; 1e-6 is 0.008 Hz.
        EXPECT_NEAR(s.live.bandLow.load(), c.low, 1e-6);
        EXPECT_NEAR(s.live.bandHigh.load(), c.high, 1e-6);
        EXPECT_EQ(control.redesigns, c.applied ? 1 : 0);
        EXPECT_EQ(control.calls(), control.redesigns);
    }
}

TEST(ControlDatagram, LengthAndUnknownCommands) {
    StationSettings s;
    RecordingControl control;
    const auto quit = datagram(locallink::Quit);
    EXPECT_FALSE(station::handleControlDatagram(quit.data(), 19, s, control));
    EXPECT_EQ(control.quits, 0) << "a 19-byte datagram must not act";
    EXPECT_TRUE(handle(quit, s, control));
    EXPECT_EQ(control.quits, 1);
    // Only the first 20 bytes count: a full-size buffer whose tail holds junk.
    std::vector<unsigned char> big(660, 0xEE);
    std::copy(quit.begin(), quit.end(), big.begin());
    EXPECT_TRUE(handle(big, s, control));
    EXPECT_EQ(control.quits, 2);
    for (const std::int32_t unknown : {0, 9, -1}) {
        EXPECT_FALSE(handle(datagram(unknown, 5, 5, 100, 1000), s, control)) << "command " << unknown;
    }
    EXPECT_EQ(control.calls(), 2);
    EXPECT_EQ(s.live.bandLow.load(), 0.1f);
}

TEST(ControlDatagram, ValueAndDisplayCommands) {
    StationSettings s;
    RecordingControl control;
    EXPECT_TRUE(handle(datagram(locallink::SetKeyingThreshold, 137), s, control));
    EXPECT_TRUE(handle(datagram(locallink::SetPlayback, 42), s, control));
    EXPECT_TRUE(handle(datagram(locallink::SetDrawWindow, static_cast<std::int32_t>(0xDEADBEEFu)), s, control));
    EXPECT_EQ(s.live.keyingThreshold.load(), 137);
    EXPECT_EQ(s.live.playbackOn.load(), 1) << "non-zero plays: stored as the flag 1";
    EXPECT_EQ(s.live.drawWindow.load(), 0xDEADBEEFu);
    EXPECT_TRUE(handle(datagram(locallink::SetPlayback, 0), s, control));
    EXPECT_EQ(s.live.playbackOn.load(), 0);
    EXPECT_EQ(control.calls(), 0) << "value commands need nothing from the station";

    for (const std::int32_t bad : {0, 5}) {
        EXPECT_FALSE(handle(datagram(locallink::SetDisplaySize, bad), s, control)) << "size " << bad;
    }
    EXPECT_EQ(s.live.displaySize.load(), 1);
    EXPECT_TRUE(handle(datagram(locallink::SetDisplaySize, 4), s, control));
    EXPECT_EQ(s.live.displaySize.load(), 4);
    ASSERT_EQ(control.layouts.size(), 1u);
    EXPECT_EQ(control.layouts[0].windowHeight, 150);
}

TEST(ControlDatagram, DeviceSelection) {
    const struct {
        const char* role;
        int clientMode, dialogMode, captureReopens;
    } roles[] = {{"plain", 0, 0, 1}, {"client", 1, 0, 0}, {"client dialog", 1, 1, 1}};
    for (const auto& r : roles) {
        StationSettings s;
        s.config.clientMode = r.clientMode;
        s.config.dialogMode = r.dialogMode;
        RecordingControl control;
        SCOPED_TRACE(r.role);
        EXPECT_TRUE(handle(datagram(locallink::SelectInputDevice, 2), s, control));
        EXPECT_TRUE(handle(datagram(locallink::SelectOutputDevice, 3), s, control));
        EXPECT_EQ(s.live.inputDevice.load(), 2);
        EXPECT_EQ(s.live.outputDevice.load(), 3);
        EXPECT_EQ(control.captureReopens, r.captureReopens);
        EXPECT_EQ(control.playbackReopens, 1);
    }
}

} // namespace
