// Files by fixed names: only regular files are read or written, a FIFO never
// blocks, a symbolic link is never followed.

#include "platform/files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::FileStatus;

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(RegularFiles, OnlyRegularFilesAreReadOrWritten) {
    char pattern[] = "/tmp/cw-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "regular") << "old text";
    std::ofstream(dir / "target") << "target";
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "target", dir / "link");
    fs::create_directory(dir / "directory");

    const struct {
        const char* name;
        FileStatus read, written;
    } cases[] = {
        {"regular", FileStatus::Done, FileStatus::Done},
        {"missing", FileStatus::Missing, FileStatus::Done}, // writing creates it
        {"fifo", FileStatus::NotRegular, FileStatus::NotRegular},
        {"link", FileStatus::NotRegular, FileStatus::NotRegular},
        {"directory", FileStatus::NotRegular, FileStatus::NotRegular},
    };
    for (const auto& c : cases) {
        const fs::path path = dir / c.name;
        char buffer[4] = {};
        const platform::FileRead read = platform::readRegularFile(path, buffer, sizeof buffer);
        EXPECT_EQ(read.status, c.read) << c.name;
        EXPECT_EQ(read.bytes, c.read == FileStatus::Done ? 4u : 0u) << c.name;
        EXPECT_EQ(platform::replaceRegularFile(path, "new", 3), c.written) << c.name;
        EXPECT_EQ(platform::appendToRegularFile(path, "+", 1), c.written) << c.name;
        if (c.written == FileStatus::Done) {
            EXPECT_EQ(contents(path), "new+") << c.name;
        }
    }
    EXPECT_EQ(contents(dir / "target"), "target") << "written through a link";
    fs::remove_all(dir);
}

} // namespace
