#pragma once
// This platform's "Windows directory": where bare profile file names and the
// registry store live.

#include <optional>
#include <string>

namespace ecran::win32 {

// $XDG_CONFIG_HOME/ecran when XDG_CONFIG_HOME is set to an absolute path,
// else <home>/.config/ecran, where home is $HOME when it is an absolute path,
// else the user's home in the password database. Empty when there is no
// home at all: callers that store settings must stop then (a relative
// fallback would scatter settings over whatever folder a program was started
// in). Read anew at every call, never created here.
[[nodiscard]] std::string configDirectory();

// Why there is no configuration directory, in one line for a program that
// stops on it (what to set), naming the user id the password database was
// asked for.
[[nodiscard]] std::string noConfigDirectoryReason();

// The rule above with its inputs given (null for an unset variable, nullopt
// for a user without a usable home in the password database).
[[nodiscard]] std::string configDirectoryFor(const char* xdgConfigHome, const char* home,
                                             const std::optional<std::string>& passwdHome);

// The current user's home directory in the password database, when it has
// one that is an absolute path.
[[nodiscard]] std::optional<std::string> passwordDatabaseHome();

// Creates the directory (and its parents) when missing; false on failure or
// when there is no configuration directory.
[[nodiscard]] bool ensureConfigDirectory();

}  // namespace ecran::win32
