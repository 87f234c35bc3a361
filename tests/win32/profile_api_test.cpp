#include "win32/profile_api.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/registry_sandbox.h"
#include "support/child_process.h"
#include "win32/error_api.h"
#include "win32/file_ops.h"
#include "win32/ini_file.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using ecran::test_support::ChildProcess;
using ecran::test_support::othersCanEnter;
constexpr const char* kPrivateTemp = "the temporary directory is private: the user 'nobody' cannot reach its files";
using ecran::win32::lastProfileFailure;

// A throw-away XDG_CONFIG_HOME: bare profile names land in <it>/ecran/.
class ProfileFile : public ecran::test_support::RegistrySandbox {
protected:
    fs::path configDir() const { return dir_ / "ecran"; }
    fs::path path() const { return configFile("t.ini"); }
    void put(const std::string& bytes) const { putConfigFile("t.ini", bytes); }
    std::optional<std::string> bytes() const { return ecran::test_support::readFile(path()); }
    static std::string value(const char* section, const char* key, const char* name = "t.ini") {
        std::vector<char> buffer(4096);
        return {buffer.data(), GetPrivateProfileStringA(section, key, "<none>", buffer.data(), 4096, name)};
    }
    // Inode and modification time: both stay when the file is not rewritten.
    std::pair<ino_t, long long> stamp() const {
        struct stat st {};
        ::stat(path().c_str(), &st);
        return {st.st_ino, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec};
    }
};

