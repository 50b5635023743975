#pragma once
// Private to platform/: the Qt side of the Platform. Nothing outside
// platform/ includes this.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <QPointer>
#include <QRect>
#include <QWidget>

#include "platform/core/posted_queue.h"
#include "platform/gdi.h"
#include "platform/kernel.h"
#include "platform/platform.h"
#include "platform/posix/loop_events.h"
#include "platform/resources.h"

class QApplication;
class QIcon;
class QKeyEvent;
class QPlainTextEdit;
class QSocketNotifier;
class QSystemTrayIcon;
class QTimer;

namespace platform {

// A top-level window's client picture. The picture's mutex guards the pixels,
// the fonts and the context slot: at most one DrawContext exists per surface
// at a time (it is made while the mutex is held), so windowContext builds it
// in place and the audio thread's draws cost no allocation, and its text
// uses fonts resolved once for the window.
struct WindowSurface {
    WindowSurface(Platform::Impl& owner, WindowHandle window, int width, int height, Colour background)
        : picture(width, height, background), impl(&owner), handle(window), background(background) {}

    Picture picture;
    FontCache fonts; // for the contexts made in slot
    alignas(DrawContext) unsigned char slot[sizeof(DrawContext)];
    Platform::Impl* impl;
    WindowHandle handle;
    Colour background;
    std::atomic<bool> refreshPending{false}; // drawn on another thread, not yet shown
    // Union of the areas drawn and not yet shown (empty: none). Guarded by
    // picture.mutex().
    QRect pendingArea;
};

class ClientWidget;

struct WindowRecord {
    WindowHandle handle = 0;
    WindowHandle parent = 0; // edit controls: their window
    std::string className;
    WindowProc procedure;                   // fixed at creation; called from any thread by sendMessage
    std::shared_ptr<WindowSurface> surface; // null for edit controls
    bool fixedSize = false;
    bool destroying = false; // main thread

    // Main thread only.
    QPointer<ClientWidget> widget;
    QPointer<QPlainTextEdit> edit;
    std::map<unsigned, QTimer*> timers;
};

// The widget of a top-level window: shows the client surface and turns the
// desktop's input into window messages.
class ClientWidget final : public QWidget {
  public:
    ClientWidget(Platform::Impl& impl, WindowHandle handle, Qt::WindowFlags flags);

    // Repaint with WM_PAINT to the procedure first (invalidate).
    void requestPaintMessage();
    // Repaint only to show what was drawn through a window context.
    // Shows `area` of the surface again, without asking the procedure to
    // draw: at the loop's next paint, or `now` (no posted update request,
    // which would cost the loop another turn).
    void requestRefresh(const QRect& area, bool now = false);
    bool inPaint() const { return inPaint_; }

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void mouseMessage(unsigned message, const QMouseEvent& event);

    Platform::Impl& impl_;
    WindowHandle handle_;
    bool wantPaintMessage_ = false;
    bool refreshOnly_ = false;
    bool inPaint_ = false;
};

// Input translation, shared by real and injected events.
// Set-1 scan code (with extendedKeyFlag) of a toolkit key number; 0 if none.
unsigned scanCodeFromQtKey(int qtKey, bool keypad);
// The toolkit key that gives `scanCode`, with its keypad flag and the
// character it types (0: none); false when there is none.
bool qtKeyFromScanCode(unsigned scanCode, int& qtKey, bool& keypad, char& text);
// Windows-1251 byte of a code point; false when the code page has none.
bool cp1251ByteOf(char32_t codePoint, unsigned char& byte);
// Key-down lParam: repeat count 1, scan code, extended flag, previous state.
LParam keyDownLParam(const QKeyEvent& event);

struct Platform::Impl {
    Impl(Platform& owner, int& argc, char** argv, const Environment& environment);
    ~Impl();

    std::shared_ptr<WindowRecord> find(WindowHandle window) const;
    LResult send(WindowHandle window, unsigned message, WParam wParam, LParam lParam);
    bool enqueue(const PostedMessage& entry);
    void wake();
    void drain();
    void processRefreshes();
    void surfaceDrawn(WindowSurface& surface);
    // The surface's drawn area not yet shown, which it forgets.
    static QRect takePendingArea(WindowSurface& surface);
    void resizeSurface(WindowRecord& record, int width, int height);
    void destroy(WindowHandle window, bool notify);
    bool mainThread() const;
    bool headless() const;
    QIcon icon(const std::string& name) const;
    void acquireInstanceName(const std::string& className);
    void releaseInstanceName(const std::string& className);

    Platform& owner;
    const Environment environment;
    std::unique_ptr<QApplication> app;
    std::unique_ptr<QObject> dispatcher; // main-thread home of timers, notifiers and trays
    Resources resources;
    std::map<std::string, WindowClass> classes; // main thread

    mutable std::mutex tableMutex; // guards windows and nextHandle
    std::map<WindowHandle, std::shared_ptr<WindowRecord>> windows;
    // Handles carry the process id in their upper 22 bits, so a handle that
    // another process passes in (the decoder's drawing window) never names
    // one of our own windows by accident; the low 10 bits count windows.
    WindowHandle nextHandle = firstWindowHandle();
    static WindowHandle firstWindowHandle();

    // Stop requests, blocked before the toolkit starts its threads.
    std::unique_ptr<posix::QuitSignals> quitSignals;
    QSocketNotifier* signalNotifier = nullptr;

    PostedQueue posted;
    posix::WakeCounter wakeCounter; // "the queue or a surface needs the main thread"
    std::atomic<bool> anyRefresh{false};
    bool loopRunning = false; // main thread
    QSocketNotifier* wakeNotifier = nullptr;
    // Drawing done on another thread is shown at the main thread's next
    // wake-up, at the latest when this timer runs out (refreshArmed: set).
    posix::WakeTimer refreshTimer;
    std::atomic<bool> refreshArmed{false};
    QSocketNotifier* refreshNotifier = nullptr;

    std::map<std::pair<WindowHandle, unsigned>, QSystemTrayIcon*> trays;

    // The name each window class holds while it has windows, for
    // classWindowExists in other processes.
    struct InstanceName {
        std::unique_ptr<InstanceLock> lock;
        int windows = 0;
    };
    std::map<std::string, InstanceName> instanceNames;

    bool positionHintPending = false;
    int positionHintX = 0, positionHintY = 0;
};

} // namespace platform
