#pragma once

// Tensors of the core library. `Dense` is the only concrete kind: a typed
// element buffer with up to four logical dimensions and one of two memory
// layouts. Dimensions are always logical; the layout only changes strides.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "corelib/types.h"
#include "export.h"

namespace vorna {

class Dense;

class Tensor {
  public:
    virtual ~Tensor();

    TensorType type() const { return type_; }
    const Shape& dimensions() const { return dims_; }
    // Number of elements.
    size_t size() const { return dims_.element_count(); }

    // "int32" ... "uint16", "unknown" for any other value. Defined with the
    // Python conversions (src/python/tensor_type_name.cpp).
    VORNA_EXPORT static const char* type_name(TensorType type);

    // A dense view with the same type and dimensions. A Dense comes back as
    // it is (no copy). A null tensor is an invalid argument.
    static std::shared_ptr<const Dense> ensure_dense(std::shared_ptr<const Tensor> tensor);

  protected:
    Tensor(TensorType type, const Shape& dims);

  private:
    TensorType type_;
    Shape dims_;
};

// Bytes used by one element of the given type (the narrow integer types use
// one byte per element). 0 for a value outside the enumeration.
size_t element_size(TensorType type);

// Calls `visit` with a zero of the C type that stores the elements of `type`
// (int32_t; float; uint8_t for uint8, uint4, uint2; int16_t; int8_t for int8,
// int4, int2, bit; uint16_t) and returns what it returns. A value outside the
// enumeration is an invalid argument "Unsupported tensor type.".
template <class Visit>
decltype(auto) visit_storage_type(TensorType type, Visit&& visit) {
    switch (type) {
        case TensorType::int32:
            return visit(int32_t{});
        case TensorType::float32:
            return visit(float{});
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
            return visit(uint8_t{});
        case TensorType::int16:
            return visit(int16_t{});
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit:
            return visit(int8_t{});
        case TensorType::uint16:
            return visit(uint16_t{});
    }
    throw std::invalid_argument("Unsupported tensor type.");
}

class Dense final : public Tensor {
  public:
    // RowMajor (0): last dimension fastest, as numpy.
    // ColMajor (1): first dimension fastest (dimensions stored in reverse).
    enum class Layout : uint32_t {
        RowMajor = 0,
        ColMajor = 1,
    };

    // A zero-filled tensor.
    static std::unique_ptr<Dense> create(TensorType type, const Shape& dims, Layout layout);
    // A tensor holding a copy of `bytes` bytes; the byte count must equal
    // the element count times the element size. Values are copied as they
    // are, also for the narrow types.
    static std::unique_ptr<Dense> copy(const char* data, size_t bytes, TensorType type,
                                       const Shape& dims, Layout layout);
    // One RowMajor copy per index of dimension 0, with the remaining
    // dimensions; a 1-D tensor gives frames of shape (1).
    static std::vector<std::shared_ptr<const Tensor>> split(const Dense& tensor);
    // Element strides, one per used dimension.
    static std::vector<uint32_t> eval_strides(const Shape& dims, Layout layout);

    Layout layout() const { return layout_; }
    const std::vector<uint32_t>& strides() const { return strides_; }
    const std::vector<uint8_t>& buffer() const { return buffer_; }

    // Typed access to the storage. The storage element of each type:
    // int32 int32_t; float32 float; uint8, uint4, uint2 uint8_t; int16
    // int16_t; int8, int4, int2, bit int8_t; uint16 uint16_t. Any other
    // request panics "Wrong requested type %s for a tensor of type %s.".
    template <class T>
    const T* data() const {
        check_type<T>();
        return reinterpret_cast<const T*>(buffer_.data());
    }
    template <class T>
    T* data() {
        check_type<T>();
        return reinterpret_cast<T*>(buffer_.data());
    }

    // Element at logical coordinates (missing trailing coordinates are 0).
    // Panics "Coordinates are out-of-range" when a coordinate is outside
    // its dimension.
    template <class T>
    T get(std::initializer_list<uint32_t> coords) const {
        check_type<T>();
        return reinterpret_cast<const T*>(buffer_.data())[offset_of(coords)];
    }
    // Element at a flat storage position; same range check.
    template <class T>
    T at(size_t flat) const {
        check_type<T>();
        check_flat(flat);
        return reinterpret_cast<const T*>(buffer_.data())[flat];
    }

    // Storage position of the element at the given logical coordinates.
    size_t offset_of(std::initializer_list<uint32_t> coords) const;

    // Whether T is the storage element of `type`.
    template <class T>
    static bool storage_matches(TensorType type) {
        if constexpr (std::is_same_v<T, int32_t>) {
            return type == TensorType::int32;
        } else if constexpr (std::is_same_v<T, float>) {
            return type == TensorType::float32;
        } else if constexpr (std::is_same_v<T, uint8_t>) {
            return type == TensorType::uint8 || type == TensorType::uint4 ||
                   type == TensorType::uint2;
        } else if constexpr (std::is_same_v<T, int16_t>) {
            return type == TensorType::int16;
        } else if constexpr (std::is_same_v<T, int8_t>) {
            return type == TensorType::int8 || type == TensorType::int4 ||
                   type == TensorType::int2 || type == TensorType::bit;
        } else if constexpr (std::is_same_v<T, uint16_t>) {
            return type == TensorType::uint16;
        } else {
            return false;
        }
    }

  private:
    // A zero-filled tensor; with `zero_fill` false, one whose storage is reserved but empty,
    // to be filled by the caller.
    Dense(TensorType type, const Shape& dims, Layout layout, bool zero_fill = true);

    template <class T>
    void check_type() const {
        if (!storage_matches<T>(type())) wrong_type(typeid(T).name());
    }
    [[noreturn]] void wrong_type(const char* requested) const;
    void check_flat(size_t flat) const;

    Layout layout_;
    std::vector<uint32_t> strides_;
    std::vector<uint8_t> buffer_;
};

// Number of bits the values of an integer tensor need: for unsigned types the
// bit length of the largest value; for signed types the largest
// two's-complement width including the sign bit; 0 when every value is 0;
// 32 for float32.
int evaluate_bitwidth(const Dense& tensor);

// Thresholds in sixteenths: an int32 tensor of the same dimensions and layout
// holding lround(step * 16) for each float32 step.
std::shared_ptr<Dense> get_threshold_t16_from_act_steps(const Dense& act_step);

}  // namespace vorna
