#include "platform/gdi.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>

#include <climits>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/cp1251.h"

using namespace platform;
using namespace platform::literals;

namespace {

using Point = std::pair<int, int>;
constexpr Colour white = rgb(255, 255, 255), black = rgb(0, 0, 0), red = rgb(255, 0, 0);

std::set<Point> pixelsOf(const Picture& p, Colour colour) {
    std::set<Point> out;
    for (int y = 0; y < p.height(); ++y)
        for (int x = 0; x < p.width(); ++x)
            if (p.pixel(x, y) == colour)
                out.insert({x, y});
    return out;
}

// "" when equal, else the first differing pixel with got/expected values.
std::string firstDifference(const Picture& got, const Picture& expected) {
    for (int y = 0; y < got.height(); ++y)
        for (int x = 0; x < got.width(); ++x)
            if (got.pixel(x, y) != expected.pixel(x, y))
                return "at (" + std::to_string(x) + "," + std::to_string(y) + ") got " +
                       std::to_string(got.pixel(x, y)) + " expected " + std::to_string(expected.pixel(x, y));
    return "";
}

Picture randomPicture(int w, int h, unsigned seed) {
    Picture p(w, h);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p.pixels()[y * p.stride() + x] = storedPixel(rng() & 0xFFFFFF);
    return p;
}

Picture snapshot(const Picture& p) { return p.copyRegion(0, 0, p.width(), p.height()); }

std::set<Point> line(int x0, int y0, int x1, int y1, int w = 40, int h = 40) {
    Picture p(w, h, white);
    DrawContext dc(p);
    dc.moveTo(x0, y0);
    dc.lineTo(x1, y1);
    return pixelsOf(p, black);
}

TEST(GdiLines, EndPointExcludedAndTiesGoUpOrLeft) {
    struct Case {
        const char* name;
        int x0, y0, x1, y1;
        std::set<Point> lit;
    };
    const std::vector<Case> cases = {
        {"horizontal", 2, 5, 7, 5, {{2, 5}, {3, 5}, {4, 5}, {5, 5}, {6, 5}}},
        {"vertical up (a tick)", 4, 6, 4, 1, {{4, 6}, {4, 5}, {4, 4}, {4, 3}, {4, 2}}},
        {"diagonal", 1, 1, 5, 5, {{1, 1}, {2, 2}, {3, 3}, {4, 4}}},
        {"anti-diagonal", 5, 1, 1, 5, {{5, 1}, {4, 2}, {3, 3}, {2, 4}}},
        // Half-way between two pixels: the upper one (shallow) or the left one (steep).
        {"shallow tie", 0, 0, 4, 1, {{0, 0}, {1, 0}, {2, 0}, {3, 1}}},
        {"shallow tie back", 4, 1, 0, 0, {{4, 1}, {3, 1}, {2, 0}, {1, 0}}},
        {"steep tie", 0, 0, 1, 4, {{0, 0}, {0, 1}, {0, 2}, {1, 3}}},
        {"zero length", 3, 3, 3, 3, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(line(c.x0, c.y0, c.x1, c.y1, 10, 10), c.lit) << c.name;
    }
    Picture p(4, 4);
    DrawContext dc(p);
    dc.moveTo(1, 2);
    dc.lineTo(3, -7);
    EXPECT_EQ(std::pair(dc.currentX(), dc.currentY()), std::pair(3, -7)) << "current position after lineTo";
}

// Any slope: one pixel per major step, each within half a pixel of the ideal
// line; the reverse line lights the same pixels with the ends exchanged; and
// clipping lights exactly what the unclipped line lights inside the picture.
TEST(GdiLines, AnySlopeFollowsTheIdealLineAndClipsExactly) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> c(0, 39), far(-80, 119);
    for (int n = 0; n < 300; ++n) {
        const int x0 = c(rng), y0 = c(rng), x1 = c(rng), y1 = c(rng), dx = x1 - x0, dy = y1 - y0;
        const std::string where = "(" + std::to_string(x0) + "," + std::to_string(y0) + ")->(" + std::to_string(x1) +
                                  "," + std::to_string(y1) + ")";
        const auto lit = line(x0, y0, x1, y1);
        ASSERT_EQ(lit.size(), size_t(std::max(std::abs(dx), std::abs(dy)))) << where;
        for (const auto& [x, y] : lit) {
            const bool xMajor = std::abs(dx) >= std::abs(dy);
            const double off = xMajor ? y - (y0 + double(x - x0) * dy / dx) : x - (x0 + double(y - y0) * dx / dy);
            EXPECT_LE(std::abs(off), 0.5) << where << " pixel (" << x << "," << y << ")";
        }
        auto back = lit;
        if (!back.empty()) {
            back.erase({x0, y0});
            back.insert({x1, y1});
        }
        EXPECT_EQ(line(x1, y1, x0, y0), back) << where << " reversed";

        const int a = far(rng), b = far(rng), e = far(rng), f = far(rng);
        std::set<Point> expected;
        for (const auto& [x, y] : line(a + 80, b + 80, e + 80, f + 80, 200, 200))
            if (x >= 80 && x < 120 && y >= 80 && y < 110)
                expected.insert({x - 80, y - 80});
        EXPECT_EQ(line(a, b, e, f, 40, 30), expected) << "clipped (" << a << "," << b << ")->(" << e << "," << f << ")";
    }
}

TEST(GdiLines, HugeCoordinatesAreClippedNotWalked) {
    // A trace segment to a magnitude far above the picture: column 10 up to the top.
    const auto trace = line(10, 69, 11, 69 - 33'554'432, 512, 300);
    EXPECT_TRUE(trace.size() == 70 && *trace.begin() == Point(10, 0) && *trace.rbegin() == Point(10, 69));
    EXPECT_EQ(line(INT_MIN + 1, 5, INT_MAX, 5, 512, 300).size(), 512u) << "a row across the int range";
    EXPECT_EQ(line(INT_MIN, INT_MIN, INT_MAX, INT_MAX, 512, 300).size(), 300u); // no overflow (UBSan), no stall
}

TEST(GdiFills, LeftTopIncludedRightBottomExcludedAndPixelsClipped) {
    struct Case {
        const char* name;
        int l, t, r, b;
    };
    for (const auto& c : std::vector<Case>{{"inside", 2, 3, 6, 5},
                                           {"one pixel", 4, 4, 5, 5},
                                           {"empty", 3, 3, 3, 8},
                                           {"inverted", 6, 5, 2, 3},
                                           {"over every edge", -4, -2, 50, 40},
                                           {"outside", -10, 2, 0, 6},
                                           {"int limits", INT_MIN, INT_MIN, INT_MAX, INT_MAX}}) {
        Picture p(10, 8, white);
        DrawContext(p).fillRect(c.l, c.t, c.r, c.b, red);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 10; ++x) {
                const bool in = x >= c.l && x < c.r && y >= c.t && y < c.b;
                ASSERT_EQ(p.pixel(x, y), in ? red : white) << c.name << " at (" << x << "," << y << ")";
            }
    }
    Picture p(7, 5, white);
    DrawContext dc(p);
    for (const auto& [x, y] : std::vector<Point>{{-1, 0}, {0, -1}, {7, 0}, {0, 5}, {INT_MIN, 2}, {2, INT_MAX}})
        dc.setPixel(x, y, red);
    EXPECT_EQ(pixelsOf(p, red), std::set<Point>{}) << "out-of-range setPixel drew";
    dc.setPixel(6, 4, red);
    dc.fillRect(0, 0, 1, 1); // the brush, white by default
    dc.setBrush({rgb(0, 180, 0)});
    dc.fillRect(1, 0, 2, 1);
    EXPECT_EQ(std::vector<Colour>({p.pixel(6, 4), p.pixel(0, 0), p.pixel(1, 0), p.pixel(7, 4)}),
              std::vector<Colour>({red, white, rgb(0, 180, 0), 0u}));
}

