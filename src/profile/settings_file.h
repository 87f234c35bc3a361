#pragma once
// The display's settings file: its port, who may send to it, its fleet link
// and its last message. The display, ecran-send and ecran-config all read it.

#include <string>

namespace ecran::profile {

// A bare name: the file lives in the configuration directory.
inline constexpr const char* kSettingsFile = "QUOLVEtavrin.ini";

// Where that is now, for messages; what follows "/" alone when there is no
// configuration directory (see win32::configDirectory()).
[[nodiscard]] std::string settingsFilePath();

}  // namespace ecran::profile
