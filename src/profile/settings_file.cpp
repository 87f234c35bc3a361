#include "profile/settings_file.h"

#include "win32/config_dir.h"

namespace ecran::profile {

std::string settingsFilePath() { return win32::configDirectory() + "/" + kSettingsFile; }

}  // namespace ecran::profile
