#pragma once

// The Python class Model.

#include <pybind11/pybind11.h>

#include <memory>

#include "corelib/model.h"

namespace vorna::python {

namespace py = pybind11;

// The object behind a Python Model: the core model, owned exclusively.
struct PyModel {
    std::unique_ptr<Model> model;
};

// The class Model: its constructors, graph editing, mapping and read-only properties.
void register_model(py::module_& m);

}  // namespace vorna::python
