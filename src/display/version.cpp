#include "display/version.h"

namespace ecran::display {

const char* version() noexcept { return ECRAN_VERSION; }

}  // namespace ecran::display
