#include "win32/config_dir.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace ecran::win32 {
namespace {

bool isAbsolute(const char* path) { return path && path[0] == '/'; }

}  // namespace

std::string configDirectoryFor(const char* xdgConfigHome, const char* home,
                               const std::optional<std::string>& passwdHome) {
    // A relative XDG_CONFIG_HOME is invalid and ignored; so is a relative or
    // empty HOME, which would name a different folder for every working
    // directory.
    if (isAbsolute(xdgConfigHome)) return std::string(xdgConfigHome) + "/ecran";
    if (isAbsolute(home)) return std::string(home) + "/.config/ecran";
    if (passwdHome && isAbsolute(passwdHome->c_str())) return *passwdHome + "/.config/ecran";
    return {};
}

std::optional<std::string> passwordDatabaseHome() {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    for (;;) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found || !isAbsolute(found->pw_dir)) return std::nullopt;
        return std::string(found->pw_dir);
    }
}

std::string configDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    // The password database is asked only when the environment names no home.
    if (isAbsolute(xdg) || isAbsolute(home)) return configDirectoryFor(xdg, home, std::nullopt);
    return configDirectoryFor(xdg, home, passwordDatabaseHome());
}

std::string noConfigDirectoryReason() {
    return "cannot tell where to keep the settings: neither XDG_CONFIG_HOME nor HOME is set to an absolute path, "
           "and user id " + std::to_string(::getuid()) + " has no home directory in the password database; set HOME";
}

bool ensureConfigDirectory() {
    const std::string dir = configDirectory();
    if (dir.empty()) return false;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return !ec && std::filesystem::is_directory(dir, ec);
}

}  // namespace ecran::win32
