#pragma once
// The [mqtt] section of the display's settings file: which broker to reach,
// under which name and groups, with which credentials. Read once at start.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ecran::fleet {

// A section that cannot be used: one line naming the key and the file. The
// display does not start with it, as with a bad port.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FleetConfig {
    bool tls = false;         // mqtts://
    std::string host;         // without the brackets of an IPv6 address
    std::uint16_t port = 0;   // 1883, or 8883 with TLS, when the URL names none
    std::string broker;       // the URL as written, for messages
    std::string name;         // this screen's name in topics
    std::vector<std::string> groups;
    std::string prefix = "ecran";
    std::string username, password;  // UTF-8; empty: none
    std::string ca;                  // CA certificate file; empty: the system's CAs
    std::string discovery;           // Home Assistant discovery prefix; empty: none
    int keepalive = 10;              // seconds
    // The least time between two snapshots of the window; zero: none.
    std::chrono::seconds snapshot{10};

    // "P-S": the broker keeps this screen's session (its subscriptions and
    // the commands queued while it was away) under this id.
    [[nodiscard]] std::string clientId() const { return prefix + "-" + name; }
};

// The keepalive the broker library takes: at least 5 seconds.
inline constexpr int kMinKeepalive = 5;
inline constexpr int kMaxKeepalive = 65535;
// The snapshot key: 0 (off), or seconds up to a day.
inline constexpr int kMaxSnapshotSeconds = 86400;

// True for a name usable as one topic level: letters, digits, "-", "_", ".".
[[nodiscard]] bool isTopicName(const std::string& name) noexcept;

// Builds the configuration from the section's values (UTF-8; a key that is
// missing reads as empty). Nothing when `broker` is empty: the display runs
// without MQTT. `file` names the settings file in errors; `hostName` is the
// default screen name. Throws ConfigError for a value that cannot be used.
[[nodiscard]] std::optional<FleetConfig> parseFleetConfig(const std::function<std::string(const char* key)>& value,
                                                          const std::string& file, const std::string& hostName);

// Reads [mqtt] from the display's settings file (read mode: a missing key is
// never written into the file) and parses it with the machine's host name.
[[nodiscard]] std::optional<FleetConfig> readFleetConfig(const std::string& profileFile, const std::string& filePath);

}  // namespace ecran::fleet
