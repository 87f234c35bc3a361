#pragma once
// Where the display listens, as its settings file on this machine says.

#include <string>

namespace ecran::sender {

// The port setting of the display (section "ecran", key "port" of
// QUOLVEtavrin.ini), read without seeding: a missing file or key gives "0"
// and nothing is written. Throws SendError when there is no configuration
// directory to read it from.
[[nodiscard]] std::string storedPortText();

// The settings file that storedPortText() reads, for messages.
[[nodiscard]] std::string settingsFilePath();

}  // namespace ecran::sender
