#pragma once
// The platform context: windows, the message loop, timers and the services a
// window procedure needs. One Platform object is created by each program's
// main() and passed by reference to whoever needs it; nothing here is global.
//
// Threading: every call is for the main thread unless marked "any thread".

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/messages.h"

namespace platform {

class Picture;     // platform/gdi.h
class DrawContext; // platform/gdi.h

// A window handle. 32 bits wide because handles travel in 32-bit datagram
// fields; 0 is "no window".
using WindowHandle = std::uint32_t;

// (window, message, wParam, lParam) → result. Called on the main thread for
// posted messages and directly by sendMessage.
using WindowProc = std::function<LResult(WindowHandle, unsigned, WParam, LParam)>;

struct WindowClass {
    std::string name;            // class name; also the single-instance key
    WindowProc procedure;
    std::string iconName;        // icon resource name, "" for none
    bool redrawOnSize = true;
    std::uint32_t background = 0xFFFFFF; // RGB of the background brush
};

enum class WindowStyle {
    FixedTopmost, // always on top, fixed border, minimise box, no maximise box
    Overlapped,   // ordinary sizable window with minimise and maximise boxes
};

struct WindowOptions {
    std::string className;
    std::string captionCp1251; // Windows-1251 caption text
    WindowStyle style = WindowStyle::Overlapped;
    bool useDefaultPosition = true;
    int x = 0, y = 0;          // screen position when !useDefaultPosition
    int width = 0, height = 0; // outer size; the client area follows
    bool visible = true;       // false: exists and gets messages, never shown
};

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

class Platform {
public:
    // argc/argv are handed to Qt. Selects the offscreen platform by itself
    // when neither DISPLAY nor WAYLAND_DISPLAY is set.
    Platform(int& argc, char** argv);
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    bool registerClass(const WindowClass& windowClass);
    // True when a top-level window of this class exists in any process of
    // this user (the single-instance test).
    bool classWindowExists(std::string_view className);
    WindowHandle createWindow(const WindowOptions& options);
    void destroyWindow(WindowHandle window); // sends WM_DESTROY first
    void showWindow(WindowHandle window, bool show);

    // Any thread. FIFO order per queue. False when the window is unknown.
    bool postMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam);
    // Direct call of the window procedure on the calling thread.
    LResult sendMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam);
    // Any thread. Ends runLoop with this code once the queue reaches it.
    void postQuit(int code);
    // Runs until the quit message; returns its code.
    int runLoop();

    bool setTimer(WindowHandle window, unsigned id, unsigned periodMs);
    void killTimer(WindowHandle window, unsigned id);

    bool windowRect(WindowHandle window, Rect& out);
    bool setWindowRect(WindowHandle window, const Rect& rect);
    void invalidate(WindowHandle window); // repaint later, no erase
    void setForeground(WindowHandle window);
    void cursorPos(int& x, int& y);

    // Drawing into a window's client area (GetDC/ReleaseDC). Any thread: the
    // drawing lands in the window's client surface under its lock and the
    // main thread is asked to refresh. nullptr when no surface can be had
    // (a foreign window that is gone, or none on this display).
    std::unique_ptr<DrawContext> windowContext(WindowHandle window);
    // Snapshot of a window's client area, for tests and PNG output.
    bool readClientArea(WindowHandle window, Picture& out);

    // Modal message box with one OK button; text and caption Windows-1251.
    void messageBox(WindowHandle owner, std::string_view textCp1251, std::string_view captionCp1251);

    // Test input: delivered as the desktop would deliver it.
    void injectKey(WindowHandle window, unsigned scanCodeWithExtended);
    void injectChar(WindowHandle window, unsigned char cp1251Byte);
    void injectMouse(WindowHandle window, unsigned message, int x, int y, int wheelDelta = 0);

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
