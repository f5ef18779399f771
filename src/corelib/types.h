#pragma once

// Plain value types and enumerations of the core library: tensor shapes,
// element types, layer kinds and the small records shared by layers,
// back ends and the Python bindings.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vorna {

// Up to four dimensions and the number of them in use. A default-constructed
// Shape has no dimensions (count 0). Unused dimensions are kept at 0.
struct Shape {
    static constexpr uint32_t MAX_DIMS = 4;

    uint32_t dims[MAX_DIMS] = {0, 0, 0, 0};
    uint32_t count = 0;

    Shape() = default;
    // Panics "Cannot have a shape with a dimension set to 0" on a zero
    // dimension; more than four dimensions is an invalid argument.
    Shape(std::initializer_list<uint32_t> d);
    explicit Shape(const std::vector<uint32_t>& d);

    // Number of dimensions in use.
    uint32_t size() const { return count; }
    bool empty() const { return count == 0; }
    // Unchecked access to dimension i (0..3).
    uint32_t operator[](size_t i) const { return dims[i]; }
    const uint32_t* begin() const { return dims; }
    const uint32_t* end() const { return dims + count; }

    // Product of the used dimensions; 0 for a shape without dimensions. A product past 64 bits
    // (dimensions no tensor can hold) gives the largest size_t.
    size_t element_count() const;
    std::vector<uint32_t> to_vector() const;

    bool operator==(const Shape& o) const;
    bool operator!=(const Shape& o) const { return !(*this == o); }

  private:
    void assign(const uint32_t* d, size_t n);
};

// The three-dimensional shape (x, y, c). Unlike the constructors it keeps
// sizes of 0, so that a layer with a degenerate size still builds and the
// mapping checks can report it.
Shape shape3(uint32_t x, uint32_t y, uint32_t c);

// The largest element count of one tensor: its strides are 32-bit.
constexpr uint64_t kMaxTensorElements = 0xFFFFFFFFu;

// A count formed from caller-given sizes (dimensions, kernel sizes, strides, units). Products
// and sums of such sizes are formed with the functions below, in 128 bits, which no product of
// four 32-bit sizes can pass; past 128 bits they stick at the largest value instead of wrapping.
using SizeCount = unsigned __int128;
SizeCount size_product(std::initializer_list<SizeCount> factors);
SizeCount size_sum(SizeCount a, SizeCount b);
// The count as 64 bits; one that does not fit sticks at the largest 64-bit value.
uint64_t saturated64(SizeCount count);

// Decimal text of a count that may pass 64 bits (a product of three 32-bit dimensions).
std::string decimal_text(SizeCount value);

enum class TensorType : int32_t {
    int32 = 0,
    float32 = 1,
    uint8 = 2,
    int16 = 3,
    int8 = 4,
    int4 = 5,
    int2 = 6,
    uint4 = 7,
    uint2 = 8,
    bit = 9,
    uint16 = 10,
};

enum class LayerType : int32_t {
    Unknown = 0,
    InputData = 1,
    InputConvolutional = 2,
    FullyConnected = 3,
    Convolutional = 4,
    SeparableConvolutional = 5,
    Add = 6,
    Concatenate = 12,
    Conv2D = 14,
    InputConv2D = 15,
    DepthwiseConv2D = 16,
    Conv2DTranspose = 17,
    Dequantizer = 19,
    DepthwiseConv2DTranspose = 20,
    BufferTempConv = 21,
    DepthwiseBufferTempConv = 22,
    Dense1D = 25,
    StatefulRecurrent = 26,
    Quantizer = 27,
    MotePostProcessing = 28,
};

enum class ActivationType : int32_t {
    NoActivation = 0,
    ReLU = 1,
    LUT = 2,
};

enum class PoolType : int32_t {
    NoPooling = 0,
    Max = 1,
    Average = 2,
};

enum class Padding : int32_t {
    Valid = 0,
    Same = 1,
    SameUpper = 2,
};

// Padding before and after along y, then before and after along x.
struct PaddingParams {
    int32_t top = 0;
    int32_t bottom = 0;
    int32_t left = 0;
    int32_t right = 0;
};

inline bool operator==(const PaddingParams& a, const PaddingParams& b) {
    return a.top == b.top && a.bottom == b.bottom && a.left == b.left && a.right == b.right;
}
inline bool operator!=(const PaddingParams& a, const PaddingParams& b) { return !(a == b); }

// The kind of hardware unit a layer asks for.
enum class TargetComponent : int32_t {
    None = 0,
    HRC = 1,
    CNP = 2,
    FNP = 3,
    SkipDMA = 4,
    TNP_B = 5,
    TNP_R = 6,
    DMA = 7,
};

enum class BackendType : int32_t {
    Software = 0,
    Hardware = 1,
    Hybrid = 2,
};

enum class LearningType : uint32_t {
    Unsupervised = 0,
};

// A borrowed byte range. A null `data` means "no bytes".
struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

}  // namespace vorna
