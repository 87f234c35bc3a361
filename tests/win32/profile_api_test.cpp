#include "win32/profile_api.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>


namespace {

namespace fs = std::filesystem;

// A throw-away XDG_CONFIG_HOME: bare profile names land in <it>/ecran/.
class ProfileFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ecran-ini-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldHome_ = old;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    void TearDown() override {
        if (oldHome_) {
            setenv("XDG_CONFIG_HOME", oldHome_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        fs::remove_all(root_);
    }

    fs::path configDir() const { return root_ / "ecran"; }
    fs::path path(const char* name = "t.ini") const { return configDir() / name; }

    void put(const std::string& bytes, const char* name = "t.ini") const {
        fs::create_directories(configDir());
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    std::string bytes(const char* name = "t.ini") const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // GetPrivateProfileStringA into a buffer of nSize characters followed by
    // sentinel bytes; checks that nothing is written past nSize and returns
    // the first count + 1 bytes (the last one the terminating NUL).
    std::string read(const char* section, const char* key, const char* def, DWORD nSize, DWORD* count,
                     const char* name = "t.ini") const {
        std::vector<char> buffer(nSize + 8, '\x7E');
        *count = GetPrivateProfileStringA(section, key, def, buffer.data(), nSize, name);
        for (std::size_t i = nSize; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '\x7E') << "written past nSize at " << i;
        if (*count >= nSize) return std::string(buffer.data(), nSize);
        return std::string(buffer.data(), *count + 1);
    }
    std::string value(const char* section, const char* key, const char* def = "<none>",
                      const char* name = "t.ini") const {
        std::vector<char> buffer(4096);
        const DWORD n = GetPrivateProfileStringA(section, key, def, buffer.data(), 4096, name);
        return std::string(buffer.data(), n);
    }

    fs::path root_;
    std::optional<std::string> oldHome_;
};

using namespace std::string_literals;

// A test name from the row's description.
template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row>& param) {
    std::string name;
    for (const char* p = param.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

// ---------------------------------------------------------------- reading

struct ReadRow {
    const char* what;
    std::optional<std::string> file;  // nothing: no file at all
    const char* section;
    const char* key;
    const char* def;
    DWORD size;
    std::string expected;  // the bytes returned, without the terminating NUL
};

class ProfileRead : public ProfileFile, public ::testing::WithParamInterface<ReadRow> {};

TEST_P(ProfileRead, ReturnsValueOrDefaultCutToBufferWithCount) {
    const ReadRow& row = GetParam();
    if (row.file) put(*row.file);
    DWORD count = 0;
    const std::string got = read(row.section, row.key, row.def, row.size, &count);
    EXPECT_EQ(count, row.expected.size());
    EXPECT_EQ(got, row.expected + '\0');
}

const std::string kPlain = "[ecran]\r\nport=4000\r\n[historique]\r\ninfos=Bonjour\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileRead,
    ::testing::Values(
        ReadRow{"missing file", std::nullopt, "ecran", "port", "0", 64, "0"},
        ReadRow{"missing section", kPlain, "nope", "port", "def", 64, "def"},
        ReadRow{"missing key", kPlain, "ecran", "nope", "def", 64, "def"},
        ReadRow{"present key", kPlain, "historique", "infos", "def", 64, "Bonjour"},
        ReadRow{"names ignore case", "[EcRaN]\r\nPORT=5\r\n", "ecran", "Port", "0", 64, "5"},
        ReadRow{"Windows-1252 case", "[\xC9" "CRAN]\r\n\xC0=1\r\n", "\xE9" "cran", "\xE0", "0", 64, "1"},
        ReadRow{"blanks around names and values", "  [ ecran ]  \r\n\t port \t=\t  12 34 \t\r\n", "ecran",
                "port", "0", 64, "12 34"},
        ReadRow{"text after the bracket", "[ecran] ; the display\r\nport=7\r\n", "ecran", "port", "0", 64, "7"},
        ReadRow{"double quotes removed", "[s]\r\nk=\"quoted\"\r\n", "s", "k", "d", 64, "quoted"},
        ReadRow{"single quotes removed", "[s]\r\nk='quoted'\r\n", "s", "k", "d", 64, "quoted"},
        ReadRow{"quotes keep inner blanks", "[s]\r\nk=  \" a b \"  \r\n", "s", "k", "d", 64, " a b "},
        ReadRow{"unmatched quote stays", "[s]\r\nk=\"open\r\n", "s", "k", "d", 64, "\"open"},
        ReadRow{"empty value", "[s]\r\nk=\r\n", "s", "k", "d", 64, ""},
        ReadRow{"blank value", "[s]\r\nk=   \t\r\n", "s", "k", "d", 64, ""},
        ReadRow{"line without = is not a key", "[s]\r\nk\r\n", "s", "k", "d", 64, "d"},
        ReadRow{"key after a line without =", "[s]\r\nk\r\nk=2\r\n", "s", "k", "d", 64, "2"},
        ReadRow{"semicolon in value", "[s]\r\nx=1;2\r\n", "s", "x", "d", 64, "1;2"},
        ReadRow{"only the first section is searched", "[s]\r\na=1\r\n[S]\r\nb=2\r\n", "s", "b", "d", 64, "d"},
        ReadRow{"first key wins", "[s]\r\nx=1\r\nX=2\r\n", "s", "x", "d", 64, "1"},
        ReadRow{"keys before any section are not found", "x=1\r\n[s]\r\n", "s", "x", "d", 64, "d"},
        ReadRow{"a key of the next section is not found", "[a]\r\n[s]\r\nx=1\r\n", "a", "x", "d", 64, "d"},
        ReadRow{"default loses trailing blanks", kPlain, "s", "x", "abc   ", 64, "abc"},
        ReadRow{"default keeps leading and inner blanks", kPlain, "s", "x", "  a b  ", 64, "  a b"},
        ReadRow{"default keeps its quotes", kPlain, "s", "x", "\"q\"", 64, "\"q\""},
        ReadRow{"value cut to size - 1", "[s]\r\nk=abcdef\r\n", "s", "k", "d", 4, "abc"},
        ReadRow{"default cut to size - 1", kPlain, "s", "k", "abcdef", 3, "ab"},
        ReadRow{"buffer of one", kPlain, "ecran", "port", "d", 1, ""},
        ReadRow{"LF endings", "[s]\nx=1\ny=2\n", "s", "y", "d", 64, "2"},
        ReadRow{"CR endings", "[s]\rx=1\ry=2\r", "s", "y", "d", 64, "2"},
        ReadRow{"mixed endings", "[a]\r\nx=1\n[s]\ry=2\r\nz=3", "s", "z", "d", 64, "3"},
        ReadRow{"no last newline", "[s]\r\nx=last", "s", "x", "d", 64, "last"},
        ReadRow{"CR CR LF holds an empty line", "[s]\r\r\nx=1\r\n", "s", "x", "d", 64, "1"},
        ReadRow{"bytes 0x80-0xFF are ordinary", "[s]\r\nx=\xFF\x80\xE9\r\n", "s", "x", "d", 64, "\xFF\x80\xE9"},
        ReadRow{"quoted form decoded", "[s]\r\nx=\"a\\r\\nb\\\\c\"\r\n", "s", "x", "d", 64, "a\r\nb\\c"},
        ReadRow{"unknown escape kept", "[s]\r\nx=\"C:\\temp\\\"\r\n", "s", "x", "d", 64, "C:\\temp\\"},
        ReadRow{"backslashes of a plain value kept", "[s]\r\nx=C:\\new\\r\r\n", "s", "x", "d", 64, "C:\\new\\r"},
        ReadRow{"decoded value then cut", "[s]\r\nx=\"\\r\\n\\r\\n\"\r\n", "s", "x", "d", 4, "\r\n\r"}),
    rowName<ReadRow>);

TEST_F(ProfileFile, ReadingCreatesNothing) {
    DWORD count = 0;
    (void)read("ecran", "port", "0", 16, &count);
    (void)read(nullptr, nullptr, "0", 16, &count);
    EXPECT_FALSE(fs::exists(configDir()));
}

TEST_F(ProfileFile, FileNamesWithADirectoryAreUsedAsGiven) {
    const fs::path elsewhere = root_ / "elsewhere" / "x.ini";
    fs::create_directories(elsewhere.parent_path());
    ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "v", elsewhere.c_str()));
    EXPECT_EQ(value("s", "k", "d", elsewhere.c_str()), "v");
    EXPECT_FALSE(fs::exists(path("x.ini")));
    EXPECT_EQ(value("s", "k", "d", "x.ini"), "d");
}

// ---------------------------------------------------------------- lists

struct ListRow {
    const char* what;
    std::string file;
    const char* section;  // NULL: list the sections
    DWORD size;
    std::string expected;  // the buffer's bytes up to and including the last NUL written
    DWORD count;
};

class ProfileList : public ProfileFile, public ::testing::WithParamInterface<ListRow> {};

TEST_P(ProfileList, ListsNamesEachEndedByNulWithASecondNulAtTheEnd) {
    const ListRow& row = GetParam();
    put(row.file);
    DWORD count = 0;
    std::vector<char> buffer(row.size + 8, '\x7E');
    count = GetPrivateProfileStringA(row.section, nullptr, "dflt", buffer.data(), row.size, "t.ini");
    EXPECT_EQ(count, row.count);
    EXPECT_EQ(std::string(buffer.data(), row.expected.size()), row.expected);
    for (std::size_t i = row.expected.size(); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '\x7E') << i;
}

const std::string kTwoSections = "[alpha]\r\nx=1\r\ny=2\r\n\r\n[beta]\r\n[ALPHA]\r\nz=3\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileList,
    ::testing::Values(
        ListRow{"sections, each name once", kTwoSections, nullptr, 64, "alpha\0beta\0\0"s, 11},
        ListRow{"sections one short", kTwoSections, nullptr, 11, "alpha\0bet\0\0"s, 9},
        ListRow{"sections cut inside a name", kTwoSections, nullptr, 9, "alpha\0b\0\0"s, 7},
        ListRow{"sections cut after a name", kTwoSections, nullptr, 8, "alpha\0\0\0"s, 6},
        ListRow{"sections into two", kTwoSections, nullptr, 2, "\0\0"s, 0},
        ListRow{"no sections", "x=1\r\n", nullptr, 16, "\0"s, 0},
        ListRow{"keys of the first section", kTwoSections, "ALPHA", 64, "x\0y\0\0"s, 4},
        ListRow{"keys cut", "[s]\r\nfirst=1\r\nsecond=2\r\n", "s", 10, "first\0se\0\0"s, 8},
        ListRow{"keys skip lines without =", "[s]\r\nnote\r\nk=1\r\n", "s", 64, "k\0\0"s, 2},
        ListRow{"keys of a missing section give the default", kTwoSections, "gamma", 64, "dflt\0"s, 4},
        ListRow{"keys of an empty section give the default", kTwoSections, "beta", 64, "dflt\0"s, 4}),
    rowName<ListRow>);

