#include "station/net/stream_packet.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "link/datagrams.h"

namespace station {
namespace {

constexpr char streamMagic[6] = {'T', 'A', 'S', 'M', 'I', 'R'};
constexpr std::size_t nameBytes = sizeof(StreamPacket::name);

// Length of the text in text[0 … maxBytes): up to its terminator or maxBytes.
std::size_t boundedLength(const char* text, std::size_t maxBytes) {
    const void* end = std::memchr(text, 0, maxBytes);
    return end == nullptr ? maxBytes : static_cast<std::size_t>(static_cast<const char*>(end) - text);
}

// Copies the text in `source` (at most `sourceBytes`, up to its terminator)
// into `target[0 … targetBytes)`, filling the rest with zeros. A text as
// long as the target fills it without a terminator.
void copyField(char* target, std::size_t targetBytes, const char* source, std::size_t sourceBytes) {
    const std::size_t length = boundedLength(source, std::min(sourceBytes, targetBytes));
    std::memcpy(target, source, length);
    std::memset(target + length, 0, targetBytes - length);
}

// A received name field as a NUL-terminated text of at most 15 characters.
struct ReceivedName {
    char text[nameBytes + 1] = {};
};

ReceivedName receivedName(const StreamPacket& packet) {
    ReceivedName name;
    copyField(name.text, nameBytes, packet.name, nameBytes);
    return name;
}

// Compares a 12-byte credential field of a Login packet with the server's
// own text, exactly and case-sensitively, up to the terminator. A field
// without a terminator is 12 or more characters long and never matches: the
// server keeps at most 11.
bool credentialMatches(const std::uint8_t* field, const char* own, std::size_t ownBytes) {
    const void* end = std::memchr(field, 0, credentialBytes);
    if (end == nullptr) {
        return false;
    }
    const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - field);
    return boundedLength(own, ownBytes) == length && std::memcmp(field, own, length) == 0;
}

void actAtServer(const StreamPacket& packet, const std::uint8_t* unit, int slot, StreamContext& context) {
    StationSettings& settings = context.settings;
    const bool slotValid = slot >= 0 && slot < slotCount;
    switch (static_cast<StreamPacketType>(packet.type)) {
    case StreamPacketType::Settings: {
        if (!settings.config.commandMode) {
            return;
        }
        // The edges come from the network: a non-finite one makes the whole
        // packet suspect, anything else is pulled into the valid band.
        float low = packet.bandLow;
        float high = packet.bandHigh;
        if (!std::isfinite(low) || !std::isfinite(high)) {
            return;
        }
        low = std::clamp(low, 0.0f, 0.5f);
        high = std::clamp(high, 0.0f, 0.5f);
        if (low > high) {
            std::swap(low, high);
        }
        settings.live.filterLength.store(locallink::filterLengthFromCode(packet.filterLengthCode));
        settings.live.bandLow.store(low);
        settings.live.bandHigh.store(high);
        context.setSlotName(0, receivedName(packet).text);
        context.redesignFilter();
        return;
    }
    case StreamPacketType::Hello:
        if (slotValid) {
            context.setSlotName(slot, receivedName(packet).text);
            context.logHello(slot);
        }
        return;
    case StreamPacketType::Login: {
        if (!slotValid) {
            return;
        }
        const bool match =
            credentialMatches(unit + loginOffset, settings.config.login, sizeof settings.config.login) &&
            credentialMatches(unit + passwordOffset, settings.config.password, sizeof settings.config.password);
        if (!match) {
            const StreamPacket answer = buildStreamPacket(StreamPacketType::LoginRejected, settings);
            context.sendToSlot(slot, &answer, sizeof answer);
        }
        return;
    }
    default:
        return; // client-bound and unknown types
    }
}

void actAtClient(const StreamPacket& packet, StreamContext& context) {
    StationSettings& settings = context.settings;
    switch (static_cast<StreamPacketType>(packet.type)) {
    case StreamPacketType::TimeLimit:
        // A limit below 0 means nothing a countdown can reach: no limit.
        settings.live.timeLimit.store(std::max(streamPacketTimeLimit(packet), 0));
        return;
    case StreamPacketType::TimeExpired:
        context.fatalStop(timeExpiredMessage.c_str());
        return;
    case StreamPacketType::LoginRequest: {
        const StreamPacket answer = buildStreamPacket(StreamPacketType::Login, settings);
        context.sendToServer(&answer, sizeof answer);
        return;
    }
    case StreamPacketType::LoginRejected:
        context.fatalStop(loginRejectedMessage.c_str());
        return;
    default:
        return; // server-bound and unknown types
    }
}

} // namespace

std::uint8_t streamChecksum(const std::uint8_t* unit) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < streamUnitBytes - 1; ++i) {
        sum += unit[i];
    }
    return static_cast<std::uint8_t>(sum & 0xFFu);
}

StreamPacket buildStreamPacket(StreamPacketType type, const StationSettings& settings) {
    StreamPacket packet{};
    std::memcpy(packet.magic, streamMagic, sizeof streamMagic);
    packet.type = static_cast<std::uint8_t>(type);
    packet.filterLengthCode = static_cast<std::uint8_t>(locallink::filterLengthCode(settings.live.filterLength.load()));
    packet.bandLow = settings.live.bandLow.load();
    packet.bandHigh = settings.live.bandHigh.load();
    copyField(packet.name, nameBytes, settings.config.stationName, sizeof settings.config.stationName);
    packet.reserved = 0;

    auto* bytes = reinterpret_cast<std::uint8_t*>(&packet);
    if (type == StreamPacketType::TimeLimit) {
        const std::int32_t seconds = settings.live.timeLimit.load();
        std::memcpy(bytes + timeLimitOffset, &seconds, sizeof seconds);
    } else if (type == StreamPacketType::Login) {
        // Byte 19, between the two fields, keeps the name's fourth byte.
        copyField(reinterpret_cast<char*>(bytes + loginOffset), credentialBytes, settings.config.login,
                  sizeof settings.config.login);
        copyField(reinterpret_cast<char*>(bytes + passwordOffset), credentialBytes, settings.config.password,
                  sizeof settings.config.password);
    }
    packet.checksum = streamChecksum(bytes);
    return packet;
}

std::int32_t streamPacketTimeLimit(const StreamPacket& packet) {
    std::int32_t seconds = 0;
    std::memcpy(&seconds, reinterpret_cast<const std::uint8_t*>(&packet) + timeLimitOffset, sizeof seconds);
    return seconds;
}

bool handleStreamPacket(const std::uint8_t* unit, int slot, StreamContext& context) {
    if (std::memcmp(unit, streamMagic, sizeof streamMagic) != 0 || unit[streamUnitBytes - 1] != streamChecksum(unit)) {
        return false;
    }
    StreamPacket packet;
    std::memcpy(&packet, unit, sizeof packet);

    const StationSettings& settings = context.settings;
    if (settings.config.clientMode) {
        actAtClient(packet, context);
    } else if (settings.config.serverMode) {
        actAtServer(packet, unit, slot, context);
    }
    return true;
}

} // namespace station
