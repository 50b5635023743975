#include "decoder/decoder_app.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "dsp/alphabet.h"
#include "platform/cp1251.h"

namespace decoder {

using namespace platform::literals;
using platform::DrawContext;

namespace {

constexpr auto dotLengthLabel = "Длина точки "_cp1251;
constexpr auto autoDotLabel = "[ Автомат ]"_cp1251;
constexpr auto shortPulseOnLabel = "Включена проверка на короткие импульсы"_cp1251;
constexpr auto shortPulseOffLabel = "Выключена проверка на короткие импульсы"_cp1251;
constexpr auto agcOnLabel = "АРУ включено"_cp1251;
constexpr auto agcOffLabel = "АРУ выключено"_cp1251;
constexpr auto latinLabel = "Латиница"_cp1251;
constexpr auto russianLabel = "Русский"_cp1251;
constexpr auto ukrainianLabel = "Украинский"_cp1251;
constexpr auto classicDecoderLabel = "Декодер: классический"_cp1251;
constexpr auto weakDecoderLabel = "Декодер: слабых сигналов"_cp1251;
constexpr auto decibelLabel = " дБ"_cp1251;

// Column of the strip where a closed character's readings are painted, just
// left of the newest columns, so each reading scrolls with its marks.
constexpr int readingX = 870;
// First column a held-back picture keeps of the strip: a glyph may reach a
// few pixels left of its cell.
constexpr int heldColumnsX = readingX - 8;

// A short status text built without allocating.
class StatusText {
  public:
    StatusText& add(std::string_view s) {
        const std::size_t n = std::min(s.size(), bytes_.size() - size_);
        std::memcpy(bytes_.data() + size_, s.data(), n);
        size_ += n;
        return *this;
    }
    StatusText& spaces(std::size_t count) {
        const std::size_t n = std::min(count, bytes_.size() - size_);
        std::memset(bytes_.data() + size_, ' ', n);
        size_ += n;
        return *this;
    }
    StatusText& number(std::int32_t value, const char* format = "% 5d") {
        char digits[16];
        const int n = std::snprintf(digits, sizeof digits, format, static_cast<int>(value));
        return add({digits, n > 0 ? std::min(static_cast<std::size_t>(n), sizeof digits - 1) : 0});
    }
    std::string_view view() const { return {bytes_.data(), size_}; }

