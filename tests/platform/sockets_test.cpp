#include "platform/sockets.h"
#include "tests/platform/platform_fixture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;
using namespace platform;

namespace {

struct Note {
    WindowHandle window;
    unsigned message;
    Socket socket;
    unsigned event;
    unsigned error;
};

std::string describe(const std::vector<Note>& notes) {
    std::string s;
    for (const Note& n : notes) {
        s += "(w" + std::to_string(n.window) + " m" + std::to_string(n.message) + " s" + std::to_string(n.socket) +
             " ev" + std::to_string(n.event) + " err" + std::to_string(n.error) + ") ";
    }
    return s.empty() ? "none" : s;
}

// Each test plays the window procedure: `handler` runs for every delivered
// notification, after it has been recorded.
class SocketNotify : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (QCoreApplication::instance() == nullptr) {
            app_ = new QCoreApplication(argc_, argv_);
        }
    }
    static void TearDownTestSuite() {
        delete app_;
        app_ = nullptr;
    }

    SocketNotify()
        : notifiers_([this](WindowHandle w, unsigned m, WParam wp, LParam lp) {
              const Note n{w, m, static_cast<Socket>(wp), loWord(static_cast<std::uintptr_t>(lp)),
                           hiWord(static_cast<std::uintptr_t>(lp))};
              notes_.push_back(n);
              if (handler_) {
                  handler_(n);
              }
          }) {}

    // Runs the event loop until `done` holds or `limitMs` passes.
    bool pumpUntil(const std::function<bool()>& done, int limitMs = 5000) {
        const auto until = steady_clock::now() + milliseconds(limitMs);
        while (!done()) {
            if (steady_clock::now() >= until) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(milliseconds(1));
        }
        return true;
    }
    void pumpFor(int ms) {
        pumpUntil([] { return false; }, ms);
    }

    Socket listener(std::uint16_t& port) {
        const Socket s = createTcpSocket();
        EXPECT_GE(s, 0);
        EXPECT_TRUE(bindSocket(s, BindAddress::Loopback, 0));
        EXPECT_TRUE(listenSocket(s, 1));
        port = localPort(s);
        EXPECT_NE(port, 0);
        return s;
    }

    Socket udpOnPort(std::uint16_t port) {
        const Socket s = createUdpSocket();
        EXPECT_TRUE(setReuseAddr(s));
        EXPECT_TRUE(setBroadcast(s));
        EXPECT_TRUE(bindSocket(s, BindAddress::Any, port));
        return s;
    }

    static constexpr WindowHandle window = 7;
    static constexpr unsigned acceptMsg = WM_USER + 1;
    static constexpr unsigned peerMsg = WM_USER + 2;
    static constexpr unsigned linkMsg = WM_USER + 11;

    std::vector<Note> notes_;
    std::function<void(const Note&)> handler_;
    SocketNotifiers notifiers_;

    static inline int argc_ = 1;
    static inline char arg0_[] = "sockets_test";
    static inline char* argv_[] = {arg0_, nullptr};
    static inline QCoreApplication* app_ = nullptr;
};

// A peer on its own thread: connects, then runs the steps it is given.
class Peer {
  public:
    Peer(std::uint16_t port, std::function<void(Socket)> steps)
        : thread_([this, port, steps = std::move(steps)] {
              const Socket s = createTcpSocket();
              connectResult_ = connectTo(s, "127.0.0.1", port, 5000);
              if (connectResult_ == 0) {
                  steps(s);
              }
              closeSocket(s);
          }) {}
    ~Peer() { thread_.join(); }
    int connectResult() const { return connectResult_; }

  private:
    std::atomic<int> connectResult_{-1};
    std::thread thread_;
};

// ------------------------------------------------------------------ TCP

