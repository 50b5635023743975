// The widget behind each top-level window and the translation of desktop
// input into window messages.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <QCloseEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QWheelEvent>

#include "platform/cp1251.h"
#include "platform/key_map.h"
#include "platform/qt/gdi_qt.h"
#include "platform/qt/platform_impl.h"

namespace platform {
namespace {

// Rows painted per draw call: below the height at which the raster engine
// hands a draw to its thread pool.
constexpr int paintBandRows = 64;

struct KeyEntry {
    int qtKey;
    bool keypad;
    unsigned scan; // with extendedKeyFlag
    char text;     // character the key types, 0: none
};

constexpr unsigned ext = extendedKeyFlag;

// Toolkit key numbers → set-1 codes, for displays that give no native key
// code. The keypad's navigation keys (NumLock off) come before its digits so
// that a synthesised keypad key is the arrow, as the programs test it.
constexpr KeyEntry keyTable[] = {
    {Qt::Key_Escape, false, 0x01, '\x1b'},
    {Qt::Key_1, false, 0x02, '1'},
    {Qt::Key_2, false, 0x03, '2'},
    {Qt::Key_3, false, 0x04, '3'},
    {Qt::Key_4, false, 0x05, '4'},
    {Qt::Key_5, false, 0x06, '5'},
    {Qt::Key_6, false, 0x07, '6'},
    {Qt::Key_7, false, 0x08, '7'},
    {Qt::Key_8, false, 0x09, '8'},
    {Qt::Key_9, false, 0x0A, '9'},
    {Qt::Key_0, false, 0x0B, '0'},
    {Qt::Key_Minus, false, 0x0C, '-'},
    {Qt::Key_Equal, false, 0x0D, '='},
    {Qt::Key_Backspace, false, 0x0E, '\b'},
    {Qt::Key_Tab, false, 0x0F, '\t'},
    {Qt::Key_Q, false, 0x10, 'q'},
    {Qt::Key_W, false, 0x11, 'w'},
    {Qt::Key_E, false, 0x12, 'e'},
    {Qt::Key_R, false, 0x13, 'r'},
    {Qt::Key_T, false, 0x14, 't'},
    {Qt::Key_Y, false, 0x15, 'y'},
    {Qt::Key_U, false, 0x16, 'u'},
    {Qt::Key_I, false, 0x17, 'i'},
    {Qt::Key_O, false, 0x18, 'o'},
    {Qt::Key_P, false, 0x19, 'p'},
    {Qt::Key_BracketLeft, false, 0x1A, '['},
    {Qt::Key_BracketRight, false, 0x1B, ']'},
    {Qt::Key_Return, false, 0x1C, '\r'},
    {Qt::Key_Enter, false, 0x1C, '\r'},
    {Qt::Key_Control, false, 0x1D, 0},
    {Qt::Key_A, false, 0x1E, 'a'},
    {Qt::Key_S, false, 0x1F, 's'},
    {Qt::Key_D, false, 0x20, 'd'},
    {Qt::Key_F, false, 0x21, 'f'},
    {Qt::Key_G, false, 0x22, 'g'},
    {Qt::Key_H, false, 0x23, 'h'},
    {Qt::Key_J, false, 0x24, 'j'},
    {Qt::Key_K, false, 0x25, 'k'},
    {Qt::Key_L, false, 0x26, 'l'},
    {Qt::Key_Semicolon, false, 0x27, ';'},
    {Qt::Key_Apostrophe, false, 0x28, '\''},
    {Qt::Key_QuoteLeft, false, 0x29, '`'},
    {Qt::Key_Shift, false, 0x2A, 0},
    {Qt::Key_Backslash, false, 0x2B, '\\'},
    {Qt::Key_Z, false, 0x2C, 'z'},
    {Qt::Key_X, false, 0x2D, 'x'},
    {Qt::Key_C, false, 0x2E, 'c'},
    {Qt::Key_V, false, 0x2F, 'v'},
    {Qt::Key_B, false, 0x30, 'b'},
    {Qt::Key_N, false, 0x31, 'n'},
    {Qt::Key_M, false, 0x32, 'm'},
    {Qt::Key_Comma, false, 0x33, ','},
    {Qt::Key_Period, false, 0x34, '.'},
    {Qt::Key_Slash, false, 0x35, '/'},
    {Qt::Key_Alt, false, 0x38, 0},
    {Qt::Key_Space, false, 0x39, ' '},
    {Qt::Key_CapsLock, false, 0x3A, 0},
    {Qt::Key_F1, false, 0x3B, 0},
    {Qt::Key_F2, false, 0x3C, 0},
    {Qt::Key_F3, false, 0x3D, 0},
    {Qt::Key_F4, false, 0x3E, 0},
    {Qt::Key_F5, false, 0x3F, 0},
    {Qt::Key_F6, false, 0x40, 0},
    {Qt::Key_F7, false, 0x41, 0},
    {Qt::Key_F8, false, 0x42, 0},
    {Qt::Key_F9, false, 0x43, 0},
    {Qt::Key_F10, false, 0x44, 0},
    {Qt::Key_NumLock, false, 0x45, 0},
    {Qt::Key_ScrollLock, false, 0x46, 0},
    {Qt::Key_F11, false, 0x57, 0},
    {Qt::Key_F12, false, 0x58, 0},
    // Numeric keypad, NumLock off, then on.
    {Qt::Key_Home, true, 0x47, 0},
    {Qt::Key_Up, true, 0x48, 0},
    {Qt::Key_PageUp, true, 0x49, 0},
    {Qt::Key_Left, true, 0x4B, 0},
    {Qt::Key_Clear, true, 0x4C, 0},
    {Qt::Key_Right, true, 0x4D, 0},
    {Qt::Key_End, true, 0x4F, 0},
    {Qt::Key_Down, true, 0x50, 0},
    {Qt::Key_PageDown, true, 0x51, 0},
    {Qt::Key_Insert, true, 0x52, 0},
    {Qt::Key_Delete, true, 0x53, 0},
    {Qt::Key_7, true, 0x47, '7'},
    {Qt::Key_8, true, 0x48, '8'},
    {Qt::Key_9, true, 0x49, '9'},
    {Qt::Key_4, true, 0x4B, '4'},
    {Qt::Key_5, true, 0x4C, '5'},
    {Qt::Key_6, true, 0x4D, '6'},
    {Qt::Key_1, true, 0x4F, '1'},
    {Qt::Key_2, true, 0x50, '2'},
    {Qt::Key_3, true, 0x51, '3'},
    {Qt::Key_0, true, 0x52, '0'},
    {Qt::Key_Period, true, 0x53, '.'},
    {Qt::Key_Asterisk, true, 0x37, '*'},
    {Qt::Key_Minus, true, 0x4A, '-'},
    {Qt::Key_Plus, true, 0x4E, '+'},
    {Qt::Key_Slash, true, 0x35 | ext, '/'},
    {Qt::Key_Enter, true, 0x1C | ext, '\r'},
    // The separate cursor and editing block: extended.
    {Qt::Key_Home, false, 0x47 | ext, 0},
    {Qt::Key_Up, false, 0x48 | ext, 0},
    {Qt::Key_PageUp, false, 0x49 | ext, 0},
    {Qt::Key_Left, false, 0x4B | ext, 0},
    {Qt::Key_Right, false, 0x4D | ext, 0},
    {Qt::Key_End, false, 0x4F | ext, 0},
    {Qt::Key_Down, false, 0x50 | ext, 0},
    {Qt::Key_PageDown, false, 0x51 | ext, 0},
    {Qt::Key_Insert, false, 0x52 | ext, 0},
    {Qt::Key_Delete, false, 0x53 | ext, 0},
    {Qt::Key_Print, false, 0x37 | ext, 0},
    {Qt::Key_Meta, false, 0x5B | ext, 0},
    {Qt::Key_Menu, false, 0x5D | ext, 0},
};

std::uint16_t word(int v) { return static_cast<std::uint16_t>(static_cast<unsigned>(v) & 0xFFFF); }

// Client coordinates as the desktop reports them: whole pixels.
int pixel(double v) { return static_cast<int>(std::floor(v)); }

WParam mouseKeyState(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers) {
    WParam state = 0;
    if (buttons & Qt::LeftButton) {
        state |= MK_LBUTTON;
    }
    if (buttons & Qt::RightButton) {
        state |= MK_RBUTTON;
    }
    if (buttons & Qt::MiddleButton) {
        state |= MK_MBUTTON;
    }
    if (modifiers & Qt::ShiftModifier) {
        state |= MK_SHIFT;
    }
    if (modifiers & Qt::ControlModifier) {
        state |= MK_CONTROL;
    }
    return state;
}

} // namespace

unsigned scanCodeFromQtKey(int qtKey, bool keypad) {
    for (const KeyEntry& e : keyTable) {
        if (e.qtKey == qtKey && e.keypad == keypad) {
            return e.scan;
        }
    }
    return 0;
}

bool qtKeyFromScanCode(unsigned scanCode, int& qtKey, bool& keypad, char& text) {
    for (const KeyEntry& e : keyTable) {
        if (e.scan == scanCode) {
            qtKey = e.qtKey;
            keypad = e.keypad;
            text = e.text;
            return true;
        }
    }
    return false;
}

bool cp1251ByteOf(char32_t codePoint, unsigned char& byte) {
    const char b = cp1251FromCodePoint(codePoint);
    if (b == '?' && codePoint != U'?') {
        return false;
    }
    byte = static_cast<unsigned char>(b);
    return true;
}

LParam keyDownLParam(const QKeyEvent& event) {
    unsigned scan = 0;
    // On X11 and Wayland the native code is the kernel's key code + 8; the
    // offscreen and other displays give 0 and leave the toolkit's key number.
    if (event.nativeScanCode() > 8) {
        scan = scanCodeFromEvdev(event.nativeScanCode() - 8);
    }
    if (scan == 0) {
        scan = scanCodeFromQtKey(event.key(), (event.modifiers() & Qt::KeypadModifier) != 0);
    }
    std::uint32_t l = 1; // repeat count
    l |= (scan & 0xFFu) << 16;
    if (scan & extendedKeyFlag) {
        l |= 1u << 24;
    }
    if (event.isAutoRepeat()) {
        l |= 1u << 30; // the key was already down
    }
    return static_cast<LParam>(l);
}

ClientWidget::ClientWidget(Platform::Impl& impl, WindowHandle handle, Qt::WindowFlags flags)
    : QWidget(nullptr, flags), impl_(impl), handle_(handle) {
    // The surface covers the whole client area: no erase before painting.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_InputMethodEnabled);
    setAutoFillBackground(false);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void ClientWidget::requestPaintMessage() {
    wantPaintMessage_ = true;
    update();
}

void ClientWidget::requestRefresh(const QRect& area, bool now) {
    refreshOnly_ = true;
    if (now) {
        repaint(area);
    } else {
        update(area);
    }
}

bool ClientWidget::event(QEvent* event) {
    // Tab and Backtab are keys like any other here, not focus moves.
    if (event->type() == QEvent::KeyPress) {
        keyPressEvent(static_cast<QKeyEvent*>(event));
        return true;
    }
    return QWidget::event(event);
}

void ClientWidget::paintEvent(QPaintEvent* event) {
    // A paint that only shows context drawing does not ask the procedure to
    // draw again (which would draw, refresh and paint for ever); every other
    // paint (exposure, resize, invalidate) does.
    if (wantPaintMessage_ || !refreshOnly_) {
        wantPaintMessage_ = false;
        inPaint_ = true;
        impl_.send(handle_, WM_PAINT, 0, 0);
        inPaint_ = false;
    }
    refreshOnly_ = false;
    const std::shared_ptr<WindowRecord> record = impl_.find(handle_);
    if (!record || !record->surface) {
        return;
    }
    QPainter painter(this);
    const std::lock_guard lock(record->surface->picture.mutex());
    const QImage& image = record->surface->picture.impl().image;
    // The raster engine spreads a draw of many rows over its thread pool; at
    // fifty paints a second waking those threads costs far more than the
    // copy itself. Bands of at most paintBandRows rows stay on this thread.
    for (const QRect& area : event->region()) {
        for (int y = area.top(); y <= area.bottom(); y += paintBandRows) {
            const QRect band(area.left(), y, area.width(), std::min(paintBandRows, area.bottom() + 1 - y));
            painter.drawImage(band, image, band);
        }
    }
    // What this paint copied is on the screen now: drawing still waiting to
    // be shown (the procedure's own during WM_PAINT, or another thread's
    // made before the lock) is not shown a second time by a refresh.
    QRect& pending = record->surface->pendingArea;
    if (!pending.isEmpty() && QRegion(pending).subtracted(event->region()).isEmpty()) {
        pending = QRect();
    }
}

void ClientWidget::resizeEvent(QResizeEvent*) {
    const std::shared_ptr<WindowRecord> record = impl_.find(handle_);
    if (!record) {
        return;
    }
    impl_.resizeSurface(*record, width(), height());
    impl_.send(handle_, WM_SIZE, 0, makeLParam(word(width()), word(height())));
}

void ClientWidget::keyPressEvent(QKeyEvent* event) {
    const LParam l = keyDownLParam(*event);
    impl_.send(handle_, WM_KEYDOWN, 0, l);
    for (const char32_t c : event->text().toUcs4()) {
        unsigned char byte = 0;
        if (cp1251ByteOf(c, byte)) {
            impl_.send(handle_, WM_CHAR, byte, l);
        }
    }
}

void ClientWidget::inputMethodEvent(QInputMethodEvent* event) {
    for (const char32_t c : event->commitString().toUcs4()) {
        unsigned char byte = 0;
        if (cp1251ByteOf(c, byte)) {
            impl_.send(handle_, WM_CHAR, byte, 1);
        }
    }
    event->accept();
}

void ClientWidget::mouseMessage(unsigned message, const QMouseEvent& event) {
    const int x = pixel(event.position().x());
    const int y = pixel(event.position().y());
    // The toolkit keeps sending to the widget a button went down in; the
    // programs expect no capture, so what happens outside the client area is
    // not theirs.
    if (!rect().contains(x, y)) {
        return;
    }
    impl_.send(handle_, message, mouseKeyState(event.buttons(), event.modifiers()), makeLParam(word(x), word(y)));
}

void ClientWidget::mousePressEvent(QMouseEvent* event) {
    switch (event->button()) {
    case Qt::LeftButton:
        mouseMessage(WM_LBUTTONDOWN, *event);
        break;
    case Qt::RightButton:
        mouseMessage(WM_RBUTTONDOWN, *event);
        break;
    case Qt::MiddleButton:
        mouseMessage(WM_MBUTTONDOWN, *event);
        break;
    default:
        break;
    }
}

void ClientWidget::mouseReleaseEvent(QMouseEvent* event) {
    switch (event->button()) {
    case Qt::LeftButton:
        mouseMessage(WM_LBUTTONUP, *event);
        break;
    case Qt::MiddleButton:
        mouseMessage(WM_MBUTTONUP, *event);
        break;
    default:
        break;
    }
}

void ClientWidget::mouseMoveEvent(QMouseEvent* event) { mouseMessage(WM_MOUSEMOVE, *event); }

void ClientWidget::wheelEvent(QWheelEvent* event) {
    const int delta = event->angleDelta().y(); // 120 per notch, finer on smooth wheels
    if (delta == 0) {
        return;
    }
    const auto distance = static_cast<std::int16_t>(std::clamp(delta, int{std::numeric_limits<std::int16_t>::min()},
                                                               int{std::numeric_limits<std::int16_t>::max()}));
    const WParam w = mouseKeyState(event->buttons(), event->modifiers()) |
                     (static_cast<WParam>(static_cast<std::uint16_t>(distance)) << 16);
    const QPoint global = event->globalPosition().toPoint();
    impl_.send(handle_, WM_MOUSEWHEEL, w, makeLParam(word(global.x()), word(global.y())));
    event->accept();
}

void ClientWidget::closeEvent(QCloseEvent* event) {
    // The procedure decides: its default handling destroys the window.
    event->ignore();
    impl_.send(handle_, WM_CLOSE, 0, 0);
}

} // namespace platform
