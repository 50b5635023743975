#include "platform/platform.h"

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QWheelEvent>

#include "platform/cp1251.h"
#include "platform/kernel.h"
#include "platform/key_map.h"
#include "platform/qt/platform_impl.h"

namespace platform {
namespace {

// How long drawing done on another thread may wait to be shown when the
// main thread has no other reason to wake: a little over one audio buffer
// (20 ms), the main thread's usual interval between wake-ups.
constexpr int otherThreadRefreshDelayMs = 30;
// The desktop's shortest timer period; shorter requests get this.
constexpr unsigned minimumTimerPeriodMs = 10;

QString fromCp1251(std::string_view text) { return QString::fromStdString(cp1251ToUtf8(text)); }

std::string toCp1251(const QString& text) { return utf8ToCp1251(text.toStdString()); }

// The instance name of a window class (see InstanceLock).
std::string instanceName(const std::string& className) { return "window-class-" + className; }

// Qt's own remarks that say nothing to an operator of a headless station
// (no runtime directory, size hints the offscreen platform ignores) are
// dropped; everything else goes to standard error as Qt would print it.
void toolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")) ||
                                 text.contains(QLatin1String("does not support propagateSizeHints")))) {
        return;
    }
    std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, text).toLocal8Bit().constData());
}

} // namespace

// ---------------------------------------------------------------- Impl

Platform::Impl::Impl(Platform& platform, int& argc, char** argv, const Environment& env)
    : owner(platform), environment(env) {
    if (!env.toolkitPlatformChosen) {
        const bool x11 = env.x11Display;
        const bool wayland = env.waylandDisplay;
        if (!x11 && !wayland) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        } else if (x11 && wayland) {
            // A Wayland session with XWayland: X11 windows, whose ids other
            // programs can name, as a station drawing into a decoder's window
            // needs. The user's own choice of platform always wins.
            ::setenv("QT_QPA_PLATFORM", "xcb", 0);
        }
    }
    // Qt's own event dispatcher rather than GLib's: the loop wakes some 50 to
    // 150 times a second for audio buffers, datagrams and repaints, and a
    // wake-up through GLib's costs about twice as much. The user's own
    // choice wins.
    ::setenv("QT_NO_GLIB", "1", 0);
    // Ctrl-C and SIGTERM become a quit message. They are blocked before the
    // toolkit starts its threads (which inherit the mask) and read by the
    // loop, so no handler and no global are needed. A file size limit makes
    // a write fail with EFBIG, which the programs handle as they handle a
    // full disk, instead of ending them.
    quitSignals = std::make_unique<posix::QuitSignals>();

    qInstallMessageHandler(toolkitMessage);
    app = std::make_unique<QApplication>(argc, argv);
    app->setQuitOnLastWindowClosed(false); // only the quit message ends the loop
    // Qt adopts the user's locale for the C library; the programs format
    // numbers ("%f", "%.0f") for the display and the files, always with a
    // decimal point.
    std::setlocale(LC_NUMERIC, "C");
    dispatcher = std::make_unique<QObject>();

    if (wakeCounter.fd() >= 0) {
        wakeNotifier = new QSocketNotifier(wakeCounter.fd(), QSocketNotifier::Read, dispatcher.get());
        QObject::connect(wakeNotifier, &QSocketNotifier::activated, dispatcher.get(), [this] { drain(); });
    }
    if (refreshTimer.fd() >= 0) {
        refreshNotifier = new QSocketNotifier(refreshTimer.fd(), QSocketNotifier::Read, dispatcher.get());
        QObject::connect(refreshNotifier, &QSocketNotifier::activated, dispatcher.get(), [this] {
            refreshTimer.clear();
            processRefreshes();
        });
    }
    if (quitSignals->fd() >= 0) {
        signalNotifier = new QSocketNotifier(quitSignals->fd(), QSocketNotifier::Read, dispatcher.get());
        QObject::connect(signalNotifier, &QSocketNotifier::activated, dispatcher.get(), [this] {
            for (int n = quitSignals->take(); n > 0; --n) {
                owner.postQuit(0);
            }
        });
    }
    positionHintPending = env.firstWindowPositionGiven;
    positionHintX = env.firstWindowX;
    positionHintY = env.firstWindowY;
}