// ---------------------------------------------------------------- writing

struct WriteRow {
    const char* what;
    std::optional<std::string> before;  // nothing: no file
    const char* section;
    const char* key;
    const char* value;
    std::optional<std::string> after;  // nothing: still no file
};

class ProfileWrite : public ProfileFile, public ::testing::WithParamInterface<WriteRow> {};

TEST_P(ProfileWrite, LeavesTheseExactBytes) {
    const WriteRow& row = GetParam();
    if (row.before) put(*row.before);
    EXPECT_TRUE(WritePrivateProfileStringA(row.section, row.key, row.value, "t.ini"));
    if (row.after) {
        EXPECT_EQ(bytes(), *row.after);
    } else {
        EXPECT_FALSE(fs::exists(path()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileWrite,
    ::testing::Values(
        WriteRow{"new file", std::nullopt, "Sec", "Key", "Value", "[Sec]\r\nKey=Value\r\n"},
        WriteRow{"names are written trimmed", std::nullopt, " s\t", "\tk ", "v", "[s]\r\nk=v\r\n"},
        WriteRow{"new section at the end", "[a]\r\nx=1\r\n", "b", "y", "2", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
        WriteRow{"new section after a last line without newline", "[a]\r\nx=1", "b", "y", "2",
                 "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
        WriteRow{"new key before the blank lines closing its section", "[a]\r\nx=1\r\n\r\n \r\n[b]\r\ny=2\r\n",
                 "A", "z", "3", "[a]\r\nx=1\r\nz=3\r\n\r\n \r\n[b]\r\ny=2\r\n"},
        WriteRow{"new key in the last section without newline", "[a]\nx=1", "a", "z", "3", "[a]\nx=1\r\nz=3\r\n"},
        WriteRow{"new key in an empty section", "[a]\n\n[b]\n", "a", "z", "3", "[a]\nz=3\r\n\n[b]\n"},
        WriteRow{"replaced value keeps the file's spelling and every other line",
                 "; settings\n[Ecran]\n  Port = 1\t\nother line\n[x]\nport=9\n", "ecran", "PORT", "2",
                 "; settings\n[Ecran]\n  Port = 2\r\nother line\n[x]\nport=9\n"},
        WriteRow{"only the first of two keys is replaced", "[s]\r\nk=1\r\nk=2\r\n", "s", "k", "3",
                 "[s]\r\nk=3\r\nk=2\r\n"},
        WriteRow{"only the first of two sections is written", "[s]\r\n[t]\r\n[s]\r\nk=1\r\n", "s", "k", "2",
                 "[s]\r\nk=2\r\n[t]\r\n[s]\r\nk=1\r\n"},
        WriteRow{"same value leaves the file as it is", "[s]\nk = v \n", "s", "K", "v", "[s]\nk = v \n"},
        WriteRow{"same value in another spelling leaves the file", "[s]\nk='v'\n", "s", "k", "v", "[s]\nk='v'\n"},
        WriteRow{"NULL value deletes the key", "[s]\r\na=1\r\nk=2\r\nb=3\r\n", "s", "K", nullptr,
                 "[s]\r\na=1\r\nb=3\r\n"},
        WriteRow{"deleting a missing key changes nothing", "[s]\nk=2", "s", "x", nullptr, "[s]\nk=2"},
        WriteRow{"deleting from a missing file creates nothing", std::nullopt, "s", "k", nullptr, std::nullopt},
        WriteRow{"NULL key deletes the section", "[a]\r\nx=1\r\n; note\r\n\r\n[S]\r\ny=2\r\n\r\n[c]\r\nz=3\r\n",
                 "s", nullptr, nullptr, "[a]\r\nx=1\r\n; note\r\n\r\n[c]\r\nz=3\r\n"},
        WriteRow{"NULL key deletes only the first section", "[s]\r\nx=1\r\n[s]\r\ny=2\r\n", "s", nullptr, "ignored",
                 "[s]\r\ny=2\r\n"},
        WriteRow{"plain value with the command marker", std::nullopt, "historique", "infos", "\xFF" "C255",
                 "[historique]\r\ninfos=\xFF" "C255\r\n"}),
    rowName<WriteRow>);

TEST_F(ProfileFile, BareNamesAreCreatedInTheConfigDirectoryOnTheFirstWrite) {
    ASSERT_FALSE(fs::exists(configDir()));
    EXPECT_TRUE(WritePrivateProfileStringA("ecran", "port", "0", "QUOLVEtavrin.ini"));
    EXPECT_EQ(bytes("QUOLVEtavrin.ini"), "[ecran]\r\nport=0\r\n");
}

TEST_F(ProfileFile, NamesTheFileCannotHoldAreRefusedAndChangeNothing) {
    put(kPlain);
    struct Row {
        const char* section;
        const char* key;
    };
    for (const Row& row : {Row{"a]b", "k"}, Row{"a\r\nb", "k"}, Row{"a\nb", nullptr}, Row{"s", "a=b"},
                           Row{"s", "k\rx"}, Row{"s", "k\ny"}, Row{"s", "[k]"}, Row{"s", " [k"}}) {
        SCOPED_TRACE(std::string(row.section) + " / " + (row.key ? row.key : "NULL"));
        EXPECT_FALSE(WritePrivateProfileStringA(row.section, row.key, "v", "t.ini"));
    }
    EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "k", "v", "t.ini"));
    EXPECT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, "t.ini"));
    EXPECT_EQ(bytes(), kPlain);
}

// ---------------------------------------------------------- stored values

// Values that Windows stores unchanged are written as Windows writes them;
// values that raw bytes would corrupt take the quoted form.
TEST_F(ProfileFile, ValuesAreWrittenPlainOrQuoted) {
    struct Row {
        std::string value;
        std::string written;
    };
    for (const Row& row : {Row{"0", "0"}, Row{"Bonjour tout le monde", "Bonjour tout le monde"}, Row{"\"open", "\"open"},
                           Row{"'", "'"}, Row{"a\"b'c\"", "a\"b'c\""}, Row{"C:\\new\\t", "C:\\new\\t"},
                           Row{"x=1;2 # no comment", "x=1;2 # no comment"}, Row{"\xFF" "T\xE9l\xE9", "\xFF" "T\xE9l\xE9"},
                           Row{"\x01\x7F\x1A", "\x01\x7F\x1A"}, Row{" lead", "\" lead\""}, Row{"trail\t", "\"trail\t\""},
                           Row{"   ", "\"   \""}, Row{"\"q\"", "\"\"q\"\""}, Row{"'q'", "\"'q'\""},
                           Row{"a\r\nb", "\"a\\r\\nb\""}, Row{"a\\b\n", "\"a\\\\b\\n\""}}) {
        SCOPED_TRACE(row.value);
        fs::remove(path());
        ASSERT_TRUE(WritePrivateProfileStringA("s", "k", row.value.c_str(), "t.ini"));
        EXPECT_EQ(bytes(), "[s]\r\nk=" + row.written + "\r\n");
        EXPECT_EQ(value("s", "k"), row.value);
    }
}

// Every value survives a write and a read, whatever its bytes, and stays on
// one line.
TEST_F(ProfileFile, EveryValueReadsBackExactlyAsWritten) {
    std::vector<std::string> values;
    std::string all;
    for (int b = 1; b < 256; ++b) {
        values.emplace_back(1, static_cast<char>(b));
        all += static_cast<char>(b);
    }
    values.push_back(all);
    values.emplace_back(all.rbegin(), all.rend());
    // Random strings over the bytes that matter to the file's syntax.
    const std::string alphabet = "\r\n\\\"' \t=[];#rnx\xFF";
    std::mt19937 random(1234);
    for (int i = 0; i < 500; ++i) {
        std::string v(random() % 12, ' ');
        for (char& c : v) c = alphabet[random() % alphabet.size()];
        values.push_back(v);
    }
    put("[s]\r\nbefore=1\r\nk=old\r\nafter=2\r\n");
    for (const std::string& v : values) {
        SCOPED_TRACE(::testing::PrintToString(v));
        ASSERT_TRUE(WritePrivateProfileStringA("s", "k", v.c_str(), "t.ini"));
        ASSERT_EQ(value("s", "k"), v);
        EXPECT_EQ(bytes().find("\r\nafter=2\r\n"), bytes().size() - 11);
        std::istringstream lines(bytes());
        int count = 0;
        for (std::string line; std::getline(lines, line);) ++count;
        EXPECT_EQ(count, 4);
    }
    EXPECT_EQ(value("s", "before"), "1");
    EXPECT_EQ(value("s", "after"), "2");
}

TEST_F(ProfileFile, AMessageCannotAddOrChangeAnotherKeyOrSection) {
    put("[ecran]\r\nport=4000\r\n");
    const std::string attack = "x\r\n[ecran]\r\nport=1";
    ASSERT_TRUE(WritePrivateProfileStringA("historique", "infos", attack.c_str(), "t.ini"));
    EXPECT_EQ(value("ecran", "port"), "4000");
    EXPECT_EQ(value("historique", "infos"), attack);
    EXPECT_EQ(bytes(), "[ecran]\r\nport=4000\r\n[historique]\r\ninfos=\"x\\r\\n[ecran]\\r\\nport=1\"\r\n");

    // Written again over the stored message, and with an LF-only attack.
    const std::string second = "\n[ecran]\nport=2\n";
    ASSERT_TRUE(WritePrivateProfileStringA("historique", "infos", second.c_str(), "t.ini"));
    EXPECT_EQ(value("ecran", "port"), "4000");
    EXPECT_EQ(value("historique", "infos"), second);
    DWORD count = 0;
    EXPECT_EQ(read(nullptr, nullptr, "", 64, &count), "ecran\0historique\0\0"s);
}

}  // namespace