  private:
    std::array<char, 96> bytes_{};
    std::size_t size_ = 0;
};

bool toggled(std::int32_t flag) { return flag == 0; }

} // namespace

DecoderApp::DecoderApp(ControlSink& control, TextSink& text, DecoderKind initial)
    : control_(control), text_(text), stripRing_(stripRingWidth, stripHeight, white),
      stripBelow_(signalPictureWidth, signalPictureHeight - stripHeight, white), pictureContext_(stripRing_),
      selected_(initial), decoderLineShown_(initial == DecoderKind::Weak),
      weak_(std::make_unique<dsp::WeakSignalDecoder>()),
      heldColumns_(signalPictureWidth - heldColumnsX, stripHeight, white), heldColumnsContext_(heldColumns_) {
    pictureContext_.setTextColour(platform::rgb(0, 0, 0));
    pictureContext_.setBackgroundColour(textBackground);
    pictureContext_.setBackgroundMode(platform::BackgroundMode::Opaque);
}

DecoderApp::~DecoderApp() = default;

// The weak-signal decoder starts afresh each time it is selected: what it
// learnt of an earlier signal (speed, pitch, levels) may no longer hold.
void DecoderApp::selectDecoder(DecoderKind kind) {
    if (kind == DecoderKind::Weak && selected_ != DecoderKind::Weak) {
        weak_->reset();
        weakAlphabet_ = -1; // set again before the next feed
    }
    selected_ = kind;
    decoderLineShown_ = true;
}

void DecoderApp::sendControl(std::int32_t command, std::int32_t value, std::int32_t filterCode,
                             std::int32_t bandwidthHz, std::int32_t centreHz) {
    locallink::ControlDatagram d;
    d.command = command;
    d.value = value;
    d.filterCode = filterCode;
    d.bandwidthHz = bandwidthHz;
    d.centreHz = centreHz;
    control_.send(d);
}

// The station's copies stay as reported: the change shows up only in the
// header of a later datagram.
void DecoderApp::sendBand(std::int32_t bandwidthHz, std::int32_t centreHz) {
    sendControl(locallink::SetBand, 0, state_.filterLengthCode, bandwidthHz, centreHz);
}

// The reported band is whatever a datagram said, any 32-bit value, so a
// step is taken in 64 bits; every result that is sent fits 32 bits again
// (it is limited on the side the step moved towards).
void DecoderApp::onKeyDown(platform::LParam lParam) {
    const std::int64_t bandwidth = state_.bandwidthHz;
    const std::int64_t centre = state_.centreHz;
    switch (platform::keyScanCode(lParam)) {
    case scanUp:
        sendBand(static_cast<std::int32_t>(std::min<std::int64_t>(bandwidth + bandStepHz, maxBandwidthHz)),
                 state_.centreHz);
        break;
    case scanDown:
        sendBand(static_cast<std::int32_t>(std::max<std::int64_t>(bandwidth - bandStepHz, minBandwidthHz)),
                 state_.centreHz);
        break;
    case scanRight:
        if (const std::int64_t c = centre + bandStepHz; c < highestCentreHz) {
            sendBand(state_.bandwidthHz, static_cast<std::int32_t>(c));
        }
        break;
    case scanLeft:
        if (const std::int64_t c = centre - bandStepHz; c > lowestCentreHz) {
            sendBand(state_.bandwidthHz, static_cast<std::int32_t>(c));
        }
        break;
    case scanDecoderToggle:
        selectDecoder(selected_ == DecoderKind::Weak ? DecoderKind::Classic : DecoderKind::Weak);
        break;
    default:
        break;
    }
}

void DecoderApp::onLeftButton(unsigned x, unsigned y) {
    if (y < static_cast<unsigned>(stripHeight)) {
        state_.timer.threshold = stripHeight - static_cast<std::int32_t>(y);
        sendControl(locallink::SetKeyingThreshold, state_.timer.threshold, 0, 0, 0);
        return;
    }
    // The status line's click zones follow its texts.
    if (x < 230) {
        state_.timer.autoDot = toggled(state_.timer.autoDot);
    } else if (x > 250 && x < 500) {
        state_.timer.shortPulseCheck = toggled(state_.timer.shortPulseCheck);
    } else if (x > 520 && x < 700) {
        state_.timer.agcOn = toggled(state_.timer.agcOn);
    } else if (x > 750) {
        state_.alphabet = nextAlphabet(state_.alphabet);
    }
}

bool DecoderApp::handleInput(unsigned message, platform::WParam wParam, platform::LParam lParam) {
    const auto lp = static_cast<std::uintptr_t>(lParam);
    const unsigned x = platform::loWord(lp);
    const unsigned y = platform::hiWord(lp);
    switch (message) {
    case platform::WM_KEYDOWN:
        onKeyDown(lParam);
        return true;
    case platform::WM_CHAR:
        if (wParam >= '1' && wParam <= '9') {
            state_.zoom = static_cast<std::int32_t>(wParam - '0');
        } else if (wParam == ' ') {
            state_.timer.autoDot = toggled(state_.timer.autoDot);
        }
        return true;
    case platform::WM_LBUTTONDOWN:
        onLeftButton(x, y);
        return true;
    case platform::WM_RBUTTONDOWN:
        if (x <= 450) {
            state_.zoom = std::min(state_.zoom + 1, 9);
        } else {
            state_.zoom = std::max(state_.zoom - 1, 1);
        }
        return true;
    case platform::WM_MBUTTONDOWN:
        dsp::startDotTraining(state_.timer);
        return true;
    case platform::WM_MBUTTONUP:
        dsp::stopDotTraining(state_.timer);
        return true;
    case platform::WM_MOUSEWHEEL: {
        // Towards the user (negative distance) widens the band.
        const auto delta = static_cast<std::int16_t>(platform::hiWord(wParam));
        const std::int64_t b = std::int64_t{state_.bandwidthHz} + (delta < 0 ? bandStepHz : -bandStepHz);
        sendBand(static_cast<std::int32_t>(std::clamp<std::int64_t>(b, minBandwidthHz, maxBandwidthHz)),
                 state_.centreHz);
        return true;
    }
    default:
        return false;
    }
}

bool DecoderApp::acceptDatagram(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 20) {
        return false;
    }
    // Whatever the station did not send reads as 0 (silence), never as the
    // levels of an earlier datagram.
    locallink::SampleDatagram d{};
    std::memcpy(&d, bytes.data(), std::min(bytes.size(), sizeof d));
    if (d.kind != 0) {
        return false;
    }
    state_.filterLengthCode = locallink::filterLengthCode(d.filterTaps);
    state_.bandwidthHz = d.bandwidthHz;
    state_.centreHz = d.centreHz;
    std::memcpy(keyingLevels_, d.keyingLevel, sizeof keyingLevels_);
    std::memcpy(samples_, d.samples, sizeof samples_);
    return true;
}

platform::Colour DecoderApp::signalPixel(int x, int y) const {
    if (x < 0 || x >= signalPictureWidth || y < 0) {
        return 0;
    }
    return y < stripHeight ? stripRing_.pixel(stripOrigin_ + x, y) : stripBelow_.pixel(x, y - stripHeight);
}