Platform::Impl::~Impl() {
    for (auto& [key, tray] : trays) {
        tray->hide();
        delete tray;
    }
    trays.clear();
    std::map<WindowHandle, std::shared_ptr<WindowRecord>> remaining;
    {
        const std::lock_guard lock(tableMutex);
        remaining.swap(windows);
    }
    // Procedures are not called now: the objects they work on belong to the
    // program and are gone before its Platform.
    for (auto& [handle, record] : remaining) {
        if (record->widget && record->parent == 0) {
            delete record->widget.data();
        }
    }
    remaining.clear();
    dispatcher.reset(); // timers and notifiers
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    app.reset();
    instanceNames.clear();
    quitSignals.reset();
}

std::shared_ptr<WindowRecord> Platform::Impl::find(WindowHandle window) const {
    const std::lock_guard lock(tableMutex);
    const auto it = windows.find(window);
    return it == windows.end() ? nullptr : it->second;
}

LResult Platform::Impl::send(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    const std::shared_ptr<WindowRecord> record = find(window);
    if (!record || !record->procedure) {
        return 0;
    }
    return record->procedure(window, message, wParam, lParam);
}

bool Platform::Impl::enqueue(const PostedMessage& entry) {
    if (!posted.push(entry)) {
        return false;
    }
    wake();
    return true;
}

void Platform::Impl::wake() { wakeCounter.raise(); }

void Platform::Impl::drain() {
    wakeCounter.clear();
    processRefreshes();
    PostedMessage m;
    while (posted.pop(m, loopRunning)) {
        if (PostedQueue::isQuit(m)) {
            if (!posted.empty()) {
                wake(); // left for the next runLoop
            }
            QCoreApplication::exit(static_cast<int>(static_cast<LParam>(m.wParam)));
            return;
        }
        const LResult result = send(m.window, m.message, m.wParam, m.lParam);
        if (m.sent != nullptr) {
            const std::lock_guard lock(m.sent->mutex_);
            m.sent->result_ = result;
            m.sent->done_ = true;
            m.sent->pending_ = false;
            m.sent->changed_.notify_all();
        }
    }
}

void Platform::Impl::processRefreshes() {
    // Disarmed before the surfaces are looked at: drawing that arms it
    // again after this has set its surface's flag before arming, so either
    // it is seen below or its timer stays armed.
    if (refreshArmed.exchange(false)) {
        refreshTimer.disarm();
    }
    if (!anyRefresh.exchange(false)) {
        return;
    }
    std::vector<std::shared_ptr<WindowRecord>> records;
    {
        const std::lock_guard lock(tableMutex);
        for (const auto& [handle, record] : windows) {
            records.push_back(record);
        }
    }
    for (const auto& record : records) {
        if (record->surface && record->surface->refreshPending.exchange(false) && record->widget) {
            // Drawn by another thread since the last turn: shown in this one,
            // unless a paint since then has shown it already.
            const QRect area = takePendingArea(*record->surface);
            if (!area.isEmpty()) {
                record->widget->requestRefresh(area, true);
            }
        }
    }
}

QRect Platform::Impl::takePendingArea(WindowSurface& surface) {
    const std::lock_guard lock(surface.picture.mutex());
    return std::exchange(surface.pendingArea, QRect());
}

void Platform::Impl::surfaceDrawn(WindowSurface& surface) {
    if (mainThread()) {
        const std::shared_ptr<WindowRecord> record = find(surface.handle);
        // Inside WM_PAINT the paint that is running shows the drawing.
        if (record && record->surface.get() == &surface && record->widget && !record->widget->inPaint()) {
            record->widget->requestRefresh(takePendingArea(surface));
        }
        return;
    }
    // Another thread drew (the station's audio thread, up to fifty times a
    // second): the main thread, which wakes for each audio buffer anyway,
    // shows it then, or when the refresh timer runs out, instead of being
    // woken for it alone.
    if (!surface.refreshPending.exchange(true)) {
        anyRefresh.store(true);
        if (refreshTimer.fd() < 0) {
            wake();
        } else if (!refreshArmed.exchange(true)) {
            refreshTimer.arm(otherThreadRefreshDelayMs);
        }
    }
}

