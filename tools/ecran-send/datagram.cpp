#include "ecran-send/datagram.h"

#include <cstdio>

#include "ecran-send/errors.h"
#include "text/cp1252.h"

namespace ecran::sender {
namespace {

std::string describe(char32_t cp) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
    std::string shown;
    // Controls would move the terminal's cursor rather than show anything.
    if (cp >= 0x20 && !(cp >= 0x7F && cp < 0xA0)) {
        shown = " \"";
        text::appendUtf8(shown, cp);
        shown += '"';
    }
    return code + shown;
}

}  // namespace

std::string toWindows1252(std::string_view utf8, bool replace) {
    auto converted = text::fromUtf8(utf8, replace ? std::optional<char>('?') : std::nullopt);
    if (converted.malformed) {
        throw UsageError("the text is not valid UTF-8 (ecran-send reads text in UTF-8)");
    }
    if (converted.unmappable && !replace) {
        throw UsageError("the text holds " + describe(*converted.unmappable) +
                         ", which Windows-1252 cannot encode; the display cannot show it "
                         "(--replace sends \"?\" in its place)");
    }
    return std::move(converted.text);
}

std::string textDatagram(Kind kind, std::string_view utf8, bool replace) {
    std::string datagram;
    if (kind == Kind::Ticker) {
        datagram = {text::kCommandMarker, '1'};
    }
    datagram += toWindows1252(utf8, replace);
    if (kind == Kind::Plain && !datagram.empty() && datagram[0] == text::kCommandMarker) {
        // The display reads a leading 0xFF as the command marker: the message
        // would not be shown, or would change the ticker or the colour.
        throw UsageError(
            "the message begins with \"\xC3\xBF\" (byte 0xFF), which the display reads as the command "
            "marker, so it would not be shown; begin the message with another character (a space, "
            "for example)");
    }
    if (datagram.size() > kMaxDatagram) {
        throw UsageError("the message needs " + std::to_string(datagram.size()) +
                         " bytes; one datagram holds at most " + std::to_string(kMaxDatagram));
    }
    return datagram;
}

std::string colourDatagram(std::int32_t colour) {
    return std::string{text::kCommandMarker, '2'} + std::to_string(colour);
}

std::vector<std::string> datagramWarnings(std::string_view datagram) {
    std::vector<std::string> warnings;
    if (datagram.size() > kStoredMessageLimit) {
        warnings.push_back("the message is " + std::to_string(datagram.size()) +
                           " characters long; the display shows it whole, but after a restart "
                           "it shows only the first " +
                           std::to_string(kStoredMessageLimit));
    }
    return warnings;
}

}  // namespace ecran::sender
