#include "dsp/alphabet.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/cp1251.h"

namespace {

using dsp::ElementCode;

// The character table, written independently of the decoder's: elements
// in sending order, the listed code, and the readings as UTF-8.
struct Row {
    const char* elements;
    dsp::ElementCode code;
    const char* latin;
    const char* russian;
    const char* ukrainian;
};

const Row reference[] = {
    {".-", 52, "A", "А", "А"},
    {"-...", 684, "B", "Б", "Б"},
    {"-.-.", 1452, "C", "Ц", "Ц"},
    {"-..", 172, "D", "Д", "Д"},
    {".", 4, "E", "Е", "Е"},
    {"..-.", 724, "F", "Ф", "Ф"},
    {"--.", 364, "G", "Г", "Г"},
    {"....", 340, "H", "Х", "Х"},
    {"..", 20, "I", "И", "I"},
    {".---", 3508, "J", "Й", "Й"},
    {"-.-", 428, "K", "К", "К"},
    {".-..", 692, "L", "Л", "Л"},
    {"--", 108, "M", "М", "М"},
    {"-.", 44, "N", "Н", "Н"},
    {"---", 876, "O", "О", "О"},
    {".--.", 1460, "P", "П", "П"},
    {"--.-", 3436, "Q", "Щ", "Щ"},
    {".-.", 180, "R", "Р", "Р"},
    {"...", 84, "S", "С", "С"},
    {"-", 12, "T", "Т", "Т"},
    {"..-", 212, "U", "У", "У"},
    {"...-", 852, "V", "Ж", "Ж"},
    {".--", 436, "W", "В", "В"},
    {"-..-", 1708, "X", "Ь", "Ь"},
    {"-.--", 3500, "Y", "Ы", "И"},
    {"--..", 1388, "Z", "З", "З"},
    {"---.", 2924, "Ч", "Ч", "Ч"},
    {"----", 7020, "Ш", "Ш", "Ш"},
    {"..-..", 2772, "Э", "Э", "Э"},
    {"..--", 1748, "Ю", "Ю", "Ю"},
    {".-.-", 1716, "Я", "Я", "Я"},
    {"-----", 56172, "0", "0", "0"},
    {".----", 28084, "1", "1", "1"},
    {"..---", 14036, "2", "2", "2"},
    {"...--", 6996, "3", "3", "3"},
    {"....-", 3412, "4", "4", "4"},
    {".....", 1364, "5", "5", "5"},
    {"-....", 2732, "6", "6", "6"},
    {"--...", 5484, "7", "7", "7"},
    {"---..", 11116, "8", "8", "8"},
    {"----.", 23404, "9", "9", "9"},
    {"......", 5460, ".", ".", "."},
    {".-.-.-", 54964, ",", ",", ","},
    {"..--..", 22228, "?", "?", "?"},
    {"--..--", 111980, "!", "!", "!"},
    {"-..-.", 5804, "/", "/", "/"},
    {"-...-", 6828, "=", "=", "="},
    {".......", 21844, "#", "#", "#"},
    {".-.-.", 5812, "AR", "AR", "AR"},
    {".-...", 2740, "AS", "AS", "AS"},
    {"-.--.", 11692, "KN", "KN", "KN"},
    {"...-.-", 27476, "SK", "SK", "SK"},
    {"-...-.-", 219820, "BK", "BK", "BK"},
    {"-.-.--.-", 3519916, "CQ", "CQ", "CQ"},
};

std::string elementString(int bits, int length) {
    std::string e;
    for (int i = 0; i < length; ++i) {
        e += (bits >> i) & 1 ? '-' : '.';
    }
    return e;
}

TEST(Alphabet, EveryRowMatchesTheReferenceInBothDirections) {
    ASSERT_EQ(dsp::alphabetRowCount(), std::size(reference)) << "rows in the decoder's table";
    std::set<dsp::ElementCode> codes;
    std::set<std::string> elementStrings;
    for (const Row& r : reference) {
        EXPECT_EQ(dsp::elementCodeOf(r.elements), r.code) << r.elements;
        EXPECT_TRUE(codes.insert(r.code).second) << "code listed twice: " << r.code;
        EXPECT_TRUE(elementStrings.insert(r.elements).second) << "elements listed twice: " << r.elements;
        const char* readings[] = {r.latin, r.russian, r.ukrainian};
        for (std::int32_t a = 0; a < 3; ++a) {
            EXPECT_EQ(std::string(dsp::lookupCharacter(r.code, a)), platform::utf8ToCp1251(readings[a]))
                << r.elements << " in alphabet " << a;
        }
        const dsp::CharacterReadings all = dsp::readCharacter(r.code, dsp::Ukrainian);
        EXPECT_EQ(all.digit, r.latin[0] >= '0' && r.latin[0] <= '9') << r.elements;
        EXPECT_EQ(std::string(all.selected), platform::utf8ToCp1251(r.ukrainian)) << r.elements;
    }
    for (std::size_t i = 0; i < dsp::alphabetRowCount(); ++i) {
        EXPECT_TRUE(codes.erase(dsp::alphabetRow(i).elementCode)) << "extra or repeated row " << i;
    }
}

TEST(Alphabet, ReadingsThatDifferBetweenAlphabetsAndUnknownCodes) {
    struct Case {
        dsp::ElementCode code;
        std::int32_t alphabet;
        std::string expected; // Windows-1251
    };
    for (const Case& c : {Case{20, 0, "I"}, Case{20, 1, "\xC8"}, Case{20, 2, "\x49"},       // И; byte 73
                          Case{3500, 0, "Y"}, Case{3500, 1, "\xDB"}, Case{3500, 2, "\xC8"}, // Ы, И
                          Case{1716, 0, "\xDF"},                                            // Я in Latin
                          Case{20, 7, "I"}, // an alphabet out of range reads Latin
                          Case{dsp::elementCodeOf("--.--"), 1, "*"}, Case{0, 0, "*"}, Case{53, 2, "*"}}) {
        EXPECT_EQ(std::string(dsp::lookupCharacter(c.code, c.alphabet)), c.expected)
            << "code " << c.code << " alphabet " << c.alphabet;
    }
    for (int bits = 0; bits < 512; ++bits) { // every character of nine elements
        const dsp::CharacterReadings r = dsp::readCharacter(dsp::elementCodeOf(elementString(bits, 9)), 1);
        ASSERT_TRUE(r.latin == "*" && r.russian == "*" && r.ukrainian == "*" && r.selected == "*" && !r.digit)
            << elementString(bits, 9);
    }
}

TEST(Alphabet, ElementStringsAndCodesConvertBothWays) {
    // Every string of 1 … 12 elements survives code and back, so the code
    // is one-to-one, which the table and the generator rely on.
    std::set<dsp::ElementCode> seen;
    for (int length = 1; length <= 12; ++length) {
        for (int bits = 0; bits < (1 << length); ++bits) {
            const std::string elements = elementString(bits, length);
            const dsp::ElementCode code = dsp::elementCodeOf(elements);
            ASSERT_TRUE(code % 4 == 0 && seen.insert(code).second) << "code " << code << " for " << elements;
            ASSERT_EQ(dsp::elementsOf(code), elements) << code;
        }
    }
    const std::string twenty(20, '-');
    EXPECT_EQ(dsp::elementsOf(dsp::elementCodeOf(twenty)), twenty);
    EXPECT_EQ(dsp::elementCodeOf(twenty + "-"), -1) << "21 elements do not fit";
    EXPECT_EQ(dsp::elementCodeOf(".x-"), -1);
    for (const dsp::ElementCode notACode :
         {dsp::ElementCode{-12}, dsp::ElementCode{2}, dsp::ElementCode{8}, dsp::ElementCode{28}}) {
        EXPECT_EQ(dsp::elementsOf(notACode), "") << notACode;
    }
    struct Sending {
        const char* reading;
        const char* elements;
    };
    for (const Sending c : {Sending{"a", ".-"}, Sending{"0", "-----"}, Sending{"KN", "-.--."}, Sending{"\xDF", ".-.-"},
                            Sending{"~", ""}, Sending{"AB", ""}}) {
        EXPECT_EQ(dsp::elementsForReading(c.reading), c.elements) << "reading \"" << c.reading << "\"";
    }
}

} // namespace