void Platform::Impl::resizeSurface(WindowRecord& record, int width, int height) {
    if (!record.surface) {
        return;
    }
    WindowSurface& s = *record.surface;
    const std::lock_guard lock(s.picture.mutex());
    if (s.picture.width() != width || s.picture.height() != height) {
        s.picture.resize(std::max(width, 1), std::max(height, 1), s.background);
    }
}

void Platform::Impl::destroy(WindowHandle window, bool notify) {
    const std::shared_ptr<WindowRecord> record = find(window);
    if (!record || record->destroying) {
        return;
    }
    record->destroying = true;
    if (notify) {
        send(window, WM_DESTROY, 0, 0);
    }
    std::vector<WindowHandle> children;
    {
        const std::lock_guard lock(tableMutex);
        for (const auto& [handle, other] : windows) {
            if (other->parent == window) {
                children.push_back(handle);
            }
        }
    }
    for (const WindowHandle child : children) {
        destroy(child, notify);
    }
    {
        const std::lock_guard lock(tableMutex);
        windows.erase(window);
    }
    for (auto& [id, timer] : record->timers) {
        timer->stop();
        timer->deleteLater(); // may be the timer whose tick is running now
    }
    record->timers.clear();
    // Deferred: the destruction may come from inside the widget's own event.
    if (record->widget) {
        record->widget->hide();
        record->widget->deleteLater();
    }
    if (record->edit && record->parent != 0) {
        record->edit->hide();
        record->edit->deleteLater();
    }
    if (record->parent == 0) {
        releaseInstanceName(record->className);
    }
}

bool Platform::Impl::mainThread() const { return app && QThread::currentThread() == app->thread(); }

