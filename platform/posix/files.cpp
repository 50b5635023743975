#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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
        status = errno == ENOENT                                       ? FileStatus::Missing
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

std::error_code writeFileAtomically(const std::filesystem::path& target, const void* data, std::size_t size) {
    std::filesystem::path temporary = target;
    temporary += "." + std::to_string(::getpid()) + ".tmp";

    const int fd = createTemporary(temporary);
    if (fd < 0) {
        return lastError();
    }
    std::error_code error;
    if (!writeFully(fd, static_cast<const unsigned char*>(data), size) || ::fsync(fd) != 0) {
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
    const std::filesystem::path directory = target.parent_path();
    const int dirFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

} // namespace platform
