#pragma once
// How one value is written after "key=" in an INI file, and how the text
// after "=" is read back.
//
// What a reader does with the text after "=" (as the Windows profile
// functions do): blanks and tabs around it are dropped; then one matching
// pair of surrounding quotes, "..." or '...', is removed. An unmatched quote
// stays.
//
// Writing raw bytes, as Windows does, loses or corrupts some values: a line
// break ends the line (and lets the rest of the value become new lines of the
// file: a section header, another key), blanks at either end are trimmed
// away, and surrounding quotes are stripped. So a value is written in one of
// two forms:
//
//   plain   the bytes as they are, exactly what Windows writes, for every
//           value that reads back unchanged that way: no CR, no LF, no blank
//           or tab at either end, not wrapped in a matching pair of quotes.
//           Most values (port numbers, ordinary messages) take this form, so
//           the file stays editable by hand and readable by Windows.
//
//   quoted  every other value: a double quote, the value with three escapes,
//           a double quote:
//               backslash        ->  \\ (two backslashes)
//               carriage return  ->  \r
//               line feed        ->  \n
//           Every other byte (tabs, blanks, quotes, 0x01-0x1F, 0x7F, 0x80-0xFF
//           and the 0xFF command marker included) is written as it is.
//           The written line never holds a line break, so one value stays one
//           line and can never add or change another key or section.
//
// Reading: a value that, after trimming, starts and ends with a double quote
// (two characters at least) loses them and has \\, \r and \n turned back
// into their bytes; a backslash followed by anything else is kept as it is.
// A value in single quotes loses them. Anything else is the value.
//
// Every byte sequence without NUL survives a write and a read unchanged: a
// plain value is untouched by the reader, and a quoted value unescapes to
// exactly what was escaped. The Windows reader strips the quotes of a quoted
// value too, so it sees the value with only its line breaks and backslashes
// escaped. NUL cannot reach this code: the profile functions take C strings
// and end every value at its first NUL.
//
// One difference from Windows when reading a file written by hand: a value
// written as "C:\new" (in double quotes) reads as C:, a line feed and "ew"
// here, where Windows reads C:\new. Unquoted values, the ordinary form for a
// path, read the same on both.

#include <string>
#include <string_view>

namespace ecran::win32::ini {

// Blank characters around names and values: space and tab.
[[nodiscard]] constexpr bool isBlank(char c) noexcept { return c == ' ' || c == '\t'; }

// The text without the blanks and tabs at either end.
[[nodiscard]] std::string_view trimBlanks(std::string_view text) noexcept;

// True when the value is written in the quoted form.
[[nodiscard]] bool needsQuotedForm(std::string_view value) noexcept;

// The text to write after "key=" for this value.
[[nodiscard]] std::string encodeValue(std::string_view value);

// The value that the text after "=" holds.
[[nodiscard]] std::string decodeValue(std::string_view textAfterEquals);

}  // namespace ecran::win32::ini
