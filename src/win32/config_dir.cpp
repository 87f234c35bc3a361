#include "win32/config_dir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace ecran::win32 {

std::string configDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/ecran";
    const char* home = std::getenv("HOME");
    return std::string(home && home[0] ? home : ".") + "/.config/ecran";
}

bool ensureConfigDirectory() {
    std::error_code ec;
    std::filesystem::create_directories(configDirectory(), ec);
    return !ec && std::filesystem::is_directory(configDirectory(), ec);
}

}  // namespace ecran::win32
