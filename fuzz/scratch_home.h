#pragma once
// A throw-away configuration folder for a fuzz target: XDG_CONFIG_HOME
// points at a fresh folder (on /dev/shm where there is one, where an fsync
// costs nothing, so the target runs at fuzzing speed), removed at exit.

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace ecran::fuzz {

inline std::filesystem::path& scratchHome() {
    static std::filesystem::path home;
    return home;
}

inline void removeScratchHome() {
    std::error_code ec;
    if (!scratchHome().empty()) std::filesystem::remove_all(scratchHome(), ec);
}

// Creates the folder once and points XDG_CONFIG_HOME at it.
inline const std::filesystem::path& makeScratchHome() {
    if (!scratchHome().empty()) return scratchHome();
    std::error_code ec;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm")
                                                      : std::filesystem::temp_directory_path();
    std::string pattern = (base / "ecran-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    scratchHome() = pattern;
    ::setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
    std::atexit(removeScratchHome);
    return scratchHome();
}

}  // namespace ecran::fuzz
