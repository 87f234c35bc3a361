#pragma once
// The number that leads a text, as the port setting and the colour command
// read it.

#include <cstdint>
#include <string_view>

namespace ecran::text {

// Blanks, tabs and line feeds are removed from the whole text first. Then,
// from the start:
//  - "&H" or "&O" (either case) reads hexadecimal or octal digits. The digits
//    form a 32-bit pattern, so "&HFFFFFFFF" is -1 and "&H8000000F" is the
//    system colour number 0x8000000F written as operators write it; a value
//    that needs more than 32 bits is an overflow. Leading zeros are free.
//  - otherwise an optional sign and decimal digits with at most one "."; no
//    exponent is read, so the letters after a number ("12em") never change it.
// Reading stops at the first character that cannot continue the number; no
// number at all (empty text, "abc", "-", ".", "&H") gives 0. The decimal value
// is made whole by rounding to the nearest integer, halves to the even one
// (1.5 -> 2, 2.5 -> 2, -1.5 -> -2). A whole value outside the signed 32-bit
// range throws the overflow error (number 6, "Overflow").
[[nodiscard]] std::int32_t LeadingNumber(std::string_view text);

}  // namespace ecran::text
