#pragma once

// Reference kernels of the core library: the integer operations that layers perform in
// software, one function per operation, on dense tensors.
//
// Conventions shared by every kernel:
// - Spatial tensors are (x, y, c): width first, then height, channels last. Convolution
//   weights are (kx, ky, c, f). "Per channel" parameters hold one value per element of the
//   last dimension of the first argument.
// - Inputs are read through their strides, so both layouts are accepted; results are new
//   RowMajor tensors.
// - "saturate(c)" clamps a result to the signed range of c bits when 0 < c < 32, and to the
//   int32 range otherwise. Intermediate sums are computed in 64 bits and saturate at every
//   addition, so a sum that would leave the int64 range stays at its bound.
// - A shift by a negative amount is a right shift rounded to nearest (ties toward +inf);
//   shift amounts are bounded so that no shift is undefined.
// - Arguments whose shapes do not fit together throw std::invalid_argument
//   "<kernel>: incompatible shapes."; an element type other than the one documented throws
//   std::invalid_argument "<kernel>: incompatible types.". A kernel never reads outside its
//   tensors.

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "corelib/tensor.h"
#include "corelib/types.h"

namespace vorna {

// Geometry of a two-dimensional window sliding over the (x, y) plane of an input whose last
// three dimensions are (x, y, c). Output sizes per axis: Valid (n - k) / s + 1 (0 when n < k);
// Same and SameUpper ceil(n / s). Total padding per axis max((out - 1) * s + k - n, 0); Same
// puts total / 2 before (left, top) and the rest after; SameUpper puts the larger half before.
// Throws std::invalid_argument "ImagePatches: invalid window or stride." for a window or
// stride below 1 or a stride above 127, and "ImagePatches: incompatible shapes." for a shape
// with fewer than three dimensions or sizes that do not fit the fields.
class ImagePatches {
  public:
    ImagePatches(int window_x, int window_y, int stride_x, int stride_y, Padding padding,
                 const Shape& input);

