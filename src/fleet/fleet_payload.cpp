#include "fleet/fleet_payload.h"

#include <cstdio>
#include <ctime>

#include "text/colour_text.h"
#include "text/cp1252.h"

namespace ecran::fleet {
namespace {

constexpr const char* kCommandNames[] = {"message", "text", "ticker", "color"};
constexpr Command kCommands[] = {Command::Message, Command::Text, Command::Ticker, Command::Colour};

// The longest colour text worth reading ("lightgoldenrodyellow" with blanks
// to spare); a longer payload is refused without being quoted whole.
constexpr std::size_t kMaxColourText = 64;

// The next code point of UTF-8 text at `i`, which moves past it; nothing for
// a byte that starts no valid sequence (overlong forms, surrogates and code
// points past U+10FFFF included), and `i` moves past that one byte.
std::optional<char32_t> nextCodePoint(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    char32_t cp = 0;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07;
    } else {
        ++i;
        return std::nullopt;
    }
    if (i + length > s.size()) {
        ++i;
        return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    if (overlong || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        ++i;
        return std::nullopt;
    }
    i += length;
    return cp;
}

bool isUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (!nextCodePoint(s, i)) return false;
    }
    return true;
}

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
    if (!isUtf8(utf8)) return {std::nullopt, "refused: the text is not UTF-8"};
    std::string out(head);
    std::vector<char32_t> missing;
    std::size_t replaced = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const char32_t cp = *nextCodePoint(utf8, i);
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
    return {std::move(out), std::move(note)};
}

std::string withoutBlanks(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1));
}

// A topic level usable as a Home Assistant node or object id: letters,
// digits, "_" and "-"; the "." a screen name may hold becomes "_".
std::string discoveryId(std::string s) {
    for (char& c : s) {
        if (c == '.') c = '_';
    }
    return s;
}

}  // namespace

std::vector<std::string> commandTopics(const TopicScheme& scheme) {
    std::vector<std::string> bases{scheme.prefix + "/" + scheme.name + "/"};
    for (const auto& g : scheme.groups) bases.push_back(scheme.prefix + "/group/" + g + "/");
    bases.push_back(scheme.prefix + "/all/");
    std::vector<std::string> topics;
    for (const auto& base : bases) {
        for (const char* command : kCommandNames) topics.push_back(base + command);
    }
    return topics;
}

std::optional<Command> commandOf(const TopicScheme& scheme, std::string_view topic) {
    const std::string prefix = scheme.prefix + "/";
    if (topic.substr(0, prefix.size()) != prefix) return std::nullopt;
    std::string_view rest = topic.substr(prefix.size());
    const auto slash = rest.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view target = rest.substr(0, slash), command = rest.substr(slash + 1);
    bool mine = target == scheme.name || target == "all";
    for (const auto& g : scheme.groups) mine = mine || target == "group/" + g;
    if (!mine) return std::nullopt;
    for (std::size_t k = 0; k < std::size(kCommandNames); ++k) {
        if (command == kCommandNames[k]) return kCommands[k];
    }
    return std::nullopt;
}

std::string commandTopic(const std::string& prefix, const std::string& target, Command command) {
    return prefix + "/" + target + "/" + kCommandNames[static_cast<std::size_t>(command)];
}

std::string statusTopic(const TopicScheme& scheme) { return scheme.prefix + "/" + scheme.name + "/status"; }
std::string stateTopic(const TopicScheme& scheme) { return scheme.prefix + "/" + scheme.name + "/state"; }

