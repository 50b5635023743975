#pragma once
// Files a program reads or writes by a fixed name in its working directory
// ("f.###", logs). Someone else may have put anything there: a FIFO, a
// device, a symbolic link to a file of theirs. These helpers never block on
// such a file, never follow a symbolic link, and use only regular files.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace platform {

enum class FileStatus {
    Done,       // the file was read or written
    Missing,    // no such file (reading only)
    NotRegular, // a FIFO, device, directory, symbolic link or the like: left alone
    Failed,     // any other failure (permissions, a full disk, …)
};

struct FileRead {
    FileStatus status = FileStatus::Failed;
    std::size_t bytes = 0; // read into the buffer, at most its size
};

// Reads up to `size` bytes from the start of the regular file at `path`.
FileRead readRegularFile(const std::filesystem::path& path, void* buffer, std::size_t size);

// Appends `size` bytes to the regular file at `path`, creating it (mode
// 0666 less the umask) when missing.
FileStatus appendToRegularFile(const std::filesystem::path& path, const void* data, std::size_t size);

// Replaces the contents of the regular file at `path` with `size` bytes,
// creating it when missing.
FileStatus replaceRegularFile(const std::filesystem::path& path, const void* data, std::size_t size);

// Replaces the file at `target` as one step: the bytes go to a temporary
// file beside it (named after the process), which is flushed to the disk and
// renamed over the target; the directory entry is then flushed too. A reader
// sees the old contents or the new, never a part; on failure the old file
// stays and the temporary file is removed. Returns the error, or none.
std::error_code writeFileAtomically(const std::filesystem::path& target, const void* data, std::size_t size);

} // namespace platform
