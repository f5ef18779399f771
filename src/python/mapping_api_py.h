#pragma once

// Registration functions of the mapping-facing API: the map constraints with their Python
// overrides, the sequences a mapping produces, and the graph utilities submodule.

#include <pybind11/pybind11.h>

namespace vorna::python {

namespace py = pybind11;

// The class MapConstraints; a Python subclass may override next_layer_handler and select_nps.
void register_map_constraints(py::module_& m);

// The classes ProgramParts, Sequence and Pass, in this order.
void register_sequence_classes(py::module_& m);

// The submodule graph_utils with its nine functions.
void register_graph_utils(py::module_& m);

}  // namespace vorna::python
