// The signal strip, threshold marks and status line drawn per datagram, and
// the character output that paints under the strip and appends text. Text
// painting needs the platform's fonts, so each test has a Platform.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder/decoder_app.h"
#include "decoder/decoder_program.h"
#include "decoder_fakes.h"
#include "dsp/alphabet.h"
#include "dsp/cw_generator.h"
#include "platform/cp1251.h"
#include "platform/gdi.h"
#include "platform/platform.h"

namespace {

using namespace decoder_test;
using namespace platform;
using namespace platform::literals;
using decoder::effectiveThresholdColour;
using decoder::levelColour;
using decoder::thresholdColour;
using decoder::white;

std::string hex(Colour c) {
    char b[16];
    std::snprintf(b, sizeof b, "#%06X", c);
    return b;
}

class DecoderDisplay : public ::testing::Test {
  protected:
    int argc = 1;
    char name[8] = "test";
    char* argv[2] = {name, nullptr};
    Platform platform{argc, argv};
    RecordedControl control;
    RecordedText text;
    decoder::DecoderApp app{control, text};
    Picture window{900, 600, white};
    DrawContext windowContext{window};

    void datagram(std::span<const std::int16_t> levels) {
        ASSERT_TRUE(app.acceptDatagram(sampleDatagram(256, 100, 1000, levels)));
        app.drawAndDecode(windowContext);
    }
    void constantDatagram(std::int16_t level) {
        const std::vector<std::int16_t> levels(160, level);
        datagram(levels);
    }
    Colour strip(int x, int y) const { return app.signalPixel(x, y); }

