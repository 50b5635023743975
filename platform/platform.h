#pragma once
// The platform context: windows, the message loop, timers and the services a
// window procedure needs. One Platform object is created by each program's
// main() and passed by reference to whoever needs it; nothing here is global.
//
// Threading: every call is for the main thread unless marked "any thread".

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/messages.h"
#include "platform/resources.h"

namespace platform {

class Picture;        // platform/gdi.h
class DrawContext;    // platform/gdi.h
struct WindowSurface; // private: a window's client picture

// A window handle. 32 bits wide because handles travel in 32-bit datagram
// fields; 0 is "no window".
using WindowHandle = std::uint32_t;

// (window, message, wParam, lParam) → result. Called on the main thread for
// posted messages and directly by sendMessage.
using WindowProc = std::function<LResult(WindowHandle, unsigned, WParam, LParam)>;

struct WindowClass {
    std::string name; // class name; also the single-instance key
    WindowProc procedure;
    std::string iconName; // icon resource name, "" for none
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
    // The first window made with useDefaultPosition takes the position its
    // starter asked for (Environment::firstWindowX/Y), if any.
};

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

// Releases a window's drawing context: ends the drawing, unlocks the client
// surface and asks the main thread to show it. Holds the surface alive, so a
// context may outlive its window (its drawing is then simply not shown).
struct WindowContextRelease {
    std::shared_ptr<WindowSurface> surface;
    void operator()(DrawContext* context) const;
};
// Use and drop it on the thread that took it; while it lives, other threads
// asking for the same window's context wait.
using WindowContext = std::unique_ptr<DrawContext, WindowContextRelease>;

// Notification-area icon (the tray). `tipCp1251`: Windows-1251, at most 63
// bytes are shown (the rest, and anything after a NUL, is cut off).
struct TrayIcon {
    WindowHandle owner = 0; // gets the callback message
    unsigned id = 0;        // wParam of the callback message
    unsigned callbackMessage = 0;
    std::string iconName; // a Resources icon
    std::string tipCp1251;
};

enum class TrayAction { Add = 0, Modify = 1, Delete = 2 };

// What one thread needs to send messages to a window of another thread: the
// window's thread runs each call, as it runs posted messages, while the
// sender waits for the result. Owned by the sending side and kept until the
// Platform's loop has ended: a call abandoned by cancel() still runs later
// and writes here. No allocation per call.
class SentMessages {
  public:
    // Any thread: every wait in sendMessage ends at once (returning 0), and
    // later sends return 0 without waiting, until rearm(). The owner of the
    // sending thread calls it before it waits for that thread to end, so
    // that neither waits for the other.
    void cancel();
    // While no send is under way: sending waits again.
    void rearm();

  private:
    friend class Platform;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool cancelled_ = false;
    bool pending_ = false; // a call queued and not yet run by the window's thread
    bool done_ = false;
    std::intptr_t result_ = 0;
};

class Platform {
  public:
    // argc/argv are handed to Qt. Unless the environment already names a
    // toolkit platform, selects the offscreen platform when it names no
    // display (as the default Environment does, for tests), and X11 (through
    // XWayland) when it names both an X and a Wayland display. SIGPIPE is
    // ignored from here on: a reader that goes away makes a write fail with
    // EPIPE, which the programs handle, instead of killing them.
    Platform(int& argc, char** argv, const Environment& environment = {});
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // What main() read from the environment (any thread).
    const Environment& environment() const;

    bool registerClass(const WindowClass& windowClass);
    // True when a top-level window of this class exists in any process of
    // this user (the single-instance test).
    bool classWindowExists(std::string_view className);
    WindowHandle createWindow(const WindowOptions& options);
    void destroyWindow(WindowHandle window); // sends WM_DESTROY first
    void showWindow(WindowHandle window, bool show);

    // Default handling for messages a procedure does not handle itself:
    // WM_CLOSE destroys the window; everything else gives 0.
    LResult defWindowProc(WindowHandle window, unsigned message, WParam wParam, LParam lParam);

