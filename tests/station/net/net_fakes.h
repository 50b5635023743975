#pragma once
// Recording stand-ins for the station parts the relay code talks to, and a
// station-in-a-box for the reassembly tests.

#include <cstdint>
#include <string>
#include <vector>

#include "station/net/receive_stream.h"

namespace station::testing {

using Bytes = std::vector<std::uint8_t>;

class RecordingContext final : public StreamContext {
  public:
    using StreamContext::StreamContext;
    void redesignFilter() override { ++redesigns; }
    void setSlotName(int slot, const char* name) override { names.push_back(std::to_string(slot) + ":" + name); }
    void logHello(int slot) override { hellos.push_back(slot); }
    void sendToServer(const void* p, std::size_t n) override { sendToSlot(clientSlot, p, n); }
    void sendToSlot(int slot, const void* p, std::size_t n) override {
        sentTo.push_back(slot);
        sent.emplace_back(static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
    }
    void fatalStop(const char* message) override { stops.emplace_back(message); }
    std::size_t actions() const {
        return std::size_t(redesigns) + names.size() + hellos.size() + sent.size() + stops.size();
    }

    int redesigns = 0;
    std::vector<std::string> names; // "slot:name"
    std::vector<int> hellos, sentTo;
    std::vector<Bytes> sent;
    std::vector<std::string> stops;
};

class RecordingPlayout final : public BlockPlayout {
  public:
    void processAndPlay(std::int16_t* samples, int byteCount) override {
        blocks.emplace_back(samples, samples + byteCount / 2);
    }
    std::vector<std::vector<std::int16_t>> blocks;
};

// Role: 's' server, 'c' client, '-' neither.
inline void setRole(StationSettings& s, char role, bool commandMode = false, bool dialogMode = false) {
    s.config.serverMode = role == 's';
    s.config.clientMode = role == 'c';
    s.config.commandMode = commandMode;
    s.config.dialogMode = dialogMode;
}

inline Bytes packetBytes(StreamPacketType type, const StationSettings& sender) {
    const StreamPacket p = buildStreamPacket(type, sender);
    return {reinterpret_cast<const std::uint8_t*>(&p), reinterpret_cast<const std::uint8_t*>(&p) + sizeof p};
}

struct Station {
    explicit Station(char role, bool commandMode = false, bool dialogMode = false) {
        setRole(settings, role, commandMode, dialogMode);
    }
    void feed(const Bytes& bytes, int slot) { stream.feedStream(bytes.data(), static_cast<int>(bytes.size()), slot); }
    StationSettings settings;
    GsmCodecPair codec;
    RecordingContext context{settings};
    RecordingPlayout playout;
    ReceiveStream stream{codec, context, playout};
};

} // namespace station::testing
