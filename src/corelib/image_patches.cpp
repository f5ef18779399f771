// Geometry of a window sliding over the (x, y) plane of an input.

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "corelib/ops.h"

namespace vorna {
namespace {

struct Axis {
    int64_t out = 0;
    int64_t before = 0;
    int64_t after = 0;
};

Axis axis(int64_t n, int64_t k, int64_t s, Padding padding) {
    Axis a;
    if (padding == Padding::Valid) {
        a.out = n < k ? 0 : (n - k) / s + 1;
        return a;
    }
    a.out = (n + s - 1) / s;
    int64_t total = (a.out - 1) * s + k - n;
    if (total < 0) total = 0;
    a.before = padding == Padding::Same ? total / 2 : total - total / 2;
    a.after = total - a.before;
    return a;
}

int32_t to_int32(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("ImagePatches: incompatible shapes.");
    }
    return static_cast<int32_t>(v);
}

}  // namespace

ImagePatches::ImagePatches(int window_x, int window_y, int stride_x_, int stride_y_,
                           Padding padding, const Shape& input) {
    if (input.size() < 3) throw std::invalid_argument("ImagePatches: incompatible shapes.");
    if (window_x < 1 || window_y < 1 || stride_x_ < 1 || stride_y_ < 1 ||
        stride_x_ > std::numeric_limits<int8_t>::max() ||
        stride_y_ > std::numeric_limits<int8_t>::max()) {
        throw std::invalid_argument("ImagePatches: invalid window or stride.");
    }
    if (padding != Padding::Valid && padding != Padding::Same && padding != Padding::SameUpper) {
        throw std::invalid_argument("ImagePatches: invalid padding.");
    }
    const uint32_t n = input.size();
    const Axis x = axis(input[n - 3], window_x, stride_x_, padding);
    const Axis y = axis(input[n - 2], window_y, stride_y_, padding);
    pad_left = to_int32(x.before);
    pad_right = to_int32(x.after);
    pad_top = to_int32(y.before);
    pad_bottom = to_int32(y.after);
    // An output size never exceeds its input size, which is a 32-bit dimension.
    out_width = static_cast<uint32_t>(x.out);
    out_height = static_cast<uint32_t>(y.out);
    stride_x = static_cast<int8_t>(stride_x_);
    stride_y = static_cast<int8_t>(stride_y_);
}

}  // namespace vorna
