#include "win32/ini_document.h"

#include <utility>

#include "text/cp1252.h"
#include "win32/ini_value.h"

namespace ecran::win32::ini {

namespace {

constexpr std::string_view kLineEnding = "\r\n";

bool containsIgnoreCase(const std::vector<std::string>& names, std::string_view name) {
    for (const auto& n : names)
        if (text::equalsIgnoreCase(n, name)) return true;
    return false;
}

bool isBlankLine(std::string_view text) { return trimBlanks(text).empty(); }

}  // namespace

IniDocument::Line IniDocument::classify(std::string text, std::string ending) {
    Line line;
    line.text = std::move(text);
    line.ending = std::move(ending);
    const std::string_view t = line.text;
    const std::size_t first = t.find_first_not_of(" \t");
    if (first == std::string_view::npos) return line;
    if (t[first] == '[') {
        const std::size_t close = t.find(']', first + 1);
        if (close != std::string_view::npos) {
            line.kind = Kind::Section;
            line.name = std::string(trimBlanks(t.substr(first + 1, close - first - 1)));
        }
        return line;
    }
    const std::size_t equals = t.find('=');
    if (equals == std::string_view::npos) return line;
    line.kind = Kind::Key;
    line.name = std::string(trimBlanks(t.substr(0, equals)));
    std::size_t start = equals + 1;
    while (start < t.size() && isBlank(t[start])) ++start;
    line.valueStart = start;
    return line;
}

IniDocument IniDocument::parse(std::string_view bytes) {
    IniDocument doc;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            doc.lines_.push_back(classify(std::string(bytes.substr(pos)), {}));
            break;
        }
        const std::size_t endingSize = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
        doc.lines_.push_back(
            classify(std::string(bytes.substr(pos, end - pos)), std::string(bytes.substr(end, endingSize))));
        pos = end + endingSize;
    }
    return doc;
}

std::string IniDocument::bytes() const {
    std::size_t size = 0;
    for (const auto& line : lines_) size += line.text.size() + line.ending.size();
    std::string out;
    out.reserve(size);
    for (const auto& line : lines_) {
        out += line.text;
        out += line.ending;
    }
    return out;
}

std::optional<std::size_t> IniDocument::findSection(std::string_view name) const {
    const std::string_view wanted = trimBlanks(name);
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Section && text::equalsIgnoreCase(lines_[i].name, wanted)) return i;
    return std::nullopt;
}

std::size_t IniDocument::sectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != Kind::Section) ++i;
    return i;
}

std::optional<std::size_t> IniDocument::findKey(std::size_t header, std::string_view key) const {
    const std::string_view wanted = trimBlanks(key);
    const std::size_t end = sectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i)
        if (lines_[i].kind == Kind::Key && text::equalsIgnoreCase(lines_[i].name, wanted)) return i;
    return std::nullopt;
}

std::optional<std::string> IniDocument::value(std::string_view section, std::string_view key) const {
    const auto header = findSection(section);
    if (!header) return std::nullopt;
    const auto line = findKey(*header, key);
    if (!line) return std::nullopt;
    const Line& l = lines_[*line];
    return decodeValue(std::string_view(l.text).substr(l.valueStart));
}

std::vector<std::string> IniDocument::sectionNames() const {
    std::vector<std::string> names;
    for (const auto& line : lines_)
        if (line.kind == Kind::Section && !line.name.empty() && !containsIgnoreCase(names, line.name))
            names.push_back(line.name);
    return names;
}

std::optional<std::vector<std::string>> IniDocument::keyNames(std::string_view section) const {
    const auto header = findSection(section);
    if (!header) return std::nullopt;
    std::vector<std::string> names;
    const std::size_t end = sectionEnd(*header);
    for (std::size_t i = *header + 1; i < end; ++i)
        if (lines_[i].kind == Kind::Key && !lines_[i].name.empty() && !containsIgnoreCase(names, lines_[i].name))
            names.push_back(lines_[i].name);
    return names;
}

void IniDocument::endLastLine(std::size_t index) {
    if (lines_[index].ending.empty()) lines_[index].ending = std::string(kLineEnding);
}

bool IniDocument::setValue(std::string_view section, std::string_view key, std::string_view value) {
    const std::string encoded = encodeValue(value);
    const std::string sectionName(trimBlanks(section));
    const std::string keyName(trimBlanks(key));

    const auto header = findSection(sectionName);
    if (!header) {
        if (!lines_.empty()) endLastLine(lines_.size() - 1);
        lines_.push_back(classify("[" + sectionName + "]", std::string(kLineEnding)));
        lines_.push_back(classify(keyName + "=" + encoded, std::string(kLineEnding)));
        return true;
    }

    if (const auto index = findKey(*header, keyName)) {
        Line& line = lines_[*index];
        if (decodeValue(std::string_view(line.text).substr(line.valueStart)) == value) return false;
        std::string text = line.text.substr(0, line.valueStart) + encoded;
        lines_[*index] = classify(std::move(text), std::string(kLineEnding));
        return true;
    }

    // At the end of the section, before the blank lines that close it.
    std::size_t last = sectionEnd(*header) - 1;
    while (last > *header && isBlankLine(lines_[last].text)) --last;
    endLastLine(last);
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1),
                  classify(keyName + "=" + encoded, std::string(kLineEnding)));
    return true;
}

bool IniDocument::removeKey(std::string_view section, std::string_view key) {
    const auto header = findSection(section);
    if (!header) return false;
    const auto index = findKey(*header, key);
    if (!index) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*index));
    return true;
}

bool IniDocument::removeSection(std::string_view section) {
    const auto header = findSection(section);
    if (!header) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*header),
                 lines_.begin() + static_cast<std::ptrdiff_t>(sectionEnd(*header)));
    return true;
}

}  // namespace ecran::win32::ini
