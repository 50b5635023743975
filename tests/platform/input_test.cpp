// Desktop input → window messages: scan codes, characters, mouse words.

#include <linux/input-event-codes.h>

#include <cstdint>
#include <string>

#include "platform/cp1251.h"
#include "platform/key_map.h"
#include "tests/platform/platform_fixture.h"

namespace platform_test {
namespace {

using InputTest = PlatformFixture;

// The kernel's own key numbers are the independent reference here.
TEST(KeyMap, KernelKeyCodesGiveSetOneScanCodes) {
    struct Case {
        unsigned evdev;
        unsigned scan;
        const char* name;
    };
    const Case cases[] = {
        {KEY_ESC, 0x01, "Esc"},
        {KEY_1, 0x02, "1"},
        {KEY_0, 0x0B, "0"},
        {KEY_Q, 0x10, "Q"},
        {KEY_A, 0x1E, "A"},
        {KEY_M, 0x32, "M"},
        {KEY_ENTER, 0x1C, "Enter"},
        {KEY_SPACE, 0x39, "Space"},
        {KEY_F1, 0x3B, "F1"},
        {KEY_F4, 0x3E, "F4"},
        {KEY_F5, 0x3F, "F5"},
        {KEY_F6, 0x40, "F6"},
        {KEY_F10, 0x44, "F10"},
        {KEY_F11, 0x57, "F11"},
        {KEY_F12, 0x58, "F12"},
        {KEY_KP7, 0x47, "keypad 7"},
        {KEY_KP8, 0x48, "keypad 8"},
        {KEY_KP9, 0x49, "keypad 9"},
        {KEY_KP4, 0x4B, "keypad 4"},
        {KEY_KP6, 0x4D, "keypad 6"},
        {KEY_KP2, 0x50, "keypad 2"},
        {KEY_KP3, 0x51, "keypad 3"},
        {KEY_KP0, 0x52, "keypad 0"},
        {KEY_KPDOT, 0x53, "keypad ."},
        {KEY_HOME, 0x147, "Home"},
        {KEY_UP, 0x148, "Up"},
        {KEY_PAGEUP, 0x149, "PageUp"},
        {KEY_LEFT, 0x14B, "Left"},
        {KEY_RIGHT, 0x14D, "Right"},
        {KEY_END, 0x14F, "End"},
        {KEY_DOWN, 0x150, "Down"},
        {KEY_PAGEDOWN, 0x151, "PageDown"},
        {KEY_INSERT, 0x152, "Insert"},
        {KEY_DELETE, 0x153, "Delete"},
        {KEY_KPENTER, 0x11C, "keypad Enter"},
        {KEY_RIGHTCTRL, 0x11D, "right Ctrl"},
        {84, 0, "unused 84"},
        {KEY_MUTE, 0, "Mute"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scanCodeFromEvdev(c.evdev), c.scan) << c.name << " (kernel code " << c.evdev << ")";
        if (c.scan != 0) {
            EXPECT_EQ(evdevFromScanCode(c.scan), c.evdev) << c.name;
        }
    }
}

TEST_F(InputTest, KeyDownCarriesScanCodeAndExtendedFlagOnBothPaths) {
    const WindowHandle w = makeWindow();
    struct Case {
        unsigned scan;
        bool extended;
        int character; // WM_CHAR expected, -1: none
        const char* name;
    };
    const Case cases[] = {
        {0x149, true, -1, "PageUp"},      {0x151, true, -1, "PageDown"},    {0x3E, false, -1, "F4"},
        {0x3F, false, -1, "F5"},          {0x40, false, -1, "F6"},          {0x148, true, -1, "Up"},
        {0x150, true, -1, "Down"},        {0x14D, true, -1, "Right"},       {0x14B, true, -1, "Left"},
        {0x48, false, -1, "keypad Up"},   {0x50, false, -1, "keypad Down"}, {0x4D, false, -1, "keypad Right"},
        {0x4B, false, -1, "keypad Left"}, {0x49, false, -1, "keypad PgUp"}, {0x51, false, -1, "keypad PgDn"},
        {0x147, true, -1, "Home"},        {0x153, true, -1, "Delete"},      {0x58, false, -1, "F12"},
        {0x39, false, ' ', "Space"},      {0x1E, false, 'a', "A"},          {0x02, false, '1', "1"},
        {0x1C, false, '\r', "Enter"},     {0x01, false, 0x1B, "Esc"},
    };
    for (const bool native : {true, false}) {
        for (const Case& c : cases) {
            log.clear();
            platform.injectKey(w, c.scan, native);
            const auto downs = messagesOf(WM_KEYDOWN);
            const std::string what = std::string(c.name) + (native ? " (native code)" : " (toolkit key)");
            ASSERT_EQ(downs.size(), 1u) << what;
            const LParam l = downs[0].lParam;
            EXPECT_EQ(keyScanCode(l) & 0xFF, c.scan & 0xFF) << what << ": lParam " << std::hex << l;
            EXPECT_EQ(((l >> 24) & 1) != 0, c.extended) << what << ": lParam " << std::hex << l;
            EXPECT_EQ(keyScanCode(l), c.scan) << what;
            const auto chars = messagesOf(WM_CHAR);
            if (c.character < 0) {
                EXPECT_TRUE(chars.empty()) << what << " typed a character";
            } else {
                ASSERT_EQ(chars.size(), 1u) << what;
                EXPECT_EQ(chars[0].wParam, static_cast<WParam>(c.character)) << what;
            }
        }
    }
}

TEST_F(InputTest, CharactersArriveAsWindows1251Bytes) {
    const WindowHandle w = makeWindow();
    using namespace platform::literals;
    const std::string text = std::string("Ёё ЄєІіЇїЎўҐґ АБВЮЯабвюя №"_cp1251) + "CW73";
    for (const char ch : text) {
        platform.injectChar(w, static_cast<unsigned char>(ch));
    }
    platform.injectChar(w, 0x98); // the one byte without a character
    const auto chars = messagesOf(WM_CHAR);
    std::string got;
    for (const Received& r : chars) {
        got.push_back(static_cast<char>(r.wParam));
        EXPECT_LT(r.wParam, 256u);
    }
    EXPECT_EQ(cp1251ToUtf8(got), cp1251ToUtf8(text));
    EXPECT_TRUE(messagesOf(WM_KEYDOWN).empty()) << "a committed character is not a key press";
}

TEST_F(InputTest, MouseWordsAndWheel) {
    const WindowHandle w = makeWindow();
    Rect r{100, 50, 612, 265};
    ASSERT_TRUE(platform.setWindowRect(w, r));
    struct Case {
        unsigned message;
        int x, y;
        WParam keyState;
    };
    const Case cases[] = {
        {WM_MOUSEMOVE, 10, 20, 0},
        {WM_LBUTTONDOWN, 500, 200, MK_LBUTTON},
        {WM_LBUTTONUP, 300, 7, 0},
        {WM_RBUTTONDOWN, 255, 100, MK_RBUTTON},
        {WM_RBUTTONDOWN, 256, 0, MK_RBUTTON},
        {WM_MBUTTONDOWN, 0, 199, MK_MBUTTON},
        {WM_MBUTTONUP, 1, 2, 0},
    };
    for (const Case& c : cases) {
        log.clear();
        platform.injectMouse(w, c.message, c.x, c.y);
        ASSERT_EQ(log.size(), 1u) << "message " << std::hex << c.message;
        EXPECT_EQ(log[0].message, c.message);
        EXPECT_EQ(loWord(static_cast<std::uintptr_t>(log[0].lParam)), c.x) << "message " << std::hex << c.message;
        EXPECT_EQ(hiWord(static_cast<std::uintptr_t>(log[0].lParam)), c.y) << "message " << std::hex << c.message;
        EXPECT_EQ(loWord(log[0].wParam), c.keyState) << "message " << std::hex << c.message;
    }

    int firstX = 0, firstY = 0;
    for (const int delta : {120, -120, 240, -360}) {
        log.clear();
        const int x = 40 + delta / 12, y = 30 + delta / 24;
        platform.injectMouse(w, WM_MOUSEWHEEL, x, y, delta);
        const auto wheel = messagesOf(WM_MOUSEWHEEL);
        ASSERT_EQ(wheel.size(), 1u) << "delta " << delta;
        EXPECT_EQ(static_cast<std::int16_t>(hiWord(wheel[0].wParam)), delta);
        // Screen position, as the desktop gives it with the wheel: it moves
        // with the client position, offset by where the window is.
        const int screenX = loWord(static_cast<std::uintptr_t>(wheel[0].lParam));
        const int screenY = hiWord(static_cast<std::uintptr_t>(wheel[0].lParam));
        if (delta == 120) {
            firstX = screenX - x;
            firstY = screenY - y;
            EXPECT_GE(firstX, 100);
            EXPECT_GE(firstY, 50);
        } else {
            EXPECT_EQ(screenX - x, firstX) << "delta " << delta;
            EXPECT_EQ(screenY - y, firstY) << "delta " << delta;
        }
    }

    // The mouse is not captured: what happens outside the client area (the
    // toolkit still reports it to the widget) does not reach the procedure.
    log.clear();
    platform.injectMouse(w, WM_LBUTTONUP, 600, 10);
    platform.injectMouse(w, WM_MOUSEMOVE, -5, 10);
    EXPECT_TRUE(log.empty()) << "got message " << std::hex << (log.empty() ? 0 : log[0].message);
}

TEST_F(InputTest, HiddenWindowStillGetsInput) {
    const WindowHandle w = makeWindow(false);
    platform.injectKey(w, 0x148);
    platform.injectMouse(w, WM_LBUTTONDOWN, 5, 6);
    EXPECT_EQ(messagesOf(WM_KEYDOWN).size(), 1u);
    EXPECT_EQ(messagesOf(WM_LBUTTONDOWN).size(), 1u);
}

} // namespace
} // namespace platform_test
