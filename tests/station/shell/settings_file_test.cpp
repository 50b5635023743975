#include "station/shell/settings_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

Bytes edgeBytes(float low, float high) {
    Bytes bytes;
    for (const float v : {low, high}) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<unsigned char>(std::bit_cast<std::uint32_t>(v) >> (8 * i)));
        }
    }
    return bytes;
}

class BandFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "bandfile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    void writeRaw(const Bytes& bytes) const {
        std::ofstream(dir / station::bandFileName, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    Bytes readRaw() const {
        std::ifstream in(dir / station::bandFileName, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<fs::path> entries() const { return {fs::directory_iterator(dir), fs::directory_iterator()}; }

    fs::path dir;
};

TEST_F(BandFile, WritesEightLittleEndianBytesAndReadsThemBack) {
    EXPECT_EQ(station::readBandFile(dir).bandLow, 0.1f) << "missing file: defaults";
    ASSERT_FALSE(station::writeBandFile({0.1f, 0.11f}, dir));
    // 0.1f is 0x3DCCCCCD, 0.11f is 0x3DE147AE.
    EXPECT_EQ(readRaw(), (Bytes{0xCD, 0xCC, 0xCC, 0x3D, 0xAE, 0x47, 0xE1, 0x3D}));

    station::LiveSettings out, in;
    out.bandLow.store(0.2345f);
    out.bandHigh.store(0.4999f);
    ASSERT_FALSE(station::storeBandEdges(out, dir));
    station::loadBandEdges(in, dir);
    EXPECT_EQ(in.bandLow.load(), 0.2345f);
    EXPECT_EQ(in.bandHigh.load(), 0.4999f);
    EXPECT_EQ(entries().size(), 1u) << "a temporary file was left";
}

TEST_F(BandFile, ShortLongAndUnusableContent) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Bytes good = edgeBytes(0.05f, 0.3f);
    Bytes longer = good;
    longer.insert(longer.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    const struct {
        Bytes content;
        float low, high;
    } cases[] = {
        {{}, 0.1f, 0.11f},
        {{good.begin(), good.begin() + 3}, 0.1f, 0.11f},
        {{good.begin(), good.begin() + 7}, 0.05f, 0.11f}, // second value incomplete: default
        {longer, 0.05f, 0.3f},
        {edgeBytes(0.3f, nan), 0.11f, 0.3f}, // default upper edge, then ordered
        {edgeBytes(nan, 0.3f), 0.1f, 0.3f},
        {edgeBytes(inf, -inf), 0.1f, 0.11f},
        {edgeBytes(-0.2f, 0.7f), 0.0f, 0.5f},
        {edgeBytes(0.4f, 0.2f), 0.2f, 0.4f},
        {edgeBytes(-0.0f, 0.05f), 0.0f, 0.05f},
    };
    for (const auto& c : cases) {
        writeRaw(c.content);
        const station::BandEdges edges = station::readBandFile(dir);
        SCOPED_TRACE(testing::Message() << c.content.size() << "-byte file, expecting " << c.low << ", " << c.high);
        EXPECT_EQ(edges.bandLow, c.low);
        EXPECT_EQ(edges.bandHigh, c.high);
        EXPECT_FALSE(std::signbit(edges.bandLow));
    }
}

TEST_F(BandFile, FailuresAreReportedAndLeaveNoTemporary) {
    EXPECT_TRUE(station::writeBandFile({0.2f, 0.3f}, dir / "no-such-directory"));
    // A directory in the file's place: the rename fails after the data was
    // written, and the temporary must be gone.
    fs::create_directory(dir / station::bandFileName);
    EXPECT_TRUE(station::writeBandFile({0.2f, 0.3f}, dir));
    EXPECT_EQ(entries().size(), 1u);
    fs::remove(dir / station::bandFileName);

    // A temporary left by a crashed run of the same process id is replaced.
    const fs::path stale = dir / (std::string(station::bandFileName) + "." + std::to_string(::getpid()) + ".tmp");
    std::ofstream(stale) << "left by a crash";
    ASSERT_FALSE(station::writeBandFile({0.25f, 0.26f}, dir));
    EXPECT_EQ(station::readBandFile(dir).bandLow, 0.25f);
    EXPECT_FALSE(fs::exists(stale));
}

} // namespace
