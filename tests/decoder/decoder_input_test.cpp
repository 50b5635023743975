// The decoder window's message table: band commands from the arrows and the
// wheel, threshold clicks, status-line switches, zoom, dot training, and the
// datagram header the commands are based on. No window is needed.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "decoder/decoder_app.h"
#include "decoder_fakes.h"

namespace {

using namespace decoder_test;
using namespace platform;

LParam keyLParam(unsigned scanWithExtended) { return static_cast<LParam>((scanWithExtended << 16) | 1u); }
LParam at(unsigned x, unsigned y) { return makeLParam(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y)); }
WParam wheel(int delta) { return static_cast<WParam>(static_cast<std::uint16_t>(delta)) << 16; }

class DecoderInput : public ::testing::Test {
  protected:
    RecordedControl control;
    RecordedText text;
    decoder::DecoderApp app{control, text};

    // The station reports its band, as it does in every datagram.
    void report(std::int32_t taps, std::int32_t bandwidthHz, std::int32_t centreHz) {
        ASSERT_TRUE(app.acceptDatagram(sampleDatagram(taps, bandwidthHz, centreHz)));
    }
};

struct BandCase {
    std::string name;
    std::int32_t bandwidthHz, centreHz;
    unsigned message;
    WParam wParam;
    LParam lParam;
    bool sends;
    std::int32_t sentBandwidthHz, sentCentreHz;
};

TEST_F(DecoderInput, ArrowsAndWheelSendTheBandWithinItsLimits) {
    const BandCase cases[] = {
        {"Down at 5", 5, 1000, WM_KEYDOWN, 0, keyLParam(0x150), true, 2, 1000},
        {"Down at 500", 500, 1000, WM_KEYDOWN, 0, keyLParam(0x150), true, 490, 1000},
        {"Up at 3995", 3995, 1000, WM_KEYDOWN, 0, keyLParam(0x148), true, 3999, 1000},
        {"wheel towards user at 3995", 3995, 1000, WM_MOUSEWHEEL, wheel(-120), at(5, 5), true, 3999, 1000},
        {"wheel away at 5", 5, 1000, WM_MOUSEWHEEL, wheel(120), at(5, 5), true, 2, 1000},
        {"Right at 3690", 100, 3690, WM_KEYDOWN, 0, keyLParam(0x14D), false, 0, 0},
        {"Right at 3689", 100, 3689, WM_KEYDOWN, 0, keyLParam(0x14D), true, 100, 3699},
        {"Left at 210", 100, 210, WM_KEYDOWN, 0, keyLParam(0x14B), false, 0, 0},
        {"Left at 211", 100, 211, WM_KEYDOWN, 0, keyLParam(0x14B), true, 100, 201},
        {"keypad Up", 100, 1000, WM_KEYDOWN, 0, keyLParam(0x48), false, 0, 0},
        {"keypad Down", 100, 1000, WM_KEYDOWN, 0, keyLParam(0x50), false, 0, 0},
        {"keypad Right", 100, 1000, WM_KEYDOWN, 0, keyLParam(0x4D), false, 0, 0},
        {"keypad Left", 100, 1000, WM_KEYDOWN, 0, keyLParam(0x4B), false, 0, 0},
        // A datagram may report any 32-bit band; a step must not overflow.
        {"Up at int32 max", INT32_MAX, 1000, WM_KEYDOWN, 0, keyLParam(0x148), true, 3999, 1000},
        {"Down at int32 min", INT32_MIN, 1000, WM_KEYDOWN, 0, keyLParam(0x150), true, 2, 1000},
        {"Down at int32 max", INT32_MAX, 1000, WM_KEYDOWN, 0, keyLParam(0x150), true, INT32_MAX - 10, 1000},
        {"wheel towards user at int32 max", INT32_MAX, 1000, WM_MOUSEWHEEL, wheel(-120), at(5, 5), true, 3999, 1000},
        {"wheel away at int32 min", INT32_MIN, 1000, WM_MOUSEWHEEL, wheel(120), at(5, 5), true, 2, 1000},
        {"Right at int32 max", 100, INT32_MAX, WM_KEYDOWN, 0, keyLParam(0x14D), false, 0, 0},
        {"Right at int32 min", 100, INT32_MIN, WM_KEYDOWN, 0, keyLParam(0x14D), true, 100, INT32_MIN + 10},
        {"Left at int32 min", 100, INT32_MIN, WM_KEYDOWN, 0, keyLParam(0x14B), false, 0, 0},
        {"Left at int32 max", 100, INT32_MAX, WM_KEYDOWN, 0, keyLParam(0x14B), true, 100, INT32_MAX - 10},
    };
    for (const BandCase& c : cases) {
        SCOPED_TRACE(c.name);
        control.sent.clear();
        report(512, c.bandwidthHz, c.centreHz);
        EXPECT_TRUE(app.handleInput(c.message, c.wParam, c.lParam));
        if (!c.sends) {
            EXPECT_TRUE(control.sent.empty()) << "expected no command, got " << control.sent.size();
            continue;
        }
        ASSERT_EQ(control.sent.size(), 1u);
        const auto& d = control.sent[0];
        EXPECT_EQ(d.command, locallink::SetBand);
        EXPECT_EQ(d.value, 0);
        EXPECT_EQ(d.filterCode, 4) << "filter code of the reported 512 taps";
        EXPECT_EQ(d.bandwidthHz, c.sentBandwidthHz);
        EXPECT_EQ(d.centreHz, c.sentCentreHz);
        // The copies change only with the station's reply.
        EXPECT_EQ(app.state().bandwidthHz, c.bandwidthHz);
        EXPECT_EQ(app.state().centreHz, c.centreHz);
    }
}