TEST_F(SocketNotify, AcceptReadAndOrderlyClose) {
    std::uint16_t port = 0;
    const Socket ls = listener(port);
    ASSERT_TRUE(notifiers_.asyncSelect(ls, window, acceptMsg, FD_ACCEPT));

    std::atomic<bool> mayClose{false};
    Socket conn = invalidSocket;
    std::string peerAddress, received;
    handler_ = [&](const Note& n) {
        if (n.message == acceptMsg && n.event == FD_ACCEPT) {
            const AcceptResult a = acceptConnection(ls);
            conn = a.socket;
            peerAddress = a.peerAddress;
            EXPECT_TRUE(setNoDelay(conn));
            EXPECT_TRUE(notifiers_.asyncSelect(conn, window, peerMsg, FD_READ | FD_CLOSE));
        } else if (n.message == peerMsg && n.event == FD_READ) {
            char buf[64];
            const IoResult r = recvBytes(n.socket, buf, sizeof buf);
            if (r.bytes > 0) {
                received.append(buf, static_cast<std::size_t>(r.bytes));
            }
            mayClose = received == "hello";
        } else if (n.message == peerMsg && n.event == FD_CLOSE) {
            notifiers_.closeSocket(n.socket);
        }
    };
    {
        Peer peer(port, [&](Socket s) {
            sendBytes(s, "hello", 5);
            const auto until = steady_clock::now() + seconds(5);
            while (!mayClose && steady_clock::now() < until) {
                std::this_thread::sleep_for(milliseconds(2));
            }
        });
        ASSERT_TRUE(pumpUntil([&] { return !notes_.empty() && notes_.back().event == FD_CLOSE; }))
            << "got " << describe(notes_);
        EXPECT_EQ(peer.connectResult(), 0);
    }
    pumpFor(100); // nothing more may come after the close
    ASSERT_EQ(notes_.size(), 3u) << describe(notes_);
    EXPECT_EQ(notes_[0].socket, ls);
    EXPECT_EQ(notes_[0].event, FD_ACCEPT);
    EXPECT_EQ(notes_[1].socket, conn);
    EXPECT_EQ(notes_[1].event, FD_READ);
    EXPECT_EQ(notes_[2].socket, conn);
    EXPECT_EQ(notes_[2].event, FD_CLOSE);
    EXPECT_EQ(notes_[2].error, 0u) << "an orderly close carries no error";
    for (const Note& n : notes_) {
        EXPECT_EQ(n.window, window);
    }
    EXPECT_EQ(received, "hello");
    EXPECT_EQ(peerAddress, "127.0.0.1");
    notifiers_.closeSocket(ls);
}

TEST_F(SocketNotify, CloseWithUnreadDataComesAfterTheDataIsDrained) {
    std::uint16_t port = 0;
    const Socket ls = listener(port);
    std::string sent(3000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>('a' + i % 26);
    }
    {
        // The peer sends everything and closes before we accept.
        Peer peer(port, [&](Socket s) { EXPECT_EQ(sendBytes(s, sent.data(), sent.size()).bytes, 3000); });
    }
    const AcceptResult a = acceptConnection(ls);
    ASSERT_GE(a.socket, 0);
    std::string received;
    std::size_t closeSeenAt = 0;
    handler_ = [&](const Note& n) {
        if (n.event == FD_READ) {
            char buf[1000]; // a third of the data per notification
            const IoResult r = recvBytes(n.socket, buf, sizeof buf);
            if (r.bytes > 0) {
                received.append(buf, static_cast<std::size_t>(r.bytes));
            }
        } else if (n.event == FD_CLOSE) {
            closeSeenAt = received.size();
            notifiers_.closeSocket(n.socket);
        }
    };
    ASSERT_TRUE(notifiers_.asyncSelect(a.socket, window, peerMsg, FD_READ | FD_CLOSE));
    ASSERT_TRUE(pumpUntil([&] { return !notes_.empty() && notes_.back().event == FD_CLOSE; }))
        << "got " << describe(notes_);
    pumpFor(100);
    ASSERT_EQ(notes_.size(), 4u) << "want three FD_READ, one per handler call, then one FD_CLOSE; got "
                                 << describe(notes_);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(notes_[i].event, FD_READ) << describe(notes_);
    }
    EXPECT_EQ(notes_[3].event, FD_CLOSE);
    EXPECT_EQ(notes_[3].error, 0u);
    EXPECT_EQ(closeSeenAt, sent.size()) << "FD_CLOSE arrived before the data was drained";
    EXPECT_EQ(received, sent);
    closeSocket(ls);
}

TEST_F(SocketNotify, ResetGivesCloseWithTheErrorInTheHighWord) {
    std::uint16_t port = 0;
    const Socket ls = listener(port);
    {
        Peer peer(port, [](Socket s) {
            const linger hard{1, 0}; // close sends a reset
            ::setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        });
    }
    const AcceptResult a = acceptConnection(ls);
    ASSERT_GE(a.socket, 0);
    handler_ = [&](const Note& n) { notifiers_.closeSocket(n.socket); };
    ASSERT_TRUE(notifiers_.asyncSelect(a.socket, window, peerMsg, FD_READ | FD_CLOSE));
    ASSERT_TRUE(pumpUntil([&] { return !notes_.empty(); })) << "no notification for a reset connection";
    pumpFor(50);
    ASSERT_EQ(notes_.size(), 1u) << describe(notes_);
    EXPECT_EQ(notes_[0].event, FD_CLOSE);
    EXPECT_EQ(notes_[0].error, static_cast<unsigned>(ECONNRESET));
    closeSocket(ls);
}

