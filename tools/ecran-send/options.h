#pragma once
// The command line of ecran-send.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ecran-send/datagram.h"

namespace ecran::sender {

struct Options {
    Kind kind = Kind::Plain;
    std::optional<std::string> message;  // the MESSAGE argument, in UTF-8
    std::string colour;                  // the --color argument, as typed
    bool fromStdin = false;
    bool lines = false;
    bool replace = false;
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    bool broadcast = false;
    // Through an MQTT broker instead of UDP.
    std::optional<std::string> broker;  // the URL, as typed
    std::string target;                 // "hall", "group/lobby" or "all"
    std::string prefix = "ecran";
    std::optional<std::string> username;
    std::optional<std::string> passwordFile;
    std::optional<std::string> caFile;
    bool help = false;
    bool version = false;
};

// Reads the arguments (without the program name). Throws UsageError.
[[nodiscard]] Options parseArguments(const std::vector<std::string>& args);

// The text printed by --help.
[[nodiscard]] std::string helpText();

// Reads a port number: decimal digits only, 1 to 65535. Throws UsageError.
[[nodiscard]] std::uint16_t parsePort(const std::string& text);

}  // namespace ecran::sender