template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {  // the row's description as a test name
    std::string name = info.param.what;
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

// ---------------------------------------------------------------- reading

struct ReadRow {
    const char* what;
    std::optional<std::string> file;  // nothing: no file at all
    const char* section;              // NULL: list the sections
    const char* key;                  // NULL: list the keys
    const char* def;
    DWORD size;
    std::string expected;              // the bytes written, without the last NUL
    std::optional<DWORD> count = {};  // nothing: expected.size()
};

class ProfileRead : public ProfileFile, public ::testing::WithParamInterface<ReadRow> {};

TEST_P(ProfileRead, FillsTheBufferAndReturnsTheCount) {
    const ReadRow& row = GetParam();
    if (row.file) put(*row.file);
    const std::string want = row.expected + '\0';
    std::vector<char> buffer(row.size + 8, '~');
    EXPECT_EQ(GetPrivateProfileStringA(row.section, row.key, row.def, buffer.data(), row.size, "t.ini"),
              row.count.value_or(static_cast<DWORD>(row.expected.size())));
    EXPECT_EQ(std::string(buffer.data(), want.size()), want);
    EXPECT_EQ(std::string(buffer.begin() + static_cast<long>(want.size()), buffer.end()),
              std::string(buffer.size() - want.size(), '~'));  // nothing written past it
    if (!row.file) {
        EXPECT_FALSE(fs::exists(configDir()));  // reading creates nothing
    }
}

const std::string kPlain = "[ecran]\r\nport=4000\r\n[historique]\r\ninfos=Bonjour\r\n";
const std::string kCommented =
    "[s]\r\n;k=commented\r\nk=real\r\n#h=hash\r\nx=1;2\r\n  ;indented=comment\r\n[t]\r\n;[hidden]\r\ny=1\r\n";
const std::string kTwo = "[alpha]\r\nx=1\r\nnote\r\ny=2\r\n\r\n[beta]\r\n[ALPHA]\r\nz=3\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileRead,
    ::testing::Values(
        ReadRow{"missing file", std::nullopt, "ecran", "port", "0", 64, "0"},
        ReadRow{"missing section", kPlain, "nope", "port", "def", 64, "def"},
        ReadRow{"missing key", kPlain, "ecran", "nope", "def", 64, "def"},
        ReadRow{"Windows-1252 names ignore case", "[\xC9" "cRaN]\r\n\xC0=1\r\n", "\xE9" "CrAn", "\xE0", "0", 64, "1"},
        ReadRow{"blanks and text after the bracket", "  [ s ] ; x\r\n\t k \t=\t  1 2 \t\r\n", "s", "k", "0", 64, "1 2"},
        ReadRow{"double quotes removed after trimming", "[s]\r\nk=  \" a b \"  \r\n", "s", "k", "d", 64, " a b "},
        ReadRow{"single quotes removed, no escapes", "[s]\r\nk='C:\\new'\r\n", "s", "k", "d", 64, "C:\\new"},
        ReadRow{"unmatched quote stays", "[s]\r\nk=\"open\r\n", "s", "k", "d", 64, "\"open"},
        ReadRow{"empty value", "[s]\r\nk=\r\n", "s", "k", "d", 64, ""},
        ReadRow{"blank value", "[s]\r\nk=   \t\r\n", "s", "k", "d", 64, ""},
        ReadRow{"line without = is not a key", "[s]\r\nk\r\nk=2\r\n", "s", "k", "d", 64, "2"},
        ReadRow{"semicolon and hash in value", "[s]\r\nx=1;2 #3\r\n", "s", "x", "d", 64, "1;2 #3"},
        ReadRow{"only the first section is searched", "[s]\r\na=1\r\n[S]\r\nb=2\r\n", "s", "b", "d", 64, "d"},
        ReadRow{"first key wins", "[s]\r\nx=1\r\nX=2\r\n", "s", "x", "d", 64, "1"},
        ReadRow{"keys outside the section", "x=0\r\n[a]\r\n[s]\r\nx=1\r\n", "a", "x", "d", 64, "d"},
        ReadRow{"keys before the first section are in section \"\"", "x=0\r\n[]\r\nx=1\r\n", " ", "X", "d", 64, "0"},
        ReadRow{"a byte-order mark does not hide the first section", "\xEF\xBB\xBF[ecran]\r\nport=4445\r\n", "ecran",
                "port", "0", 64, "4445"},
        ReadRow{"a byte-order mark is not part of a leading key", "\xEF\xBB\xBFk=1\r\n", "", "k", "0", 64, "1"},
        ReadRow{"default loses only trailing blanks", kPlain, "s", "x", "  \"a b\"  ", 64, "  \"a b\""},
        ReadRow{"default cut to size - 1", kPlain, "s", "k", "abcdef", 3, "ab"},
        ReadRow{"buffer of one", kPlain, "ecran", "port", "d", 1, ""},
        ReadRow{"LF CR CRCRLF endings, no last newline", "[a]\r\nx=1\n[s]\r\r\ny=2\rz=3", "s", "z", "d", 64, "3"},
        ReadRow{"bytes 0x80-0xFF are ordinary", "[s]\r\nx=\xFF\x80\xE9\r\n", "s", "x", "d", 64, "\xFF\x80\xE9"},
        ReadRow{"quoted form decoded", "[s]\r\nx=\"a\\r\\nb\\\\c\"\r\n", "s", "x", "d", 64, "a\r\nb\\c"},
        ReadRow{"unknown escape kept", "[s]\r\nx=\"C:\\temp\\\"\r\n", "s", "x", "d", 64, "C:\\temp\\"},
        ReadRow{"backslashes of a plain value kept", "[s]\r\nx=C:\\new\\r\r\n", "s", "x", "d", 64, "C:\\new\\r"},
        ReadRow{"decoded value then cut", "[s]\r\nx=\"\\r\\n\\r\\n\"\r\n", "s", "x", "d", 4, "\r\n\r"},
        // Lists: each name followed by a NUL, a second NUL at the end; cut
        // to nSize - 2 characters when they do not fit.
        ReadRow{"every section line", kTwo, nullptr, nullptr, "d", 64, "alpha\0beta\0ALPHA\0"s},
        ReadRow{"sections one short", kTwo, nullptr, nullptr, "d", 11, "alpha\0bet\0"s, 9},
        ReadRow{"sections cut after a name", kTwo, nullptr, nullptr, "d", 8, "alpha\0\0"s, 6},
        ReadRow{"sections into two", kTwo, nullptr, nullptr, "d", 2, "\0"s, 0},
        ReadRow{"no sections", "x=1\r\n", nullptr, nullptr, "d", 16, ""},
        ReadRow{"keys of the first section", kTwo, "ALPHA", nullptr, "d", 64, "x\0y\0"s},
        ReadRow{"every key line, duplicates included", "[s]\r\nk=1\r\n=2\r\nK=3\r\nj=4\r\n", "s", nullptr, "d", 64,
                "k\0K\0j\0"s},
        ReadRow{"keys before the first section", "\xEF\xBB\xBF" "a=1\r\nb=2\r\n[s]\r\nc=3\r\n", "", nullptr, "d", 64,
                "a\0b\0"s},
        ReadRow{"no keys before the first section", kTwo, "", nullptr, "dflt", 64, "dflt"},
        ReadRow{"keys of a missing section", kTwo, "gamma", nullptr, "dflt", 64, "dflt"},
        ReadRow{"keys of an empty section", kTwo, "beta", nullptr, "dflt", 64, "dflt"},
        // A line whose first non-blank character is ";" is a comment.
        ReadRow{"comments are not listed as keys", kCommented, "s", nullptr, "d", 64, "k\0#h\0x\0"s},
        ReadRow{"a commented key is not read", kCommented, "s", ";k", "d", 64, "d"},
        ReadRow{"an indented commented key is not read", kCommented, "s", ";indented", "d", 64, "d"},
        ReadRow{"a commented section is not listed", kCommented, nullptr, nullptr, "d", 64, "s\0t\0"s},
        ReadRow{"a commented section holds no keys", kCommented, "hidden", "y", "d", 64, "d"}),
    rowName<ReadRow>);

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
    const auto before = stamp();
    EXPECT_TRUE(WritePrivateProfileStringA(row.section, row.key, row.value, "t.ini"));
    EXPECT_EQ(bytes(), row.after);
    if (row.before == row.after) {  // nothing to change: nothing rewritten
        EXPECT_EQ(stamp(), before);
        EXPECT_EQ(fs::exists(configDir()), row.before.has_value());
    }
    if (row.after) {  // the file alone: no lock file, no temporary file beside it
        EXPECT_EQ(std::distance(fs::directory_iterator(configDir()), fs::directory_iterator()), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileWrite,
    ::testing::Values(
        WriteRow{"new file in a new folder", std::nullopt, "Sec", "Key", "Value", "[Sec]\r\nKey=Value\r\n"},
        WriteRow{"names are written trimmed", std::nullopt, " s\t", "\tk ", "v", "[s]\r\nk=v\r\n"},
        WriteRow{"new section at the end", "[a]\r\nx=1", "b", "y", "2", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
        WriteRow{"new key before the blank lines closing its section", "[a]\nx=1\n\n \n[b]\n", "A", "z", "3",
                 "[a]\nx=1\nz=3\r\n\n \n[b]\n"},
        WriteRow{"new key in the last section without newline", "[a]\nx=1", "a", "z", "3", "[a]\nx=1\r\nz=3\r\n"},
        WriteRow{"new key in an empty section", "[a]\n\n[b]\n", "a", "z", "3", "[a]\nz=3\r\n\n[b]\n"},
        WriteRow{"replaced value keeps the file's spelling and every other line", "; c\n[Ecran]\n  Port = 1\t\nline\n",
                 "ecran", "PORT", "2", "; c\n[Ecran]\n  Port = 2\r\nline\n"},
        WriteRow{"only the first of two keys is replaced", "[s]\nk=1\nk=2\n", "s", "k", "3", "[s]\nk=3\r\nk=2\n"},
        WriteRow{"first section only", "[s]\n[t]\n[s]\nk=1\n", "s", "k", "2", "[s]\nk=2\r\n[t]\n[s]\nk=1\n"},
        WriteRow{"same value touches nothing", "[s]\nk = v \n", "s", "K", "v", "[s]\nk = v \n"},
        WriteRow{"same value in another spelling touches nothing", "[s]\nk='v'\n", "s", "k", "v", "[s]\nk='v'\n"},
        WriteRow{"NULL value deletes the key", "[s]\na=1\nk=2\nb=3\n", "s", "K", nullptr, "[s]\na=1\nb=3\n"},
        WriteRow{"deleting a missing key touches nothing", "[s]\nk=2", "s", "x", nullptr, "[s]\nk=2"},
        WriteRow{"deleting from a missing file creates nothing", std::nullopt, "s", "k", nullptr, std::nullopt},
        WriteRow{"NULL key deletes a section", "[a]\n;\n\n[S]\ny=2\n\n[c]\n", "s", nullptr, nullptr, "[a]\n;\n\n[c]\n"},
        WriteRow{"NULL key deletes only the first section", "[s]\nx=1\n[s]\ny=2\n", "s", nullptr, "v", "[s]\ny=2\n"},
        WriteRow{"byte-order mark kept, its section found", "\xEF\xBB\xBF[ecran]\r\nport=0\r\n", "ecran", "port", "1",
                 "\xEF\xBB\xBF[ecran]\r\nport=1\r\n"},
        WriteRow{"new section after a lone byte-order mark", "\xEF\xBB\xBF", "s", "k", "v", "\xEF\xBB\xBF[s]\r\nk=v\r\n"},
        WriteRow{"section \"\" is the keys before the first", "a=1\n\n[s]\n", "", "b", "2", "a=1\nb=2\r\n\n[s]\n"},
        WriteRow{"section \"\" in a file with none goes first", "\xEF\xBB\xBF[s]\n", "", "b", "2",
                 "\xEF\xBB\xBF" "b=2\r\n[s]\n"},
        WriteRow{"a first line opening with the mark's bytes gets a mark of its own", "[s]\n", "", "\xEF\xBB\xBFk", "1",
                 "\xEF\xBB\xBF\xEF\xBB\xBFk=1\r\n[s]\n"}),
    rowName<WriteRow>);

TEST_F(ProfileFile, NamesTheFileCannotHoldAreRefusedAndChangeNothing) {
    put(kPlain);
    for (const auto& [section, key] : std::vector<std::pair<const char*, const char*>>{
             {"a]b", "k"}, {"a\r\nb", "k"}, {"a\nb", nullptr}, {"s", "a=b"}, {"s", "k\rx"}, {"s", "k\ny"},
             {"s", "[k]"}, {"s", " [k"}, {"s", ";k"}, {"s", "\t;k"}, {nullptr, "k"}}) {
        EXPECT_FALSE(WritePrivateProfileStringA(section, key, "v", "t.ini")) << (section ? section : "NULL") << " / "
                                                                             << (key ? key : "NULL");
    }
    EXPECT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, "t.ini"));
    EXPECT_EQ(bytes(), kPlain);
}