// ------------------------------------------------------------------ UDP

TEST_F(SocketNotify, LoopbackBroadcastReachesTheBoundPort) {
    // Find a free port first, then bind both ends to it as the link does.
    const Socket probe = createUdpSocket();
    ASSERT_TRUE(bindSocket(probe, BindAddress::Any, 0));
    const std::uint16_t port = localPort(probe);
    closeSocket(probe);

    const Socket receiver = udpOnPort(port);
    const Socket second = udpOnPort(port); // address reuse lets a second program bind
    const Socket sender = createUdpSocket();
    ASSERT_TRUE(setBroadcast(sender));
    std::vector<std::string> datagrams;
    handler_ = [&](const Note& n) {
        char buf[660];
        const IoResult r = recvFrom(n.socket, buf, sizeof buf);
        if (r.ok()) {
            datagrams.emplace_back(buf, static_cast<std::size_t>(r.bytes));
        }
    };
    ASSERT_TRUE(notifiers_.asyncSelect(receiver, window, linkMsg, FD_READ));

    const std::string big(700, 'x');
    const IoResult s1 = sendTo(sender, "one", 3, "127.255.255.255", port);
    ASSERT_TRUE(s1.ok()) << "loopback broadcast refused: " << std::strerror(s1.error);
    ASSERT_TRUE(sendTo(sender, big.data(), big.size(), "127.255.255.255", port).ok());
    ASSERT_TRUE(sendTo(sender, "three", 5, "127.255.255.255", port).ok());
    ASSERT_TRUE(pumpUntil([&] { return datagrams.size() >= 2; })) << "got " << describe(notes_);
    pumpFor(50);
    // The over-long datagram is consumed and reported as an error, not cut.
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[0], "one");
    EXPECT_EQ(datagrams[1], "three");
    EXPECT_EQ(notes_.size(), 3u) << "one FD_READ per datagram: " << describe(notes_);
    for (const Note& n : notes_) {
        EXPECT_EQ(n.event, FD_READ);
        EXPECT_EQ(n.socket, receiver);
        EXPECT_EQ(n.message, linkMsg);
    }

    const Socket noBroadcast = createUdpSocket();
    const IoResult refused = sendTo(noBroadcast, "x", 1, "127.255.255.255", port);
    EXPECT_FALSE(refused.ok()) << "broadcast sent without SO_BROADCAST";
    EXPECT_EQ(refused.error, EACCES);
    for (Socket s : {second, sender, noBroadcast}) {
        closeSocket(s);
    }
    notifiers_.closeSocket(receiver);
}

// ------------------------------------------------------------------ cancel, close, threads

TEST_F(SocketNotify, NothingArrivesAfterCancelOrClose) {
    const Socket a = udpOnPort(0);
    const std::uint16_t port = localPort(a);
    const Socket sender = createUdpSocket();
    ASSERT_TRUE(notifiers_.asyncSelect(a, window, linkMsg, FD_READ));
    ASSERT_TRUE(notifiers_.asyncSelect(a, window, linkMsg, 0));
    sendTo(sender, "x", 1, "127.0.0.1", port);
    pumpFor(150);
    EXPECT_TRUE(notes_.empty()) << "after cancel: " << describe(notes_);

    // The datagram still waits: a new request reports it, to the new window.
    ASSERT_TRUE(notifiers_.asyncSelect(a, window + 1, linkMsg, FD_READ));
    handler_ = [&](const Note& n) { notifiers_.closeSocket(n.socket); }; // close without reading
    ASSERT_TRUE(pumpUntil([&] { return !notes_.empty(); })) << "re-request after cancel gave nothing";
    EXPECT_EQ(notes_[0].window, window + 1);

    // A new socket very likely gets the closed number; only its own window
    // may hear of it.
    std::string got;
    handler_ = [&](const Note& n) {
        char buf[8];
        const IoResult r = recvFrom(n.socket, buf, sizeof buf);
        got.append(buf, r.ok() ? static_cast<std::size_t>(r.bytes) : 0);
    };
    const Socket b = udpOnPort(0);
    ASSERT_TRUE(notifiers_.asyncSelect(b, window + 2, linkMsg, FD_READ));
    sendTo(sender, "y", 1, "127.0.0.1", localPort(b));
    ASSERT_TRUE(pumpUntil([&] { return notes_.size() >= 2; }));
    pumpFor(50);
    EXPECT_EQ(got, "y");
    ASSERT_EQ(notes_.size(), 2u) << describe(notes_);
    EXPECT_EQ(notes_[1].window, window + 2);
    EXPECT_EQ(notes_[1].socket, b);

    EXPECT_FALSE(notifiers_.asyncSelect(b, window, linkMsg, 64)) << "unknown event bits accepted";
    EXPECT_FALSE(notifiers_.asyncSelect(-1, window, linkMsg, FD_READ));
    notifiers_.closeSocket(b);
    closeSocket(sender);
}

