#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/ops.h"

namespace vorna {
namespace {

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, std::vector<uint32_t> dims, std::vector<T> values,
                              Dense::Layout layout = Dense::Layout::RowMajor) {
    return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(values.data()),
                                              values.size() * sizeof(T), type, Shape(dims),
                                              layout));
}

std::shared_ptr<Dense> i32(std::vector<uint32_t> dims, std::vector<int32_t> v) {
    return tensor(TensorType::int32, std::move(dims), std::move(v));
}
std::shared_ptr<Dense> i8(std::vector<uint32_t> dims, std::vector<int8_t> v) {
    return tensor(TensorType::int8, std::move(dims), std::move(v));
}

// Elements of a RowMajor result in storage order.
template <class T>
std::vector<T> values(const Dense& t) {
    const T* p = t.data<T>();
    return std::vector<T>(p, p + t.size());
}

std::vector<uint32_t> dims(const Dense& t) { return t.dimensions().to_vector(); }

std::vector<int32_t> iota(size_t n, int32_t first = 0) {
    std::vector<int32_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = first + static_cast<int32_t>(i);
    return v;
}

TEST(Ops, ImagePatchesGeometry) {
    // x: n 5, k 3, s 2 -> out 3, total padding 2; y: n 6 -> out 3, total 1.
    auto geometry = [](const ImagePatches& g) {
        return std::vector<int>{g.pad_left,       g.pad_right,       g.pad_top,  g.pad_bottom,
                                int(g.out_width), int(g.out_height), g.stride_x, g.stride_y};
    };
    EXPECT_EQ(geometry(ImagePatches(3, 3, 2, 2, Padding::Same, Shape{5, 6, 3})),
              (std::vector<int>{1, 1, 0, 1, 3, 3, 2, 2}));
    EXPECT_EQ(geometry(ImagePatches(3, 3, 2, 2, Padding::SameUpper, Shape{5, 6, 3})),
              (std::vector<int>{1, 1, 1, 0, 3, 3, 2, 2}));
    // The last three dimensions are (x, y, c): a leading batch dimension is skipped.
    EXPECT_EQ(geometry(ImagePatches(3, 2, 2, 1, Padding::Valid, Shape{1, 5, 6, 3})),
              (std::vector<int>{0, 0, 0, 0, 2, 5, 2, 1}));
    EXPECT_EQ(ImagePatches(7, 1, 1, 1, Padding::Valid, Shape{5, 6, 3}).out_width, 0u);
    EXPECT_THROW(ImagePatches(3, 3, 1, 1, Padding::Same, Shape{5, 6}), std::invalid_argument);
    for (auto [kx, ky, sx, sy] : std::vector<std::array<int, 4>>{
             {0, 3, 1, 1}, {3, -1, 1, 1}, {3, 3, 0, 1}, {3, 3, 1, 128}}) {
        EXPECT_THROW(ImagePatches(kx, ky, sx, sy, Padding::Same, Shape{5, 6, 3}),
                     std::invalid_argument);
    }
}

TEST(Ops, Conv2dSamePaddingAndFilters) {
    // A[x][y] = 3x + y + 1; filter 0 sums the window, filter 1 picks its centre.
    const auto a = i32({3, 3, 1}, iota(9, 1));
    std::vector<int8_t> w(3 * 3 * 2);
    for (size_t k = 0; k < 9; ++k) w[k * 2] = 1;
    w[4 * 2 + 1] = 1;
    const auto weights = i8({3, 3, 1, 2}, w);
    const ImagePatches g(3, 3, 1, 1, Padding::Same, a->dimensions());
    const auto out = ops::conv2d_v2(*a, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_width,
                                    g.out_height, *weights, 0);
    ASSERT_EQ(dims(*out), (std::vector<uint32_t>{3, 3, 2}));
    const std::vector<int32_t> v = values<int32_t>(*out);
    const std::vector<int32_t> sums = {12, 21, 16, 27, 45, 33, 24, 39, 28};
    for (size_t p = 0; p < 9; ++p) {
        EXPECT_EQ(v[p * 2], sums[p]) << p;
        EXPECT_EQ(v[p * 2 + 1], static_cast<int32_t>(p) + 1) << p;
    }
    // The last argument saturates to 4 signed bits.
    const auto clipped = ops::conv2d_v2(*a, 1, 1, 1, 1, 3, 3, *weights, 4);
    EXPECT_EQ(values<int32_t>(*clipped)[4 * 2], 7);
}