TEST_F(DecoderInput, RepeatedKeysBuildOnTheLastReportedBand) {
    report(256, 100, 1000);
    app.handleInput(WM_KEYDOWN, 0, keyLParam(0x148));
    app.handleInput(WM_KEYDOWN, 0, keyLParam(0x148));
    ASSERT_EQ(control.sent.size(), 2u);
    EXPECT_EQ(control.sent[0].bandwidthHz, 110);
    EXPECT_EQ(control.sent[1].bandwidthHz, 110) << "second Up before a reply";
    report(64, 110, 1000);
    app.handleInput(WM_KEYDOWN, 0, keyLParam(0x148));
    ASSERT_EQ(control.sent.size(), 3u);
    EXPECT_EQ(control.sent[2].bandwidthHz, 120);
    EXPECT_EQ(control.sent[2].filterCode, 1);
}

TEST_F(DecoderInput, DatagramHeaderIsCheckedAndCopied) {
    auto bytes = sampleDatagram(1024, 79, 839);
    EXPECT_FALSE(app.acceptDatagram(std::span(bytes).first(19))) << "19 bytes must be ignored";
    EXPECT_EQ(app.state().bandwidthHz, 100);
    bytes[0] = 1; // kind
    EXPECT_FALSE(app.acceptDatagram(bytes)) << "kind 1 must be ignored";
    bytes[0] = 0;
    EXPECT_TRUE(app.acceptDatagram(std::span(bytes).first(20))) << "a 20-byte header is enough";
    EXPECT_EQ(app.state().filterLengthCode, 5);
    EXPECT_EQ(app.state().bandwidthHz, 79);
    EXPECT_EQ(app.state().centreHz, 839);
    EXPECT_TRUE(app.acceptDatagram(sampleDatagram(100, 79, 839)));
    EXPECT_EQ(app.state().filterLengthCode, 0) << "an unknown tap count reads as code 0";
}

TEST_F(DecoderInput, StripClicksSetTheThresholdAndTellTheStation) {
    const struct {
        unsigned x, y;
        std::int32_t threshold;
    } cases[] = {{10, 0, 300}, {10, 299, 1}, {600, 100, 200}, {800, 265, 35}};
    for (const auto& c : cases) {
        SCOPED_TRACE("click at y = " + std::to_string(c.y));
        control.sent.clear();
        const auto before = app.state();
        app.handleInput(WM_LBUTTONDOWN, MK_LBUTTON, at(c.x, c.y));
        EXPECT_EQ(app.state().timer.threshold, c.threshold);
        ASSERT_EQ(control.sent.size(), 1u);
        EXPECT_EQ(control.sent[0].command, locallink::SetKeyingThreshold);
        EXPECT_EQ(control.sent[0].value, c.threshold);
        EXPECT_EQ(control.sent[0].bandwidthHz, 0);
        // Nothing of the status line's switches changes on the strip.
        EXPECT_EQ(app.state().timer.agcOn, before.timer.agcOn);
        EXPECT_EQ(app.state().timer.autoDot, before.timer.autoDot);
        EXPECT_EQ(app.state().timer.shortPulseCheck, before.timer.shortPulseCheck);
        EXPECT_EQ(app.state().alphabet, before.alphabet);
    }
}

