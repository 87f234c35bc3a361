#include "ecran-send/broker.h"

#include <algorithm>
#include <cctype>

#include "ecran-send/errors.h"
#include "ecran-send/options.h"

namespace ecran::sender {
namespace {

bool startsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), s.begin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

std::string BrokerUrl::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

BrokerUrl parseBrokerUrl(const std::string& text) {
    const auto bad = [&](const std::string& why) {
        return ArgumentError("broker '" + text + "': " + why +
                             " (give mqtt://HOST[:PORT], or mqtts://HOST[:PORT] for TLS)");
    };
    BrokerUrl url;
    std::string rest;
    if (startsWithNoCase(text, "mqtts://")) {
        url.tls = true;
        url.port = 8883;
        rest = text.substr(8);
    } else if (startsWithNoCase(text, "mqtt://")) {
        url.port = 1883;
        rest = text.substr(7);
    } else {
        throw bad("unknown scheme");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos) {
        throw ArgumentError("broker '" + text +
                            "': give the user name with --username and the password with --password-file, "
                            "not in the address");
    }
    if (rest.find('/') != std::string::npos) throw bad("the address has a path");
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) throw bad("no closing bracket");
        url.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':') throw bad("text after the bracketed address");
        if (!after.empty()) portText = after.substr(1);
        if (after == ":") throw bad("no port after ':'");
    } else {
        const auto colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
            throw bad("put an IPv6 address in brackets");
        }
        url.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) throw bad("no port after ':'");
        }
    }
    if (url.host.empty()) throw bad("no host");
    if (!portText.empty()) url.port = parsePort(portText);
    return url;
}

void checkName(const std::string& name, const char* option, bool screen) {
    const bool allowed = !name.empty() && name.size() <= 100 && std::all_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x80 && (std::isalnum(u) || c == '-' || c == '_' || c == '.');
    });
    if (!allowed) {
        throw ArgumentError(std::string(option) + " '" + name +
                            "': a name is 1 to 100 letters, digits, '-', '_' and '.'");
    }
    if (screen && (name == "all" || name == "group")) {
        throw ArgumentError(std::string(option) + " '" + name + "': no screen is called '" + name +
                            "', which is a topic of its own" + (name == "all" ? " (use --all)" : " (use --group)"));
    }
}

}  // namespace ecran::sender
