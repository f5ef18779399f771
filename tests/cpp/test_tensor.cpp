#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "corelib/tensor.h"
#include "corelib/types.h"

namespace vorna {
namespace {

using Layout = Dense::Layout;

// Runs f and returns the message of the std::runtime_error it throws.
template <class F>
std::string runtime_error_text(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no exception>";
}

template <class T>
std::unique_ptr<Dense> make_dense(TensorType type, const Shape& dims, Layout layout,
                                  const std::vector<T>& values) {
    return Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T),
                       type, dims, layout);
}

// ---------------------------------------------------------------- Shape

static_assert(std::is_trivially_copyable_v<Shape>, "Shape must be trivially copyable");

TEST(ShapeTest, BuiltFromListAndVector) {
    EXPECT_TRUE(Shape().empty());
    EXPECT_EQ(Shape().element_count(), 0u);
    Shape a{3, 4, 5};
    EXPECT_EQ(a.dims[3], 0u);
    EXPECT_EQ(a.element_count(), 60u);
    EXPECT_EQ(a, Shape(std::vector<uint32_t>{3, 4, 5}));
    EXPECT_NE(a, (Shape{3, 4}));
    EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{3, 4, 5}));
}

TEST(ShapeTest, ZeroDimensionPanics) {
    EXPECT_EQ(runtime_error_text([] { Shape s{3, 0}; }),
              "Cannot have a shape with a dimension set to 0");
    EXPECT_EQ(runtime_error_text([] { Shape s(std::vector<uint32_t>{0}); }),
              "Cannot have a shape with a dimension set to 0");
}

TEST(ShapeTest, MoreThanFourDimensionsRefused) {
    EXPECT_THROW((Shape{1, 2, 3, 4, 5}), std::invalid_argument);
    EXPECT_NO_THROW((Shape{1, 2, 3, 4}));
}

// ---------------------------------------------------------------- strides

struct StrideCase {
    std::vector<uint32_t> dims;
    Layout layout;
    std::vector<uint32_t> strides;
};

class DenseStridesTest : public ::testing::TestWithParam<StrideCase> {};

TEST_P(DenseStridesTest, EvalStridesAndCreate) {
    const StrideCase& c = GetParam();
    const Shape dims(c.dims);
    EXPECT_EQ(Dense::eval_strides(dims, c.layout), c.strides);
    auto t = Dense::create(TensorType::int16, dims, c.layout);
    EXPECT_EQ(t->strides(), c.strides);
    EXPECT_EQ(t->layout(), c.layout);
    EXPECT_EQ(t->buffer().size(), dims.element_count() * 2);
}

INSTANTIATE_TEST_SUITE_P(
    DenseLayouts, DenseStridesTest,
    ::testing::Values(StrideCase{{7}, Layout::RowMajor, {1}},
                      StrideCase{{7}, Layout::ColMajor, {1}},
                      StrideCase{{2, 3, 4}, Layout::RowMajor, {12, 4, 1}},
                      StrideCase{{2, 3, 4}, Layout::ColMajor, {1, 2, 6}},
                      StrideCase{{2, 3, 4, 5}, Layout::RowMajor, {60, 20, 5, 1}},
                      StrideCase{{2, 3, 4, 5}, Layout::ColMajor, {1, 2, 6, 24}}));

// A tensor of layout 1 with dims (a, b, c) read as a numpy array of shape
// (c, b, a) with the reversed strides: element [k][j][i] is logical (i, j, k).
TEST(DenseTest, ColMajorReversedViewMatchesLogicalAccess) {
    const uint32_t a = 2, b = 3, c = 4;
    std::vector<int32_t> values(a * b * c);
    std::iota(values.begin(), values.end(), 100);
    auto t = make_dense<int32_t>(TensorType::int32, Shape{a, b, c}, Layout::ColMajor, values);

    for (uint32_t i = 0; i < a; ++i)
        for (uint32_t j = 0; j < b; ++j)
            for (uint32_t k = 0; k < c; ++k)  // first dimension fastest
                EXPECT_EQ(t->get<int32_t>({i, j, k}),
                          100 + static_cast<int32_t>(i + a * (j + b * k)));
}

