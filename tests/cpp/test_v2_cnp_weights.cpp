// Weight images of the v2 CNP kinds that no whole model reaches, and their refusals.

#include <gtest/gtest.h>

#include <bitset>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "backend/v2/cnp_variables.h"
#include "backend/v2/cnp_weights.h"
#include "corelib/dma.h"
#include "corelib/tensor.h"
#include "test_support.h"

namespace vorna {
namespace v2 {
namespace {

using Layout = Dense::Layout;
using test_support::exception_text;
using Fill = std::function<int(uint32_t, uint32_t, uint32_t, uint32_t)>;

std::unique_ptr<Dense> weights(uint32_t k, uint32_t nc, uint32_t nf, const Fill& f,
                               Layout layout = Layout::ColMajor,
                               TensorType type = TensorType::int8) {
    auto t = Dense::create(type, Shape{k, k, nc, nf}, layout);
    int8_t* d = t->data<int8_t>();
    for (uint32_t i = 0; i < k; ++i)
        for (uint32_t j = 0; j < k; ++j)
            for (uint32_t c = 0; c < nc; ++c)
                for (uint32_t n = 0; n < nf; ++n)
                    d[t->offset_of({i, j, c, n})] = int8_t(f(i, j, c, n));
    return t;
}

uint8_t byte_at(const std::vector<uint32_t>& w, size_t pos) {
    return uint8_t(w.at(pos / 4) >> (8 * (pos % 4)));
}

size_t popcount(const std::vector<uint32_t>& w) {
    size_t n = 0;
    for (uint32_t x : w) n += std::bitset<32>(x).count();
    return n;
}

const std::string kSignedMsg4 = "8 cannot fit in a 4 bits signed integer.";

TEST(V2CnpWeightSizes, ChannelContentTable) {
    EXPECT_EQ(conv2d_8bit_ch_cont_100b_size(1, 30), 4u);  // 2 * ceil(32 / 24)
    EXPECT_EQ(conv2d_8bit_ch_cont_100b_size(1, 17), 2u);
    EXPECT_EQ(conv2d_8bit_ch_cont_100b_size(3, 9), 12u);
    EXPECT_EQ(conv2d_8bit_ch_cont_100b_size(4, 8), 12u);
    EXPECT_EQ(conv2d_8bit_ch_cont_100b_size(5, 1), 20u);
    EXPECT_EQ(conv2d_8bit_ch_cont_100b_size(7, 16), 112u);
    EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(1, 25), 2u);
    EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(3, 9), 6u);
    EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(5, 9), 16u);
    EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(7, 8), 21u);
    EXPECT_EQ(conv2d_ch_cont_100b_size(5, 9, 8), 40u);
    EXPECT_EQ(conv2d_ch_cont_100b_size(5, 9, 4), 16u);
    EXPECT_EQ(conv2d_cnp_formatted_weight_100b_size(3, 8, 5, 8), 30u);
    EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_32b_size(3, 8, 100), 1200u);  // never rounded
    EXPECT_EQ(dwc_ch_cont_100b_size(5, 10, 8), 30u);
    EXPECT_EQ(dwc_ch_cont_100b_size(5, 10, 4), 15u);
    EXPECT_EQ(dwc_ch_cont_100b_size(4, 7, 8), 14u);
    EXPECT_EQ(dwc_4bit_ch_cont_100b_size(3, 3), 2u);
    EXPECT_EQ(dwc_4bit_ch_cont_100b_size(7, 1), 4u);
    EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(3, 1), 16u);
    EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(7, 3), 48u);
}