void DecoderApp::drawStrip() {
    const int zoom = std::clamp(state_.zoom, 1, 9);
    const int o = stripOrigin_;
    std::uint32_t* const ring = stripRing_.pixels();
    const int ringStride = stripRing_.stride();
    std::uint32_t* const below = stripBelow_.pixels();
    const int belowStride = stripBelow_.stride();
    const auto belowRow = [&](int row) { return below + static_cast<std::ptrdiff_t>(row) * belowStride; };

    // The newest columns start white. Below the strip only their first row
    // (the level row) and the marks of the last datagram can be anything else.
    pictureContext_.fillRect(o + stripNewX, 0, o + signalPictureWidth, stripHeight, white);
    for (const int row : {0, belowMarkRows_[0], belowMarkRows_[1]}) {
        if (row >= 0) {
            std::fill(belowRow(row) + stripNewX, belowRow(row) + signalPictureWidth, platform::storedPixel(white));
        }
    }

    // One column per group of s samples, from the group's largest level.
    // Row stripHeight lies just below the shown rows, so a level of m shows
    // m − 1 pixels.
    const int s = locallink::samplesPerDatagram / zoom;
    for (int start = 0, g = 0; start < locallink::samplesPerDatagram; start += s, ++g) {
        const int end = std::min(start + s, locallink::samplesPerDatagram);
        int m = 0;
        for (int i = start; i < end; ++i) {
            m = std::max<int>(m, keyingLevels_[i]);
        }
        m = std::min(m, stripHeight);
        const int x = stripNewX + g;
        if (m > 0) {
            belowRow(0)[x] = platform::storedPixel(levelColour);
        }
        for (int y = stripHeight - 1; y > stripHeight - m; --y) {
            ring[static_cast<std::ptrdiff_t>(y) * ringStride + o + x] = platform::storedPixel(levelColour);
        }
    }

    // Thresholds far outside the strip fall outside the picture and are
    // not drawn.
    const auto mark = [&](std::int32_t threshold, platform::Colour colour, int& belowMarkRow) {
        belowMarkRow = -1;
        const std::int64_t y = std::int64_t{stripHeight} - threshold;
        if (y < 0 || y >= signalPictureHeight) {
            return;
        }
        const int row = static_cast<int>(y);
        if (row < stripHeight) {
            pictureContext_.fillRect(o + stripNewX, row, o + stripNewX + 10, row + 1, colour);
        } else {
            belowMarkRow = row - stripHeight;
            std::fill(belowRow(belowMarkRow) + stripNewX, belowRow(belowMarkRow) + stripNewX + 10,
                      platform::storedPixel(colour));
        }
    };
    mark(state_.timer.threshold, thresholdColour, belowMarkRows_[0]);
    mark(state_.timer.effectiveThreshold, effectiveThresholdColour, belowMarkRows_[1]);

    // Scroll left by zoom columns: the origin moves right. Columns from
    // `kept` on are not scrolled (the last three, and those the scroll would
    // fill from beyond the picture's edge): they go to the new origin as they
    // are. Near the ring's end the shown columns first go back to its start.
    const int kept = std::min(signalPictureWidth - 3, signalPictureWidth - zoom);
    int from = o;
    if (o + zoom + signalPictureWidth > stripRingWidth) {
        pictureContext_.blit(0, 0, signalPictureWidth, stripHeight, stripRing_, o, 0);
        from = 0;
    }
    stripOrigin_ = from + zoom;
    pictureContext_.blit(stripOrigin_ + kept, 0, signalPictureWidth - kept, stripHeight, stripRing_, from + kept, 0);
}

void DecoderApp::statusOverdrawn() { statusShown_.reset(); }

void DecoderApp::drawStatus(DrawContext& window, const StatusShown& shown) {
    StatusText dot;
    dot.add(dotLengthLabel).number(shown.dotLength).spaces(4);
    if (shown.autoDot != 0) {
        dot.add(autoDotLabel);
    } else {
        dot.spaces(19);
    }
    dot.spaces(8);
    window.textOut(10, statusY, dot.view());

    StatusText alphabet;
    alphabet
        .add(shown.alphabet == dsp::Russian     ? std::string_view(russianLabel)
             : shown.alphabet == dsp::Ukrainian ? std::string_view(ukrainianLabel)
                                                : std::string_view(latinLabel))
        .spaces(10);
    window.textOut(800, statusY, alphabet.view());

    StatusText pulse;
    pulse.add(shown.shortPulseCheck != 0 ? std::string_view(shortPulseOnLabel) : std::string_view(shortPulseOffLabel))
        .spaces(10);
    window.textOut(230, statusY, pulse.view());

    StatusText agc;
    agc.add(shown.agcOn != 0 ? std::string_view(agcOnLabel) : std::string_view(agcOffLabel)).spaces(10);
    window.textOut(600, statusY, agc.view());
}

