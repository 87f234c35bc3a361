// LeadingNumber on any bytes: it returns a number or throws the overflow
// error, nothing else, and it reads the way the port setting and the colour
// command are documented to read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "errors/error.h"
#include "fuzz_support.h"
#include "text/leading_number.h"

namespace {

// The number, or nothing for the overflow error; any other failure aborts.
std::optional<std::int32_t> leadingNumber(std::string_view text) {
    try {
        return ecran::text::LeadingNumber(text);
    } catch (const ecran::errors::Error& e) {
        FUZZ_CHECK(e.number() == ecran::errors::kOverflow);
        return std::nullopt;
    }
}

bool allOf(std::string_view s, std::string_view allowed) { return s.find_first_not_of(allowed) == s.npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> number = leadingNumber(text);

    // Blanks, tabs and line feeds are removed before reading: without them
    // the text reads the same.
    std::string packed;
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\n') packed += c;
    FUZZ_CHECK(leadingNumber(packed) == number);

    // Reading stops at a character that cannot continue the number ("4445abc"
    // is 4445); "x" continues no number, so appending it changes nothing.
    FUZZ_CHECK(leadingNumber(text + "x") == number);

    // Plain decimal integers read as the standard library reads them.
    std::string_view digits = packed;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    if (!digits.empty() && digits.size() <= 18 && allOf(digits, "0123456789")) {
        const long long expected = std::strtoll(packed.c_str(), nullptr, 10);
        if (expected >= INT32_MIN && expected <= INT32_MAX) FUZZ_CHECK(number == static_cast<std::int32_t>(expected));
        else FUZZ_CHECK(!number);
    }

    // "&H" and up to eight hexadecimal digits are a 32-bit pattern.
    if (packed.size() >= 3 && packed.size() <= 10 && packed[0] == '&' && (packed[1] == 'H' || packed[1] == 'h') &&
        allOf(std::string_view(packed).substr(2), "0123456789abcdefABCDEF")) {
        const auto pattern = static_cast<std::uint32_t>(std::strtoul(packed.c_str() + 2, nullptr, 16));
        FUZZ_CHECK(number == static_cast<std::int32_t>(pattern));
    }
    return 0;
}