TEST(DenseTest, RowMajorAccessIsNumpyOrder) {
    std::vector<float> values(24);
    std::iota(values.begin(), values.end(), 0.0f);
    auto t = make_dense<float>(TensorType::float32, Shape{2, 3, 4}, Layout::RowMajor, values);
    EXPECT_EQ(t->get<float>({1, 2, 3}), 23.0f);
    EXPECT_EQ(t->get<float>({1, 0, 2}), 14.0f);
    EXPECT_EQ(t->at<float>(5), 5.0f);
    // Missing trailing coordinates are 0; trailing zero coordinates are accepted.
    EXPECT_EQ(t->get<float>({1}), 12.0f);
    EXPECT_EQ(t->get<float>({1, 2, 3, 0}), 23.0f);
}

// ---------------------------------------------------------------- typed access

struct TypeCheckCase {
    TensorType type;
    bool i8, u8, i16, u16, i32, f32;
};

class DenseTypedAccessTest : public ::testing::TestWithParam<TypeCheckCase> {};

TEST_P(DenseTypedAccessTest, StorageFamilies) {
    const TypeCheckCase& c = GetParam();
    auto t = Dense::create(c.type, Shape{2}, Layout::RowMajor);
    auto accepts = [](auto f) {
        try {
            f();
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    };
    EXPECT_EQ(accepts([&] { t->data<int8_t>(); }), c.i8);
    EXPECT_EQ(accepts([&] { t->data<uint8_t>(); }), c.u8);
    EXPECT_EQ(accepts([&] { t->data<int16_t>(); }), c.i16);
    EXPECT_EQ(accepts([&] { t->data<uint16_t>(); }), c.u16);
    EXPECT_EQ(accepts([&] { t->data<int32_t>(); }), c.i32);
    EXPECT_EQ(accepts([&] { t->data<float>(); }), c.f32);
    EXPECT_FALSE(accepts([&] { t->data<uint32_t>(); }));
    EXPECT_FALSE(accepts([&] { t->data<char>(); }));
    EXPECT_EQ(element_size(c.type), c.i32 || c.f32 ? 4u : (c.i16 || c.u16 ? 2u : 1u));
}

INSTANTIATE_TEST_SUITE_P(DenseAllTypes, DenseTypedAccessTest,
                         ::testing::Values(TypeCheckCase{TensorType::int32, 0, 0, 0, 0, 1, 0},
                                           TypeCheckCase{TensorType::float32, 0, 0, 0, 0, 0, 1},
                                           TypeCheckCase{TensorType::uint8, 0, 1, 0, 0, 0, 0},
                                           TypeCheckCase{TensorType::int16, 0, 0, 1, 0, 0, 0},
                                           TypeCheckCase{TensorType::int8, 1, 0, 0, 0, 0, 0},
                                           TypeCheckCase{TensorType::int4, 1, 0, 0, 0, 0, 0},
                                           TypeCheckCase{TensorType::int2, 1, 0, 0, 0, 0, 0},
                                           TypeCheckCase{TensorType::uint4, 0, 1, 0, 0, 0, 0},
                                           TypeCheckCase{TensorType::uint2, 0, 1, 0, 0, 0, 0},
                                           TypeCheckCase{TensorType::bit, 1, 0, 0, 0, 0, 0},
                                           TypeCheckCase{TensorType::uint16, 0, 0, 0, 1, 0, 0}));

TEST(DenseTest, WrongTypePanicText) {
    auto u8 = Dense::create(TensorType::uint8, Shape{4}, Layout::RowMajor);
    const Dense& cu8 = *u8;
    EXPECT_EQ(runtime_error_text([&] { cu8.data<int8_t>(); }),
              "Wrong requested type a for a tensor of type uint8.");
    EXPECT_EQ(runtime_error_text([&] { cu8.at<int32_t>(0); }),
              "Wrong requested type i for a tensor of type uint8.");
    auto f = Dense::create(TensorType::float32, Shape{4}, Layout::RowMajor);
    EXPECT_EQ(runtime_error_text([&] { f->data<int16_t>(); }),
              "Wrong requested type s for a tensor of type float32.");
}

TEST(DenseTest, CoordinatesOutOfRange) {
    auto t = Dense::create(TensorType::int8, Shape{2, 3}, Layout::ColMajor);
    const std::string msg = "Coordinates are out-of-range";
    EXPECT_EQ(runtime_error_text([&] { t->get<int8_t>({2, 0}); }), msg);
    EXPECT_EQ(runtime_error_text([&] { t->at<int8_t>(6); }), msg);
    EXPECT_NO_THROW(t->at<int8_t>(5));
    EXPECT_NO_THROW(t->get<int8_t>({1, 2, 0, 0}));
}

// ---------------------------------------------------------------- create / copy

TEST(DenseTest, CreateIsZeroed) {
    auto t = Dense::create(TensorType::int32, Shape{3, 5}, Layout::ColMajor);
    ASSERT_EQ(t->buffer().size(), 60u);
    for (uint8_t b : t->buffer()) EXPECT_EQ(b, 0);
}

TEST(DenseTest, CreateRefusesBadArguments) {
    EXPECT_THROW(Dense::create(TensorType::int8, Shape(), Layout::RowMajor), std::invalid_argument);
    EXPECT_THROW(Dense::create(static_cast<TensorType>(11), Shape{2}, Layout::RowMajor),
                 std::invalid_argument);
    EXPECT_THROW(Dense::create(TensorType::int8, Shape{2}, static_cast<Layout>(2)),
                 std::invalid_argument);
    // More elements than 32-bit strides can address.
    EXPECT_THROW(Dense::create(TensorType::int8, Shape{65536, 65536}, Layout::RowMajor),
                 std::invalid_argument);
}

TEST(DenseTest, CopyRoundTripKeepsBytesExactly) {
    // Narrow types are not clamped: 100 stays in an int4 tensor.
    const std::vector<int8_t> values = {1, -8, 7, 100, -100, 0};
    auto t = make_dense<int8_t>(TensorType::int4, Shape{3, 2}, Layout::ColMajor, values);
    ASSERT_EQ(t->buffer().size(), values.size());
    EXPECT_EQ(std::memcmp(t->buffer().data(), values.data(), values.size()), 0);
    EXPECT_EQ(t->get<int8_t>({0, 1}), 100);  // first dimension fastest: position 3
    EXPECT_EQ(t->get<int8_t>({1, 1}), -100);

    auto again = Dense::copy(reinterpret_cast<const char*>(t->buffer().data()), t->buffer().size(),
                             t->type(), t->dimensions(), t->layout());
    EXPECT_EQ(again->buffer(), t->buffer());
    EXPECT_EQ(again->strides(), t->strides());
}

TEST(DenseTest, CopyRefusesWrongByteCount) {
    const std::vector<int16_t> values(6);
    const char* data = reinterpret_cast<const char*>(values.data());
    for (size_t bytes : {size_t{11}, size_t{13}, size_t{6}, size_t{0}}) {
        EXPECT_EQ(runtime_error_text([&] {
                      Dense::copy(data, bytes, TensorType::int16, Shape{2, 3}, Layout::RowMajor);
                  }),
                  "invalid_argument: Dense::copy: byte count does not match the shape.")
            << bytes;
    }
    EXPECT_THROW(Dense::copy(nullptr, 12, TensorType::int16, Shape{2, 3}, Layout::RowMajor),
                 std::invalid_argument);
}

// ---------------------------------------------------------------- split

TEST(DenseTest, SplitRowMajorRoundTrip) {
    std::vector<int16_t> values(3 * 2 * 4);
    std::iota(values.begin(), values.end(), -10);
    auto t = make_dense<int16_t>(TensorType::int16, Shape{3, 2, 4}, Layout::RowMajor, values);
    auto frames = Dense::split(*t);
    ASSERT_EQ(frames.size(), 3u);
    std::vector<int16_t> joined;
    for (const auto& f : frames) {
        auto d = Tensor::ensure_dense(f);
        EXPECT_EQ(d->type(), TensorType::int16);
        EXPECT_EQ(d->dimensions(), (Shape{2, 4}));
        EXPECT_EQ(d->layout(), Layout::RowMajor);
        joined.insert(joined.end(), d->data<int16_t>(), d->data<int16_t>() + d->size());
    }
    EXPECT_EQ(joined, values);
}

TEST(DenseTest, SplitColMajorGathersThroughStrides) {
    std::vector<uint8_t> values(2 * 3 * 2 * 2);
    std::iota(values.begin(), values.end(), 1);
    auto t = make_dense<uint8_t>(TensorType::uint4, Shape{2, 3, 2, 2}, Layout::ColMajor, values);
    auto frames = Dense::split(*t);
    ASSERT_EQ(frames.size(), 2u);
    for (uint32_t n = 0; n < 2; ++n) {
        auto d = Tensor::ensure_dense(frames[n]);
        EXPECT_EQ(d->type(), TensorType::uint4);
        EXPECT_EQ(d->dimensions(), (Shape{3, 2, 2}));
        EXPECT_EQ(d->layout(), Layout::RowMajor);
        for (uint32_t i = 0; i < 3; ++i)
            for (uint32_t j = 0; j < 2; ++j)
                for (uint32_t k = 0; k < 2; ++k)
                    EXPECT_EQ(d->get<uint8_t>({i, j, k}), t->get<uint8_t>({n, i, j, k}));
    }
}

TEST(DenseTest, SplitOneDimensionalGivesSingleElementFrames) {
    const std::vector<float> values = {0.5f, -1.0f, 3.25f};
    for (Layout layout : {Layout::RowMajor, Layout::ColMajor}) {
        auto t = make_dense<float>(TensorType::float32, Shape{3}, layout, values);
        auto frames = Dense::split(*t);
        ASSERT_EQ(frames.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            auto d = Tensor::ensure_dense(frames[i]);
            EXPECT_EQ(d->dimensions(), (Shape{1}));
            EXPECT_EQ(d->at<float>(0), values[i]);
        }
    }
}

TEST(DenseTest, SplitFramesAreCopies) {
    auto t = Dense::create(TensorType::int32, Shape{2, 2}, Layout::RowMajor);
    auto frames = Dense::split(*t);
    t->data<int32_t>()[0] = 42;
    EXPECT_EQ(Tensor::ensure_dense(frames[0])->at<int32_t>(0), 0);
}

// ---------------------------------------------------------------- evaluate_bitwidth

template <class T>
int bitwidth_of(TensorType type, const std::vector<T>& values) {
    auto t =
        make_dense<T>(type, Shape{static_cast<uint32_t>(values.size())}, Layout::RowMajor, values);
    return evaluate_bitwidth(*t);
}

TEST(BitwidthTest, SignedTypes) {
    std::vector<int8_t> range;
    for (int v = -32; v <= 31; ++v) range.push_back(static_cast<int8_t>(v));
    EXPECT_EQ(bitwidth_of<int8_t>(TensorType::int8, range), 6);
    EXPECT_EQ(bitwidth_of<int8_t>(TensorType::int8, {0, 0, 0}), 0);
    EXPECT_EQ(bitwidth_of<int8_t>(TensorType::int8, {0, -1}), 1);
    EXPECT_EQ(bitwidth_of<int8_t>(TensorType::int8, {1}), 2);
    EXPECT_EQ(bitwidth_of<int8_t>(TensorType::int8, {-33}), 7);
    EXPECT_EQ(bitwidth_of<int8_t>(TensorType::int4, {7, -8}), 4);
    EXPECT_EQ(bitwidth_of<int8_t>(TensorType::bit, {1}), 2);
    EXPECT_EQ(bitwidth_of<int16_t>(TensorType::int16, {255}), 9);
    EXPECT_EQ(bitwidth_of<int32_t>(TensorType::int32, {std::numeric_limits<int32_t>::min()}), 32);
    EXPECT_EQ(bitwidth_of<int32_t>(TensorType::int32, {0, 0}), 0);
}

TEST(BitwidthTest, UnsignedTypes) {
    EXPECT_EQ(bitwidth_of<uint8_t>(TensorType::uint8, {0, 0}), 0);
    EXPECT_EQ(bitwidth_of<uint8_t>(TensorType::uint8, {3, 4}), 3);
    EXPECT_EQ(bitwidth_of<uint8_t>(TensorType::uint8, {255}), 8);
    EXPECT_EQ(bitwidth_of<uint16_t>(TensorType::uint16, {256}), 9);
    EXPECT_EQ(bitwidth_of<uint16_t>(TensorType::uint16, {65535}), 16);
    EXPECT_EQ(bitwidth_of<float>(TensorType::float32, {0.0f}), 32);
}

// ---------------------------------------------------------------- thresholds

TEST(BitwidthTest, ThresholdSixteenthsRounding) {
    // 1/32 is half a sixteenth: rounded away from zero.
    const std::vector<float> steps = {1.0f, 0.5f, 0.03125f, -0.03125f, 0.09375f, 1.2f, 0.0f, -2.0f};
    const std::vector<int32_t> expected = {16, 8, 1, -1, 2, 19, 0, -32};
    auto act = make_dense<float>(TensorType::float32, Shape{8}, Layout::RowMajor, steps);
    auto t16 = get_threshold_t16_from_act_steps(*act);
    ASSERT_TRUE(t16);
    EXPECT_EQ(t16->type(), TensorType::int32);
    EXPECT_EQ(t16->dimensions(), (Shape{8}));
    EXPECT_EQ(std::vector<int32_t>(t16->data<int32_t>(), t16->data<int32_t>() + 8), expected);
}

TEST(BitwidthTest, ThresholdKeepsDimensionsAndLayout) {
    auto act = make_dense<float>(TensorType::float32, Shape{2, 3}, Layout::ColMajor,
                                 std::vector<float>{1, 2, 3, 4, 5, 6});
    auto t16 = get_threshold_t16_from_act_steps(*act);
    EXPECT_EQ(t16->layout(), Layout::ColMajor);
    EXPECT_EQ(t16->get<int32_t>({1, 2}), 96);  // element 5 holds 6.0
}

TEST(BitwidthTest, ThresholdRefusesOtherTypesAndOverflow) {
    auto i32 = Dense::create(TensorType::int32, Shape{2}, Layout::RowMajor);
    EXPECT_EQ(runtime_error_text([&] { get_threshold_t16_from_act_steps(*i32); }),
              "Wrong requested type f for a tensor of type int32.");
    for (float bad : {268435456.0f, -268435456.0f * 2.0f, std::nanf(""),
                      std::numeric_limits<float>::infinity()}) {
        auto act = make_dense<float>(TensorType::float32, Shape{1}, Layout::RowMajor, {bad});
        EXPECT_THROW(get_threshold_t16_from_act_steps(*act), std::invalid_argument) << bad;
    }
    // The extreme representable values still pass.
    auto edge = make_dense<float>(TensorType::float32, Shape{1}, Layout::RowMajor, {-134217728.0f});
    EXPECT_EQ(get_threshold_t16_from_act_steps(*edge)->at<int32_t>(0),
              std::numeric_limits<int32_t>::min());
}

}  // namespace
}  // namespace vorna