// Per-pixel copy from a snapshot: what a transfer means, free of row order
// and clipping arithmetic.
void referenceBlit(Picture& dst, long long dx, long long dy, int w, int h, const Picture& src, long long sx,
                   long long sy) {
    for (long long j = 0; j < h; ++j)
        for (long long i = 0; i < w; ++i)
            if (sx + i >= 0 && sy + j >= 0 && sx + i < src.width() && sy + j < src.height() && dx + i >= 0 &&
                dy + j >= 0 && dx + i < dst.width() && dy + j < dst.height())
                dst.pixels()[(dy + j) * dst.stride() + dx + i] = storedPixel(src.pixel(int(sx + i), int(sy + j)));
}

TEST(GdiBlit, OverlappingAndClippedTransfersMatchTheReference) {
    struct Case {
        const char* name;
        int w, h, dx, dy, bw, bh, sx, sy;
    };
    std::vector<Case> cases = {{"waterfall B=100 H=80", 512, 300, 0, 101, 512, 80, 0, 100},
                               {"waterfall B=190 H=100", 512, 300, 0, 191, 512, 100, 0, 190}};
    for (int zoom = 1; zoom <= 9; ++zoom) // the strip: from x = zoom, past the edge for zoom ≥ 4
        cases.push_back({"strip", 900, 700, 0, 0, 897, 300, zoom, 0});
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> pos(-30, 60), size(-3, 70);
    for (int n = 0; n < 300; ++n)
        cases.push_back({"random", 48, 36, pos(rng), pos(rng), size(rng), size(rng), pos(rng), pos(rng)});
    for (std::size_t n = 0; n < cases.size(); ++n) {
        const Case& c = cases[n];
        Picture p = randomPicture(c.w, c.h, unsigned(n));
        const Picture other = randomPicture(31, 53, unsigned(n + 1000));
        const bool same = n % 2 == 0 || std::string(c.name) != "random";
        const Picture& src = same ? p : other;
        Picture expected = snapshot(p);
        referenceBlit(expected, c.dx, c.dy, c.bw, c.bh, snapshot(src), c.sx, c.sy);
        DrawContext(p).blit(c.dx, c.dy, c.bw, c.bh, src, c.sx, c.sy);
        ASSERT_EQ(firstDifference(p, expected), "")
            << c.name << (same ? " within one picture" : "") << " blit(" << c.dx << "," << c.dy << " " << c.bw << "x"
            << c.bh << " from " << c.sx << "," << c.sy << ")";
    }
    Picture p(16, 16, white);
    DrawContext dc(p);
    dc.blit(INT_MAX - 1, INT_MAX - 1, INT_MAX, INT_MAX, p, INT_MIN, INT_MIN);
    dc.blit(INT_MIN, 0, INT_MAX, 16, p, 0, 0);
    EXPECT_EQ(pixelsOf(p, white).size(), 256u);
}

