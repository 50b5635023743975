#include "station/net/receive_stream.h"

#include <algorithm>
#include <cstring>

namespace station {

void ReceiveStream::feedStream(const std::uint8_t* bytes, int count, int slot) {
    int taken = 0;
    while (taken < count && !context_.stopped()) {
        const int part = std::min(count - taken, static_cast<int>(streamUnitBytes) - fill_);
        std::memcpy(unit_.data() + fill_, bytes + taken, static_cast<std::size_t>(part));
        fill_ += part;
        taken += part;
        if (fill_ == static_cast<int>(streamUnitBytes)) {
            fill_ = 0;
            completeUnit(slot);
        }
    }
}

void ReceiveStream::completeUnit(int slot) {
    const StationSettings& settings = context_.settings;
    // A commanding client's stream carries only control packets for us; its
    // audio (if any) is never played here.
    const bool controlOnly = settings.config.serverMode && settings.config.commandMode;
    if (handleStreamPacket(unit_.data(), slot, context_) || controlOnly) {
        return;
    }
    decodeFrames(codec_, unit_.data(), block_.data(), 1);
    playout_.processAndPlay(block_.data(), static_cast<int>(sizeof block_));
}

} // namespace station
