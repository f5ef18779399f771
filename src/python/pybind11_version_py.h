#pragma once

// The binding layer's version this module is written against. The guard of the module's
// objects (instance_guard_py.cpp) reads the binding layer's instance records, function records
// and entry points, whose layout changes between minor versions, so a build against any other
// version stops here rather than producing a module that fails at import or worse. Every
// binding header includes this one.

#include <pybind11/pybind11.h>

#if !defined(PYBIND11_VERSION_MAJOR) || !defined(PYBIND11_VERSION_MINOR) || \
    PYBIND11_VERSION_MAJOR != 3 || PYBIND11_VERSION_MINOR != 1
#error \
    "vorna.core supports pybind11 3.1.x only: the guard of its objects relies on that version's internals."
#endif
