#include "win32/registry_names.h"

#include "text/cp1252.h"

namespace ecran::win32 {

LONG splitSubKeyPath(const char* subKey, PathUse use, std::vector<std::string>& names) {
    names.clear();
    if (subKey == nullptr) return ERROR_SUCCESS;
    const std::string_view path(subKey);
    if (!path.empty() && path.front() == '\\') return ERROR_BAD_PATHNAME;

    const LONG tooLong = use == PathUse::Create ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
    std::size_t pos = 0;
    while (pos < path.size()) {
        // A run of backslashes separates two names like a single one, and
        // backslashes at the end name nothing.
        if (path[pos] == '\\') {
            ++pos;
            continue;
        }
        const std::size_t end = path.find('\\', pos);
        const std::string_view name = path.substr(pos, end == std::string_view::npos ? end : end - pos);
        if (name.size() > kMaxKeyNameLength) return tooLong;
        if (names.size() == kMaxKeyDepth) return tooLong;
        names.emplace_back(name);
        pos += name.size();
    }
    return ERROR_SUCCESS;
}

std::string nameLookupKey(std::string_view name) {
    return text::toUtf8(text::toUpper(name));
}

}  // namespace ecran::win32
