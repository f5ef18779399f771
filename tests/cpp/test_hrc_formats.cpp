#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/tensor.h"
#include "program/hrc_formats.h"
#include "test_support.h"

namespace vorna {
namespace {

using Layout = Dense::Layout;

// A (K, K, Ch, F) int8 kernel whose weight at (r, k, c, f) is value(r, k, c, f).
template <class F>
std::unique_ptr<Dense> kernel(uint32_t k, uint32_t ch, uint32_t filters, F value,
                              Layout layout = Layout::ColMajor) {
    auto t = Dense::create(TensorType::int8, Shape{k, k, ch, filters}, layout);
    int8_t* data = t->data<int8_t>();
    for (uint32_t r = 0; r < k; ++r)
        for (uint32_t c = 0; c < k; ++c)
            for (uint32_t i = 0; i < ch; ++i)
                for (uint32_t f = 0; f < filters; ++f)
                    data[t->offset_of({r, c, i, f})] = static_cast<int8_t>(value(r, c, i, f));
    return t;
}

template <class T>
std::unique_ptr<Dense> vec(TensorType type, const std::vector<int>& values) {
    auto t = Dense::create(type, Shape{static_cast<uint32_t>(values.size())}, Layout::RowMajor);
    for (size_t i = 0; i < values.size(); ++i) t->data<T>()[i] = static_cast<T>(values[i]);
    return t;
}
auto i8(const std::vector<int>& v) { return vec<int8_t>(TensorType::int8, v); }
auto u8(const std::vector<int>& v) { return vec<uint8_t>(TensorType::uint8, v); }

using test_support::exception_text;

std::vector<size_t> sizes(const std::vector<std::vector<uint32_t>>& arrays) {
    std::vector<size_t> s;
    for (const auto& a : arrays) s.push_back(a.size());
    return s;
}

TEST(HrcFormats, LayoutSteps) {
    struct Case {
        void (*step)(uint32_t*, uint32_t*);
        uint32_t position, index, next_position, next_index;
    };
    for (const Case& c :
         {Case{hrc_step_by_3, 6, 2, 9, 2}, Case{hrc_step_every_2, 3, 0, 3, 1},
          Case{hrc_step_every_2, 3, 1, 6, 0}, Case{hrc_step_every_3, 0, 1, 0, 2},
          Case{hrc_step_every_3, 0, 2, 3, 0}, Case{hrc_step_wrap_576, 570, 0, 573, 0},
          Case{hrc_step_wrap_576, 573, 1, 0, 2}}) {
        uint32_t position = c.position, index = c.index;
        c.step(&position, &index);
        EXPECT_EQ(position, c.next_position);
        EXPECT_EQ(index, c.next_index);
    }
}

TEST(HrcFormats, GroupBytesOfOneFilter) {
    // Weights 1..9 in row-major kernel order, with -1 in place of the fourth.
    auto weights = kernel(3, 1, 1, [](uint32_t r, uint32_t k, uint32_t, uint32_t) {
        const int n = static_cast<int>(3 * r + k);
        return n == 3 ? -1 : n + 1;
    });
    const auto arrays = format_hrc_weights(*weights);
    ASSERT_EQ(sizes(arrays), (std::vector<size_t>{3, 0, 0}));
    EXPECT_EQ(arrays[0], (std::vector<uint32_t>{0xFF030201, 0x08070605, 0x00000009}));
}

TEST(HrcFormats, Kernel3OneChannelFillsArraysOf192Filters) {
    auto value = [](uint32_t r, uint32_t k, uint32_t, uint32_t f) {
        return (r == 0 && k == 0) ? static_cast<int>(f % 100) + 1 : 0;
    };
    const auto arrays = format_hrc_weights(*kernel(3, 1, 575, value));
    ASSERT_EQ(sizes(arrays), (std::vector<size_t>{576, 576, 573}));
    for (uint32_t f : {0u, 191u, 192u, 400u, 574u}) {
        EXPECT_EQ(arrays[f / 192][3 * (f % 192)], f % 100 + 1) << f;
    }
    EXPECT_EQ(sizes(format_hrc_weights(*kernel(3, 1, 384, value))),
              (std::vector<size_t>{576, 576, 0}));
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(3, 1, 576, value)); }),
              "Too many lines on HRC weight formatting with the 3-kernel.");
}

