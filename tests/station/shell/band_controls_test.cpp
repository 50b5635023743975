#include "station/shell/band_controls.h"

#include <gtest/gtest.h>

#include <cmath>

#include <thread>

#include <atomic>

#include <array>

#include "tests/station/shell/recording_control.h"

namespace {

using station::BandAction;
using station::BandDrag;
using station::BandSnapshot;
using station::LiveSettings;
using station::PublishedBand;
constexpr auto none = BandAction::none;
constexpr auto announce = BandAction::announceThenRebuild;

struct Band {
    float low, high;
};

// Edges are single precision; a few float ulps of slack.
void expectBand(const LiveSettings& s, Band expected) {
    EXPECT_FLOAT_EQ(s.bandLow.load(), expected.low) << "lower edge";
    EXPECT_FLOAT_EQ(s.bandHigh.load(), expected.high) << "upper edge";
}

TEST(BandControls, ArrowAndCharacterKeys) {
    // key: 'R'/'L' are the arrows, anything else goes to onBandCharacter.
    const struct {
        char key;
        Band before, after;
    } cases[] = {
        {'R', {0.1f, 0.11f}, {0.101f, 0.111f}},
        {'L', {0.1f, 0.11f}, {0.099f, 0.109f}},
        {'R', {0.49f, 0.5f}, {0.49f, 0.5f}}, // pinned at 0.5, width kept
        {'R', {0.4895f, 0.4995f}, {0.49f, 0.5f}},
        {'L', {0.0005f, 0.0105f}, {0.0f, 0.01f}},
        {'1', {0.1f, 0.11f}, {0.09f, 0.11f}},
        {'1', {0.005f, 0.11f}, {0.0f, 0.11f}},
        {'2', {0.05f, 0.11f}, {0.06f, 0.11f}},
        {'2', {0.108f, 0.11f}, {0.105f, 0.11f}},    // just under the upper edge: 0.005 below it
        {'2', {0.1f, 0.11f}, {0.105f, 0.11f}},      // reaching it exactly, likewise
        {'2', {0.0001f, 0.0002f}, {0.0f, 0.0002f}}, // never below 0
        {'9', {0.1f, 0.2f}, {0.1f, 0.19f}},
        {'9', {0.1f, 0.11f}, {0.1f, 0.105f}},
        {'9', {0.497f, 0.5f}, {0.497f, 0.5f}}, // never above 0.5
        {'0', {0.1f, 0.11f}, {0.1f, 0.12f}},
        {'0', {0.1f, 0.495f}, {0.1f, 0.5f}},
    };
    for (const auto& c : cases) {
        LiveSettings s;
        s.bandLow.store(c.before.low);
        s.bandHigh.store(c.before.high);
        SCOPED_TRACE(testing::Message() << "key " << c.key << " on [" << c.before.low << ", " << c.before.high << "]");
        const BandAction action = c.key == 'R'   ? station::shiftBand(s, +1)
                                  : c.key == 'L' ? station::shiftBand(s, -1)
                                                 : station::onBandCharacter(s, static_cast<unsigned char>(c.key));
        EXPECT_EQ(action, announce);
        expectBand(s, c.after);
    }
    LiveSettings s;
    EXPECT_EQ(station::onBandCharacter(s, 'x'), BandAction::rebuild);
    expectBand(s, {0.1f, 0.11f});
}

TEST(BandControls, LeftButtonDown) {
    // B = 100: handle strip rows 21 … 34; band [0.1, 0.11] has handles at
    // columns 102 and 112; [0.1, 0.104] at 102 and 106.
    const struct {
        const char* what;
        int taps;
        Band band;
        std::uint16_t x, y;
        BandAction action;
        int tapsAfter;
        Band after;
        bool grabLow, grabHigh;
    } cases[] = {
        {"strip column 1", 256, {0.1f, 0.11f}, 1, 10, BandAction::rebuildThenAnnounce, 32, {0.1f, 0.11f}, 0, 0},
        {"strip column 40", 32, {0.1f, 0.11f}, 40, 10, BandAction::rebuildThenAnnounce, 64, {0.1f, 0.11f}, 0, 0},
        {"strip column 101", 32, {0.1f, 0.11f}, 101, 5, BandAction::rebuildThenAnnounce, 1024, {0.1f, 0.11f}, 0, 0},
        {"strip column 119", 256, {0.1f, 0.11f}, 119, 15, BandAction::rebuildThenAnnounce, 1024, {0.1f, 0.11f}, 0, 0},
        {"beside strip", 512, {0.1f, 0.11f}, 120, 10, none, 512, {0.1f, 0.11f}, 0, 0},
        {"below strip", 512, {0.1f, 0.11f}, 50, 16, none, 512, {0.1f, 0.11f}, 0, 0},
        {"filter off: handle", 32, {0.1f, 0.11f}, 102, 25, none, 32, {0.1f, 0.11f}, 0, 0},
        {"filter off: centre", 32, {0.1f, 0.11f}, 256, 100, none, 32, {0.1f, 0.11f}, 0, 0},
        {"low handle", 256, {0.1f, 0.11f}, 100, 21, none, 256, {0.1f, 0.11f}, 1, 0},
        {"low handle edge", 256, {0.1f, 0.11f}, 104, 34, none, 256, {0.1f, 0.11f}, 1, 0},
        {"between handles", 256, {0.1f, 0.11f}, 105, 25, none, 256, {0.1f, 0.11f}, 0, 0},
        {"high handle", 256, {0.1f, 0.11f}, 114, 25, none, 256, {0.1f, 0.11f}, 0, 1},
        {"both handles", 256, {0.1f, 0.104f}, 104, 25, none, 256, {0.1f, 0.104f}, 1, 1},
        {"centre", 256, {0.1f, 0.11f}, 256, 100, announce, 256, {0.245f, 0.255f}, 0, 0},
        {"centre at 0", 256, {0.1f, 0.12f}, 0, 35, announce, 256, {0.0f, 0.02f}, 0, 0},
        {"centre at 512", 256, {0.1f, 0.12f}, 512, 100, announce, 256, {0.48f, 0.5f}, 0, 0},
        {"column 600", 256, {0.1f, 0.11f}, 600, 100, none, 256, {0.1f, 0.11f}, 0, 0},
        {"row 30", 256, {0.1f, 0.11f}, 256, 30, none, 256, {0.1f, 0.11f}, 0, 0},
    };
    for (const auto& c : cases) {
        LiveSettings s;
        s.filterLength.store(c.taps);
        s.bandLow.store(c.band.low);
        s.bandHigh.store(c.band.high);
        BandDrag drag;
        SCOPED_TRACE(c.what);
        EXPECT_EQ(station::onLeftButtonDown(s, drag, c.x, c.y), c.action);
        EXPECT_EQ(s.filterLength.load(), c.tapsAfter);
        expectBand(s, c.after);
        EXPECT_EQ(drag.draggingLow.load(), c.grabLow);
        EXPECT_EQ(drag.draggingHigh.load(), c.grabHigh);
        EXPECT_EQ(drag.dragging.load(), c.grabLow || c.grabHigh);
    }
}

TEST(BandControls, DragAndRelease) {
    const struct {
        const char* what;
        Band band;
        std::uint16_t grabX, releaseX;
        Band after;
    } cases[] = {
        {"low edge", {0.1f, 0.11f}, 102, 90, {90 / 1024.0f, 0.11f}},
        {"low past high", {0.1f, 0.11f}, 102, 200, {0.105f, 0.11f}},
        {"high past 512", {0.1f, 0.11f}, 112, 600, {0.1f, 0.5f}},
        {"double grab", {0.1f, 0.104f}, 104, 300, {300 / 1024.0f - 0.005f, 300 / 1024.0f}},
        {"double grab past 512", {0.1f, 0.104f}, 104, 600, {0.495f, 0.5f}},
        {"double grab at column 2", {0.1f, 0.104f}, 104, 2, {0.0f, 2 / 1024.0f}},
        {"double grab at column 0", {0.1f, 0.104f}, 104, 0, {0.0f, 0.005f}},
    };
    for (const auto& c : cases) {
        LiveSettings s;
        s.bandLow.store(c.band.low);
        s.bandHigh.store(c.band.high);
        BandDrag drag;
        SCOPED_TRACE(c.what);
        station::onLeftButtonDown(s, drag, c.grabX, 25);
        ASSERT_TRUE(drag.dragging.load());
        station::onMouseMove(drag, c.releaseX);
        EXPECT_EQ(drag.dragX.load(), c.releaseX);
        expectBand(s, c.band); // the band changes only at the release
        EXPECT_EQ(station::onLeftButtonUp(s, drag, c.releaseX), announce);
        expectBand(s, c.after);
        EXPECT_FALSE(drag.dragging.load() || drag.draggingLow.load() || drag.draggingHigh.load());
    }
    LiveSettings s;
    BandDrag idle;
    station::onMouseMove(idle, 300);
    EXPECT_EQ(idle.dragX.load(), 0) << "moves without a drag are not tracked";
    EXPECT_EQ(station::onLeftButtonUp(s, idle, 300), none);
    expectBand(s, {0.1f, 0.11f});
}

TEST(DisplaySize, TableCycleAndChange) {
    const int expected[][4] = {{100, 80, 215, 190}, {110, 90, 235, 210}, {190, 100, 325, 300}, {100, 20, 150, 125}};
    LiveSettings s;
    station::testing::RecordingControl control;
    int size = 4;
    for (int step = 0; step < 5; ++step) {
        size = station::nextDisplaySize(size);
        ASSERT_EQ(size, step % 4 + 1) << "cycle step " << step;
        ASSERT_TRUE(station::changeDisplaySize(s, size, control));
        EXPECT_EQ(s.displaySize.load(), size);
        const station::DisplayLayout& got = control.layouts.back();
        const int* want = expected[size - 1];
        EXPECT_EQ((std::array{got.spectrumBaseY, got.waterfallHeight, got.windowHeight, got.clientHeightShown}),
                  (std::array{want[0], want[1], want[2], want[3]}))
            << "size " << size;
    }
    station::applyDisplayLayout(s, *station::displayLayout(3));
    EXPECT_EQ(s.spectrumBaseY.load(), 190);
    EXPECT_EQ(s.waterfallHeight.load(), 100);
    EXPECT_EQ(station::nextDisplaySize(0), 1);
    for (const int bad : {0, 5, -1}) {
        EXPECT_FALSE(station::changeDisplaySize(s, bad, control)) << "size " << bad;
    }
    EXPECT_EQ(s.displaySize.load(), 1);
    EXPECT_EQ(control.layouts.size(), 5u);
}

TEST(AdjustBandWidth, EdgeCases) {
    struct Case {
        const char* what;
        float low, high;
        int direction;
        bool result;
        double newLow, newHigh;
    };
    const Case cases[] = {
        {"default widens by 0.001 a side", 0.1f, 0.11f, -1, true, 0.099, 0.111},
        {"zero direction narrows", 0.1f, 0.11f, 0, true, 0.101, 0.109},
        {"half-width 0.0015 narrows to 0.0005", 0.25f, 0.253f, 1, true, 0.251, 0.252},
        {"half-width under 0.001 is not narrowed", 0.25f, 0.251953125f, 1, false, 0.25, 0.251953125},
        {"touching 0 keeps 0, high = 2h", 0.0f, 0.01f, -1, true, 0.0, 0.012},
        {"touching 0.5 keeps 0.5", 0.49f, 0.5f, -1, true, 0.488, 0.5},
        {"whole range cannot widen", 0.0f, 0.5f, -1, false, 0.0, 0.5},
        {"widening is capped at the whole range", 0.2f, 0.699f, -1, true, 0.0, 0.5},
    };
    for (const Case& tc : cases) {
        LiveSettings s;
        s.bandLow = tc.low;
        s.bandHigh = tc.high;
        EXPECT_EQ(adjustBandWidth(s, tc.direction), tc.result) << tc.what;
        EXPECT_NEAR(s.bandLow.load(), tc.newLow, 2e-6) << tc.what;
        EXPECT_NEAR(s.bandHigh.load(), tc.newHigh, 2e-6) << tc.what;
    }
    LiveSettings s; // default 0.1 … 0.11: four narrowings reach half-width 0.001
    int steps = 0;
    while (adjustBandWidth(s, +1))
        ASSERT_LT(++steps, 100);
    EXPECT_EQ(steps, 4);
    for (steps = 0; adjustBandWidth(s, -1); ++steps) {
        ASSERT_TRUE(s.bandLow >= 0.0f && s.bandHigh <= 0.5f && s.bandLow <= s.bandHigh) << "after widening " << steps;
        ASSERT_LT(steps, 1000);
    }
    EXPECT_EQ(s.bandLow.load(), 0.0f);
    EXPECT_EQ(s.bandHigh.load(), 0.5f);
}

// One thread publishes bands whose edges and tap count belong together while
// another reads: every read is one whole published band.
TEST(PublishedBand, ReadersSeeOnlyWholeBands) {
    PublishedBand published;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 1; i <= 2000000; ++i) {
            const float low = static_cast<float>(i % 4000) / 10000.0f;
            published.publish({low, low + 0.01f, 32 + i % 4000});
        }
        done = true;
    });
    int torn = 0;
    long reads = 0;
    while (!done) {
        const BandSnapshot b = published.read();
        const bool initial =
            b.low == BandSnapshot{}.low && b.high == BandSnapshot{}.high && b.taps == BandSnapshot{}.taps;
        if (!initial && (b.high != b.low + 0.01f || b.taps != 32 + static_cast<int>(std::lround(b.low * 10000.0f)))) {
            ++torn;
        }
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

} // namespace