bool Platform::Impl::headless() const {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

QIcon Platform::Impl::icon(const std::string& name) const {
    const IconResource* resource = resources.findIcon(name);
    if (resource == nullptr) {
        return {};
    }
    QPixmap pixmap;
    if (!resource->xpm.empty()) {
        std::vector<const char*> lines;
        lines.reserve(resource->xpm.size() + 1);
        for (const std::string& line : resource->xpm) {
            lines.push_back(line.c_str());
        }
        lines.push_back(nullptr);
        pixmap = QPixmap(lines.data());
    } else {
        pixmap.loadFromData(resource->png.data(), static_cast<uint>(resource->png.size()), "PNG");
    }
    return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

void Platform::Impl::acquireInstanceName(const std::string& className) {
    InstanceName& instance = instanceNames[className];
    if (instance.windows++ > 0) {
        return;
    }
    // Taken already: another process has a window of this class, which the
    // program was told by classWindowExists; this one goes on without it.
    instance.lock = std::make_unique<InstanceLock>();
    instance.lock->acquire(instanceName(className));
}

void Platform::Impl::releaseInstanceName(const std::string& className) {
    const auto it = instanceNames.find(className);
    if (it == instanceNames.end() || --it->second.windows > 0) {
        return;
    }
    instanceNames.erase(it);
}

void WindowContextRelease::operator()(DrawContext* context) const {
    if (context == nullptr || !surface) {
        return;
    }
    int left = 0, top = 0, right = 0, bottom = 0;
    const bool drawn = context->drawnArea(left, top, right, bottom);
    context->~DrawContext();
    if (drawn) {
        surface->pendingArea |= QRect(left, top, right - left, bottom - top);
    }
    surface->picture.mutex().unlock();
    // A context that drew nothing changes nothing on the screen.
    if (drawn) {
        surface->impl->surfaceDrawn(*surface);
    }
}

// ---------------------------------------------------------------- Platform

WindowHandle Platform::Impl::firstWindowHandle() {
    return (static_cast<WindowHandle>(::getpid()) & 0x3FFFFFu) << 10 | 1u;
}

Platform::Platform(int& argc, char** argv, const Environment& environment)
    : impl_(std::make_unique<Impl>(*this, argc, argv, environment)) {}

const Environment& Platform::environment() const { return impl_->environment; }

Platform::~Platform() = default;

bool Platform::registerClass(const WindowClass& windowClass) {
    if (windowClass.name.empty() || !windowClass.procedure || impl_->classes.count(windowClass.name) != 0) {
        return false;
    }
    impl_->classes.emplace(windowClass.name, windowClass);
    return true;
}

bool Platform::classWindowExists(std::string_view className) {
    const std::string name(className);
    {
        const std::lock_guard lock(impl_->tableMutex);
        for (const auto& [handle, record] : impl_->windows) {
            if (record->parent == 0 && record->className == name) {
                return true;
            }
        }
    }
    // Free exactly when no other process holds the class's name.
    InstanceLock probe;
    if (probe.acquire(instanceName(name))) {
        probe.release();
        return false;
    }
    return true;
}

WindowHandle Platform::createWindow(const WindowOptions& options) {
    const auto cls = impl_->classes.find(options.className);
    if (cls == impl_->classes.end()) {
        return 0;
    }
    const WindowClass& windowClass = cls->second;
    const bool fixed = options.style == WindowStyle::FixedTopmost;
    Qt::WindowFlags flags = Qt::Window;
    if (fixed) {
        flags |= Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
    }
    // The size asked for is the outer one. The frame is known only once the
    // window is shown; until then the client area takes the whole size.
    const int width = std::max(options.width, 1);
    const int height = std::max(options.height, 1);

    auto record = std::make_shared<WindowRecord>();
    record->className = options.className;
    record->procedure = windowClass.procedure;
    record->fixedSize = fixed;
    {
        const std::lock_guard lock(impl_->tableMutex);
        record->handle = impl_->nextHandle++;
    }
    const WindowHandle handle = record->handle;
    record->surface = std::make_shared<WindowSurface>(*impl_, handle, width, height, windowClass.background);

    auto* widget = new ClientWidget(*impl_, handle, flags);
    record->widget = widget;
    widget->setWindowTitle(fromCp1251(options.captionCp1251));
    if (!windowClass.iconName.empty()) {
        widget->setWindowIcon(impl_->icon(windowClass.iconName));
    }
    if (fixed) {
        widget->setFixedSize(width, height);
    } else {
        widget->resize(width, height);
    }
    if (!options.useDefaultPosition) {
        widget->move(options.x, options.y);
    } else if (impl_->positionHintPending) {
        widget->move(impl_->positionHintX, impl_->positionHintY);
    }
    impl_->positionHintPending = false; // the hint is for the first window only
    {
        const std::lock_guard lock(impl_->tableMutex);
        impl_->windows.emplace(handle, record);
    }
    impl_->acquireInstanceName(record->className);
    if (options.visible) {
        widget->show();
        const int frameW = widget->frameGeometry().width() - widget->width();
        const int frameH = widget->frameGeometry().height() - widget->height();
        if (frameW > 0 || frameH > 0) {
            const int clientW = std::max(width - frameW, 1);
            const int clientH = std::max(height - frameH, 1);
            if (fixed) {
                widget->setFixedSize(clientW, clientH);
            } else {
                widget->resize(clientW, clientH);
            }
            impl_->resizeSurface(*record, clientW, clientH);
        }
    }
    return handle;
}

void Platform::destroyWindow(WindowHandle window) { impl_->destroy(window, true); }

void Platform::showWindow(WindowHandle window, bool show) {
    const auto record = impl_->find(window);
    if (record && record->widget) {
        record->widget->setVisible(show);
    } else if (record && record->edit) {
        record->edit->setVisible(show);
    }
}

LResult Platform::defWindowProc(WindowHandle window, unsigned message, WParam, LParam) {
    if (message == WM_CLOSE) {
        destroyWindow(window);
    }
    return 0;
}

bool Platform::postMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    if (!impl_->find(window)) {
        return false;
    }
    return impl_->enqueue(PostedMessage{window, message, wParam, lParam, nullptr});
}

LResult Platform::sendMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    return impl_->send(window, message, wParam, lParam);
}

