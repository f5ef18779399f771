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

TEST(V1CnpWeights, FourBitFailures) {
    EXPECT_EQ(error_text([] { format_4bits_std_cnp_weights(*std_weights(2, 1, 4), 0, 2); }),
              "Unsupported kernel size");
    auto tall = tensor(TensorType::int8, {2, 1, 5, 3});
    EXPECT_EQ(error_text([&] { format_4bits_std_cnp_weights(*tall, 0, 2); }),
              "CNP: width and height must be equal.");
    EXPECT_THROW(format_4bits_std_cnp_weights(*std_weights(2, 1, 1), 1, 2), std::invalid_argument);
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

}  // namespace
}  // namespace vorna::v1