void DecoderApp::drawDecoderLine(DrawContext& window, const StatusShown& shown) {
    StatusText line;
    if (shown.kind == DecoderKind::Weak) {
        line.add(weakDecoderLabel);
        if (shown.estimated) {
            line.spaces(3).number(shown.wpm, "%d WPM");
            line.spaces(3).number(shown.snrDb, "%d").add(decibelLabel);
        }
    } else {
        line.add(classicDecoderLabel);
    }
    // Wipes the rest of a longer earlier text.
    line.spaces(24);
    window.textOut(decoderLineX, decoderLineY, line.view());
}

DecoderApp::StatusShown DecoderApp::statusNow() const {
    const dsp::ElementTimer& t = state_.timer;
    StatusShown shown{
        t.dotLength, t.autoDot, state_.alphabet, t.shortPulseCheck, t.agcOn, decoderLineShown_, selected_, false, 0, 0};
    if (decoderLineShown_ && selected_ == DecoderKind::Weak) {
        const dsp::WeakDecoderEstimates e = weak_->estimates();
        if (e.wpm > 0.0) {
            shown.estimated = true;
            shown.wpm = static_cast<std::int32_t>(std::lround(e.wpm));
            shown.snrDb = static_cast<std::int32_t>(std::lround(e.snrDb));
        }
    }
    return shown;
}

// The two lines overlap by a row, and glyphs reach a little past their
// cells, so they are drawn together, in this order, whenever either one's
// text changes; unchanged, both are already in the window.
void DecoderApp::drawStatusLines(DrawContext& window, const StatusShown& shown) {
    if (statusShown_ == shown) {
        return;
    }
    statusShown_ = shown;
    drawStatus(window, shown);
    if (shown.decoderLine) {
        drawDecoderLine(window, shown);
    }
}

// The strip as drawStrip left it (characters painted since then taken back
// out) and the status lines of heldStatus_.
void DecoderApp::present(DrawContext& window) {
    window.blit(0, 0, signalPictureWidth, stripHeight, stripRing_, stripOrigin_, 0);
    if (heldColumnsSaved_) {
        window.blit(heldColumnsX, 0, heldColumns_.width(), stripHeight, heldColumns_, 0, 0);
    }
    drawStatusLines(window, heldStatus_);
}

void DecoderApp::drawAndDecode(DrawContext& window) { drawAndDecode(&window); }

void DecoderApp::drawAndDecode(DrawContext* window) {
    drawStrip();
    heldStatus_ = statusNow();
    heldColumnsSaved_ = false;
    heldBack_ = window == nullptr;
    if (window != nullptr) {
        present(*window);
    }
    dsp::decodeKeyingLevels(state_.timer, keyingLevels_, *this);
    if (selected_ == DecoderKind::Weak) {
        if (weakAlphabet_ != state_.alphabet) {
            weakAlphabet_ = state_.alphabet;
            weak_->setAlphabet(static_cast<dsp::Alphabet>(weakAlphabet_));
        }
        for (const dsp::DecodedCharacter& c : weak_->feed(samples_)) {
            for (const char* b = c.text; *b != '\0'; ++b) {
                text_.append(static_cast<unsigned char>(*b));
            }
        }
    }
}

void DecoderApp::presentHeldBack(DrawContext& window) {
    if (heldBack_) {
        present(window);
        heldBack_ = false;
    }
}

void DecoderApp::character(dsp::ElementCode elementCode) {
    const dsp::CharacterReadings r = dsp::readCharacter(elementCode, state_.alphabet);
    if (heldBack_ && !heldColumnsSaved_) {
        heldColumnsContext_.blit(0, 0, heldColumns_.width(), stripHeight, stripRing_, stripOrigin_ + heldColumnsX, 0);
        heldColumnsSaved_ = true;
    }
    if (r.digit) {
        pictureContext_.setBackgroundColour(digitBackground);
    }
    pictureContext_.textOut(stripOrigin_ + readingX, 270, r.latin);
    pictureContext_.textOut(stripOrigin_ + readingX, 240, r.russian);
    pictureContext_.textOut(stripOrigin_ + readingX, 210, r.ukrainian);
    if (selected_ == DecoderKind::Classic) {
        for (const char c : r.selected) {
            text_.append(static_cast<unsigned char>(c));
        }
    }
    pictureContext_.setBackgroundColour(textBackground);
}

void DecoderApp::wordGap() {
    if (selected_ == DecoderKind::Classic) {
        text_.append(' ');
    }
}

} // namespace decoder
