#include "corelib/version.h"

namespace vorna {

const char* version() { return VORNA_VERSION; }

}  // namespace vorna
