// A band file "f.###" of any length and content. Whatever it holds, the
// edges read back must be finite, within 0 … 0.5 and in order; edges that
// were already valid must come back unchanged, and what is read must
// survive a write and a second read bit for bit.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "station/shell/settings_file.h"

namespace {

fuzzsupport::TempDir* directory = nullptr;

bool usable(float low, float high) {
    return std::isfinite(low) && std::isfinite(high) && 0.0f <= low && low <= high && high <= 0.5f;
}

float storedFloat(const std::uint8_t* p) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, p, sizeof bits); // the file is little-endian, like every machine we run on
    return std::bit_cast<float>(bits);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static fuzzsupport::TempDir dir;
    directory = &dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& dir = directory->path();
    fuzzsupport::writeFile(dir / station::bandFileName, data, size);

    const station::BandEdges read = station::readBandFile(dir);
    FUZZ_CHECK(usable(read.bandLow, read.bandHigh));
    FUZZ_CHECK(!std::signbit(read.bandLow) && !std::signbit(read.bandHigh));

    if (size >= 8) {
        const float low = storedFloat(data);
        const float high = storedFloat(data + 4);
        if (usable(low, high) && !std::signbit(low) && !std::signbit(high)) {
            FUZZ_CHECK(std::bit_cast<std::uint32_t>(read.bandLow) == std::bit_cast<std::uint32_t>(low));
            FUZZ_CHECK(std::bit_cast<std::uint32_t>(read.bandHigh) == std::bit_cast<std::uint32_t>(high));
        }
    }

    FUZZ_CHECK(!station::writeBandFile(read, dir));
    const station::BandEdges again = station::readBandFile(dir);
    FUZZ_CHECK(std::bit_cast<std::uint32_t>(again.bandLow) == std::bit_cast<std::uint32_t>(read.bandLow));
    FUZZ_CHECK(std::bit_cast<std::uint32_t>(again.bandHigh) == std::bit_cast<std::uint32_t>(read.bandHigh));
    return 0;
}
