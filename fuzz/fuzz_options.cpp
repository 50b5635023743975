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
    FUZZ_CHECK(terminated(s.login) && terminated(s.password) && terminated(s.serverAddress));
    FUZZ_CHECK(terminated(s.stationName) && terminated(s.windowClassName) && terminated(s.instanceName));
    FUZZ_CHECK(terminated(s.stationTitle));
    FUZZ_CHECK(std::strlen(s.stationName) <= 15);
    FUZZ_CHECK(!(s.serverMode != 0 && s.clientMode != 0));
    FUZZ_CHECK(s.maxConnections >= 0 && s.maxConnections <= 20);
    const std::int32_t packets = s.receiveBufferPackets.load();
    FUZZ_CHECK(packets >= 1 && packets <= 60);
    FUZZ_CHECK(s.captureBufferBytes == 320 * s.blocksPerPacket);
    const std::int32_t taps = s.filterLength.load();
    FUZZ_CHECK(taps == 32 || taps == 256);
    if (s.serverMode != 0) {
        FUZZ_CHECK(std::strlen(s.login) <= 11 && std::strlen(s.password) <= 11);
    }
    if (s.dialogMode != 0) {
        FUZZ_CHECK(s.commandMode == 0);
    }
    FUZZ_CHECK(terminated(s.icecastUrl) && terminated(s.icecastName));
    FUZZ_CHECK(s.icecastBitrateKbps >= 6 && s.icecastBitrateKbps <= 64);
    // A URL that parses names a usable target.
    if (const auto target = station::parseIcecastUrl(s.icecastUrl)) {
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
