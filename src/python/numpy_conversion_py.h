#pragma once

// Conversions between numpy arrays and core-library tensors.
//
// Arrays going in are asked of NumPy as row-major contiguous arrays of the converter's element
// type (force-cast, so any numeric array, list or scalar sequence is converted) and copied
// once into a new `Dense` of the TensorType the caller chooses (Layout RowMajor). Tensors
// coming out become new numpy arrays that own a copy of the elements; the narrow integer types
// (int4, int2, bit, uint4, uint2) are held one element per byte and come out as int8 or uint8.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <typeinfo>
#include <vector>

#include "corelib/tensor.h"
#include "program/register.h"
#include "python/pybind11_version_py.h"

namespace vorna::python {

namespace py = pybind11;

// Whether `dtype` is equivalent to the numpy dtype of that name ("int8", "float32", ...).
bool dtype_is(const py::dtype& dtype, const char* name);
// Whether two dtypes are equivalent (numpy's dtype equality).
bool dtype_equivalent(const py::dtype& a, const py::dtype& b);

template <class T>
using ContiguousArray = py::array_t<T, py::array::c_style | py::array::forcecast>;

// `source` as a row-major contiguous array of T: the array itself when it already is one,
// otherwise NumPy's conversion (force-cast, so any numeric array, list or scalar sequence is
// converted). Throws std::invalid_argument "Invalid source array." when there is no object or
// NumPy cannot convert it (no Python error stays pending). T is one of int32_t, float, int8_t,
// uint8_t, int16_t and uint16_t.
template <class T>
ContiguousArray<T> contiguous_array(py::handle source);

// The dimensions of an array as a core shape, in numpy order. Throws std::invalid_argument for
// fewer than 1 or more than 4 dimensions ("Cannot instantiate a Dense with <n> dimensions (min
// 1, max 4).\n") or a dimension above 2^32-1, and panics on a dimension of 0.
Shape array_shape(const py::array& array);

// A new dense tensor of type `type` holding a copy of `array` converted to T. T is one of
// int32_t, float, int8_t and uint8_t; the caller picks a `type` whose elements are the size of
// T. Throws std::invalid_argument "Invalid source array." when there is no object or NumPy
// cannot convert it, std::invalid_argument for fewer than 1 or more than 4 dimensions or a
// dimension above 2^32-1, and panics on a dimension of 0.
template <class T>
std::shared_ptr<Dense> dense_from_numpy(py::handle array, TensorType type);

extern template std::shared_ptr<Dense> dense_from_numpy<int32_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<float>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<int8_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> dense_from_numpy<uint8_t>(py::handle, TensorType);

// The same for uint16 and int16 arrays.
std::shared_ptr<Dense> dense_from_numpy_u16(py::handle array, TensorType type);
std::shared_ptr<Dense> dense_from_numpy_i16(py::handle array, TensorType type);

// A new numpy array holding a copy of the tensor's elements. A tensor of layout ColMajor comes
// out with its dimensions (and strides) reversed. A type outside the enumeration throws
// std::runtime_error "Unable to convert a tensor of type <name>\n".
py::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor);

// The number of bits the values of an integer array need (the Python evaluate_bitwidth).
// float32 gives 0 without asking the core library; int32, int16, int8, uint16 and uint8 are
// converted and counted by vorna::evaluate_bitwidth; any other dtype throws
// std::runtime_error "Wrong py::array type: cannot evaluate the bitwidth.".
int array_bitwidth(const py::array& array);

// The labels of a hardware fit run: one signed 32-bit label per element of the array's first
// dimension. The dtype must be one of the integer types int8 .. uint64, otherwise
// std::invalid_argument "fit method expects integers as labels". A label that does not fit in
// 32 bits, or an element that is not a number, is refused by the binding layer's int
// conversion. The HardwareDevice fit binding runs its inference routine with the result.
std::vector<int32_t> labels_from_numpy(const py::array& labels);

}  // namespace vorna::python
