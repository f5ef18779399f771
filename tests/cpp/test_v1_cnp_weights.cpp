// v1 CNP weight images and sizes, with words computed by hand from the
// 50-bit row layouts.
#include <gtest/gtest.h>

#include "backend/v1/cnp_weights.h"
#include "v1_test_util.h"

namespace vorna::v1 {
namespace {

using v1_test::error_text;
using v1_test::set;
using v1_test::tensor;

// Standard weights (filters, channels, k, k), int8, first dimension fastest.
std::shared_ptr<Dense> std_weights(uint32_t f, uint32_t c, uint32_t k) {
    return tensor(TensorType::int8, {f, c, k, k});
}

std::vector<uint32_t> with_words(size_t n, std::map<size_t, uint32_t> nonzero) {
    std::vector<uint32_t> w(n, 0);
    for (const auto& [i, v] : nonzero) w[i] = v;
    return w;
}

TEST(V1CnpWeights, SmallSignedFields) {
    EXPECT_EQ(int32_to_intN<2>(-2), 2u);
    EXPECT_EQ(int32_to_intN<2>(-1), 3u);
    EXPECT_EQ(int32_to_intN<2>(0), 0u);
    EXPECT_EQ(int32_to_intN<2>(1), 1u);
    EXPECT_EQ(int32_to_intN<4>(-8), 8u);
    EXPECT_EQ(int32_to_intN<4>(-1), 15u);
    EXPECT_EQ(int32_to_intN<4>(7), 7u);
    EXPECT_EQ(error_text([] { int32_to_intN<2>(2); }), "2 cannot fit in a 2 bits signed integer.");
    EXPECT_EQ(error_text([] { int32_to_intN<4>(-9); }),
              "-9 cannot fit in a 4 bits signed integer.");
}

TEST(V1CnpWeights, StandardSizes) {
    struct Case {
        uint32_t k, ch, f, b, words;
    } cases[] = {
        {3, 1, 8, 1, 16},    // ceil(8 / 5) = 2 rows -> 8 rows
        {3, 1, 40, 1, 16},   // 40 kernels: 8 rows
        {3, 1, 8, 2, 16},    // ceil(16 / 5) = 4 rows
        {1, 1, 24, 1, 16},   // k = 1 counts two planes: 48 bits, 1 row
        {1, 1, 200, 2, 32},  // ceil(400 / 48) = 9 rows -> 16 rows
        {7, 3, 8, 2, 96},    // 16 rows -> 32 words per channel
        {1, 2, 8, 4, 64},    // u = ceil(32 / 48) = 1 -> 16; 2 x 2 x 16
        {3, 2, 16, 4, 64},   // u = 16 x 6 / 8 = 12 -> 16
        {5, 3, 8, 4, 96},    // u = 16
        {7, 1, 9, 4, 192},   // u = 16 x 42 / 8 = 84 -> 96
        {3, 1, 8, 8, 0xFFFFFFFFu}, {3, 1, 8, 3, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(get_std_cnp_sram_size(c.k, c.ch, c.f, c.b), c.words)
            << "k " << c.k << " ch " << c.ch << " F " << c.f << " b " << c.b;
    }
    for (uint32_t b : {1u, 2u, 4u}) {
        EXPECT_EQ(error_text([&] { get_std_cnp_sram_size(2, 1, 8, b); }), "Unsupported kernel size")
            << b;
    }
}

TEST(V1CnpWeights, SeparableSizes) {
    EXPECT_EQ(get_dw_weights_sram_size(3, 10, 4), 32u);  // 4 kernel rows per row < 6: 20 -> 32
    EXPECT_EQ(get_dw_weights_sram_size(3, 4, 2), 16u);   // 2 channels per row: 4 -> 16
    EXPECT_EQ(get_dw_weights_sram_size(5, 3, 4), 32u);   // 3 rows per channel: 18 -> 32
    EXPECT_EQ(get_dw_weights_sram_size(1, 30, 2), 16u);  // 25 channels per row: 4 -> 16
    EXPECT_THROW(get_dw_weights_sram_size(7, 1, 8), std::invalid_argument);  // 56-bit kernel row
    EXPECT_THROW(get_dw_weights_sram_size(3, 1, 0), std::invalid_argument);

    struct Pw {
        uint32_t f, b, rows;
    } pw[] = {{8, 4, 1}, {10, 4, 2}, {12, 4, 2}, {16, 4, 2}, {24, 2, 1}, {3, 2, 1}, {13, 4, 2}};
    for (const Pw& c : pw) {
        EXPECT_EQ(get_nb_words_per_pw_channel(c.f, c.b), c.rows) << c.f << " x " << c.b;
    }
    EXPECT_EQ(get_sep_cnp_sram_size(3, 10, 8, 4), 32u + 2 * 10 * 1);
}

TEST(V1CnpWeights, StandardOneBitKernel3) {
    auto w = std_weights(6, 1, 3);
    for (uint32_t i = 0; i < 3; ++i)
        for (uint32_t j = 0; j < 3; ++j) {
            set<int8_t>(*w, {0, 0, i, j}, 1);
            set<int8_t>(*w, {4, 0, i, j}, 1);
        }
    set<int8_t>(*w, {0, 0, 0, 0}, -1);  // a 1-bit image drops -1
    set<int8_t>(*w, {1, 0, 1, 1}, 1);   // bit 4 of the second 10-bit kernel
    set<int8_t>(*w, {5, 0, 0, 0}, 1);   // sixth kernel opens row 1
    // Row 0: kernels 0..4 at bits 0, 10, 20, 30, 40; kernel 4 covers row bits
    // 40-48, that is bits 8-16 of the row's second word.
    EXPECT_EQ(format_std_cnp_weights(w, false, 0, 6),
              with_words(16, {{0, 0x1FE | (1u << 14)}, {1, 0x1FF00}, {2, 1}}));
}

TEST(V1CnpWeights, StandardTwoBitPlanes) {
    auto w = std_weights(2, 1, 3);
    for (uint32_t i = 0; i < 3; ++i)
        for (uint32_t j = 0; j < 3; ++j) set<int8_t>(*w, {0, 0, i, j}, 1);
    set<int8_t>(*w, {0, 0, 0, 0}, -1);
    set<int8_t>(*w, {1, 0, 1, 1}, 1);
    // Filter 0: plus plane 0x1FE, minus plane bit 10; filter 1: plus at bit 24.
    EXPECT_EQ(format_std_cnp_weights(w, true, 0, 2), with_words(16, {{0, 0x010005FEu}}));
}

TEST(V1CnpWeights, StandardKernel7FillsOneRowPerKernel) {
    auto w = std_weights(2, 1, 7);
    for (uint32_t i = 0; i < 7; ++i)
        for (uint32_t j = 0; j < 7; ++j) set<int8_t>(*w, {0, 0, i, j}, 1);
    set<int8_t>(*w, {1, 0, 6, 6}, 1);
    EXPECT_EQ(format_std_cnp_weights(w, false, 0, 2),
              with_words(16, {{0, 0xFFFFFFFFu}, {1, 0x1FFFF}, {3, 1u << 16}}));
}

TEST(V1CnpWeights, StandardKernel1AlwaysTwoPlanesAndSlices) {
    auto w = std_weights(3, 2, 1);
    set<int8_t>(*w, {0, 0, 0, 0}, 1);
    set<int8_t>(*w, {1, 0, 0, 0}, -1);
    set<int8_t>(*w, {0, 1, 0, 0}, -1);
    set<int8_t>(*w, {1, 1, 0, 0}, 1);
    set<int8_t>(*w, {2, 1, 0, 0}, 1);
    // Per filter a plus bit then a minus bit; one 16-word block per channel.
    const auto expected = with_words(32, {{0, 0x9}, {16, 0x16}});
    EXPECT_EQ(format_std_cnp_weights(w, false, 0, 3), expected);
    EXPECT_EQ(format_std_cnp_weights(w, true, 0, 3), expected);
    EXPECT_EQ(format_std_cnp_weights(w, true, 1, 1), with_words(32, {{0, 0x2}, {16, 0x1}}));
}

TEST(V1CnpWeights, StandardFailures) {
    auto rect = tensor(TensorType::int8, {2, 1, 3, 5});
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(rect, true, 0, 2); }),
              "CNP: width and height must be equal.");
    auto w = std_weights(4, 1, 3);
    EXPECT_THROW(format_std_cnp_weights(w, true, 2, 3), std::invalid_argument);
    EXPECT_THROW(format_std_cnp_weights(nullptr, true, 0, 1), std::invalid_argument);
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(std_weights(1, 1, 2), true, 0, 1); }),
              "Unsupported kernel size");
    auto wide = tensor(TensorType::int32, {2, 1, 3, 3});
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(wide, true, 0, 2); }),
              "Wrong requested type a for a tensor of type int32.");
}

