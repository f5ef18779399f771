#pragma once

// Registration functions of the program memory requirements and of the internal operations
// submodule nn, and the guard against objects used before their __init__.

#include <pybind11/pybind11.h>

namespace vorna::python {

namespace py = pybind11;

// The class ProgramMemoryRequired, then the function get_program_memory_infos.
void register_program_memory_required(py::module_& m);

// The submodule nn with its 21 functions.
void register_nn_ops(py::module_& m);

// Makes every method and property of the classes of `m` and of its submodules refuse, with
// TypeError, an object whose __init__ was never run. Called once all classes are registered.
void guard_uninitialised_instances(py::module_& m);

}  // namespace vorna::python