TEST_F(SocketNotify, SocketClosedBehindTheRegistrysBackIsNotReported) {
    const Socket a = udpOnPort(0);
    ASSERT_TRUE(notifiers_.asyncSelect(a, window, linkMsg, FD_READ));
    closeSocket(a); // wrong, but must not leak a notification to the old window
    const Socket b = udpOnPort(0);
    const Socket sender = createUdpSocket();
    sendTo(sender, "z", 1, "127.0.0.1", localPort(b));
    pumpFor(150);
    EXPECT_TRUE(notes_.empty()) << "socket " << b << " (closed number " << a << ") reported: " << describe(notes_);
    closeSocket(b);
    closeSocket(sender);
}

TEST_F(SocketNotify, RequestAndCloseFromAWorkerThread) {
    // The relay client connects and requests notifications on its worker.
    std::uint16_t port = 0;
    const Socket ls = listener(port);
    std::atomic<Socket> clientSide{invalidSocket};
    std::atomic<bool> requested{false};
    std::thread worker([&] {
        const Socket s = createTcpSocket();
        if (connectTo(s, "127.0.0.1", port, 5000) == 0 &&
            notifiers_.asyncSelect(s, window, peerMsg, FD_READ | FD_CLOSE)) {
            clientSide = s;
            requested = true;
        } else {
            closeSocket(s);
        }
    });
    const AcceptResult a = acceptConnection(ls); // blocking; the worker connects
    worker.join();
    ASSERT_TRUE(requested);
    ASSERT_TRUE(sendBytes(a.socket, "ab", 2).ok());
    handler_ = [&](const Note& n) {
        char buf[8];
        recvBytes(n.socket, buf, sizeof buf);
    };
    ASSERT_TRUE(pumpUntil([&] { return !notes_.empty(); })) << "request from a worker never took effect";
    EXPECT_EQ(notes_[0].socket, clientSide.load());
    EXPECT_EQ(notes_[0].event, FD_READ);

    // A close from the worker: more data and the peer's close are pending,
    // yet nothing may be reported once closeSocket has returned.
    ASSERT_TRUE(sendBytes(a.socket, "cd", 2).ok());
    closeSocket(a.socket);
    std::thread([&] { notifiers_.closeSocket(clientSide); }).join();
    const std::size_t before = notes_.size();
    pumpFor(150);
    EXPECT_EQ(notes_.size(), before) << describe(notes_);
    closeSocket(ls);
}

// ------------------------------------------------------------------ plain helpers

TEST(SocketHelpers, AddressTextsAreParsedAsInetAddr) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t hostOrder;
    } const cases[] = {
        {"127.0.0.1", true, 0x7F000001},
        {"10.0.0.1", true, 0x0A000001},
        {"127.1", true, 0x7F000001},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"0x7f.1", true, 0x7F000001},
        {"localhost", false, 0},
        {"1.2.3.4.5", false, 0},
        {"256.1.1.1", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t a = 0;
        EXPECT_EQ(parseIPv4(c.text, a), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ntohl(a), c.hostOrder) << c.text;
        }
    }
    std::uint32_t unused = 0;
    EXPECT_FALSE(parseIPv4(nullptr, unused));
}

TEST(SocketHelpers, ConnectFailuresAreReportedNotRaised) {
    // A port that nobody listens on: bound, then closed.
    const Socket probe = createTcpSocket();
    ASSERT_TRUE(bindSocket(probe, BindAddress::Loopback, 0));
    const std::uint16_t deadPort = localPort(probe);
    closeSocket(probe);
    for (const int timeoutMs : {-1, 2000}) {
        const Socket s = createTcpSocket();
        EXPECT_EQ(connectTo(s, "127.0.0.1", deadPort, timeoutMs), ECONNREFUSED) << "timeout " << timeoutMs;
        EXPECT_EQ(connectTo(s, "localhost", deadPort, timeoutMs), EINVAL) << "host names are not addresses";
        closeSocket(s);
    }
}

