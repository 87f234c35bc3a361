#include "ecran-send/colour.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QString>
#include <set>
#include <string>

#include "ecran-send/errors.h"

namespace {

using ecran::sender::parseColour;

struct Good {
    const char* text;
    std::uint32_t expected;  // 0x00BBGGRR as the display takes it
};

class ParseColourValue : public testing::TestWithParam<Good> {};

TEST_P(ParseColourValue, GivesTheDisplaysColourNumber) {
    EXPECT_EQ(static_cast<std::uint32_t>(parseColour(GetParam().text)), GetParam().expected)
        << "colour: \"" << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseColourValue,
    testing::Values(
        // CSS names in any case, #RRGGBB and #RGB; red lands in the low byte.
        Good{"red", 0x0000FF}, Good{"SteelBlue", 0xB48246}, Good{"BLUE", 0xFF0000}, Good{"#ff8800", 0x0088FF},
        Good{"#F80", 0x0088FF}, Good{"#123456", 0x563412},
        // Numbers as the display reads them.
        Good{"255", 255}, Good{"&hff", 255}, Good{"&O377", 255}, Good{" 2 5 5 ", 255}, Good{"+255", 255},
        Good{"1.5", 2}, Good{"2.5", 2}, Good{"16777215", 0xFFFFFF}, Good{"&H8000000F", 0x8000000F},
        Good{"-1", 0xFFFFFFFF}));

class ParseColourRefuses : public testing::TestWithParam<const char*> {};

// The display would read each of these as some number (often 0, black); the
// sender refuses them so a typing mistake does not blacken the screen.
TEST_P(ParseColourRefuses, TextThatIsNotWhollyAColour) {
    try {
        (void)parseColour(GetParam());
        FAIL() << "accepted \"" << GetParam() << '"';
    } catch (const ecran::sender::UsageError& e) {
        EXPECT_NE(std::string(e.what()).find(std::string("'") + GetParam() + "'"), std::string::npos)
            << "message does not name the colour: " << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ParseColourRefuses,
                         testing::Values("", "rde", "25S", "12em", "#12", "#1234", "#GGGGGG", "#1234567", "&H",
                                         "&HFG", "&O8", "&X12", "1e3", "1.2.3", "-", ".", "transparent",
                                         "99999999999", "&H100000000"));

TEST(CssColours, AgreeWithQtsTableOfTheSameKeywords) {
    const auto table = ecran::sender::cssColours();
    ASSERT_EQ(table.size(), 148u);
    std::set<std::string> ours;
    for (const auto& entry : table) {
        ours.insert(entry.name);
        // CSS added this keyword after SVG 1.1, whose list Qt 6.4 holds.
        if (std::string(entry.name) == "rebeccapurple") {
            EXPECT_EQ(entry.rgb, 0x663399u);
            continue;
        }
        const QColor qt = QColor::fromString(QString::fromLatin1(entry.name));
        ASSERT_TRUE(qt.isValid()) << entry.name;
        EXPECT_EQ(qt.rgb() & 0xFFFFFFu, entry.rgb) << entry.name;
    }
    for (const QString& name : QColor::colorNames()) {
        if (name == QLatin1String("transparent")) continue;
        EXPECT_TRUE(ours.count(name.toStdString())) << "missing keyword " << name.toStdString();
    }
}

}  // namespace
