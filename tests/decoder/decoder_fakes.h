#pragma once
// Recording sinks and datagram builders for driving DecoderApp in tests.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "decoder/decoder_app.h"
#include "link/datagrams.h"

namespace decoder_test {

struct RecordedControl final : decoder::ControlSink {
    std::vector<locallink::ControlDatagram> sent;
    void send(const locallink::ControlDatagram& d) override { sent.push_back(d); }
};

struct RecordedText final : decoder::TextSink {
    std::string bytes; // Windows-1251
    void append(unsigned char b) override { bytes += static_cast<char>(b); }
};

// A full 660-byte SampleDatagram as the station sends it.
inline std::vector<std::uint8_t> sampleDatagram(std::int32_t taps, std::int32_t bandwidthHz, std::int32_t centreHz,
                                                std::span<const std::int16_t> levels = {}) {
    locallink::SampleDatagram d;
    d.blockBytes = 320;
    d.filterTaps = taps;
    d.bandwidthHz = bandwidthHz;
    d.centreHz = centreHz;
    for (std::size_t i = 0; i < levels.size() && i < 160; ++i) {
        d.keyingLevel[i] = levels[i];
    }
    std::vector<std::uint8_t> bytes(sizeof d);
    std::memcpy(bytes.data(), &d, sizeof d);
    return bytes;
}

} // namespace decoder_test
