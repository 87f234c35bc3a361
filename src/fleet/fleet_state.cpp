#include "fleet/fleet_state.h"

#include <cstdio>
#include <ctime>

#include "text/cp1252.h"

namespace ecran::fleet {

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t start = i;
        const auto cp = text::nextCodePoint(utf8, i);
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

JsonObject& JsonObject::text(std::string_view key, std::string_view utf8) { return raw(key, jsonString(utf8)); }

JsonObject& JsonObject::raw(std::string_view key, std::string_view json) {
    if (out_.size() > 1) out_ += ',';
    out_ += jsonString(key);
    out_ += ':';
    out_ += json;
    return *this;
}

namespace {

std::string jsonArray(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ",") + jsonString(i);
    return "[" + out + "]";
}

}  // namespace

std::string stateJson(const ScreenState& s) {
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%06X", static_cast<unsigned>(s.rgb & 0xFFFFFFu));
    JsonObject state;
    state.text("text", text::toUtf8(s.text))
        .text("ticker", text::toUtf8(s.ticker))
        .text("color", colour)
        .text("updated", isoUtc(s.updated))
        .text("source", s.source)
        .text("version", s.version)
        .raw("groups", jsonArray(s.groups));
    if (s.snapshot) state.text("snapshot", isoUtc(*s.snapshot));
    if (!s.refused.empty()) state.raw("refused", jsonArray(s.refused));
    return state.str();
}

}  // namespace ecran::fleet
