#include "fleet/fleet_config.h"

#include <unistd.h>

#include <climits>
#include <fstream>

#include "profile/profile_value.h"
#include "text/cp1252.h"

namespace ecran::fleet {
namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

ConfigError badKey(const char* key, const std::string& value, const std::string& file, const std::string& why) {
    return ConfigError("[mqtt] " + std::string(key) + " " + quoted(value) + " in " + file + " " + why);
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]", an IPv6 host in brackets, one
// trailing "/" allowed.
void parseBroker(const std::string& url, const std::string& file, FleetConfig& c) {
    const std::string why = "is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    std::string lower;
    for (char ch : url) lower += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    std::string rest;
    if (lower.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (lower.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        c.tls = true;
    } else {
        throw badKey("broker", url, file, why);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close == 1) throw badKey("broker", url, file, why);
        c.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') throw badKey("broker", url, file, why);
            port = after.substr(1);
            if (port.empty()) throw badKey("broker", url, file, why);
        }
    } else {
        const auto colon = rest.find(':');
        c.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) throw badKey("broker", url, file, why);
        }
    }
    if (c.host.empty()) throw badKey("broker", url, file, why);
    for (char ch : c.host) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '-' || ch == '.' || ch == '_' || ch == ':' || ch == '%';
        if (!ok) throw badKey("broker", url, file, why);
    }
    if (port.empty()) {
        c.port = c.tls ? 8883 : 1883;
    } else {
        if (!allDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
            throw badKey("broker", url, file, "has no port from 1 to 65535 after the host");
        }
        c.port = static_cast<std::uint16_t>(std::stoi(port));
    }
}

void checkName(const char* key, const std::string& name, const std::string& file, bool reserved) {
    if (!isTopicName(name)) {
        throw badKey(key, name, file, "may hold only letters, digits, \"-\", \"_\" and \".\" (1 to 100 of them)");
    }
    if (reserved && (name == "all" || name == "group")) {
        throw badKey(key, name, file, "is a word the topics use for themselves: choose another name");
    }
}

std::string hostName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
    std::string name(buffer);
    // A fully qualified host name keeps its first label: that is the screen.
    return name.substr(0, name.find('.'));
}

}  // namespace

bool isTopicName(const std::string& name) noexcept {
    if (name.empty() || name.size() > 100) return false;
    for (char ch : name) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                        ch == '-' || ch == '_' || ch == '.';
        if (!ok) return false;
    }
    return true;
}

std::optional<FleetConfig> parseFleetConfig(const std::function<std::string(const char* key)>& value,
                                            const std::string& file, const std::string& defaultName) {
    const std::string broker = trimmed(value("broker"));
    if (broker.empty()) return std::nullopt;
    FleetConfig c;
    c.broker = broker;
    parseBroker(broker, file, c);

    const std::string name = trimmed(value("name"));
    if (name.empty()) {
        c.name = defaultName;
        if (!isTopicName(c.name) || c.name == "all" || c.name == "group") {
            throw ConfigError("[mqtt] name is missing in " + file + " and the host name " + quoted(defaultName) +
                              " cannot stand in for it (letters, digits, \"-\", \"_\", \".\"; not all or group): "
                              "set a name");
        }
    } else {
        checkName("name", name, file, true);
        c.name = name;
    }

    const std::string groups = value("groups");
    std::string::size_type start = 0;
    while (start <= groups.size()) {
        const auto comma = groups.find(',', start);
        const std::string group =
            trimmed(groups.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!group.empty()) {
            checkName("groups", group, file, false);
            c.groups.push_back(group);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }

    if (const std::string prefix = trimmed(value("prefix")); !prefix.empty()) {
        checkName("prefix", prefix, file, false);
        c.prefix = prefix;
    }
    c.username = value("username");
    c.password = value("password");
    if (c.username.empty() && !c.password.empty()) {
        throw ConfigError("[mqtt] password is set in " + file + " but username is not: set both or neither");
    }
    c.ca = trimmed(value("ca"));
    if (!c.ca.empty()) {
        if (!c.tls) {
            throw badKey("ca", c.ca, file, "is set but the broker " + quoted(broker) +
                                                " is mqtt://, without TLS: write mqtts:// or remove ca");
        }
        if (!std::ifstream(c.ca).good()) throw badKey("ca", c.ca, file, "cannot be read (no such file, or no right)");
    }
    if (const std::string discovery = trimmed(value("discovery")); !discovery.empty()) {
        checkName("discovery", discovery, file, false);
        c.discovery = discovery;
    }
    if (const std::string keepalive = trimmed(value("keepalive")); !keepalive.empty()) {
        if (!allDigits(keepalive) || keepalive.size() > 5 || std::stoi(keepalive) < kMinKeepalive ||
            std::stoi(keepalive) > kMaxKeepalive) {
            throw badKey("keepalive", keepalive, file, "is not a number of seconds from 5 to 65535");
        }
        c.keepalive = std::stoi(keepalive);
    }
    if (const std::string snapshot = trimmed(value("snapshot")); !snapshot.empty()) {
        if (!allDigits(snapshot) || snapshot.size() > 5 || std::stoi(snapshot) > kMaxSnapshotSeconds) {
            throw badKey("snapshot", snapshot, file, "is not 0 (no snapshots) or a number of seconds up to 86400");
        }
        c.snapshot = std::chrono::seconds(std::stoi(snapshot));
    }
    return c;
}

std::optional<FleetConfig> readFleetConfig(const std::string& profileFile, const std::string& filePath) {
    const auto value = [&](const char* key) {
        return text::toUtf8(profile::ProfileValue("mqtt", key, "", profileFile, profile::kReadMode));
    };
    return parseFleetConfig(value, filePath, hostName());
}

}  // namespace ecran::fleet
