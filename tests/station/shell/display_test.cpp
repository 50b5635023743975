#include "station/shell/display.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/cp1251.h"
#include "platform/gdi.h"
#include "platform/platform.h"
#include "platform/png.h"
#include "station/shell/station_settings.h"

namespace {

using namespace platform::literals;
using platform::Colour;
using platform::Picture;
using platform::rgb;
using station::StationDisplay;

constexpr Colour red = rgb(255, 0, 0);
constexpr Colour textGreen = rgb(0, 125, 0);
constexpr Colour markerYellow = rgb(200, 200, 0);
constexpr Colour lampGreen = rgb(0, 180, 0);
constexpr Colour black = rgb(0, 0, 0);

std::string hex(Colour c) {
    char s[16];
    std::snprintf(s, sizeof s, "#%06X", static_cast<unsigned>(c));
    return s;
}

// Pixels of `colour` in columns x0 … x1 − 1, rows y0 … y1 − 1.
int countColour(const Picture& p, Colour colour, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            n += p.pixel(x, y) == colour ? 1 : 0;
        }
    }
    return n;
}

// Pixels of `colour` in `after` that were not that colour in `before`.
int countNewColour(const Picture& before, const Picture& after, Colour colour, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            n += after.pixel(x, y) == colour && before.pixel(x, y) != colour ? 1 : 0;
        }
    }
    return n;
}

// Checks that `text` (Windows-1251), drawn with the display's font at
// column x, row y, is what ends there: the rightmost text pixel left of
// `xLimit` in its rows lies within the last few columns of its advance.
void expectTextEndsNear(const Picture& p, std::string_view text, int x, int y, int rows, int xLimit = 512) {
    platform::Picture scratch(8, 8);
    platform::DrawContext dc(scratch);
    dc.setFont(platform::Font::create("Ms Sans Serif", 11, 700));
    const int expectedEnd = x + dc.textExtent(text).cx;
    int right = -1;
    for (int col = xLimit - 1; col >= 0 && right < 0; --col) {
        right = countColour(p, textGreen, col, y, col + 1, y + rows) > 0 ? col : -1;
    }
    EXPECT_TRUE(right < expectedEnd && right > expectedEnd - 6)
        << "text at row " << y << ": expected to end just before column " << expectedEnd << ", got " << right;
}

struct FakeInputs : station::DisplayInputs {
    void copyPushStatusText(std::span<char> out) const override {
        std::snprintf(out.data(), out.size(), "%s", pushStatus.c_str());
    }
    std::int32_t playbackQueued() const override { return queued; }
    std::int32_t keyDown() const override { return key.load(); }
    station::DragView dragState() const override { return drag; }

    std::string pushStatus;
    std::int32_t queued = 0;
    std::atomic<std::int32_t> key{0};
    station::DragView drag;
};

struct FakeRelay : station::NetworkRole {
    void copyClientStatusText(std::span<char> out) const override {
        std::snprintf(out.data(), out.size(), "%s", status.c_str());
    }
    bool clientSocketOpen() const override { return socketOpen; }

    std::string status;
    bool socketOpen = false;
};

class DisplayTest : public ::testing::Test {
  protected:
    DisplayTest() {
        display.attachRelay(relay);
        display.drawScalePanel();
    }

    // A spectrum whose bin g has magnitude mags[g] (real part only); the
    // remaining bins up to 512 are zero.
    void drawSpectrum(const std::vector<float>& mags) {
        std::vector<float> re(512, 0.0f), im(512, 0.0f);
        std::copy(mags.begin(), mags.end(), re.begin());
        display.drawSpectrumPanel(re.data(), im.data(), 512);
    }
    Picture present(Colour background = rgb(1, 2, 3)) {
        Picture target(512, 300, background);
        platform::DrawContext dc(target);
        display.presentDisplay(dc);
        return target;
    }
    int base() const { return settings.live.spectrumBaseY.load(); }

    static inline int argc = 1;
    static inline char arg0[] = "station_display_tests";
    static inline char* argv[] = {arg0, nullptr};
    platform::Platform platform{argc, argv};
    station::StationSettings settings;
    FakeInputs inputs;
    FakeRelay relay;
    StationDisplay display{settings, inputs};
};

