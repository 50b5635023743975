#pragma once
// Reassembly of a received relay stream into 33-byte units, and playout of
// the audio among them.

#include <array>
#include <cstdint>

#include "station/net/gsm_codec.h"
#include "station/net/stream_packet.h"

namespace station {

// Where a decoded block goes: the station's block processing, then its
// playback queue (which drops the block when it is full).
class BlockPlayout {
  public:
    virtual ~BlockPlayout() = default;
    // `samples`: 160 samples that processing may change in place;
    // `byteCount`: 320.
    virtual void processAndPlay(std::int16_t* samples, int byteCount) = 0;
};

// The station's one unit reassembler. A client feeds it its server's stream,
// a server in dialog or command mode the stream of slot 0. Runs on the window
// thread only, like every call it makes; nothing here allocates.
class ReceiveStream {
  public:
    ReceiveStream(GsmCodecPair& codec, StreamContext& context, BlockPlayout& playout)
        : codec_(codec), context_(context), playout_(playout) {}
    ReceiveStream(const ReceiveStream&) = delete;
    ReceiveStream& operator=(const ReceiveStream&) = delete;

    // Takes `count` received bytes from the connection of `slot` (0 at a
    // server, clientSlot at a client); count ≤ 0 does nothing. Every complete
    // unit goes to handleStreamPacket; at a server in command mode that is
    // all, anywhere else a unit that is not a control packet is decoded and
    // played. A partial unit waits for the next call. Once the context has
    // stopped (a unit drew a fatal stop), the rest of the bytes are dropped.
    void feedStream(const std::uint8_t* bytes, int count, int slot);

    // Drops a partial unit. Call when the connection that feeds this stream
    // closes and when a new one is accepted, so a new connection starts on a
    // unit boundary.
    void reset() { fill_ = 0; }

    // Bytes of the partial unit waiting, 0 … 32.
    int pendingBytes() const { return fill_; }

  private:
    void completeUnit(int slot);

    GsmCodecPair& codec_;
    StreamContext& context_;
    BlockPlayout& playout_;
    std::array<std::uint8_t, streamUnitBytes> unit_{};
    int fill_ = 0;
    std::array<std::int16_t, gsmBlockSamples> block_{};
};

} // namespace station
