#pragma once

namespace ecran::display {

// The program's version, as printed by --version and in the start-up line.
[[nodiscard]] const char* version() noexcept;

}  // namespace ecran::display
