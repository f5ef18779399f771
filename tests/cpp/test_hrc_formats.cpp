#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "corelib/tensor.h"
#include "program/hrc_formats.h"
#include "test_support.h"

namespace vorna {
namespace {

using Layout = Dense::Layout;
using Words = std::vector<uint32_t>;
using test_support::exception_text;

// A (K, K, Ch, F) int8 kernel whose weight at (r, k, c, f) is value(r, k, c, f).
template <class F>
std::unique_ptr<Dense> kernel(uint32_t k, uint32_t ch, uint32_t filters, F value,
                              Layout layout = Layout::ColMajor) {
    auto t = Dense::create(TensorType::int8, Shape{k, k, ch, filters}, layout);
    for (uint32_t r = 0; r < k; ++r)
        for (uint32_t c = 0; c < k; ++c)
            for (uint32_t i = 0; i < ch; ++i)
                for (uint32_t f = 0; f < filters; ++f)
                    t->data<int8_t>()[t->offset_of({r, c, i, f})] = int8_t(value(r, c, i, f));
    return t;
}

template <class T>
std::unique_ptr<Dense> vec(TensorType type, const std::vector<int>& values) {
    auto t = Dense::create(type, Shape{uint32_t(values.size())}, Layout::RowMajor);
    for (size_t i = 0; i < values.size(); ++i) t->data<T>()[i] = T(values[i]);
    return t;
}
auto i8(const std::vector<int>& v) { return vec<int8_t>(TensorType::int8, v); }
auto u8(const std::vector<int>& v) { return vec<uint8_t>(TensorType::uint8, v); }

std::vector<size_t> sizes(const std::vector<Words>& arrays) {
    std::vector<size_t> s;
    for (const auto& a : arrays) s.push_back(a.size());
    return s;
}

TEST(HrcFormats, WeightWordsByKernelSize) {
    // Weights 1..9 in row-major kernel order, with -1 in place of the fourth.
    auto k3 = format_hrc_weights(*kernel(3, 1, 1, [](uint32_t r, uint32_t k, uint32_t, uint32_t) {
        return 3 * r + k == 3 ? -1 : int(3 * r + k) + 1;
    }));
    EXPECT_EQ(k3, (std::vector<Words>{{0xFF030201, 0x08070605, 0x00000009}, {}, {}}));
    // K = 4 splits each filter over two arrays; filter 1 starts at position 3.
    const auto k4 =
        format_hrc_weights(*kernel(4, 1, 2, [](uint32_t r, uint32_t k, uint32_t, uint32_t f) {
            return int(16 * f + 4 * r + k) + 1;
        }));
    EXPECT_EQ(k4, (std::vector<Words>{{0x04030201, 0x08070605, 0x09, 0x14131211, 0x18171615, 0x19},
                                      {0x0D0C0B0A, 0x00100F0E, 0, 0x1D1C1B1A, 0x00201F1E, 0},
                                      {}}));
    auto numbered = [](uint32_t k) {
        return
            [k](uint32_t r, uint32_t c, uint32_t, uint32_t) { return int((k * r + c) % 120) + 1; };
    };
    const auto k5 = format_hrc_weights(*kernel(5, 1, 1, numbered(5)));
    EXPECT_EQ(k5, (std::vector<Words>{{0x04030201, 0x08070605, 0x09},
                                      {0x0D0C0B0A, 0x11100F0E, 0x12},
                                      {0x16151413, 0x00191817, 0}}));
    const auto k7 = format_hrc_weights(*kernel(7, 1, 1, numbered(7)));
    ASSERT_EQ(sizes(k7), (std::vector<size_t>{6, 6, 6}));
    EXPECT_EQ(k7[2][3], 0x31302F2Eu);  // group 5 holds the last four, weights 46..49
    // K = 5 with three channels: 3 groups per filter, one after the other.
    const auto k5c3 =
        format_hrc_weights(*kernel(5, 3, 2, [](uint32_t r, uint32_t k, uint32_t c, uint32_t f) {
            return (r == 4 && k == 4) ? int(10 * c + f) + 1 : 0;
        }));
    ASSERT_EQ(sizes(k5c3), (std::vector<size_t>{18, 18, 18}));
    EXPECT_EQ(k5c3[2][7], 21u << 16);
    EXPECT_EQ(k5c3[2][16], 22u << 16);
    EXPECT_EQ(k5c3[0][16], 2u << 16);
}

TEST(HrcFormats, WeightArraysFillUpAndRefuse) {
    // K = 3, one channel: arrays of 192 filters.
    auto value = [](uint32_t r, uint32_t k, uint32_t, uint32_t f) {
        return (r == 0 && k == 0) ? int(f % 100) + 1 : 0;
    };
    const auto arrays = format_hrc_weights(*kernel(3, 1, 575, value));
    ASSERT_EQ(sizes(arrays), (std::vector<size_t>{576, 576, 573}));
    for (uint32_t f : {0u, 191u, 192u, 400u, 574u})
        EXPECT_EQ(arrays[f / 192][3 * (f % 192)], f % 100 + 1) << f;
    EXPECT_EQ(sizes(format_hrc_weights(*kernel(3, 1, 384, value))),
              (std::vector<size_t>{576, 576, 0}));
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(3, 1, 576, value)); }),
              "Too many lines on HRC weight formatting with the 3-kernel.");
    const auto c3 =
        format_hrc_weights(*kernel(3, 3, 1000, [](uint32_t r, uint32_t k, uint32_t c, uint32_t f) {
            return f == 999 && r == 0 && k == 0 ? int(c) + 1 : 0;
        }));
    ASSERT_EQ(sizes(c3), (std::vector<size_t>{3000, 3000, 3000}));
    for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(c3[c][2997], c + 1);
    auto mixed = [](uint32_t r, uint32_t k, uint32_t c, uint32_t f) {
        return int((r * 31 + k * 17 + c * 7 + f * 3) % 256) - 128;
    };
    for (uint32_t k : {3u, 4u, 5u, 7u})
        EXPECT_EQ(format_hrc_weights(*kernel(k, 3, 9, mixed, Layout::ColMajor)),
                  format_hrc_weights(*kernel(k, 3, 9, mixed, Layout::RowMajor)))
            << k;
    auto zero = [](uint32_t, uint32_t, uint32_t, uint32_t) { return 0; };
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(6, 1, 1, zero)); }),
              "Wrong kernel_size at HRC recording.");
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(6, 3, 1, zero)); }),
              "<no exception>");
    // Two channels would run past the images: refused instead of writing out of bounds.
    for (auto [k, filters] : {std::pair{4u, 3u}, {3u, 200u}})
        EXPECT_EQ(exception_text([&] { format_hrc_weights(*kernel(k, 2, filters, zero)); }),
                  "HRC weights do not fit the HRC weight memories.");
    auto unsigned_kernel = Dense::create(TensorType::uint8, Shape{3, 3, 1, 1}, Layout::ColMajor);
    EXPECT_EQ(exception_text([&] { format_hrc_weights(*unsigned_kernel); }),
              "Wrong requested type a for a tensor of type uint8.");
}