    // Feeds a keying-level stream in datagrams of 160.
    void feed(const std::vector<std::int16_t>& levels) {
        for (std::size_t i = 0; i < levels.size(); i += 160) {
            std::vector<std::int16_t> block(160, 0);
            std::copy_n(levels.begin() + static_cast<std::ptrdiff_t>(i), std::min<std::size_t>(160, levels.size() - i),
                        block.begin());
            datagram(block);
        }
    }
    // Clean keying of `text` at 22 WPM (dot 436 samples, close to the
    // initial dot length).
    void feedText(const std::string& sent) {
        const auto envelope = dsp::keyingFromText(sent, {.wpm = 22, .leadingSilenceMs = 100, .trailingSilenceMs = 100});
        ASSERT_TRUE(envelope.has_value());
        feed(dsp::keyingLevelsFrom(*envelope, {.markLevel = 200}));
    }
};

TEST_F(DecoderDisplay, ZoomThreeDrawsFourColumnsFromTheGroupMaxima) {
    app.state().zoom = 3; // groups of 53: 0–52, 53–105, 106–158, 159
    std::vector<std::int16_t> levels(160, 0);
    levels[52] = 10;
    levels[53] = 20;
    levels[105] = 20;
    levels[158] = 30;
    levels[159] = 40;
    datagram(levels);
    const int heights[] = {10, 20, 30, 40};
    for (int g = 0; g < 4; ++g) {
        SCOPED_TRACE("group " + std::to_string(g));
        const int x = 890 + g - 3; // drawn at 890 + g, then moved left by the zoom
        const int m = heights[g];
        // Row 300 is not moved; rows 301 − m … 299 are.
        EXPECT_EQ(strip(x, 301 - m), levelColour) << "top of the column, got " << hex(strip(x, 301 - m));
        EXPECT_EQ(strip(x, 299), levelColour);
        EXPECT_EQ(strip(x, 300 - m), white) << "one above the column, got " << hex(strip(x, 300 - m));
        EXPECT_EQ(window.pixel(x, 301 - m), levelColour) << "the strip reaches the window";
    }
    EXPECT_EQ(strip(891, 299), white) << "no fifth column";
}

TEST_F(DecoderDisplay, LevelsAreClippedToTheStripAndNegativesDrawNothing) {
    app.state().zoom = 1;
    constantDatagram(400);
    for (int y = 1; y < 300; ++y) {
        if (y == 265) {
            continue; // both threshold marks
        }
        ASSERT_EQ(strip(889, y), levelColour) << "row " << y << " got " << hex(strip(889, y));
        ASSERT_EQ(window.pixel(889, y), levelColour) << "window row " << y;
    }
    EXPECT_EQ(strip(890, 300), levelColour) << "row 300 is drawn but never shown";
    EXPECT_EQ(strip(889, 0), white) << "row 0 stays white";
    EXPECT_EQ(strip(889, 700 - 1), white);

    // The whitening of x ≥ 890 and a negative block leave no column; only
    // the two threshold marks remain.
    const int effectiveRow = 300 - app.state().timer.effectiveThreshold;
    constantDatagram(-500);
    for (int y = 0; y <= 300; ++y) {
        if (y != 265 && y != effectiveRow) {
            ASSERT_EQ(strip(889, y), white) << "negative level drew at row " << y;
        }
    }
}

TEST_F(DecoderDisplay, ThresholdMarksShowTheManualAndTheEffectiveThreshold) {
    app.handleInput(WM_LBUTTONDOWN, MK_LBUTTON, makeLParam(600, 310)); // AGC off
    ASSERT_EQ(app.state().timer.agcOn, 0);
    constantDatagram(0);
    // Drawn at 890 … 899, moved left by the zoom of 2.
    for (int x = 888; x < 898; ++x) {
        EXPECT_EQ(strip(x, 265), effectiveThresholdColour) << "x " << x << " got " << hex(strip(x, 265));
    }
    EXPECT_EQ(strip(887, 264), white);
    EXPECT_EQ(strip(890, 266), white);

    // AGC on and a strong signal: the effective threshold follows the peak
    // (600 / 6 = 100, row 200) while the manual one stays on row 265.
    app.handleInput(WM_LBUTTONDOWN, MK_LBUTTON, makeLParam(600, 310));
    constantDatagram(600);
    constantDatagram(600);
    EXPECT_EQ(strip(890, 265), thresholdColour) << "got " << hex(strip(890, 265));
    EXPECT_EQ(strip(890, 200), effectiveThresholdColour) << "got " << hex(strip(890, 200));
}

TEST_F(DecoderDisplay, StatusLineIsTextInTheWindowAndFollowsTheSwitches) {
    constantDatagram(0);
    const Picture before = window.copyRegion(0, 305, 900, 30);
    bool anyInk = false;
    for (int y = 0; y < 30 && !anyInk; ++y) {
        for (int x = 10; x < 200; ++x) {
            anyInk = anyInk || before.pixel(x, y) != white;
        }
    }
    EXPECT_TRUE(anyInk) << "no status text drawn";
    // Only the window's default black-on-white text, no strip colours.
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 900; ++x) {
            const Colour c = before.pixel(x, y);
            ASSERT_TRUE(((c >> 16) & 0xFF) == (c & 0xFF) && ((c >> 8) & 0xFF) == (c & 0xFF))
                << "coloured status pixel " << hex(c) << " at " << x;
        }
    }
    // Each switch changes its own zone of the line.
    const struct {
        LParam click;
        int left, right;
    } zones[] = {{makeLParam(100, 310), 10, 230}, {makeLParam(300, 310), 230, 600}, {makeLParam(800, 310), 800, 900}};
    for (const auto& z : zones) {
        const Picture old = window.copyRegion(0, 305, 900, 30);
        app.handleInput(WM_LBUTTONDOWN, MK_LBUTTON, z.click);
        constantDatagram(0);
        bool changed = false;
        for (int y = 0; y < 30; ++y) {
            for (int x = z.left; x < z.right; ++x) {
                changed = changed || window.pixel(x, 305 + y) != old.pixel(x, y);
            }
        }
        EXPECT_TRUE(changed) << "zone " << z.left << " … " << z.right << " did not change";
    }
}

TEST_F(DecoderDisplay, F2SwitchesTheDecoderAndALineBelowTheStatusNamesIt) {
    // The rows of the decoder line, above the text window.
    const auto decoderLine = [&] { return window.copyRegion(decoder::decoderLineX, decoder::decoderLineY, 365, 16); };
    const auto differing = [](const Picture& a, const Picture& b) {
        int n = 0;
        for (int y = 0; y < a.height(); ++y) {
            for (int x = 0; x < a.width(); ++x) {
                n += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
            }
        }
        return n;
    };
    const Picture blank(365, 16, white);
    const LParam f2 = static_cast<LParam>((decoder::scanDecoderToggle << 16) | 1U);
    constantDatagram(0);
    EXPECT_EQ(differing(decoderLine(), blank), 0) << "no decoder chosen: the window is as it always was";

    const decoder::DecoderKind after[] = {decoder::DecoderKind::Weak, decoder::DecoderKind::Classic,
                                          decoder::DecoderKind::Weak};
    std::vector<Picture> lines;
    for (const decoder::DecoderKind kind : after) {
        EXPECT_TRUE(app.handleInput(WM_KEYDOWN, 0, f2));
        EXPECT_EQ(app.selectedDecoder(), kind);
        constantDatagram(0);
        lines.push_back(decoderLine());
        EXPECT_GT(differing(lines.back(), blank), 0) << decoder::decoderKindName(kind) << " is not named";
    }
    EXPECT_GT(differing(lines[0], lines[1]), 0) << "the two decoders have the same name";
    EXPECT_EQ(differing(lines[0], lines[2]), 0)
        << "the weak decoder's line, drawn over the classic one's, leaves traces";
}

