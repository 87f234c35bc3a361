#pragma once
// Where a message goes through an MQTT broker: the broker's address and the
// topic of the screen, the group or all screens.

#include <cstdint>
#include <string>

namespace ecran::sender {

struct BrokerUrl {
    bool tls = false;  // mqtts://
    std::string host;  // without brackets
    std::uint16_t port = 0;

    // "mqtt://host:1883", for messages.
    [[nodiscard]] std::string text() const;
};

// Reads mqtt://HOST[:PORT] (port 1883) or mqtts://HOST[:PORT] (TLS, port
// 8883); an IPv6 address goes in brackets. Throws ArgumentError.
[[nodiscard]] BrokerUrl parseBrokerUrl(const std::string& text);

// Checks a screen name, group name or topic prefix as the display accepts
// it: one topic level of 1 to 100 letters, digits, "-", "_" and ".". A screen
// may not be called "all" or "group", which are topic levels of their own.
// Throws ArgumentError naming `option`.
void checkName(const std::string& name, const char* option, bool screen);

}  // namespace ecran::sender
