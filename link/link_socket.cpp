#include "link/link_socket.h"

#include "link/datagrams.h"
#include "platform/cp1251.h"

namespace locallink {

using namespace platform::literals;

namespace {

void reportError(platform::Platform& platform, std::string_view textCp1251) {
    // No owner window: the box belongs to no window, as the link is the
    // program's, not the window's.
    platform.messageBox(0, textCp1251, "Error"_cp1251);
}

} // namespace

platform::Socket openLinkSocket(platform::Platform& platform, platform::SocketNotifiers& notifiers,
                                platform::WindowHandle window, std::uint16_t ownPort) {
    const platform::Socket s = platform::createUdpSocket();
    if (s == platform::invalidSocket) {
        reportError(platform, "Ошибка сокета UDP"_cp1251);
        return platform::invalidSocket;
    }
    // Broadcast is needed to send to 127.255.255.255; reuse lets a second
    // copy of a program (or a test) bind the same port and still hear the
    // broadcasts. A refusal shows up at bind or send time, so it is not
    // reported separately.
    platform::setBroadcast(s);
    platform::setReuseAddr(s);
    if (!platform::bindSocket(s, platform::BindAddress::Any, ownPort)) {
        reportError(platform, "Ошибка связи сокета UDP"_cp1251);
        platform::closeSocket(s);
        return platform::invalidSocket;
    }
    if (!notifiers.asyncSelect(s, window, LINK_SOCKET_MESSAGE, platform::FD_READ)) {
        platform::closeSocket(s);
        reportError(platform, "Ошибка WSAAsyncSelect UDP"_cp1251);
        return platform::invalidSocket;
    }
    return s;
}

void sendLinkDatagram(platform::Socket socket, const void* bytes, std::size_t length, std::uint16_t peerPort) {
    if (socket == platform::invalidSocket) {
        return;
    }
    platform::sendTo(socket, bytes, length, broadcastAddress, peerPort);
}

LinkRead readLinkDatagram(platform::Socket socket, std::uint8_t (&buffer)[linkBufferBytes], std::ptrdiff_t& length) {
    length = -1;
    if (socket == platform::invalidSocket) {
        return LinkRead::Nothing;
    }
    std::uint32_t source = 0;
    const platform::IoResult r = platform::recvFrom(socket, buffer, sizeof buffer, &source);
    if (!r.ok()) {
        // A datagram too long for the buffer has been consumed whole.
        return platform::datagramTooLong(r) ? LinkRead::Datagram : LinkRead::Nothing;
    }
    // The link is between processes of this machine: a datagram from
    // anywhere else (the socket is bound to every address, so that the
    // loopback broadcasts reach it) is dropped before anything reads it.
    if (!platform::isLoopbackAddress(source)) {
        return LinkRead::Datagram;
    }
    if (r.bytes >= static_cast<std::ptrdiff_t>(linkMinimumBytes)) {
        length = r.bytes;
    }
    return LinkRead::Datagram;
}

std::ptrdiff_t receiveLinkDatagram(platform::Socket socket, std::uint8_t (&buffer)[linkBufferBytes]) {
    std::ptrdiff_t length = -1;
    readLinkDatagram(socket, buffer, length);
    return length;
}

void closeLinkSocket(platform::SocketNotifiers& notifiers, platform::Socket socket) {
    if (socket == platform::invalidSocket) {
        return;
    }
    notifiers.closeSocket(socket);
}

} // namespace locallink
