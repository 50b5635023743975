// One 33-byte unit at handleStreamPacket, in the server role and in the
// client role.
//
// Input: byte 0 chooses the station; bytes 1 … 33 are the unit (shorter
// inputs are padded with zeros).
//   bit 7:     client (else server);
//   bit 6:     stamp the magic and the checksum, so the fuzzer spends its
//              time on packet contents rather than on finding the checksum;
//   bit 5:     command mode (server);
//   bits 0–4:  the slot, −1 … 30 (beyond 0 … 19 on purpose).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "fuzz/stream_fakes.h"
#include "station/net/stream_packet.h"
#include "station/shell/station_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t choice = data[0];
    std::array<std::uint8_t, station::streamUnitBytes> unit{};
    std::copy_n(data + 1, std::min(size - 1, unit.size()), unit.begin());
    if ((choice & 0x40) != 0) {
        std::memcpy(unit.data(), "TASMIR", 6);
        unit[32] = station::streamChecksum(unit.data());
    }

    station::StationSettings settings;
    settings.config.clientMode = (choice & 0x80) != 0;
    settings.config.serverMode = 1 - settings.config.clientMode;
    settings.config.commandMode = (choice & 0x20) != 0;
    std::strcpy(settings.config.login, "op");
    std::strcpy(settings.config.password, "secret");
    settings.config.loginRequired = true;
    const int slot = static_cast<int>(choice & 0x1F) - 1;
    const float lowBefore = settings.live.bandLow.load();
    const float highBefore = settings.live.bandHigh.load();

    fuzzsupport::CheckingContext context(settings);
    const bool handled = station::handleStreamPacket(unit.data(), slot, context);
    FUZZ_CHECK(handled == fuzzsupport::isControlPacket(unit.data()));
    if (!handled) {
        FUZZ_CHECK(context.actions == 0);
    }

    const float low = settings.live.bandLow.load();
    const float high = settings.live.bandHigh.load();
    FUZZ_CHECK(std::isfinite(low) && std::isfinite(high) && 0.0f <= low && low <= high && high <= 0.5f);
    const std::int32_t taps = settings.live.filterLength.load();
    FUZZ_CHECK(taps >= 32 && taps <= 1024 && (taps & (taps - 1)) == 0);
    if (settings.config.clientMode || !settings.config.commandMode) {
        FUZZ_CHECK(low == lowBefore && high == highBefore); // only a commanded server takes a band
    }
    return 0;
}