TEST(V1CnpWeights, FourBitKernel1Codes) {
    auto w = std_weights(3, 2, 1);
    set<int8_t>(*w, {0, 0, 0, 0}, 3);   // 0xB
    set<int8_t>(*w, {1, 0, 0, 0}, -2);  // 0x2
    set<int8_t>(*w, {0, 1, 0, 0}, 7);   // 0xF
    set<int8_t>(*w, {1, 1, 0, 0}, -7);  // 0x7
    set<int8_t>(*w, {2, 1, 0, 0}, 1);   // 0x9
    EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 3), with_words(64, {{0, 0x2B}, {32, 0x97F}}));

    auto many = std_weights(13, 1, 1);
    for (uint32_t f = 0; f < 13; ++f) set<int8_t>(*many, {f, 0, 0, 0}, 1);
    // Twelve codes per row, the thirteenth opens row 1.
    EXPECT_EQ(format_4bits_std_cnp_weights(*many, 0, 13),
              with_words(32, {{0, 0x99999999u}, {1, 0x9999}, {2, 9}}));
}

TEST(V1CnpWeights, FourBitKernel3Stream) {
    auto w = std_weights(5, 1, 3);
    set<int8_t>(*w, {0, 0, 0, 0}, 1);   // row 0 bit 0
    set<int8_t>(*w, {0, 0, 1, 2}, -5);  // stream bit 96 + 8: row 2 bit 8
    set<int8_t>(*w, {0, 0, 2, 1}, 6);   // stream bit 192 + 4: row 4 bit 4
    set<int8_t>(*w, {3, 0, 0, 2}, 7);   // stream bit 36 + 8 = 44: row 0 bit 44
    set<int8_t>(*w, {4, 0, 0, 0}, 1);   // stream bit 48: row 1 bit 0
    EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 5),
              with_words(32, {{0, 9}, {1, 0xF000}, {2, 9}, {4, 0x500}, {8, 0xE0}}));

    // A slice starts at slot 0 with its own first filter.
    auto ten = std_weights(10, 1, 3);
    set<int8_t>(*ten, {8, 0, 0, 0}, 1);
    EXPECT_EQ(format_4bits_std_cnp_weights(*ten, 8, 2), with_words(32, {{0, 9}}));
}

