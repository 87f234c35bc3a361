#pragma once
// Key paths and names as the registry functions take them: splitting a sub
// key path into key names, the length rules, and the form in which names
// are compared.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "win32/win_types.h"

namespace ecran::win32 {

// Windows' limits: characters in one key name, characters in a value name,
// levels of keys below a root.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;
inline constexpr std::size_t kMaxKeyDepth = 512;

// What a path is split for: a creation refuses names that are too long,
// a look-up simply cannot find them.
enum class PathUse { Create, Lookup };

// Splits a sub key path (NULL counts as empty) into its key names.
// Returns ERROR_SUCCESS, ERROR_BAD_PATHNAME for a leading backslash,
// ERROR_INVALID_PARAMETER (Create) or ERROR_FILE_NOT_FOUND (Lookup) for a
// name longer than kMaxKeyNameLength or more than kMaxKeyDepth names.
[[nodiscard]] LONG splitSubKeyPath(const char* subKey, PathUse use, std::vector<std::string>& names);

// The form under which a key or value name is stored for look-up and
// ordering: the name upper-cased as Windows-1252, written as UTF-8, so that
// byte order is the order of Unicode code points (the order Windows keeps
// sub keys in).
[[nodiscard]] std::string nameLookupKey(std::string_view name);

}  // namespace ecran::win32