// Image sizes in 32-bit words: 8-bit images longer than 255 words take an XL
// block and are rounded up to a multiple of 16; 4-bit convolution images are
// never rounded; 4-bit depthwise sizes always are.
TEST(V2CnpWeightSizes, FormattedWordSizes) {
    struct Case {
        uint32_t k, n, nc;
        uint8_t bits;
        uint32_t words;
    };
    for (const Case& c : {
             Case{3, 8, 1, 8, 18},    // 6 words of 100 bits, 3 words each
             Case{3, 8, 14, 8, 252},  // 252 fits a normal block
             Case{3, 8, 15, 8, 272},  // 270 rounded up to 272
             Case{1, 30, 2, 8, 24},   // 4 words of 100 bits a channel
             Case{5, 17, 3, 8, 544},  // 60 * 3 * 3 = 540
             Case{7, 9, 1, 8, 448},   // 112 words of 100 bits, 4 words each
             Case{7, 1, 1, 8, 224},   //
             Case{7, 9, 1, 4, 168},   // 4-bit: 4 * 21 * 2
             Case{1, 25, 3, 4, 24},   // 4 * 2 * 3
             Case{5, 9, 2, 4, 128},   // 4 * 16 * 2
             Case{3, 9, 23, 4, 552},  // 4 * 6 * 23, over 255 and not rounded
             Case{3, 8, 1, 2, 12},    // neither width: the 4-bit size
         }) {
        EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(c.k, c.n, c.nc, c.bits), c.words)
            << c.k << " " << c.n << " " << c.nc << " " << int(c.bits);
        if (c.bits != 8) {
            EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_32b_size(c.k, c.n, c.nc), c.words);
        }
    }
    struct DwCase {
        uint32_t k, channels;
        uint8_t bits;
        uint32_t words;
    };
    for (const DwCase& c : {
             DwCase{7, 1, 8, 21},    // 7 words of 100 bits
             DwCase{7, 13, 8, 288},  // 273 rounded up
             DwCase{4, 42, 8, 252},  // 2 words of 100 bits a channel, no XL
             DwCase{3, 86, 8, 272},  // 258 rounded up
             DwCase{5, 3, 8, 27},    //
             DwCase{7, 1, 4, 16},    // 14 rounded up to 16
             DwCase{7, 2, 4, 32},    // 28
             DwCase{7, 3, 4, 48},    // 42
             DwCase{5, 3, 4, 32},    // 18
             DwCase{3, 9, 4, 32},    // 18
         }) {
        EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(c.k, c.channels, c.bits), c.words)
            << c.k << " " << c.channels << " " << int(c.bits);
    }
    EXPECT_EQ(dwc_4bit_ch_cont_100b_size(7, 2), 7u);
    EXPECT_EQ(dwc_4bit_ch_cont_100b_size(7, 3), 11u);
    EXPECT_EQ(dwc_ch_cont_100b_size(7, 3, 4), 11u);
    EXPECT_EQ(dwc_ch_cont_100b_size(7, 3, 8), 21u);
}

TEST(V2CnpWeightSizes, KernelSizeErrors) {
    EXPECT_EQ(exception_text([] { conv2d_8bit_ch_cont_100b_size(2, 8); }),
              "ch_cont_size: Unexpected kernel size.");
    EXPECT_EQ(exception_text([] { conv2d_4bit_ch_cont_100b_size(4, 8); }),
              "Unsupported kernel size.");
    EXPECT_EQ(exception_text([] { conv2d_weight_layout(6); }),
              "cnp_weight_format: Unexpected kernel size.");
    EXPECT_EQ(exception_text([] { conv2d_dma_target(6, 8); }),
              "cnp_weight_format: Unexpected kernel size.");
    EXPECT_EQ(exception_text([] { dwc_ch_cont_100b_size(1, 8, 8); }),
              "ch_cont_size: Unexpected kernel size.");
    EXPECT_EQ(exception_text([] { dwc_4bit_ch_cont_100b_size(4, 8); }), "Invalid kernel size.");
    EXPECT_EQ(exception_text([] { dwc_cnp_formatted_4bit_weight_32b_size(4, 8); }),
              "Invalid kernel size.");
    EXPECT_EQ(exception_text([] { dwc_dma_target(6, 8); }),
              "cnp_weight_format: Unexpected kernel size.");
    EXPECT_EQ(exception_text([] { dwc_weight_layout(1); }),
              "cnp_weight_format: Unexpected kernel size.");
}

TEST(V2CnpConvWeights, FourBitKernel5NibblesStraddleHalves) {
    auto w =
        weights(5, 1, 3, [](auto, auto j, auto, auto n) { return (n == 2 && j == 0) ? -1 : 0; });
    auto img = format_conv2d_4bit_weights(*w, 0, 3);
    ASSERT_EQ(img.size(), 32u);
    std::vector<uint32_t> expected(32, 0);
    expected[1] = 0x3FFu << 8;  // stream bits 40-49
    expected[2] = 0x3FFu;       // bits 0-9 of the second half
    EXPECT_EQ(img, expected);
}

TEST(V2CnpConvWeights, FourBitKernel7AlignsEveryThreeFilterRows) {
    auto w = weights(7, 1, 8, [](auto, auto j, auto, auto n) {
        return ((n == 3 && j == 0) || (n == 0 && j == 1)) ? -1 : 0;
    });
    auto img = format_conv2d_4bit_weights(*w, 0, 8);
    ASSERT_EQ(img.size(), 84u);
    std::vector<uint32_t> expected(84, 0);
    expected[4] = 0x0FFFFFFF;   // filter 3 opens the second 100-bit word of kernel row 0
    expected[12] = 0x0FFFFFFF;  // kernel row 1 starts three 100-bit words later
    EXPECT_EQ(img, expected);
}