// A datagram draws only the status texts that changed; the window must end
// up as if every datagram drew them all.
TEST_F(DecoderDisplay, StatusLinesDrawnOnChangeOnlyMatchAFullRedraw) {
    RecordedText fullText;
    decoder::DecoderApp full(control, fullText);
    Picture fullWindow(900, 600, white);
    DrawContext fullContext(fullWindow);
    const LParam f2 = static_cast<LParam>((decoder::scanDecoderToggle << 16) | 1U);
    const struct {
        const char* what;
        unsigned message; // 0: none
        WParam wParam;
        LParam lParam;
        std::int32_t dotLength; // 0: unchanged
    } steps[] = {
        {"first datagram", 0, 0, 0, 0},
        {"nothing changed", 0, 0, 0, 0},
        {"AGC off", WM_LBUTTONDOWN, MK_LBUTTON, makeLParam(600, 310), 0},
        {"short-pulse check off", WM_LBUTTONDOWN, MK_LBUTTON, makeLParam(300, 310), 0},
        {"automatic dot off", WM_CHAR, ' ', 0, 0},
        {"new dot length", 0, 0, 0, 300},
        {"next alphabet", WM_LBUTTONDOWN, MK_LBUTTON, makeLParam(800, 310), 0},
        {"weak decoder", WM_KEYDOWN, 0, f2, 0},
        {"AGC on under the decoder line", WM_LBUTTONDOWN, MK_LBUTTON, makeLParam(600, 310), 0},
        {"classic decoder", WM_KEYDOWN, 0, f2, 0},
        {"nothing changed again", 0, 0, 0, 0},
    };
    const std::vector<std::int16_t> levels(160, 50);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        for (decoder::DecoderApp* a : {&app, &full}) {
            if (step.message != 0) {
                a->handleInput(step.message, step.wParam, step.lParam);
            }
            if (step.dotLength != 0) {
                a->state().timer.dotLength = step.dotLength;
            }
        }
        full.statusOverdrawn();
        datagram(levels);
        ASSERT_TRUE(full.acceptDatagram(sampleDatagram(256, 100, 1000, levels)));
        full.drawAndDecode(fullContext);
        int differing = 0;
        for (int y = 0; y < window.height(); ++y) {
            for (int x = 0; x < window.width(); ++x) {
                differing += window.pixel(x, y) != fullWindow.pixel(x, y) ? 1 : 0;
            }
        }
        ASSERT_EQ(differing, 0);
    }
}

// The strip is kept in a ring that is wider than the picture; across the
// ring's end and at every zoom it must show what one picture scrolled by
// whole-picture copies shows. Levels stay at or under the threshold, so no
// character is painted.
TEST_F(DecoderDisplay, StripInItsRingMatchesOneScrolledPicture) {
    Picture expected(900, 700, white);
    DrawContext reference(expected);
    const auto drawReference = [&](int zoom, std::span<const std::int16_t> levels, std::int32_t threshold,
                                   std::int32_t effective) {
        reference.fillRect(890, 0, 900, 700, white);
        for (int g = 0; g * (160 / zoom) < 160; ++g) {
            int m = 0;
            for (int i = g * (160 / zoom); i < std::min(160, (g + 1) * (160 / zoom)); ++i) {
                m = std::max<int>(m, levels[static_cast<std::size_t>(i)]);
            }
            for (int y = 300; y > 300 - std::min(m, 300); --y) {
                reference.setPixel(890 + g, y, levelColour);
            }
        }
        for (const auto& [t, colour] : {std::pair{threshold, thresholdColour}, {effective, effectiveThresholdColour}}) {
            reference.fillRect(890, 300 - t, 900, 301 - t, colour);
        }
        reference.blit(0, 0, 897, 300, expected, zoom, 0);
    };
    const struct {
        int zoom, datagrams;
        std::int32_t threshold;
        int lowest, highest; // levels
    } phases[] = {
        {1, 30, 400, 0, 300},      // tall columns, no mark
        {9, 110, 290, 0, 290},     // past the ring's end
        {2, 60, -120, -300, -120}, // marks below the strip, no columns
        {5, 200, 150, 0, 150},     // past the end again
        {3, 10, 0, -10, 0},
    };
    app.state().timer.agcOn = 0; // the effective threshold is the manual one
    unsigned seed = 7;
    for (const auto& phase : phases) {
        SCOPED_TRACE("zoom " + std::to_string(phase.zoom));
        app.state().zoom = phase.zoom;
        app.state().timer.threshold = phase.threshold;
        for (int d = 0; d < phase.datagrams; ++d) {
            std::vector<std::int16_t> levels(160);
            for (auto& l : levels) {
                seed = seed * 1103515245u + 12345u;
                l = static_cast<std::int16_t>(
                    phase.lowest +
                    static_cast<int>((seed >> 8) % static_cast<unsigned>(phase.highest - phase.lowest + 1)));
            }
            // The effective threshold follows the manual one from the datagram's decoding on.
            drawReference(phase.zoom, levels, phase.threshold, app.state().timer.effectiveThreshold);
            datagram(levels);
        }
        int differing = 0;
        for (int y = 0; y < 700; ++y) {
            for (int x = 0; x < 900; ++x) {
                differing += strip(x, y) != expected.pixel(x, y) ? 1 : 0;
                differing += y < 300 && window.pixel(x, y) != expected.pixel(x, y) ? 1 : 0;
            }
        }
        ASSERT_EQ(differing, 0);
    }
    EXPECT_EQ(text.bytes, "") << "a character was painted: the comparison does not hold";
}

