#pragma once
// ecran-config, the administrators' tool for ecran's settings: prints, sets
// and seeds one setting through ProfileValue (the INI file, or the registry
// store for "$" file names) and lists a registry key through RegistryKey.

#include <ostream>
#include <string>
#include <vector>

#include "profile/settings_file.h"

namespace ecran::config_tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // not found, or a write that did not land
inline constexpr int kExitUsage = 2;    // wrong arguments
// The registry store could not be read or written (busy, unreadable,
// read-only, damaged): nothing is known about the value.
inline constexpr int kExitStore = 3;

// The file the display reads its port from and keeps its last message in.
inline constexpr const char* kDefaultFile = profile::kSettingsFile;

// Runs the tool with its arguments (the program name left out). Results go
// to `out` in UTF-8, errors to `err`; the result is the exit status.
[[nodiscard]] int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace ecran::config_tool
