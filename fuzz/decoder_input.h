#pragma once
// The input layout shared by the decoder's datagram harnesses, and its
// replay against a DecoderApp.
//
// Input: the first min(size, 660) bytes are the datagram. Any bytes after
// 660 are 4-byte records of what the user does between datagrams, so the
// fuzzer also reaches states (zoom, threshold, alphabet, dot training,
// repeated datagrams) that one datagram alone never sets:
//   op % 8: 0 arrow key, 1 character, 2 left click, 3 right click,
//           4 middle down, 5 middle up, 6 wheel, 7 the datagram again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "decoder/decoder_app.h"
#include "fuzz/fuzz_support.h"
#include "link/datagrams.h"
#include "platform/messages.h"

namespace fuzzsupport {

inline constexpr std::size_t datagramBytes = sizeof(locallink::SampleDatagram);
inline constexpr std::size_t recordBytes = 4;
inline constexpr std::size_t maxRecords = 64;

// The decoder only ever sends band and threshold commands.
struct CountingControl final : decoder::ControlSink {
    int sent = 0;
    void send(const locallink::ControlDatagram& d) override {
        ++sent;
        FUZZ_CHECK(d.command == locallink::SetBand || d.command == locallink::SetKeyingThreshold);
    }
};

struct CountingText final : decoder::TextSink {
    std::size_t bytes = 0;
    void append(unsigned char) override { ++bytes; }
};

// Offers `datagram` to the app; returns whether it was accepted, which must
// be exactly for 20 bytes or more of kind 0.
inline bool offerDatagram(decoder::DecoderApp& app, std::span<const std::uint8_t> datagram) {
    const bool accepted = app.acceptDatagram(datagram);
    std::int32_t kind = -1;
    if (datagram.size() >= sizeof kind) {
        std::memcpy(&kind, datagram.data(), sizeof kind);
    }
    FUZZ_CHECK(accepted == (datagram.size() >= 20 && kind == 0));
    return accepted;
}

// One user-action record; op 7 hands the datagram to `handle` again.
template <typename Handle>
void userAction(decoder::DecoderApp& app, const std::uint8_t* r, std::span<const std::uint8_t> datagram,
                Handle& handle) {
    using namespace platform;
    const std::uint16_t word = static_cast<std::uint16_t>(r[2] | r[3] << 8);
    switch (r[0] % 8) {
    case 0: {
        static constexpr unsigned scans[] = {0x48, 0x50, 0x4D, 0x4B};
        const unsigned scan = scans[r[1] % 4] | ((r[1] & 4) != 0 ? 0x100u : 0u);
        app.handleInput(WM_KEYDOWN, 0, static_cast<LParam>(static_cast<std::uintptr_t>(scan) << 16));
        break;
    }
    case 1:
        app.handleInput(WM_CHAR, r[1], 0);
        break;
    case 2:
        app.handleInput(WM_LBUTTONDOWN, MK_LBUTTON, makeLParam(static_cast<std::uint16_t>(r[1] * 4), word));
        break;
    case 3:
        app.handleInput(WM_RBUTTONDOWN, MK_RBUTTON, makeLParam(static_cast<std::uint16_t>(r[1] * 4), word));
        break;
    case 4:
        app.handleInput(WM_MBUTTONDOWN, MK_MBUTTON, makeLParam(r[1], r[2]));
        break;
    case 5:
        app.handleInput(WM_MBUTTONUP, 0, makeLParam(r[1], r[2]));
        break;
    case 6:
        app.handleInput(WM_MOUSEWHEEL, static_cast<WParam>(word) << 16, 0);
        break;
    default:
        handle(datagram);
        break;
    }
}

// Runs one input from a fresh decoder state: the datagram through
// `handle`, then the user's records; checks the state stays in range.
template <typename Handle>
void replayInput(decoder::DecoderApp& app, const std::uint8_t* data, std::size_t size, Handle handle) {
    app.state() = decoder::DecoderState{};
    const std::span<const std::uint8_t> datagram(data, std::min(size, datagramBytes));
    handle(datagram);
    const std::size_t records = size > datagramBytes ? std::min((size - datagramBytes) / recordBytes, maxRecords) : 0;
    for (std::size_t i = 0; i < records; ++i) {
        userAction(app, data + datagramBytes + i * recordBytes, datagram, handle);
    }
    const decoder::DecoderState& s = app.state();
    FUZZ_CHECK(s.zoom >= 1 && s.zoom <= 9);
    FUZZ_CHECK(s.alphabet >= 0 && s.alphabet <= 2);
    FUZZ_CHECK(s.timer.dotLength >= 1);
    FUZZ_CHECK(s.timer.markCount >= 0 && s.timer.runLength >= 0);
}

} // namespace fuzzsupport