TEST_F(DecoderDisplay, CharactersArePaintedUnderTheStripAndAppended) {
    feedText("5 E");
    EXPECT_EQ(text.bytes, "5 E");
    // The digit's readings ride on light cyan, the letter's on light green;
    // the digit came first, so it has scrolled further left.
    int cyanX = -1, greenX = -1;
    for (int x = 0; x < 900; ++x) {
        for (int y = 200; y < 300; ++y) {
            const Colour c = strip(x, y);
            if (c == decoder::digitBackground && cyanX < 0) {
                cyanX = x;
            }
            if (c == decoder::textBackground && greenX < 0) {
                greenX = x;
            }
        }
    }
    ASSERT_GE(cyanX, 0) << "no light cyan digit background";
    ASSERT_GE(greenX, 0) << "no light green letter background";
    EXPECT_LT(cyanX, greenX);
    // All three readings are painted: rows 210, 240 and 270 carry the background.
    for (const int row : {212, 242, 272}) {
        bool found = false;
        for (int x = 0; x < 900 && !found; ++x) {
            found = strip(x, row) == decoder::textBackground;
        }
        EXPECT_TRUE(found) << "no reading painted near row " << row;
    }
}

TEST_F(DecoderDisplay, SelectedAlphabetDecidesTheAppendedText) {
    const struct {
        dsp::Alphabet alphabet;
        std::string expected;
    } cases[] = {
        {dsp::Latin, "IVY 5"},
        {dsp::Russian, std::string("ИЖЫ 5"_cp1251)},
        {dsp::Ukrainian, std::string("IЖИ 5"_cp1251)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("alphabet " + std::to_string(c.alphabet));
        // A fresh decoder each time, so no silence carries over as a word gap.
        RecordedText fresh;
        decoder::DecoderApp decoderApp(control, fresh);
        decoderApp.state().alphabet = c.alphabet;
        const auto envelope =
            dsp::keyingFromText("IVY 5", {.wpm = 22, .leadingSilenceMs = 100, .trailingSilenceMs = 100});
        ASSERT_TRUE(envelope.has_value());
        const auto levels = dsp::keyingLevelsFrom(*envelope, {.markLevel = 200});
        for (std::size_t i = 0; i < levels.size(); i += 160) {
            std::vector<std::int16_t> block(160, 0);
            std::copy_n(levels.begin() + static_cast<std::ptrdiff_t>(i), std::min<std::size_t>(160, levels.size() - i),
                        block.begin());
            ASSERT_TRUE(decoderApp.acceptDatagram(sampleDatagram(256, 100, 1000, block)));
            decoderApp.drawAndDecode(windowContext);
        }
        EXPECT_EQ(platform::cp1251ToUtf8(fresh.bytes), platform::cp1251ToUtf8(c.expected));
    }
}

TEST_F(DecoderDisplay, TextWindowSinkTypesIntoTheEditAndEchoesUtf8) {
    WindowClass wc;
    wc.name = "decoder-test";
    wc.procedure = [this](WindowHandle w, unsigned m, WParam wp, LParam lp) {
        return platform.defWindowProc(w, m, wp, lp);
    };
    ASSERT_TRUE(platform.registerClass(wc));
    WindowOptions options;
    options.className = "decoder-test";
    options.width = 900;
    options.height = 600;
    options.visible = false;
    const WindowHandle main = platform.createWindow(options);
    ASSERT_NE(main, 0u);
    const WindowHandle edit = platform.createEdit(main, 525, 341, 365, 215);
    ASSERT_NE(edit, 0u);

    std::FILE* echo = std::tmpfile();
    ASSERT_NE(echo, nullptr);
    decoder::TextWindowSink sink(platform, echo);
    sink.setEdit(edit);
    const std::string sent = std::string("CQ Я"_cp1251) + "\xB2";
    for (const char c : sent) {
        sink.append(static_cast<unsigned char>(c));
    }
    EXPECT_EQ(platform.editText(edit), sent);
    std::rewind(echo);
    char buffer[64] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, echo);
    std::fclose(echo);
    EXPECT_EQ(std::string(buffer, n), "CQ Я\u0406");

    char out[4];
    EXPECT_EQ(decoder::cp1251ByteToUtf8(0x98, out), 0u) << "0x98 has no character";
    EXPECT_EQ(decoder::cp1251ByteToUtf8(0x85, out), 3u); // … is U+2026
    EXPECT_EQ(std::string(out, 3), "\u2026");
}

} // namespace