TEST(HrcFormats, ThreeChannelsEachFillTheirArray) {
    const auto arrays =
        format_hrc_weights(*kernel(3, 3, 1000, [](uint32_t r, uint32_t k, uint32_t c, uint32_t f) {
            return f == 999 && r == 0 && k == 0 ? static_cast<int>(c) + 1 : 0;
        }));
    ASSERT_EQ(sizes(arrays), (std::vector<size_t>{3000, 3000, 3000}));
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(arrays[c][2997], c + 1);

    // K = 5 with three channels: 3 groups per filter, one after the other.
    const auto k5 =
        format_hrc_weights(*kernel(5, 3, 2, [](uint32_t r, uint32_t k, uint32_t c, uint32_t f) {
            return (r == 4 && k == 4) ? static_cast<int>(10 * c + f) + 1 : 0;
        }));
    ASSERT_EQ(sizes(k5), (std::vector<size_t>{18, 18, 18}));
    // The last weight (n = 24) is value 6 of the third group: word 1, bits 16-23.
    EXPECT_EQ(k5[2][6 + 1], 21u << 16);   // channel 2, filter 0
    EXPECT_EQ(k5[2][15 + 1], 22u << 16);  // channel 2, filter 1
}

TEST(HrcFormats, Kernel4SplitsEachFilterOverTwoArrays) {
    const auto arrays =
        format_hrc_weights(*kernel(4, 1, 2, [](uint32_t r, uint32_t k, uint32_t, uint32_t f) {
            return static_cast<int>(16 * f + 4 * r + k) + 1;
        }));
    ASSERT_EQ(sizes(arrays), (std::vector<size_t>{6, 6, 0}));
    EXPECT_EQ(arrays[0][0], 0x04030201u);
    EXPECT_EQ(arrays[0][2], 0x00000009u);
    EXPECT_EQ(arrays[1][0], 0x0D0C0B0Au);  // weights 9..12
    EXPECT_EQ(arrays[1][1], 0x00100F0Eu);  // weights 13..15
    EXPECT_EQ(arrays[1][2], 0u);
    EXPECT_EQ(arrays[0][3], 0x14131211u);  // filter 1 starts at position 3
    EXPECT_EQ(arrays[1][4], 0x00201F1Eu);
}

TEST(HrcFormats, Kernels5And7And16UseThreeArrays) {
    auto numbered = [](uint32_t k) {
        return [k](uint32_t r, uint32_t c, uint32_t, uint32_t) {
            return static_cast<int>((k * r + c) % 120) + 1;
        };
    };
    const auto k5 = format_hrc_weights(*kernel(5, 1, 1, numbered(5)));
    ASSERT_EQ(sizes(k5), (std::vector<size_t>{3, 3, 3}));
    EXPECT_EQ(k5[1][0], 0x0D0C0B0Au);  // weights 9..12 open the second group
    EXPECT_EQ(k5[2][1], 0x00191817u);  // weights 22..24 close the third

    const auto k7 = format_hrc_weights(*kernel(7, 1, 1, numbered(7)));
    ASSERT_EQ(sizes(k7), (std::vector<size_t>{6, 6, 6}));
    EXPECT_EQ(k7[0][3], 0x1F1E1D1Cu);  // group 3 (weights 27..35) at position 3
    EXPECT_EQ(k7[2][3], 0x31302F2Eu);  // group 5 holds the last four, weights 45..48
    EXPECT_EQ(k7[2][4], 0u);

    const auto k16 = format_hrc_weights(*kernel(16, 1, 1, numbered(16)));
    EXPECT_EQ(sizes(k16), (std::vector<size_t>{30, 30, 27}));  // 29 groups
}

TEST(HrcFormats, LayoutDoesNotChangeTheImage) {
    auto value = [](uint32_t r, uint32_t k, uint32_t c, uint32_t f) {
        return static_cast<int>((r * 31 + k * 17 + c * 7 + f * 3) % 256) - 128;
    };
    for (uint32_t k : {3u, 4u, 5u, 7u}) {
        for (uint32_t ch : {1u, 3u}) {
            EXPECT_EQ(format_hrc_weights(*kernel(k, ch, 9, value, Layout::ColMajor)),
                      format_hrc_weights(*kernel(k, ch, 9, value, Layout::RowMajor)))
                << "K " << k << " Ch " << ch;
        }
    }
}

