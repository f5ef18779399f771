#pragma once

// Registration functions of the Python API. The module body (module_py.cpp) calls each one at
// its fixed place in the registration order; every function adds its classes, enums,
// functions or submodules to the module (or submodule) it is given.

#include <pybind11/pybind11.h>

namespace vorna::python {

namespace py = pybind11;

}  // namespace vorna::python