TEST_F(ProfileFile, NamesWithADirectoryAreUsedAsGivenAndTheirFolderNeverCreated) {
    const fs::path elsewhere = dir_ / "elsewhere" / "x.ini";
    EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", elsewhere.c_str()));
    EXPECT_FALSE(fs::exists(elsewhere.parent_path()));
    EXPECT_NE(lastProfileFailure().find(elsewhere.parent_path().string()), std::string::npos) << lastProfileFailure();
    fs::create_directories(elsewhere.parent_path());
    ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "v", elsewhere.c_str()));
    EXPECT_EQ(value("s", "k", elsewhere.c_str()), "v");
    EXPECT_FALSE(fs::exists(configDir()));  // nor the folder of bare names
}

// ---------------------------------------------------------- stored values

// Values that Windows stores unchanged are written as Windows writes them;
// values that raw bytes would corrupt take the quoted form, on one line: a
// message cannot add a section or a key.
TEST_F(ProfileFile, ValuesAreWrittenPlainOrQuoted) {
    for (const auto& [stored, written] : std::vector<std::pair<std::string, std::string>>{
             {"0", "0"}, {"Bonjour tout le monde", "Bonjour tout le monde"}, {"\"open", "\"open"}, {"'", "'"},
             {"a\"b'c\"", "a\"b'c\""}, {"C:\\new\\t", "C:\\new\\t"}, {"x=1;2 # no comment", "x=1;2 # no comment"},
             {"\xFF" "T\xE9l\xE9", "\xFF" "T\xE9l\xE9"}, {"\x01\x7F\x1A", "\x01\x7F\x1A"}, {" lead", "\" lead\""},
             {"trail\t", "\"trail\t\""}, {"   ", "\"   \""}, {"\"q\"", "\"\"q\"\""}, {"'q'", "\"'q'\""},
             {"a\\b\n", "\"a\\\\b\\n\""}, {"x\r\n[ecran]\r\nport=1", "\"x\\r\\n[ecran]\\r\\nport=1\""}}) {
        fs::remove(path());
        ASSERT_TRUE(WritePrivateProfileStringA("s", "k", stored.c_str(), "t.ini"));
        EXPECT_EQ(bytes(), "[s]\r\nk=" + written + "\r\n");
        EXPECT_EQ(value("s", "k"), stored);
    }
}

