#pragma once
// Colours as operators write them on the command line, turned into the
// colour number the display takes: 0x00BBGGRR, red in the low byte.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ecran::sender {

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

// Reads a colour: a CSS keyword ("red", "SteelBlue"), "#RRGGBB" or "#RGB",
// or a number as the display reads numbers (decimal, "&HFF", "&O377", with
// blanks ignored and fractions rounded half to even). Unlike the display,
// which takes the number that leads any text, the whole text must be a
// colour: "25S" or "rde" is an error, not colour 25 or black. Throws
// UsageError naming the text.
[[nodiscard]] std::int32_t parseColour(std::string_view text);

// A note for the operator when the display may not take the number as a
// red-green-blue colour (its highest byte is not zero); empty otherwise.
[[nodiscard]] std::string colourNote(std::int32_t colour);

}  // namespace ecran::sender
