#include "station/shell/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
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
    const std::uint32_t bits = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                               std::uint32_t{p[3]} << 24;
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

std::error_code lastError() { return {errno, std::generic_category()}; }

bool writeFully(int fd, const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates the temporary file exclusively. Its name carries the process id,
// so a leftover of that name belongs to a process that is gone (a crash
// between create and rename); it is removed once and creation retried.
int createTemporary(const std::filesystem::path& path) {
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST && ::unlink(path.c_str()) == 0) {
        fd = ::open(path.c_str(), flags, 0666);
    }
    return fd;
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

    const std::filesystem::path target = directory / bandFileName;
    std::filesystem::path temporary = target;
    temporary += "." + std::to_string(::getpid()) + ".tmp";

    const int fd = createTemporary(temporary);
    if (fd < 0) {
        return lastError();
    }
    std::error_code error;
    if (!writeFully(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0) {
        error = lastError();
    }
    if (::close(fd) != 0 && !error) {
        error = lastError();
    }
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = lastError();
    }
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }
    // Make the rename itself durable. The new file is already complete, so a
    // failure here is not reported: at worst the old content comes back.
    const int dirFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

void loadBandEdges(StationSettings& settings, const std::filesystem::path& directory) {
    const BandEdges edges = readBandFile(directory);
    settings.bandLow.store(edges.bandLow);
    settings.bandHigh.store(edges.bandHigh);
}

std::error_code storeBandEdges(const StationSettings& settings, const std::filesystem::path& directory) {
    return writeBandFile({settings.bandLow.load(), settings.bandHigh.load()}, directory);
}

} // namespace station
