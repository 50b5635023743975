// Painting, window surfaces, geometry, the text window, menus, tray,
// message boxes, resources and PNG output.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/cp1251.h"
#include "platform/gdi.h"
#include "platform/png.h"
#include "tests/platform/platform_fixture.h"

namespace platform_test {
namespace {

using namespace platform::literals;
using WindowTest = PlatformFixture;

constexpr unsigned MSG_START = WM_USER + 10;

TEST_F(WindowTest, InvalidateBringsPaintAndPaintDrawingDoesNotLoop) {
    const WindowHandle w = makeWindow();
    bool armed = false;
    int paintsAfterInvalidate = 0;
    handler = [&](WindowHandle, unsigned m, WParam wp, LParam) -> LResult {
        if (m == MSG_START) {
            armed = true;
            platform.invalidate(w);
        } else if (m == WM_PAINT) {
            // Draw as a window procedure does; the paint shows it without
            // asking for another.
            if (auto dc = platform.windowContext(w)) {
                dc->fillRect(0, 0, 8, 8, rgb(0, 0, 255));
            }
            if (armed && ++paintsAfterInvalidate == 1) {
                platform.setTimer(w, 1, 300);
            }
        } else if (m == WM_TIMER && wp == 1) {
            platform.postQuit(0);
        }
        return 0;
    };
    ASSERT_TRUE(platform.postMessage(w, MSG_START, 0, 0));
    EXPECT_EQ(runBounded(w, 3000), 0) << "no WM_PAINT after invalidate";
    EXPECT_GE(paintsAfterInvalidate, 1);
    EXPECT_LE(paintsAfterInvalidate, 3) << "drawing in WM_PAINT keeps asking for paints";
    Picture shot(1, 1);
    ASSERT_TRUE(platform.readClientArea(w, shot));
    EXPECT_EQ(shot.pixel(3, 3), rgb(0, 0, 255));
}

TEST_F(WindowTest, DrawingFromOtherThreadsLandsInClientArea) {
    const WindowHandle w = makeWindow();
    constexpr int threads = 3;
    constexpr int rounds = 200;
    std::atomic<int> done{0};
    std::atomic<bool> gotContext{true};
    handler = [&](WindowHandle, unsigned m, WParam, LParam) -> LResult {
        if (m == MSG_START) {
            platform.postQuit(0);
        }
        return 0;
    };
    std::vector<std::thread> painters;
    for (int t = 0; t < threads; ++t) {
        painters.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                auto dc = platform.windowContext(w);
                if (!dc) {
                    gotContext = false;
                    break;
                }
                // Each thread owns a 10-pixel column band; a scrolling
                // blit within the picture runs at the same time.
                dc->fillRect(10 + 20 * t, 10, 20 + 20 * t, 20, rgb(200, 10 * t, 0));
                dc->blit(0, 100, 100, 50, dc->picture(), 0, 101);
            }
            if (++done == threads) {
                platform.postMessage(w, MSG_START, 0, 0);
            }
        });
    }
    // The loop paints (reading the surface) while the threads draw.
    EXPECT_EQ(runBounded(w, 5000), 0);
    for (auto& p : painters) {
        p.join();
    }
    EXPECT_TRUE(gotContext);
    Picture shot(1, 1);
    ASSERT_TRUE(platform.readClientArea(w, shot));
    ASSERT_GE(shot.width(), 100);
    ASSERT_GE(shot.height(), 150);
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(shot.pixel(15 + 20 * t, 15), rgb(200, 10 * t, 0)) << "thread " << t;
        EXPECT_EQ(shot.pixel(25 + 20 * t, 15), rgb(255, 255, 255)) << "between bands " << t;
    }
}

TEST_F(WindowTest, ContextsForUnknownWindowsAndOutlivingWindows) {
    const WindowHandle w = makeWindow(false);
    EXPECT_EQ(platform.windowContext(0), nullptr);
    EXPECT_EQ(platform.windowContext(w + 500), nullptr) << "a foreign handle must not give a surface";
    const WindowHandle edit = platform.createEdit(w, 0, 0, 50, 50);
    EXPECT_EQ(platform.windowContext(edit), nullptr);

    auto dc = platform.windowContext(w);
    ASSERT_NE(dc, nullptr);
    platform.destroyWindow(w);
    dc->fillRect(0, 0, 512, 215, rgb(1, 2, 3)); // the surface is still alive
    dc.reset();
    EXPECT_EQ(platform.windowContext(w), nullptr);
    Picture shot(1, 1);
    EXPECT_FALSE(platform.readClientArea(w, shot));
}

