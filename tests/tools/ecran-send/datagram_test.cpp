#include "ecran-send/datagram.h"

#include <gtest/gtest.h>

#include <string>

#include "ecran-send/errors.h"

namespace {

using ecran::sender::Kind;
using ecran::sender::textDatagram;

struct Bytes {
    Kind kind;
    const char* utf8;
    bool replace;
    std::string expected;
};

class TextDatagram : public testing::TestWithParam<Bytes> {};

TEST_P(TextDatagram, IsTheWindows1252FormOfTheText) {
    const auto& c = GetParam();
    EXPECT_EQ(textDatagram(c.kind, c.utf8, c.replace), c.expected) << "text: " << c.utf8;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextDatagram,
    testing::Values(
        Bytes{Kind::Plain, "Salle 3 : réunion à 14 h", false, "Salle 3 : r\xE9union \xE0 14 h"},
        Bytes{Kind::Plain, "Prix : 5 €", false, "Prix : 5 \x80"},
        Bytes{Kind::Plain, "œuvre “citée” — fin…", false, "\x9Cuvre \x93" "cit\xE9" "e\x94 \x97 fin\x85"},
        Bytes{Kind::Plain, "Ÿ Š Ž ™ ‰", false, "\x9F \x8A \x8E \x99 \x89"},
        Bytes{Kind::Plain, "", false, ""},
        Bytes{Kind::Plain, "ligne 1\nligne 2", false, "ligne 1\nligne 2"},
        // The marker character is harmless anywhere but first.
        Bytes{Kind::Plain, " ÿ", false, " \xFF"},
        Bytes{Kind::Ticker, "Prochain départ 17:45", false, "\xFF" "1Prochain d\xE9part 17:45"},
        Bytes{Kind::Ticker, "", false, "\xFF" "1"},
        Bytes{Kind::Ticker, "ÿ", false, "\xFF" "1\xFF"},
        Bytes{Kind::Plain, "a中b😀c", true, "a?b?c"},
        Bytes{Kind::Ticker, "€ 中", true, "\xFF" "1\x80 ?"}));

struct Refused {
    Kind kind;
    std::string utf8;
    const char* mentions;
};

class TextDatagramRefuses : public testing::TestWithParam<Refused> {};

TEST_P(TextDatagramRefuses, WithAMessageNamingTheProblem) {
    const auto& c = GetParam();
    try {
        (void)textDatagram(c.kind, c.utf8, false);
        FAIL() << "accepted: " << c.utf8;
    } catch (const ecran::sender::UsageError& e) {
        EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextDatagramRefuses,
    testing::Values(Refused{Kind::Plain, "Réunion 中", "U+4E2D \"中\""},
                    Refused{Kind::Ticker, "😀", "U+1F600 \"😀\""},
                    // A C1 control is named by its code alone.
                    Refused{Kind::Plain, "a\xC2\x85", "U+0085,"},
                    Refused{Kind::Plain, "\xC3", "UTF-8"}, Refused{Kind::Plain, "ab\xFF", "UTF-8"},
                    // A plain message may not begin with the command marker.
                    Refused{Kind::Plain, "ÿ1 not a ticker", "0xFF"}, Refused{Kind::Plain, "ÿ", "0xFF"},
                    Refused{Kind::Plain, std::string(ecran::sender::kMaxDatagram + 1, 'a'), "65507"},
                    Refused{Kind::Ticker, std::string(ecran::sender::kMaxDatagram - 1, 'a'), "65507"}));

TEST(TextDatagram, FillsOneDatagramExactly) {
    EXPECT_EQ(textDatagram(Kind::Plain, std::string(ecran::sender::kMaxDatagram, 'a'), false).size(), 65507u);
    EXPECT_EQ(textDatagram(Kind::Ticker, std::string(ecran::sender::kMaxDatagram - 2, 'a'), false).size(), 65507u);
    // Three UTF-8 bytes a euro sign, one byte in the datagram.
    std::string euros;
    for (int i = 0; i < 65507; ++i) euros += "€";
    EXPECT_EQ(textDatagram(Kind::Plain, euros, false), std::string(65507, '\x80'));
}

TEST(ColourDatagram, IsTheMarkerTwoAndTheDecimalNumber) {
    EXPECT_EQ(ecran::sender::colourDatagram(255), "\xFF" "2255");
    EXPECT_EQ(ecran::sender::colourDatagram(0), "\xFF" "20");
    EXPECT_EQ(ecran::sender::colourDatagram(-1), "\xFF" "2-1");
    EXPECT_EQ(ecran::sender::colourDatagram(static_cast<std::int32_t>(0x8000000Fu)), "\xFF" "2-2147483633");
}

TEST(DatagramWarnings, OnlyPastWhatARestartKeeps) {
    EXPECT_TRUE(ecran::sender::datagramWarnings(std::string(589, 'a')).empty());
    const auto w = ecran::sender::datagramWarnings(std::string(590, 'a'));
    ASSERT_EQ(w.size(), 1u);
    EXPECT_NE(w[0].find("589"), std::string::npos);
}

}  // namespace
