#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

#include "backend/v2/shift_lut_formats.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2regs_test::error_text;
using v2regs_test::f32;
using v2regs_test::i32;
using v2regs_test::i8;
using v2regs_test::u8;

std::string wrong_type(const char* requested, const char* actual) {
    return std::string("Wrong requested type ") + requested + " for a tensor of type " + actual +
           ".";
}

TEST(V2ShiftLutInputShift, RangeOfElements) {
    const auto shifts = u8({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(format_input_shift(*shifts, 3, 2), (std::vector<uint32_t>{0x0504u, 0u}));
    EXPECT_EQ(format_input_shift(*shifts, 0, 0), format_input_shift(*shifts));
    EXPECT_EQ(error_text([&] { format_input_shift(*shifts, 5, 2); }),
              "Coordinates are out-of-range");
    EXPECT_EQ(error_text([&] { format_input_shift(*i8({1})); }),
              wrong_type(typeid(uint8_t).name(), "int8"));
}

TEST(V2ShiftLutMerge, BytesOfTheWorkedExamples) {
    const auto a = u8({2, 5, 0, 7, 9});
    const auto b = u8({5, 2, 0, 7, 9});
    const auto t = i8({-3, -2, -4, -4, -9});
    const auto words = format_merge_layer_shift(a, b, t, 0, 4);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words[0], 0xB0C033A3u);
    const auto tail = format_merge_layer_shift(a, b, t, 1, 4);
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0] & 0xFFu, 0x33u);
    EXPECT_EQ(tail[0] >> 24, 0x80u);  // element 4: M 9, s 0
    EXPECT_EQ(format_merge_layer_shift(a, b, t, 0, 5).size(), 2u);
    EXPECT_TRUE(format_merge_layer_shift(a, b, t, 0, 0).empty());
}

TEST(V2ShiftLutMerge, Failures) {
    const auto a = u8({1, 0});
    const auto b = u8({3, 0});
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, i8({1, 0}), 0, 1); }),
              "4 cannot fit in a 3 bits signed integer.");
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, i8({0, -5}), 1, 1); }),
              "-5 cannot fit in a 3 bits signed integer.");
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, i8({0}), 0, 2); }),
              "Coordinates are out-of-range");
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, u8({0, 0}), 0, 1); }),
              wrong_type(typeid(int8_t).name(), "uint8"));
    EXPECT_THROW(format_merge_layer_shift(a, nullptr, i8({0, 0}), 0, 1), std::invalid_argument);
}

std::vector<int32_t> lut_values(size_t n) {
    std::vector<int32_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int32_t>(i % 100) - 50;
    return v;
}

TEST(V2ShiftLutCnpLut, SizesAndFailures) {
    auto v = lut_values(2049);
    v[2048] = 100000;  // never read
    EXPECT_EQ(format_lut_values_for_cnp(i32(v).get()).size(), 1024u);
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(i32(lut_values(2047)).get()); }),
              "Wrong size for LUT.");
    auto bad = lut_values(2048);
    bad[7] = 8192;
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(i32(bad).get()); }),
              "8192 cannot fit in a 14 bits signed integer.");
    bad[7] = -8193;
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(i32(bad).get()); }),
              "-8193 cannot fit in a 14 bits signed integer.");
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(f32(std::vector<float>(2048)).get()); }),
              wrong_type(typeid(int32_t).name(), "float32"));
    EXPECT_THROW(format_lut_values_for_cnp(nullptr), std::invalid_argument);
}

}  // namespace