TEST_F(WindowTest, WindowRectangleAndSurfaceFollowResizes) {
    for (const bool visible : {true, false}) {
        WindowOptions o;
        o.className = className;
        o.captionCp1251 = "Фильтр НЧ для CW"_cp1251;
        o.style = WindowStyle::FixedTopmost;
        o.useDefaultPosition = false;
        o.x = 30;
        o.y = 40;
        o.width = 512;
        o.height = 215;
        o.visible = visible;
        const WindowHandle w = platform.createWindow(o);
        ASSERT_NE(w, 0u);
        Rect r;
        ASSERT_TRUE(platform.windowRect(w, r));
        EXPECT_EQ(r.left, 30);
        EXPECT_EQ(r.top, 40);
        EXPECT_EQ(r.width(), 512);
        EXPECT_EQ(r.height(), 215);
        // The client area is the outer size less the frame (if any).
        Picture shot(1, 1);
        ASSERT_TRUE(platform.readClientArea(w, shot));
        const int frameHeight = 215 - shot.height();
        EXPECT_GE(frameHeight, 0);
        EXPECT_LT(frameHeight, 60);

        // The display-size change: same position and width, new height.
        r.bottom = r.top + 325;
        ASSERT_TRUE(platform.setWindowRect(w, r));
        Rect after;
        ASSERT_TRUE(platform.windowRect(w, after));
        EXPECT_EQ(after.left, 30);
        EXPECT_EQ(after.width(), 512);
        EXPECT_EQ(after.height(), 325) << (visible ? "shown" : "hidden");
        ASSERT_TRUE(platform.readClientArea(w, shot));
        EXPECT_EQ(shot.height(), 325 - frameHeight) << (visible ? "shown" : "hidden");
        auto dc = platform.windowContext(w);
        ASSERT_NE(dc, nullptr);
        dc->setPixel(5, 310, rgb(9, 9, 9)); // inside the enlarged surface
        dc.reset();
        ASSERT_TRUE(platform.readClientArea(w, shot));
        EXPECT_EQ(shot.pixel(5, 310), rgb(9, 9, 9));
    }
    Rect none;
    EXPECT_FALSE(platform.windowRect(12345, none));
}

TEST_F(WindowTest, EditControlTypesAndReadsBackWindows1251) {
    const WindowHandle parent = makeWindow();
    const WindowHandle edit = platform.createEdit(parent, 525, 341, 365, 215);
    ASSERT_NE(edit, 0u);
    EXPECT_EQ(platform.createEdit(parent + 99, 0, 0, 10, 10), 0u);

    const std::string first = std::string("ПРИВЕТ мир ЁЖ ґ "_cp1251) + "CQ DE UA3";
    for (const char ch : first) {
        platform.sendMessage(edit, WM_CHAR, static_cast<unsigned char>(ch), 0); // as the decoder appends
    }
    EXPECT_EQ(platform.editText(edit), first);

    platform.typeChar(edit, '\b');
    platform.typeChar(edit, '\r');
    platform.typeChar(edit, 0x98); // no character: ignored
    platform.typeChar(edit, 0x07); // control byte: ignored
    const std::string second("Ъ"_cp1251);
    ASSERT_TRUE(platform.postMessage(edit, WM_CHAR, static_cast<unsigned char>(second[0]), 0));
    platform.postQuit(0);
    EXPECT_EQ(runBounded(parent, 3000), 0);
    const std::string expected = first.substr(0, first.size() - 1) + "\r\n" + second;
    EXPECT_EQ(cp1251ToUtf8(platform.editText(edit)), cp1251ToUtf8(expected));

    // A long unbroken run (wrapped for display) comes back whole.
    for (int i = 0; i < 300; ++i) {
        platform.typeChar(edit, static_cast<unsigned char>('A' + i % 26));
    }
    EXPECT_EQ(platform.editText(edit).size(), expected.size() + 300);

    platform.destroyWindow(parent); // takes its text window with it
    EXPECT_EQ(platform.editText(edit), "");
    EXPECT_FALSE(platform.postMessage(edit, WM_CHAR, 'x', 0));
}

// The text window keeps its newest text: past the character limit the
// oldest quarter goes, past editMaxLines lines the oldest lines.
TEST_F(WindowTest, EditControlKeepsOnlyItsNewestText) {
    const WindowHandle parent = makeWindow();
    const WindowHandle bounded = platform.createEdit(parent, 0, 0, 100, 100, 1000);
    for (int i = 0; i < 5000; ++i) {
        platform.typeChar(bounded, static_cast<unsigned char>('A' + i % 26));
    }
    const std::string text = platform.editText(bounded);
    EXPECT_LE(text.size(), 1000u);
    EXPECT_GE(text.size(), 700u);
    EXPECT_EQ(text.substr(text.size() - 4), "EFGH") << "the newest characters, 4996 … 4999";

    const WindowHandle lines = platform.createEdit(parent, 0, 100, 100, 100);
    for (int i = 0; i < Platform::editMaxLines + 50; ++i) {
        platform.typeChar(lines, static_cast<unsigned char>('0' + i % 10));
        platform.typeChar(lines, '\r');
    }
    const std::string all = platform.editText(lines);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), Platform::editMaxLines - 1);
    EXPECT_EQ(all.substr(all.size() - 6), "8\r\n9\r\n");
}

