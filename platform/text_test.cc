#include "platform/text.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace platform::text {
namespace {

TEST(AnsiToUtf8, EveryByteRoundTripsThroughValidUtf8) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    std::string utf8 = AnsiToUtf8(all);
    EXPECT_TRUE(IsValidUtf8(utf8));
    EXPECT_EQ(Utf8ToAnsi(utf8), all);
    for (int b = 0; b < 256; ++b) {
        std::string one(1, static_cast<char>(b));
        EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(one)), one) << "byte " << b;
    }
}

TEST(AnsiToUtf8, MapsTheCodePage) {
    struct Case {
        unsigned char ansi;
        const char* utf8;
    };
    const Case cases[] = {
        {'A', "A"},
        {0x80, "\u20AC"},  // €
        {0x82, "\u201A"},
        {0x8A, "\u0160"},  // Š
        {0x8C, "\u0152"},  // Œ
        {0x8E, "\u017D"},  // Ž
        {0x96, "\u2013"},
        {0x99, "\u2122"},
        {0x9A, "\u0161"},  // š
        {0x9C, "\u0153"},  // œ
        {0x9E, "\u017E"},  // ž
        {0x9F, "\u0178"},  // Ÿ
        // The five bytes Windows-1252 leaves undefined become the C1 controls.
        {0x81, "\xC2\x81"},
        {0x8D, "\xC2\x8D"},
        {0x8F, "\xC2\x8F"},
        {0x90, "\xC2\x90"},
        {0x9D, "\xC2\x9D"},
        {0xA0, "\u00A0"},
        {0xE5, "å"},
        {0xE4, "ä"},
        {0xF6, "ö"},
        {0xC5, "Å"},
        {0xC4, "Ä"},
        {0xD6, "Ö"},
        {0xFF, "ÿ"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AnsiToUtf8(std::string(1, static_cast<char>(c.ansi))), c.utf8)
            << "byte " << int(c.ansi);
    }
}

TEST(Utf8ToAnsi, ConvertsAndReplacesWhatCannotBeHad) {
    struct Case {
        const char* name;
        std::string utf8;
        std::string ansi;
    };
    const Case cases[] = {
        {"ascii", "Larm 12", "Larm 12"},
        {"swedish", "åäöÅÄÖ", "\xE5\xE4\xF6\xC5\xC4\xD6"},
        {"euro", "5 €", "5 \x80"},
        {"not in the code page", "a\u4E2Db", "a?b"},
        {"four-byte character is one '?'", "x\U0001F600y", "x?y"},
        {"C1 control not in the code page", "\xC2\x80", "?"},
        {"lone continuation byte", "a\x80z", "a?z"},
        {"invalid lead byte", "\xFF\xF5", "??"},
        {"overlong two-byte", "\xC0\xAF", "??"},
        {"overlong three-byte", "\xE0\x80\x80", "???"},
        {"surrogate", "\xED\xA0\x80", "???"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "????"},
        {"truncated at the end", "ab\xE2\x82", "ab?"},
        {"truncated before ascii",
         "\xE2\x82"
         "A",
         "?A"},
        {"truncated before a valid character", "\xE2\xC3\xA5", "?\xE5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi) << c.name;
    }
}

TEST(IsValidUtf8, IsStrict) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain", true},
        {"åäö € \U0001F600", true},
        {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
        {"\xE5", false},              // a Windows-1252 å
        {"\xC0\x80", false},          // overlong NUL
        {"\xE0\x9F\xBF", false},      // overlong
        {"\xF0\x8F\xBF\xBF", false},  // overlong
        {"\xED\xBF\xBF", false},      // surrogate
        {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
        {"\xC3", false},              // truncated
        {"\x80", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    }
}

TEST(FileText, ValidUtf8IsDecodedAndAnythingElseTakenAsAnsi) {
    EXPECT_EQ(FileTextToAnsi("Gävle"), "G\xE4vle");
    EXPECT_EQ(FileTextToAnsi("G\xE4vle"), "G\xE4vle");
    EXPECT_EQ(ToDisplayUtf8("Gävle"), "Gävle");
    EXPECT_EQ(ToDisplayUtf8("G\xE4vle"), "Gävle");
}

TEST(ToUpperAnsi, FoldsTheLettersOfTheCodePage) {
    const std::pair<unsigned char, unsigned char> letters[] = {
        {'a', 'A'},   {'z', 'Z'},   {0xE5, 0xC5}, {0xE4, 0xC4}, {0xF6, 0xD6},  // å ä ö
        {0xE0, 0xC0}, {0xE9, 0xC9}, {0xFE, 0xDE}, {0x9A, 0x8A}, {0x9C, 0x8C},  // š œ
        {0x9E, 0x8E}, {0xFF, 0x9F},                                            // ž ÿ
    };
    for (auto [lower, upper] : letters) {
        EXPECT_EQ(ToUpperAnsi(static_cast<char>(lower)), static_cast<char>(upper)) << int(lower);
    }
    // ÷, ß and µ have no capital in the code page; digits and signs are not letters.
    for (unsigned char same : std::initializer_list<unsigned char>{0xF7, 0xDF, 0xB5, 0xC5, 0x8A,
                                                                   '1', '@', '[', '{', 0x00}) {
        EXPECT_EQ(ToUpperAnsi(static_cast<char>(same)), static_cast<char>(same)) << int(same);
    }
    for (int b = 0; b < 256; ++b) {
        char upper = ToUpperAnsi(static_cast<char>(b));
        EXPECT_EQ(ToUpperAnsi(upper), upper) << "not idempotent at " << b;
    }
    EXPECT_EQ(UpperAnsi("tag \xE5\xE4\xF6-1"), "TAG \xC5\xC4\xD6-1");
}

TEST(EqualsNoCase, IgnoresCaseOnly) {
    struct Case {
        std::string a, b;
        bool equal;
    };
    const Case cases[] = {
        {"", "", true},
        {"Pump1", "PUMP1", true},
        {"\xE5\xE4\xF6", "\xC5\xC4\xD6", true},  // åäö / ÅÄÖ
        {"\x9A\xFF", "\x8A\x9F", true},          // šÿ / ŠŸ
        {"pump1", "pump2", false},
        {"pump", "pump1", false},
        {"\xE5", "a", false},
        {"\xF7", "\xD7", false},  // ÷ is not a lower-case ×
        {"[", "{", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(EqualsNoCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
}

}  // namespace
}  // namespace platform::text
