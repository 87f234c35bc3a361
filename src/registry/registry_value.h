#pragma once
// What RegistryKey::setValue accepts: text, a whole number, a floating-point
// number or a boolean, each with one text form that is stored as a string
// value.

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace ecran::registry {

// Number of the error raised for a value that has no text form.
inline constexpr std::int32_t kTypeMismatch = 13;

class RegistryValue {
public:
    RegistryValue(std::string text) : v_(std::move(text)) {}
    RegistryValue(std::string_view text) : v_(std::string(text)) {}
    RegistryValue(const char* text) : v_(std::string(text)) {}
    // A single character is text of one character, not its code.
    RegistryValue(char c) : v_(std::string(1, c)) {}
    RegistryValue(bool b) : v_(b) {}

    template <std::signed_integral T>
        requires(!std::same_as<T, char> && !std::same_as<T, bool>)
    RegistryValue(T n) : v_(static_cast<std::int64_t>(n)) {}

    template <std::unsigned_integral T>
        requires(!std::same_as<T, char> && !std::same_as<T, bool>)
    RegistryValue(T n) : v_(static_cast<std::uint64_t>(n)) {}

    RegistryValue(float f) : v_(f) {}
    RegistryValue(double d) : v_(d) {}
    RegistryValue(long double d) : v_(static_cast<double>(d)) {}

    // The text that is stored:
    // - text unchanged;
    // - whole numbers in decimal, "-" before a negative one ("12", "-7");
    // - floating-point numbers in the shortest form that reads back to the
    //   same number, "." as decimal point, an exponent only where it is
    //   shorter ("0.1", "2", "1e+21"); a float is written as a float
    //   (0.1f gives "0.1");
    // - booleans "True" and "False".
    // Infinities and NaN have no text form: they raise
    // (13, "ecran", "Type mismatch") and nothing is written.
    [[nodiscard]] std::string text() const;

private:
    std::variant<std::string, std::int64_t, std::uint64_t, float, double, bool> v_;
};

}  // namespace ecran::registry
