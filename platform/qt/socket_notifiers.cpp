// Socket notifications for window procedures, on Qt socket notifiers.

#include "platform/sockets.h"

#include <QObject>
#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// The socket's identity beyond its number: sockets have distinct inodes, so a
// descriptor that was closed and reused for another socket is recognised.
ino_t socketInode(Socket s) {
    struct stat st {};
    if (::fstat(s, &st) != 0) {
        return 0;
    }
    return st.st_ino;
}


enum class SocketKind { Listening, Stream, Datagram };

struct Entry {
    std::uint64_t generation = 0;
    WindowHandle window = 0;
    unsigned message = 0;
    unsigned events = 0;
    SocketKind kind = SocketKind::Stream;
    ino_t inode = 0;
    bool closeReported = false;       // FD_CLOSE delivered or end seen: stop watching
    QSocketNotifier* notifier = nullptr; // main thread only; owned by the context
};

constexpr unsigned allEvents = FD_READ | FD_ACCEPT | FD_CLOSE;

} // namespace

struct SocketNotifiers::Impl {
    SocketMessageSink sink;
    std::thread::id mainThread = std::this_thread::get_id();
    std::unique_ptr<QObject> context = std::make_unique<QObject>();
    int wakeFd = -1;
    QSocketNotifier* wakeNotifier = nullptr;

    std::mutex mutex;
    std::unordered_map<Socket, Entry> entries;
    std::uint64_t nextGeneration = 1;
    // Work for the main thread, recorded by other threads.
    std::vector<Socket> dirty;               // entries whose notifier needs (re)creating
    std::vector<QSocketNotifier*> orphans;   // notifiers of cancelled entries
    std::vector<Socket> pendingCloses;       // closed once their notifier is gone

    bool onMainThread() const { return std::this_thread::get_id() == mainThread; }

    void wakeMain() {
        const std::uint64_t one = 1;
        ssize_t r;
        do {
            r = ::write(wakeFd, &one, sizeof one);
        } while (r < 0 && errno == EINTR);
    }

    static void retire(QSocketNotifier* n) {
        n->setEnabled(false); // unregisters the descriptor before it can be closed
        QObject::disconnect(n, nullptr, nullptr, nullptr);
        n->deleteLater();     // may be the notifier whose signal is running
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
            ::close(s);
        }
    }

    void onWake() {
        std::uint64_t count = 0;
        while (::read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
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
            if (socketInode(s) != e.inode) {
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
            case SocketKind::Stream: {
                char probe = 0;
                const ssize_t r = ::recv(s, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
                if (r > 0) {
                    event = FD_READ;
                } else if (r == 0) {
                    event = FD_CLOSE;
                    e.closeReported = true;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    return; // spurious wake; stay armed
                } else {
                    event = FD_CLOSE;
                    error = errno;
                    e.closeReported = true;
                }
                break;
            }
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
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wakeFd >= 0) {
        impl_->wakeNotifier =
            new QSocketNotifier(static_cast<qintptr>(impl_->wakeFd), QSocketNotifier::Read, impl_->context.get());
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
        ::close(s);
    }
    if (impl_->wakeFd >= 0) {
        ::close(impl_->wakeFd);
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
    int type = 0;
    int accepting = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
        return false;
    }
    len = sizeof accepting;
    if (type == SOCK_STREAM && ::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) != 0) {
        return false;
    }
    if (!setNonBlocking(s, true)) {
        return false;
    }
    const ino_t inode = socketInode(s);
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
    e.kind = type == SOCK_DGRAM ? SocketKind::Datagram
             : accepting != 0   ? SocketKind::Listening
                                : SocketKind::Stream;
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
    ::close(s);
}

} // namespace platform