TEST(Ops, Conv2dReadsWeightsThroughTheirLayout) {
    // Valid 2x2 window, stride 2, over a 4x4 input; the weights stored first-dimension-fastest.
    const auto a = i32({4, 4, 1}, iota(16));
    const std::vector<int8_t> logical = {1, 2, 3, 4};  // (i, j) = (0,0) (0,1) (1,0) (1,1)
    const auto w =
        tensor<int8_t>(TensorType::int8, {2, 2, 1, 1}, {1, 3, 2, 4}, Dense::Layout::ColMajor);
    ASSERT_EQ(w->get<int8_t>({0, 1, 0, 0}), logical[1]);
    const auto out = ops::conv2d_v2(*a, 2, 2, 0, 0, 2, 2, *w, 0);
    // Window at (0,0): 0*1 + 1*2 + 4*3 + 5*4 = 34; each step of x adds 8*10, of y 2*10.
    EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{34, 54, 114, 134}));
}

TEST(Ops, DepthwiseConvolutionPerChannel) {
    const auto a = i32({2, 2, 2}, {1, 10, 2, 20, 3, 30, 4, 40});
    const auto w = i8({2, 2, 1, 2}, {1, 1, 1, 0, 1, 0, 1, -1});
    const ImagePatches g(2, 2, 1, 1, Padding::Valid, a->dimensions());
    const auto out = ops::depthwise_conv2d(*a, g.stride_x, g.stride_y, g.pad_left, g.pad_top,
                                           g.out_width, g.out_height, *w);
    ASSERT_EQ(dims(*out), (std::vector<uint32_t>{1, 1, 2}));
    EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{10, -30}));
}

// Image (x 3, y 2, c 1) = 1..6 in row-major order, padded positions read Q = 9.
TEST(Ops, InputConvolutionReadsTheImageAndThePaddingValue) {
    const auto image = tensor<uint8_t>(TensorType::uint8, {3, 2, 1}, {1, 2, 3, 4, 5, 6});
    const auto q = tensor<uint8_t>(TensorType::uint8, {1}, {9});
    // 1x1 kernel of weight 2, no padding: twice the image, keeping x 3 and y 2.
    const auto twice =
        ops::input_conv2d(*image, *q, 1, 1, 0, 0, 0, 0, 3, 2, 1, 1, *i8({1, 1}, {2}));
    EXPECT_EQ(dims(*twice), (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_EQ(values<int32_t>(*twice), (std::vector<int32_t>{2, 4, 6, 8, 10, 12}));
    // Kernel 2 along x, weights (1, 10), one padded column before: out(x, y) =
    // A(x - 1, y) + 10 A(x, y), with A(-1, y) = 9.
    const auto padded =
        ops::input_conv2d(*image, *q, 1, 1, 0, 0, 1, 0, 3, 2, 2, 1, *i8({2, 1}, {1, 10}));
    EXPECT_EQ(values<int32_t>(*padded), (std::vector<int32_t>{19, 29, 31, 42, 53, 64}));
}

// A rounded right shift by 62 bits or more leaves nothing of a 32-bit product.
TEST(Ops, ScaleOutByVeryLargeRightShifts) {
    const auto a = i32({1, 3}, {5, INT32_MAX, -7});
    const auto scale = tensor<uint16_t>(TensorType::uint16, {3}, {1, 65535, 1});
    const auto out = ops::scale_out(*a, *scale, *i8({3}, {-62, -70, -128}), 0, 1);
    EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{0, 0, 0}));
    // 2^31 - 1 times 65535 shifted right 46 with rounding: 2^31 * 2^16 / 2^46 = 2.
    const auto half = ops::scale_out(*a, *scale, *i8({3}, {0, -46, 0}), 0, 1);
    EXPECT_EQ(values<int32_t>(*half), (std::vector<int32_t>{5, 2, -7}));
}

