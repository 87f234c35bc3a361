#include "win32/ini_document.h"

#include <utility>

#include "text/cp1252.h"
#include "win32/ini_value.h"

namespace ecran::win32::ini {

namespace {

constexpr std::string_view kLineEnding = "\r\n";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// A line whose first non-blank character this is, is a comment: never a
// section, never a key, in reads as in lists.
constexpr char kComment = ';';

}  // namespace

IniDocument IniDocument::parse(std::string_view bytes) {
    IniDocument doc;
    doc.bytes_ = std::string(bytes);
    doc.index();
    return doc;
}

void IniDocument::index() {
    lines_.clear();
    const std::string_view all = bytes_;
    bom_ = all.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    std::size_t pos = bom_;
    while (pos < all.size()) {
        Line line;
        line.begin = pos;
        // A plain loop: find_first_of calls memchr on "\r\n" once per byte.
        std::size_t end = pos;
        while (end < all.size() && all[end] != '\r' && all[end] != '\n') ++end;
        if (end == all.size()) {
            line.length = all.size() - pos;
        } else {
            line.length = end - pos;
            line.endingLength = all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n' ? 2 : 1;
        }
        pos = line.begin + line.length + line.endingLength;

        const std::string_view t = all.substr(line.begin, line.length);
        std::size_t first = 0;
        while (first < t.size() && isBlank(t[first])) ++first;
        if (first == t.size() || t[first] == kComment) first = std::string_view::npos;
        if (first != std::string_view::npos && t[first] == '[') {
            const std::size_t close = t.find(']', first + 1);
            if (close != std::string_view::npos) {
                const std::string_view inner = t.substr(first + 1, close - first - 1);
                const std::string_view trimmed = trimBlanks(inner);
                line.kind = Kind::Section;
                line.nameBegin = line.begin + first + 1 + static_cast<std::size_t>(trimmed.data() - inner.data());
                line.nameLength = trimmed.size();
            }
        } else if (first != std::string_view::npos) {
            const std::size_t equals = t.find('=');
            if (equals != std::string_view::npos) {
                const std::string_view trimmed = trimBlanks(t.substr(0, equals));
                line.kind = Kind::Key;
                line.nameBegin = line.begin + static_cast<std::size_t>(trimmed.data() - t.data());
                line.nameLength = trimmed.size();
                std::size_t start = equals + 1;
                while (start < t.size() && isBlank(t[start])) ++start;
                line.valueBegin = line.begin + start;
            }
        }
        lines_.push_back(line);
    }
}

std::string IniDocument::bytes() const { return bytes_; }

std::string_view IniDocument::text(const Line& line) const {
    return std::string_view(bytes_).substr(line.begin, line.length);
}

std::string_view IniDocument::name(const Line& line) const {
    return std::string_view(bytes_).substr(line.nameBegin, line.nameLength);
}

std::string_view IniDocument::rawValue(const Line& line) const {
    return std::string_view(bytes_).substr(line.valueBegin, line.begin + line.length - line.valueBegin);
}

std::optional<std::size_t> IniDocument::findSection(std::string_view wantedName) const {
    const std::string_view wanted = trimBlanks(wantedName);
    if (wanted.empty()) return kLeading;
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Section && text::equalsIgnoreCase(name(lines_[i]), wanted)) return i;
    return std::nullopt;
}

std::size_t IniDocument::sectionEnd(std::size_t header) const {
    std::size_t i = bodyBegin(header);
    while (i < lines_.size() && lines_[i].kind != Kind::Section) ++i;
    return i;
}

std::optional<std::size_t> IniDocument::findKey(std::size_t header, std::string_view key) const {
    const std::string_view wanted = trimBlanks(key);
    const std::size_t end = sectionEnd(header);
    for (std::size_t i = bodyBegin(header); i < end; ++i)
        if (lines_[i].kind == Kind::Key && text::equalsIgnoreCase(name(lines_[i]), wanted)) return i;
    return std::nullopt;
}

