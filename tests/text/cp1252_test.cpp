#include "text/cp1252.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ecran::text;

TEST(Cp1252, MapsEveryByteLikeWindows) {
    struct Row {
        unsigned char byte;
        char32_t unicode;
    };
    const Row rows[] = {
        {0x00, 0x0000}, {0x41, 0x0041}, {0x7F, 0x007F}, {0x80, 0x20AC}, {0x81, 0x0081}, {0x8A, 0x0160},
        {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x9D, 0x009D}, {0x9F, 0x0178}, {0xA0, 0x00A0},
        {0xE9, 0x00E9}, {0xFF, 0x00FF},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(toUnicode(r.byte), r.unicode) << std::hex << int(r.byte);
        EXPECT_EQ(fromUnicode(r.unicode), r.byte) << std::hex << int(r.byte);
    }
}

TEST(Cp1252, EveryByteSurvivesTheRoundTripThroughUtf8) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const Utf8Conversion back = fromUtf8(toUtf8(all));
    EXPECT_FALSE(back.malformed);
    EXPECT_FALSE(back.unmappable.has_value());
    EXPECT_EQ(back.text, all);
}

TEST(Cp1252, ConvertsUtf8AndNamesWhatItCannotHold) {
    EXPECT_EQ(fromUtf8("D\xC3\xA9marrage \xE2\x82\xAC").text, "D\xE9marrage \x80");
    const Utf8Conversion kanji = fromUtf8("a\xE6\xBC\xA2z");
    EXPECT_EQ(kanji.unmappable, U'\u6F22');
    EXPECT_EQ(kanji.text, "az");
    EXPECT_EQ(fromUtf8("a\xE6\xBC\xA2z", '?').text, "a?z");
    EXPECT_EQ(fromUnicode(0x0100), std::nullopt);
    EXPECT_TRUE(fromUtf8("\xC3").malformed);
    EXPECT_TRUE(fromUtf8("\xC0\x80").malformed);  // overlong NUL
}

TEST(Cp1252, UpperCasesLikeWindowsNames) {
    EXPECT_EQ(toUpper("ecran \xE9t\xE9 \xFF \x9A \xF7 \xDF"), "ECRAN \xC9T\xC9 \x9F \x8A \xF7 \xDF");
    EXPECT_TRUE(equalsIgnoreCase("Software\\\xE9t\xE9", "SOFTWARE\\\xC9T\xC9"));
    EXPECT_LT(compareIgnoreCase("abc", "ABD"), 0);
    EXPECT_LT(compareIgnoreCase("ab", "AB_"), 0);
    EXPECT_EQ(compareIgnoreCase("Zeta", "zETA"), 0);
}

}  // namespace
