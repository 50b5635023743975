#include "platform/cp1251.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

using namespace platform::literals;

namespace {

// The system's own converter is the independent reference for our table.
std::string iconvConvert(const char* to, const char* from, const std::string& in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return "<iconv_open failed>";
    }
    std::string input = in;
    std::string out(in.size() * 4 + 4, '\0');
    char* src = input.data();
    size_t srcLeft = input.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) {
        return "<unmapped>";
    }
    out.resize(out.size() - dstLeft);
    return out;
}

TEST(Cp1251, EveryHighByteMatchesTheSystemConverterBothWays) {
    int mapped = 0;
    for (int b = 0x80; b <= 0xFF; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string reference = iconvConvert("UTF-8", "CP1251", byte);
        if (reference == "<unmapped>") {
            EXPECT_EQ(platform::cp1251HighHalf[b - 0x80], 0) << "byte 0x" << std::hex << b;
            continue;
        }
        ++mapped;
        EXPECT_EQ(platform::cp1251ToUtf8(byte), reference) << "byte 0x" << std::hex << b;
        EXPECT_EQ(platform::utf8ToCp1251(reference), byte) << "byte 0x" << std::hex << b;
    }
    EXPECT_EQ(mapped, 127); // only 0x98 has no character
}

TEST(Cp1251, CompileTimeLiteralMatchesRuntimeConversion) {
    constexpr auto caption = "Фильтр НЧ для CW"_cp1251;
    static_assert(caption.size() == 16);
    EXPECT_EQ(std::string(caption), platform::utf8ToCp1251("Фильтр НЧ для CW"));
    EXPECT_EQ(static_cast<unsigned char>(caption.c_str()[0]), 0xD4);
    EXPECT_EQ(caption.c_str()[16], '\0');
}

TEST(Cp1251, UnmappableAndMalformedInputBecomeQuestionMarks) {
    EXPECT_EQ(platform::utf8ToCp1251("a\xE4\xB8\xADz"), "a?z"); // CJK character
    EXPECT_EQ(platform::utf8ToCp1251("a\xFFz"), "a?z");         // stray byte
    EXPECT_EQ(platform::utf8ToCp1251("a\xD0"), "a?");           // cut sequence
    EXPECT_EQ(platform::cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");  // U+FFFD
}

} // namespace
