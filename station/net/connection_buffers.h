#pragma once
// Per-connection buffers of the relay: the outgoing queue that keeps the
// 33-byte framing intact when a non-blocking socket takes only part of a
// send, and the unit assembler that cuts a received byte stream into units.
//
// Neither allocates: both are fixed arrays inside the connection's record.
// Neither locks: the owner of the connection guards them.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/sockets.h"
#include "station/net/stream_packet.h"

namespace station {

// Most GSM frames in one audio chunk: a chunk is one capture buffer, which
// never exceeds the 19200-byte capture ring (60 blocks of 160 samples).
inline constexpr std::size_t maxChunkFrames = 60;
inline constexpr std::size_t maxChunkBytes = maxChunkFrames * streamUnitBytes;

// The bytes of one connection that the socket has not taken yet.
//
// Every push first writes out what is already queued, so bytes leave in the
// order they were pushed and a unit begun on the wire is always finished
// before anything else. Rules:
//  - a control packet is always queued when it cannot be written at once;
//  - an audio chunk is dropped whole when more than one chunk's worth of
//    bytes is still waiting (late audio is worth less than a gap);
//  - when even a control packet finds no room (the peer has read nothing for
//    a long time), the connection is given up: Overflow, and broken.
// After a hard write error the queue is broken: it drops everything and every
// later push reports Failed, until reset() for a new connection.
class OutgoingQueue {
  public:
    static constexpr std::size_t capacity = 8192; // bytes

    enum class Kind { Control, Audio };
    enum class Result {
        Sent,     // all bytes are on the wire
        Queued,   // some or all bytes wait in the queue
        Dropped,  // an audio chunk was dropped whole
        Overflow, // a control packet found no room; the queue is now broken
        Failed,   // the connection has failed (now or earlier)
    };

    // `write(bytes, count)` → bytes taken (> 0), 0 when the socket would
    // block, or -1 on a hard error.
    template <class Write> Result push(const void* data, std::size_t size, Kind kind, Write&& write) {
        if (broken_) {
            return Result::Failed;
        }
        flush(write);
        if (broken_) {
            return Result::Failed;
        }
        if (kind == Kind::Audio && (size > maxChunkBytes || pending() > size)) {
            return Result::Dropped;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        std::size_t taken = 0;
        if (pending() == 0) {
            while (taken < size) {
                const std::ptrdiff_t r = write(bytes + taken, size - taken);
                if (r < 0) {
                    fail();
                    return Result::Failed;
                }
                if (r == 0) {
                    break;
                }
                taken += static_cast<std::size_t>(r);
            }
            if (taken == size) {
                return Result::Sent;
            }
        }
        if (!append(bytes + taken, size - taken)) {
            // Only a control packet can get here: an audio chunk that began on
            // the wire found an empty queue, and a chunk always fits in one.
            fail();
            return kind == Kind::Control ? Result::Overflow : Result::Dropped;
        }
        return Result::Queued;
    }

    // Writes what is waiting until the socket would block. True when nothing
    // is left.
    template <class Write> bool flush(Write&& write) {
        while (!broken_ && pending() > 0) {
            const std::ptrdiff_t r = write(buffer_.data() + head_, pending());
            if (r < 0) {
                fail();
                break;
            }
            if (r == 0) {
                return false;
            }
            head_ += static_cast<std::size_t>(r);
        }
        if (pending() == 0) {
            head_ = tail_ = 0;
        }
        return pending() == 0;
    }

    std::size_t pending() const { return tail_ - head_; }
    bool broken() const { return broken_; }
    void reset() {
        head_ = tail_ = 0;
        broken_ = false;
    }

  private:
    bool append(const std::uint8_t* bytes, std::size_t size) {
        if (pending() + size > capacity) {
            return false;
        }
        if (tail_ + size > capacity) {
            std::memmove(buffer_.data(), buffer_.data() + head_, pending());
            tail_ -= head_;
            head_ = 0;
        }
        std::memcpy(buffer_.data() + tail_, bytes, size);
        tail_ += size;
        return true;
    }
    void fail() {
        broken_ = true;
        head_ = tail_ = 0;
    }

    std::array<std::uint8_t, capacity> buffer_{};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    bool broken_ = false;
};

// The writer for OutgoingQueue on a non-blocking socket.
struct SocketWriter {
    platform::Socket socket;
    std::ptrdiff_t operator()(const std::uint8_t* bytes, std::size_t count) const {
        const platform::IoResult r = platform::sendBytes(socket, bytes, count);
        if (r.ok()) {
            return r.bytes;
        }
        return platform::wouldBlock(r) ? 0 : -1;
    }
};

// Cuts one connection's received bytes into 33-byte units; a unit split
// across receives is joined. reset() for a new connection.
class UnitAssembler {
  public:
    // Calls `onUnit(const std::uint8_t* unit)` for every completed unit, in
    // order. `onUnit` returns false to drop the rest of these bytes (the
    // connection is being closed).
    template <class OnUnit> void feed(const std::uint8_t* bytes, std::size_t count, OnUnit&& onUnit) {
        std::size_t taken = 0;
        while (taken < count) {
            const std::size_t part = std::min(count - taken, streamUnitBytes - fill_);
            std::memcpy(unit_.data() + fill_, bytes + taken, part);
            fill_ += part;
            taken += part;
            if (fill_ == streamUnitBytes) {
                fill_ = 0;
                if (!onUnit(static_cast<const std::uint8_t*>(unit_.data()))) {
                    return;
                }
            }
        }
    }
    void reset() { fill_ = 0; }
    std::size_t pendingBytes() const { return fill_; }

  private:
    std::array<std::uint8_t, streamUnitBytes> unit_{};
    std::size_t fill_ = 0;
};

// True when `unit` is a well-formed control packet (magic and checksum);
// `type` receives its type byte.
bool isControlPacket(const std::uint8_t* unit, std::uint8_t& type);

} // namespace station