CommandDatagram datagramFor(Command command, std::string_view payload) {
    if (payload.size() > kMaxPayload) {
        return {std::nullopt, "refused: " + std::to_string(payload.size()) + " bytes, more than a message holds (" +
                                  std::to_string(kMaxPayload) + ")"};
    }
    switch (command) {
        case Command::Message:
            return {std::string(payload), {}};
        case Command::Ticker:
            return windows1252(payload, std::string{text::kCommandMarker, '1'});
        case Command::Text: {
            auto converted = windows1252(payload, {});
            if (converted.datagram && !converted.datagram->empty() &&
                converted.datagram->front() == text::kCommandMarker) {
                return {std::nullopt,
                        "refused: a main message cannot begin with \"\xC3\xBF\" (U+00FF), the display's command "
                        "marker; send such bytes to the message topic"};
            }
            return converted;
        }
        case Command::Colour: {
            if (payload.size() > kMaxColourText) {
                return {std::nullopt, "refused: " + std::to_string(payload.size()) + " bytes are no colour"};
            }
            if (!isUtf8(payload)) return {std::nullopt, "refused: the colour is not UTF-8 text"};
            const auto reading = text::readColour(withoutBlanks(payload));
            if (!reading.colour) return {std::nullopt, "refused: " + reading.error};
            return {std::string{text::kCommandMarker, '2'} + std::to_string(*reading.colour), {}};
        }
    }
    return {std::nullopt, "refused: unknown command"};
}

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t start = i;
        const auto cp = nextCodePoint(utf8, i);
        if (!cp) {
            out += "\\ufffd";
            continue;
        }
        switch (*cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\b': out += "\\b"; continue;
            case '\f': out += "\\f"; continue;
            default: break;
        }
        if (*cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F) || *cp == 0x2028 || *cp == 0x2029) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*cp));
            out += escaped;
        } else {
            out.append(utf8.substr(start, i - start));
        }
    }
    out += '"';
    return out;
}

std::string isoUtc(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const long millis = static_cast<long>(((ms % 1000) + 1000) % 1000);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char out[96];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return out;
}

std::string stateJson(const ScreenState& s) {
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%06X", static_cast<unsigned>(s.rgb & 0xFFFFFFu));
    std::string groups;
    for (const auto& g : s.groups) groups += (groups.empty() ? "" : ",") + jsonString(g);
    return "{\"text\":" + jsonString(text::toUtf8(s.text)) + ",\"ticker\":" + jsonString(text::toUtf8(s.ticker)) +
           ",\"color\":\"" + colour + "\",\"updated\":\"" + isoUtc(s.updated) + "\",\"source\":" +
           jsonString(s.source) + ",\"version\":" + jsonString(s.version) + ",\"groups\":[" + groups + "]}";
}

std::vector<DiscoveryConfig> discoveryConfigs(const TopicScheme& scheme, const std::string& prefix,
                                              const std::string& version) {
    const std::string node = discoveryId(scheme.name);
    const std::string base = scheme.prefix + "/" + scheme.name + "/";
    const std::string device = "{\"identifiers\":[" + jsonString(scheme.prefix + "-" + scheme.name) +
                               "],\"name\":" + jsonString(scheme.name) + ",\"model\":\"ecran\",\"sw_version\":" +
                               jsonString(version) + "}";
    struct Entity {
        const char* object;
        const char* name;
        const char* command;
        const char* field;
    };
    // Home Assistant keeps at most 255 characters of a text entity's state:
    // the template cuts a longer message rather than have the state refused.
    const Entity entities[] = {{"message", "Message", "text", "text"}, {"ticker", "Ticker", "ticker", "ticker"}};
    std::vector<DiscoveryConfig> configs;
    for (const auto& e : entities) {
        const std::string payload =
            "{\"name\":" + jsonString(e.name) + ",\"unique_id\":" +
            jsonString(discoveryId(scheme.prefix) + "_" + node + "_" + e.object) + ",\"command_topic\":" +
            jsonString(base + e.command) + ",\"state_topic\":" + jsonString(stateTopic(scheme)) +
            ",\"value_template\":" + jsonString(std::string("{{ value_json.") + e.field + "[:255] }}") +
            ",\"availability_topic\":" + jsonString(statusTopic(scheme)) +
            ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\",\"max\":255,\"mode\":\"text\","
            "\"qos\":1,\"device\":" +
            device + "}";
        configs.push_back({prefix + "/text/" + node + "/" + e.object + "/config", payload});
    }
    return configs;
}

std::optional<StatePacer::Clock::duration> StatePacer::changed(Clock::time_point now) {
    if (due_) return std::nullopt;
    if (!last_ || now - *last_ >= gap_) {
        last_ = now;
        return Clock::duration::zero();
    }
    due_ = true;
    return *last_ + gap_ - now;
}

void StatePacer::published(Clock::time_point now) {
    due_ = false;
    last_ = now;
}

}  // namespace ecran::fleet