TEST(SpectrumPalette, EntriesOfEachRange) {
    const station::SpectrumPalette palette = station::makeSpectrumPalette();
    const struct {
        int index;
        Colour colour;
    } cases[] = {
        {0, rgb(15, 4, 63)},
        {3, rgb(34, 9, 159)},
        {4, rgb(41, 11, 191)},
        {5, rgb(139, 136, 43)},
        {6, rgb(141, 138, 43)},
        {34, rgb(206, 201, 63)},
        {35, rgb(173, 0, 0)},
        {42, rgb(189, 0, 0)},
        {49, rgb(206, 0, 0)},
        {56, rgb(223, 0, 0)},
        {63, rgb(240, 0, 0)},
        {69, rgb(255, 0, 0)},
        {100, red},
        {1023, red},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(palette[static_cast<std::size_t>(c.index)], c.colour)
            << "entry " << c.index << ": expected " << hex(c.colour) << ", got "
            << hex(palette[static_cast<std::size_t>(c.index)]);
    }
    // The red ramp never falls from 35 on, stays pure red and ends at 255.
    for (int i = 36; i < 1024; ++i) {
        const Colour c = palette[static_cast<std::size_t>(i)];
        EXPECT_EQ(c & 0x00FFFF, 0u) << "entry " << i << " is not pure red: " << hex(c);
        EXPECT_GE(c >> 16, palette[static_cast<std::size_t>(i - 1)] >> 16) << "red falls at entry " << i;
    }
}

TEST_F(DisplayTest, ScaleLabelsAndLineHeight) {
    EXPECT_GT(display.lineHeight(), 8) << "font height + leading of an 11-pixel font";
    EXPECT_LT(display.lineHeight(), 20);
    const Picture trace = display.traceSnapshot();
    const int b = base();
    // Long ticks at 500 Hz steps: column trunc(500 × 0.128) = 64 lit from B − 28 to B − 20.
    EXPECT_EQ(trace.pixel(64, b - 28), red);
    EXPECT_EQ(trace.pixel(64, b - 20), red);
    EXPECT_EQ(trace.pixel(64, b - 19), black) << "a line excludes its end point";
    // Short tick at 100 Hz: column 12, rows B − 28 … B − 25.
    EXPECT_EQ(trace.pixel(12, b - 25), red);
    EXPECT_EQ(trace.pixel(12, b - 24), black);
    // The "1000" label is centred on column 128, below the ticks.
    const int lh = display.lineHeight();
    EXPECT_GT(countColour(trace, textGreen, 110, b - 30 + lh, 128, b - 30 + 2 * lh), 0) << "left half of 1000";
    EXPECT_GT(countColour(trace, textGreen, 128, b - 30 + lh, 146, b - 30 + 2 * lh), 0) << "right half of 1000";
}

TEST_F(DisplayTest, ZeroSpectrumDrawsFlatTraceAndDarkWaterfallLine) {
    drawSpectrum({});
    const Picture trace = display.traceSnapshot();
    const int b = base();
    // The pen starts at (0, B − 31) and the last segment excludes column 511.
    EXPECT_EQ(countColour(trace, red, 0, b - 31, 511, b - 30), 511) << "trace row B − 31";
    EXPECT_EQ(countColour(trace, red, 0, 16, 512, b - 31), 0) << "nothing above the flat trace";
    EXPECT_EQ(countColour(trace, rgb(15, 4, 63), 0, b, 512, b + 1), 512) << "waterfall row B";
}

