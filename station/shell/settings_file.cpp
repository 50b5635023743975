#include "station/shell/settings_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/files.h"

namespace station {

namespace {

constexpr std::size_t valueBytes = 4;
constexpr std::size_t fileBytes = 2 * valueBytes;

float decodeFloat(const unsigned char* p) {
    const std::uint32_t bits =
        std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    return std::bit_cast<float>(bits);
}

void encodeFloat(float value, unsigned char* p) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < valueBytes; ++i) {
        p[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
}

float repairEdge(float value, float fallback) {
    if (!std::isfinite(value)) {
        return fallback;
    }
    // `!(value > 0)` also turns −0 into +0.
    return !(value > 0.0f) ? 0.0f : std::min(value, 0.5f);
}

} // namespace

BandEdges sanitizeBandEdges(float bandLow, float bandHigh) {
    BandEdges edges{repairEdge(bandLow, defaultBandLow), repairEdge(bandHigh, defaultBandHigh)};
    if (edges.bandLow > edges.bandHigh) {
        std::swap(edges.bandLow, edges.bandHigh);
    }
    return edges;
}

BandEdges readBandFile(const std::filesystem::path& directory) {
    const std::filesystem::path path = directory / bandFileName;
    std::array<unsigned char, fileBytes> bytes{};
    const platform::FileRead read = platform::readRegularFile(path, bytes.data(), bytes.size());
    if (read.status == platform::FileStatus::NotRegular) {
        // A FIFO, device or link in its place is never opened for reading
        // (a FIFO would block the start-up).
        std::fprintf(stderr, "%s is not a regular file; the default band is used\n", bandFileName);
    }
    if (read.status != platform::FileStatus::Done) {
        return {};
    }
    const std::size_t got = read.bytes;
    const float low = got >= valueBytes ? decodeFloat(bytes.data()) : defaultBandLow;
    const float high = got >= fileBytes ? decodeFloat(bytes.data() + valueBytes) : defaultBandHigh;
    return sanitizeBandEdges(low, high);
}

std::error_code writeBandFile(const BandEdges& edges, const std::filesystem::path& directory) {
    std::array<unsigned char, fileBytes> bytes{};
    encodeFloat(edges.bandLow, bytes.data());
    encodeFloat(edges.bandHigh, bytes.data() + valueBytes);

    return platform::writeFileAtomically(directory / bandFileName, bytes.data(), bytes.size());
}

void loadBandEdges(LiveSettings& settings, const std::filesystem::path& directory) {
    const BandEdges edges = readBandFile(directory);
    settings.bandLow.store(edges.bandLow);
    settings.bandHigh.store(edges.bandHigh);
}

std::error_code storeBandEdges(const LiveSettings& settings, const std::filesystem::path& directory) {
    return writeBandFile({settings.bandLow.load(), settings.bandHigh.load()}, directory);
}

} // namespace station