LResult Platform::sendMessage(SentMessages& from, WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    if (impl_->mainThread()) {
        return impl_->send(window, message, wParam, lParam);
    }
    std::unique_lock lock(from.mutex_);
    if (from.cancelled_ || from.pending_ || !impl_->find(window)) {
        return 0;
    }
    from.pending_ = true;
    from.done_ = false;
    lock.unlock();
    if (!impl_->enqueue(PostedMessage{window, message, wParam, lParam, &from})) {
        lock.lock();
        from.pending_ = false;
        return 0;
    }
    lock.lock();
    from.changed_.wait(lock, [&] { return from.done_ || from.cancelled_; });
    return from.done_ ? from.result_ : 0;
}

void Platform::withdraw(SentMessages& from) { impl_->posted.forgetSender(from); }

void SentMessages::cancel() {
    const std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
}

void SentMessages::rearm() {
    const std::lock_guard lock(mutex_);
    cancelled_ = false;
}

void Platform::postQuit(int code) {
    impl_->enqueue(PostedMessage{0, WM_QUIT, static_cast<WParam>(static_cast<LParam>(code)), 0, nullptr});
}

int Platform::runLoop() {
    impl_->loopRunning = true;
    impl_->wake(); // a quit or messages posted before the loop
    const int code = impl_->app->exec();
    impl_->loopRunning = false;
    return code;
}

bool Platform::setTimer(WindowHandle window, unsigned id, unsigned periodMs) {
    const auto record = impl_->find(window);
    if (!record) {
        return false;
    }
    QTimer*& timer = record->timers[id];
    if (timer == nullptr) {
        timer = new QTimer(impl_->dispatcher.get());
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, impl_->dispatcher.get(),
                         [this, window, id] { impl_->send(window, WM_TIMER, id, 0); });
    }
    timer->start(static_cast<int>(std::clamp(periodMs, minimumTimerPeriodMs, 0x7FFFFFFFu)));
    return true;
}

void Platform::killTimer(WindowHandle window, unsigned id) {
    const auto record = impl_->find(window);
    if (!record) {
        return;
    }
    const auto it = record->timers.find(id);
    if (it == record->timers.end()) {
        return;
    }
    it->second->stop();
    it->second->deleteLater(); // may be called from its own tick
    record->timers.erase(it);
}

