#include "win32/ini_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "win32/file_ops.h"
#include "win32/profile_api.h"

namespace {

namespace fs = std::filesystem;
using ecran::win32::FileOps;
using ecran::win32::lastProfileFailure;
using ecran::win32::ScopedFileOps;

class IniFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ecran-ini-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldHome_ = old;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        fs::create_directories(dir());
    }
    void TearDown() override {
        fs::permissions(dir(), fs::perms::owner_all, fs::perm_options::add);
        if (oldHome_) {
            setenv("XDG_CONFIG_HOME", oldHome_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        fs::remove_all(root_);
    }

    fs::path dir() const { return root_ / "ecran"; }
    fs::path path() const { return dir() / "t.ini"; }
    void put(const std::string& bytes) const { std::ofstream(path(), std::ios::binary) << bytes; }
    std::string bytes() const {
        std::ifstream in(path(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string value(const char* section, const char* key) const {
        char buffer[256];
        const DWORD n = GetPrivateProfileStringA(section, key, "<default>", buffer, sizeof buffer, "t.ini");
        return std::string(buffer, n);
    }
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir())) names.insert(e.path().filename().string());
        return names;
    }
    static struct stat statOf(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
        return st;
    }

    fs::path root_;
    std::optional<std::string> oldHome_;
};

const std::string kOld = "; kept as it is\n[ecran]\nport=4000\n[historique]\ninfos=avant\n";

// Fails one chosen file-system call of a profile write, the way a full disk,
// a refused permission or a failing device would.
class FailingOps : public FileOps {
public:
    enum class Call { OpenLock, Lock, Read, CreateTemp, Write, FlushFile, CloseTemp, Rename, FlushFolder };

    FailingOps(Call call, int error) : call_(call), error_(error) {}

    int open(const char* path, int flags, mode_t mode) override {
        const std::string p = path;
        if (endsWith(p, ".lock") && call_ == Call::OpenLock) return failure();
        if (endsWith(p, ".tmp") && call_ == Call::CreateTemp) return failure();
        const int fd = FileOps::open(path, flags, mode);
        if (endsWith(p, ".tmp")) tempFd_ = fd;
        return fd;
    }
    ssize_t read(int fd, void* buffer, std::size_t size) override {
        if (call_ == Call::Read) return failure();
        return FileOps::read(fd, buffer, size);
    }
    ssize_t write(int fd, const void* buffer, std::size_t size) override {
        // Half of the file reaches the disk, then the disk is full.
        if (call_ == Call::Write && fd == tempFd_) {
            if (!wrote_ && size > 1) {
                wrote_ = true;
                return FileOps::write(fd, buffer, size / 2);
            }
            return failure();
        }
        return FileOps::write(fd, buffer, size);
    }
    int fsync(int fd) override {
        struct stat st {};
        const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
        if ((folder && call_ == Call::FlushFolder) || (!folder && call_ == Call::FlushFile)) return failure();
        return FileOps::fsync(fd);
    }
    int close(int fd) override {
        const int rc = FileOps::close(fd);
        if (fd == tempFd_ && call_ == Call::CloseTemp) return failure();
        return rc;
    }
    int flock(int fd, int operation) override {
        if (call_ == Call::Lock) return failure();
        return FileOps::flock(fd, operation);
    }
    int rename(const char* from, const char* to) override {
        if (call_ == Call::Rename) return failure();
        return FileOps::rename(from, to);
    }

private:
    static bool endsWith(const std::string& s, const std::string& end) {
        return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
    }
    int failure() {
        errno = error_;
        return -1;
    }

    Call call_;
    int error_;
    int tempFd_ = -1;
    bool wrote_ = false;
};

struct FailureRow {
    const char* what;
    FailingOps::Call call;
    int error;
};

class IniFileFailure : public IniFile, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(IniFileFailure, LeavesTheOldFileWholeAndReportsFalse) {
    put(kOld);
    const ino_t inode = statOf(path()).st_ino;
    {
        FailingOps ops(GetParam().call, GetParam().error);
        ScopedFileOps use(ops);
        EXPECT_FALSE(WritePrivateProfileStringA("historique", "infos", "apr\xE8s", "t.ini"));
        EXPECT_NE(lastProfileFailure().find(dir().string()), std::string::npos) << lastProfileFailure();
    }
    EXPECT_EQ(bytes(), kOld);
    EXPECT_EQ(statOf(path()).st_ino, inode);
    for (const auto& name : entries()) EXPECT_TRUE(name == "t.ini" || name == ".t.ini.lock") << name;
    // The next write, on a healthy disk, goes through.
    EXPECT_TRUE(WritePrivateProfileStringA("historique", "infos", "apr\xE8s", "t.ini"));
    EXPECT_EQ(value("historique", "infos"), "apr\xE8s");
    EXPECT_EQ(value("ecran", "port"), "4000");
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniFileFailure,
    ::testing::Values(FailureRow{"LockFileRefused", FailingOps::Call::OpenLock, EACCES},
                      FailureRow{"LockFails", FailingOps::Call::Lock, ENOLCK},
                      FailureRow{"FileUnreadable", FailingOps::Call::Read, EIO},
                      FailureRow{"TemporaryFileRefused", FailingOps::Call::CreateTemp, EACCES},
                      FailureRow{"DiskFull", FailingOps::Call::Write, ENOSPC},
                      FailureRow{"FlushFails", FailingOps::Call::FlushFile, EIO},
                      FailureRow{"CloseReportsALostWrite", FailingOps::Call::CloseTemp, EIO},
                      FailureRow{"RenameRefused", FailingOps::Call::Rename, EPERM}),
    [](const ::testing::TestParamInfo<FailureRow>& row) { return std::string(row.param.what); });

TEST_F(IniFile, FolderFlushFailureIsReportedAfterTheFileWasReplaced) {
    put(kOld);
    FailingOps ops(FailingOps::Call::FlushFolder, EIO);
    ScopedFileOps use(ops);
    EXPECT_FALSE(WritePrivateProfileStringA("historique", "infos", "apr\xE8s", "t.ini"));
    EXPECT_NE(lastProfileFailure().find("could not be flushed"), std::string::npos) << lastProfileFailure();
    EXPECT_EQ(value("historique", "infos"), "apr\xE8s");
}

TEST_F(IniFile, WritingTheStoredValueAgainTouchesNothing) {
    put(kOld);
    const struct stat before = statOf(path());
    EXPECT_TRUE(WritePrivateProfileStringA("ECRAN", "Port", "4000", "t.ini"));
    EXPECT_TRUE(WritePrivateProfileStringA("historique", "missing", nullptr, "t.ini"));
    const struct stat after = statOf(path());
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(entries(), std::set<std::string>{"t.ini"});  // not even a lock file
    EXPECT_EQ(bytes(), kOld);
}

TEST_F(IniFile, ReplacingKeepsPermissionsAndSymbolicLinks) {
    std::ofstream(dir() / "real.ini", std::ios::binary) << kOld;
    fs::permissions(dir() / "real.ini", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.ini", path());
    ASSERT_TRUE(WritePrivateProfileStringA("ecran", "port", "5000", "t.ini"));
    EXPECT_TRUE(fs::is_symlink(path()));
    EXPECT_EQ(statOf(dir() / "real.ini").st_mode & 07777, 0640u);
    EXPECT_EQ(value("ecran", "port"), "5000");
}

TEST_F(IniFile, MissingDirectoryIsNotCreatedForANameWithADirectory) {
    const fs::path elsewhere = root_ / "missing" / "x.ini";
    EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", elsewhere.c_str()));
    EXPECT_FALSE(fs::exists(elsewhere.parent_path()));
    EXPECT_NE(lastProfileFailure().find(elsewhere.parent_path().string()), std::string::npos);
}

TEST_F(IniFile, ReadOnlyDirectoryLeavesTheFileAndReportsFalse) {
    put(kOld);
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    if (::geteuid() == 0) {
        // Root writes anywhere: try as the unprivileged user "nobody".
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
            const bool refused = !WritePrivateProfileStringA("historique", "infos", "x", "t.ini");
            ::_exit(refused && !lastProfileFailure().empty() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    } else {
        fs::permissions(dir(), fs::perms::owner_write, fs::perm_options::remove);
        EXPECT_FALSE(WritePrivateProfileStringA("historique", "infos", "x", "t.ini"));
    }
    EXPECT_EQ(bytes(), kOld);
    EXPECT_EQ(entries(), std::set<std::string>{"t.ini"});
}

TEST_F(IniFile, OversizedFileIsNeitherReadNorReplaced) {
    put("[ecran]\r\nport=4000\r\n");
    fs::resize_file(path(), ecran::win32::kMaxProfileFileSize + 1);  // sparse: cheap
    EXPECT_EQ(value("ecran", "port"), "<default>");
    EXPECT_NE(lastProfileFailure().find("larger"), std::string::npos);
    EXPECT_FALSE(WritePrivateProfileStringA("ecran", "port", "1", "t.ini"));
    EXPECT_EQ(fs::file_size(path()), ecran::win32::kMaxProfileFileSize + 1);
    EXPECT_EQ(bytes().substr(0, 20), "[ecran]\r\nport=4000\r\n");
}

TEST_F(IniFile, TwoProcessesWritingDifferentKeysLoseNeither) {
    put(kOld);
    constexpr int kWrites = 150;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int id = 0; id < 2; ++id) {
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            ::close(gate[1]);
            char go;
            if (::read(gate[0], &go, 1) != 1) ::_exit(2);
            for (int i = 0; i < kWrites; ++i) {
                const std::string key = "p" + std::to_string(id) + "k" + std::to_string(i);
                if (!WritePrivateProfileStringA("s", key.c_str(), std::to_string(i).c_str(), "t.ini")) ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(gate[0]);
    ASSERT_EQ(::write(gate[1], "gg", 2), 2);  // both start at once
    ::close(gate[1]);
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    int missing = 0;
    for (int id = 0; id < 2; ++id)
        for (int i = 0; i < kWrites; ++i) {
            const std::string key = "p" + std::to_string(id) + "k" + std::to_string(i);
            if (value("s", key.c_str()) != std::to_string(i)) ++missing;
        }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(value("ecran", "port"), "4000");
    EXPECT_EQ(bytes().substr(0, kOld.size()), kOld);
}

}  // namespace
