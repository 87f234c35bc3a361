#include "ecran-send/display_port.h"

#include "ecran-send/errors.h"
#include "profile/profile_value.h"
#include "profile/settings_file.h"
#include "win32/config_dir.h"

namespace ecran::sender {

std::string storedPortText() {
    if (win32::configDirectory().empty()) throw SendError(win32::noConfigDirectoryReason() + ": give the port with --port");
    return profile::ProfileValue("ecran", "port", "0", profile::kSettingsFile, profile::kReadMode);
}

std::string settingsFilePath() { return profile::settingsFilePath(); }

}  // namespace ecran::sender
