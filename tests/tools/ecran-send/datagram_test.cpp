// The payload of each kind of datagram: text in Windows-1252, colours as
// the display's colour number.

#include <gtest/gtest.h>

#include <QColor>
#include <QString>
#include <set>
#include <utility>
#include <string>

#include "ecran-send/colour.h"
#include "ecran-send/datagram.h"
#include "ecran-send/errors.h"

namespace {

using ecran::sender::kMaxDatagram;
using ecran::sender::Kind;
using ecran::sender::parseColour;

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

TEST(ParseColour, GivesTheDisplaysColourNumber0x00BBGGRR) {
    const std::pair<const char*, std::uint32_t> rows[] = {
        // CSS names in any case, #RRGGBB and #RGB; red lands in the low byte.
        {"red", 0x0000FF}, {"SteelBlue", 0xB48246}, {"BLUE", 0xFF0000}, {"#ff8800", 0x0088FF}, {"#F80", 0x0088FF},
        {"#123456", 0x563412},
        // Numbers as the display reads them.
        {"255", 255}, {"&hff", 255}, {"&O377", 255}, {" 2 5 5 ", 255}, {"+255", 255}, {"1.5", 2}, {"2.5", 2},
        {"16777215", 0xFFFFFF}, {"&H8000000F", 0x8000000F}, {"-1", 0xFFFFFFFF}};
    for (const auto& [text, expected] : rows) {
        EXPECT_EQ(static_cast<std::uint32_t>(parseColour(text)), expected) << "colour: \"" << text << '"';
    }
}

// The display would read each of these as some number (often 0, black); the
// sender refuses them so a typing mistake does not blacken the screen.
TEST(ParseColour, RefusesTextThatIsNotWhollyAColourNamingIt) {
    for (const char* text : {"", "rde", "25S", "12em", "#12", "#1234", "#GGGGGG", "#1234567", "&H", "&HFG", "&O8",
                             "&X12", "1e3", "1.2.3", "-", ".", "transparent", "99999999999", "&H100000000"}) {
        try {
            (void)parseColour(text);
            ADD_FAILURE() << "accepted \"" << text << '"';
        } catch (const ecran::sender::UsageError& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("'") + text + "'"), std::string::npos) << e.what();
        }
    }
}

// Qt 6.4 holds the SVG 1.1 keywords: all of CSS's but rebeccapurple, which came later.
TEST(CssColours, AreThe148KeywordsWithQtsValues) {
    const auto table = ecran::sender::cssColours();
    ASSERT_EQ(table.size(), 148u);
    std::set<std::string> ours;
    for (const auto& entry : table) {
        ours.insert(entry.name);
        const QColor qt = QColor::fromString(QString::fromLatin1(entry.name));
        EXPECT_EQ(qt.isValid() ? qt.rgb() & 0xFFFFFFu : 0x663399u, entry.rgb) << entry.name;
    }
    for (const QString& name : QColor::colorNames()) {
        EXPECT_TRUE(name == QLatin1String("transparent") || ours.count(name.toStdString())) << name.toStdString();
    }
}

}  // namespace
