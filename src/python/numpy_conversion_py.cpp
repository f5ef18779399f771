// Conversions between numpy arrays and core-library tensors.

#include "python/numpy_conversion_py.h"

#include <pybind11/stl.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorna::python {

namespace {

// The shared body of the six converters.
template <class T>
std::shared_ptr<Dense> dense_from(py::handle source, TensorType type) {
    const auto array = contiguous_array<T>(source);
    const Shape shape = array_shape(array);
    std::unique_ptr<Dense> dense =
        Dense::copy(reinterpret_cast<const char*>(array.data()), shape.element_count() * sizeof(T),
                    type, shape, Dense::Layout::RowMajor);
    return std::shared_ptr<Dense>(std::move(dense));
}

// The numpy dtype of the arrays made from tensors of the type.
py::dtype out_dtype(TensorType type) {
    if (element_size(type) == 0) {
        throw std::runtime_error(std::string("Unable to convert a tensor of type ") +
                                 Tensor::type_name(type) + "\n");
    }
    return visit_storage_type(type, [](auto zero) { return py::dtype::of<decltype(zero)>(); });
}

}  // namespace

bool dtype_is(const py::dtype& dtype, const char* name) {
    return dtype_equivalent(dtype, py::dtype(name));
}

bool dtype_equivalent(const py::dtype& a, const py::dtype& b) {
    return a.ptr() == b.ptr() || py::detail::npy_api::get().PyArray_EquivTypes_(a.ptr(), b.ptr());
}

template <class T>
ContiguousArray<T> contiguous_array(py::handle source) {
    if (!source) throw std::invalid_argument("Invalid source array.");
    ContiguousArray<T> array = ContiguousArray<T>::ensure(source);
    if (!array) throw std::invalid_argument("Invalid source array.");
    return array;
}

template ContiguousArray<int32_t> contiguous_array<int32_t>(py::handle);
template ContiguousArray<float> contiguous_array<float>(py::handle);
template ContiguousArray<int8_t> contiguous_array<int8_t>(py::handle);
template ContiguousArray<uint8_t> contiguous_array<uint8_t>(py::handle);
template ContiguousArray<int16_t> contiguous_array<int16_t>(py::handle);
template ContiguousArray<uint16_t> contiguous_array<uint16_t>(py::handle);

Shape array_shape(const py::array& array) {
    const py::ssize_t ndim = array.ndim();
    if (ndim < 1 || ndim > static_cast<py::ssize_t>(Shape::MAX_DIMS)) {
        throw std::invalid_argument("Cannot instantiate a Dense with " + std::to_string(ndim) +
                                    " dimensions (min 1, max 4).\n");
    }
    std::vector<uint32_t> dims(static_cast<size_t>(ndim));
    for (py::ssize_t i = 0; i < ndim; ++i) {
        const py::ssize_t d = array.shape(i);
        // A shape holds 32-bit dimensions: refuse a larger one instead of truncating it, which
        // would make the shape disagree with the bytes copied.
        if (static_cast<uint64_t>(d) > std::numeric_limits<uint32_t>::max()) {
            throw std::invalid_argument("Cannot instantiate a Dense with a dimension of " +
                                        std::to_string(d) + " (max 4294967295).");
        }
        dims[static_cast<size_t>(i)] = static_cast<uint32_t>(d);
    }
    return Shape(dims);  // panics on a dimension of 0
}

template <class T>
std::shared_ptr<Dense> dense_from_numpy(py::handle array, TensorType type) {
    return dense_from<T>(array, type);
}

template std::shared_ptr<Dense> dense_from_numpy<int32_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<float>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<int8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<uint8_t>(py::handle, TensorType);

std::shared_ptr<Dense> dense_from_numpy_u16(py::handle array, TensorType type) {
    return dense_from<uint16_t>(array, type);
}

std::shared_ptr<Dense> dense_from_numpy_i16(py::handle array, TensorType type) {
    return dense_from<int16_t>(array, type);
}

py::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor) {
    if (!tensor) throw std::invalid_argument("Cannot convert a null tensor.");
    // The type is checked before anything else is asked of the tensor.
    const py::dtype dtype = out_dtype(tensor->type());
    const std::shared_ptr<const Dense> dense = Tensor::ensure_dense(tensor);

    // A dense tensor's storage is contiguous in the order of its layout: row-major for its
    // dimensions, or for its dimensions reversed when the first dimension is the fastest.
    const Shape& dims = dense->dimensions();
    const bool reversed = dense->layout() == Dense::Layout::ColMajor;
    const size_t n = dims.size();
    std::vector<py::ssize_t> shape(n);
    for (size_t i = 0; i < n; ++i)
        shape[i] = static_cast<py::ssize_t>(dims[reversed ? n - 1 - i : i]);
    // NumPy allocates the array's own memory (a failure raises its MemoryError); the elements
    // are then copied in once, so the array outlives the tensor.
    py::array array(dtype, std::move(shape));
    const std::vector<uint8_t>& bytes = dense->buffer();
    if (static_cast<size_t>(array.nbytes()) != bytes.size()) {
        throw std::logic_error("The storage of a tensor does not match its dimensions.");
    }
    std::memcpy(array.mutable_data(), bytes.data(), bytes.size());
    return array;
}

int array_bitwidth(const py::array& array) {
    const py::dtype dtype = array.dtype();
    if (dtype_is(dtype, "float32")) return 0;
    if (dtype_is(dtype, "int32")) {
        return evaluate_bitwidth(*dense_from_numpy<int32_t>(array, TensorType::int32));
    }
    if (dtype_is(dtype, "int16")) {
        return evaluate_bitwidth(*dense_from_numpy_i16(array, TensorType::int16));
    }
    if (dtype_is(dtype, "int8")) {
        return evaluate_bitwidth(*dense_from_numpy<int8_t>(array, TensorType::int8));
    }
    if (dtype_is(dtype, "uint16")) {
        return evaluate_bitwidth(*dense_from_numpy_u16(array, TensorType::uint16));
    }
    if (dtype_is(dtype, "uint8")) {
        return evaluate_bitwidth(*dense_from_numpy<uint8_t>(array, TensorType::uint8));
    }
    throw std::runtime_error("Wrong py::array type: cannot evaluate the bitwidth.");
}

std::vector<int32_t> labels_from_numpy(const py::array& labels) {
    static const char* const kIntegerTypes[] = {"int8",  "uint8",  "int16", "uint16",
                                                "int32", "uint32", "int64", "uint64"};
    const py::dtype dtype = labels.dtype();
    bool integer = false;
    for (const char* name : kIntegerTypes) {
        if (dtype_is(dtype, name)) {
            integer = true;
            break;
        }
    }
    if (!integer) throw std::invalid_argument("fit method expects integers as labels");
    return labels.cast<std::vector<int32_t>>();
}

}  // namespace vorna::python
