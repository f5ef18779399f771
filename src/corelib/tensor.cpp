#include "corelib/tensor.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "program/register.h"

namespace vorna {

namespace {

bool valid_layout(Dense::Layout layout) {
    return layout == Dense::Layout::RowMajor || layout == Dense::Layout::ColMajor;
}

// Bit length of an unsigned value (0 for 0).
int bit_length(uint64_t v) {
    int n = 0;
    while (v != 0) {
        ++n;
        v >>= 1;
    }
    return n;
}

// Two's-complement width of a value including its sign bit; 0 for 0.
int signed_width(int64_t v) {
    if (v == 0) return 0;
    const uint64_t magnitude = v < 0 ? static_cast<uint64_t>(~v) : static_cast<uint64_t>(v);
    return bit_length(magnitude) + 1;
}

template <class T>
int max_signed_width(const Dense& t) {
    const T* p = t.data<T>();
    int bits = 0;
    for (size_t i = 0, n = t.size(); i < n; ++i) {
        const int w = signed_width(static_cast<int64_t>(p[i]));
        if (w > bits) bits = w;
    }
    return bits;
}

template <class T>
int max_unsigned_width(const Dense& t) {
    const T* p = t.data<T>();
    T largest = 0;
    for (size_t i = 0, n = t.size(); i < n; ++i) {
        if (p[i] > largest) largest = p[i];
    }
    return bit_length(static_cast<uint64_t>(largest));
}

}  // namespace

Tensor::Tensor(TensorType type, const Shape& dims) : type_(type), dims_(dims) {}

Tensor::~Tensor() = default;

std::shared_ptr<const Dense> Tensor::ensure_dense(std::shared_ptr<const Tensor> tensor) {
    if (!tensor) throw std::invalid_argument("Tensor::ensure_dense: null tensor.");
    auto dense = std::dynamic_pointer_cast<const Dense>(tensor);
    if (!dense) {
        throw std::runtime_error(
            "Tensor::ensure_dense: conversion of this tensor kind is not implemented.");
    }
    return dense;
}

size_t element_size(TensorType type) {
    switch (type) {
        case TensorType::int32:
        case TensorType::float32:
            return 4;
        case TensorType::int16:
        case TensorType::uint16:
            return 2;
        case TensorType::uint8:
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::uint4:
        case TensorType::uint2:
        case TensorType::bit:
            return 1;
    }
    return 0;
}

Dense::Dense(TensorType type, const Shape& dims, Layout layout, bool zero_fill)
    : Tensor(type, dims), layout_(layout) {
    const size_t esize = element_size(type);
    if (esize == 0) {
        throw std::invalid_argument("Dense: unsupported tensor type " +
                                    std::to_string(static_cast<int>(type)) + ".");
    }
    if (!valid_layout(layout)) {
        throw std::invalid_argument("Dense: unsupported layout " +
                                    std::to_string(static_cast<uint32_t>(layout)) + ".");
    }
    if (dims.count == 0 || dims.count > Shape::MAX_DIMS) {
        throw std::invalid_argument("Dense: a tensor needs 1 to 4 dimensions.");
    }
    uint64_t elements = 1;
    for (uint32_t i = 0; i < dims.count; ++i) {
        if (dims.dims[i] == 0) panic("Cannot have a shape with a dimension set to 0");
        elements *= dims.dims[i];
        if (elements > kMaxTensorElements) {
            throw std::invalid_argument("Dense: too many elements for one tensor.");
        }
    }
    strides_ = eval_strides(dims, layout);
    if (zero_fill) {
        buffer_.assign(static_cast<size_t>(elements) * esize, 0);
    } else {
        buffer_.reserve(static_cast<size_t>(elements) * esize);
    }
}

std::unique_ptr<Dense> Dense::create(TensorType type, const Shape& dims, Layout layout) {
    return std::unique_ptr<Dense>(new Dense(type, dims, layout));
}

std::unique_ptr<Dense> Dense::copy(const char* data, size_t bytes, TensorType type,
                                   const Shape& dims, Layout layout) {
    // The bytes are written once, into storage that was not filled before.
    std::unique_ptr<Dense> t(new Dense(type, dims, layout, false));
    if (bytes != dims.element_count() * element_size(type)) {
        throw std::invalid_argument("Dense::copy: byte count does not match the shape.");
    }
    if (data == nullptr) throw std::invalid_argument("Dense::copy: null source data.");
    t->buffer_.assign(data, data + bytes);
    return t;
}

std::vector<uint32_t> Dense::eval_strides(const Shape& dims, Layout layout) {
    if (!valid_layout(layout)) {
        throw std::invalid_argument("Dense: unsupported layout " +
                                    std::to_string(static_cast<uint32_t>(layout)) + ".");
    }
    const uint32_t n = dims.count < Shape::MAX_DIMS ? dims.count : Shape::MAX_DIMS;
    std::vector<uint32_t> strides(n, 1);
    if (layout == Layout::RowMajor) {
        for (uint32_t i = n; i-- > 1;) strides[i - 1] = strides[i] * dims.dims[i];
    } else {
        for (uint32_t i = 1; i < n; ++i) strides[i] = strides[i - 1] * dims.dims[i - 1];
    }
    return strides;
}

std::vector<std::shared_ptr<const Tensor>> Dense::split(const Dense& tensor) {
    const Shape& dims = tensor.dimensions();
    const size_t esize = element_size(tensor.type());
    Shape frame_dims;
    if (dims.count == 1) {
        frame_dims = Shape{1};
    } else {
        frame_dims = Shape(std::vector<uint32_t>(dims.begin() + 1, dims.end()));
    }
    const std::vector<uint32_t>& src_strides = tensor.strides();
    const size_t frame_elements = frame_dims.element_count();
    const bool contiguous = tensor.layout() == Layout::RowMajor || dims.count == 1;

    std::vector<std::shared_ptr<const Tensor>> frames;
    frames.reserve(dims.dims[0]);
    for (uint32_t i = 0; i < dims.dims[0]; ++i) {
        std::shared_ptr<Dense> frame(new Dense(tensor.type(), frame_dims, Layout::RowMajor));
        uint8_t* dst = frame->buffer_.data();
        const uint8_t* src = tensor.buffer_.data();
        const size_t base = static_cast<size_t>(i) * src_strides[0];
        if (contiguous) {
            std::memcpy(dst, src + base * esize, frame_elements * esize);
        } else {
            // Walk the frame in row-major order and gather each element
            // through the source strides.
            uint32_t coord[Shape::MAX_DIMS] = {0, 0, 0, 0};
            const uint32_t nd = dims.count - 1;
            for (size_t e = 0; e < frame_elements; ++e) {
                size_t off = base;
                for (uint32_t k = 0; k < nd; ++k)
                    off += static_cast<size_t>(coord[k]) * src_strides[k + 1];
                std::memcpy(dst + e * esize, src + off * esize, esize);
                for (uint32_t k = nd; k-- > 0;) {
                    if (++coord[k] < dims.dims[k + 1]) break;
                    coord[k] = 0;
                }
            }
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

size_t Dense::offset_of(std::initializer_list<uint32_t> coords) const {
    const Shape& dims = dimensions();
    if (coords.size() > Shape::MAX_DIMS) panic("Coordinates are out-of-range");
    size_t off = 0;
    size_t k = 0;
    for (uint32_t c : coords) {
        if (k < dims.count) {
            if (c >= dims.dims[k]) panic("Coordinates are out-of-range");
            off += static_cast<size_t>(c) * strides_[k];
        } else if (c != 0) {
            panic("Coordinates are out-of-range");
        }
        ++k;
    }
    return off;
}

void Dense::check_flat(size_t flat) const {
    if (flat >= size()) panic("Coordinates are out-of-range");
}

void Dense::wrong_type(const char* requested) const {
    panic("Wrong requested type %s for a tensor of type %s.", requested, Tensor::type_name(type()));
}

int evaluate_bitwidth(const Dense& tensor) {
    if (element_size(tensor.type()) == 0) {
        throw std::invalid_argument("evaluate_bitwidth: unsupported tensor type.");
    }
    return visit_storage_type(tensor.type(), [&tensor](auto zero) {
        using T = decltype(zero);
        if constexpr (std::is_floating_point_v<T>) {
            return 32;
        } else if constexpr (std::is_signed_v<T>) {
            return max_signed_width<T>(tensor);
        } else {
            return max_unsigned_width<T>(tensor);
        }
    });
}

std::shared_ptr<Dense> get_threshold_t16_from_act_steps(const Dense& act_step) {
    const float* steps = act_step.data<float>();
    std::shared_ptr<Dense> result =
        Dense::create(TensorType::int32, act_step.dimensions(), act_step.layout());
    int32_t* out = result->data<int32_t>();
    for (size_t i = 0, n = act_step.size(); i < n; ++i) {
        const double sixteenths = static_cast<double>(steps[i]) * 16.0;
        // lround of a value outside the int32 range (or NaN) has no
        // meaningful threshold; refuse it instead of wrapping.
        if (!(sixteenths > -2147483648.5 && sixteenths < 2147483647.5)) {
            throw std::invalid_argument("act_step value " + std::to_string(steps[i]) +
                                        " does not fit a 32-bit threshold.");
        }
        out[i] = static_cast<int32_t>(std::lround(sixteenths));
    }
    return result;
}

}  // namespace vorna
