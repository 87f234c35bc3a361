#include "win32/ini_value.h"

namespace ecran::win32::ini {

namespace {

bool isQuote(char c) noexcept { return c == '"' || c == '\''; }

bool wrappedInQuotes(std::string_view text) noexcept {
    return text.size() >= 2 && isQuote(text.front()) && text.back() == text.front();
}

}  // namespace

std::string_view trimBlanks(std::string_view text) noexcept {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool needsQuotedForm(std::string_view value) noexcept {
    if (value.find_first_of("\r\n") != std::string_view::npos) return true;
    if (!value.empty() && (isBlank(value.front()) || isBlank(value.back()))) return true;
    return wrappedInQuotes(value);
}

std::string encodeValue(std::string_view value) {
    if (!needsQuotedForm(value)) return std::string(value);
    std::string out;
    out.reserve(value.size() + 8);
    out += '"';
    for (const char c : value) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c; break;
        }
    }
    out += '"';
    return out;
}

std::string decodeValue(std::string_view textAfterEquals) {
    const std::string_view text = trimBlanks(textAfterEquals);
    if (!wrappedInQuotes(text)) return std::string(text);
    const std::string_view inner = text.substr(1, text.size() - 2);
    if (text.front() == '\'') return std::string(inner);

    std::string out;
    out.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        if (c == '\\' && i + 1 < inner.size()) {
            const char next = inner[i + 1];
            if (next == '\\' || next == 'r' || next == 'n') {
                out += next == '\\' ? '\\' : next == 'r' ? '\r' : '\n';
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

}  // namespace ecran::win32::ini
