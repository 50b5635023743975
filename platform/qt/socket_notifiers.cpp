// Socket notifications for window procedures, on Qt socket notifiers.

#include "platform/posix/loop_events.h"
#include "platform/posix/socket_probe.h"
#include "platform/sockets.h"

#include <QObject>
#include <QSocketNotifier>

#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------
// Notifications.
//
// Entries live in a map under one mutex, so any thread may request, cancel or
// close. QSocketNotifier objects are touched only on the main thread: another
// thread records what it changed and wakes the main thread through an eventfd
// (no data passes through Qt's cross-thread queue). Window procedures are
// called without the mutex held, so they may call back in.

namespace {

using posix::SocketKind;

struct Entry {
    std::uint64_t generation = 0;
    WindowHandle window = 0;
    unsigned message = 0;
    unsigned events = 0;
    SocketKind kind = SocketKind::Stream;
    std::uint64_t inode = 0;
    bool closeReported = false;          // FD_CLOSE delivered or end seen: stop watching
    QSocketNotifier* notifier = nullptr; // main thread only; owned by the context
};

constexpr unsigned allEvents = FD_READ | FD_ACCEPT | FD_CLOSE;

} // namespace

struct SocketNotifiers::Impl {
    SocketMessageSink sink;
    std::thread::id mainThread = std::this_thread::get_id();
    std::unique_ptr<QObject> context = std::make_unique<QObject>();
    posix::WakeCounter wake;
    QSocketNotifier* wakeNotifier = nullptr;

    std::mutex mutex;
    std::unordered_map<Socket, Entry> entries;
    std::uint64_t nextGeneration = 1;
    // Work for the main thread, recorded by other threads.
    std::vector<Socket> dirty;             // entries whose notifier needs (re)creating
    std::vector<QSocketNotifier*> orphans; // notifiers of cancelled entries
    std::vector<Socket> pendingCloses;     // closed once their notifier is gone

    bool onMainThread() const { return std::this_thread::get_id() == mainThread; }

    void wakeMain() { wake.raise(); }

    static void retire(QSocketNotifier* n) {
        n->setEnabled(false); // unregisters the descriptor before it can be closed
        QObject::disconnect(n, nullptr, nullptr, nullptr);
        n->deleteLater(); // may be the notifier whose signal is running
    }

    // Main thread, mutex held: gives the entry of `s` a watching notifier.
    void armLocked(Socket s, Entry& e) {
        if (e.notifier == nullptr) {
            e.notifier = new QSocketNotifier(static_cast<qintptr>(s), QSocketNotifier::Read, context.get());
            QSocketNotifier* n = e.notifier;
            QObject::connect(n, &QSocketNotifier::activated, context.get(), [this, s, n] { onReadable(s, n); });
        }
        e.notifier->setEnabled(!e.closeReported);
    }

    // Main thread: carries out what other threads recorded.
    void processPending() {
        std::vector<Socket> closes;
        {
            std::lock_guard lock(mutex);
            for (QSocketNotifier* n : orphans) {
                retire(n);
            }
            orphans.clear();
            for (Socket s : dirty) {
                auto it = entries.find(s);
                if (it != entries.end()) {
                    armLocked(s, it->second);
                }
            }
            dirty.clear();
            closes.swap(pendingCloses);
        }
        for (Socket s : closes) {
            platform::closeSocket(s);
        }
    }

    void onWake() {
        wake.clear();
        processPending();
    }