    int32_t pad_left = 0;     // P1
    int32_t pad_right = 0;    // P2
    int32_t pad_top = 0;      // P3
    int32_t pad_bottom = 0;   // P4
    uint32_t out_width = 0;   // U1
    uint32_t out_height = 0;  // U2
    int8_t stride_x = 0;      // S1
    int8_t stride_y = 0;      // S2
};

namespace ops {

using DensePtr = std::shared_ptr<Dense>;
using ConstDensePtr = std::shared_ptr<const Dense>;

// int32 A * 2^B[ch] (B uint8, per channel), saturate(c).
DensePtr lshift(const Dense& a, const Dense& b, int c);
// int32 A shifted by the signed per-channel amount B (int8): left when B >= 0, rounded right
// when B < 0; saturate(c).
DensePtr shift(const Dense& a, const Dense& b, int c);
// As `shift`, then clipped to the unsigned range of c bits when c > 0 (to [0, 2^31 - 1] from
// 31 bits on); saturate to int32 when c <= 0.
DensePtr shift_out(const Dense& a, const Dense& b, int c);
// int32 (n, k) x int32 (k, m) -> int32 (n, m); ReLU when `relu`; saturate(c).
DensePtr matmul(const Dense& a, const Dense& b, int c, bool relu);
// Element-wise int32 sum of two tensors of the same dimensions, saturate(c).
DensePtr add(const Dense& a, const Dense& b, int c);
// Joins tensors of one element type on their last dimension; every other dimension must be
// equal. An empty list or a null entry is an invalid argument.
DensePtr concatenate_last_dim(const std::vector<ConstDensePtr>& tensors);
// int32 A * B[ch] (B uint8 or uint16), shifted by K[ch] (int8) as in `shift`, then clipped
// to `bits` bits (signed when `is_signed` != 0, unsigned otherwise) when bits > 0, to int32
// otherwise.
DensePtr scale_out(const Dense& a, const Dense& b, const Dense& k, int bits, int is_signed);
// Convolution of int32 A (x, y, c) by int8 W (kx, ky, c, f) with strides (sx, sy), the
// window's origin at (ox * sx - pad_left, oy * sy - pad_top) and positions outside A reading
// 0. Result int32 (out_w, out_h, f), saturate(clip_bits).
DensePtr conv2d_v2(const Dense& a, int stride_x, int stride_y, int pad_left, int pad_top,
                   unsigned out_w, unsigned out_h, const Dense& w, int clip_bits);
// Weights (kx, ky, c, f) of any element type as (kx * ky * c, f), row i * ky * c + j * c + ch.
DensePtr linearize_filters(const Dense& w);
// Convolution of uint8 A (x, y, c) by linearized int8 filters L (kx * ky * c, f); padded
// positions read the per-channel value Q[ch] (uint8). The window must stay within the padded
// input. Result int32 (out_w, out_h, f).
DensePtr input_conv2d(const Dense& a, const Dense& q, int8_t stride_x, int8_t stride_y, int pad_top,
                      int pad_bottom, int pad_left, int pad_right, unsigned out_w, unsigned out_h,
                      unsigned kernel_x, unsigned kernel_y, const Dense& l);
// Transposed convolution: every input pixel (x, y) adds A[x, y, c] * W[i, j, c, f] (W int8
// (kx, ky, c, f)) at (x * s + i - crop_x, y * s + j - crop_y) of an int32 result
// (out_w, out_h, f); contributions outside the result are dropped.
DensePtr conv2d_transpose(const Dense& a, const Dense& w, int stride, int crop_x, int crop_y,
                          unsigned out_w, unsigned out_h);
// float32 A[...] * B[ch] (A int32, B float32 per channel).
DensePtr dequantize(const Dense& a, const Dense& b);
// Per-channel convolution of int32 A (x, y, c) by int8 W (kx, ky, 1, c); geometry as
// conv2d_v2. Result int32 (out_w, out_h, c).
DensePtr depthwise_conv2d(const Dense& a, int stride_x, int stride_y, int pad_left, int pad_top,
                          unsigned out_w, unsigned out_h, const Dense& w);
// int32 max(0, min(A, B[ch])) (B int32 per channel).
DensePtr relu_activation(const Dense& a, const Dense& b);
// int32 B[clamp(A, 0, size(B) - 1)] (B int32, read in its logical element order).
DensePtr look_up(const Dense& a, const Dense& b);
// Per-channel sum of int32 A (x, y, c) over x and y: divided by x * y (truncated) when
// shift == 0, shifted right by `shift` otherwise. Result int32 (1, 1, c). A negative shift is
// an invalid argument.
DensePtr global_average_pooling(const ConstDensePtr& a, int shift);
// Window maximum of int32 A (x, y, c), window (w, h), strides (sx, sy), paddings top, bottom,
// left, right. Padded positions take `pad_value`, or are skipped when `ignore_padding` (a
// window lying wholly in the padding then gives `pad_value`). The window must stay within the
// padded input; a window or stride below 1 is an invalid argument. Result (out_w, out_h, c).
DensePtr max_pooling(const ConstDensePtr& a, int8_t w, int8_t h, bool ignore_padding,
                     unsigned out_w, unsigned out_h, int8_t stride_x, int8_t stride_y, int pad_top,
                     int pad_bottom, int pad_left, int pad_right, int pad_value);
// A first-in first-out state: the slots of `state` along dimension 0 move one place toward
// index 0 (slot 0 is dropped) and `b` becomes the last slot. `b` must have the element type of
// the state and as many elements as one slot. Returns a copy of the updated state.
DensePtr fifo_op(Dense* state, const Dense& b);
// Temporal depthwise product: result[..., ch] = (sum over t of A[t, ..., ch] * B[t, ch]) >> c
// (A int32 (t, ..., c), B int8 (t, c); arithmetic shift, c >= 0), saturated to int32. The
// result has A's dimensions without the first (a 2-D A gives (c)).
DensePtr depthwise_like_conv(const Dense& a, const Dense& b, int shift);
// One step of a rotating recurrent state (A, K, D int32 of one shape; B int8, E and F int16
// per channel):
//   K' = ((K * E - D * F) >> g) + (A shifted by B[ch] as in `shift`)
//   D' = (K * F + D * E) >> g
// both saturated to h bits when h > 0 (to int32 otherwise). K and D are updated in place and
// copies of K' and D' are returned, in this order. A negative g is an invalid argument.
std::pair<DensePtr, DensePtr> update_internal_state(const Dense& a, const Dense& b, Dense& k,
                                                    Dense& d, const Dense& e, const Dense& f, int g,
                                                    int h);
// Every n-th slice of dimension 0 (indices 0, n, 2n, ...), any element type; n == 0 is an
// invalid argument.
DensePtr subsampling(const Dense& a, uint8_t n);
// int16 (1): s = (sum of A - B over every element) >> shift (A and B int16 of one shape,
// shift >= 0), saturated to int16; when `threshold` is set, 1 if s > K[0] (K uint16) else 0.
DensePtr mote_post_processing(const Dense& a, const Dense& b, const Dense& k, int shift,
                              bool threshold);

}  // namespace ops
}  // namespace vorna
