#pragma once
// The Home Assistant discovery configs of a screen: retained documents that
// make its main message and ticker two text entities of one device, and its
// snapshots an image entity of it.

#include <string>
#include <string_view>
#include <vector>

#include "fleet/fleet_topics.h"

namespace ecran::fleet {

// One retained discovery config: where it goes and what it says.
struct DiscoveryConfig {
    std::string topic;
    std::string payload;
};
// Home Assistant's ids of a screen, distinct for distinct (prefix, name)
// pairs. The node id is the screen's name with "_" and "." written "_u" and
// "_d" (a name of letters, digits and "-" stays as it is); the object id is
// the entity, after the escaped prefix and "__" unless the prefix is
// "ecran"; the unique id is "P_N_E" where neither part holds "_" or ".",
// else the escaped prefix, name and entity joined by "__".
[[nodiscard]] std::string discoveryNode(const std::string& name);
[[nodiscard]] std::string discoveryObject(const std::string& prefix, std::string_view entity);
[[nodiscard]] std::string discoveryUniqueId(const std::string& prefix, const std::string& name,
                                            std::string_view entity);

// The Home Assistant entities of a screen under the discovery prefix: two
// text entities (main message, ticker), then the image entity of its
// snapshots, whose config is empty (removing it) when `snapshots` is false.
[[nodiscard]] std::vector<DiscoveryConfig> discoveryConfigs(const TopicScheme& scheme, const std::string& prefix,
                                                            const std::string& version, bool snapshots);

}  // namespace ecran::fleet