TEST(V1CnpWeights, FourBitKernel5CodeAcrossRows) {
    auto w = std_weights(3, 1, 5);
    // Slot 2, column 2: stream bit 40 + 8 = 48; code 0b0111 puts two bits
    // at row bits 48-49 and its third bit at bit 0 of row 1.
    set<int8_t>(*w, {2, 0, 0, 2}, -7);
    EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 3), with_words(32, {{1, 0x30000}, {2, 1}}));
}

TEST(V1CnpWeights, FourBitKernel7RowBreaks) {
    auto w = std_weights(4, 1, 7);
    set<int8_t>(*w, {3, 0, 0, 0}, 1);  // after three slots the stream moves to row 2
    set<int8_t>(*w, {0, 0, 1, 0}, 2);  // kernel row 1 starts at row 6
    EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 4), with_words(96, {{4, 9}, {12, 0xA}}));
}

TEST(V1CnpWeights, FourBitFailures) {
    EXPECT_EQ(error_text([] { format_4bits_std_cnp_weights(*std_weights(2, 1, 4), 0, 2); }),
              "Unsupported kernel size");
    auto tall = tensor(TensorType::int8, {2, 1, 5, 3});
    EXPECT_EQ(error_text([&] { format_4bits_std_cnp_weights(*tall, 0, 2); }),
              "CNP: width and height must be equal.");
    EXPECT_THROW(format_4bits_std_cnp_weights(*std_weights(2, 1, 1), 1, 2), std::invalid_argument);
}

