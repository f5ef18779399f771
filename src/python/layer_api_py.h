#pragma once

// Registration functions of the layer API: layers and their mappings, the layer enumerations
// with LayerParams, the optimizer, variables and evaluate_bitwidth. The module body calls them
// in this order.

#include <pybind11/pybind11.h>

namespace vorna::python {

namespace py = pybind11;

// The class Layer and its nested class Layer.Mapping.
void register_layer(py::module_& m);

// The enums LayerType, Padding, PoolType and ActivationType (members exported into the
// module), then the class LayerParams.
void register_layer_params(py::module_& m);

// The class Optimizer and the factory function VornaUnsupervised.
void register_optimizer(py::module_& m);

// The class Variables.
void register_variables(py::module_& m);

// The function evaluate_bitwidth.
void register_evaluate_bitwidth(py::module_& m);

}  // namespace vorna::python