TEST(GdiPicture, CopyRegionResizeAndTheSurfaceLock) {
    const Picture p = randomPicture(20, 10, 5);
    const Picture part = p.copyRegion(15, -2, 10, 6, red);
    Picture expected(10, 6, red);
    referenceBlit(expected, 0, 0, 10, 6, p, 15, -2);
    EXPECT_EQ(firstDifference(part, expected), "");
    Picture grown = snapshot(p);
    grown.resize(25, 8, red);
    ASSERT_EQ(std::pair(grown.width(), grown.height()), std::pair(25, 8));
    EXPECT_EQ(std::pair(grown.pixel(19, 7), grown.pixel(20, 0)), std::pair(p.pixel(19, 7), red));

    // A window surface's context: locked while it lives, released before the callback.
    Picture surface(8, 8, white);
    bool lockedInUse = false, freeAtRelease = false;
    {
        DrawContext dc(surface, std::unique_lock(surface.mutex()), [&] {
            freeAtRelease = surface.mutex().try_lock();
            if (freeAtRelease)
                surface.mutex().unlock();
        });
        std::thread([&] {
            lockedInUse = !surface.mutex().try_lock();
            if (!lockedInUse)
                surface.mutex().unlock();
        }).join();
    }
    EXPECT_TRUE(lockedInUse) << "the surface was not locked while its context lived";
    EXPECT_TRUE(freeAtRelease) << "the release callback ran with the surface still locked";
}

class GdiText : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
            setenv("QT_QPA_PLATFORM", "offscreen", 0);
        if (QCoreApplication::instance() == nullptr)
            app_ = new QGuiApplication(argc_, argv_);
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
    }

    // Pixels of `colour` inside and outside the cell [x, x + cx) × [y, y + cy).
    static std::pair<int, int> inOut(const Picture& p, Colour colour, int x, int y, TextExtent e) {
        int in = 0, out = 0;
        for (const auto& [px, py] : pixelsOf(p, colour))
            ++(px >= x && px < x + e.cx && py >= y && py < y + e.cy ? in : out);
        return {in, out};
    }

    static inline int argc_ = 1;
    static inline char arg0_[] = "gdi_test";
    static inline char* argv_[] = {arg0_, nullptr};
    static inline QGuiApplication* app_ = nullptr;
};

TEST_F(GdiText, MetricsAndExtents) {
    Picture p(512, 300);
    DrawContext dc(p), big(p), plain(p);
    dc.setFont(Font::create("Ms Sans Serif"_cp1251, 11, 700));
    big.setFont(Font::create("MS Sans Serif", 20, 700));
    const TextMetrics m = dc.textMetrics();
    EXPECT_TRUE(m.height >= 9 && m.height <= 11) << "cell of the 11-pixel font: " << m.height;
    EXPECT_EQ(m.ascent + m.descent, m.height);
    EXPECT_GE(m.externalLeading, 0);
    EXPECT_TRUE(big.textMetrics().height > m.height && big.textMetrics().height <= 20) << big.textMetrics().height;
    EXPECT_TRUE(plain.textMetrics().height >= 13 && plain.textMetrics().height <= 18)
        << "system font cell: " << plain.textMetrics().height;
    const TextExtent one = dc.textExtent("1000"), two = dc.textExtent("10002000");
    EXPECT_EQ(one.cy, m.height);
    EXPECT_GT(one.cx, 0);
    EXPECT_EQ(two.cx, 2 * one.cx) << "advances add up";
    EXPECT_EQ(dc.textExtent("").cx, 0);
}

