// The link socket on the loopback network: datagrams sent to the loopback
// broadcast address arrive at a socket opened the link's way, too short and
// too long ones are dropped, and set-up failures are reported and leave no
// socket.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/datagrams.h"
#include "link/link_socket.h"
#include "platform/platform.h"
#include "platform/sockets.h"

namespace {

using namespace platform;

class LinkSocket : public ::testing::Test {
  protected:
    static constexpr unsigned guardTimer = 77;
    int argc = 1;
    char name[8] = "test";
    char* argv[2] = {name, nullptr};
    Platform platform{argc, argv};
    SocketNotifiers notifiers{platform};
    WindowHandle window = 0;
    std::vector<std::vector<std::uint8_t>> received;
    int notifications = 0;
    std::size_t expected = 0;

    void SetUp() override {
        WindowClass wc;
        wc.name = "link-test";
        wc.procedure = [this](WindowHandle w, unsigned m, WParam wp, LParam lp) -> LResult {
            if (m == WM_TIMER && wp == guardTimer) {
                platform.postQuit(1);
                return 0;
            }
            if (m == locallink::LINK_SOCKET_MESSAGE && loWord(static_cast<std::uintptr_t>(lp)) == FD_READ) {
                ++notifications;
                std::uint8_t buffer[locallink::linkBufferBytes];
                const std::ptrdiff_t n = locallink::receiveLinkDatagram(static_cast<Socket>(wp), buffer);
                if (n >= 0) {
                    received.emplace_back(buffer, buffer + n);
                    if (received.size() == expected) {
                        platform.postQuit(0);
                    }
                }
                return 0;
            }
            return platform.defWindowProc(w, m, wp, lp);
        };
        ASSERT_TRUE(platform.registerClass(wc));
        WindowOptions options;
        options.className = "link-test";
        options.width = 200;
        options.height = 100;
        options.visible = false;
        window = platform.createWindow(options);
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(platform.setTimer(window, guardTimer, 5000));
    }
};

TEST_F(LinkSocket, DatagramsArriveWholeAndUnusableOnesAreDropped) {
    // Port 0: the system chooses, so the test never meets a running program.
    const Socket receiver = locallink::openLinkSocket(platform, notifiers, window, 0);
    ASSERT_NE(receiver, invalidSocket);
    const std::uint16_t port = localPort(receiver);
    ASSERT_NE(port, 0);
    const Socket sender = locallink::openLinkSocket(platform, notifiers, window, 0);
    ASSERT_NE(sender, invalidSocket);

    locallink::ControlDatagram quit;
    quit.command = locallink::Quit;
    std::vector<std::uint8_t> full(660);
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::vector<std::uint8_t> tooShort(19, 1), tooLong(661, 2);
    locallink::sendLinkDatagram(sender, tooShort.data(), tooShort.size(), port);
    locallink::sendLinkDatagram(sender, tooLong.data(), tooLong.size(), port);
    locallink::sendLinkDatagram(sender, &quit, sizeof quit, port);
    locallink::sendLinkDatagram(sender, full.data(), full.size(), port);
    expected = 2;
    ASSERT_EQ(platform.runLoop(), 0) << "timed out after " << received.size() << " datagrams";

    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(notifications, 4) << "one notification per datagram, dropped ones included";
    ASSERT_EQ(received[0].size(), sizeof quit);
    EXPECT_EQ(std::memcmp(received[0].data(), &quit, sizeof quit), 0);
    EXPECT_EQ(received[1], full);

    locallink::closeLinkSocket(notifiers, sender);
    locallink::closeLinkSocket(notifiers, receiver);
}

TEST_F(LinkSocket, WaitingDatagramsAreReadInOnePassUpToTheLimit) {
    const Socket receiver = locallink::openLinkSocket(platform, notifiers, window, 0);
    ASSERT_NE(receiver, invalidSocket);
    const std::uint16_t port = localPort(receiver);
    const Socket sender = locallink::openLinkSocket(platform, notifiers, window, 0);
    ASSERT_NE(sender, invalidSocket);
    std::vector<std::size_t> lengths;
    const auto record = [&](const std::uint8_t*, std::size_t length) { lengths.push_back(length); };

    // Loopback datagrams are queued by the time sendto returns.
    const std::vector<std::uint8_t> empty, tooShort(19, 1), command(20, 3), tooLong(661, 2), full(660, 4);
    for (const auto* d : {&tooShort, &command, &tooLong, &empty, &full, &command}) {
        locallink::sendLinkDatagram(sender, d->data(), d->size(), port);
    }
    EXPECT_EQ(locallink::receiveWaitingDatagrams(receiver, 100, record), 6) << "dropped ones count as read";
    EXPECT_EQ(lengths, (std::vector<std::size_t>{20, 660, 20}));
    EXPECT_EQ(locallink::receiveWaitingDatagrams(receiver, 100, record), 0) << "nothing waits";

    lengths.clear();
    for (int i = 0; i < 5; ++i) {
        locallink::sendLinkDatagram(sender, command.data(), command.size(), port);
    }
    EXPECT_EQ(locallink::receiveWaitingDatagrams(receiver, 2, record), 2);
    EXPECT_EQ(locallink::receiveWaitingDatagrams(receiver, 2, record), 2);
    EXPECT_EQ(locallink::receiveWaitingDatagrams(receiver, 2, record), 1);
    EXPECT_EQ(lengths.size(), 5u);
    EXPECT_EQ(locallink::receiveWaitingDatagrams(invalidSocket, 2, record), 0);

    locallink::closeLinkSocket(notifiers, sender);
    locallink::closeLinkSocket(notifiers, receiver);
}

TEST_F(LinkSocket, BindFailureIsReportedAndLeavesNoSocket) {
    // A socket without address reuse holds the port, so the link's bind fails.
    const Socket holder = createUdpSocket();
    ASSERT_NE(holder, invalidSocket);
    ASSERT_TRUE(bindSocket(holder, BindAddress::Any, 0));
    const std::uint16_t port = localPort(holder);

    ::testing::internal::CaptureStderr();
    const Socket s = locallink::openLinkSocket(platform, notifiers, window, port);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, invalidSocket);
    EXPECT_NE(report.find("Error"), std::string::npos) << "got: " << report;
    EXPECT_NE(report.find("Ошибка связи сокета UDP"), std::string::npos) << "got: " << report;
    closeSocket(holder);

