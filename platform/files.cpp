#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// O_NONBLOCK: opening a FIFO must not wait for its other end (it has no
// effect on a regular file). O_NOFOLLOW: a symbolic link fails with ELOOP.
constexpr int safeFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// Opens `path` and makes sure it is a regular file; -1 and `status` set
// otherwise.
int openRegular(const std::filesystem::path& path, int flags, FileStatus& status) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | safeFlags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // ELOOP: a symbolic link; ENXIO: a FIFO without a reader (write
        // side); EISDIR: a directory opened for writing.
        status = errno == ENOENT ? FileStatus::Missing
                 : errno == ELOOP || errno == ENXIO || errno == EISDIR ? FileStatus::NotRegular
                                                                        : FileStatus::Failed;
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        status = FileStatus::NotRegular;
        ::close(fd);
        return -1;
    }
    status = FileStatus::Done;
    return fd;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

FileStatus writeAndClose(int fd, const void* data, std::size_t size) {
    const bool written = writeAll(fd, data, size);
    const bool closed = ::close(fd) == 0;
    return written && closed ? FileStatus::Done : FileStatus::Failed;
}

} // namespace

FileRead readRegularFile(const std::filesystem::path& path, void* buffer, std::size_t size) {
    FileRead result;
    const int fd = openRegular(path, O_RDONLY, result.status);
    if (fd < 0) {
        return result;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (result.bytes < size) {
        const ssize_t n = ::read(fd, bytes + result.bytes, size - result.bytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        result.bytes += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return result;
}

FileStatus appendToRegularFile(const std::filesystem::path& path, const void* data, std::size_t size) {
    FileStatus status = FileStatus::Failed;
    const int fd = openRegular(path, O_WRONLY | O_APPEND | O_CREAT, status);
    return fd < 0 ? status : writeAndClose(fd, data, size);
}

FileStatus replaceRegularFile(const std::filesystem::path& path, const void* data, std::size_t size) {
    FileStatus status = FileStatus::Failed;
    // Truncated only once it is known to be a regular file.
    const int fd = openRegular(path, O_WRONLY | O_CREAT, status);
    if (fd < 0) {
        return status;
    }
    if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return FileStatus::Failed;
    }
    return writeAndClose(fd, data, size);
}

} // namespace platform
