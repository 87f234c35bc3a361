#include "ecran-send/display_port.h"

#include "profile/profile_value.h"
#include "win32/config_dir.h"

namespace ecran::sender {

std::string storedPortText() {
    return profile::ProfileValue("ecran", "port", "0", "QUOLVEtavrin.ini", profile::kReadMode);
}

std::string settingsFilePath() { return win32::configDirectory() + "/QUOLVEtavrin.ini"; }

}  // namespace ecran::sender