// Every value survives a write and a read, whatever its bytes, and stays on
// its one line between the others.
TEST_F(ProfileFile, EveryValueReadsBackExactlyAsWritten) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    std::vector<std::string> values{all, std::string(all.rbegin(), all.rend())};
    for (const char c : all) values.emplace_back(1, c);
    // Random strings over the bytes that matter to the file's syntax.
    const std::string alphabet = "\r\n\\\"' \t=[];#rnx\xFF";
    std::mt19937 random(1234);
    for (int i = 0; i < 500; ++i) {
        std::string v(random() % 12, ' ');
        for (char& c : v) c = alphabet[random() % alphabet.size()];
        values.push_back(v);
    }
    const std::string head = "[s]\r\nbefore=1\r\nk=", tail = "\r\nafter=2\r\n";
    put(head + "old" + tail);
    for (const std::string& v : values) {
        SCOPED_TRACE(::testing::PrintToString(v));
        ASSERT_TRUE(WritePrivateProfileStringA("s", "k", v.c_str(), "t.ini"));
        ASSERT_EQ(value("s", "k"), v);
        const std::string b = *bytes();
        EXPECT_TRUE(b.starts_with(head) && b.ends_with(tail) &&
                    b.find_first_of("\r\n", head.size()) == b.size() - tail.size())
            << ::testing::PrintToString(b);
    }
}

