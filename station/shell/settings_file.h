#pragma once
// The band file "f.###": the two band edges kept between runs. Exactly 8
// bytes, no header: bandLow then bandHigh, each a little-endian IEEE-754
// float32. Read once at start-up, written once at shutdown.

#include <filesystem>
#include <system_error>

#include "station/shell/station_settings.h"

namespace station {

inline constexpr const char* bandFileName = "f.###";
inline constexpr float defaultBandLow = 0.1f;   // 800 Hz
inline constexpr float defaultBandHigh = 0.11f; // 880 Hz

// Band edges as fractions of the 8000 Hz sample rate, 0 … 0.5.
struct BandEdges {
    float bandLow = defaultBandLow;
    float bandHigh = defaultBandHigh;
};

// Reads "f.###" in `directory`. A missing or unreadable file gives the
// defaults; a short file keeps the default for each value it does not hold
// completely. Values are then made usable: a value that is not finite (NaN,
// ±inf) is replaced by its default, a finite one outside 0 … 0.5 is clamped
// into it, and the two edges are put in ascending order.
BandEdges readBandFile(const std::filesystem::path& directory = ".");

// The repair readBandFile applies, for values already read.
BandEdges sanitizeBandEdges(float bandLow, float bandHigh);

// Writes `edges` to "f.###" in `directory`. The bytes go to a temporary file
// in the same directory, which is flushed to the disk and then renamed over
// "f.###", so a crash or a full disk leaves either the old file or the new
// one, never a part. Returns an empty error_code on success; on failure the
// old file is untouched and no temporary file is left behind.
std::error_code writeBandFile(const BandEdges& edges, const std::filesystem::path& directory = ".");

// Start-up and shutdown helpers on the settings record (main thread).
void loadBandEdges(LiveSettings& settings, const std::filesystem::path& directory = ".");
std::error_code storeBandEdges(const LiveSettings& settings, const std::filesystem::path& directory = ".");

} // namespace station