TEST_F(DisplayTest, HugeAndInvalidMagnitudesAreClipped) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> mags(512, 0.0f);
    mags[100] = 5000.0f;
    mags[200] = 1e30f;
    mags[300] = inf;
    mags[400] = nan;
    mags[511] = 150.0f;
    drawSpectrum(mags);
    const Picture trace = display.traceSnapshot();
    const int b = base();
    for (int g : {100, 200, 300, 511}) {
        EXPECT_EQ(trace.pixel(g, b), red) << "waterfall pixel of bin " << g << ": got " << hex(trace.pixel(g, b));
    }
    EXPECT_EQ(trace.pixel(400, b), rgb(15, 4, 63)) << "NaN shows as magnitude 0";
    // The spike runs off the top: its flanks are lit right up to row 0.
    EXPECT_GT(countColour(trace, red, 99, 0, 102, 1), 0) << "trace clipped at the top";
    EXPECT_GT(countColour(trace, red, 99, 20, 102, 21), 0);

    // More bins than the panel holds: only 512 are drawn, the rest ignored.
    std::vector<float> re(2048, 3.0f), im(2048, 4.0f);
    display.drawSpectrumPanel(re.data(), im.data(), 2048);
    display.drawSpectrumPanel(nullptr, nullptr, 512);
    display.drawSpectrumPanel(re.data(), im.data(), -5);
    const Picture after = display.traceSnapshot();
    EXPECT_EQ(after.pixel(511, b + 2), display.spectrumPalette()[5]) << "magnitude 5 at bin 511, scrolled twice";
}

TEST_F(DisplayTest, WaterfallScrollsOneRowPerSpectrumWithinItsHeight) {
    std::vector<float> first(512, 0.0f);
    first[10] = 50.0f;
    drawSpectrum(first);
    drawSpectrum({});
    const int b = base();
    const int h = settings.live.waterfallHeight.load();
    const auto& palette = display.spectrumPalette();
    Picture trace = display.traceSnapshot();
    EXPECT_EQ(trace.pixel(10, b + 1), palette[50]) << "previous line one row down, got " << hex(trace.pixel(10, b + 1));
    EXPECT_EQ(trace.pixel(10, b), palette[0]) << "newest line at B";
    EXPECT_EQ(trace.pixel(11, b + 1), palette[0]);

    // The line reaches row B + H after H scrolls and is gone after one more;
    // row B + H + 1 is never written.
    for (int i = 1; i < h; ++i) {
        drawSpectrum({});
    }
    trace = display.traceSnapshot();
    EXPECT_EQ(trace.pixel(10, b + h), palette[50]) << "last waterfall row";
    drawSpectrum({});
    trace = display.traceSnapshot();
    EXPECT_EQ(trace.pixel(10, b + h), palette[0]);
    EXPECT_EQ(trace.pixel(10, b + h + 1), black) << "below the waterfall, got " << hex(trace.pixel(10, b + h + 1));
}

TEST_F(DisplayTest, FilterOffHeaderCellAndNoMarkers) {
    settings.live.filterLength = 32;
    drawSpectrum({});
    const Picture target = present();
    const Picture trace = display.traceSnapshot();
    EXPECT_EQ(countColour(trace, rgb(126, 64, 64), 1, 6, 21, 15), 20 * 9) << "first strip cell filled";
    EXPECT_EQ(countColour(trace, rgb(32, 128, 64), 0, 0, 512, 16), 0);
    EXPECT_EQ(countColour(target, markerYellow, 0, 0, 512, 190), 0) << "no markers with the filter off";

    expectTextEndsNear(trace, "Фильтр выключен"_cp1251, 123, 0, 16);

    // With 256 taps the header shows quality and band instead.
    settings.live.filterLength = 256;
    drawSpectrum({});
    const Picture on = display.traceSnapshot();
    expectTextEndsNear(on, "Добротность 256 <Полоса 80 Гц>"_cp1251, 123, 0, 16);
    EXPECT_EQ(countColour(on, rgb(32, 128, 64), 61, 6, 81, 15), 20 * 9) << "256-tap cell";
    EXPECT_EQ(on.pixel(1, 15), rgb(32, 64, 64)) << "strip frame";
}

