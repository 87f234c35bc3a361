#pragma once
// A textual key path, "HKEY_CURRENT_USER\Software\Example", turned into a
// predefined root key and the sub key path below it.

#include <string>
#include <string_view>

#include "win32/registry_api.h"

namespace ecran::registry {

struct KeyPath {
    HKEY root = nullptr;  // 0 when the path names no known root
    std::string subKey;   // passed on unchanged, may be empty
};

// Splits at the first "\": the part before it, upper-cased, is looked up
// among the seven root names (HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG,
// HKEY_CURRENT_USER, HKEY_DYN_DATA, HKEY_LOCAL_MACHINE,
// HKEY_PERFORMANCE_DATA, HKEY_USERS); the part after it is the sub key path.
// A path without a backslash has no root and is all sub key path.
// Abbreviations such as "HKCU" are not root names.
[[nodiscard]] KeyPath splitKeyPath(std::string_view keyPath);

}  // namespace ecran::registry
