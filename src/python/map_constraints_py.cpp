// Python class MapConstraints: the caller's options for one map request, and the two hooks
// the mapping engine calls while it places layers (next_layer_handler, select_nps), which a
// Python subclass may override.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "backend/map_constraints.h"
#include "corelib/device.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

// Bridges the two virtual hooks to methods of a Python subclass. An override is looked up
// under "next_layer_handler" and "select_nps"; without one the built-in behaviour runs. A
// Python exception raised by an override leaves as py::error_already_set and crosses the
// mapping engine unchanged, so the caller of the map request sees the same Python exception.
//
// With the smart holder, every shared_ptr handed to C++ from an object of a Python subclass
// keeps that Python object (and so its overrides) alive for as long as C++ holds it.
class PyMapConstraints : public MapConstraints, public py::trampoline_self_life_support {
  public:
    using MapConstraints::MapConstraints;

    void next_layer_handler(const std::string& layer_name) const override {
        PYBIND11_OVERRIDE_NAME(void, MapConstraints, "next_layer_handler", next_layer_handler,
                               layer_name);
    }

    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source_nps, size_t num_nps,
                                      hw::Type type) const override {
        PYBIND11_OVERRIDE_NAME(std::vector<hw::Ident>, MapConstraints, "select_nps", select_nps,
                               source_nps, num_nps, type);
    }
};

}  // namespace

void register_map_constraints(py::module_& m) {
    py::class_<MapConstraints, PyMapConstraints, py::smart_holder>(m, "MapConstraints")
        // A Python subclass gets a PyMapConstraints, MapConstraints itself the plain class.
        // None reaches the constructor as an empty device, which it refuses.
        .def(py::init<const std::shared_ptr<Device>&>(), py::arg("device"),
             "Obtain hardware constraints from a device.\n\n"
             "        Args:\n"
             "            device (:obj:`Device`): the device to map onto.\n        ")
        .def_property_readonly("cnp_max_width_default", &MapConstraints::cnp_max_width_default,
                               "The maximal width to map a CNP.")
        .def_property_readonly("cnp_max_height_default", &MapConstraints::cnp_max_height_default,
                               "The maximal height to map a CNP.")
        .def_property_readonly("cnp_max_filters_default", &MapConstraints::cnp_max_filters_default,
                               "The maximal filters number to map a CNP.")
        .def_property_readonly("device", &MapConstraints::device, "Return the device used.")
        .def_property("cnp_max_width", &MapConstraints::cnp_max_width,
                      &MapConstraints::set_cnp_max_width, "The width to use to map a CNP.")
        .def_property("cnp_max_height", &MapConstraints::cnp_max_height,
                      &MapConstraints::set_cnp_max_height, "The height to use to map a CNP.")
        .def_property("cnp_max_filters", &MapConstraints::cnp_max_filters,
                      &MapConstraints::set_cnp_max_filters,
                      "The filters number to use to map a CNP.")
        .def_property("hwpr_loopitself", &MapConstraints::hwpr_loopitself,
                      &MapConstraints::set_hwpr_loopitself, "The HWPR NP loopitself feature.")
        .def("next_layer", &MapConstraints::next_layer_handler, py::arg("layer_name"),
             "Callback on the layer mapping.\n\n"
             "        Args:\n"
             "            layer_name (str): the layer name.\n        ")
        .def("select_nps", &MapConstraints::select_nps, py::arg("source_nps"), py::arg("num_nps"),
             py::arg("type"),
             "Selection from a predefined list of NPs.\n\n"
             "        Args:\n"
             "            source_nps (list(:obj:`NP.Ident`)): the predefined list of NPs.\n"
             "            num_nps (int): the number of NPs needed.\n"
             "            type (:obj:`NP.Type`): the type of NPs.\n\n"
             "        Returns:\n"
             "            list(:obj:`NP.Ident`): the selected list of NPs.\n        ");
}

}  // namespace vorna::python