TEST_F(WindowTest, HeadlessDesktopServicesFailCleanly) {
    const WindowHandle w = makeWindow();
    MenuDescription menu{std::string("&Режимы"_cp1251), {{101, "&Exit"}, {202, "Card 1"}}};
    EXPECT_EQ(platform.trackPopupMenu(w, menu, 10, 10), 0);

    TrayIcon tray;
    tray.owner = w;
    tray.id = 1006;
    tray.callbackMessage = 1055;
    tray.iconName = "ICON_pause";
    tray.tipCp1251 = "Фильтр НЧ для CW"_cp1251;
    EXPECT_FALSE(platform.notifyIcon(TrayAction::Add, tray));
    EXPECT_FALSE(platform.notifyIcon(TrayAction::Modify, tray));
    EXPECT_FALSE(platform.notifyIcon(TrayAction::Delete, tray));

    testing::internal::CaptureStderr();
    platform.messageBox(w, "WSAStartup", "Error"); // must not block
    platform.messageBox(w, "Всего соединений"_cp1251, "Сервер"_cp1251);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error: WSAStartup\n"), std::string::npos) << "stderr: " << err;
    EXPECT_NE(err.find("Сервер: Всего соединений\n"), std::string::npos) << "stderr: " << err;

    // Nothing was posted by the failed popup.
    platform.postQuit(0);
    EXPECT_EQ(runBounded(w, 2000), 0);
    EXPECT_TRUE(messagesOf(WM_COMMAND).empty());
}

TEST_F(WindowTest, ResourcesAreFoundWithoutRegardToCase) {
    static const char* const icon[] = {"2 2 2 1", "  c None", "x c #FF0000", "x ", " x"};
    static const char* const bad[] = {"two by two", "x"};
    Resources& res = platform.resources();
    EXPECT_TRUE(res.addIconXpm("ICON_send", icon));
    EXPECT_FALSE(res.addIconXpm("ICON_bad", bad));
    const std::array<std::uint8_t, 4> notPng{1, 2, 3, 4};
    EXPECT_FALSE(res.addIconPng("ICON_png", notPng));
    res.addMenu("MENU_Tray", {std::string("&Режимы"_cp1251), {{101, "&Exit"}}});

    const IconResource* found = res.findIcon("icon_SEND");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->xpm.size(), 5u);
    EXPECT_EQ(res.findIcon("ICON_bad"), nullptr);
    EXPECT_EQ(res.findIcon("ICON_recv"), nullptr);
    const auto menu = res.findMenu("menu_tray");
    ASSERT_TRUE(menu.has_value());
    ASSERT_EQ(menu->items.size(), 1u);
    EXPECT_EQ(menu->items[0].id, 101u);
    EXPECT_FALSE(res.findMenu("MENU_WIn").has_value());

    // A class with a registered icon makes windows as usual.
    WindowClass wc;
    wc.name = className + "-icon";
    wc.iconName = "icon_send";
    wc.procedure = [](WindowHandle, unsigned, WParam, LParam) -> LResult { return 0; };
    ASSERT_TRUE(platform.registerClass(wc));
    EXPECT_FALSE(platform.registerClass(wc)) << "a class name is registered once";
    WindowOptions o;
    o.className = wc.name;
    o.width = 20;
    o.height = 20;
    EXPECT_NE(platform.createWindow(o), 0u);
    o.className = "no such class";
    EXPECT_EQ(platform.createWindow(o), 0u);
}

TEST_F(WindowTest, ClassWindowExistsWhileAWindowOfTheClassLives) {
    EXPECT_FALSE(platform.classWindowExists(className));
    const WindowHandle a = makeWindow(false);
    const WindowHandle b = makeWindow(false);
    EXPECT_TRUE(platform.classWindowExists(className));
    platform.destroyWindow(a);
    EXPECT_TRUE(platform.classWindowExists(className)) << "b still lives";
    platform.destroyWindow(b);
    EXPECT_FALSE(platform.classWindowExists(className));
}

TEST_F(WindowTest, SavePngWritesTheClientArea) {
    const WindowHandle w = makeWindow(false, 64, 32);
    if (auto dc = platform.windowContext(w)) {
        dc->fillRect(0, 0, 32, 32, rgb(255, 0, 0));
    }
    Picture shot(1, 1);
    ASSERT_TRUE(platform.readClientArea(w, shot));
    const auto path = std::filesystem::temp_directory_path() / ("platform_test_" + std::to_string(getpid()) + ".png");
    ASSERT_TRUE(savePng(shot, path.string()));
    std::ifstream in(path, std::ios::binary);
    std::array<char, 8> head{};
    in.read(head.data(), head.size());
    in.close();
    std::filesystem::remove(path);
    EXPECT_EQ(std::string(head.data(), 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_FALSE(savePng(Picture(0, 0), path.string()));
    EXPECT_FALSE(savePng(shot, "/nonexistent-dir/x.png"));
}

} // namespace
} // namespace platform_test
