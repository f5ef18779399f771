// Python Variables (a layer's named tensors as numpy arrays) and evaluate_bitwidth.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "python/layer_api_py.h"
#include "python/numpy_conversion_py.h"

namespace vorna::python {

namespace {

// The numpy dtype an array must have to replace a variable of the given type; null for a
// type outside the enumeration.
const char* required_dtype(TensorType type) {
    switch (type) {
        case TensorType::int32:
            return "int32";
        case TensorType::float32:
            return "float32";
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
            return "uint8";
        case TensorType::int16:
            return "int16";
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit:
            return "int8";
        case TensorType::uint16:
            return "uint16";
    }
    return nullptr;
}

// Converts the array with the converter of the type's family; the tensor gets the variable's
// own type, so an int8 array given to an int4 variable becomes an int4 tensor.
std::shared_ptr<Dense> convert_for(TensorType type, const py::array& value) {
    switch (type) {
        case TensorType::int32:
            return dense_from_numpy<int32_t>(value, type);
        case TensorType::float32:
            return dense_from_numpy<float>(value, type);
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
            return dense_from_numpy<uint8_t>(value, type);
        case TensorType::int16:
            return dense_from_numpy_i16(value, type);
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit:
            return dense_from_numpy<int8_t>(value, type);
        case TensorType::uint16:
            return dense_from_numpy_u16(value, type);
    }
    throw std::invalid_argument("Unsupported variable type.");
}

// Replaces the variable with a new tensor holding a copy of the array; the old tensor is never
// changed (a copy of a model may share it). Nothing changes when the array is refused.
void set_variable(Variables& variables, const std::string& name, const py::array& value) {
    const TensorType type = variables.get(name)->type();
    const std::string received = py::str(value.dtype());
    const char* required = required_dtype(type);
    if (required == nullptr) {
        throw std::invalid_argument("Unsupported variable type for " + name + " " + received);
    }
    if (!dtype_is(value.dtype(), required)) {
        throw std::invalid_argument("Unsupported variable type for " + name + " expected " +
                                    required + " received " + received);
    }
    variables.set(name, convert_for(type, value));
}

constexpr const char* kEvaluateBitwidthDoc =
    R"(Evalutate the maximum bitwidth that the values of the variable take.

Args:
    variable (:obj:`numpy.ndarray`): the array on which the bitwidth is evaluated.

Returns:
    int: the number of bits.
)";

}  // namespace

void register_variables(py::module_& m) {
    // No constructor: Variables are reached through Layer.variables.
    py::class_<Variables, std::shared_ptr<Variables>>(m, "Variables")
        .def_property_readonly("names", &Variables::names)
        .def("__getitem__",
             [](const Variables& variables, const std::string& name) {
                 return tensor_to_numpy(variables.get(name));
             })
        .def("__setitem__", &set_variable);
}

void register_evaluate_bitwidth(py::module_& m) {
    m.def("evaluate_bitwidth", &array_bitwidth, py::arg("variable"), kEvaluateBitwidthDoc);
}

}  // namespace vorna::python
