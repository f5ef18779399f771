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

// Makes every function, method and property of `m`, of its classes and of its submodules
// refuse, with TypeError, an object whose __init__ was never run, and lets the classes' __new__
// serve only a call of the class. Called once all classes are registered.
void guard_uninitialised_instances(py::module_& m);

// The same refusal for one bound function that no attribute of the module holds (a constructor
// called through a function of the module's own, for instance). A function named __init__ does
// not check its first argument, the object being constructed.
void guard_function_arguments(py::handle function);

}  // namespace vorna::python