TEST(V1CnpWeights, DepthwiseTwoBitKernel3TwoChannelsPerRow) {
    auto w = tensor(TensorType::int8, {1, 3, 3, 3});
    set<int8_t>(*w, {0, 0, 0, 0}, 1);   // bit 0
    set<int8_t>(*w, {0, 0, 1, 0}, 1);   // bit 6
    set<int8_t>(*w, {0, 1, 0, 0}, -1);  // channel 1 from bit 18: code 3
    set<int8_t>(*w, {0, 1, 2, 2}, -2);  // bit 18 + 12 + 4 = 34: word 1 bit 2
    set<int8_t>(*w, {0, 2, 0, 0}, 1);   // the third channel would pass bit 50
    EXPECT_EQ(format_sep_cnp_dw_weights(*w, 2),
              with_words(4, {{0, 0x000C0041u}, {1, 0x8}, {2, 1}}));
}

TEST(V1CnpWeights, DepthwiseFourBitLayouts) {
    auto k3 = tensor(TensorType::int8, {1, 2, 3, 3});
    set<int8_t>(*k3, {0, 0, 2, 2}, -8);  // bit 32
    set<int8_t>(*k3, {0, 1, 0, 0}, 7);   // one row per channel
    EXPECT_EQ(format_sep_cnp_dw_weights(*k3, 4), with_words(4, {{1, 8}, {2, 7}}));

    auto k5 = tensor(TensorType::int8, {1, 1, 5, 5});
    set<int8_t>(*k5, {0, 0, 2, 0}, 1);  // kernel rows 0-1 fill row 0, row 2 opens row 1
    set<int8_t>(*k5, {0, 0, 4, 4}, 1);  // kernel row 4: row 2, bit 16
    EXPECT_EQ(format_sep_cnp_dw_weights(*k5, 4), with_words(6, {{2, 1}, {4, 1u << 16}}));

    set<int8_t>(*k5, {0, 0, 0, 0}, 8);
    EXPECT_EQ(error_text([&] { format_sep_cnp_dw_weights(*k5, 4); }),
              "8 cannot fit in a 4 bits signed integer.");
    EXPECT_THROW(format_sep_cnp_dw_weights(*tensor(TensorType::int8, {1, 1, 7, 7}), 8),
                 std::invalid_argument);
}

TEST(V1CnpWeights, Pointwise) {
    auto w = tensor(TensorType::int8, {13, 2, 1, 1});
    set<int8_t>(*w, {12, 0, 0, 0}, -1);  // thirteenth code opens row 1
    set<int8_t>(*w, {11, 0, 0, 0}, 3);   // bit 44
    set<int8_t>(*w, {0, 1, 0, 0}, 1);    // channel 1 owns rows 2-3
    set<int8_t>(*w, {12, 1, 0, 0}, -2);
    EXPECT_EQ(format_sep_cnp_pw_weights(*w, 4, 0, 13),
              with_words(8, {{1, 0x3000}, {2, 0xF}, {4, 1}, {6, 0xE}}));
    EXPECT_EQ(format_sep_cnp_pw_weights(*w, 4, 12, 1), with_words(4, {{0, 0xF}, {2, 0xE}}));
    EXPECT_THROW(format_sep_cnp_pw_weights(*w, 4, 12, 2), std::invalid_argument);
}

}  // namespace
}  // namespace vorna::v1
