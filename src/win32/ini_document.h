#pragma once
// One INI file as a list of lines, read and edited the way the Windows
// profile functions read and write it, keeping every line that an edit does
// not touch byte for byte (comments, unknown keys, blank lines, line endings).
//
// Observed facts of the Windows reader that this follows:
// - A line whose first non-blank character is "[" and that holds a "]" later
//   opens a section; its name is the text between "[" and the first "]",
//   without blanks and tabs around it. Text after the "]" is ignored.
// - A line whose first non-blank character is ";" is a comment: it is no key
//   and no section, whatever it holds, in reads and in lists.
// - Any other line that holds "=" is a key: the name is the text before the
//   first "=", the value the text after it, both without blanks and tabs
//   around them. Elsewhere ";" and "#" are ordinary characters, in names and
//   values ("#h" is a key, "x=1;2" has the value "1;2").
// - A line without "=" is not a key. Key lines before the first section
//   header belong to a section whose name is empty: section "" reads,
//   lists and writes them (a header "[]" later in the file is never found).
// - Section and key names compare without regard to case (Windows-1252
//   upper-casing). Only the first section of a name is searched, and in it
//   the first key of a name wins.
// - Lists give every line as it stands: every section header (duplicates
//   included, headers with an empty name left out) and every key line of the
//   first section of that name (duplicates included, keys with an empty
//   name left out).
// - A UTF-8 byte-order mark at the start of the file (an editor's) is not
//   part of the first line, and stays in front of the file when it is
//   rewritten.
// - CR LF, LF and lone CR all end a line, mixed in one file; the last line
//   may lack its ending.
//
// Edits follow what Windows writes: a new key goes at the end of its section,
// before the blank lines that close it; a new section is appended at the end
// of the file; every line written ends with CR LF. A replaced value keeps the
// line's own spelling of the key and everything before the value.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ecran::win32::ini {

class IniDocument {
public:
    [[nodiscard]] static IniDocument parse(std::string_view bytes);

    // The file's bytes.
    [[nodiscard]] std::string bytes() const;

    // The decoded value of a key (see ini_value.h), or nothing when the
    // section or the key is missing.
    [[nodiscard]] std::optional<std::string> value(std::string_view section, std::string_view key) const;

    // The name of every section header, in file order.
    [[nodiscard]] std::vector<std::string> sectionNames() const;

    // The name of every key line of the first section of that name, in file
    // order; nothing when the section is missing.
    [[nodiscard]] std::optional<std::vector<std::string>> keyNames(std::string_view section) const;

    // Each edit returns true when it changed the text.
    bool setValue(std::string_view section, std::string_view key, std::string_view value);
    bool removeKey(std::string_view section, std::string_view key);
    bool removeSection(std::string_view section);

private:
    enum class Kind { Other, Section, Key };

    // One line as offsets into bytes_: reading allocates nothing per line.
    struct Line {
        std::size_t begin = 0;
        std::size_t length = 0;  // without the line ending
        std::size_t endingLength = 0;  // 2 for CR LF, 1 for LF or CR, 0 for a last line without ending
        Kind kind = Kind::Other;
        std::size_t nameBegin = 0;  // section or key name, trimmed
        std::size_t nameLength = 0;
        std::size_t valueBegin = 0;  // Key: where the value begins
    };

    // The section "" of the key lines before the first header: it has no
    // header line, and always exists.
    static constexpr std::size_t kLeading = static_cast<std::size_t>(-1);

    void index();
    [[nodiscard]] std::string_view text(const Line& line) const;
    [[nodiscard]] std::string_view name(const Line& line) const;
    [[nodiscard]] std::string_view rawValue(const Line& line) const;
    [[nodiscard]] std::optional<std::size_t> findSection(std::string_view name) const;
    [[nodiscard]] static std::size_t bodyBegin(std::size_t header) { return header == kLeading ? 0 : header + 1; }
    [[nodiscard]] std::size_t sectionEnd(std::size_t header) const;
    [[nodiscard]] std::optional<std::size_t> findKey(std::size_t header, std::string_view key) const;
    // Replaces bytes [from, to) with `with` and indexes the lines again.
    void splice(std::size_t from, std::size_t to, std::string_view with);
    // Where text can be inserted after line `index`: past its ending, which
    // is added first when the line lacks one.
    [[nodiscard]] std::size_t endOfLine(std::size_t index);

    std::string bytes_;
    std::size_t bom_ = 0;  // length of the byte-order mark that opens bytes_
    std::vector<Line> lines_;
};

}  // namespace ecran::win32::ini