TEST(V2CnpConvWeights, FourBitRefusesValuesOutsideSignedRange) {
    auto w = weights(3, 1, 1, [](auto i, auto, auto, auto) { return i == 1 ? 8 : 0; });
    EXPECT_EQ(exception_text([&] { format_conv2d_cnp_weights(*w, 0, 1, 4); }), kSignedMsg4);
    auto neg = weights(1, 1, 1, [](auto, auto, auto, auto) { return -9; });
    EXPECT_EQ(exception_text([&] { format_conv2d_4bit_weights(*neg, 0, 1); }),
              "-9 cannot fit in a 4 bits signed integer.");
}

TEST(V2CnpConvWeights, Errors) {
    auto w2 = weights(2, 1, 8, [](auto, auto, auto, auto) { return 1; });
    EXPECT_EQ(exception_text([&] { format_conv2d_cnp_weights(*w2, 0, 8, 8); }),
              "cnp_weight_format: Unexpected kernel size.");
    auto w4 = weights(4, 1, 8, [](auto, auto, auto, auto) { return 1; });
    EXPECT_EQ(exception_text([&] { format_conv2d_cnp_weights(*w4, 0, 8, 4); }),
              "Unsupported kernel size.");
    auto w = weights(3, 2, 8, [](auto, auto, auto, auto) { return 1; });
    EXPECT_EQ(exception_text([&] { format_conv2d_cnp_weights(*w, 4, 5, 8); }),
              "Coordinates are out-of-range");
    EXPECT_EQ(exception_text([&] { format_conv2d_cnp_weights(*w, 0, 9, 4); }),
              "Coordinates are out-of-range");
    auto u = Dense::create(TensorType::uint8, Shape{3, 3, 1, 8}, Layout::ColMajor);
    EXPECT_EQ(exception_text([&] { format_conv2d_cnp_weights(*u, 0, 8, 8); }),
              std::string("Wrong requested type ") + typeid(int8_t).name() +
                  " for a tensor of type uint8.");
}

// Every kernel, width, filter count and channel count: the image length is
// the size function's, every weight bit lands exactly once (all weights -1),
// and both memory layouts give the same image.
TEST(V2CnpConvWeights, SizeCoverageAndLayoutInvariance) {
    for (uint8_t bits : {uint8_t(8), uint8_t(4)}) {
        for (uint32_t k : {1u, 3u, 4u, 5u, 7u}) {
            if (bits == 4 && k == 4) continue;
            for (uint32_t nc = 1; nc <= 3; ++nc) {
                for (uint32_t n = 1; n <= 40; n += (n < 10 ? 1 : 7)) {
                    const uint32_t total = n + 3;
                    auto ones = weights(k, nc, total, [](auto, auto, auto, auto) { return -1; });
                    auto img = format_conv2d_cnp_weights(*ones, 2, n, bits);
                    ASSERT_EQ(img.size(), conv2d_cnp_formatted_weight_32b_size(k, n, nc, bits))
                        << int(bits) << " k" << k << " n" << n << " nc" << nc;
                    ASSERT_EQ(popcount(img), size_t(bits) * k * k * nc * n)
                        << int(bits) << " k" << k << " n" << n << " nc" << nc;

                    const Fill f = [](uint32_t i, uint32_t j, uint32_t c, uint32_t m) {
                        return int((i * 7 + j * 13 + c * 5 + m * 3) % 15) - 7;
                    };
                    auto a = weights(k, nc, total, f, Layout::RowMajor);
                    auto b = weights(k, nc, total, f, Layout::ColMajor);
                    ASSERT_EQ(format_conv2d_cnp_weights(*a, 2, n, bits),
                              format_conv2d_cnp_weights(*b, 2, n, bits))
                        << int(bits) << " k" << k << " n" << n << " nc" << nc;
                }
            }
        }
    }
}

std::unique_ptr<Dense> dw_weights(uint32_t k, uint32_t channels, const Fill& f,
                                  Layout layout = Layout::ColMajor) {
    auto t = Dense::create(TensorType::int8, Shape{k, k, 1, channels}, layout);
    int8_t* d = t->data<int8_t>();
    for (uint32_t x = 0; x < k; ++x)
        for (uint32_t y = 0; y < k; ++y)
            for (uint32_t c = 0; c < channels; ++c)
                d[t->offset_of({x, y, 0, c})] = int8_t(f(x, y, 0, c));
    return t;
}

