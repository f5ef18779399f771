#pragma once

// Marks a function the extension module exports to the core library, or a class whose vtable
// and type information it exports (the core library creates it or calls it through virtual
// operations). Everything is compiled with hidden visibility; a marked function or class gets
// default visibility, and the module's linker version script (src/python/core.exports) then
// decides which of the marked symbols the module exports. A marking alone exports nothing.
#define VORNA_EXPORT __attribute__((visibility("default")))
