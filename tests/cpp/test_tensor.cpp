#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/tensor.h"
#include "corelib/types.h"
#include "test_support.h"

namespace vorna {
namespace {

using Layout = Dense::Layout;
using test_support::kinded_error_text;

template <class T>
std::unique_ptr<Dense> make_dense(TensorType type, const Shape& dims, Layout layout,
                                  const std::vector<T>& values) {
    return Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T),
                       type, dims, layout);
}

TEST(Shape, CountsAndRefusals) {
    EXPECT_EQ(Shape().element_count(), 0u);
    EXPECT_EQ((Shape{3, 4, 5}).element_count(), 60u);
    const std::string zero = "runtime_error: Cannot have a shape with a dimension set to 0";
    EXPECT_EQ(kinded_error_text([] { Shape s{3, 0}; }), zero);
    EXPECT_EQ(kinded_error_text([] { Shape s(std::vector<uint32_t>{0}); }), zero);
    EXPECT_THROW((Shape{1, 2, 3, 4, 5}), std::invalid_argument);
    EXPECT_NO_THROW((Shape{1, 2, 3, 4}));
}

TEST(Dense, StridesAndLogicalAccess) {
    const std::tuple<Shape, Layout, std::vector<uint32_t>> cases[] = {
        {Shape{7}, Layout::ColMajor, {1}},
        {Shape{2, 3, 4}, Layout::RowMajor, {12, 4, 1}},
        {Shape{2, 3, 4}, Layout::ColMajor, {1, 2, 6}},
        {Shape{2, 3, 4, 5}, Layout::RowMajor, {60, 20, 5, 1}},
        {Shape{2, 3, 4, 5}, Layout::ColMajor, {1, 2, 6, 24}}};
    for (const auto& [dims, layout, strides] : cases) {
        EXPECT_EQ(Dense::eval_strides(dims, layout), strides);
        auto t = Dense::create(TensorType::int16, dims, layout);
        EXPECT_EQ(t->strides(), strides);
        EXPECT_EQ(t->buffer(), std::vector<uint8_t>(dims.element_count() * 2, 0));
    }
    // Layout 1: the first dimension is fastest.
    std::vector<int32_t> values(24);
    std::iota(values.begin(), values.end(), 100);
    auto col = make_dense<int32_t>(TensorType::int32, Shape{2, 3, 4}, Layout::ColMajor, values);
    EXPECT_EQ(col->get<int32_t>({1, 0, 0}), 101);
    EXPECT_EQ(col->get<int32_t>({0, 1, 0}), 102);
    EXPECT_EQ(col->get<int32_t>({1, 2, 3}), 123);
    EXPECT_EQ(col->get<int32_t>({0, 0, 2}), 112);
    auto row = make_dense<int32_t>(TensorType::int32, Shape{2, 3, 4}, Layout::RowMajor, values);
    EXPECT_EQ(row->get<int32_t>({1, 0, 2}), 114);
    EXPECT_EQ(row->at<int32_t>(5), 105);
    // Missing trailing coordinates are 0; trailing zero coordinates are accepted.
    EXPECT_EQ(row->get<int32_t>({1}), 112);
    EXPECT_EQ(row->get<int32_t>({1, 2, 3, 0}), 123);
    const std::string range = "runtime_error: Coordinates are out-of-range";
    EXPECT_EQ(kinded_error_text([&] { col->get<int32_t>({2, 0}); }), range);
    EXPECT_EQ(kinded_error_text([&] { col->get<int32_t>({0, 3}); }), range);
    EXPECT_EQ(kinded_error_text([&] { col->at<int32_t>(24); }), range);
    EXPECT_NO_THROW(col->at<int32_t>(23));
    EXPECT_EQ(kinded_error_text([&] { col->at<int16_t>(0); }),
              "runtime_error: Wrong requested type s for a tensor of type int32.");
}

TEST(Dense, CreateAndCopyRefusals) {
    for (auto bad : {std::tuple{TensorType::int8, Shape(), Layout::RowMajor},
                     {TensorType(11), Shape{2}, Layout::RowMajor},
                     {TensorType::int8, Shape{2}, Layout(2)},
                     {TensorType::int8, Shape{65536, 65536}, Layout::RowMajor}}) {
        EXPECT_THROW(std::apply(Dense::create, bad), std::invalid_argument);
    }
    const std::vector<int16_t> values(6);
    const char* data = reinterpret_cast<const char*>(values.data());
    for (size_t bytes : {11, 13, 0}) {
        EXPECT_EQ(kinded_error_text([&] {
                      Dense::copy(data, bytes, TensorType::int16, Shape{2, 3}, Layout::RowMajor);
                  }),
                  "invalid_argument: Dense::copy: byte count does not match the shape.");
    }
    EXPECT_THROW(Dense::copy(nullptr, 12, TensorType::int16, Shape{2, 3}, Layout::RowMajor),
                 std::invalid_argument);
    // Narrow types are not clamped: 100 stays in an int4 tensor.
    const std::vector<int8_t> narrow = {1, -8, 7, 100, -100, 0};
    auto t = make_dense<int8_t>(TensorType::int4, Shape{3, 2}, Layout::ColMajor, narrow);
    EXPECT_EQ(std::memcmp(t->buffer().data(), narrow.data(), narrow.size()), 0);
    EXPECT_EQ(t->get<int8_t>({0, 1}), 100);
}

