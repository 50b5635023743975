#pragma once
// Small helpers shared by the fuzz harnesses: a checked assertion that
// survives release builds, and a private temporary directory per process.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

// A broken invariant is a finding: print it and abort so libFuzzer keeps
// the input.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);                     \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

namespace fuzzsupport {

// A directory of its own under the system's temporary directory, removed
// with everything in it when the object goes (at a normal exit of the
// fuzzer, including the end of -max_total_time).
class TempDir {
  public:
    TempDir() {
        std::error_code error;
        std::string pattern = (std::filesystem::temp_directory_path(error) / "cwfuzz-XXXXXX").string();
        if (error || ::mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "cannot create a temporary directory\n");
            std::abort();
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Replaces `path` with exactly `size` bytes of `data`.
inline void writeFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, f) != size) {
        std::abort();
    }
    std::fclose(f);
}

} // namespace fuzzsupport