    // Any thread. FIFO order, delivered by runLoop on the main thread. False
    // when the window is unknown or the queue holds 10000 messages already.
    bool postMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam);
    // Direct call of the window procedure on the calling thread.
    LResult sendMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam);
    // Any thread. On the window's (main) thread a direct call; from another
    // thread the call is queued and runs on the main thread, and the sender
    // waits for its result. Returns 0 without waiting when the window is
    // unknown, the queue is full, `from` is cancelled or an abandoned call
    // of `from` has not run yet; returns 0 as soon as `from` is cancelled.
    LResult sendMessage(SentMessages& from, WindowHandle window, unsigned message, WParam wParam, LParam lParam);
    // Any thread: calls of `from` still queued no longer report to it (they
    // still run). Its owner calls this before destroying it.
    void withdraw(SentMessages& from);
    // Any thread. Ends runLoop with this code once the queue reaches it.
    // A quit posted before runLoop ends the next runLoop.
    void postQuit(int code);
    // Runs until the quit message; returns its code. Ctrl-C (SIGINT) and
    // SIGTERM post a quit with code 0 while the Platform exists.
    int runLoop();

    bool setTimer(WindowHandle window, unsigned id, unsigned periodMs);
    void killTimer(WindowHandle window, unsigned id);

    bool windowRect(WindowHandle window, Rect& out);
    // The client area: (0, 0) to its width and height.
    bool clientRect(WindowHandle window, Rect& out);
    bool setWindowRect(WindowHandle window, const Rect& rect);
    void invalidate(WindowHandle window); // repaint later, no erase
    void setForeground(WindowHandle window);
    void cursorPos(int& x, int& y);

    // Drawing into a window's client area (GetDC/ReleaseDC). Any thread: the
    // drawing lands in the window's client surface under its lock and the
    // main thread is asked to refresh. nullptr when no surface can be had:
    // an unknown handle (a foreign window, or one that is gone) or an edit
    // control. Drawing done while handling WM_PAINT is shown by that paint.
    WindowContext windowContext(WindowHandle window);
    // Snapshot of a window's client area, for tests and PNG output.
    bool readClientArea(WindowHandle window, Picture& out);

    // Modal message box with one OK button; text and caption Windows-1251.
    // Headless, or with CW_NO_MODAL=1 in the environment, it does not block:
    // "caption: text" goes to standard error as UTF-8 instead.
    void messageBox(WindowHandle owner, std::string_view textCp1251, std::string_view captionCp1251);

    // Icons and menus of the program, registered by its start-up.
    Resources& resources();

    // Shows `menu` at screen position (x, y) and waits for the choice. The
    // chosen id is returned and also posted to `owner` as WM_COMMAND (low
    // word of wParam); 0 when nothing was chosen or no popup can be shown
    // (headless).
    int trackPopupMenu(WindowHandle owner, const MenuDescription& menu, int x, int y);

    // Add, change (icon and tip) or remove the tray icon (owner, id). A
    // right click on it posts (callbackMessage, id, WM_RBUTTONDOWN) to the
    // owner, a left click the same with WM_LBUTTONDOWN. False when the desktop
    // has no tray (headless), on Add of an icon that exists, and on Modify or
    // Delete of one that does not.
    bool notifyIcon(TrayAction action, const TrayIcon& icon);
    // Whether the desktop offers a tray (stock GNOME and headless runs do
    // not).
    bool trayAvailable() const;

    // The decoder's text window: a child edit control at (x, y) in the
    // parent's client area, width × height pixels; multi-line, wrapping,
    // bordered, with a vertical scroll bar, editable by the user. Returns its
    // handle (0 when the parent is unknown). Its procedure handles WM_CHAR
    // as typeChar, so sendMessage/postMessage of WM_CHAR type into it. It
    // keeps only its newest editMaxLines lines, and of a longer text its
    // newest characters: beyond `maxCharacters` (16 or more) the oldest
    // quarter goes.
    static constexpr int editMaxLines = 10000;
    static constexpr int editMaxCharacters = 1 << 20;
    WindowHandle createEdit(WindowHandle parent, int x, int y, int width, int height,
                            int maxCharacters = editMaxCharacters);
    // Inserts the character of a Windows-1251 byte at the caret as if typed
    // and keeps the caret in view. Backspace (8) deletes before the caret,
    // CR (13) starts a new line, other control bytes and 0x98 are ignored.
    void typeChar(WindowHandle edit, unsigned char cp1251Byte);
    // The whole text, Windows-1251, lines separated by CR LF.
    std::string editText(WindowHandle edit);

    // Test input: delivered as the desktop would deliver it, through the
    // same translation as real input. injectKey synthesises the key with its
    // native (X11/evdev) key code when `withNativeCode`, else only with the
    // toolkit's key number (as on displays that report no native code).
    // Keys that type a character (letters, digits, space, Enter, Esc) also
    // give their WM_CHAR. injectChar delivers a committed character (as an
    // input method does): WM_CHAR only. injectMouse takes WM_MOUSEMOVE,
    // WM_[LRM]BUTTONDOWN, WM_LBUTTONUP, WM_MBUTTONUP or WM_MOUSEWHEEL with
    // client coordinates; `wheelDelta`: ±120 per notch.
    void injectKey(WindowHandle window, unsigned scanCodeWithExtended, bool withNativeCode = true);
    void injectChar(WindowHandle window, unsigned char cp1251Byte);
    void injectMouse(WindowHandle window, unsigned message, int x, int y, int wheelDelta = 0);

    // True when no desktop shows the windows (Qt's offscreen or minimal
    // platform): nobody can read a window, so the terminal is the only place
    // to tell the user anything.
    bool headless() const;

    // Calls `onExit` on the main thread once the child `pid` (started with
    // spawnProcess) has ended, and reaps it; `onExit` gets the exit code as
    // waitProcess gives it (0 … 255, 128 + signal). Called at most once, and
    // never after the Platform is gone. False when `pid` is not a child.
    bool watchProcess(long pid, std::function<void(int exitCode)> onExit);

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
