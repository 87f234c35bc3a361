#pragma once
// The console's settings file: the fleet's broker ([mqtt], read and checked
// exactly as the screens read theirs), where the HTTP server listens
// ([http]) and where its database lives ([console]). Read once at start.

#include <cstdint>
#include <functional>
#include <string>

#include "fleet/fleet_config.h"

namespace ecran::console {

// The address and port the console listens on when [http] listen is empty.
inline constexpr const char* kDefaultListenHost = "127.0.0.1";
inline constexpr std::uint16_t kDefaultPort = 8470;

struct ConsoleConfig {
    std::string file;           // the settings file, for messages
    fleet::FleetConfig mqtt;    // broker, prefix, username, password, ca
    std::string listenHost = kDefaultListenHost;  // without brackets
    std::uint16_t port = kDefaultPort;
    std::string cert, key;      // PEM files; both set: HTTPS only
    bool insecure = false;      // plain HTTP allowed on an address that is not loopback
    std::string data;           // the folder of the database
    [[nodiscard]] bool https() const { return !cert.empty(); }
};

// $XDG_CONFIG_HOME/ecran/console.ini (default ~/.config/ecran/); empty when
// there is no home.
[[nodiscard]] std::string defaultConfigFile();
// $XDG_DATA_HOME/ecran-console (default ~/.local/share/ecran-console).
[[nodiscard]] std::string defaultDataFolder();

// Builds the settings from the file's values (UTF-8; `value(section, key)`,
// a missing key reading as empty). Throws fleet::ConfigError, one line naming
// the key and the file, for a value that cannot be used.
[[nodiscard]] ConsoleConfig parseConsoleConfig(
    const std::function<std::string(const char* section, const char* key)>& value, const std::string& file);

// Reads the file through the profile functions (never writing to it).
// Throws fleet::ConfigError when the file cannot be read or holds a value
// that cannot be used.
[[nodiscard]] ConsoleConfig readConsoleConfig(const std::string& file);

}  // namespace ecran::console
