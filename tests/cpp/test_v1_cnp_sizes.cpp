// v1 CNP sizes: containers, input SRAM words, weight words and the
// one-CNP weight fit.
#include <gtest/gtest.h>

#include "backend/v1/cnp_sizes.h"
#include "v1_test_util.h"

namespace vorna::v1 {
namespace {

using v1_test::make_net;

std::map<std::string, int> conv_params(int k, int bits, int filters = 8) {
    return {
        {"filters", filters}, {"kernel_width", k}, {"kernel_height", k}, {"weights_bits", bits}};
}

HardwareConstraints with_weight_sram(uint32_t rows) {
    HardwareConstraints c;
    c.weight_sram_size = rows;
    return c;
}

TEST(V1CnpSizes, ContainersAndInputWords) {
    EXPECT_EQ(get_cnp_channel_container_size(3, 4), 2u);
    EXPECT_EQ(get_cnp_channel_container_size(8, 1), 1u);
    EXPECT_EQ(get_cnp_channel_container_size(0, 8), 0u);
    EXPECT_EQ(get_cnp_input_sram_size(3, 5, 2), 8u);  // 120 bits -> 4 words per row
    EXPECT_EQ(get_cnp_input_sram_size(4, 4, 5), 20u);
    EXPECT_EQ(get_cnp_input_sram_size(1, 1, 0), 0u);
    // Sizes too large for 32 bits saturate instead of wrapping to small values.
    EXPECT_EQ(get_cnp_channel_container_size(0xFFFFFFFFu, 8), 0xFFFFFFFFu);
    EXPECT_EQ(get_cnp_input_sram_size(0x10000, 0x10000, 4), 0xFFFFFFFFu);
    EXPECT_EQ(get_cnp_input_sram_size(0x100000, 0x10000, 1), 0xFFFFFFFFu);
    EXPECT_EQ(get_cnp_input_sram_size(4, 8, 0x40000000), 0xFFFFFFFFu);
}

TEST(V1CnpSizes, WeightWordsByKind) {
    auto conv = make_net(LayerType::Convolutional, conv_params(3, 1), 8, 8, 1);
    EXPECT_EQ(get_weights_size(*conv.layer, 8), 16u);
    EXPECT_EQ(get_weights_size(*conv.layer, 0), 0u);

    // 32 + 2 x 10 x 1 = 52 words: below the XL size, kept as it is.
    auto small = make_net(LayerType::SeparableConvolutional, conv_params(3, 4), 8, 8, 10);
    EXPECT_EQ(get_weights_size(*small.layer, 8), 52u);
    // 208 + 200 = 408 words need the XL header: rounded up to 416.
    auto large = make_net(LayerType::SeparableConvolutional, conv_params(3, 4), 8, 8, 100);
    EXPECT_EQ(get_weights_size(*large.layer, 8), 416u);

    auto fc = make_net(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 1}}, 1, 1, 8);
    try {
        get_weights_size(*fc.layer, 4);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unexpected layer type for CNP");
    }
    EXPECT_THROW(check_weights_size_fit_cnp(with_weight_sram(1000), *fc.layer, 4),
                 std::invalid_argument);
}

TEST(V1CnpSizes, UnsupportedWidthNeverLooksSmall) {
    // The size of a width without a layout is 0xFFFFFFFF; rounding it up for
    // the XL header must not wrap it to 0.
    auto conv = make_net(LayerType::Convolutional, conv_params(3, 3), 8, 8, 2);
    EXPECT_EQ(get_weights_size(*conv.layer, 8), 0xFFFFFFFFu);
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(0xFFFFFFFFu), *conv.layer, 8));
}

TEST(V1CnpSizes, ConvolutionalWordsPerChannelLimit) {
    auto conv = make_net(LayerType::Convolutional, conv_params(1, 4), 4, 4, 8);
    // k = 1, 4 bits: u = 4F / 48. F = 24384 gives u = 2032, w = 16u = 32512:
    // 32512 / 8 >> 2 = 1016 rows per channel.
    EXPECT_EQ(get_weights_size(*conv.layer, 24384), 32512u);
    EXPECT_TRUE(check_weights_size_fit_cnp(with_weight_sram(16256), *conv.layer, 24384));
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(16255), *conv.layer, 24384));
    // F = 24576: u = 2048, w = 32768: 1024 rows per channel fail at any SRAM size.
    EXPECT_EQ(get_weights_size(*conv.layer, 24576), 32768u);
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(0xFFFFFFFFu), *conv.layer, 24576));

    // The separable kind has no per-channel limit.
    auto sep = make_net(LayerType::SeparableConvolutional, conv_params(1, 4), 4, 4, 8);
    const uint32_t w = get_weights_size(*sep.layer, 24576);
    EXPECT_GT(w / 8 >> 2, 1023u);
    EXPECT_TRUE(check_weights_size_fit_cnp(with_weight_sram(w / 2), *sep.layer, 24576));
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(w / 2 - 1), *sep.layer, 24576));
}

TEST(V1CnpSizes, NoInputChannelNeverFits) {
    auto conv = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 0);
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(0xFFFFFFFFu), *conv.layer, 8));
}

TEST(V1CnpSizes, UnbuiltLayer) {
    auto p = LayerParams::create(LayerType::Convolutional, conv_params(3, 2));
    auto layer = Layer::create(p.get(), "loose");
    EXPECT_EQ(v1_test::error_text([&] { get_weights_size(*layer, 8); }),
              "Cannot get input size before it is set.");
}

}  // namespace
}  // namespace vorna::v1
