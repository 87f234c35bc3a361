#include "fleet/fleet_discovery.h"

#include "fleet/fleet_state.h"

namespace ecran::fleet {
namespace {

// A topic level usable as a Home Assistant node or object id: letters,
// digits, "_" and "-"; the "." a screen name may hold becomes "_".
std::string discoveryId(std::string s) {
    for (char& c : s) {
        if (c == '.') c = '_';
    }
    return s;
}

}  // namespace

std::vector<DiscoveryConfig> discoveryConfigs(const TopicScheme& scheme, const std::string& prefix,
                                              const std::string& version) {
    const std::string node = discoveryId(scheme.name);
    const std::string base = scheme.prefix + "/" + scheme.name + "/";
    const std::string device = JsonObject{}
                                   .raw("identifiers", "[" + jsonString(scheme.prefix + "-" + scheme.name) + "]")
                                   .text("name", scheme.name)
                                   .text("model", "ecran")
                                   .text("sw_version", version)
                                   .str();
    struct Entity {
        const char* object;
        const char* name;
        const char* command;
        const char* field;
    };
    // Home Assistant keeps at most 255 characters of a text entity's state:
    // the template cuts a longer message rather than have the state refused.
    const Entity entities[] = {{"message", "Message", "text", "text"}, {"ticker", "Ticker", "ticker", "ticker"}};
    std::vector<DiscoveryConfig> configs;
    for (const auto& e : entities) {
        const std::string payload = JsonObject{}
                                        .text("name", e.name)
                                        .text("unique_id", discoveryId(scheme.prefix) + "_" + node + "_" + e.object)
                                        .text("command_topic", base + e.command)
                                        .text("state_topic", stateTopic(scheme))
                                        .text("value_template", std::string("{{ value_json.") + e.field + "[:255] }}")
                                        .text("availability_topic", statusTopic(scheme))
                                        .text("payload_available", "online")
                                        .text("payload_not_available", "offline")
                                        .raw("max", "255")
                                        .text("mode", "text")
                                        .raw("qos", "1")
                                        .raw("device", device)
                                        .str();
        configs.push_back({prefix + "/text/" + node + "/" + e.object + "/config", payload});
    }
    return configs;
}

}  // namespace ecran::fleet
