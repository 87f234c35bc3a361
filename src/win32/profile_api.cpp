#include "win32/profile_api.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32/config_dir.h"
#include "win32/error_api.h"
#include "win32/ini_document.h"
#include "win32/ini_file.h"
#include "win32/ini_value.h"

// kernel32's private profile functions over INI files. How a file is read and
// edited is in ini_document.h, how a value is written in ini_value.h, how a
// file is replaced in ini_file.h.

namespace {

using ecran::win32::ini::IniDocument;

// Windows' answer to a NULL file name: the system's own profile.
constexpr const char* kSystemProfile = "win.ini";

// The default without its trailing blanks: Windows puts a NUL over them.
std::string_view defaultText(LPCSTR lpDefault) {
    std::string_view text = lpDefault ? lpDefault : "";
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// One string, cut to nSize - 1 characters, NUL-terminated; the count
// without the NUL.
DWORD copyString(std::string_view text, LPSTR out, DWORD nSize) {
    const std::size_t n = std::min<std::size_t>(text.size(), nSize - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<DWORD>(n);
}

// A list of names, each followed by a NUL, with a second NUL at the end.
// When it does not fit, Windows cuts the last name that fits in part, ends
// the buffer with two NULs and returns nSize - 2.
DWORD copyList(const std::vector<std::string>& names, LPSTR out, DWORD nSize) {
    std::string joined;
    for (const auto& name : names) {
        joined += name;
        joined += '\0';
    }
    if (joined.size() < nSize) {
        std::memcpy(out, joined.data(), joined.size());
        out[joined.size()] = '\0';
        return static_cast<DWORD>(joined.size());
    }
    if (nSize < 2) {
        out[0] = '\0';
        return 0;
    }
    std::memcpy(out, joined.data(), nSize - 2);
    out[nSize - 2] = '\0';
    out[nSize - 1] = '\0';
    return nSize - 2;
}

// Names that the file could not hold as they are. Windows writes them anyway
// and corrupts the file (a key "a=b" reads back as key "a"; a line break in a
// name starts a new line; a key ";k" is written as a comment and never read
// back); these are refused instead.
bool validSectionName(std::string_view name) { return name.find_first_of("\r\n]") == std::string_view::npos; }

bool validKeyName(std::string_view name) {
    if (name.find_first_of("\r\n=") != std::string_view::npos) return false;
    const std::string_view trimmed = ecran::win32::ini::trimBlanks(name);
    return trimmed.empty() || (trimmed.front() != '[' && trimmed.front() != ';');
}

BOOL refuse(std::string what, DWORD code = ERROR_INVALID_PARAMETER) {
    SetLastError(code);
    ecran::win32::setProfileFailure(std::move(what));
    return FALSE;
}

}  // namespace

extern "C" {

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName) {
    using namespace ecran::win32;
    if (!lpReturnedString || nSize == 0) return 0;
    try {
        clearProfileFailure();
        SetLastError(ERROR_SUCCESS);
        const std::string_view fallback = defaultText(lpDefault);
        // A missing file reads as an empty one; an unreadable one too (the
        // reason stays in lastProfileFailure()).
        LoadedFile file;
        const ProfilePath target = resolveProfilePath(lpFileName ? lpFileName : kSystemProfile);
        if (!target.path.empty()) file = loadProfileFile(target.path);
        if (file.status == LoadStatus::Missing) SetLastError(ERROR_FILE_NOT_FOUND);
        const IniDocument doc = IniDocument::parse(file.bytes);

        if (!lpAppName) return copyList(doc.sectionNames(), lpReturnedString, nSize);
        if (!lpKeyName) {
            // A missing or empty section gives the default, as for a key.
            const auto keys = doc.keyNames(lpAppName);
            if (!keys || keys->empty()) return copyString(fallback, lpReturnedString, nSize);
            return copyList(*keys, lpReturnedString, nSize);
        }
        const std::optional<std::string> value = doc.value(lpAppName, lpKeyName);
        return copyString(value ? std::string_view(*value) : fallback, lpReturnedString, nSize);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        setProfileFailure("out of memory");
        lpReturnedString[0] = '\0';
        return 0;
    }
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName) {
    using namespace ecran::win32;
    try {
        clearProfileFailure();
        SetLastError(ERROR_SUCCESS);
        if (!lpAppName) {
            // All three NULL: Windows flushes its cache; there is none here.
            if (!lpKeyName && !lpString) return TRUE;
            return refuse("no section name");
        }
        if (!validSectionName(lpAppName)) return refuse("a section name cannot hold ']' or a line break");
        if (lpKeyName && !validKeyName(lpKeyName))
            return refuse("a key name cannot hold '=' or a line break, nor begin with '[' or ';'");

        const ProfilePath target = resolveProfilePath(lpFileName ? lpFileName : kSystemProfile);
        if (target.path.empty())
            return refuse(target.inConfigDirectory ? noConfigDirectoryReason() : "no profile file name");

        const std::string section = lpAppName;
        const std::string key = lpKeyName ? lpKeyName : "";
        const std::string value = lpString ? lpString : "";
        const auto edit = [&](const std::string& current) -> std::optional<std::string> {
            IniDocument doc = IniDocument::parse(current);
            const bool changed = !lpKeyName ? doc.removeSection(section)
                                 : !lpString ? doc.removeKey(section, key)
                                             : doc.setValue(section, key, value);
            if (!changed) return std::nullopt;
            return doc.bytes();
        };
        return updateProfileFile(target, edit) ? TRUE : FALSE;
    } catch (const std::bad_alloc&) {
        return refuse("out of memory", ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // extern "C"
