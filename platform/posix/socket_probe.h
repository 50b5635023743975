#pragma once
// Private to platform/: what socket notifications need to know of a socket.

#include <cstdint>

#include "platform/sockets.h"

namespace platform::posix {

enum class SocketKind { Listening, Stream, Datagram };

// The socket's identity beyond its number: sockets have distinct inodes, so a
// descriptor that was closed and reused for another socket is recognised.
// 0 when `s` is no open descriptor.
std::uint64_t socketIdentity(Socket s);

// What `s` is; false when it is no socket.
bool socketKind(Socket s, SocketKind& kind);

// What a readable stream socket holds, without taking it.
enum class StreamState {
    Data,    // bytes to read
    Ended,   // the peer closed its side
    Nothing, // a spurious wake-up: nothing yet
    Failed,  // an error ended the stream; `error` holds its errno value
};
StreamState peekStream(Socket s, int& error);

} // namespace platform::posix
