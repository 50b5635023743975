#pragma once
// The local link between the station and the decoder: two fixed records sent
// as single UDP datagrams on the loopback network. Both are little-endian and
// packed; the programs only ever run on little-endian machines, which the
// static_assert below makes explicit instead of swapping bytes.

#include <bit>
#include <cstdint>

namespace locallink {

static_assert(std::endian::native == std::endian::little, "link records are little-endian");

inline constexpr std::uint16_t stationPort = 16705; // 0x4141
inline constexpr std::uint16_t decoderPort = 16962; // 0x4242
inline constexpr const char* broadcastAddress = "127.255.255.255";

// Message number of a readable link socket, in both programs.
inline constexpr unsigned LINK_SOCKET_MESSAGE = 1035;

inline constexpr int samplesPerDatagram = 160;

#pragma pack(push, 1)
// Station → decoder, one per processed block.
struct SampleDatagram {
    std::int32_t kind = 0;                             // always 0
    std::int32_t blockBytes = 0;                       // byte length of the processed block (320 for 160 samples)
    std::int32_t filterTaps = 0;                       // 32 (filter off), 64 … 1024
    std::int32_t bandwidthHz = 0;                      // pass-band width, Hz
    std::int32_t centreHz = 0;                         // pass-band centre, Hz
    std::int16_t samples[samplesPerDatagram] = {};     // filtered block
    std::int16_t keyingLevel[samplesPerDatagram] = {}; // keying level per sample
};

// Decoder → station: one command per datagram.
struct ControlDatagram {
    std::int32_t command = 0;
    std::int32_t value = 0;       // argument of commands 2 … 8
    std::int32_t filterCode = 0;  // SetBand: filterLengthCode
    std::int32_t bandwidthHz = 0; // SetBand
    std::int32_t centreHz = 0;    // SetBand
};
#pragma pack(pop)

static_assert(sizeof(SampleDatagram) == 660);
static_assert(sizeof(ControlDatagram) == 20);

enum ControlCommand : std::int32_t {
    SetBand = 1,
    SetKeyingThreshold = 2,
    SetDisplaySize = 3,
    SetPlayback = 4,
    SetDrawWindow = 5,
    Quit = 6,
    SelectInputDevice = 7,
    SelectOutputDevice = 8,
};

// Filter length in taps ↔ filterLengthCode (0 = 32 taps, 1 = 64 … 5 = 1024).
// A tap count outside the list gives code 0; a code outside 0 … 5 gives 32.
constexpr std::int32_t filterLengthCode(std::int32_t taps) {
    for (std::int32_t code = 0; code <= 5; ++code) {
        if (taps == (32 << code)) {
            return code;
        }
    }
    return 0;
}
constexpr std::int32_t filterLengthFromCode(std::int32_t code) { return code >= 0 && code <= 5 ? (32 << code) : 32; }

} // namespace locallink
