#pragma once
// IPv4 sockets for the relay and the local link, and window notifications of
// socket events in the Winsock 1.1 shape: FD_READ, FD_ACCEPT and FD_CLOSE in
// the low word of lParam, the error in the high word, the socket in wParam.
//
// The helpers are thin POSIX calls that return results instead of throwing.
// Every socket is created close-on-exec, so a started process inherits none;
// sends never raise SIGPIPE; calls interrupted by a signal are retried.
// Errors are errno values (ECONNREFUSED, EWOULDBLOCK, ...).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "platform/messages.h"
#include "platform/platform.h"

namespace platform {

using Socket = int; // a file descriptor
inline constexpr Socket invalidSocket = -1;

// Result of a transfer: bytes >= 0 moved, or bytes == -1 and error set.
struct IoResult {
    std::ptrdiff_t bytes = -1;
    int error = 0;
    bool ok() const { return bytes >= 0; }
};

Socket createTcpSocket(); // invalidSocket on failure
Socket createUdpSocket();
bool setNoDelay(Socket s);   // TCP_NODELAY on
bool setBroadcast(Socket s); // SO_BROADCAST on
bool setReuseAddr(Socket s); // SO_REUSEADDR on
bool setNonBlocking(Socket s, bool on);

enum class BindAddress { Any, Loopback };
// `port`: host order, 0 lets the system choose (see localPort).
bool bindSocket(Socket s, BindAddress address, std::uint16_t port);
bool listenSocket(Socket s, int backlog);
// The bound port in host order, 0 when unknown.
std::uint16_t localPort(Socket s);

// Parses a dotted IPv4 address as inet_addr does ("10.0.0.1", also the short
// forms "127.1" and numbers in octal or hex). `networkOrder` receives the
// address in network byte order. False for text that is no address.
bool parseIPv4(const char* dotted, std::uint32_t& networkOrder);

struct AcceptResult {
    Socket socket = invalidSocket;
    std::string peerAddress; // dotted IPv4 of the peer, "" on failure
    int error = 0;
};
// The accepted socket is close-on-exec and blocking, whatever the listener is.
AcceptResult acceptConnection(Socket listener);

// Blocking connect to a dotted IPv4 address (parsed as by parseIPv4) and a
// port in host order. Returns 0 on success, else the errno value (EINVAL for
// an address text that does not parse, ETIMEDOUT after `timeoutMs`,
// ECANCELED once `stop` is requested). `timeoutMs` < 0 waits as long as the
// system does (minutes for an unreachable host). A worker thread passes its
// stop token: the wait then ends within 50 ms of a stop request. The socket
// keeps its blocking mode.
int connectTo(Socket s, const char* dotted, std::uint16_t port, int timeoutMs = -1, const std::stop_token& stop = {});

// Ends the sending direction (the peer reads the end of the stream once the
// queued bytes are delivered), or both directions.
enum class ShutdownDirection { Send, Both };
void shutdownSocket(Socket s, ShutdownDirection direction);
// Reads and discards what is already waiting, at most `maxReads` reads of
// 512 bytes, without blocking.
void drainSocket(Socket s, int maxReads);
// Whether a failed transfer on a non-blocking socket only found it full
// (sending) or empty (receiving).
bool wouldBlock(const IoResult& result);

IoResult sendBytes(Socket s, const void* data, std::size_t size);
IoResult recvBytes(Socket s, void* buffer, std::size_t size);
// `port` in host order; `dotted` as for parseIPv4 ("127.255.255.255").
IoResult sendTo(Socket s, const void* data, std::size_t size, const char* dotted, std::uint16_t port);
// A datagram longer than `size` is consumed whole and reported as an error
// (EMSGSIZE), as Winsock reports it; `bytes` is then -1. `sourceHostOrder`,
// when given, receives the sender's IPv4 address in host order (0 when the
// sender is not an IPv4 address), also for a datagram that was too long.
IoResult recvFrom(Socket s, void* buffer, std::size_t size, std::uint32_t* sourceHostOrder = nullptr);
// Whether recvFrom failed on a datagram longer than its buffer.
bool datagramTooLong(const IoResult& result);

// Whether an IPv4 address (host order) is a loopback address, 127.0.0.0/8:
// only a process on this machine can send from one.
constexpr bool isLoopbackAddress(std::uint32_t hostOrder) { return (hostOrder >> 24) == 127; }

// Closes a socket that is not registered with a SocketNotifiers; a registered
// one is closed through SocketNotifiers::closeSocket.
void closeSocket(Socket s);

// Delivery of one socket notification to a window: (window, message,
// wParam = socket, lParam = event | error << 16). Called on the main thread.
using SocketMessageSink = std::function<void(WindowHandle, unsigned, WParam, LParam)>;

// The registry of socket notifications of one program, created by its start-up
// on the main thread (the Qt event loop's thread) and destroyed there after the
// loop has ended, before the Platform. Notifications are delivered by that loop, one at a time per
// socket: after a socket's notification the socket is not watched again until
// the window procedure has returned, so a handler that reads part of the data
// gets a further FD_READ and a handler that reads nothing gets the same event
// again. A handler must therefore consume (recv, accept) or cancel.
//
// Per socket, as Winsock reports it:
//  - listening socket, a connection waiting: FD_ACCEPT;
//  - datagram socket, a datagram waiting: FD_READ;
//  - stream socket: FD_READ while unread bytes remain; once they are drained
//    and the peer has closed, one FD_CLOSE (error 0); a reset or other socket
//    error gives one FD_CLOSE with the errno value in the high word.
// Events not requested are not delivered.
class SocketNotifiers {
  public:
    explicit SocketNotifiers(SocketMessageSink sink);
    // Notifications go to the window procedure as a direct call from the loop.
    explicit SocketNotifiers(Platform& platform)
        : SocketNotifiers(
              [&platform](WindowHandle w, unsigned m, WParam wp, LParam lp) { platform.sendMessage(w, m, wp, lp); }) {}
    ~SocketNotifiers();
    SocketNotifiers(const SocketNotifiers&) = delete;
    SocketNotifiers& operator=(const SocketNotifiers&) = delete;

    // Any thread. Requests `events` (FD_READ | FD_ACCEPT | FD_CLOSE) on `s` as
    // `message` to `window`, replacing an earlier request; 0 cancels. Like
    // WSAAsyncSelect it switches the socket to non-blocking mode. From another
    // thread the watch starts once the main loop runs. False for an invalid
    // socket or an event set outside the three.
    bool asyncSelect(Socket s, WindowHandle window, unsigned message, unsigned events);

    // Any thread. Cancels the socket's notifications, then closes it. No
    // notification for the socket starts after this call returns (one being
    // delivered on the main thread at that moment runs to its end). From
    // another thread, a watched socket is closed by the main loop once its
    // watch has ended, so its number cannot be reused while still watched.
    void closeSocket(Socket s);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