    void onReadable(Socket s, QSocketNotifier* n) {
        WindowHandle window = 0;
        unsigned message = 0;
        unsigned event = 0;
        int error = 0;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(mutex);
            auto it = entries.find(s);
            if (it == entries.end() || it->second.notifier != n) {
                n->setEnabled(false); // stale: retired or about to be
                return;
            }
            Entry& e = it->second;
            if (posix::socketIdentity(s) != e.inode) {
                // Closed behind our back and perhaps reused: the window must
                // not hear about a socket it does not own.
                retire(n);
                entries.erase(it);
                return;
            }
            switch (e.kind) {
            case SocketKind::Listening:
                event = FD_ACCEPT;
                break;
            case SocketKind::Datagram:
                event = FD_READ;
                break;
            case SocketKind::Stream:
                switch (posix::peekStream(s, error)) {
                case posix::StreamState::Data:
                    event = FD_READ;
                    break;
                case posix::StreamState::Nothing:
                    return; // spurious wake; stay armed
                case posix::StreamState::Ended:
                case posix::StreamState::Failed:
                    event = FD_CLOSE;
                    e.closeReported = true;
                    break;
                }
                break;
            }
            // One notification at a time: quiet until the procedure returns.
            n->setEnabled(false);
            if ((e.events & event) == 0) {
                // Not asked for. After the end of the stream nothing more will
                // come; unread data waits for a request that includes FD_READ.
                return;
            }
            window = e.window;
            message = e.message;
            generation = e.generation;
        }
        sink(window, message, static_cast<WParam>(s),
             makeLParam(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)));
        std::lock_guard lock(mutex);
        auto it = entries.find(s);
        if (it != entries.end() && it->second.notifier == n && !it->second.closeReported &&
            it->second.generation == generation) {
            n->setEnabled(true);
        }
        // A new request made by the procedure (new generation) has armed the
        // notifier itself, or will on the next wake.
    }

    // Mutex held. Removes the entry of `s`; its notifier is retired now (main
    // thread) or handed to the main thread. True when a notifier existed.
    bool dropLocked(Socket s) {
        auto it = entries.find(s);
        if (it == entries.end()) {
            return false;
        }
        QSocketNotifier* n = it->second.notifier;
        entries.erase(it);
        if (n == nullptr) {
            return false;
        }
        if (onMainThread()) {
            retire(n);
        } else {
            orphans.push_back(n);
        }
        return true;
    }
};

SocketNotifiers::SocketNotifiers(SocketMessageSink sink) : impl_(std::make_unique<Impl>()) {
    impl_->sink = std::move(sink);
    if (impl_->wake.fd() >= 0) {
        impl_->wakeNotifier =
            new QSocketNotifier(static_cast<qintptr>(impl_->wake.fd()), QSocketNotifier::Read, impl_->context.get());
        Impl* impl = impl_.get();
        QObject::connect(impl_->wakeNotifier, &QSocketNotifier::activated, impl_->context.get(),
                         [impl] { impl->onWake(); });
    }
}

SocketNotifiers::~SocketNotifiers() {
    {
        std::lock_guard lock(impl_->mutex);
        for (auto& [s, e] : impl_->entries) {
            if (e.notifier != nullptr) {
                e.notifier->setEnabled(false);
            }
        }
        for (QSocketNotifier* n : impl_->orphans) {
            n->setEnabled(false);
        }
        impl_->orphans.clear();
        impl_->entries.clear();
    }
    if (impl_->wakeNotifier != nullptr) {
        impl_->wakeNotifier->setEnabled(false);
    }
    impl_->context.reset(); // deletes every notifier
    for (Socket s : impl_->pendingCloses) {
        platform::closeSocket(s);
    }
}

bool SocketNotifiers::asyncSelect(Socket s, WindowHandle window, unsigned message, unsigned events) {
    if (s < 0 || (events & ~allEvents) != 0) {
        return false;
    }
    Impl& im = *impl_;
    if (events == 0) {
        std::lock_guard lock(im.mutex);
        if (im.dropLocked(s) && !im.onMainThread()) {
            im.wakeMain();
        }
        return true;
    }
    SocketKind kind = SocketKind::Stream;
    if (!posix::socketKind(s, kind) || !setNonBlocking(s, true)) {
        return false;
    }
    const std::uint64_t inode = posix::socketIdentity(s);
    std::lock_guard lock(im.mutex);
    if (auto it = im.entries.find(s); it != im.entries.end() && it->second.inode != inode) {
        // The number was closed behind our back and reused: start afresh.
        im.dropLocked(s);
    }
    Entry& e = im.entries[s];
    e.generation = im.nextGeneration++;
    e.window = window;
    e.message = message;
    e.events = events;
    e.kind = kind;
    e.inode = inode;
    e.closeReported = false;
    if (im.onMainThread()) {
        im.armLocked(s, e);
    } else {
        im.dirty.push_back(s);
        im.wakeMain();
    }
    return true;
}

void SocketNotifiers::closeSocket(Socket s) {
    if (s < 0) {
        return;
    }
    Impl& im = *impl_;
    {
        std::lock_guard lock(im.mutex);
        if (im.dropLocked(s) && !im.onMainThread()) {
            // The main thread still watches the descriptor: close it there,
            // after the watch has ended, so the number is not reused meanwhile.
            im.pendingCloses.push_back(s);
            im.wakeMain();
            return;
        }
    }
    platform::closeSocket(s);
}

} // namespace platform
