#pragma once
// Colour numbers as the program and its messages speak them: 0x00BBGGRR for
// a red-green-blue colour (red in the low byte), 0x80000000 + n for system
// colour n of the desktop's colour scheme.

#include <QColor>
#include <QPalette>

#include <cstdint>

namespace ecran::display {

// System colours the window uses by number.
inline constexpr std::int32_t kWindowText = 8;
inline constexpr std::int32_t kButtonFace = 15;

// The colour number of system colour n.
[[nodiscard]] constexpr std::int32_t systemColor(std::int32_t n) noexcept {
    return static_cast<std::int32_t>(0x80000000u + static_cast<std::uint32_t>(n));
}

// The colour a number names. A number whose highest byte is 0 is a
// red-green-blue colour; 0x80000000 + n for the system colours 0 to 24 takes
// that colour from `scheme` (the desktop's palette). Every other number is
// refused with error 380 "Invalid property value".
[[nodiscard]] QColor colorFromNumber(std::int32_t number, const QPalette& scheme);

// The same, with the desktop's scheme: the application's palette. Never a
// window's own palette, which may hold the window's design colours (Form1's
// Window role is its dark grey, not the desktop's menu bar colour).
[[nodiscard]] QColor colorFromNumber(std::int32_t number);

}  // namespace ecran::display
