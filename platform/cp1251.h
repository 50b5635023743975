#pragma once
// Windows-1251 ("ANSI", Cyrillic) text. Inside both programs every text is
// single-byte Windows-1251: on the wire, in files, in window texts. Sources
// keep readable UTF-8 literals and convert them once, at compile time, with
// the _cp1251 literal; the desktop side converts back with cp1251ToUtf8.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Unicode code point of a Windows-1251 byte 0x80 … 0xFF; 0 for 0x98, the one
// byte without a character. Bytes below 0x80 are ASCII.
inline constexpr std::array<char16_t, 128> cp1251HighHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, 0x0410,
    0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
    0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
    0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// Windows-1251 byte for a code point; '?' when the code page has none.
constexpr char cp1251FromCodePoint(char32_t c) {
    if (c < 0x80) {
        return static_cast<char>(c);
    }
    for (std::size_t i = 0; i < cp1251HighHalf.size(); ++i) {
        if (cp1251HighHalf[i] != 0 && cp1251HighHalf[i] == c) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

// Decodes one UTF-8 sequence at text[pos], advancing pos. Malformed input
// yields U+FFFD and advances by one byte.
constexpr char32_t nextCodePoint(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    const int extra = (b0 >> 5) == 6 ? 1 : (b0 >> 4) == 14 ? 2 : (b0 >> 3) == 30 ? 3 : -1;
    if (extra < 0 || pos + static_cast<std::size_t>(extra) >= text.size()) {
        ++pos;
        return 0xFFFD;
    }
    char32_t c = b0 & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const unsigned char b = byte(pos + static_cast<std::size_t>(k));
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        c = (c << 6) | (b & 0x3F);
    }
    pos += static_cast<std::size_t>(extra) + 1;
    return c;
}

// Number of Windows-1251 bytes the UTF-8 text converts to.
constexpr std::size_t cp1251Length(std::string_view utf8) {
    std::size_t n = 0;
    for (std::size_t pos = 0; pos < utf8.size(); ++n) {
        nextCodePoint(utf8, pos);
    }
    return n;
}

std::string utf8ToCp1251(std::string_view utf8);
std::string cp1251ToUtf8(std::string_view cp1251);

// A zero-terminated Windows-1251 text made at compile time.
template <std::size_t N> struct Cp1251Text {
    std::array<char, N + 1> bytes{};
    constexpr const char* c_str() const { return bytes.data(); }
    constexpr std::size_t size() const { return N; }
    constexpr operator std::string_view() const { return {bytes.data(), N}; }
};

// String literal holder so a literal can be a template argument.
template <std::size_t N> struct Utf8Literal {
    char text[N]{};
    constexpr Utf8Literal(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            text[i] = s[i];
        }
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

namespace literals {
// "Фильтр НЧ для CW"_cp1251 is the Windows-1251 text, made by the compiler.
template <Utf8Literal S> consteval auto operator""_cp1251() {
    constexpr std::size_t n = cp1251Length(S.view());
    Cp1251Text<n> out;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out.bytes[i] = cp1251FromCodePoint(nextCodePoint(S.view(), pos));
    }
    out.bytes[n] = '\0';
    return out;
}
} // namespace literals

} // namespace platform