TEST(HrcFormats, Kernel16GroupsDealtOverThreeArrays) {
    // 256 weights make 29 groups of 9 (the last holds 4); group g goes to array g % 3 at
    // position g / 3, so arrays 0 and 1 get 10 groups and array 2 gets 9.
    const auto arrays = format_hrc_weights(
        *kernel(16, 1, 1, [](uint32_t, uint32_t, uint32_t, uint32_t) { return 1; }));
    EXPECT_EQ(sizes(arrays), (std::vector<size_t>{30, 30, 27}));
    EXPECT_EQ(Words(arrays[2].begin(), arrays[2].begin() + 3),
              (Words{0x01010101, 0x01010101, 0x01}));
    EXPECT_EQ(Words(arrays[1].begin() + 27, arrays[1].end()), (Words{0x01010101, 0, 0}));
}

TEST(HrcFormats, KernelWithFewerRowsThanColumnsIsRefused) {
    // Reading the missing row would run past the tensor: checked in a child process.
    EXPECT_EXIT(
        {
            auto short_rows = Dense::create(TensorType::int8, Shape{2, 3, 1, 1}, Layout::ColMajor);
            const std::string text = exception_text([&] { format_hrc_weights(*short_rows); });
            std::exit(text == "Coordinates are out-of-range" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(HrcFormats, ActivationAndLutWords) {
    // word 0: max_value bit 0 << 19 | shift << 14 | scale << 6 | output_shift (6-bit)
    // word 1: bias byte << 12 | bias_shift << 7 | max_value >> 1
    EXPECT_EQ(format_hrc_activations(*i8({-32, 5}), *u8({200, 1}), u8({31, 0}).get(),
                                     u8({255, 6}).get(), *u8({17, 0}), *i8({-2, 3})),
              (Words{0x000FF220, 0x000FE8FF, 0x00000045, 0x00003003}));
    EXPECT_EQ(format_hrc_activations(*i8({-1}), *u8({1}), nullptr, nullptr, *u8({0}), *i8({0})),
              (Words{0x7F, 0}));
    auto zu = u8({0});
    auto z8 = i8({0});
    const std::pair<std::string, std::string> refused[] = {
        {exception_text(
             [&] { format_hrc_activations(*i8({32}), *zu, nullptr, nullptr, *zu, *z8); }),
         "32 cannot fit in a 6 bits signed integer."},
        {exception_text(
             [&] { format_hrc_activations(*z8, *zu, u8({40}).get(), nullptr, *zu, *z8); }),
         "40 cannot fit in a 5 bits unsigned integer."},
        {exception_text(
             [&] { format_hrc_activations(*z8, *zu, nullptr, nullptr, *u8({32}), *z8); }),
         "32 cannot fit in a 5 bits unsigned integer."},
        {exception_text([&] { format_hrc_activations(*zu, *zu, nullptr, nullptr, *zu, *z8); }),
         "Wrong requested type a for a tensor of type uint8."},
        // A variable shorter than "bias" is refused rather than read past its end.
        {exception_text([&] {
             format_hrc_activations(*i8({0, 0}), *zu, nullptr, nullptr, *u8({0, 0}), *i8({0, 0}));
         }),
         "Coordinates are out-of-range"},
        {exception_text([&] { format_hrc_lut_variables(*zu, *z8, *u8({32}), *z8, *z8, *zu); }),
         "2 cannot fit in a 1 bits unsigned integer."},
        {exception_text([&] { format_hrc_lut_variables(*zu, *z8, *zu, *i8({-33}), *z8, *zu); }),
         "-33 cannot fit in a 6 bits signed integer."},
        {exception_text([&] { format_hrc_lut_variables(*zu, *z8, *zu, *z8, *i8({32}), *zu); }),
         "32 cannot fit in a 6 bits signed integer."}};
    for (const auto& [got, expected] : refused) EXPECT_EQ(got, expected);
    // a = 5, b = -3, c = 20 (low nibble 4, bit 4 set), d = -1, e = 31, f = 7.
    EXPECT_EQ(format_hrc_lut_variables(*u8({5, 0}), *i8({-3, 1}), *u8({20, 15}), *i8({-1, -32}),
                                       *i8({31, 0}), *u8({7, 0})),
              (Words{0x0004FD05, 0x0000EFFF, 0x000F0100, 0x00000040}));
}

}  // namespace
}  // namespace vorna
