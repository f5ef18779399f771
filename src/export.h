#pragma once

// Marks a function the extension module exports to the core library. Everything is compiled
// with hidden visibility; a marked function gets default visibility, and the module's linker
// version script (src/python/core.exports) then decides which of the marked functions the
// module exports. A marking alone exports nothing.
#define VORNA_EXPORT __attribute__((visibility("default")))
