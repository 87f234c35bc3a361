#include "text/cp1252.h"

#include <array>

namespace ecran::text {
namespace {

// 0x80-0x9F of Windows-1252. Undefined positions hold the C1 control of the
// same number, which is what Windows' MultiByteToWideChar gives for them.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

}  // namespace

std::optional<char32_t> nextCodePoint(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    char32_t cp = 0, min = 0;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return std::nullopt;
    }
    if (i + extra >= s.size()) {
        ++i;
        return std::nullopt;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return std::nullopt;
    }
    i += extra + 1;
    return cp;
}

bool isUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (!nextCodePoint(s, i)) return false;
    }
    return true;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

char32_t toUnicode(unsigned char byte) noexcept {
    if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
    return byte;
}

std::optional<unsigned char> fromUnicode(char32_t cp) noexcept {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
    for (size_t k = 0; k < kHighControls.size(); ++k) {
        if (kHighControls[k] == cp) return static_cast<unsigned char>(0x80 + k);
    }
    return std::nullopt;
}

std::string toUtf8(std::string_view cp1252) {
    std::string out;
    out.reserve(cp1252.size() * 2);
    for (char c : cp1252) appendUtf8(out, toUnicode(static_cast<unsigned char>(c)));
    return out;
}

Utf8Conversion fromUtf8(std::string_view utf8, std::optional<char> replacement) {
    Utf8Conversion result;
    result.text.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const auto cp = nextCodePoint(utf8, i);
        if (!cp) {
            result.malformed = true;
            return result;
        }
        if (auto byte = fromUnicode(*cp)) {
            result.text += static_cast<char>(*byte);
        } else {
            if (!result.unmappable) result.unmappable = *cp;
            if (replacement) result.text += *replacement;
        }
    }
    return result;
}

char toUpper(char c) noexcept {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 'a' && b <= 'z') return static_cast<char>(b - 0x20);
    if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return static_cast<char>(b - 0x20);
    switch (b) {
        case 0x9A: return '\x8A';  // s caron
        case 0x9C: return '\x8C';  // oe ligature
        case 0x9E: return '\x8E';  // z caron
        case 0xFF: return '\x9F';  // y diaeresis
        default: return c;
    }
}

std::string toUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = toUpper(c);
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept {
    return compareIgnoreCase(a, b) == 0;
}

int compareIgnoreCase(std::string_view a, std::string_view b) noexcept {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(toUpper(a[i]));
        const auto y = static_cast<unsigned char>(toUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace ecran::text
