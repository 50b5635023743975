#pragma once
// The Morse alphabets: element codes to Latin, Russian and Ukrainian text
// (Windows-1251 bytes), and back from Latin text to elements for sending.

#include <cstdint>
#include <string>
#include <string_view>

namespace dsp {

// A character's elements folded from the last to the first, starting at 0:
// a dot turns c into (c + 1)·4, a dash into ((c + 1)·2 + 1)·4. E = 4,
// T = 12, A = 52. 64 bits wide because a character of 15 marks reaches
// about 6·10^13; every code is a multiple of 4 and no two element strings
// share one.
using ElementCode = std::int64_t;

constexpr ElementCode foldDot(ElementCode c) { return (c + 1) * 4; }
constexpr ElementCode foldDash(ElementCode c) { return ((c + 1) * 2 + 1) * 4; }

enum Alphabet : std::int32_t { Latin = 0, Russian = 1, Ukrainian = 2 };

// Text of a closed character in `alphabet` (0 = Latin, 1 = Russian,
// 2 = Ukrainian; any other value reads as Latin): one or two Windows-1251
// bytes, "*" for a code that is in no alphabet. The view refers to static
// storage.
std::string_view lookupCharacter(ElementCode elementCode, std::int32_t alphabet);

// All readings of one code, for painting under the strip and appending.
struct CharacterReadings {
    std::string_view latin;
    std::string_view russian;
    std::string_view ukrainian;
    std::string_view selected;
    // The Latin reading starts with a digit (painted on another background).
    bool digit = false;
};
CharacterReadings readCharacter(ElementCode elementCode, std::int32_t alphabet);

// Code of an element string in sending order: '.' for a dot, '-' for a dash
// (".-" → 52). 0 for the empty string; −1 for any other character or for
// more than 20 elements (the code would not fit in 64 bits).
ElementCode elementCodeOf(std::string_view elements);

// Element string of a code (52 → ".-"); empty for 0 and for a value that is
// no element code.
std::string elementsOf(ElementCode elementCode);

// Elements for sending one character given by its Latin reading: a letter
// (either case), a digit, one of . , ? ! / = #, a prosign name ("AR", "AS",
// "KN", "SK", "BK", "CQ"), or one of the Cyrillic Ч Ш Э Ю Я as its
// Windows-1251 byte. Empty when the alphabet has no such reading.
std::string elementsForReading(std::string_view latinReading);

// Number of rows of the character table, and the row at `index`, for
// checking the table as a whole.
struct AlphabetRow {
    ElementCode elementCode;
    std::string_view latin;
    std::string_view russian;
    std::string_view ukrainian;
};
std::size_t alphabetRowCount();
AlphabetRow alphabetRow(std::size_t index);

} // namespace dsp
