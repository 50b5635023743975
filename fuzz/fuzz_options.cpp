// Any bytes as the station's command line: processOptions, optionRangeError
// (with the Icecast URL) and joinArguments.
// The settings record must come out with every text field terminated inside
// its array and every number inside the range the rest of the station
// relies on.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "station/net/icecast_url.h"
#include "station/shell/options.h"
#include "station/shell/station_settings.h"

namespace {

template <std::size_t N> bool terminated(const char (&field)[N]) { return std::memchr(field, 0, N) != nullptr; }

void checkSettings(const station::StationSettings& s) {
    FUZZ_CHECK(terminated(s.config.login) && terminated(s.config.password) && terminated(s.config.serverAddress));
    FUZZ_CHECK(terminated(s.config.stationName) && terminated(s.config.windowClassName) &&
               terminated(s.config.instanceName));
    FUZZ_CHECK(terminated(s.config.stationTitle));
    FUZZ_CHECK(std::strlen(s.config.stationName) <= 15);
    FUZZ_CHECK(!(s.config.serverMode && s.config.clientMode));
    FUZZ_CHECK(s.config.maxConnections >= 0 && s.config.maxConnections <= 20);
    const std::int32_t packets = s.live.receiveBufferPackets.load();
    FUZZ_CHECK(packets >= 1 && packets <= 60);
    FUZZ_CHECK(s.config.captureBufferBytes == 320 * s.config.blocksPerPacket);
    const std::int32_t taps = s.live.filterLength.load();
    FUZZ_CHECK(taps == 32 || taps == 256);
    if (s.config.serverMode) {
        FUZZ_CHECK(std::strlen(s.config.login) <= 11 && std::strlen(s.config.password) <= 11);
    }
    if (s.config.dialogMode) {
        FUZZ_CHECK(!s.config.commandMode);
    }
    FUZZ_CHECK(terminated(s.config.icecastUrl) && terminated(s.config.icecastName));
    FUZZ_CHECK(s.config.icecastBitrateKbps >= 6 && s.config.icecastBitrateKbps <= 64);
    // A URL that parses names a usable target.
    if (const auto target = station::parseIcecastUrl(s.config.icecastUrl)) {
        FUZZ_CHECK(!target->host.empty() && target->port >= 1 && target->mount.size() >= 2);
        FUZZ_CHECK(target->mount.front() == '/' && !target->password.empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    station::StationSettings settings;
    station::processOptions(line, settings);
    checkSettings(settings);

    for (const auto& [upper, lower] : {std::pair{"LOGIN=", "login="}, std::pair{"NAME=", "name="}}) {
        if (const auto value = station::findOptionValue(line, upper, lower)) {
            FUZZ_CHECK(value->size() <= station::maxOptionValueLength);
            FUZZ_CHECK(line.find(*value) != std::string_view::npos);
        }
    }
    (void)station::optionNumber(line);
    (void)station::optionRangeError(line);
    (void)station::maskedIcecastUrl(line);

    // The same bytes as an argument vector: NUL separates the arguments.
    std::string copy(line);
    std::vector<const char*> argv{"selvane"};
    for (std::size_t at = 0; at <= copy.size();) {
        argv.push_back(copy.c_str() + at);
        const std::size_t next = copy.find('\0', at);
        at = next == std::string::npos ? copy.size() + 1 : next + 1;
    }
    const std::string joined = station::joinArguments(static_cast<int>(argv.size()), argv.data());
    FUZZ_CHECK(joined.size() == size);
    return 0;
}
