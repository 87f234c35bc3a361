#include "registry/key_path.h"

#include <array>

#include "text/cp1252.h"

namespace ecran::registry {
namespace {

struct RootName {
    std::string_view name;
    HKEY handle;
};

// Compared in this order; the first match is taken.
const std::array<RootName, 7> kRoots = {{
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {"HKEY_USERS", HKEY_USERS},
}};

}  // namespace

KeyPath splitKeyPath(std::string_view keyPath) {
    KeyPath result;
    const auto slash = keyPath.find('\\');
    if (slash == std::string_view::npos) {
        result.subKey = std::string(keyPath);
        return result;
    }
    const std::string rootName = text::toUpper(keyPath.substr(0, slash));
    result.subKey = std::string(keyPath.substr(slash + 1));
    for (const auto& root : kRoots) {
        if (root.name == rootName) {
            result.root = root.handle;
            break;
        }
    }
    return result;
}

}  // namespace ecran::registry