// ---------------------------------------------------------------- the disk

const std::string kOld = "; kept as it is\n[ecran]\nport=4000\n[historique]\ninfos=avant\n";

// Fails one chosen file-system call of a profile write, the way a full disk,
// a refused permission or a failing device would.
enum class Call { None, Lock, Read, CreateTemp, Write, FlushFile, CloseTemp, Rename, FlushFolder, Access };

class FailingOps : public ecran::win32::FileOps {
public:
    FailingOps(Call call, int error) : call_(call), error_(error) {}

    int open(const char* path, int flags, mode_t mode) override {
        const std::string_view p = path;
        const bool temp = p.ends_with(".tmp");
        if (fails(temp ? Call::CreateTemp : Call::None)) return -1;
        const int fd = FileOps::open(path, flags, mode);
        if (temp) tempFd_ = fd;
        return fd;
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override {
        return fails(Call::Read) ? -1 : FileOps::read(fd, buffer, size);
    }
    ssize_t write(int fd, const void* buffer, std::size_t size) override {
        if (fd != tempFd_) return FileOps::write(fd, buffer, size);
        if (call_ == Call::Write && !wrote_ && size > 1) {  // half the file reaches the disk, then it is full
            wrote_ = true;
            return FileOps::write(fd, buffer, size / 2);
        }
        return fails(Call::Write) ? -1 : FileOps::write(fd, buffer, size);
    }
    int fsync(int fd) override {
        struct stat st {};
        const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
        return fails(folder ? Call::FlushFolder : Call::FlushFile) ? -1 : FileOps::fsync(fd);
    }
    int close(int fd) override {
        const int rc = FileOps::close(fd);
        return fd == tempFd_ && fails(Call::CloseTemp) ? -1 : rc;
    }
    int flock(int fd, int operation) override { return fails(Call::Lock) ? -1 : FileOps::flock(fd, operation); }
    int access(const char* path, int mode) override {
        return fails(Call::Access) ? -1 : FileOps::access(path, mode);
    }
    int rename(const char* from, const char* to) override {
        return fails(Call::Rename) ? -1 : FileOps::rename(from, to);
    }

private:
    bool fails(Call call) {
        if (call != call_) return false;
        errno = error_;
        return true;
    }

    Call call_;
    int error_;
    int tempFd_ = -1;
    bool wrote_ = false;
};

struct FailureRow {
    const char* what;
    Call call;
    int error;
    DWORD code;             // the last error Windows would leave
    bool replaced = false;  // the file was replaced before the failure
};

class FailingDisk : public ProfileFile, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(FailingDisk, ReportsFalseAndLeavesTheOldFileWhole) {
    put(kOld);
    const auto before = stamp();
    {
        FailingOps ops(GetParam().call, GetParam().error);
        ecran::win32::ScopedFileOps use(ops);
        EXPECT_FALSE(WritePrivateProfileStringA("historique", "infos", "apr\xE8s", "t.ini"));
    }
    EXPECT_NE(lastProfileFailure().find(configDir().string()), std::string::npos) << lastProfileFailure();
    EXPECT_EQ(GetLastError(), GetParam().code);
    if (!GetParam().replaced) {
        EXPECT_EQ(bytes(), kOld);
        EXPECT_EQ(stamp(), before);
    }
    for (const auto& entry : fs::directory_iterator(configDir()))  // no temporary file left
        EXPECT_EQ(entry.path().filename(), "t.ini");
    // The next write, on a healthy disk, goes through.
    EXPECT_TRUE(WritePrivateProfileStringA("historique", "infos", "apr\xE8s", "t.ini"));
    EXPECT_EQ(value("historique", "infos"), "apr\xE8s");
    EXPECT_EQ(value("ecran", "port"), "4000");
}

INSTANTIATE_TEST_SUITE_P(Table, FailingDisk,
                         ::testing::Values(FailureRow{"LockFails", Call::Lock, ENOLCK, ERROR_WRITE_FAULT},
                                           FailureRow{"LockHeldElsewhere", Call::Lock, EWOULDBLOCK,
                                                      ERROR_SHARING_VIOLATION},
                                           FailureRow{"NotThisUsersToWrite", Call::Access, EACCES, ERROR_ACCESS_DENIED},
                                           FailureRow{"FileUnreadable", Call::Read, EIO, ERROR_READ_FAULT},
                                           FailureRow{"TemporaryFileRefused", Call::CreateTemp, EACCES,
                                                      ERROR_ACCESS_DENIED},
                                           FailureRow{"DiskFull", Call::Write, ENOSPC, ERROR_DISK_FULL},
                                           FailureRow{"FlushFails", Call::FlushFile, EIO, ERROR_WRITE_FAULT},
                                           FailureRow{"CloseReportsALostWrite", Call::CloseTemp, EIO, ERROR_WRITE_FAULT},
                                           FailureRow{"RenameRefused", Call::Rename, EPERM, ERROR_ACCESS_DENIED},
                                           FailureRow{"FolderFlushFailsAfterTheRename", Call::FlushFolder, EIO,
                                                      ERROR_WRITE_FAULT, true}),
                         [](const auto& row) { return std::string(row.param.what); });

TEST_F(ProfileFile, ReadOnlyFolderLeavesTheFileAndReportsFalse) {
    if (::geteuid() == 0 && !othersCanEnter(dir_.parent_path())) GTEST_SKIP() << kPrivateTemp;
    put(kOld);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(configDir(), fs::perms::owner_write, fs::perm_options::remove);
    ChildProcess child([](int) {
        // Root writes anywhere: the child drops to the unprivileged "nobody".
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
        const bool refused = !WritePrivateProfileStringA("historique", "infos", "x", "t.ini");
        return refused && !lastProfileFailure().empty() ? 0 : 1;
    });
    EXPECT_EQ(child.exitStatus(), 0);
    fs::permissions(configDir(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(bytes(), kOld);
    EXPECT_EQ(std::distance(fs::directory_iterator(configDir()), fs::directory_iterator()), 1);
}

TEST_F(ProfileFile, ReplacingKeepsPermissionsAndSymbolicLinks) {
    fs::create_directories(configDir());
    std::ofstream(configDir() / "real.ini", std::ios::binary) << kOld;
    fs::permissions(configDir() / "real.ini", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.ini", path());
    ASSERT_TRUE(WritePrivateProfileStringA("ecran", "port", "5000", "t.ini"));
    EXPECT_TRUE(fs::is_symlink(path()));
    EXPECT_EQ(fs::status(configDir() / "real.ini").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(value("ecran", "port"), "5000");
}

TEST_F(ProfileFile, ALinkToNoFileIsReplacedByTheNewFile) {
    fs::create_directories(configDir());
    fs::create_symlink("gone.ini", path());
    EXPECT_TRUE(WritePrivateProfileStringA("s", "k", "v", "t.ini")) << lastProfileFailure();
    EXPECT_EQ(value("s", "k"), "v");
}

TEST_F(ProfileFile, TwoProcessesWritingDifferentKeysLoseNeither) {
    put(kOld);
    constexpr int kWrites = 150;
    const auto key = [](int id, int i) { return "p" + std::to_string(id) + "k" + std::to_string(i); };
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    const auto writer = [&](int id) {
        return [&, id](int) {
            char go;
            if (::read(gate[0], &go, 1) != 1) return 2;
            bool written = true;
            // A write that waited for the other one past the bound says so
            // (ERROR_SHARING_VIOLATION) and is made again, as callers do.
            for (int i = 0; i < kWrites && written; ++i) {
                do {
                    written = WritePrivateProfileStringA("s", key(id, i).c_str(), std::to_string(i).c_str(), "t.ini");
                } while (!written && GetLastError() == ERROR_SHARING_VIOLATION);
            }
            return written ? 0 : 1;
        };
    };
    ChildProcess first(writer(0)), second(writer(1));
    ASSERT_EQ(::write(gate[1], "gg", 2), 2);  // both start at once
    for (ChildProcess* child : {&first, &second}) EXPECT_EQ(child->exitStatus(), 0);
    ::close(gate[0]);
    ::close(gate[1]);
    int missing = 0;
    for (int id = 0; id < 2; ++id)
        for (int i = 0; i < kWrites; ++i) missing += value("s", key(id, i).c_str()) != std::to_string(i);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(bytes()->substr(0, kOld.size()), kOld);
}

// ------------------------------------------------------ among other users

// Another process holding the lock (any process that may read the file can
// take it) delays a write by a bounded time only; once it lets go, the write
// goes through. While the file does not exist, the lock is its folder's.
class HeldLock : public ProfileFile, public ::testing::WithParamInterface<bool> {};

TEST_P(HeldLock, FailsTheWriteWithASharingViolationUntilItIsFree) {
    const bool fileExists = GetParam();
    if (fileExists) put(kOld);
    fs::create_directories(configDir());
    const fs::path locked = fileExists ? path() : configDir();
    const int holder = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);  // another open file: a lock of its own

    EXPECT_FALSE(WritePrivateProfileStringA("historique", "infos", "x", "t.ini"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(bytes(), fileExists ? std::optional(kOld) : std::nullopt);

    ::close(holder);
    EXPECT_TRUE(WritePrivateProfileStringA("historique", "infos", "x", "t.ini"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(value("historique", "infos"), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(configDir()), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(Table, HeldLock, ::testing::Values(true, false),
                         [](const auto& row) { return std::string(row.param ? "OnTheFile" : "OnTheFolder"); });

// Earlier versions kept a lock file beside each INI file; one left by root
// (0644) refused every write of the file's own user. The lock is the file's
// own now: a user who may write the file writes it.
TEST_F(ProfileFile, ALockFileAnotherUserLeftDoesNotStopTheFilesUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file to another user";
    if (!othersCanEnter(dir_.parent_path())) GTEST_SKIP() << kPrivateTemp;
    put(kOld);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    ASSERT_EQ(::chown(configDir().c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(path().c_str(), 65534, 65534), 0);
    std::ofstream(configDir() / ".t.ini.lock") << "";
    fs::permissions(configDir() / ".t.ini.lock", fs::perms::owner_read | fs::perms::owner_write |
                                                     fs::perms::group_read | fs::perms::others_read);
    ChildProcess child([](int) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
        return WritePrivateProfileStringA("historique", "infos", "x", "t.ini") ? 0 : 1;
    });
    EXPECT_EQ(child.exitStatus(), 0);
    EXPECT_EQ(value("historique", "infos"), "x");
}

TEST_F(ProfileFile, ANewFileIsPrivateAndAReplacedOneKeepsItsMode) {
    const mode_t previous = ::umask(022);
    EXPECT_TRUE(WritePrivateProfileStringA("historique", "infos", "x", "t.ini"));
    EXPECT_EQ(fs::status(path()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(path(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    EXPECT_TRUE(WritePrivateProfileStringA("historique", "infos", "y", "t.ini"));
    EXPECT_EQ(fs::status(path()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    ::umask(previous);
}

// A process killed between creating and renaming its temporary file leaves
// it behind; the next write of the same file removes it, and only it.
TEST_F(ProfileFile, TemporaryFilesOfProcessesThatAreGoneAreRemovedAtTheNextWrite) {
    ChildProcess gone([](int) { return 0; });
    ASSERT_EQ(gone.exitStatus(), 0);
    put(kOld);
    const std::string dead = std::to_string(gone.pid());
    const std::vector<std::string> removed{".t.ini." + dead + ".7.tmp"};
    const std::vector<std::string> kept{".t.ini.1.7.tmp",  // a process that runs
                                        ".u.ini." + dead + ".7.tmp", ".t.ini." + dead + ".x.tmp",
                                        "t.ini." + dead + ".7.tmp"};
    for (const auto& names : {removed, kept})
        for (const auto& name : names) std::ofstream(configDir() / name) << "half";
    EXPECT_TRUE(WritePrivateProfileStringA("historique", "infos", "x", "t.ini"));
    for (const auto& name : removed) EXPECT_FALSE(fs::exists(configDir() / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(configDir() / name)) << name;
}

// File names are Windows-1252 text; the file system's names are UTF-8.
TEST_F(ProfileFile, NonAsciiFileNamesReachTheFileSystemInUtf8) {
    fs::create_directories(dir_ / "andr\xC3\xA9");
    for (const auto& [name, onDisk] : std::vector<std::pair<std::string, fs::path>>{
             {"\xE9t\xE9 \x80.ini", configDir() / "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.ini"},
             {dir_.string() + "/andr\xE9/x.ini", dir_ / "andr\xC3\xA9" / "x.ini"}}) {
        EXPECT_TRUE(WritePrivateProfileStringA("s", "k", "v", name.c_str())) << lastProfileFailure();
        EXPECT_TRUE(fs::exists(onDisk)) << onDisk;
        EXPECT_EQ(value("s", "k", name.c_str()), "v");
    }
}

}  // namespace
