#pragma once
// Throw-away places for tests: a fresh folder, environment variables put
// back exactly as they were, a private configuration home, and the bytes of
// a file. Everything is undone when the object goes, so a test that fails an
// assertion half-way still leaves no folder and no variable behind.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

namespace ecran::test_support {

// A variable set (or, with nullptr, unset) while this object lives; then it
// is as it was: a variable that was unset is unset again, not "".
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = ::getenv(name)) old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const char* value) const { value ? ::setenv(name_.c_str(), value, 1) : ::unsetenv(name_.c_str()); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh folder of this user's in the temporary directory, removed with
// all it holds.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "ecran-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder " + pattern);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// XDG_CONFIG_HOME pointed at a fresh folder: bare file names of the profile
// functions and the registry store land in <it>/ecran/.
class ConfigHome {
public:
    explicit ConfigHome(const std::string& prefix = "ecran-test") : dir_(prefix) {}
    [[nodiscard]] const std::filesystem::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
    ScopedEnv env_{"XDG_CONFIG_HOME", dir_.path().c_str()};
};

// A fixture over a ConfigHome whose folder is dir_. A test may point
// XDG_CONFIG_HOME elsewhere: it is put back all the same.
class ConfigSandbox : public ::testing::Test {
protected:
    ConfigHome home_;
    const std::filesystem::path dir_ = home_.path();

    // <dir_>/ecran/<name>, where a bare file name lands, and writing its bytes.
    [[nodiscard]] std::filesystem::path configFile(const std::string& name) const { return dir_ / "ecran" / name; }
    void putConfigFile(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(dir_ / "ecran");
        std::ofstream(configFile(name), std::ios::binary) << bytes;
    }
};

// The bytes of a file, or nothing when it cannot be read (a missing file).
inline std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether another user may pass through every folder from the root down to
// `path`: a test that hands its files to another user needs it, and a
// private temporary directory (TMPDIR in a 0700 home) does not give it.
inline bool othersCanEnter(const std::filesystem::path& path) {
    struct stat st {};
    for (auto p = std::filesystem::absolute(path);; p = p.parent_path()) {
        if (::stat(p.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
        if (p == p.root_path()) return true;
    }
}

}  // namespace ecran::test_support
