#pragma once
// One registry value addressed by a textual key path that starts with a root
// name ("HKEY_CURRENT_USER\Software\Example").

#include <string>

namespace ecran::profile {

// The value as text; empty when nothing could be read. Never fails.
[[nodiscard]] std::string GetRegistryPathValue(std::string keyPath, std::string valueName);

// Writes the value as a string value, creating missing keys. Never fails.
void SetRegistryPathValue(std::string keyPath, std::string valueName, std::string value);

}  // namespace ecran::profile
