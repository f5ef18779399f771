// Python LayerParams and the enumerations layer parameters are written in.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/params.h"
#include "corelib/types.h"
#include "python/enums_py.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

// Names under which a pair of related parameters is read together, with their parts in order.
// Built when the module's file is loaded and only read afterwards.
const std::map<std::string, std::vector<std::string>> compound_param_names = {
    {"kernel_size", {"kernel_width", "kernel_height"}},
    {"kernel_stride", {"stride_x", "stride_y"}},
    {"pool_size", {"pooling_width", "pooling_height"}},
    {"pool_stride", {"pooling_stride_x", "pooling_stride_y"}},
};

// The value behind LayerParams.get and attribute access: a key of the parameters (which wins
// over a compound name written the same way) gives an int, a compound name the list of its
// parts' values. The parts are asked of the parameters directly, so a missing part is
// reported by the parameters themselves.
py::object get_param_value(const LayerParams& params, const std::string& key) {
    for (const std::string& existing : params.keys()) {
        if (existing == key) return py::int_(params.get(key));
    }
    const auto compound = compound_param_names.find(key);
    if (compound != compound_param_names.end()) {
        py::list values;
        for (const std::string& part : compound->second) values.append(params.get(part));
        return std::move(values);
    }
    throw std::invalid_argument("Key " + key + " not found");
}

constexpr const char* kInitDoc = R"(Create a generic LayerParams object.

Args:
    layer_type (:obj:`LayerType`): the type of layer.
    entries (dict): a dictionary of key (string) and value (int) pairs.
)";

constexpr const char* kGetDoc = R"(Retrieve a value from the LayerParams object.

Args:
    key (str): the name of the value.

Returns:
    int or list of int: the value, or the values of a compound name.

Raises:
    ValueError: if the value is not present.
)";

constexpr const char* kHasDoc = R"(Check if a key is present in the LayerParams object.

Args:
    key (str): the name of the value.

Returns:
    bool: True when the key is present.
)";

}  // namespace

void register_layer_params(py::module_& m) {
    auto layer_type = register_layer_type_enum(m);
    add_layer_type_members(layer_type);

    auto padding = register_padding_enum(m);
    add_padding_members(padding);

    py::enum_<PoolType>(m, "PoolType", "The pooling type")
        .value("NoPooling", PoolType::NoPooling, "No pooling applied")
        .value("Max", PoolType::Max, "Maximum pixel value is selected")
        .value("Average", PoolType::Average, "Average pixel value is selected")
        .export_values();

    py::enum_<ActivationType>(m, "ActivationType", "The activation type")
        .value("NoActivation", ActivationType::NoActivation, "No activation is applied")
        .value("ReLU", ActivationType::ReLU, "ReLU activation is selected")
        .value("LUT", ActivationType::LUT, "LUT activation is selected")
        .export_values();

    // The default unique holder serves objects that own their parameters (__init__,
    // __copy__); Layer.parameters hands out non-owning views of a layer's parameters.
    py::class_<LayerParams>(m, "LayerParams", "Parameters dictionary for layers")
        .def(py::init([](LayerType type, const std::map<std::string, int>& entries) {
                 return LayerParams::create(type, entries);
             }),
             py::arg("layer_type"), py::arg("entries"), kInitDoc)
        .def("get", &get_param_value, py::arg("key"), kGetDoc)
        .def("__copy__", [](const LayerParams& params) { return LayerParams::clone(&params); })
        .def("__getattr__", &get_param_value, py::arg("key"))
        .def("__dir__", [](const LayerParams& params) { return params.keys(); })
        .def("has", &LayerParams::has, py::arg("key"), kHasDoc)
        .def_property_readonly("layer_type", &LayerParams::layer_type);
}

}  // namespace vorna::python
