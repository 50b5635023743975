#include "platform/sockets.h"
#include "platform/posix/socket_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

namespace {

// How often a stoppable connect looks at its stop token.
constexpr int stopCheckStepMs = 50;

bool setIntOption(Socket s, int level, int name, int value) {
    return ::setsockopt(s, level, name, &value, sizeof value) == 0;
}

sockaddr_in makeAddress(std::uint32_t networkOrderAddress, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = networkOrderAddress;
    return a;
}

IoResult fromCall(ssize_t r) {
    IoResult out;
    if (r < 0) {
        out.bytes = -1;
        out.error = errno;
    } else {
        out.bytes = r;
    }
    return out;
}

} // namespace

Socket createTcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

Socket createUdpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP); }

bool setNoDelay(Socket s) { return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1); }
bool setBroadcast(Socket s) { return setIntOption(s, SOL_SOCKET, SO_BROADCAST, 1); }
bool setReuseAddr(Socket s) { return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

bool setNonBlocking(Socket s, bool on) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || ::fcntl(s, F_SETFL, wanted) == 0;
}

bool bindSocket(Socket s, BindAddress address, std::uint16_t port) {
    const sockaddr_in a = makeAddress(htonl(address == BindAddress::Any ? INADDR_ANY : INADDR_LOOPBACK), port);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool listenSocket(Socket s, int backlog) { return ::listen(s, backlog) == 0; }

std::uint16_t localPort(Socket s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(a.sin_port);
}

bool parseIPv4(const char* dotted, std::uint32_t& networkOrder) {
    // inet_aton accepts exactly what inet_addr accepts, but also tells
    // "255.255.255.255" apart from a failure.
    in_addr a{};
    if (dotted == nullptr || ::inet_aton(dotted, &a) == 0) {
        return false;
    }
    networkOrder = a.s_addr;
    return true;
}

AcceptResult acceptConnection(Socket listener) {
    AcceptResult out;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    Socket s;
    do {
        s = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s < 0) {
        out.error = errno;
        return out;
    }
    out.socket = s;
    char text[INET_ADDRSTRLEN] = {};
    if (peer.sin_family == AF_INET && ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) != nullptr) {
        out.peerAddress = text;
    }
    return out;
}

int connectTo(Socket s, const char* dotted, std::uint16_t port, int timeoutMs, const std::stop_token& stop) {
    std::uint32_t address = 0;
    if (!parseIPv4(dotted, address)) {
        return EINVAL;
    }
    const sockaddr_in a = makeAddress(address, port);
    if (timeoutMs < 0) {
        if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
        // An interrupted connect goes on in the background; wait for it below.
    } else {
        // Bounded: start the connect non-blocking and wait for its outcome.
        const int flags = ::fcntl(s, F_GETFL);
        if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
            return errno;
        }
        const int r = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        const int startError = r == 0 ? 0 : errno;
        ::fcntl(s, F_SETFL, flags);
        if (r == 0) {
            return 0;
        }
        if (startError != EINPROGRESS && startError != EINTR) {
            return startError;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (stop.stop_requested()) {
            return ECANCELED;
        }
        int waitMs = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return ETIMEDOUT;
            }
            waitMs = static_cast<int>(left.count());
        }
        // A stoppable wait looks at its stop token every step.
        if (stop.stop_possible() && (waitMs < 0 || waitMs > stopCheckStepMs)) {
            waitMs = stopCheckStepMs;
        }
        pollfd p{s, POLLOUT, 0};
        const int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return errno;
        }
        if (r == 0) {
            continue; // the deadline or the stop token decides at the top
        }
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
            return errno;
        }
        return error;
    }
}

void shutdownSocket(Socket s, ShutdownDirection direction) {
    ::shutdown(s, direction == ShutdownDirection::Send ? SHUT_WR : SHUT_RDWR);
}

void drainSocket(Socket s, int maxReads) {
    std::uint8_t scratch[512];
    for (int i = 0; i < maxReads; ++i) {
        ssize_t r;
        do {
            r = ::recv(s, scratch, sizeof scratch, MSG_DONTWAIT);
        } while (r < 0 && errno == EINTR);
        if (r <= 0) {
            return;
        }
    }
}

bool datagramTooLong(const IoResult& result) { return !result.ok() && result.error == EMSGSIZE; }

bool wouldBlock(const IoResult& result) {
    return !result.ok() && (result.error == EWOULDBLOCK || result.error == EAGAIN);
}

IoResult sendBytes(Socket s, const void* data, std::size_t size) {
    ssize_t r;
    do {
        r = ::send(s, data, size, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return fromCall(r);
}

IoResult recvBytes(Socket s, void* buffer, std::size_t size) {
    ssize_t r;
    do {
        r = ::recv(s, buffer, size, 0);
    } while (r < 0 && errno == EINTR);
    return fromCall(r);
}

IoResult sendTo(Socket s, const void* data, std::size_t size, const char* dotted, std::uint16_t port) {
    std::uint32_t address = 0;
    if (!parseIPv4(dotted, address)) {
        return IoResult{-1, EINVAL};
    }
    const sockaddr_in a = makeAddress(address, port);
    ssize_t r;
    do {
        r = ::sendto(s, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (r < 0 && errno == EINTR);
    return fromCall(r);
}

IoResult recvFrom(Socket s, void* buffer, std::size_t size, std::uint32_t* sourceHostOrder) {
    ssize_t r;
    sockaddr_storage source{};
    socklen_t sourceLength = 0;
    do {
        sourceLength = sizeof source;
        // MSG_TRUNC makes the kernel report the datagram's real length.
        r = ::recvfrom(s, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&source), &sourceLength);
    } while (r < 0 && errno == EINTR);
    if (sourceHostOrder != nullptr) {
        *sourceHostOrder = 0;
        if (r >= 0 && source.ss_family == AF_INET && sourceLength >= sizeof(sockaddr_in)) {
            *sourceHostOrder = ntohl(reinterpret_cast<const sockaddr_in*>(&source)->sin_addr.s_addr);
        }
    }
    if (r >= 0 && static_cast<std::size_t>(r) > size) {
        return IoResult{-1, EMSGSIZE};
    }
    return fromCall(r);
}

void closeSocket(Socket s) {
    if (s >= 0) {
        ::close(s); // not retried on EINTR: Linux has released the descriptor
    }
}

namespace posix {

std::uint64_t socketIdentity(Socket s) {
    struct stat st {};
    return ::fstat(s, &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
}

bool socketKind(Socket s, SocketKind& kind) {
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
    kind = type == SOCK_DGRAM ? SocketKind::Datagram : accepting != 0 ? SocketKind::Listening : SocketKind::Stream;
    return true;
}

StreamState peekStream(Socket s, int& error) {
    char probe = 0;
    const ssize_t r = ::recv(s, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r > 0) {
        return StreamState::Data;
    }
    if (r == 0) {
        return StreamState::Ended;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return StreamState::Nothing;
    }
    error = errno;
    return StreamState::Failed;
}

} // namespace posix

} // namespace platform
