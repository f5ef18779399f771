#pragma once

namespace vorna {

// Version text of the core library; also the package's __version__.
const char* version();

}  // namespace vorna