TEST_F(GdiText, TransparentTextStaysInItsCellAndOpaqueFillsIt) {
    static constexpr auto off = "Фильтр выключен"_cp1251;
    static constexpr auto header = "Добротность 256 <Полоса 80 Гц>"_cp1251;
    const Colour green = rgb(0, 125, 0);
    for (const std::string_view text :
         {std::string_view("Hello 123"), std::string_view(off), std::string_view(header)}) {
        Picture p(512, 300, black);
        DrawContext dc(p);
        dc.setFont(Font::create("Ms Sans Serif"_cp1251, 11, 700));
        dc.setTextColour(green);
        dc.setBackgroundMode(BackgroundMode::Transparent);
        dc.textOut(123, 5, text);
        const auto [in, out] = inOut(p, green, 123, 5, dc.textExtent(text));
        EXPECT_GT(in, 10) << cp1251ToUtf8(text);
        EXPECT_EQ(out, 0) << cp1251ToUtf8(text) << ": pixels outside the cell";
        EXPECT_EQ(pixelsOf(p, black).size() + size_t(in), 512u * 300u) << "other colours appeared";
    }
    // The decoder's character painting: black on light green, opaque, default font.
    const Colour lightGreen = rgb(128, 255, 0);
    Picture p(900, 700, white);
    DrawContext dc(p);
    dc.setBackgroundColour(lightGreen);
    static constexpr auto sha = "Ш"_cp1251;
    dc.textOut(870, 270, sha);
    const TextExtent e = dc.textExtent(sha);
    const auto [bg, bgOut] = inOut(p, lightGreen, 870, 270, e);
    const auto [ink, inkOut] = inOut(p, black, 870, 270, e);
    EXPECT_EQ(bg + ink, e.cx * e.cy) << "cell not wholly background or glyph";
    EXPECT_TRUE(ink > 5 && bg > ink) << "glyph " << ink << " background " << bg;
    EXPECT_EQ(bgOut + inkOut, 0);
    dc.textOut(895, 695, "Длина точки "_cp1251); // past the edges: clipped
    dc.textOut(INT_MAX - 3, INT_MIN + 1, "АРУ"_cp1251);
    EXPECT_EQ(p.pixel(895, 695), lightGreen) << "top-left of a clipped cell";
}

TEST_F(GdiText, CyrillicGlyphsAndWeight) {
    const auto render = [](std::string_view text, int weight) {
        Picture p(40, 30, white);
        DrawContext dc(p);
        dc.setFont(Font::create("System", 16, weight));
        dc.textOut(2, 2, text);
        return pixelsOf(p, black);
    };
    const auto d = render("Д"_cp1251, 400), zh = render("Ж"_cp1251, 400);
    EXPECT_GT(d.size(), 5u) << "Д drew nothing";
    EXPECT_NE(d, zh) << "Д and Ж look alike: a missing-glyph box?";
    EXPECT_NE(d, render("?", 400)) << "Д drew as a question mark";
    EXPECT_GT(render("Ж"_cp1251, 700).size(), zh.size()) << "weight 700 is not bolder than 400";
}

TEST_F(GdiText, TwoThreadsDrawUnderTheSharedLock) {
    Picture trace(512, 300), compose(512, 300);
    const Font font = Font::create("Ms Sans Serif"_cp1251, 11, 700);
    const auto worker = [&](int row) {
        DrawContext t(trace), c(compose);
        t.setFont(font);
        t.setTextColour(red);
        for (int i = 0; i < 100; ++i) {
            std::scoped_lock lock(trace.mutex()); // one lock for both pictures
            t.textOut(10, row, "Контакт 127.0.0.1"_cp1251);
            t.blit(0, 101, 512, 80, t, 0, 100);
            c.blit(0, 0, 512, 300, trace, 0, 0);
        }
    };
    std::thread a(worker, 20), b(worker, 60);
    a.join();
    b.join();
    EXPECT_EQ(firstDifference(compose, trace), "");
    EXPECT_FALSE(pixelsOf(compose, red).empty());
}

} // namespace