TEST(Ops, TransposeStrideTwoScattersAndCrops) {
    // 3x3 kernel, stride 2: crop (3 - 2) / 2 = 0; output 2 * input.
    const auto a = i32({2, 2, 1}, {1, 2, 3, 4});
    const auto w = i8({3, 3, 1, 1}, std::vector<int8_t>(9, 1));
    const auto out = ops::conv2d_transpose(*a, *w, 2, 0, 0, 4, 4);
    ASSERT_EQ(dims(*out), (std::vector<uint32_t>{4, 4, 1}));
    EXPECT_EQ(values<int32_t>(*out),
              (std::vector<int32_t>{1, 1, 3, 2, 1, 1, 3, 2, 4, 4, 10, 6, 3, 3, 7, 4}));
    // 1x1 kernel, stride 2: crop 0; every input pixel lands on an even position.
    const auto one = ops::conv2d_transpose(*a, *i8({1, 1, 1, 1}, {3}), 2, 0, 0, 4, 4);
    EXPECT_EQ(values<int32_t>(*one),
              (std::vector<int32_t>{3, 0, 6, 0, 0, 0, 0, 0, 9, 0, 12, 0, 0, 0, 0, 0}));
}

TEST(Ops, TransposeStrideOneMatchesFlippedConvolution) {
    // 5x5 kernel, stride 1: crop (5 - 1) / 2 = 2, which makes the transposed convolution a
    // same-padded convolution by the spatially flipped kernel.
    std::vector<int32_t> av(4 * 5 * 2);
    for (size_t i = 0; i < av.size(); ++i) av[i] = static_cast<int32_t>((i * 7) % 11) - 5;
    std::vector<int8_t> wv(5 * 5 * 2 * 3), flipped(wv.size());
    for (size_t i = 0; i < wv.size(); ++i)
        wv[i] = static_cast<int8_t>(static_cast<int>((i * 5) % 9) - 4);
    for (size_t i = 0; i < 5; ++i)
        for (size_t j = 0; j < 5; ++j)
            for (size_t k = 0; k < 6; ++k)
                flipped[((4 - i) * 5 + (4 - j)) * 6 + k] = wv[(i * 5 + j) * 6 + k];
    const auto a = i32({4, 5, 2}, av);
    const auto t = ops::conv2d_transpose(*a, *i8({5, 5, 2, 3}, wv), 1, 2, 2, 4, 5);
    const auto c = ops::conv2d_v2(*a, 1, 1, 2, 2, 4, 5, *i8({5, 5, 2, 3}, flipped), 0);
    EXPECT_EQ(dims(*t), (std::vector<uint32_t>{4, 5, 3}));
    EXPECT_EQ(values<int32_t>(*t), values<int32_t>(*c));
}

TEST(Ops, MaxPoolingWindowsAndPadding) {
    const std::shared_ptr<const Dense> a = i32({4, 4, 1}, iota(16));
    const auto out = ops::max_pooling(a, 2, 2, false, 2, 2, 2, 2, 0, 0, 0, 0, 0);
    ASSERT_EQ(dims(*out), (std::vector<uint32_t>{2, 2, 1}));
    EXPECT_EQ(values<int32_t>(*out), (std::vector<int32_t>{5, 7, 13, 15}));

    // 3x3 input, 2x2 window, stride 2, Same: one padded column and row after the input.
    const std::shared_ptr<const Dense> b = i32({3, 3, 1}, iota(9));
    const ImagePatches g(2, 2, 2, 2, Padding::Same, b->dimensions());
    ASSERT_EQ(g.pad_bottom + g.pad_right, 2);
    auto pool = [&](bool ignore, int pad_value) {
        return values<int32_t>(*ops::max_pooling(b, 2, 2, ignore, g.out_width, g.out_height,
                                                 g.stride_x, g.stride_y, g.pad_top, g.pad_bottom,
                                                 g.pad_left, g.pad_right, pad_value));
    };
    EXPECT_EQ(pool(false, -100), (std::vector<int32_t>{4, 5, 7, 8}));
    EXPECT_EQ(pool(false, 100), (std::vector<int32_t>{4, 100, 100, 100}));
    EXPECT_EQ(pool(true, 100), (std::vector<int32_t>{4, 5, 7, 8}));

    // A pool width of 255 reaches the kernel as -1; a window beyond the padded input.
    EXPECT_THROW(ops::max_pooling(a, static_cast<int8_t>(255), 2, false, 2, 2, 2, 2, 0, 0, 0, 0, 0),
                 std::invalid_argument);
    EXPECT_THROW(ops::max_pooling(a, 2, 2, false, 3, 2, 2, 2, 0, 0, 0, 0, 0),
                 std::invalid_argument);
}