TEST_F(DisplayTest, MarkersAndDragHandle) {
    const int b = base();
    const int h = settings.live.waterfallHeight.load();
    // Default band 0.1 … 0.11: columns 102 and 112.
    Picture target = present();
    EXPECT_EQ(countColour(target, markerYellow, 102, b - 80, 103, b + h - 1), 80 + h - 1) << "lower edge line";
    EXPECT_EQ(countColour(target, markerYellow, 112, b - 80, 113, b + h - 1), 80 + h - 1) << "upper edge line";
    EXPECT_EQ(target.pixel(102, b + h - 1), black) << "edge line ends before B + H − 1";
    for (int x : {101, 103, 111, 113}) {
        EXPECT_EQ(countColour(target, markerYellow, x, b - 80, x + 1, b - 65), 14) << "handle column " << x;
    }

    inputs.drag = {true, true, false, 200};
    target = present();
    for (int x : {199, 201}) {
        EXPECT_EQ(countColour(target, markerYellow, x, b - 80, x + 1, b - 66), 14) << "handle follows to " << x;
    }
    EXPECT_EQ(countColour(target, markerYellow, 101, b - 80, 102, b - 66), 0) << "old lower handle gone";
    EXPECT_EQ(countColour(target, markerYellow, 102, b - 80, 103, b + h - 1), 80 + h - 1) << "edge line stays";
    EXPECT_EQ(countColour(target, markerYellow, 200, b - 60, 201, b + h), 0) << "no edge line at the mouse";
    EXPECT_EQ(countColour(target, markerYellow, 113, b - 80, 114, b - 66), 14) << "upper handle unmoved";
    // The compose picture is rebuilt each time: no trace of the drag is left.
    inputs.drag = {};
    target = present();
    EXPECT_EQ(countColour(target, markerYellow, 199, 0, 202, 300), 0);
}

TEST_F(DisplayTest, PresentedRowsFollowDisplaySize) {
    const struct { int size, rows; } cases[] = {{1, 190}, {2, 210}, {3, 300}, {4, 125}, {0, 190}, {9, 190}};
    const Colour untouched = rgb(1, 2, 3);
    for (const auto& c : cases) {
        settings.live.displaySize = c.size;
        const Picture target = present(untouched);
        EXPECT_EQ(countColour(target, untouched, 0, 0, 512, c.rows), 0) << "size " << c.size << ": rows copied";
        EXPECT_EQ(countColour(target, untouched, 0, c.rows, 512, 300), 512 * (300 - c.rows))
            << "size " << c.size << ": expected " << c.rows << " rows presented";
    }
}

