#include "profile/profile_value.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "errors/error.h"
#include "errors/report.h"
#include "profile/registry_path.h"
#include "win32/ini_file.h"
#include "win32/profile_api.h"

namespace ecran::profile {

namespace {

// Section and key travel in fields of 600 characters; the profile functions
// see a name up to its first NUL, so a longer name is cut to 600.
constexpr std::size_t kNameField = 600;
// The read buffer holds 600 characters, but only 590 are declared to the
// read function: a value comes back as at most 589 characters.
constexpr std::size_t kReadBuffer = 600;
constexpr DWORD kDeclaredReadSize = kLongestReadValue + 1;

// Errors written into the last-error record (the numbers the program's
// runtime gives these failures).
constexpr std::int32_t kInvalidArgument = 5;
constexpr std::int32_t kFileAccessError = 75;
constexpr const char* kSource = "ProfileValue";

std::string nameField(const std::string& name) {
    const std::size_t end = std::min({name.find('\0'), name.size(), kNameField});
    return name.substr(0, end);
}

// The program's own INI file: beside the executable, named after it without
// its extension, ".ini" added.
std::string ownIniFile() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) throw errors::Error(kFileAccessError, kSource, "Cannot find the program's own file: " + ec.message());
    return (exe.parent_path() / exe.stem()).string() + ".ini";
}

// A failure of the profile functions goes into the last-error record and on
// stderr, so that a message that could not be stored is not lost unseen. The
// display writes after every datagram: one failure (a read-only file, a lock
// another process holds) is said once, then its repeats are summarised.
void reportFailure(const std::string& what) {
    const std::string line = "ProfileValue: " + what;
    errors::reports().report(line, line);
    throw errors::Error(kFileAccessError, kSource, what);
}

void writeIni(const std::string& section, const std::string& key, const std::string& value,
              const std::string& fileName) {
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), fileName.c_str()))
        reportFailure(win32::lastProfileFailure());
    if (value.find('\0') != std::string::npos) {
        // The profile functions take C strings: only the text before the
        // first NUL was stored, as Windows would store it. Say so, once per
        // setting and then as a summary at most once a minute: a sender that
        // puts NULs in every datagram must not fill the display's log.
        const std::string what = "the value for [" + section + "] " + key + " in '" + fileName +
                                 "' holds a NUL character; only the text before it was stored";
        errors::reports().report("ProfileValue NUL [" + section + "] " + key + " " + fileName,
                                 "ProfileValue: " + what);
        throw errors::Error(kInvalidArgument, kSource, what);
    }
}

std::string registryBranch(const std::string& section, const std::string& key, const std::string& value,
                           const std::string& fileName, std::int16_t mode, errors::ContinueOnError& onError) {
    std::string result;
    const std::string fullKeyPath = fileName.substr(1) + "\\" + section;
    if (mode == kWriteMode) {
        onError.step([&] { SetRegistryPathValue(fullKeyPath, key, value); });
        onError.step([&] { result = value; });
        return result;
    }
    std::string stored;
    onError.step([&] { stored = GetRegistryPathValue(fullKeyPath, key); });
    if (stored.empty()) {
        // Nothing stored (or nothing readable): the default, seeded in
        // read-and-seed mode. A stored value equal to the default is not
        // written again.
        if (mode == kReadAndSeedMode) onError.step([&] { SetRegistryPathValue(fullKeyPath, key, value); });
        onError.step([&] { result = value; });
    } else {
        onError.step([&] { result = stored; });
    }
    return result;
}

}  // namespace

std::string ProfileValue(std::string section, std::string key, std::string value, std::string fileName,
                         std::int16_t mode) {
    errors::ContinueOnError onError;
    std::string result;

    if (fileName.empty()) onError.step([&] { fileName = ownIniFile(); });
    const std::string sectionField = nameField(section);
    const std::string keyField = nameField(key);

    // Only the first character of the file name is looked at for "$", and
    // "$" alone is an INI file name.
    if (fileName.size() >= 2 && fileName[0] == '$')
        return registryBranch(section, key, value, fileName, mode, onError);

    if (mode == kWriteMode) {
        onError.step([&] { writeIni(sectionField, keyField, value, fileName); });
        onError.step([&] { result = value; });
        return result;
    }

    std::array<char, kReadBuffer> buffer{};
    std::int16_t count = 0;
    bool unreadable = false;
    onError.step([&] {
        const DWORD n = GetPrivateProfileStringA(sectionField.c_str(), keyField.c_str(), value.c_str(),
                                                 buffer.data(), kDeclaredReadSize, fileName.c_str());
        unreadable = !win32::lastProfileFailure().empty();
        if (n > static_cast<DWORD>(INT16_MAX)) throw errors::overflowError();
        count = static_cast<std::int16_t>(n);
    });
    if (unreadable) onError.step([&] { reportFailure(win32::lastProfileFailure()); });

    if (count == 0) {
        if (mode == kReadAndSeedMode) onError.step([&] { writeIni(sectionField, keyField, value, fileName); });
        onError.step([&] { result = value; });
        return result;
    }
    const std::string read(buffer.data(), static_cast<std::size_t>(count));
    if (read == value && mode == kReadAndSeedMode) {
        // One level only: the inner call is in write mode.
        onError.step([&] { result = ProfileValue(section, key, value, fileName, kWriteMode); });
        return result;
    }
    onError.step([&] { result = read; });
    return result;
}

}  // namespace ecran::profile
