#include "dsp/alphabet.h"

#include <algorithm>
#include <array>

#include "platform/cp1251.h"

namespace dsp {

namespace {

// Windows-1251 bytes of a UTF-8 literal, in static storage so that views of
// them can sit in the table.
template <platform::Utf8Literal S> inline constexpr auto cp = platform::literals::operator""_cp1251<S>();

constexpr std::string_view unknownReading = "*";

// Keyed by element code; Latin, Russian, Ukrainian readings.
constexpr std::array<AlphabetRow, 54> table{{
    {52, "A", cp<"А">, cp<"А">},
    {684, "B", cp<"Б">, cp<"Б">},
    {1452, "C", cp<"Ц">, cp<"Ц">},
    {172, "D", cp<"Д">, cp<"Д">},
    {4, "E", cp<"Е">, cp<"Е">},
    {724, "F", cp<"Ф">, cp<"Ф">},
    {364, "G", cp<"Г">, cp<"Г">},
    {340, "H", cp<"Х">, cp<"Х">},
    {20, "I", cp<"И">, "I"}, // Ukrainian І is sent as the ASCII capital
    {3508, "J", cp<"Й">, cp<"Й">},
    {428, "K", cp<"К">, cp<"К">},
    {692, "L", cp<"Л">, cp<"Л">},
    {108, "M", cp<"М">, cp<"М">},
    {44, "N", cp<"Н">, cp<"Н">},
    {876, "O", cp<"О">, cp<"О">},
    {1460, "P", cp<"П">, cp<"П">},
    {3436, "Q", cp<"Щ">, cp<"Щ">},
    {180, "R", cp<"Р">, cp<"Р">},
    {84, "S", cp<"С">, cp<"С">},
    {12, "T", cp<"Т">, cp<"Т">},
    {212, "U", cp<"У">, cp<"У">},
    {852, "V", cp<"Ж">, cp<"Ж">},
    {436, "W", cp<"В">, cp<"В">},
    {1708, "X", cp<"Ь">, cp<"Ь">},
    {3500, "Y", cp<"Ы">, cp<"И">},
    {1388, "Z", cp<"З">, cp<"З">},
    // Cyrillic in every alphabet, Latin included.
    {2924, cp<"Ч">, cp<"Ч">, cp<"Ч">},
    {7020, cp<"Ш">, cp<"Ш">, cp<"Ш">},
    {2772, cp<"Э">, cp<"Э">, cp<"Э">},
    {1748, cp<"Ю">, cp<"Ю">, cp<"Ю">},
    {1716, cp<"Я">, cp<"Я">, cp<"Я">},
    {56172, "0", "0", "0"},
    {28084, "1", "1", "1"},
    {14036, "2", "2", "2"},
    {6996, "3", "3", "3"},
    {3412, "4", "4", "4"},
    {1364, "5", "5", "5"},
    {2732, "6", "6", "6"},
    {5484, "7", "7", "7"},
    {11116, "8", "8", "8"},
    {23404, "9", "9", "9"},
    {5460, ".", ".", "."},
    {54964, ",", ",", ","},
    {22228, "?", "?", "?"},
    {111980, "!", "!", "!"},
    {5804, "/", "/", "/"},
    {6828, "=", "=", "="},
    {21844, "#", "#", "#"},
    {5812, "AR", "AR", "AR"},
    {2740, "AS", "AS", "AS"},
    {11692, "KN", "KN", "KN"},
    {27476, "SK", "SK", "SK"},
    {219820, "BK", "BK", "BK"},
    {3519916, "CQ", "CQ", "CQ"},
}};

const AlphabetRow* findRow(ElementCode elementCode) {
    const auto it = std::find_if(table.begin(), table.end(),
                                 [&](const AlphabetRow& row) { return row.elementCode == elementCode; });
    return it == table.end() ? nullptr : &*it;
}

std::string_view readingIn(const AlphabetRow* row, std::int32_t alphabet) {
    if (row == nullptr) {
        return unknownReading;
    }
    switch (alphabet) {
    case Russian:
        return row->russian;
    case Ukrainian:
        return row->ukrainian;
    default:
        return row->latin;
    }
}

// Longest element string whose code still fits: each element multiplies the
// code by at most 8, and 8^21 passes 2^63.
constexpr std::size_t maxElements = 20;

} // namespace

std::string_view lookupCharacter(ElementCode elementCode, std::int32_t alphabet) {
    return readingIn(findRow(elementCode), alphabet);
}

CharacterReadings readCharacter(ElementCode elementCode, std::int32_t alphabet) {
    const AlphabetRow* row = findRow(elementCode);
    CharacterReadings r;
    r.latin = readingIn(row, Latin);
    r.russian = readingIn(row, Russian);
    r.ukrainian = readingIn(row, Ukrainian);
    r.selected = readingIn(row, alphabet);
    r.digit = r.latin.front() >= '0' && r.latin.front() <= '9';
    return r;
}

ElementCode elementCodeOf(std::string_view elements) {
    if (elements.size() > maxElements) {
        return -1;
    }
    ElementCode code = 0;
    // Folded from the last element to the first.
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
        if (*it == '.') {
            code = foldDot(code);
        } else if (*it == '-') {
            code = foldDash(code);
        } else {
            return -1;
        }
    }
    return code;
}

std::string elementsOf(ElementCode elementCode) {
    // Unfolds from the first element: c/4 is c'+1 ≡ 1 (mod 4) after a dot and
    // 2c'+3 ≡ 3 (mod 4) after a dash, c' being 0 or a multiple of 4.
    std::string elements;
    ElementCode c = elementCode;
    while (c > 0) {
        if (c % 4 != 0 || elements.size() == maxElements) {
            return {};
        }
        const ElementCode q = c / 4;
        if (q % 4 == 1) {
            elements += '.';
            c = q - 1;
        } else if (q % 4 == 3) {
            elements += '-';
            c = (q - 3) / 2;
        } else {
            return {};
        }
    }
    return c == 0 ? elements : std::string{};
}

std::string elementsForReading(std::string_view latinReading) {
    std::string wanted(latinReading);
    for (char& ch : wanted) {
        if (ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        }
    }
    for (const AlphabetRow& row : table) {
        if (row.latin == wanted) {
            return elementsOf(row.elementCode);
        }
    }
    return {};
}

std::size_t alphabetRowCount() { return table.size(); }

AlphabetRow alphabetRow(std::size_t index) {
    return index < table.size() ? table[index] : AlphabetRow{0, unknownReading, unknownReading, unknownReading};
}

} // namespace dsp
