#include "console/console_config.h"

#include <QHostAddress>

#include <cstdlib>
#include <fstream>

#include "profile/profile_value.h"
#include "text/cp1252.h"
#include "win32/config_dir.h"

namespace ecran::console {
namespace {

fleet::ConfigError badKey(const char* section, const char* key, const std::string& value, const std::string& file,
                          const std::string& why) {
    return fleet::ConfigError("[" + std::string(section) + "] " + key + " \"" + value + "\" in " + file + " " + why);
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// "ADDRESS:PORT", an IPv6 address in brackets; the address must be a literal
// one, so that what the console opens is exactly what the file says.
void parseListen(const std::string& listen, const std::string& file, ConsoleConfig& c) {
    const std::string why = "is not ADDRESS:PORT (127.0.0.1:8470, [::1]:8470, 0.0.0.0:443)";
    std::string host, port;
    if (!listen.empty() && listen[0] == '[') {
        const auto close = listen.find(']');
        if (close == std::string::npos || close + 1 >= listen.size() || listen[close + 1] != ':') {
            throw badKey("http", "listen", listen, file, why);
        }
        host = listen.substr(1, close - 1);
        port = listen.substr(close + 2);
        if (host.find(':') == std::string::npos) throw badKey("http", "listen", listen, file, why);
    } else {
        const auto colon = listen.rfind(':');
        if (colon == std::string::npos || listen.find(':') != colon) throw badKey("http", "listen", listen, file, why);
        host = listen.substr(0, colon);
        port = listen.substr(colon + 1);
    }
    QHostAddress address;
    if (host.empty() || !address.setAddress(QString::fromStdString(host))) {
        throw badKey("http", "listen", listen, file, why);
    }
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    // Port 0 lets the system choose a free port, said at start.
    if (!digits || std::stoi(port) > 65535) {
        throw badKey("http", "listen", listen, file, "has no port from 0 to 65535");
    }
    c.listenHost = host;
    c.port = static_cast<std::uint16_t>(std::stoi(port));
}

bool readable(const std::string& path) { return std::ifstream(path).good(); }

std::string home() {
    const char* h = std::getenv("HOME");
    if (h && h[0] == '/') return h;
    return win32::passwordDatabaseHome().value_or("");
}

}  // namespace

std::string defaultConfigFile() {
    const std::string dir = win32::configDirectory();
    return dir.empty() ? std::string() : dir + "/console.ini";
}

std::string defaultDataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/ecran-console";
    const std::string h = home();
    return h.empty() ? std::string() : h + "/.local/share/ecran-console";
}

ConsoleConfig parseConsoleConfig(const std::function<std::string(const char*, const char*)>& value,
                                 const std::string& file) {
    ConsoleConfig c;
    c.file = file;
    // The screens' own reading of [mqtt]: the console takes its broker,
    // prefix and credentials; a screen's name, groups, discovery and
    // keep-alive mean nothing for it and are not read.
    const auto mqtt = [&](const char* key) -> std::string {
        const std::string k = key;
        if (k == "broker" || k == "prefix" || k == "username" || k == "password" || k == "ca") {
            return value("mqtt", key);
        }
        return {};
    };
    auto fleet = fleet::parseFleetConfig(mqtt, file, "console");
    if (!fleet) throw fleet::ConfigError("[mqtt] broker is missing in " + file + ": the console watches the fleet's broker (mqtt://HOST[:PORT] or mqtts://HOST[:PORT])");
    c.mqtt = *fleet;

    if (const std::string listen = trimmed(value("http", "listen")); !listen.empty()) parseListen(listen, file, c);
    c.cert = trimmed(value("http", "cert"));
    c.key = trimmed(value("http", "key"));
    if (c.cert.empty() != c.key.empty()) {
        throw fleet::ConfigError("[http] " + std::string(c.cert.empty() ? "key" : "cert") + " is set in " + file +
                                 " but " + (c.cert.empty() ? "cert" : "key") +
                                 " is not: set both for HTTPS, or neither");
    }
    if (!c.cert.empty() && !readable(c.cert)) {
        throw badKey("http", "cert", c.cert, file, "cannot be read (no such file, or no right)");
    }
    if (!c.key.empty() && !readable(c.key)) {
        throw badKey("http", "key", c.key, file, "cannot be read (no such file, or no right)");
    }
    const std::string insecure = trimmed(value("http", "insecure"));
    if (insecure == "yes") {
        c.insecure = true;
    } else if (!insecure.empty() && insecure != "no") {
        throw badKey("http", "insecure", insecure, file, "is neither yes nor no");
    }
    // Tokens and cookies travel in clear over plain HTTP: only the machine
    // itself may be reached that way unless the operator says otherwise.
    if (!c.https() && !c.insecure && !QHostAddress(QString::fromStdString(c.listenHost)).isLoopback()) {
        throw badKey("http", "listen", c.listenHost + ":" + std::to_string(c.port), file,
                     "is not a loopback address and there is no cert and key: set [http] cert and key for HTTPS, "
                     "or insecure = yes for plain HTTP behind a proxy");
    }

    c.data = trimmed(value("console", "data"));
    if (c.data.empty()) c.data = defaultDataFolder();
    if (c.data.empty() || c.data[0] != '/') {
        throw badKey("console", "data", c.data, file, "is not an absolute folder path");
    }
    return c;
}

ConsoleConfig readConsoleConfig(const std::string& file) {
    if (!readable(file)) throw fleet::ConfigError(file + " cannot be read (no such file, or no right)");
    const auto value = [&](const char* section, const char* key) {
        return text::toUtf8(profile::ProfileValue(section, key, "", file, profile::kReadMode));
    };
    return parseConsoleConfig(value, file);
}

}  // namespace ecran::console
