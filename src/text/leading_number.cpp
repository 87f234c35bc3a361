#include "text/leading_number.h"

#include <string>

#include "errors/error.h"

namespace ecran::text {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits in base 16 or 8 as a 32-bit pattern.
std::int32_t readPattern(std::string_view s, unsigned base) {
    std::uint64_t value = 0;
    for (char c : s) {
        const int d = hexValue(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) break;
        value = value * base + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull) throw errors::overflowError();
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

std::int32_t LeadingNumber(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n') s += c;
    }

    if (s.size() >= 2 && s[0] == '&') {
        const char p = s[1];
        if (p == 'H' || p == 'h') return readPattern(std::string_view(s).substr(2), 16);
        if (p == 'O' || p == 'o') return readPattern(std::string_view(s).substr(2), 8);
        return 0;
    }

    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    std::string whole;
    std::string fraction;
    bool point = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (isDigit(c)) {
            (point ? fraction : whole) += c;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }

    // Whole part, exactly: anything past 10 significant digits is out of range.
    const size_t firstSignificant = whole.find_first_not_of('0');
    const std::string_view digits =
        firstSignificant == std::string::npos ? std::string_view() : std::string_view(whole).substr(firstSignificant);
    if (digits.size() > 10) throw errors::overflowError();
    std::int64_t magnitude = 0;
    for (char c : digits) magnitude = magnitude * 10 + (c - '0');

    // Round half to even on the exact decimal fraction.
    if (!fraction.empty()) {
        const char first = fraction[0];
        const bool restNonZero = fraction.find_first_not_of('0', 1) != std::string::npos;
        if (first > '5' || (first == '5' && restNonZero) || (first == '5' && (magnitude % 2) == 1)) {
            ++magnitude;
        }
    }

    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) throw errors::overflowError();
    return static_cast<std::int32_t>(value);
}

}  // namespace ecran::text
