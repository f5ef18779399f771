// Conversions between numpy arrays and core-library tensors.

#include "python/numpy_conversion_py.h"

#include <pybind11/stl.h>

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorna::python {

namespace {

// The shared body of the six converters. `ensure` asks NumPy for a row-major contiguous array
// of T, force-cast, always an ndarray (flag word 0x51); a failure leaves no Python error.
template <class T>
std::shared_ptr<Dense> dense_from(py::handle source, TensorType type) {
    using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;
    if (!source) throw std::invalid_argument("Invalid source array.");
    Array array = Array::ensure(source);
    if (!array) throw std::invalid_argument("Invalid source array.");

    const py::ssize_t ndim = array.ndim();
    if (ndim < 1 || ndim > static_cast<py::ssize_t>(Shape::MAX_DIMS)) {
        throw std::invalid_argument("Cannot instantiate a Dense with " + std::to_string(ndim) +
                                    " dimensions (min 1, max 4).\n");
    }
    std::vector<uint32_t> dims;
    uint64_t bytes = sizeof(T);
    for (py::ssize_t i = 0; i < ndim; ++i) {
        const py::ssize_t d = array.shape(i);
        // A shape holds 32-bit dimensions: refuse a larger one instead of truncating it, which
        // would make the shape disagree with the bytes copied.
        if (static_cast<uint64_t>(d) > std::numeric_limits<uint32_t>::max()) {
            throw std::invalid_argument("Cannot instantiate a Dense with a dimension of " +
                                        std::to_string(d) + " (max 4294967295).");
        }
        dims.push_back(static_cast<uint32_t>(d));
        bytes *= static_cast<uint64_t>(d);
    }
    const Shape shape(dims);  // panics on a dimension of 0
    std::unique_ptr<Dense> dense =
        Dense::copy(reinterpret_cast<const char*>(array.data()), static_cast<size_t>(bytes), type,
                    shape, Dense::Layout::RowMajor);
    return std::shared_ptr<Dense>(std::move(dense));
}

struct OutFormat {
    py::ssize_t itemsize;
    const char* format;
};

OutFormat out_format(TensorType type) {
    switch (type) {
        case TensorType::int32:
            return {4, "i"};
        case TensorType::float32:
            return {4, "f"};
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
            return {1, "B"};
        case TensorType::int16:
            return {2, "h"};
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit:
            return {1, "b"};
        case TensorType::uint16:
            return {2, "H"};
    }
    throw std::runtime_error(std::string("Unable to convert a tensor of type ") +
                             Tensor::type_name(type) + "\n");
}

}  // namespace

bool dtype_is(const py::dtype& dtype, const char* name) {
    return py::detail::npy_api::get().PyArray_EquivTypes_(dtype.ptr(), py::dtype(name).ptr());
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
    const OutFormat out = out_format(tensor->type());
    const std::shared_ptr<const Dense> dense = Tensor::ensure_dense(tensor);

    const Shape& dims = dense->dimensions();
    const std::vector<uint32_t>& strides = dense->strides();
    const bool reversed = dense->layout() == Dense::Layout::ColMajor;
    const size_t n = dims.size();
    std::vector<py::ssize_t> shape(n), byte_strides(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t j = reversed ? n - 1 - i : i;
        shape[i] = static_cast<py::ssize_t>(dims[j]);
        byte_strides[i] = static_cast<py::ssize_t>(strides.at(j)) * out.itemsize;
    }
    // Without a base object NumPy copies the elements into memory the new array owns, so the
    // array outlives the tensor.
    py::buffer_info info(const_cast<uint8_t*>(dense->buffer().data()), out.itemsize, out.format,
                         static_cast<py::ssize_t>(n), shape, byte_strides, /*readonly=*/true);
    return py::array(info);
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
