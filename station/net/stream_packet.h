#pragma once
// Control packets of the relay stream between stations.
//
// Each direction of a relay connection is a plain byte stream of 33-byte
// units. A unit is either a GSM 06.10 frame (see gsm_codec.h) or a
// StreamPacket. The two cannot be confused: a GSM frame's first byte always
// has 0xD in its high nibble, while a packet starts with 'T' (0x54).
//
// The layout below is the wire format shared with other stations; every
// multi-byte field is little-endian.

#include <bit>
#include <cstddef>
#include <cstdint>

#include "station/shell/station_settings.h"

namespace station {

static_assert(std::endian::native == std::endian::little, "stream packets are little-endian");

inline constexpr std::size_t streamUnitBytes = 33;
inline constexpr int slotCount = 20;  // server slots, indices 0 … 19
inline constexpr int clientSlot = -1; // the "slot" of the server's stream at a client

enum class StreamPacketType : std::uint8_t {
    Settings = 0,      // client → server (command mode): band and filter length
    Hello = 1,         // client → server, once per connection: the station name
    TimeLimit = 2,     // server → client: connection time in seconds at offset 12
    TimeExpired = 3,   // server → client: the time is up, the client stops
    LoginRequest = 4,  // server → client: answer with Login
    Login = 5,         // client → server: login and password
    LoginRejected = 6, // server → client: wrong login or password, the client stops
};

#pragma pack(push, 1)
struct StreamPacket {
    char magic[6];                 // "TASMIR", no terminator
    std::uint8_t type;             // StreamPacketType; other values are valid and inert
    std::uint8_t filterLengthCode; // 0 = 32 taps … 5 = 1024 taps
    float bandLow;                 // fraction of the sample rate, 0 … 0.5
    float bandHigh;                // fraction of the sample rate; in TimeLimit: int32 seconds
    char name[15];                 // NUL-terminated when shorter than 15 characters
    std::uint8_t reserved;         // 0
    std::uint8_t checksum;         // sum of bytes 0 … 31, modulo 256
};
#pragma pack(pop)

static_assert(sizeof(StreamPacket) == streamUnitBytes);
static_assert(offsetof(StreamPacket, type) == 6);
static_assert(offsetof(StreamPacket, bandLow) == 8);
static_assert(offsetof(StreamPacket, bandHigh) == 12);
static_assert(offsetof(StreamPacket, name) == 16);
static_assert(offsetof(StreamPacket, checksum) == 32);

// Byte offsets of the overlays that reuse the layout above.
inline constexpr std::size_t timeLimitOffset = 12; // TimeLimit: int32 seconds
inline constexpr std::size_t loginOffset = 7;      // Login: 12 bytes of login
inline constexpr std::size_t passwordOffset = 20;  // Login: 12 bytes of password
inline constexpr std::size_t credentialBytes = 12;

// Sum of bytes 0 … 31 of a 33-byte unit, modulo 256.
std::uint8_t streamChecksum(const std::uint8_t* unit);

// The packet a station with `settings` sends for `type`: magic, type, its
// filter code, band edges and name, then the TimeLimit overlay (settings'
// timeLimit at offset 12) or the Login overlay (login and password), then
// the checksum. Send all 33 bytes of the result.
StreamPacket buildStreamPacket(StreamPacketType type, const StationSettings& settings);

// The integer a TimeLimit packet carries at offset 12, in seconds.
std::int32_t streamPacketTimeLimit(const StreamPacket& packet);

// Fixed messages with which a client stops, Windows-1251.
inline constexpr auto timeExpiredMessage = "Время подключения истекло"_cp1251;
inline constexpr auto loginRejectedMessage = "Неверные логин и пароль"_cp1251;

// Everything a control packet may do to the rest of the station. The
// handler runs on the window thread; so do all of these calls.
class StreamContext {
  public:
    explicit StreamContext(StationSettings& stationSettings) : settings(stationSettings) {}
    StreamContext(const StreamContext&) = delete;
    StreamContext& operator=(const StreamContext&) = delete;
    virtual ~StreamContext() = default;

    StationSettings& settings;

    // Rebuild the band filter from settings' filterLength, bandLow, bandHigh.
    virtual void redesignFilter() = 0;
    // Slot `slot` (0 … 19) takes `name`: NUL-terminated, at most 15 bytes.
    virtual void setSlotName(int slot, const char* name) = 0;
    // Log the Hello of slot `slot` (0 … 19), after its name was set.
    virtual void logHello(int slot) = 0;
    // Client: send on the connection to the server; the result is not examined.
    virtual void sendToServer(const void* bytes, std::size_t count) = 0;
    // Server: send on slot `slot`'s connection (0 … 19); the result is not examined.
    virtual void sendToSlot(int slot, const void* bytes, std::size_t count) = 0;
    // Stop the station with a Windows-1251 reason.
    virtual void fatalStop(const char* message) = 0;
    // True once the session has stopped (a fatalStop): the rest of what was
    // received with the unit that stopped it is not acted on.
    virtual bool stopped() const { return false; }
};

// Acts on one received 33-byte unit. `slot`: the sender's slot at a server
// (0 … 19), clientSlot (-1) at a client. Returns false, having done nothing,
// when the unit is not a control packet (wrong magic or checksum): the
// caller then takes it as a GSM frame. Otherwise acts as the receiving
// station's role allows and returns true.
//
// A TimeLimit below 0 is taken as 0 (no limit).
//
// A Settings packet whose band edges are not finite numbers changes nothing;
// finite edges are clamped to 0 … 0.5 and put in order, as the station's own
// band editing would leave them.
bool handleStreamPacket(const std::uint8_t* unit, int slot, StreamContext& context);

} // namespace station
