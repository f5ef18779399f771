#pragma once

// Registration functions of the Python API. The module body (module_py.cpp) calls each one at
// its fixed place in the registration order; every function adds its classes, enums,
// functions or submodules to the module (or submodule) it is given. Each group of
// registrations declares its functions in its own header, gathered here.

#include <pybind11/pybind11.h>

#include "devices/python/registration_py.h"
#include "python/enums_py.h"

namespace vorna::python {

namespace py = pybind11;

}  // namespace vorna::python
