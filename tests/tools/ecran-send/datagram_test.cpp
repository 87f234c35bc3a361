// The payload of each kind of datagram: text in Windows-1252, colours as
// the display's colour number.

#include <gtest/gtest.h>

#include <string>

#include "ecran-send/datagram.h"
#include "ecran-send/errors.h"

namespace {

using ecran::sender::kMaxDatagram;
using ecran::sender::Kind;

std::string repeat(const std::string& s, size_t n) {
    std::string all;
    while (n-- > 0) all += s;
    return all;
}

struct Row {
    Kind kind;
    std::string utf8;
    bool replace;
    std::string result;  // the datagram, or when refused a part of the message
    bool refused = false;
};

class TextDatagram : public testing::TestWithParam<Row> {};

TEST_P(TextDatagram, IsTheWindows1252FormOrARefusalNamingTheProblem) {
    const auto& c = GetParam();
    try {
        EXPECT_EQ(ecran::sender::textDatagram(c.kind, c.utf8, c.replace), c.result) << c.utf8.substr(0, 40);
        EXPECT_FALSE(c.refused) << "accepted: " << c.utf8.substr(0, 40);
    } catch (const ecran::sender::UsageError& e) {
        EXPECT_TRUE(c.refused) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.result), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextDatagram,
    testing::Values(
        // The characters Windows-1252 keeps in 0x80-0x9F.
        Row{Kind::Plain, "€ œ“”—… Ÿ Š Ž ™ ‰", false, "\x80 \x9C\x93\x94\x97\x85 \x9F \x8A \x8E \x99 \x89"},
        // The command marker is harmless anywhere but first, and in a ticker text.
        Row{Kind::Plain, " ÿ", false, " \xFF"}, Row{Kind::Ticker, "ÿ", false, "\xFF" "1\xFF"},
        Row{Kind::Ticker, "", false, "\xFF" "1"}, Row{Kind::Plain, "a中b😀c€", true, "a?b?c\x80"},
        // A datagram filled exactly; a euro sign is three bytes in and one out.
        Row{Kind::Ticker, std::string(kMaxDatagram - 2, 'a'), false, "\xFF" "1" + std::string(kMaxDatagram - 2, 'a')},
        Row{Kind::Plain, repeat("€", kMaxDatagram), false, std::string(kMaxDatagram, '\x80')},
        // Refused: unmappable characters (a C1 control by its code alone), bad UTF-8,
        // the marker first in a plain message, more than a datagram holds.
        Row{Kind::Plain, "Réunion 中", false, "U+4E2D \"中\"", true},
        Row{Kind::Ticker, "😀", false, "U+1F600 \"😀\"", true}, Row{Kind::Plain, "a\xC2\x85", false, "U+0085,", true},
        Row{Kind::Plain, "\xC3", false, "UTF-8", true}, Row{Kind::Plain, "ab\xFF", false, "UTF-8", true},
        Row{Kind::Plain, "ÿ1 not a ticker", false, "0xFF", true},
        Row{Kind::Plain, std::string(kMaxDatagram + 1, 'a'), false, "65507", true},
        Row{Kind::Ticker, std::string(kMaxDatagram - 1, 'a'), false, "65507", true}));

}  // namespace