TEST_F(DisplayTest, KeyingLampAndStatusTexts) {
    const int b = base();
    display.drawKeyingLamp(1);
    Picture trace = display.traceSnapshot();
    EXPECT_EQ(countColour(trace, lampGreen, 0, 0, 512, 20), 100) << "10 × 10 lamp";
    EXPECT_EQ(countColour(trace, lampGreen, 495, 2, 505, 12), 100) << "at 495 … 504 × 2 … 11";
    display.drawKeyingLamp(0);
    EXPECT_EQ(countColour(display.traceSnapshot(), lampGreen, 0, 0, 512, 20), 0);

    // The spectrum panel lights the lamp only with the local link.
    inputs.key = 1;
    drawSpectrum({});
    EXPECT_EQ(countColour(display.traceSnapshot(), lampGreen, 495, 2, 505, 12), 0) << "no lamp without udpSend";
    settings.config.udpSend = true;
    drawSpectrum({});
    EXPECT_EQ(countColour(display.traceSnapshot(), lampGreen, 495, 2, 505, 12), 100);

    // Status line at (10, B + 1), over whatever the waterfall holds there.
    const int lh = display.lineHeight();
    const Picture before = display.traceSnapshot();
    display.drawStatusLine("Уселитель 1.000000"_cp1251);
    trace = display.traceSnapshot();
    EXPECT_GT(countNewColour(before, trace, textGreen, 10, b + 1, 200, b + 1 + lh), 10);
    EXPECT_EQ(countNewColour(before, trace, textGreen, 0, 0, 10, 300), 0) << "starts at column 10";
    EXPECT_EQ(countNewColour(before, trace, textGreen, 0, 0, 512, b + 1), 0) << "starts at row B + 1";

    // Client status at (290, 22); connection time at (5, 23) only for an
    // open client socket with a time limit; receive buffer line at (5, 43).
    const struct {
        int clientMode;
        bool open;
        int limit;
        bool timeShown;
    } cases[] = {{1, true, 30, true}, {1, false, 30, false}, {1, true, 0, false}, {0, true, 30, false}};
    relay.status = std::string("Связь разорвана"_cp1251);
    for (const auto& c : cases) {
        settings.config.clientMode = c.clientMode;
        relay.socketOpen = c.open;
        settings.live.timeLimit = c.limit;
        drawSpectrum({});
        trace = display.traceSnapshot();
        EXPECT_EQ(countColour(trace, textGreen, 5, 23, 280, 23 + lh) > 0, c.timeShown)
            << "client " << c.clientMode << ", open " << c.open << ", limit " << c.limit;
        EXPECT_GT(countColour(trace, textGreen, 290, 22, 512, 22 + lh), 10) << "status text";
    }
    EXPECT_EQ(countColour(trace, textGreen, 5, 43, 280, 43 + lh), 0);
    settings.live.showReceiveBuffer = true;
    settings.config.clientMode = true; // open socket, 30 s left: the time line too
    inputs.queued = 3;
    drawSpectrum({});
    trace = display.traceSnapshot();
    EXPECT_GT(countColour(trace, textGreen, 5, 43, 280, 43 + lh), 10) << "receive buffer line";

    // The formatted lines, judged by their drawn width (left of the texts
    // at columns 290 and 310).
    expectTextEndsNear(trace, "F5 <<<  Буфер приема 6 пакетов (3) >>> F6"_cp1251, 5, 43, lh, 285);
    expectTextEndsNear(trace, "Время подключения 30 секунд"_cp1251, 5, 23, lh, 285);

    // The Icecast push's status on the header's last line, under the
    // receive-buffer line, only with a push.
    const int pushRow = b - 30 - lh;
    ASSERT_GE(pushRow, 43 + lh) << "the push line would cover the receive-buffer line";
    EXPECT_EQ(countColour(trace, textGreen, 5, pushRow, 280, b - 30), 0);
    inputs.pushStatus = "Icecast 127.0.0.1:8000/cw.opus: connected";
    drawSpectrum({});
    trace = display.traceSnapshot();
    expectTextEndsNear(trace, inputs.pushStatus, 5, pushRow, lh, 285);
}

TEST_F(DisplayTest, SpectraFromOneThreadWhilePresentingOnAnother) {
    std::atomic<bool> done{false};
    std::jthread processing([&] {
        std::vector<float> re(512, 0.0f), im(512, 0.0f);
        for (int i = 0; i < 200; ++i) {
            re[7] = static_cast<float>(i % 60);
            display.drawSpectrumPanel(re.data(), im.data(), 512);
            display.drawKeyingLamp(i & 1);
        }
        re[7] = 40.0f;
        display.drawSpectrumPanel(re.data(), im.data(), 512);
        done = true;
    });
    Picture target(512, 300);
    int presents = 0;
    while (!done || presents < 50) {
        platform::DrawContext dc(target);
        display.presentDisplay(dc);
        display.drawStatusLine("Контакт 127.0.0.1"_cp1251);
        ++presents;
    }
    processing.join();
    platform::DrawContext dc(target);
    display.presentDisplay(dc);
    EXPECT_EQ(target.pixel(7, base()), display.spectrumPalette()[40])
        << "last spectrum's line, got " << hex(target.pixel(7, base()));
}

TEST_F(DisplayTest, SavesAPngOfTheDisplay) {
    std::vector<float> mags(512, 0.0f);
    for (int g = 0; g < 512; ++g) {
        mags[static_cast<std::size_t>(g)] = static_cast<float>((g * 7) % 90);
    }
    for (int i = 0; i < 30; ++i) {
        drawSpectrum(mags);
    }
    const Picture target = present();
    const std::filesystem::path path =
        std::filesystem::path(::testing::TempDir()) / ("station_display_" + std::to_string(::getpid()) + ".png");
    ASSERT_TRUE(platform::savePng(target, path.string()));
    std::error_code ec;
    EXPECT_GT(std::filesystem::file_size(path, ec), 1000u) << path;
    EXPECT_FALSE(ec) << ec.message();
    std::filesystem::remove(path, ec);
}

} // namespace
