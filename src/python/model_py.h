#pragma once

// The Python class Model.

#include <pybind11/pybind11.h>

#include <memory>
#include <vector>

#include "corelib/model.h"
#include "devices/power_meter.h"
#include "devices/python/metrics_py.h"
#include "python/pybind11_version_py.h"

namespace vorna::python {

namespace py = pybind11;

// The object behind a Python Model: the core model, owned exclusively, the metrics of its
// runs and the power events of its last inference.
struct PyModel {
    std::unique_ptr<Model> model;
    PyMetrics metrics;
    std::vector<PowerMeter::PowerEvent> power_events;
};

// The class Model: its constructors, graph editing, mapping and read-only properties.
void register_model(py::module_& m);

}  // namespace vorna::python