TEST(V2CnpDepthwiseWeights, EightBitKernel7RowsHaveTwoGaps) {
    auto w = dw_weights(7, 1, [](auto x, auto y, auto, auto) { return 1 + x + 7 * y; });
    auto img = format_depthwise_conv_cnp_weights(*w, 0, 1, 8);
    ASSERT_EQ(img.size(), 21u);
    for (uint32_t y = 0; y < 7; ++y) {
        const size_t r = 12 * y;
        for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(byte_at(img, r + x), 1 + x + 7 * y);
        EXPECT_EQ(byte_at(img, r + 4), 0);
        EXPECT_EQ(byte_at(img, r + 5), 0);
        for (uint32_t x = 4; x < 7; ++x) EXPECT_EQ(byte_at(img, r + 2 + x), 1 + x + 7 * y);
        for (uint32_t b = 9; b < 12; ++b) EXPECT_EQ(byte_at(img, r + b), 0);
    }
}

TEST(V2CnpDepthwiseWeights, FourBitKernel5Placement) {
    auto rows = dw_weights(5, 1, [](auto, auto y, auto, auto) { return int(y) + 1; });
    auto img = format_depthwise_conv_cnp_4bit_weights(*rows, 0, 1);
    EXPECT_EQ(img, (std::vector<uint32_t>{0x22211111, 0x00000022, 0x44433333, 0x00000044,
                                          0x00055555, 0x00000000}));
}

// Kernel 7, 4-bit: one 28-bit row per 50-bit half, seven pairs of words a
// channel; the range starts at its first channel.
TEST(V2CnpDepthwiseWeights, FourBitKernel7OneRowPerHalf) {
    auto w = dw_weights(7, 3, [](auto x, auto y, auto, auto c) {
        if (c == 0) return 5;
        if (c == 1) return int((x + y) & 7);
        return y == 3 ? -1 : 0;
    });
    const auto img = format_depthwise_conv_cnp_weights(*w, 1, 2, 4);
    std::vector<uint32_t> expected(28, 0);
    const uint32_t rows[7] = {0x06543210, 0x07654321, 0x00765432, 0x01076543,
                              0x02107654, 0x03210765, 0x04321076};
    for (size_t y = 0; y < 7; ++y) expected[2 * y] = rows[y];
    expected[14 + 6] = 0x0FFFFFFF;  // channel 2, row 3
    EXPECT_EQ(img, expected);
}

TEST(V2CnpDepthwiseWeights, FourBitRangeAndErrors) {
    auto w = dw_weights(3, 1, [](auto x, auto, auto, auto) { return x == 2 ? 8 : 0; });
    EXPECT_EQ(exception_text([&] { format_depthwise_conv_cnp_weights(*w, 0, 1, 4); }), kSignedMsg4);
    auto k4 = dw_weights(4, 1, [](auto, auto, auto, auto) { return 0; });
    EXPECT_EQ(exception_text([&] { format_depthwise_conv_cnp_4bit_weights(*k4, 0, 1); }),
              "Invalid kernel size.");
    auto k6 = dw_weights(6, 1, [](auto, auto, auto, auto) { return 0; });
    EXPECT_EQ(exception_text([&] { format_depthwise_conv_cnp_weights(*k6, 0, 1, 8); }),
              "ch_cont_size: Unexpected kernel size.");
    auto ok = dw_weights(3, 4, [](auto, auto, auto, auto) { return 1; });
    EXPECT_EQ(exception_text([&] { format_depthwise_conv_cnp_weights(*ok, 2, 3, 8); }),
              "Coordinates are out-of-range");
    EXPECT_EQ(exception_text([&] { format_depthwise_conv_cnp_weights(*ok, 4, 1, 4); }),
              "Coordinates are out-of-range");
}

