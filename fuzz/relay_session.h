#pragma once
// What the relay-session harnesses share: one headless Platform for the
// whole run (the socket notifiers need it; its loop never runs, so the
// harness delivers every socket notification itself), a loopback listening
// socket, and reading what has arrived on a socket without waiting.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/stream_fakes.h"
#include "platform/platform.h"
#include "platform/sockets.h"

namespace fuzzsupport {

inline platform::Platform& headlessPlatform() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static platform::Platform platform(argc, argv);
    return platform;
}

// Whether `s` has bytes (or an end of stream) waiting right now.
inline bool readable(platform::Socket s) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

// Appends whatever has arrived on `s`; false at the end of the stream.
inline bool drain(platform::Socket s, std::vector<std::uint8_t>& into) {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            into.insert(into.end(), buffer, buffer + n);
        } else {
            return n != 0;
        }
    }
}

// Closes with a reset, so a run of many connections leaves no TIME_WAIT
// behind to use up the ephemeral ports.
inline void closeAbruptly(platform::Socket s) {
    const linger abrupt{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    platform::closeSocket(s);
}

// A unit a peer may send where units are aligned: a control packet or a
// GSM 06.10 frame (0xD in the high nibble of its first byte).
inline bool isAlignedUnit(const std::uint8_t* unit) { return isControlPacket(unit) || (unit[0] & 0xF0) == 0xD0; }

// Piece sizes chosen by the fuzzer: byte 0 % 16 is their number n, bytes
// 1 … n follow; each gives 1 … 128 bytes (low 7 bits + 1), and its high bit
// asks for a one-second tick after the piece. Returns the bytes taken.
struct Pieces {
    std::vector<std::uint8_t> sizes;
    std::size_t take(const std::uint8_t* data, std::size_t size) {
        if (size == 0) {
            return 0;
        }
        const std::size_t n = std::min<std::size_t>(data[0] % 16, size - 1);
        sizes.assign(data + 1, data + 1 + n);
        return 1 + n;
    }
    std::size_t length(std::size_t i) const { return sizes.empty() ? 33 : (sizes[i % sizes.size()] & 0x7F) + 1u; }
    bool tick(std::size_t i) const { return !sizes.empty() && (sizes[i % sizes.size()] & 0x80) != 0; }
};

// A session harness's input: byte 0 a mode for the harness, then the
// pieces, then the stream. Needs at least one byte.
struct SessionInput {
    std::uint8_t mode = 0;
    Pieces pieces;
    std::vector<std::uint8_t> stream;

    SessionInput(const std::uint8_t* data, std::size_t size) : mode(data[0]) {
        const std::size_t head = 1 + pieces.take(data + 1, size - 1);
        stream.assign(data + head, data + size);
    }
};

} // namespace fuzzsupport
