#pragma once
// The command line of ecran-console: serve, or manage the named tokens.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace ecran::console {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // a setting, the database or the network failed
inline constexpr int kExitUsage = 2;    // the command line is wrong

struct Arguments {
    enum class Action { Help, Version, Serve, TokenAdd, TokenList, TokenRevoke } action = Action::Help;
    std::string config;  // empty: the default file
    std::string name;    // the token's
};

[[nodiscard]] const char* usage();

// Reads the command line (without the program's name). Nothing, with why
// in `error`, for a command line that is wrong.
[[nodiscard]] std::optional<Arguments> parseArguments(const std::vector<std::string>& args, std::string& error);

// token add/list/revoke against the database the settings name; the exit status.
[[nodiscard]] int runTokenCommand(const Arguments& args, const std::string& dataFolder, std::ostream& out,
                                  std::ostream& err);

}  // namespace ecran::console
