// What ecran-send does with the text and the colour an operator types:
// UTF-8 to Windows-1252, and colour names and numbers to the colour
// command. Invariants: every failure is the sender's usage error; what
// converts goes back to the same UTF-8; every Windows-1252 text survives the
// round through UTF-8; a colour that parses is sent as a command that the
// display reads as that very number.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors/error.h"
#include "fuzz_support.h"
#include "text/cp1252.h"
#include "text/leading_number.h"

#include "text/colour_text.h"
#include "ecran-send/datagram.h"
#include "ecran-send/errors.h"
namespace sender = ecran::sender;

namespace {

namespace text = ecran::text;

// An independent reading of well-formed UTF-8: shortest forms only, no
// surrogates, nothing above U+10FFFF.
bool wellFormedUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b0 < 0x80) n = 0;
        else if (b0 >= 0xC2 && b0 <= 0xDF) n = 1;
        else if (b0 == 0xE0) n = 2, lo = 0xA0;
        else if (b0 >= 0xE1 && b0 <= 0xEC) n = 2;
        else if (b0 == 0xED) n = 2, hi = 0x9F;
        else if (b0 >= 0xEE && b0 <= 0xEF) n = 2;
        else if (b0 == 0xF0) n = 3, lo = 0x90;
        else if (b0 >= 0xF1 && b0 <= 0xF3) n = 3;
        else if (b0 == 0xF4) n = 3, hi = 0x8F;
        else return false;
        if (i + n >= s.size()) return false;  // the sequence runs past the end
        for (std::size_t k = 1; k <= n; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return false;
        }
        i += n + 1;
    }
    return true;
}

void checkConversion(std::string_view input) {
    const text::Utf8Conversion strict = text::fromUtf8(input);
    FUZZ_CHECK(strict.malformed == !wellFormedUtf8(input));
    if (!strict.malformed && !strict.unmappable) FUZZ_CHECK(text::toUtf8(strict.text) == input);

    const text::Utf8Conversion replaced = text::fromUtf8(input, '?');
    FUZZ_CHECK(replaced.malformed == strict.malformed);
    FUZZ_CHECK(replaced.unmappable == strict.unmappable);
    if (!replaced.malformed && !replaced.unmappable) FUZZ_CHECK(replaced.text == strict.text);

    // Any bytes are Windows-1252 text, and come back from UTF-8 unchanged.
    const text::Utf8Conversion back = text::fromUtf8(text::toUtf8(input));
    FUZZ_CHECK(!back.malformed && !back.unmappable);
    FUZZ_CHECK(back.text == input);

    // The datagrams built from the text.
    for (const auto kind : {sender::Kind::Plain, sender::Kind::Ticker}) {
        for (const bool replace : {false, true}) {
            try {
                const std::string datagram = sender::textDatagram(kind, input, replace);
                FUZZ_CHECK(datagram.size() <= sender::kMaxDatagram);
                if (kind == sender::Kind::Plain) {
                    FUZZ_CHECK(datagram.empty() || datagram[0] != text::kCommandMarker);
                    FUZZ_CHECK(datagram == (replace ? replaced.text : strict.text));
                } else {
                    FUZZ_CHECK(datagram.substr(0, 2) == "\xFF" "1");
                    FUZZ_CHECK(datagram.substr(2) == (replace ? replaced.text : strict.text));
                }
            } catch (const sender::UsageError&) {
                // Refused only for a reason the sender names.
                const std::string& converted = replace ? replaced.text : strict.text;
                const std::size_t needed = converted.size() + (kind == sender::Kind::Ticker ? 2 : 0);
                FUZZ_CHECK(strict.malformed || (strict.unmappable && !replace) ||
                           (kind == sender::Kind::Plain && !converted.empty() && converted[0] == '\xFF') ||
                           needed > sender::kMaxDatagram);
            }
        }
    }
}

void checkColour(std::string_view input) {
    // Refused with a message for the operator, or a colour the display takes.
    const text::ColourReading reading = text::readColour(input);
    FUZZ_CHECK(reading.colour.has_value() == reading.error.empty());
    if (!reading.colour) return;
    const std::int32_t number = *reading.colour;
    FUZZ_CHECK(text::isDisplayColour(number));
    // The display reads the colour command's number as LeadingNumber does.
    const std::string datagram = sender::colourDatagram(number);
    FUZZ_CHECK(datagram.substr(0, 2) == "\xFF" "2");
    FUZZ_CHECK(text::LeadingNumber(datagram.substr(2)) == number);
    (void)text::colourNote(number);
    if (const auto named = text::cssColour(input)) FUZZ_CHECK(*named == number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkConversion(input);
    checkColour(input);
    return 0;
}