TEST(SocketHelpers, SendToAClosedPeerFailsWithoutSigpipe) {
    const Socket ls = createTcpSocket();
    ASSERT_TRUE(bindSocket(ls, BindAddress::Loopback, 0));
    ASSERT_TRUE(listenSocket(ls, 1));
    const Socket c = createTcpSocket();
    ASSERT_EQ(connectTo(c, "127.0.0.1", localPort(ls)), 0);
    AcceptResult a = acceptConnection(ls);
    ASSERT_GE(a.socket, 0);
    closeSocket(a.socket);
    // The first send draws a reset, a later one fails; none may kill us.
    IoResult r;
    const char frame[33] = {};
    for (int i = 0; i < 50 && (r = sendBytes(c, frame, sizeof frame)).ok(); ++i) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_FALSE(r.ok()) << "sending to a closed peer kept succeeding";
    EXPECT_TRUE(r.error == EPIPE || r.error == ECONNRESET) << "error " << r.error;
    char buf[4];
    const IoResult after = recvBytes(c, buf, sizeof buf);
    EXPECT_TRUE(after.bytes == 0 || after.error == ECONNRESET) << "bytes " << after.bytes << " error " << after.error;
    closeSocket(c);
    closeSocket(ls);
}

// ------------------------------------------------------------------ through Platform

class SocketsThroughPlatform : public platform_test::PlatformFixture {};

TEST_F(SocketsThroughPlatform, NotificationsReachTheWindowProcedure) {
    const WindowHandle w = makeWindow(false);
    ASSERT_NE(w, 0u);
    SocketNotifiers notifiers(platform);
    std::uint16_t port = 0;
    const Socket ls = createTcpSocket();
    ASSERT_TRUE(bindSocket(ls, BindAddress::Loopback, 0));
    ASSERT_TRUE(listenSocket(ls, 1));
    port = localPort(ls);
    const Socket link = createUdpSocket();
    ASSERT_TRUE(bindSocket(link, BindAddress::Loopback, 0));

    constexpr unsigned acceptMsg = WM_USER + 1, linkMsg = WM_USER + 11;
    std::string datagram;
    Socket accepted = invalidSocket;
    handler = [&](WindowHandle, unsigned m, WParam wp, LParam) -> LResult {
        if (m == acceptMsg) {
            accepted = acceptConnection(static_cast<Socket>(wp)).socket;
        } else if (m == linkMsg) {
            char buf[660];
            const IoResult r = recvFrom(static_cast<Socket>(wp), buf, sizeof buf);
            datagram.assign(buf, r.ok() ? static_cast<std::size_t>(r.bytes) : 0);
        }
        if (accepted != invalidSocket && !datagram.empty()) {
            platform.postQuit(0);
        }
        return 0;
    };
    ASSERT_TRUE(notifiers.asyncSelect(ls, w, acceptMsg, FD_ACCEPT));
    ASSERT_TRUE(notifiers.asyncSelect(link, w, linkMsg, FD_READ));
    const Socket sender = createUdpSocket();
    ASSERT_TRUE(sendTo(sender, "ping", 4, "127.0.0.1", localPort(link)).ok());
    const Socket client = createTcpSocket();
    ASSERT_EQ(connectTo(client, "127.0.0.1", port, 5000), 0); // completes in the backlog

    EXPECT_EQ(runBounded(w, 5000), 0) << "the notifications did not arrive within 5 s";
    EXPECT_EQ(datagram, "ping");
    EXPECT_GE(accepted, 0);
    const auto accepts = messagesOf(acceptMsg);
    const auto links = messagesOf(linkMsg);
    ASSERT_EQ(accepts.size(), 1u);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(accepts[0].wParam, static_cast<WParam>(ls));
    EXPECT_EQ(accepts[0].lParam, makeLParam(FD_ACCEPT, 0));
    EXPECT_EQ(links[0].wParam, static_cast<WParam>(link));
    EXPECT_EQ(links[0].lParam, makeLParam(FD_READ, 0));
    for (Socket s : {ls, link}) {
        notifiers.closeSocket(s);
    }
    for (Socket s : {sender, client, accepted}) {
        closeSocket(s);
    }
}

} // namespace
