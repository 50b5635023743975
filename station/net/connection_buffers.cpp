#include "station/net/connection_buffers.h"

namespace station {

bool isControlPacket(const std::uint8_t* unit, std::uint8_t& type) {
    static constexpr char magic[6] = {'T', 'A', 'S', 'M', 'I', 'R'};
    if (std::memcmp(unit, magic, sizeof magic) != 0 || unit[streamUnitBytes - 1] != streamChecksum(unit)) {
        return false;
    }
    type = unit[offsetof(StreamPacket, type)];
    return true;
}

} // namespace station