TEST(Ops, FifoShiftsSlotsAndAppends) {
    const auto s = i8({3, 2}, {1, 2, 3, 4, 5, 6});
    const auto result = ops::fifo_op(s.get(), *i8({2}, {7, 8}));
    EXPECT_EQ(values<int8_t>(*s), (std::vector<int8_t>{3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(values<int8_t>(*result), values<int8_t>(*s));
    EXPECT_EQ(dims(*result), (std::vector<uint32_t>{3, 2}));

    EXPECT_THROW(ops::fifo_op(s.get(), *i8({3}, {1, 2, 3})), std::invalid_argument);
    EXPECT_THROW(ops::fifo_op(s.get(), *i32({2}, {1, 2})), std::invalid_argument);
    EXPECT_THROW(ops::fifo_op(nullptr, *i8({2}, {1, 2})), std::invalid_argument);
    EXPECT_EQ(values<int8_t>(*s), (std::vector<int8_t>{3, 4, 5, 6, 7, 8}));
}

TEST(Ops, UpdateInternalStateReturnsThePairAndUpdatesTheState) {
    const auto a = i32({1, 2}, {4, -4});
    const auto b = i8({2}, {1, -1});
    const auto e = tensor<int16_t>(TensorType::int16, {2}, {2, 1});
    const auto f = tensor<int16_t>(TensorType::int16, {2}, {1, 3});
    // ch0: K' = ((100*2 - 50*1) >> 1) + (4 << 1) = 83, D' = (100*1 + 50*2) >> 1 = 100.
    // ch1: K' = ((10*1 - 20*3) >> 1) + round(-4 / 2) = -27, D' = (10*3 + 20*1) >> 1 = 25.
    const std::vector<std::pair<int, std::array<int32_t, 4>>> cases = {{0, {83, -27, 100, 25}},
                                                                       {4, {7, -8, 7, 7}}};
    for (const auto& [h, expected] : cases) {
        const auto k = i32({1, 2}, {100, 10});
        const auto d = i32({1, 2}, {50, 20});
        const std::pair<ops::DensePtr, ops::DensePtr> r =
            ops::update_internal_state(*a, *b, *k, *d, *e, *f, 1, h);
        EXPECT_EQ(values<int32_t>(*r.first), (std::vector<int32_t>{expected[0], expected[1]}));
        EXPECT_EQ(values<int32_t>(*r.second), (std::vector<int32_t>{expected[2], expected[3]}));
        EXPECT_EQ(values<int32_t>(*k), values<int32_t>(*r.first));
        EXPECT_EQ(values<int32_t>(*d), values<int32_t>(*r.second));
        EXPECT_NE(r.first.get(), k.get());
    }
}

TEST(Ops, ElementwiseKernels) {
    const auto a = i32({2, 2}, {5, -5, 1000, -7});
    // Shifts per channel (last dimension): left 1 and rounded right 1.
    EXPECT_EQ(values<int32_t>(*ops::shift(*a, *i8({2}, {1, -1}), 0)),
              (std::vector<int32_t>{10, -2, 2000, -3}));
    EXPECT_EQ(values<int32_t>(*ops::shift(*a, *i8({2}, {1, -1}), 8)),
              (std::vector<int32_t>{10, -2, 127, -3}));
    EXPECT_EQ(values<int32_t>(*ops::shift_out(*a, *i8({2}, {1, -1}), 8)),
              (std::vector<int32_t>{10, 0, 255, 0}));
    EXPECT_EQ(
        values<int32_t>(*ops::lshift(*a, *tensor<uint8_t>(TensorType::uint8, {2}, {0, 200}), 0)),
        (std::vector<int32_t>{5, INT32_MIN, 1000, INT32_MIN}));
    // Zero stays zero under any left shift, even one past the int64 range; one becomes 2^s.
    const auto bits = i32({2, 2}, {0, 1, 1, 0});
    EXPECT_EQ(values<int32_t>(*ops::shift(*bits, *i8({2}, {3, 0}), 0)),
              (std::vector<int32_t>{0, 1, 8, 0}));
    EXPECT_EQ(
        values<int32_t>(*ops::lshift(*bits, *tensor<uint8_t>(TensorType::uint8, {2}, {200, 3}), 0)),
        (std::vector<int32_t>{0, 8, INT32_MAX, 0}));
    EXPECT_EQ(values<int32_t>(*ops::add(*a, *a, 0)), (std::vector<int32_t>{10, -10, 2000, -14}));
    EXPECT_EQ(values<int32_t>(*ops::relu_activation(*a, *i32({2}, {3, 3}))),
              (std::vector<int32_t>{3, 0, 3, 0}));
    EXPECT_EQ(values<int32_t>(*ops::look_up(*a, *i32({3}, {7, 8, 9}))),
              (std::vector<int32_t>{9, 7, 9, 7}));
    EXPECT_EQ(
        values<float>(*ops::dequantize(*a, *tensor<float>(TensorType::float32, {2}, {0.5f, 2.0f}))),
        (std::vector<float>{2.5f, -10.0f, 500.0f, -14.0f}));
    // 300 * 3 = 900, shifted right 2 -> 225; clipped to unsigned 7 bits -> 127.
    const auto scaled = ops::scale_out(*i32({1, 2}, {300, -300}),
                                       *tensor<uint16_t>(TensorType::uint16, {2}, {3, 3}),
                                       *i8({2}, {-2, -2}), 7, 0);
    EXPECT_EQ(values<int32_t>(*scaled), (std::vector<int32_t>{127, 0}));
    EXPECT_EQ(
        values<int32_t>(*ops::matmul(*i32({1, 2}, {1, 2}), *i32({2, 2}, {3, -4, 5, -6}), 0, true)),
        (std::vector<int32_t>{13, 0}));
    EXPECT_EQ(values<int32_t>(*ops::global_average_pooling(i32({2, 1, 2}, {4, 1, 7, 2}), 0)),
              (std::vector<int32_t>{5, 1}));
    EXPECT_EQ(values<int32_t>(*ops::depthwise_like_conv(*i32({2, 2}, {1, 2, 3, 4}),
                                                        *i8({2, 2}, {1, 1, 2, -1}), 1)),
              (std::vector<int32_t>{3, -1}));
    const auto sub = ops::subsampling(*i32({5, 1}, iota(5)), 2);
    EXPECT_EQ(dims(*sub), (std::vector<uint32_t>{3, 1}));
    EXPECT_EQ(values<int32_t>(*sub), (std::vector<int32_t>{0, 2, 4}));
    const auto cat = ops::concatenate_last_dim({i32({2, 1}, {1, 2}), i32({2, 2}, {3, 4, 5, 6})});
    EXPECT_EQ(values<int32_t>(*cat), (std::vector<int32_t>{1, 3, 4, 2, 5, 6}));
    const auto i16 = [](std::vector<int16_t> v) {
        return tensor<int16_t>(TensorType::int16, {static_cast<uint32_t>(v.size())}, v);
    };
    const auto k = tensor<uint16_t>(TensorType::uint16, {1}, {5});
    EXPECT_EQ(
        values<int16_t>(*ops::mote_post_processing(*i16({10, 8}), *i16({1, 1}), *k, 1, false)),
        (std::vector<int16_t>{8}));
    EXPECT_EQ(values<int16_t>(*ops::mote_post_processing(*i16({10, 8}), *i16({1, 1}), *k, 1, true)),
              (std::vector<int16_t>{1}));
}

TEST(Ops, ShapeErrors) {
    const auto a = i32({2, 2, 2}, iota(8));
    const auto u8 = tensor<uint8_t>(TensorType::uint8, {3}, {1, 1, 1});
    const auto i16 = tensor<int16_t>(TensorType::int16, {2}, {1, 1});
    const auto u16 = tensor<uint16_t>(TensorType::uint16, {1}, {1});
    const auto state_ptr = i32({2, 2, 2}, iota(8));
    Dense& state = *state_ptr;
    const auto u8x1 = tensor<uint8_t>(TensorType::uint8, {1}, {0});
    const auto image = tensor<uint8_t>(TensorType::uint8, {2, 2, 1}, {1, 2, 3, 4});
    const auto f1 = tensor<float>(TensorType::float32, {1}, {1.f});
    const auto i16x1 = tensor<int16_t>(TensorType::int16, {1}, {1});
    // clang-format off
    const std::vector<std::pair<std::string, std::function<void()>>> calls = {
        {"lshift", [&] { ops::lshift(*a, *u8, 0); }},
        {"shift", [&] { ops::shift(*a, *i8({3}, {1, 1, 1}), 0); }},
        {"shift_out", [&] { ops::shift_out(*a, *i8({1}, {1}), 0); }},
        {"matmul", [&] { ops::matmul(*i32({2, 3}, iota(6)), *i32({2, 3}, iota(6)), 0, false); }},
        {"add", [&] { ops::add(*a, *i32({8}, iota(8)), 0); }},
        {"concatenate_last_dim", [&] { ops::concatenate_last_dim({a, i32({2, 1, 2}, iota(4))}); }},
        {"scale_out", [&] { ops::scale_out(*a, *u8, *i8({2}, {0, 0}), 8, 1); }},
        {"conv2d_v2", [&] { ops::conv2d_v2(*a, 1, 1, 0, 0, 1, 1, *i8({1, 1, 3, 1}, {1, 1, 1}), 0); }},
        {"conv2d_v2", [&] { ops::conv2d_v2(*a, 1, 1, 0, 0, 0, 1, *i8({1, 1, 2, 1}, {1, 1}), 0); }},
        {"linearize_filters", [&] { ops::linearize_filters(*i8({2}, {1, 1})); }},
        {"input_conv2d", [&] { ops::input_conv2d(*image, *u8x1, 1, 1, 0, 0, 0, 0, 2, 2, 2, 2, *i8({4, 1}, {1, 1, 1, 1})); }},
        {"conv2d_transpose", [&] { ops::conv2d_transpose(*a, *i8({1, 1, 1, 1}, {1}), 2, 0, 0, 4, 4); }},
        {"dequantize", [&] { ops::dequantize(*a, *f1); }},
        {"depthwise_conv2d", [&] { ops::depthwise_conv2d(*a, 1, 1, 0, 0, 1, 1, *i8({1, 1, 2, 2}, {1, 1, 1, 1})); }},
        {"relu_activation", [&] { ops::relu_activation(*a, *i32({3}, iota(3))); }},
        {"global_average_pooling", [&] { ops::global_average_pooling(i32({8}, iota(8)), 0); }},
        {"max_pooling", [&] { ops::max_pooling(a, 0, 1, false, 1, 1, 1, 1, 0, 0, 0, 0, 0); }},
        {"fifo_op", [&] { ops::fifo_op(&state, *i32({2, 2, 2}, iota(8))); }},
        {"depthwise_like_conv", [&] { ops::depthwise_like_conv(*a, *i8({2, 1}, {1, 1}), 0); }},
        {"update_internal_state", [&] { ops::update_internal_state(*a, *i8({2}, {0, 0}), state, *i32({2, 2}, iota(4)), *i16, *i16, 0, 0); }},
        {"mote_post_processing", [&] { ops::mote_post_processing(*i16, *i16x1, *u16, 0, false); }},
    };
    // clang-format on
    for (const auto& [kernel, call] : calls) {
        try {
            call();
            ADD_FAILURE() << kernel << " accepted incompatible shapes";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), kernel + ": incompatible shapes.");
        }
    }
    EXPECT_EQ(values<int32_t>(state), iota(8));
    EXPECT_THROW(ops::subsampling(*a, 0), std::invalid_argument);
    EXPECT_THROW(ops::add(*a, *i8({2, 2, 2}, std::vector<int8_t>(8)), 0), std::invalid_argument);
}

// A result of 59698870 x out_h x 18 int32 values: with out_h 4291618565 it takes
// 18446744073709551600 bytes, within the largest size, so the shape is accepted and only the
// memory is lacking; one row more does not fit the size type and is refused as a shape.
TEST(Ops, ResultShapeAtTheLargestSize) {
    const auto a = i32({1, 1, 1}, {1});
    const auto w = i8({1, 1, 1, 18}, std::vector<int8_t>(18));
    auto outcome = [&](unsigned out_h) -> std::string {
        try {
            ops::conv2d_v2(*a, 1, 1, 0, 0, 59698870u, out_h, *w, 32);
            return "<accepted>";
        } catch (const std::invalid_argument& e) {
            return e.what();
        } catch (const std::exception&) {
            return "<too large to allocate>";
        }
    };
    EXPECT_EQ(outcome(4291618565u), "<too large to allocate>");
    EXPECT_EQ(outcome(4291618566u), "conv2d_v2: incompatible shapes.");
}

}  // namespace
}  // namespace vorna
