#pragma once
// This platform's "Windows directory": where bare profile file names and the
// registry store live.

#include <string>

namespace ecran::win32 {

// $XDG_CONFIG_HOME/ecran when XDG_CONFIG_HOME is set to an absolute path,
// else $HOME/.config/ecran. Read anew at every call, never created here.
[[nodiscard]] std::string configDirectory();

// Creates the directory (and its parents) when missing; false on failure.
[[nodiscard]] bool ensureConfigDirectory();

}  // namespace ecran::win32