std::optional<std::string> IniDocument::value(std::string_view section, std::string_view key) const {
    const auto header = findSection(section);
    if (!header) return std::nullopt;
    const auto line = findKey(*header, key);
    if (!line) return std::nullopt;
    return decodeValue(rawValue(lines_[*line]));
}

std::vector<std::string> IniDocument::sectionNames() const {
    std::vector<std::string> names;
    for (const auto& line : lines_)
        if (line.kind == Kind::Section && line.nameLength > 0) names.emplace_back(name(line));
    return names;
}

std::optional<std::vector<std::string>> IniDocument::keyNames(std::string_view section) const {
    const auto header = findSection(section);
    if (!header) return std::nullopt;
    std::vector<std::string> names;
    const std::size_t end = sectionEnd(*header);
    for (std::size_t i = bodyBegin(*header); i < end; ++i)
        if (lines_[i].kind == Kind::Key && lines_[i].nameLength > 0) names.emplace_back(name(lines_[i]));
    return names;
}

void IniDocument::splice(std::size_t from, std::size_t to, std::string_view with) {
    bytes_.replace(from, to - from, with);
    // A first line that now begins with the mark's three bytes (a key of the
    // leading section named "\xEF\xBB\xBF...", or the line after a removed
    // one) would lose them to the next reader: a mark in front keeps them.
    if (bom_ == 0 && bytes_.starts_with(kByteOrderMark)) bytes_.insert(0, kByteOrderMark);
    index();
}

std::size_t IniDocument::endOfLine(std::size_t index) {
    const Line& line = lines_[index];
    const std::size_t end = line.begin + line.length;
    if (line.endingLength == 0) {
        splice(end, end, kLineEnding);
        return end + kLineEnding.size();
    }
    return end + line.endingLength;
}

bool IniDocument::setValue(std::string_view section, std::string_view key, std::string_view value) {
    const std::string encoded = encodeValue(value);
    const std::string_view sectionName = trimBlanks(section);
    const std::string_view keyName = trimBlanks(key);
    const std::string keyLine = std::string(keyName) + "=" + encoded + std::string(kLineEnding);

    const auto header = findSection(sectionName);
    if (!header) {
        const std::size_t at = lines_.empty() ? bom_ : endOfLine(lines_.size() - 1);
        splice(at, at, "[" + std::string(sectionName) + "]" + std::string(kLineEnding) + keyLine);
        return true;
    }

    if (const auto index = findKey(*header, keyName)) {
        const Line& line = lines_[*index];
        if (decodeValue(rawValue(line)) == value) return false;
        // The line keeps everything before its value: indentation, the
        // file's spelling of the key, blanks around "=".
        splice(line.valueBegin, line.begin + line.length + line.endingLength, encoded + std::string(kLineEnding));
        return true;
    }

    // At the end of the section, before the blank lines that close it.
    const std::size_t first = bodyBegin(*header);
    std::size_t after = sectionEnd(*header);
    while (after > first && trimBlanks(text(lines_[after - 1])).empty()) --after;
    const std::size_t at = after > first ? endOfLine(after - 1) : *header != kLeading ? endOfLine(*header) : bom_;
    splice(at, at, keyLine);
    return true;
}

bool IniDocument::removeKey(std::string_view section, std::string_view key) {
    const auto header = findSection(section);
    if (!header) return false;
    const auto index = findKey(*header, key);
    if (!index) return false;
    const Line& line = lines_[*index];
    splice(line.begin, line.begin + line.length + line.endingLength, {});
    return true;
}

bool IniDocument::removeSection(std::string_view section) {
    const auto header = findSection(section);
    if (!header) return false;
    const std::size_t end = sectionEnd(*header);
    const std::size_t from = *header == kLeading ? bom_ : lines_[*header].begin;
    const std::size_t to = end < lines_.size() ? lines_[end].begin : bytes_.size();
    if (from == to) return false;
    splice(from, to, {});
    return true;
}

}  // namespace ecran::win32::ini
