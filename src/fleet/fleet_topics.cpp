#include "fleet/fleet_topics.h"

#include <iterator>

namespace ecran::fleet {
namespace {

struct CommandTopic {
    Command command;
    std::string_view name;
};
// One row a command, in the order the screen subscribes to them.
constexpr CommandTopic kCommandTopics[] = {
    {Command::Message, "message"}, {Command::Text, "text"}, {Command::Ticker, "ticker"}, {Command::Colour, "color"}};

}  // namespace

std::string_view commandName(Command command) {
    for (const auto& c : kCommandTopics) {
        if (c.command == command) return c.name;
    }
    return {};
}

std::vector<std::string> commandTopics(const TopicScheme& scheme) {
    std::vector<std::string> bases{scheme.prefix + "/" + scheme.name + "/"};
    for (const auto& g : scheme.groups) bases.push_back(scheme.prefix + "/group/" + g + "/");
    bases.push_back(scheme.prefix + "/all/");
    std::vector<std::string> topics;
    for (const auto& base : bases) {
        for (const auto& c : kCommandTopics) topics.push_back(base + std::string(c.name));
    }
    return topics;
}

std::optional<Command> commandOf(const TopicScheme& scheme, std::string_view topic) {
    const std::string prefix = scheme.prefix + "/";
    if (topic.substr(0, prefix.size()) != prefix) return std::nullopt;
    std::string_view rest = topic.substr(prefix.size());
    const auto slash = rest.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view target = rest.substr(0, slash), command = rest.substr(slash + 1);
    bool mine = target == scheme.name || target == "all";
    for (const auto& g : scheme.groups) mine = mine || target == "group/" + g;
    if (!mine) return std::nullopt;
    for (const auto& c : kCommandTopics) {
        if (command == c.name) return c.command;
    }
    return std::nullopt;
}

std::string commandTopic(const std::string& prefix, const std::string& target, Command command) {
    return prefix + "/" + target + "/" + std::string(commandName(command));
}

std::string statusTopic(const TopicScheme& scheme) { return scheme.prefix + "/" + scheme.name + "/status"; }
std::string stateTopic(const TopicScheme& scheme) { return scheme.prefix + "/" + scheme.name + "/state"; }
std::string snapshotTopic(const TopicScheme& scheme) { return scheme.prefix + "/" + scheme.name + "/snapshot"; }

}  // namespace ecran::fleet
