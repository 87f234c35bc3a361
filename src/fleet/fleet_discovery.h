#pragma once
// The Home Assistant discovery configs of a screen: retained documents that
// make its main message and ticker two text entities of one device.

#include <string>
#include <vector>

#include "fleet/fleet_topics.h"

namespace ecran::fleet {

// One retained discovery config: where it goes and what it says.
struct DiscoveryConfig {
    std::string topic;
    std::string payload;
};
// The two Home Assistant text entities of a screen (main message, ticker),
// under the discovery prefix.
[[nodiscard]] std::vector<DiscoveryConfig> discoveryConfigs(const TopicScheme& scheme, const std::string& prefix,
                                                            const std::string& version);

}  // namespace ecran::fleet
