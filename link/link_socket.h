#pragma once
// The local link's UDP socket, the same in both programs: bound to any local
// address on the program's own port, broadcast on the loopback network to
// the peer's port, readable events posted to the main window as
// LINK_SOCKET_MESSAGE.

#include <cstddef>
#include <cstdint>

#include "link/datagrams.h"
#include "platform/platform.h"
#include "platform/sockets.h"

namespace locallink {

// Largest datagram either side reads; a longer one is dropped whole.
inline constexpr std::size_t linkBufferBytes = sizeof(SampleDatagram);
// Shortest datagram either side acts on (one ControlDatagram, or the header
// of a SampleDatagram).
inline constexpr std::size_t linkMinimumBytes = sizeof(ControlDatagram);

// Opens the link socket: IPv4 UDP with broadcast and address reuse, bound to
// any address on `ownPort` (host order; 0 lets the system choose, for tests),
// read events posted to `window` as LINK_SOCKET_MESSAGE through `notifiers`.
// On failure tells the user in a box captioned "Error" and returns
// platform::invalidSocket; the program goes on without the link.
platform::Socket openLinkSocket(platform::Platform& platform, platform::SocketNotifiers& notifiers,
                                platform::WindowHandle window, std::uint16_t ownPort);

// Sends `length` bytes as one datagram to the loopback broadcast address on
// `peerPort` (host order). Errors are not reported: a datagram to a program
// that is not running is simply lost. Does nothing for an invalid socket.
void sendLinkDatagram(platform::Socket socket, const void* bytes, std::size_t length, std::uint16_t peerPort);

// Reads one waiting datagram into `buffer`. Returns its length,
// linkMinimumBytes … linkBufferBytes, or −1 for a datagram to ignore:
// shorter than linkMinimumBytes, longer than the buffer (consumed whole),
// sent from an address that is not a loopback address (consumed unread), or
// a socket error (nothing waiting included). Bytes of the buffer beyond the
// returned length are left as they were.
std::ptrdiff_t receiveLinkDatagram(platform::Socket socket, std::uint8_t (&buffer)[linkBufferBytes]);

// Whether a read found a datagram (acted on or dropped) or nothing at all.
enum class LinkRead { Datagram, Nothing };
// One read as receiveLinkDatagram does it; `length` is −1 for a datagram to
// ignore. Nothing: the socket has nothing waiting, or failed.
LinkRead readLinkDatagram(platform::Socket socket, std::uint8_t (&buffer)[linkBufferBytes], std::ptrdiff_t& length);

// Reads the datagrams waiting on `socket`, at most `limit` of them, and
// calls `handle(bytes, length)` for each one receiveLinkDatagram would
// return. A burst is then taken in one pass of the loop instead of one
// datagram per pass, and a command behind a flood of others waits for no
// more than `limit` of them. Returns the number read, dropped ones included.
template <typename Handle> int receiveWaitingDatagrams(platform::Socket socket, int limit, Handle&& handle) {
    std::uint8_t buffer[linkBufferBytes];
    int read = 0;
    for (std::ptrdiff_t length = -1; read < limit; ++read) {
        if (readLinkDatagram(socket, buffer, length) == LinkRead::Nothing) {
            break;
        }
        if (length >= 0) {
            handle(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(length));
        }
    }
    return read;
}

// Cancels the socket's notifications and closes it. Does nothing for an
// invalid socket.
void closeLinkSocket(platform::SocketNotifiers& notifiers, platform::Socket socket);

} // namespace locallink
