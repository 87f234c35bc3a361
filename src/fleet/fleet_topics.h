#pragma once
// The topics of a screen and the commands they carry: P/S/..., P/group/G/...,
// P/all/..., each ending in a command's name. Shared by the screens and the
// console, so both read and write the same names.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ecran::fleet {

struct TopicScheme {
    std::string prefix;
    std::string name;
    std::vector<std::string> groups;
};

enum class Command {
    Message,  // the bytes of a datagram, Windows-1252
    Text,     // UTF-8 text for the main message
    Ticker,   // UTF-8 text for the ticker
    Colour,   // a colour as ecran-send --color takes it
};

// The last level of a command's topic: "message", "text", "ticker", "color".
[[nodiscard]] std::string_view commandName(Command command);

// Every command topic the screen subscribes to: its own, its groups', all.
[[nodiscard]] std::vector<std::string> commandTopics(const TopicScheme& scheme);
// The command a topic carries for this screen; nothing for another screen's
// or group's topic, or for one that is not a command.
[[nodiscard]] std::optional<Command> commandOf(const TopicScheme& scheme, std::string_view topic);

// The topic that carries `command` to `target`: a screen's name, "group/G"
// or "all" (P/S/text, P/group/G/text, P/all/text).
[[nodiscard]] std::string commandTopic(const std::string& prefix, const std::string& target, Command command);

[[nodiscard]] std::string statusTopic(const TopicScheme& scheme);  // P/S/status
[[nodiscard]] std::string stateTopic(const TopicScheme& scheme);   // P/S/state
// A JPEG of the screen's window, retained: what it really shows.
[[nodiscard]] std::string snapshotTopic(const TopicScheme& scheme);  // P/S/snapshot

}  // namespace ecran::fleet
