#include "fleet/fleet_command.h"

#include <cstdio>
#include <vector>

#include "text/colour_text.h"
#include "text/cp1252.h"

namespace ecran::fleet {
namespace {

// The longest colour text worth reading ("lightgoldenrodyellow" with blanks
// to spare); a longer payload is refused without being quoted whole.
constexpr std::size_t kMaxColourText = 64;

std::string codePointName(char32_t cp) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(cp));
    std::string out = name;
    // A control character is named by its code alone.
    if (cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F)) {
        out += " \"";
        text::appendUtf8(out, cp);
        out += '"';
    }
    return out;
}

// UTF-8 text as Windows-1252, "?" for what the code page lacks; the note
// names the characters replaced (the first few, and how many in all).
CommandDatagram windows1252(std::string_view utf8, std::string_view head) {
    if (!text::isUtf8(utf8)) return {std::nullopt, "refused: the text is not UTF-8", "not UTF-8"};
    std::string out(head);
    std::vector<char32_t> missing;
    std::size_t replaced = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t cp = *text::nextCodePoint(utf8, i);
        if (const auto byte = text::fromUnicode(cp)) {
            out += static_cast<char>(*byte);
        } else {
            out += '?';
            ++replaced;
            if (missing.size() < 5) missing.push_back(cp);
        }
    }
    std::string note;
    if (replaced > 0) {
        note = "Windows-1252 has no ";
        for (std::size_t k = 0; k < missing.size(); ++k) note += (k ? ", " : "") + codePointName(missing[k]);
        if (replaced > missing.size()) note += " (" + std::to_string(replaced) + " characters in all)";
        note += replaced == 1 ? ": shown as \"?\"" : ": each shown as \"?\"";
    }
    return {std::move(out), std::move(note), replaced > 0 ? "replaced" : ""};
}

std::string withoutBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1));
}

}  // namespace

CommandDatagram datagramFor(Command command, std::string_view payload) {
    if (payload.size() > kMaxPayload) {
        return {std::nullopt, "refused: " + std::to_string(payload.size()) + " bytes, more than a message holds (" +
                                  std::to_string(kMaxPayload) + ")",
                "too large"};
    }
    switch (command) {
        case Command::Message:
            return {std::string(payload), {}, {}};
        case Command::Ticker:
            return windows1252(payload, std::string{text::kCommandMarker, '1'});
        case Command::Text: {
            auto converted = windows1252(payload, {});
            if (converted.datagram && !converted.datagram->empty() &&
                converted.datagram->front() == text::kCommandMarker) {
                return {std::nullopt,
                        "refused: a main message cannot begin with \"\xC3\xBF\" (U+00FF), the display's command "
                        "marker; send such bytes to the message topic",
                        "command marker"};
            }
            return converted;
        }
        case Command::Colour: {
            if (payload.size() > kMaxColourText) {
                return {std::nullopt, "refused: " + std::to_string(payload.size()) + " bytes are no colour", "too large"};
            }
            if (!text::isUtf8(payload)) return {std::nullopt, "refused: the colour is not UTF-8 text", "not UTF-8"};
            const auto reading = text::readColour(withoutBlanks(payload));
            if (!reading.colour) return {std::nullopt, "refused: " + reading.error, "not a colour"};
            return {std::string{text::kCommandMarker, '2'} + std::to_string(*reading.colour), {}, {}};
        }
    }
    return {std::nullopt, "refused: unknown command", "unknown command"};
}

}  // namespace ecran::fleet