TEST_F(DecoderInput, StatusLineClickZonesToggleOneSwitchEach) {
    enum Switch { None, AutoDot, ShortPulse, Agc, Alphabet };
    const struct {
        unsigned x;
        Switch changes;
    } cases[] = {{0, AutoDot},      {229, AutoDot}, {230, None},     {250, None},    {251, ShortPulse},
                 {499, ShortPulse}, {500, None},    {520, None},     {521, Agc},     {699, Agc},
                 {700, None},       {750, None},    {751, Alphabet}, {899, Alphabet}};
    for (const auto& c : cases) {
        SCOPED_TRACE("click at x = " + std::to_string(c.x));
        const auto before = app.state();
        app.handleInput(WM_LBUTTONDOWN, MK_LBUTTON, at(c.x, 310));
        const auto& after = app.state();
        EXPECT_EQ(after.timer.autoDot, c.changes == AutoDot ? 1 - before.timer.autoDot : before.timer.autoDot);
        EXPECT_EQ(after.timer.shortPulseCheck,
                  c.changes == ShortPulse ? 1 - before.timer.shortPulseCheck : before.timer.shortPulseCheck);
        EXPECT_EQ(after.timer.agcOn, c.changes == Agc ? 1 - before.timer.agcOn : before.timer.agcOn);
        EXPECT_EQ(after.alphabet, c.changes == Alphabet ? (before.alphabet + 1) % 3 : before.alphabet);
        EXPECT_EQ(after.timer.threshold, before.timer.threshold);
    }
    EXPECT_TRUE(control.sent.empty()) << "status-line clicks send nothing";
}

TEST_F(DecoderInput, ZoomDigitsSpaceAndMiddleButton) {
    app.handleInput(WM_CHAR, '7', 0);
    EXPECT_EQ(app.state().zoom, 7);
    app.handleInput(WM_CHAR, '0', 0);
    EXPECT_EQ(app.state().zoom, 7) << "0 is no zoom";
    for (int i = 0; i < 4; ++i) {
        app.handleInput(WM_RBUTTONDOWN, MK_RBUTTON, at(450, 10));
    }
    EXPECT_EQ(app.state().zoom, 9) << "right click left half: +1 up to 9";
    for (int i = 0; i < 12; ++i) {
        app.handleInput(WM_RBUTTONDOWN, MK_RBUTTON, at(451, 10));
    }
    EXPECT_EQ(app.state().zoom, 1) << "right click right half: -1 down to 1";

    app.handleInput(WM_CHAR, ' ', 0);
    EXPECT_EQ(app.state().timer.autoDot, 1);
    app.handleInput(WM_CHAR, ' ', 0);
    EXPECT_EQ(app.state().timer.autoDot, 0);

    app.state().timer.markHistory[0] = 400;
    app.state().timer.markHistory[200] = 7;
    app.handleInput(WM_MBUTTONDOWN, MK_MBUTTON, at(10, 10));
    EXPECT_EQ(app.state().timer.autoDot, 1);
    EXPECT_EQ(app.state().timer.markHistory[0], 0);
    EXPECT_EQ(app.state().timer.markHistory[200], 0) << "the whole history is cleared";
    app.handleInput(WM_MBUTTONUP, 0, at(10, 10));
    EXPECT_EQ(app.state().timer.autoDot, 0);

    EXPECT_FALSE(app.handleInput(WM_MOUSEMOVE, 0, at(10, 10))) << "not the decoder's message";
    EXPECT_TRUE(control.sent.empty());
}

} // namespace
