#include "fleet/fleet_discovery.h"

#include <string_view>

#include "fleet/fleet_state.h"

namespace ecran::fleet {
namespace {

constexpr std::string_view kDefaultPrefix = "ecran";

// Home Assistant takes only letters, digits, "_" and "-" in node and object
// ids. "_" and "." are written "_u" and "_d": the result never holds "__"
// and never ends in "_", so ids joined with "__" split back one way only.
std::string escaped(std::string_view s) {
    std::string out;
    for (const char c : s) {
        if (c == '_') {
            out += "_u";
        } else if (c == '.') {
            out += "_d";
        } else {
            out += c;
        }
    }
    return out;
}

bool needsNoEscape(std::string_view s) { return s.find_first_of("_.") == std::string_view::npos; }

}  // namespace

std::string discoveryNode(const std::string& name) { return escaped(name); }

std::string discoveryObject(const std::string& prefix, std::string_view entity) {
    // The default prefix keeps the ids screens published before prefixes
    // were told apart, so their entities stay as they are.
    if (prefix == kDefaultPrefix) return std::string(entity);
    return escaped(prefix) + "__" + std::string(entity);
}

std::string discoveryUniqueId(const std::string& prefix, const std::string& name, std::string_view entity) {
    // "P_N_E" as before where neither holds "_" or ".": such an id holds no
    // "__", and every other is written with "__" between its parts.
    if (needsNoEscape(prefix) && needsNoEscape(name)) return prefix + "_" + name + "_" + std::string(entity);
    return escaped(prefix) + "__" + escaped(name) + "__" + std::string(entity);
}

std::vector<DiscoveryConfig> discoveryConfigs(const TopicScheme& scheme, const std::string& prefix,
                                              const std::string& version, bool snapshots) {
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
                                        .text("unique_id", discoveryUniqueId(scheme.prefix, scheme.name, e.object))
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
        configs.push_back({prefix + "/text/" + discoveryNode(scheme.name) + "/" +
                               discoveryObject(scheme.prefix, e.object) + "/config",
                           payload});
    }
    // The window's snapshots, an image entity of the same device. Without
    // snapshots its config is empty, which removes an entity announced before.
    const std::string image = JsonObject{}
                                  .text("name", "Snapshot")
                                  .text("unique_id", discoveryUniqueId(scheme.prefix, scheme.name, "snapshot"))
                                  .text("image_topic", snapshotTopic(scheme))
                                  .text("content_type", "image/jpeg")
                                  .text("availability_topic", statusTopic(scheme))
                                  .text("payload_available", "online")
                                  .text("payload_not_available", "offline")
                                  .raw("device", device)
                                  .str();
    configs.push_back({prefix + "/image/" + discoveryNode(scheme.name) + "/" +
                           discoveryObject(scheme.prefix, "snapshot") + "/config",
                       snapshots ? image : std::string()});
    return configs;
}

}  // namespace ecran::fleet