bool Platform::windowRect(WindowHandle window, Rect& out) {
    const auto record = impl_->find(window);
    if (!record || !record->widget) {
        return false;
    }
    const QRect frame = record->widget->frameGeometry();
    out = Rect{frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
    return true;
}

bool Platform::clientRect(WindowHandle window, Rect& out) {
    const auto record = impl_->find(window);
    if (!record || !record->widget) {
        return false;
    }
    out = Rect{0, 0, record->widget->width(), record->widget->height()};
    return true;
}

bool Platform::setWindowRect(WindowHandle window, const Rect& rect) {
    const auto record = impl_->find(window);
    if (!record || !record->widget) {
        return false;
    }
    ClientWidget& widget = *record->widget;
    // The frame the window manager adds (none before the first show or
    // headless) is taken off so that the outer rectangle is the one asked for.
    const QRect frame = widget.frameGeometry();
    const int frameW = frame.width() - widget.width();
    const int frameH = frame.height() - widget.height();
    const int width = std::max(rect.width() - frameW, 1);
    const int height = std::max(rect.height() - frameH, 1);
    widget.move(rect.left, rect.top);
    if (record->fixedSize) {
        widget.setFixedSize(width, height);
    } else {
        widget.resize(width, height);
    }
    // A hidden window gets its resize event only when shown; its surface
    // follows now.
    impl_->resizeSurface(*record, width, height);
    return true;
}

void Platform::invalidate(WindowHandle window) {
    const auto record = impl_->find(window);
    if (record && record->widget) {
        record->widget->requestPaintMessage();
    }
}

void Platform::setForeground(WindowHandle window) {
    const auto record = impl_->find(window);
    if (record && record->widget) {
        record->widget->raise();
        record->widget->activateWindow();
    }
}

void Platform::cursorPos(int& x, int& y) {
    const QPoint p = QCursor::pos();
    x = p.x();
    y = p.y();
}

WindowContext Platform::windowContext(WindowHandle window) {
    std::shared_ptr<WindowSurface> surface;
    {
        const std::lock_guard lock(impl_->tableMutex);
        const auto it = impl_->windows.find(window);
        if (it == impl_->windows.end() || !it->second->surface) {
            return WindowContext(nullptr, WindowContextRelease{});
        }
        surface = it->second->surface;
    }
    surface->picture.mutex().lock();
    DrawContext* context = new (surface->slot) DrawContext(surface->picture, surface->fonts);
    return WindowContext(context, WindowContextRelease{std::move(surface)});
}

bool Platform::readClientArea(WindowHandle window, Picture& out) {
    const auto record = impl_->find(window);
    if (!record || !record->surface) {
        return false;
    }
    const Picture& picture = record->surface->picture;
    const std::lock_guard lock(picture.mutex());
    out = picture.copyRegion(0, 0, picture.width(), picture.height());
    return true;
}

void Platform::messageBox(WindowHandle owner, std::string_view textCp1251, std::string_view captionCp1251) {
    if (impl_->headless() || impl_->environment.noModalBoxes) {
        std::fprintf(stderr, "%s: %s\n", cp1251ToUtf8(captionCp1251).c_str(), cp1251ToUtf8(textCp1251).c_str());
        return;
    }
    const auto record = impl_->find(owner);
    QMessageBox box(QMessageBox::NoIcon, fromCp1251(captionCp1251), fromCp1251(textCp1251), QMessageBox::Ok,
                    record ? record->widget.data() : nullptr);
    box.exec();
}

Resources& Platform::resources() { return impl_->resources; }

bool Platform::headless() const {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

bool Platform::watchProcess(long pid, std::function<void(int exitCode)> onExit) {
    if (pid <= 0 || !onExit) {
        return false;
    }
    // Only a child of ours can be reaped.
    if (!posix::isOwnChild(pid)) {
        return false;
    }
    QObject* home = impl_->dispatcher.get();
    // A process descriptor becomes readable when the process ends. Kernels
    // without one (before 5.3) are polled instead.
    const int pidFd = posix::processExitDescriptor(pid);
    if (pidFd >= 0) {
        auto* notifier = new QSocketNotifier(pidFd, QSocketNotifier::Read, home);
        QObject::connect(notifier, &QObject::destroyed, [pidFd] { posix::closeDescriptor(pidFd); });
        QObject::connect(notifier, &QSocketNotifier::activated, home, [notifier, pid, onExit = std::move(onExit)] {
            notifier->setEnabled(false);
            notifier->deleteLater();
            onExit(waitProcess(static_cast<ProcessId>(pid), 1000));
        });
        return true;
    }
    auto* poll = new QTimer(home);
    QObject::connect(poll, &QTimer::timeout, home, [poll, pid, onExit = std::move(onExit)] {
        const int code = waitProcess(static_cast<ProcessId>(pid), 0);
        if (code >= 0) {
            poll->stop();
            poll->deleteLater();
            onExit(code);
        }
    });
    poll->start(200);
    return true;
}

int Platform::trackPopupMenu(WindowHandle owner, const MenuDescription& menu, int x, int y) {
    if (impl_->headless() || menu.items.empty()) {
        return 0;
    }
    const auto record = impl_->find(owner);
    QMenu popup(record ? record->widget.data() : nullptr);
    popup.setTitle(fromCp1251(menu.popupTitleCp1251));
    for (const MenuItem& item : menu.items) {
        QAction* action = popup.addAction(fromCp1251(item.textCp1251));
        action->setData(item.id);
    }
    const QAction* chosen = popup.exec(QPoint(x, y));
    const int id = chosen != nullptr ? static_cast<int>(chosen->data().toUInt()) : 0;
    if (id != 0) {
        postMessage(owner, WM_COMMAND, static_cast<WParam>(id) & 0xFFFF, 0);
    }
    return id;
}

bool Platform::trayAvailable() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool Platform::notifyIcon(TrayAction action, const TrayIcon& icon) {
    if (!trayAvailable()) {
        return false;
    }
    const std::pair key{icon.owner, icon.id};
    const auto it = impl_->trays.find(key);
    std::string tip = icon.tipCp1251.substr(0, icon.tipCp1251.find('\0'));
    tip.resize(std::min<std::size_t>(tip.size(), 63));
    switch (action) {
    case TrayAction::Add: {
        if (it != impl_->trays.end()) {
            return false;
        }
        auto* tray = new QSystemTrayIcon(impl_->icon(icon.iconName), impl_->dispatcher.get());
        tray->setToolTip(fromCp1251(tip));
        const WindowHandle owner = icon.owner;
        const unsigned id = icon.id;
        const unsigned message = icon.callbackMessage;
        QObject::connect(tray, &QSystemTrayIcon::activated, impl_->dispatcher.get(),
                         [this, owner, id, message](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Context) {
                                 postMessage(owner, message, id, WM_RBUTTONDOWN);
                             } else if (reason == QSystemTrayIcon::Trigger) {
                                 postMessage(owner, message, id, WM_LBUTTONDOWN);
                             }
                         });
        tray->show();
        impl_->trays.emplace(key, tray);
        return true;
    }
    case TrayAction::Modify:
        if (it == impl_->trays.end()) {
            return false;
        }
        it->second->setIcon(impl_->icon(icon.iconName));
        it->second->setToolTip(fromCp1251(tip));
        return true;
    case TrayAction::Delete:
        if (it == impl_->trays.end()) {
            return false;
        }
        it->second->hide();
        it->second->deleteLater();
        impl_->trays.erase(it);
        return true;
    }
    return false;
}

namespace {
// The edit widget's property that holds its character limit.
constexpr const char* maxCharactersProperty = "cwMaxCharacters";
} // namespace

WindowHandle Platform::createEdit(WindowHandle parent, int x, int y, int width, int height, int maxCharacters) {
    const auto parentRecord = impl_->find(parent);
    if (!parentRecord || !parentRecord->widget) {
        return 0;
    }
    auto* edit = new QPlainTextEdit(parentRecord->widget.data());
    edit->setGeometry(x, y, std::max(width, 1), std::max(height, 1));
    edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    edit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    edit->setFrameShape(QFrame::Box);
    // Only the newest text is kept, so a long run (or a flood of input)
    // cannot grow the window without bound.
    edit->setMaximumBlockCount(editMaxLines);
    edit->setProperty(maxCharactersProperty, std::max(maxCharacters, 16));
    edit->show();

    auto record = std::make_shared<WindowRecord>();
    record->className = "EDIT";
    record->parent = parent;
    record->edit = edit;
    record->procedure = [this](WindowHandle self, unsigned message, WParam wParam, LParam lParam) -> LResult {
        if (message == WM_CHAR) {
            typeChar(self, static_cast<unsigned char>(wParam & 0xFF));
            return 0;
        }
        return defWindowProc(self, message, wParam, lParam);
    };
    const std::lock_guard lock(impl_->tableMutex);
    record->handle = impl_->nextHandle++;
    impl_->windows.emplace(record->handle, record);
    return record->handle;
}

void Platform::typeChar(WindowHandle edit, unsigned char cp1251Byte) {
    const auto record = impl_->find(edit);
    if (!record || !record->edit) {
        return;
    }
    QPlainTextEdit& widget = *record->edit;
    QTextCursor cursor = widget.textCursor();
    if (cp1251Byte == '\b') {
        cursor.deletePreviousChar();
    } else if (cp1251Byte == '\r') {
        cursor.insertBlock();
    } else if (cp1251Byte == '\t' || (cp1251Byte >= 0x20 && cp1251Byte != 0x7F)) {
        const char32_t c = cp1251Byte < 0x80 ? cp1251Byte : cp1251HighHalf[cp1251Byte - 0x80];
        if (c == 0) {
            return; // 0x98 has no character
        }
        cursor.insertText(QString(QChar(static_cast<char16_t>(c))));
    } else {
        return;
    }
    // Text without line ends is one line: beyond the character limit its
    // oldest quarter goes, at once, so trimming is rare.
    const int maxCharacters = widget.property(maxCharactersProperty).toInt();
    if (widget.document()->characterCount() > maxCharacters) {
        QTextCursor oldest(widget.document());
        oldest.setPosition(widget.document()->characterCount() - maxCharacters * 3 / 4, QTextCursor::KeepAnchor);
        oldest.removeSelectedText();
        cursor.movePosition(QTextCursor::End);
    }
    widget.setTextCursor(cursor);
    widget.ensureCursorVisible();
}

std::string Platform::editText(WindowHandle edit) {
    const auto record = impl_->find(edit);
    if (!record || !record->edit) {
        return {};
    }
    QString text = record->edit->toPlainText();
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return toCp1251(text);
}

void Platform::injectKey(WindowHandle window, unsigned scanCodeWithExtended, bool withNativeCode) {
    const auto record = impl_->find(window);
    if (!record || !record->widget) {
        return;
    }
    int qtKey = Qt::Key_unknown;
    bool keypad = false;
    char text = 0;
    qtKeyFromScanCode(scanCodeWithExtended, qtKey, keypad, text);
    const unsigned evdev = evdevFromScanCode(scanCodeWithExtended);
    const quint32 native = withNativeCode && evdev != 0 ? evdev + 8 : 0;
    QKeyEvent event(QEvent::KeyPress, qtKey, keypad ? Qt::KeypadModifier : Qt::NoModifier, native, 0, 0,
                    text != 0 ? QString(QLatin1Char(text)) : QString());
    QCoreApplication::sendEvent(record->widget.data(), &event);
}

void Platform::injectChar(WindowHandle window, unsigned char cp1251Byte) {
    const auto record = impl_->find(window);
    if (!record) {
        return;
    }
    if (record->edit) {
        typeChar(window, cp1251Byte);
        return;
    }
    if (!record->widget) {
        return;
    }
    const char32_t c = cp1251Byte < 0x80 ? cp1251Byte : cp1251HighHalf[cp1251Byte - 0x80];
    if (c == 0) {
        return;
    }
    QInputMethodEvent event;
    event.setCommitString(QString(QChar(static_cast<char16_t>(c))));
    QCoreApplication::sendEvent(record->widget.data(), &event);
}

void Platform::injectMouse(WindowHandle window, unsigned message, int x, int y, int wheelDelta) {
    const auto record = impl_->find(window);
    if (!record || !record->widget) {
        return;
    }
    ClientWidget* widget = record->widget.data();
    const QPointF local(x, y);
    const QPointF global = widget->mapToGlobal(local);
    if (message == WM_MOUSEWHEEL) {
        QWheelEvent event(local, global, QPoint(), QPoint(0, wheelDelta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(widget, &event);
        return;
    }
    QEvent::Type type = QEvent::MouseMove;
    Qt::MouseButton button = Qt::NoButton;
    Qt::MouseButtons buttons = Qt::NoButton;
    switch (message) {
    case WM_MOUSEMOVE:
        break;
    case WM_LBUTTONDOWN:
        type = QEvent::MouseButtonPress;
        button = Qt::LeftButton;
        buttons = button;
        break;
    case WM_LBUTTONUP:
        type = QEvent::MouseButtonRelease;
        button = Qt::LeftButton;
        break;
    case WM_RBUTTONDOWN:
        type = QEvent::MouseButtonPress;
        button = Qt::RightButton;
        buttons = button;
        break;
    case WM_MBUTTONDOWN:
        type = QEvent::MouseButtonPress;
        button = Qt::MiddleButton;
        buttons = button;
        break;
    case WM_MBUTTONUP:
        type = QEvent::MouseButtonRelease;
        button = Qt::MiddleButton;
        break;
    default:
        return;
    }
    QMouseEvent event(type, local, global, button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

} // namespace platform
