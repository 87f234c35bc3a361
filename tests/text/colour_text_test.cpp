#include "text/colour_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

namespace {

using ecran::text::readColour;

TEST(ReadColour, GivesTheDisplaysColourNumber0x00BBGGRR) {
    const std::pair<const char*, std::uint32_t> rows[] = {
        // CSS names in any case, #RRGGBB and #RGB; red lands in the low byte.
        {"red", 0x0000FF}, {"SteelBlue", 0xB48246}, {"BLUE", 0xFF0000}, {"#ff8800", 0x0088FF}, {"#F80", 0x0088FF},
        {"#123456", 0x563412},
        // Numbers as the display reads them.
        {"255", 255}, {"&hff", 255}, {"&O377", 255}, {" 2 5 5 ", 255}, {"+255", 255}, {"1.5", 2}, {"2.5", 2},
        {"16777215", 0xFFFFFF},
        // The first and last system colours of the desktop's scheme.
        {"&H80000000", 0x80000000}, {"&H8000000F", 0x8000000F}, {"&H80000018", 0x80000018}};
    for (const auto& [text, expected] : rows) {
        const auto reading = readColour(text);
        ASSERT_TRUE(reading.colour) << "colour: \"" << text << "\": " << reading.error;
        EXPECT_EQ(static_cast<std::uint32_t>(*reading.colour), expected) << "colour: \"" << text << '"';
        EXPECT_EQ(reading.error, "");
    }
}

// The display would read the first of these as some number (often 0, black);
// the readers refuse them so a typing mistake does not blacken the screen.
// The last are numbers the display itself refuses: there is no system colour
// past 24, and no other number with a highest byte.
TEST(ReadColour, RefusesTextThatIsNotWhollyAColourNamingIt) {
    const std::pair<const char*, const char*> rows[] = {
        {"", "unknown colour"},         {"rde", "unknown colour"},      {"25S", "unknown colour"},
        {"12em", "unknown colour"},     {"#12", "#RRGGBB"},             {"#1234", "#RRGGBB"},
        {"#GGGGGG", "#RRGGBB"},         {"#1234567", "#RRGGBB"},        {"&H", "unknown colour"},
        {"&HFG", "unknown colour"},     {"&O8", "unknown colour"},      {"&X12", "unknown colour"},
        {"1e3", "unknown colour"},      {"1.2.3", "unknown colour"},    {"-", "unknown colour"},
        {".", "unknown colour"},        {"transparent", "unknown colour"},
        {"99999999999", "32-bit"},      {"&H100000000", "32-bit"},
        {"&H80000019", "would be system colour 25"},
        {"&H80000030", "would be system colour 48"},
        {"&H8000FFFF", "would be system colour 65535"},
        {"-1", "non-zero highest byte"},  {"16777216", "non-zero highest byte"},
        {"&H7F000000", "non-zero highest byte"}};
    for (const auto& [text, mentions] : rows) {
        const auto reading = readColour(text);
        EXPECT_FALSE(reading.colour) << "accepted \"" << text << '"';
        EXPECT_NE(reading.error.find(std::string("'") + text + "'"), std::string::npos) << reading.error;
        EXPECT_NE(reading.error.find(mentions), std::string::npos) << reading.error;
    }
}

TEST(ColourNote, NamesASystemColourAndIsSilentForRedGreenBlue) {
    EXPECT_EQ(ecran::text::colourNote(0xFFFFFF), "");
    EXPECT_EQ(ecran::text::colourNote(static_cast<std::int32_t>(0x8000000Fu)),
              "colour -2147483633 (&H8000000F) is system colour 15 of the desktop's scheme, "
              "not a red-green-blue colour");
}

}  // namespace
