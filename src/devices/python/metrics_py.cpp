// Python class Metrics.

#include "devices/python/metrics_py.h"

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "python/registration_py.h"

namespace vorna::python {

void register_metrics(py::module_& m) {
    py::class_<PyMetrics>(m, "Metrics", "A set of 64-bit integer metrics indexed by name.")
        .def_property_readonly(
            "names",
            [](const PyMetrics& self) {
                py::list names;
                for (const auto& entry : self.values) names.append(py::str(entry.first));
                return names;
            },
            "The list of metrics names")
        .def("__getitem__", [](const PyMetrics& self, const std::string& name) {
            auto it = self.values.find(name);
            if (it == self.values.end()) throw std::invalid_argument(name + " : no such metrics");
            return it->second;
        });
}

}  // namespace vorna::python
