#pragma once
// Colours as operators write them (on a command line, in a fleet command),
// turned into the colour number the display takes: 0x00BBGGRR for a
// red-green-blue colour (red in the low byte), 0x80000000 + n for system
// colour n of the desktop's scheme.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ecran::text {

// One CSS colour keyword and its colour as written in CSS (0xRRGGBB).
struct NamedColour {
    const char* name;
    std::uint32_t rgb;
};

// The 148 CSS colour keywords, in alphabetical order.
[[nodiscard]] std::span<const NamedColour> cssColours() noexcept;

// The colour number of a CSS keyword, case-insensitive; nothing when the name
// is not a keyword.
[[nodiscard]] std::optional<std::int32_t> cssColour(std::string_view name) noexcept;

// The system colours of the desktop's scheme the display knows: 0 to 24.
inline constexpr std::uint32_t kSystemColourCount = 25;

// True when the display takes the number as a colour: its highest byte is 0
// (red-green-blue), or it is 0x80000000 + n for a system colour n of 0 to 24.
// The display refuses every other number and keeps its colour.
[[nodiscard]] bool isDisplayColour(std::int32_t colour) noexcept;

// The outcome of reading a colour: the number, or why the text is none.
struct ColourReading {
    std::optional<std::int32_t> colour;
    std::string error;  // names the text; empty when a colour was read
};

// Reads a colour: a CSS keyword ("red", "SteelBlue"), "#RRGGBB" or "#RGB",
// or a number as the display reads numbers (decimal, "&HFF", "&O377", with
// blanks ignored and fractions rounded half to even). Unlike the display,
// which takes the number that leads any text, the whole text must be a
// colour: "25S" or "rde" is an error, not colour 25 or black. A number the
// display would refuse (see isDisplayColour) is an error too, so a sender
// never reports success for a colour the screen will not show.
[[nodiscard]] ColourReading readColour(std::string_view text);

// A note for the operator when the colour is a system colour, whose look
// depends on the display's desktop; empty for a red-green-blue colour.
[[nodiscard]] std::string colourNote(std::int32_t colour);

}  // namespace ecran::text
