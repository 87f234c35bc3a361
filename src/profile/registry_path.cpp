#include "profile/registry_path.h"

// Until the registry store is wired in, "$" names read nothing and store
// nothing.

namespace ecran::profile {

std::string GetRegistryPathValue(std::string, std::string) { return {}; }

void SetRegistryPathValue(std::string, std::string, std::string) {}

}  // namespace ecran::profile
