#pragma once
// The text model of the whole program: every text is a std::string holding
// Windows-1252 bytes, one byte per character. Datagrams, INI values,
// registry names and values and captions all travel in this form; the only
// conversions to Unicode happen at the edges (a caption reaching the screen,
// a sender reading the terminal's UTF-8).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ecran::text {

// The command marker that opens a command message: character 255 (y diaeresis).
inline constexpr char kCommandMarker = '\xFF';

// Unicode code point of a Windows-1252 byte. 0x80-0x9F follow Windows' own
// table; the five bytes Windows leaves undefined there (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) map to the C1 control of the same number, as Windows does.
[[nodiscard]] char32_t toUnicode(unsigned char byte) noexcept;

// The Windows-1252 byte of a code point, or nothing when the code page has
// no character for it.
[[nodiscard]] std::optional<unsigned char> fromUnicode(char32_t codePoint) noexcept;

// The next code point of UTF-8 text at `i`, which moves past it; nothing for
// a byte that starts no valid sequence (overlong forms, surrogates and code
// points past U+10FFFF included), and `i` then moves past that one byte.
[[nodiscard]] std::optional<char32_t> nextCodePoint(std::string_view utf8, std::size_t& i);
[[nodiscard]] bool isUtf8(std::string_view s);

// One code point as UTF-8, to name a character in a message.
void appendUtf8(std::string& out, char32_t codePoint);

// Windows-1252 text as UTF-8 (always possible).
[[nodiscard]] std::string toUtf8(std::string_view cp1252);

// Result of turning UTF-8 into Windows-1252.
struct Utf8Conversion {
    std::string text;                    // the converted bytes
    std::optional<char32_t> unmappable;  // first character with no Windows-1252 byte
    bool malformed = false;              // the input was not valid UTF-8
};

// UTF-8 as Windows-1252. A character the code page cannot hold is reported
// (and, when `replacement` is given, written as that byte instead).
[[nodiscard]] Utf8Conversion fromUtf8(std::string_view utf8, std::optional<char> replacement = std::nullopt);

// Upper case of one Windows-1252 character, as Windows upper-cases names
// (a-z, the accented letters 0xE0-0xFE except the division sign 0xF7,
// and the few letters of 0x80-0x9F that have a capital form).
[[nodiscard]] char toUpper(char c) noexcept;
[[nodiscard]] std::string toUpper(std::string_view s);

// Case-insensitive equality and ordering with that upper-casing.
[[nodiscard]] bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept;
[[nodiscard]] int compareIgnoreCase(std::string_view a, std::string_view b) noexcept;

}  // namespace ecran::text
