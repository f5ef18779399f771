// Python Variables (a layer's named tensors as numpy arrays) and evaluate_bitwidth.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "python/numpy_conversion_py.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

bool first_dimension_fastest(const Tensor& tensor) {
    const auto* dense = dynamic_cast<const Dense*>(&tensor);
    return dense != nullptr && dense->layout() == Dense::Layout::ColMajor;
}

// The shape numpy shows for a tensor: its dimensions, reversed when the first dimension is
// the fastest (see tensor_to_numpy).
Shape numpy_view(const Tensor& tensor) {
    Shape view = tensor.dimensions();
    if (first_dimension_fastest(tensor)) std::reverse(view.dims, view.dims + view.count);
    return view;
}

// Replaces the variable with a new tensor of the variable's own type holding a copy of the
// array, converted to T by the converter of the type's family (an int8 array given to an int4
// variable becomes an int4 tensor). The array must have exactly the shape that reading the
// variable gives: where a variable's storage order and its read order give one shape, an array
// in another order would be taken without a word, so no other order is accepted. The variable
// keeps its dimensions and layout, so every later read and set sees the shape it had.
template <class T>
void set_from(Variables& variables, const std::string& name, const Tensor& current,
              const py::array& value) {
    // Compared by numpy's dtype equality: nothing is cast.
    const py::dtype required = py::dtype::of<T>();
    if (!dtype_equivalent(value.dtype(), required)) {
        throw std::invalid_argument("Unsupported variable type for " + name + " expected " +
                                    std::string(py::str(required)) + " received " +
                                    std::string(py::str(value.dtype())));
    }
    // The shape is the array's own: compared before anything is converted, so that a refused
    // array (a broadcast view of any size, say) is never copied.
    const Shape given = array_shape(value);
    const Shape view = numpy_view(current);
    if (given != view) {
        throw std::invalid_argument("Cannot set variable '" + name + "' of shape " +
                                    shape_text(view) + " from an array of shape " +
                                    shape_text(given) + ".");
    }
    const ContiguousArray<T> array = contiguous_array<T>(value);  // no copy for a right array
    // The array read in its own row-major order is the variable's storage: the new tensor takes
    // the variable's dimensions and layout (as the core re-tags a row-major tensor of reversed
    // dimensions), without a second copy.
    const Dense::Layout layout = given.size() >= 2 && first_dimension_fastest(current)
                                     ? Dense::Layout::ColMajor
                                     : Dense::Layout::RowMajor;
    variables.set(name, Dense::copy(reinterpret_cast<const char*>(array.data()),
                                    given.element_count() * sizeof(T), current.type(),
                                    current.dimensions(), layout));
}

// Replaces the variable with a new tensor holding a copy of the array; the old tensor is never
// changed (a copy of a model may share it). Nothing changes when the array is refused.
void set_variable(Variables& variables, const std::string& name, const py::array& value) {
    const std::shared_ptr<Tensor> current = variables.get(name);
    const TensorType type = current->type();
    if (element_size(type) == 0) {
        throw std::invalid_argument("Unsupported variable type for " + name + " " +
                                    std::string(py::str(value.dtype())));
    }
    visit_storage_type(
        type, [&](auto zero) { set_from<decltype(zero)>(variables, name, *current, value); });
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