TEST(HrcFormats, KernelsWithoutALayoutFail) {
    auto zero = [](uint32_t, uint32_t, uint32_t, uint32_t) { return 0; };
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(6, 1, 1, zero)); }),
              "Wrong kernel_size at HRC recording.");
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(6, 3, 1, zero)); }),
              "<no exception>");
    // Two channels would run past the images; refused instead of writing out of bounds.
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(4, 2, 3, zero)); }),
              "HRC weights do not fit the HRC weight memories.");
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(3, 2, 200, zero)); }),
              "HRC weights do not fit the HRC weight memories.");
    auto unsigned_kernel = Dense::create(TensorType::uint8, Shape{3, 3, 1, 1}, Layout::ColMajor);
    EXPECT_EQ(exception_text([&] {
                  format_hrc_weights(*unsigned_kernel);
              }).rfind("Wrong requested type ", 0),
              0u);
}

TEST(HrcFormats, ActivationWords) {
    const auto words = format_hrc_activations(*i8({-32, 5}), *u8({200, 1}).get(), u8({31, 0}).get(),
                                              u8({255, 6}).get(), *u8({17, 0}), *i8({-2, 3}));
    // word 0: max_value bit 0 << 19 | shift << 14 | scale << 6 | output_shift (6-bit)
    // word 1: bias byte << 12 | bias_shift << 7 | max_value >> 1
    EXPECT_EQ(words, (std::vector<uint32_t>{0x000FF220, 0x000FE8FF, 0x00000045, 0x00003003}));

    const auto no_max =
        format_hrc_activations(*i8({-1}), *u8({1}), nullptr, nullptr, *u8({0}), *i8({0}));
    EXPECT_EQ(no_max, (std::vector<uint32_t>{0x7F, 0}));
}

TEST(HrcFormats, ActivationRangeAndTypeErrors) {
    auto ok_u8 = u8({0});
    auto ok_i8 = i8({0});
    EXPECT_EQ(exception_text([&] {
                  format_hrc_activations(*i8({32}), *ok_u8, nullptr, nullptr, *ok_u8, *ok_i8);
              }),
              "32 cannot fit in a 6 bits signed integer.");
    EXPECT_EQ(exception_text([&] {
                  format_hrc_activations(*ok_i8, *ok_u8, u8({40}).get(), nullptr, *ok_u8, *ok_i8);
              }),
              "40 cannot fit in a 5 bits unsigned integer.");
    EXPECT_EQ(exception_text([&] {
                  format_hrc_activations(*ok_i8, *ok_u8, nullptr, nullptr, *u8({32}), *ok_i8);
              }),
              "32 cannot fit in a 5 bits unsigned integer.");
    const std::string wrong = exception_text(
        [&] { format_hrc_activations(*ok_u8, *ok_u8, nullptr, nullptr, *ok_u8, *ok_i8); });
    EXPECT_EQ(wrong.rfind("Wrong requested type ", 0), 0u) << wrong;
    EXPECT_NE(wrong.find(" for a tensor of type uint8."), std::string::npos) << wrong;
    // A variable shorter than "bias" is refused rather than read past its end.
    EXPECT_EQ(exception_text([&] {
                  format_hrc_activations(*i8({0, 0}), *ok_u8, nullptr, nullptr, *u8({0, 0}),
                                         *i8({0, 0}));
              }),
              "Coordinates are out-of-range");
}

TEST(HrcFormats, LutVariableWords) {
    // a = 5, b = -3, c = 20 (low nibble 4, bit 4 set), d = -1, e = 31, f = 7.
    const auto words = format_hrc_lut_variables(*u8({5, 0}), *i8({-3, 1}), *u8({20, 15}),
                                                *i8({-1, -32}), *i8({31, 0}), *u8({7, 0}));
    EXPECT_EQ(words, (std::vector<uint32_t>{0x0004FD05, 0x0000EFFF, 0x000F0100, 0x00000040}));

    auto z8 = i8({0});
    auto zu = u8({0});
    EXPECT_EQ(exception_text([&] { format_hrc_lut_variables(*zu, *z8, *u8({32}), *z8, *z8, *zu); }),
              "2 cannot fit in a 1 bits unsigned integer.");
    EXPECT_EQ(
        exception_text([&] { format_hrc_lut_variables(*zu, *z8, *zu, *i8({-33}), *z8, *zu); }),
        "-33 cannot fit in a 6 bits signed integer.");
    EXPECT_EQ(exception_text([&] { format_hrc_lut_variables(*zu, *z8, *zu, *z8, *i8({32}), *zu); }),
              "32 cannot fit in a 6 bits signed integer.");
}

}  // namespace
}  // namespace vorna