    // Sends and receives on no socket do nothing.
    std::uint8_t buffer[locallink::linkBufferBytes];
    EXPECT_EQ(locallink::receiveLinkDatagram(invalidSocket, buffer), -1);
    locallink::sendLinkDatagram(invalidSocket, buffer, 20, port);
    locallink::closeLinkSocket(notifiers, invalidSocket);
}

// Only a sender on this machine's loopback network is heard.
TEST(LinkSource, OnlyLoopbackSendersAreAccepted) {
    struct Case {
        const char* address;
        bool accepted;
    };
    for (const Case c : {Case{"127.0.0.1", true}, Case{"127.255.255.255", true}, Case{"127.1.2.3", true},
                         Case{"0.0.0.0", false}, Case{"10.0.0.1", false}, Case{"126.255.255.255", false},
                         Case{"128.0.0.1", false}, Case{"192.168.1.127", false}, Case{"255.255.255.255", false}}) {
        std::uint32_t networkOrder = 0;
        ASSERT_TRUE(parseIPv4(c.address, networkOrder)) << c.address;
        const std::uint32_t hostOrder = (networkOrder & 0xFFu) << 24 | (networkOrder & 0xFF00u) << 8 |
                                        (networkOrder >> 8 & 0xFF00u) | networkOrder >> 24;
        EXPECT_EQ(c.accepted, isLoopbackAddress(hostOrder)) << c.address;
    }
}

} // namespace