// A window may be shown fewer pictures than datagrams: a held-back datagram
// is decoded but not drawn, and whatever shows it later (the next datagram
// drawn, or presentHeldBack) must give the window exactly the pixels of a
// window drawn for every datagram, characters and status changes included.
TEST_F(DecoderDisplay, HeldBackPicturesAreThoseOfDrawingEveryDatagram) {
    const auto envelope =
        dsp::keyingFromText("CQ 5 TEST", {.wpm = 17, .leadingSilenceMs = 100, .trailingSilenceMs = 100});
    ASSERT_TRUE(envelope.has_value());
    const std::vector<std::int16_t> levels = dsp::keyingLevelsFrom(*envelope, {.markLevel = 200});
    const auto same = [](Picture& a, Picture& b) {
        for (int y = 0; y < a.height(); ++y) {
            if (!std::equal(a.pixels() + y * a.stride(), a.pixels() + y * a.stride() + a.width(),
                            b.pixels() + y * b.stride())) {
                return false;
            }
        }
        return true;
    };
    const struct {
        const char* what;
        int period;      // datagram i (from 1) is held back unless i % period == 0; 0: all are
        bool timerShows; // presentHeldBack after each held datagram whose successor is drawn, or all
    } cases[] = {
        {"every other one held, shown by the next one", 2, false},
        {"runs of three held, the last shown by the timer", 4, true},
        {"all held, each shown by the timer", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordedText everyText, heldText;
        decoder::DecoderApp every(control, everyText), held(control, heldText);
        Picture everyWindow(900, 600, white), heldWindow(900, 600, white);
        DrawContext everyContext(everyWindow), heldContext(heldWindow);
        for (decoder::DecoderApp* a : {&every, &held}) {
            a->handleInput(WM_CHAR, ' ', 0); // automatic dot length: decoding changes the status line
        }
        int heldWithCharacters = 0;
        int index = 1;
        for (std::size_t i = 0; i < levels.size(); i += 160, ++index) {
            std::vector<std::int16_t> block(160, 0);
            std::copy_n(levels.begin() + static_cast<std::ptrdiff_t>(i), std::min<std::size_t>(160, levels.size() - i),
                        block.begin());
            const auto bytes = sampleDatagram(256, 100, 1000, block);
            ASSERT_TRUE(every.acceptDatagram(bytes) && held.acceptDatagram(bytes));
            every.drawAndDecode(everyContext);
            const bool hold = c.period == 0 || index % c.period != 0;
            const std::size_t textBefore = heldText.bytes.size();
            held.drawAndDecode(hold ? nullptr : &heldContext);
            ASSERT_EQ(held.heldBack(), hold);
            heldWithCharacters += hold && heldText.bytes.size() != textBefore ? 1 : 0;
            if (hold && c.timerShows && (c.period == 0 || (index + 1) % c.period == 0)) {
                held.presentHeldBack(heldContext);
            }
            if (!held.heldBack()) {
                ASSERT_TRUE(same(everyWindow, heldWindow)) << "after datagram " << index;
            }
        }
        held.presentHeldBack(heldContext);
        EXPECT_TRUE(same(everyWindow, heldWindow)) << "at the end";
        EXPECT_EQ(heldText.bytes, everyText.bytes);
        EXPECT_GT(heldWithCharacters, 0) << "no character was decoded in a held-back datagram";
    }
}