// A kernel with fewer columns than rows (3 x 2), or a filter range past the
// last filter, is refused before any weight is read, by each 8- and 4-bit
// image formatter. A formatter that let it through would read past the
// tensor, so each case runs in a child.
TEST(V2CnpWeights, WeightsOutsideTheTensorAreRefused) {
    auto conv = Dense::create(TensorType::int8, Shape{3, 2, 1, 8}, Layout::ColMajor);
    auto dw = Dense::create(TensorType::int8, Shape{3, 2, 1, 4}, Layout::ColMajor);
    auto square = Dense::create(TensorType::int8, Shape{3, 3, 1, 8}, Layout::ColMajor);
    const std::vector<std::function<void()>> calls = {
        [&] { format_conv2d_cnp_weights(*square, 4, 5, 8); },
        [&] { format_depthwise_conv_cnp_weights(*square, 8, 1, 8); },
        [&] { format_conv2d_cnp_weights(*conv, 0, 8, 8); },
        [&] { format_conv2d_4bit_weights(*conv, 0, 8); },
        [&] { format_depthwise_conv_cnp_weights(*dw, 0, 4, 8); },
        [&] { format_depthwise_conv_cnp_4bit_weights(*dw, 0, 4); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EXIT(std::exit(exception_text(calls[i]) == "Coordinates are out-of-range" ? 0 : 1),
                    ::testing::ExitedWithCode(0), "")
            << i;
    }
}

TEST(V2CnpDepthwiseWeights, SizeCoverageAndLayoutInvariance) {
    for (uint8_t bits : {uint8_t(8), uint8_t(4)}) {
        for (uint32_t k : {3u, 4u, 5u, 7u}) {
            if (bits == 4 && k == 4) continue;
            // An empty channel range has an empty image.
            auto some = dw_weights(k, 2, [](auto, auto, auto, auto) { return -1; });
            EXPECT_TRUE(format_depthwise_conv_cnp_weights(*some, 1, 0, bits).empty());
            for (uint32_t ch = 1; ch <= 40; ch += (ch < 6 ? 1 : 9)) {
                const uint32_t total = ch + 2;
                auto ones = dw_weights(k, total, [](auto, auto, auto, auto) { return -1; });
                auto img = format_depthwise_conv_cnp_weights(*ones, 1, ch, bits);
                // 4-bit: one pair of words per 1, 3 or 7 halves of a channel.
                const size_t expected_len = bits == 8 ? dwc_cnp_formatted_weight_32b_size(k, ch, 8)
                                                      : size_t(2) * ch *
                                                            (k == 3   ? 1
                                                             : k == 5 ? 3
                                                                      : 7);
                ASSERT_EQ(img.size(), expected_len) << int(bits) << " k" << k << " ch" << ch;
                ASSERT_EQ(popcount(img), size_t(bits) * k * k * ch);

                const Fill f = [](uint32_t x, uint32_t y, uint32_t, uint32_t c) {
                    return int((x * 5 + y * 11 + c * 3) % 15) - 7;
                };
                auto a = dw_weights(k, total, f, Layout::RowMajor);
                auto b = dw_weights(k, total, f, Layout::ColMajor);
                ASSERT_EQ(format_depthwise_conv_cnp_weights(*a, 1, ch, bits),
                          format_depthwise_conv_cnp_weights(*b, 1, ch, bits));
            }
        }
    }
}

std::shared_ptr<Dense> vec(TensorType type, std::vector<int> values) {
    auto t = Dense::create(type, Shape{uint32_t(values.size())}, Layout::RowMajor);
    if (type == TensorType::uint8) {
        for (size_t i = 0; i < values.size(); ++i) t->data<uint8_t>()[i] = uint8_t(values[i]);
    } else if (type == TensorType::int8) {
        for (size_t i = 0; i < values.size(); ++i) t->data<int8_t>()[i] = int8_t(values[i]);
    }
    return std::shared_ptr<Dense>(std::move(t));
}

TEST(V2CnpVariables, Failures) {
    auto out_shift = vec(TensorType::int8, {32});
    EXPECT_EQ(exception_text([&] {
                  format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, out_shift.get(),
                                           nullptr, nullptr, nullptr, 0, 1);
              }),
              "32 cannot fit in a 6 bits signed integer.");
    auto bias_shift = vec(TensorType::uint8, {32});
    EXPECT_EQ(exception_text([&] {
                  format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, nullptr,
                                           bias_shift.get(), nullptr, nullptr, 0, 1);
              }),
              "Attempted to write value 32 into a 5-bit field, which will cause an overflow.");
    auto fbias = Dense::create(TensorType::float32, Shape{4}, Layout::RowMajor);
    EXPECT_EQ(exception_text([&] {
                  format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           fbias.get(), nullptr, 0, 1);
              }),
              std::string("Wrong requested type ") + typeid(int8_t).name() +
                  " for a tensor of type float32.");
    auto short_scales = vec(TensorType::uint8, {1, 2, 3});
    EXPECT_EQ(exception_text([&] {
                  format_cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, short_scales.get(), 2, 2);
              }),
              "Coordinates are out-of-range");
}

}  // namespace
}  // namespace v2
}  // namespace vorna
