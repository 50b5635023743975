#include "station/shell/display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "dsp/audio_constants.h"
#include "platform/cp1251.h"
#include "station/shell/band_controls.h"
#include "station/shell/station_settings.h"

namespace station {

using namespace platform::literals;
using platform::rgb;

namespace {

constexpr platform::Colour black = rgb(0, 0, 0);
constexpr platform::Colour tracePenColour = rgb(255, 0, 0);
constexpr platform::Colour markerPenColour = rgb(200, 200, 0);
constexpr platform::Colour textColour = rgb(0, 125, 0);
constexpr platform::Colour stripFrameColour = rgb(32, 64, 64);
constexpr platform::Colour filterOffColour = rgb(126, 64, 64);
constexpr platform::Colour filterOnColour = rgb(32, 128, 64);
constexpr platform::Colour lampOnColour = rgb(0, 180, 0);

// Red of palette entries 35 … 69: a ramp to 255 as it has always looked
// (the straight line 173 + i·17/7 lies one above it at entries 42, 49, 56, 63).
constexpr std::array<int, 35> redRamp = {173, 175, 177, 180, 182, 185, 187, 189, 192, 194, 197, 199,
                                         202, 204, 206, 209, 211, 214, 216, 219, 221, 223, 226, 228,
                                         231, 233, 236, 238, 240, 243, 245, 248, 250, 253, 255};

// Shown at creditX, creditY of the header area.
constexpr std::string_view creditText = "selvane 0.1";

// Largest magnitude the trace arithmetic keeps: far above the picture and
// the palette, small enough that B − m − 31 cannot overflow. Larger values,
// infinities included, are drawn as this; NaN as 0.
constexpr int magnitudeLimit = 1 << 24;

int magnitudeOf(float re, float im) {
    const double r = re;
    const double i = im;
    const double m = std::sqrt(r * r + i * i);
    if (m >= magnitudeLimit) {
        return magnitudeLimit;
    }
    return m > 0.0 ? static_cast<int>(m) : 0; // truncation; NaN fails both tests
}

} // namespace

DragView viewOf(const BandDrag& drag) {
    return {drag.dragging.load(), drag.draggingLow.load(), drag.draggingHigh.load(), drag.dragX.load()};
}

void DisplayInputs::copyPushStatusText(std::span<char> out) const {
    if (!out.empty()) {
        out[0] = '\0';
    }
}

SpectrumPalette makeSpectrumPalette() {
    SpectrumPalette palette{};
    for (int k = 0; k <= 4; ++k) {
        palette[static_cast<std::size_t>(k)] =
            rgb(15 + static_cast<int>(6.6 * k), 4 + static_cast<int>(1.8 * k), 63 + 32 * k);
    }
    for (int j = 0; j <= 29; ++j) {
        palette[static_cast<std::size_t>(5 + j)] =
            rgb(139 + static_cast<int>(j * 104.0 / 45.0), 136 + static_cast<int>(j * 101.0 / 45.0),
                43 + static_cast<int>(j * 32.0 / 45.0));
    }
    for (std::size_t i = 0; i < redRamp.size(); ++i) {
        palette[35 + i] = rgb(redRamp[i], 0, 0);
    }
    // 70 … 99 would continue the ramp of 35 … 69, which has reached 255.
    for (int i = 35; i < 65; ++i) {
        palette[static_cast<std::size_t>(35 + i)] = rgb(std::min(255, 173 + i * 17 / 7), 0, 0);
    }
    for (std::size_t i = 100; i < palette.size(); ++i) {
        palette[i] = rgb(255, 0, 0);
    }
    return palette;
}

StationDisplay::StationDisplay(const StationSettings& settings, const DisplayInputs& inputs)
    : settings_(settings), inputs_(inputs), spectrumPalette_(makeSpectrumPalette()), traceBitmap_(width, height, black),
      composeBitmap_(width, height, black), trace_(traceBitmap_), compose_(composeBitmap_) {
    const platform::Font font = platform::Font::create("Ms Sans Serif", 11, 700);
    for (platform::DrawContext* dc : {&trace_, &compose_}) {
        dc->setBrush({black});
        dc->setFont(font);
        dc->setTextColour(textColour);
        dc->setBackgroundMode(platform::BackgroundMode::Transparent);
    }
    trace_.setPen({tracePenColour});
    compose_.setPen({markerPenColour});
    const platform::TextMetrics metrics = trace_.textMetrics();
    lineHeight_ = metrics.height + metrics.externalLeading;
}

int StationDisplay::presentedRows(std::int32_t displaySize) {
    // Any size outside 1 … 4 presents as size 1.
    return displayLayout(displaySize).value_or(*displayLayout(1)).clientHeightShown;
}

void StationDisplay::drawText(int x, int y, std::string_view textCp1251) { trace_.textOut(x, y, textCp1251); }

void StationDisplay::drawScalePanel() {
    const std::lock_guard lock(mutex_);
    const int b = settings_.live.spectrumBaseY.load();
    const int lh = lineHeight_;

    trace_.fillRect(0, 0, width, height);

    // Ticks every 100 Hz, longer ones every 500 Hz; 4000 Hz falls at column
    // 512, just outside the picture.
    for (int f = 100; f <= 4000; f += 100) {
        const int x = static_cast<int>(f * scaleColumnsPerHz);
        trace_.moveTo(x, b - scaleTickTopAboveBase);
        trace_.lineTo(x, b - shortTickEndAboveBase);
    }
    for (int f = 500; f <= 4000; f += 500) {
        const int x = static_cast<int>(f * scaleColumnsPerHz);
        trace_.moveTo(x, b - scaleTickTopAboveBase);
        trace_.lineTo(x, b - longTickEndAboveBase);
    }
    for (int f = 1000; f <= 3000; f += 1000) {
        const int c = f * 128 / 1000;
        char label[16];
        const int n = std::snprintf(label, sizeof label, "%d", f);
        const std::string_view text(label, static_cast<std::size_t>(n));
        trace_.textOut(c - trace_.textExtent(text).cx / 2, b - labelTickTopAboveBase + lh, text);
        trace_.moveTo(c, b - labelTickTopAboveBase);
        trace_.lineTo(c, b - labelTickEndAboveBase);
    }

    static constexpr auto help1 = "Клавиша \"Пробел\" - изменить размер окна программы."_cp1251;
    static constexpr auto help2 = "Управление фильтром - левой кнопкой мыши и колесиком, на клавиатуре - "_cp1251;
    static constexpr auto help3 = "стрелками. Правой кнопкой мыши в левой части программы выбирается"_cp1251;
    static constexpr auto help4 = "устройство ввода, в правой части программы устройство вывода."_cp1251;
    static constexpr auto help5 = "Регулировка уровней производится системным микшером."_cp1251;
    const std::string_view help[] = {help1, help2, help3, help4, help5};
    for (int k = 1; k <= 5; ++k) {
        drawText(helpColumn, b + k * lh - helpRaiseRows, help[k - 1]);
    }
}

void StationDisplay::drawHeaderLocked() {
    const int b = settings_.live.spectrumBaseY.load();
    const std::int32_t taps = settings_.live.filterLength.load();

    trace_.fillRect(0, 0, width, b - headerAreaAboveBase);
    drawLengthStripFrameLocked();
    if (settings_.config.udpSend) {
        fillKeyingLampLocked(inputs_.keyDown() != 0);
    }
    drawFilterStateLocked(taps);
    drawLengthMarkerLocked(taps);
    drawText(creditX, creditY, creditText);
    drawStatusTextsLocked(b);
    drawConnectionTimeLocked();
    drawReceiveBufferLocked();
}

// Frame, cell borders, and a cross in the first cell (the "off" choice).
void StationDisplay::drawLengthStripFrameLocked() {
    for (int x = lengthStripLeft; x <= lengthStripRight; ++x) {
        trace_.setPixel(x, lengthStripTop, stripFrameColour);
        trace_.setPixel(x, lengthStripBottom, stripFrameColour);
    }
    for (int y = lengthStripTop; y < lengthStripBottom; ++y) {
        for (int x : {lengthStripLeft, lengthStripLeft + lengthCellWidth, lengthStripRight}) {
            trace_.setPixel(x, y, stripFrameColour);
        }
    }
    for (int k = 0; k < lengthStripBottom - lengthStripTop; ++k) {
        trace_.setPixel(lengthStripLeft + 2 * k, lengthStripTop + k, stripFrameColour);
        trace_.setPixel(lengthStripLeft + 1 + 2 * k, lengthStripTop + k, stripFrameColour);
        trace_.setPixel(lengthStripLeft + 2 * k, lengthStripBottom - k, stripFrameColour);
        trace_.setPixel(lengthStripLeft + 1 + 2 * k, lengthStripBottom - k, stripFrameColour);
    }
}

// The filled cell of the strip: the one for `taps`, the "off" cell for 32
// taps or any length the strip has no cell for.
void StationDisplay::drawLengthMarkerLocked(std::int32_t taps) {
    int cell = 0;
    switch (taps) {
    case 64:
        cell = 1;
        break;
    case 128:
        cell = 2;
        break;
    case 256:
        cell = 3;
        break;
    case 512:
        cell = 4;
        break;
    case 1024:
        cell = 5;
        break;
    default:
        break;
    }
    const int left = lengthStripLeft + cell * lengthCellWidth;
    trace_.fillRect(left, lengthStripTop + 1, left + lengthCellWidth, lengthStripBottom,
                    taps == filterOffTaps ? filterOffColour : filterOnColour);
}

void StationDisplay::fillKeyingLampLocked(bool keyDown) {
    trace_.fillRect(keyingLampLeft, keyingLampTop, keyingLampLeft + keyingLampSize, keyingLampTop + keyingLampSize,
                    keyDown ? lampOnColour : black);
}

// Formats stay ASCII and the Windows-1251 pieces go in as %s arguments:
// printf may read a format as multibyte text of the current locale.
void StationDisplay::drawPrinted(int x, int y, const char* line, int length, std::size_t capacity) {
    drawText(x, y, std::string_view(line, static_cast<std::size_t>(std::clamp<int>(length, 0, capacity - 1))));
}

// "Фильтр выключен", or "Добротность %d <Полоса %.0f Гц>" with the taps and
// the band's width in Hz.
void StationDisplay::drawFilterStateLocked(std::int32_t taps) {
    if (taps == filterOffTaps) {
        static constexpr auto filterOff = "Фильтр выключен"_cp1251;
        drawText(headerTextX, headerTextY, filterOff);
        return;
    }
    static constexpr auto quality = "Добротность "_cp1251;
    static constexpr auto band = " <Полоса "_cp1251;
    static constexpr auto hertz = " Гц>"_cp1251;
    const double bandHz =
        (static_cast<double>(settings_.live.bandHigh.load()) - settings_.live.bandLow.load()) * dsp::sampleRateHz;
    char line[320];
    const int n = std::snprintf(line, sizeof line, "%s%d%s%.0f%s", quality.c_str(), static_cast<int>(taps),
                                band.c_str(), bandHz, hertz.c_str());
    drawPrinted(headerTextX, headerTextY, line, n, sizeof line);
}

// The client's status and, on the header's last line, the Icecast push's.
void StationDisplay::drawStatusTextsLocked(int b) {
    // Copied out first: the client rewrites its text on other threads.
    char status[256];
    relay_.load(std::memory_order_acquire)->copyClientStatusText(status);
    status[sizeof status - 1] = '\0';
    drawText(clientStatusX, clientStatusY, status);

    inputs_.copyPushStatusText(status);
    status[sizeof status - 1] = '\0';
    if (status[0] != '\0') {
        drawText(statusColumn, b - headerAreaAboveBase - lineHeight_, status);
    }
}

// "Время подключения %d секунд": a connected client's time left.
void StationDisplay::drawConnectionTimeLocked() {
    const std::int32_t secondsLeft = settings_.live.timeLimit.load();
    if (!settings_.config.clientMode || !relay_.load(std::memory_order_acquire)->clientSocketOpen() ||
        secondsLeft == 0) {
        return;
    }
    static constexpr auto connectionTime = "Время подключения "_cp1251;
    static constexpr auto seconds = " секунд"_cp1251;
    char line[320];
    const int n = std::snprintf(line, sizeof line, "%s%d%s", connectionTime.c_str(), static_cast<int>(secondsLeft),
                                seconds.c_str());
    drawPrinted(statusColumn, connectionTimeY, line, n, sizeof line);
}

// "F5 <<<  Буфер приема %d пакетов (%d) >>> F6", while F4 has it shown.
void StationDisplay::drawReceiveBufferLocked() {
    if (!settings_.live.showReceiveBuffer.load()) {
        return;
    }
    static constexpr auto receiveBuffer = "F5 <<<  Буфер приема "_cp1251;
    static constexpr auto packets = " пакетов ("_cp1251;
    char line[320];
    const int n = std::snprintf(line, sizeof line, "%s%d%s%d) >>> F6", receiveBuffer.c_str(),
                                static_cast<int>(settings_.live.receiveBufferPackets.load()), packets.c_str(),
                                static_cast<int>(inputs_.playbackQueued()));
    drawPrinted(statusColumn, receiveBufferY, line, n, sizeof line);
}

void StationDisplay::drawSpectrumPanel(const float* re, const float* im, int count) {
    const std::lock_guard lock(mutex_);
    const int b = settings_.live.spectrumBaseY.load();
    const int h = settings_.live.waterfallHeight.load();

    drawHeaderLocked();

    // Waterfall: rows B … B + H − 1 move down one row; row B is redrawn below.
    trace_.blit(0, b + 1, width, h, traceBitmap_, 0, b);

    const int bins = (re == nullptr || im == nullptr) ? 0 : std::clamp(count, 0, width);
    for (int g = 0; g < bins; ++g) {
        const int m = magnitudeOf(re[g], im[g]);
        if (g == 0) {
            trace_.moveTo(0, b - traceBaseAboveBase);
        } else {
            trace_.lineTo(g, b - m - traceBaseAboveBase);
        }
        trace_.setPixel(g, b, spectrumPalette_[std::min(static_cast<std::size_t>(m), spectrumPalette_.size() - 1)]);
    }
}

void StationDisplay::presentDisplay(platform::DrawContext& target) {
    const std::lock_guard lock(mutex_);
    const int b = settings_.live.spectrumBaseY.load();
    const int h = settings_.live.waterfallHeight.load();

    compose_.blit(0, 0, width, height, traceBitmap_, 0, 0);

    if (settings_.live.filterLength.load() != filterOffTaps) {
        const int low = edgeColumn(settings_.live.bandLow.load());
        const int high = edgeColumn(settings_.live.bandHigh.load());
        const DragView drag = inputs_.dragState();
        const int lowHandle = drag.dragging && drag.draggingLow ? drag.dragX : low;
        const int highHandle = drag.dragging && drag.draggingHigh ? drag.dragX : high;
        for (int x : {lowHandle - 1, lowHandle + 1, highHandle - 1, highHandle + 1}) {
            compose_.moveTo(x, b - handleTopAboveBase);
            compose_.lineTo(x, b - handleEndAboveBase);
        }
        for (int x : {low, high}) {
            compose_.moveTo(x, b - handleTopAboveBase);
            compose_.lineTo(x, b + h - 1);
        }
    }

    target.blit(0, 0, width, presentedRows(settings_.live.displaySize.load()), composeBitmap_, 0, 0);
}

void StationDisplay::presentIntoOwnWindow(platform::DrawContext& target, int clientHeight) {
    presentDisplay(target);
    const int presented = presentedRows(settings_.live.displaySize.load());
    if (clientHeight > presented) {
        target.fillRect(0, presented, width, clientHeight, black);
    }
}

void StationDisplay::drawStatusLine(std::string_view textCp1251) {
    const std::lock_guard lock(mutex_);
    drawText(statusLineX, settings_.live.spectrumBaseY.load() + 1, textCp1251);
}

void StationDisplay::drawKeyingLamp(int keyDown) {
    const std::lock_guard lock(mutex_);
    fillKeyingLampLocked(keyDown != 0);
}

platform::Picture StationDisplay::traceSnapshot() const {
    const std::lock_guard lock(mutex_);
    return traceBitmap_.copyRegion(0, 0, width, height);
}

} // namespace station