TEST(Dense, SplitGivesRowMajorCopiesOfTheFirstDimension) {
    std::vector<uint8_t> values(24);
    std::iota(values.begin(), values.end(), 1);
    auto col = make_dense<uint8_t>(TensorType::uint4, Shape{2, 3, 2, 2}, Layout::ColMajor, values);
    auto frames = Dense::split(*col);
    ASSERT_EQ(frames.size(), 2u);
    auto second = Tensor::ensure_dense(frames[1]);
    EXPECT_EQ(second->type(), TensorType::uint4);
    EXPECT_EQ(second->dimensions(), (Shape{3, 2, 2}));
    EXPECT_EQ(second->layout(), Layout::RowMajor);
    // Element (1, i, j, k) of the source sits at 1 + 2i + 6j + 12k.
    const std::vector<uint8_t> expected = {2, 14, 8, 20, 4, 16, 10, 22, 6, 18, 12, 24};
    EXPECT_EQ(second->buffer(), expected);
    auto row = make_dense<uint8_t>(TensorType::uint8, Shape{3, 2, 4}, Layout::RowMajor, values);
    EXPECT_EQ(Tensor::ensure_dense(Dense::split(*row)[2])->buffer(),
              std::vector<uint8_t>(values.begin() + 16, values.end()));
    auto flat = make_dense<float>(TensorType::float32, Shape{3}, Layout::ColMajor, {0.5f, -1, 3});
    EXPECT_EQ(Tensor::ensure_dense(Dense::split(*flat)[2])->dimensions(), (Shape{1}));
}

template <class T>
int bitwidth_of(TensorType type, const std::vector<T>& values) {
    return evaluate_bitwidth(
        *make_dense<T>(type, Shape{uint32_t(values.size())}, Layout::RowMajor, values));
}

TEST(Bitwidth, SignedCountsTheSignBit) {
    for (auto [values, type, bits] :
         {std::tuple{std::vector<int8_t>{-32, 31, 5}, TensorType::int8, 6},
          {{0, 0}, TensorType::int8, 0},
          {{0, -1}, TensorType::int8, 1},
          {{1}, TensorType::int8, 2},
          {{-33}, TensorType::int8, 7},
          {{7, -8}, TensorType::int4, 4},
          {{1}, TensorType::bit, 2}})
        EXPECT_EQ(bitwidth_of<int8_t>(type, values), bits);
    EXPECT_EQ(bitwidth_of<int16_t>(TensorType::int16, {255}), 9);
    EXPECT_EQ(bitwidth_of<int32_t>(TensorType::int32, {std::numeric_limits<int32_t>::min()}), 32);
    EXPECT_EQ(bitwidth_of<uint8_t>(TensorType::uint8, {0, 0}), 0);
    EXPECT_EQ(bitwidth_of<uint8_t>(TensorType::uint8, {3, 4}), 3);
    EXPECT_EQ(bitwidth_of<uint8_t>(TensorType::uint8, {255}), 8);
    EXPECT_EQ(bitwidth_of<uint16_t>(TensorType::uint16, {256}), 9);
    EXPECT_EQ(bitwidth_of<uint16_t>(TensorType::uint16, {65535}), 16);
    EXPECT_EQ(bitwidth_of<float>(TensorType::float32, {0.0f}), 32);
}

// Thresholds in sixteenths, half a sixteenth rounded away from zero; NaN,
// infinities and values out of the 32-bit range are refused.
TEST(Bitwidth, ThresholdFromActSteps) {
    const std::vector<float> steps = {1.0f, 0.5f, 0.03125f, -0.03125f, 0.09375f, 1.2f, 0.0f, -2.0f};
    auto act = make_dense<float>(TensorType::float32, Shape{8}, Layout::RowMajor, steps);
    auto t16 = get_threshold_t16_from_act_steps(*act);
    EXPECT_EQ(t16->type(), TensorType::int32);
    EXPECT_EQ(std::vector<int32_t>(t16->data<int32_t>(), t16->data<int32_t>() + 8),
              (std::vector<int32_t>{16, 8, 1, -1, 2, 19, 0, -32}));
    auto col = make_dense<float>(TensorType::float32, Shape{2, 3}, Layout::ColMajor,
                                 std::vector<float>{1, 2, 3, 4, 5, 6});
    auto t = get_threshold_t16_from_act_steps(*col);
    EXPECT_EQ(t->layout(), Layout::ColMajor);
    EXPECT_EQ(t->get<int32_t>({1, 2}), 96);
    auto i32 = Dense::create(TensorType::int32, Shape{2}, Layout::RowMajor);
    EXPECT_EQ(kinded_error_text([&] { get_threshold_t16_from_act_steps(*i32); }),
              "runtime_error: Wrong requested type f for a tensor of type int32.");
    for (float bad : {268435456.0f, -268435456.0f * 2.0f, std::nanf(""),
                      std::numeric_limits<float>::infinity()}) {
        auto one = make_dense<float>(TensorType::float32, Shape{1}, Layout::RowMajor, {bad});
        EXPECT_THROW(get_threshold_t16_from_act_steps(*one), std::invalid_argument) << bad;
    }
    auto edge = make_dense<float>(TensorType::float32, Shape{1}, Layout::RowMajor, {-134217728.0f});
    EXPECT_EQ(get_threshold_t16_from_act_steps(*edge)->at<int32_t>(0),
              std::numeric_limits<int32_t>::min());
}

}  // namespace
}  // namespace vorna
