#pragma once
// A StreamContext and a BlockPlayout for the relay harnesses: they check
// every call the stream code makes against its contract and count them.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "station/net/receive_stream.h"
#include "station/net/stream_packet.h"

namespace fuzzsupport {

class CheckingContext final : public station::StreamContext {
  public:
    using StreamContext::StreamContext;

    void redesignFilter() override { ++actions; }
    void setSlotName(int slot, const char* name) override {
        FUZZ_CHECK(slot >= 0 && slot < station::slotCount);
        FUZZ_CHECK(name != nullptr && std::memchr(name, 0, 16) != nullptr);
        ++actions;
    }
    void logHello(int slot) override {
        FUZZ_CHECK(slot >= 0 && slot < station::slotCount);
        ++actions;
    }
    void sendToServer(const void* bytes, std::size_t count) override {
        FUZZ_CHECK(settings.config.clientMode);
        checkPacket(bytes, count);
        ++actions;
    }
    void sendToSlot(int slot, const void* bytes, std::size_t count) override {
        FUZZ_CHECK(settings.config.serverMode && slot >= 0 && slot < station::slotCount);
        checkPacket(bytes, count);
        ++actions;
    }
    void fatalStop(const char* message) override {
        FUZZ_CHECK(message != nullptr);
        ++actions;
    }

    int actions = 0;

  private:
    // What a station sends is itself a valid packet.
    static void checkPacket(const void* bytes, std::size_t count) {
        FUZZ_CHECK(count == station::streamUnitBytes);
        const auto* unit = static_cast<const std::uint8_t*>(bytes);
        FUZZ_CHECK(std::memcmp(unit, "TASMIR", 6) == 0);
        FUZZ_CHECK(unit[32] == station::streamChecksum(unit));
    }
};

// Counts the played blocks and folds their samples into a hash, so two runs
// can be compared without keeping the audio.
class HashingPlayout final : public station::BlockPlayout {
  public:
    void processAndPlay(std::int16_t* samples, int byteCount) override {
        FUZZ_CHECK(byteCount == 320);
        for (int i = 0; i < byteCount / 2; ++i) {
            hash = (hash ^ static_cast<std::uint16_t>(samples[i])) * 1099511628211ull;
        }
        ++blocks;
    }
    int blocks = 0;
    std::uint64_t hash = 14695981039346656037ull;
};

// A unit the stream code must take as a control packet.
inline bool isControlPacket(const std::uint8_t* unit) {
    return std::memcmp(unit, "TASMIR", 6) == 0 && unit[32] == station::streamChecksum(unit);
}

} // namespace fuzzsupport
