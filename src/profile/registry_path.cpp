#include "profile/registry_path.h"

#include "errors/error.h"
#include "registry/key_path.h"
#include "registry/registry_key.h"

// Each call opens its key through its own RegistryKey and lets the object's
// end close it; nothing stays open between calls. Both operations run in
// continue-on-error mode: every failure stays in the last-error record and
// reaches the caller only as an empty read or a write that did not happen.

namespace ecran::profile {

std::string GetRegistryPathValue(std::string keyPath, std::string valueName) {
    errors::ContinueOnError mode;
    std::string result;
    const registry::KeyPath path = registry::splitKeyPath(keyPath);
    {
        registry::RegistryKey key;
        mode.step([&] { key.OpenKey(path.root, path.subKey, KEY_READ); });
        mode.step([&] { result = key.value(valueName); });
    }  // the key's end closes it
    return result;
}

void SetRegistryPathValue(std::string keyPath, std::string valueName, std::string value) {
    errors::ContinueOnError mode;
    const registry::KeyPath path = registry::splitKeyPath(keyPath);
    {
        registry::RegistryKey key;
        mode.step([&] { key.OpenKey(path.root, path.subKey, KEY_WRITE); });
        mode.step([&] { key.setValue(valueName, value); });
    }  // the key's end closes it
}

}  // namespace ecran::profile
