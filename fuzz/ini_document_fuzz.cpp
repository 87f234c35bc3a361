// One INI file of any bytes, one write of a value, as the profile functions
// apply it. Invariants: the file reads back byte for byte; after the write
// the value reads back (also from the written bytes); every other key keeps
// its value and every other line its bytes; a second identical write
// changes nothing.
//
// Input: section (1-byte length), key (1-byte length), value (2-byte
// length), then the file's bytes.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "text/cp1252.h"
#include "win32/ini_document.h"
#include "win32/ini_value.h"

namespace {

using ecran::win32::ini::IniDocument;
using ecran::win32::ini::trimBlanks;

std::string without(std::string s, std::string_view refused) {
    std::string out;
    for (const char c : s)
        if (refused.find(c) == std::string_view::npos) out += c;
    return out;
}

// Names the profile functions accept: they refuse a section name with "]"
// or a line break, and a key name with "=" or a line break or that begins
// with "[" or ";" (a comment); NUL ends any name they are given.
std::string sectionName(std::string s) { return without(std::move(s), std::string_view("\r\n]\0", 4)); }

std::string keyName(std::string s) {
    s = without(std::move(s), std::string_view("\r\n=\0", 4));
    while (!trimBlanks(s).empty() && (trimBlanks(s).front() == '[' || trimBlanks(s).front() == ';'))
        s.erase(s.find(trimBlanks(s).front()), 1);
    return s;
}

// Every line with its ending, as the reader splits the file (CR LF, LF or
// a lone CR end a line).
std::vector<std::pair<std::string, std::string>> lines(std::string_view bytes) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t end = pos;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
        std::size_t endingLength = 0;
        if (end < bytes.size())
            endingLength = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
        out.emplace_back(std::string(bytes.substr(pos, end - pos)), std::string(bytes.substr(end, endingLength)));
        pos = end + endingLength;
    }
    return out;
}

using Values = std::map<std::pair<std::string, std::string>, std::string>;

// Every readable key of the file with its value, by the names as listed.
Values allValues(const IniDocument& doc) {
    Values values;
    for (const auto& section : doc.sectionNames()) {
        const auto keys = doc.keyNames(section);
        FUZZ_CHECK(keys.has_value());
        for (const auto& key : *keys) {
            const auto value = doc.value(section, key);
            FUZZ_CHECK(value.has_value());
            values[{section, key}] = *value;
        }
    }
    return values;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ecran::fuzz::InputReader in(data, size);
    const std::string section = sectionName(in.shortText());
    const std::string key = keyName(in.shortText());
    std::string value = in.longText();
    value = value.substr(0, value.find('\0'));
    const std::string file = in.rest();

    IniDocument doc = IniDocument::parse(file);
    FUZZ_CHECK(doc.bytes() == file);
    const Values before = allValues(doc);
    const std::optional<std::string> old = doc.value(section, key);

    const bool changed = doc.setValue(section, key, value);
    FUZZ_CHECK(changed == (old != value));
    const std::string written = doc.bytes();
    FUZZ_CHECK(changed || written == file);
    FUZZ_CHECK(doc.value(section, key) == value);
    const IniDocument reread = IniDocument::parse(written);
    FUZZ_CHECK(reread.value(section, key) == value);

    // Every other key reads as before, and no key disappears.
    const Values after = allValues(reread);
    const auto isWritten = [&](const std::pair<std::string, std::string>& k) {
        return ecran::text::equalsIgnoreCase(trimBlanks(k.first), trimBlanks(section)) &&
               ecran::text::equalsIgnoreCase(trimBlanks(k.second), trimBlanks(key));
    };
    for (const auto& [k, v] : before) {
        if (isWritten(k)) continue;
        const auto found = after.find(k);
        FUZZ_CHECK(found != after.end());
        FUZZ_CHECK(found->second == v);
    }
    for (const auto& [k, v] : after) FUZZ_CHECK(isWritten(k) || before.count(k) == 1);

    // Line by line: the lines before and after the edit keep their bytes (the
    // last line may gain the CR LF it lacked); in between, at most the key's
    // old line went, and its new line (with its section's header when the
    // section is new) came.
    // A byte-order mark in front is not part of the first line: it stays in
    // front, and one is added only where the first line itself now opens
    // with the mark's bytes (which the next reader would otherwise drop).
    constexpr std::string_view kMark = "\xEF\xBB\xBF";
    const auto afterMark = [&](std::string_view bytes) {
        return bytes.starts_with(kMark) ? bytes.substr(kMark.size()) : bytes;
    };
    const std::string_view oldBody = afterMark(file), newBody = afterMark(written);
    FUZZ_CHECK(!std::string_view(file).starts_with(kMark) || std::string_view(written).starts_with(kMark));
    FUZZ_CHECK(std::string_view(file).starts_with(kMark) || !std::string_view(written).starts_with(kMark) ||
               newBody.starts_with(kMark));
    const auto oldLines = lines(oldBody);
    const auto newLines = lines(newBody);
    std::size_t head = 0;
    while (head < oldLines.size() && head < newLines.size() && oldLines[head].first == newLines[head].first &&
           (oldLines[head].second == newLines[head].second ||
            (oldLines[head].second.empty() && newLines[head].second == "\r\n")))
        ++head;
    std::size_t tail = 0;
    while (tail < oldLines.size() - head && tail < newLines.size() - head &&
           oldLines[oldLines.size() - 1 - tail] == newLines[newLines.size() - 1 - tail])
        ++tail;
    const std::size_t removed = oldLines.size() - head - tail;
    const std::size_t added = newLines.size() - head - tail;
    if (!changed) {
        FUZZ_CHECK(removed == 0 && added == 0);
    } else {
        FUZZ_CHECK(removed <= 1);
        FUZZ_CHECK(added >= 1 && added <= 2);
        const std::string encoded = ecran::win32::ini::encodeValue(value);
        const std::string header = "[" + std::string(trimBlanks(section)) + "]";
        for (std::size_t i = head; i < head + added; ++i) {
            const auto& [text, ending] = newLines[i];
            FUZZ_CHECK(ending == "\r\n");
            FUZZ_CHECK(text == header || (endsWith(text, encoded) &&
                                          endsWith(trimBlanks(std::string_view(text).substr(
                                                       0, text.size() - encoded.size())),
                                                   "=")));
        }
    }

    // The same write again changes nothing.
    FUZZ_CHECK(!doc.setValue(section, key, value));
    FUZZ_CHECK(doc.bytes() == written);
    return 0;
}
