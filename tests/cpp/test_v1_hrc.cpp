// v1 HRC program: register words, threshold image, SRAM writes and their order.
#include <gtest/gtest.h>

#include "backend/v1/hrc.h"
#include "corelib/dma.h"
#include "program/hrc_formats.h"
#include "v1_test_util.h"

namespace vorna::v1 {
namespace {

using v1_test::Block;
using v1_test::blocks_of;
using v1_test::error_text;
using v1_test::int32_values;

// An 8 x 8 x 1 input, 4 filters, 8-bit weights, 2-bit activations, with `extra`.
std::map<std::string, int> hrc_params(const std::string& extra = "") {
    return v1_test::P(
        extra, v1_test::hrc_params(
                   v1_test::P("input_width=8 input_height=8 input_channels=1 filters=4 "
                              "weights_bits=8 act_bits=2 pooling_stride_x=1 pooling_stride_y=1")));
}

ConvCalculatedParams padded(int32_t top, int32_t bottom, int32_t left, int32_t right) {
    ConvCalculatedParams c;
    c.padding = PaddingParams{top, bottom, left, right};
    return c;
}

TEST(V1Hrc, RegisterOverflows) {
    struct Case {
        const char* extra;
        int bottom_padding;
        uint64_t value;
        int width;
    };
    // clang-format off
    const Case cases[] = {{"filters=513", 0, 512, 9}, {"filters=0", 0, 4294967295u, 9},
                          {"act_bits=8", 0, 4, 2}, {"stride_x=8", 0, 8, 3},
                          {"padding_value=256", 0, 256, 8}, {"", 9, 9, 3}};
    // clang-format on
    for (const Case& c : cases) {
        auto p = LayerParams::create(LayerType::InputConvolutional, hrc_params(c.extra));
        EXPECT_EQ(error_text([&] { format_hrc_regs(*p, padded(0, c.bottom_padding, 0, 0)); }),
                  "Attempted to write value " + std::to_string(c.value) + " into a " +
                      std::to_string(c.width) + "-bit field, which will cause an overflow.");
    }
}

struct HrcNet {
    std::unique_ptr<Model> model;
    std::shared_ptr<Layer> layer;
};

HrcNet hrc_layer(const std::string& extra = "") {
    HrcNet net;
    net.model = Model::create();
    auto p = LayerParams::create(LayerType::InputConvolutional, hrc_params(extra));
    net.layer = Layer::create(p.get(), "hrc");
    net.model->add(net.layer, {});
    return net;
}

TEST(V1Hrc, ProgramOrder) {
    HrcNet net = hrc_layer();
    auto w = std::dynamic_pointer_cast<Dense>(net.layer->variables()->get("weights"));
    for (uint32_t f = 0; f < 4; ++f)
        v1_test::set<int8_t>(*w, {1, 1, 0, f}, static_cast<int8_t>(f + 1));
    net.layer->variables()->set("threshold", int32_values({-1, 2, 3, 4}));
    const v1_test::V1Device device;

    const auto record = record_program_hrc_layer(device, *net.layer);
    EXPECT_EQ(record->hw_version(), device.version());
    const auto blocks = blocks_of(*record);
    const auto images = format_hrc_weights(*w);
    ASSERT_FALSE(images.at(0).empty());
    for (size_t i = 1; i < images.size(); ++i) EXPECT_TRUE(images[i].empty()) << i;

    const auto regs =
        format_hrc_regs(*net.layer->params(),
                        dynamic_cast<const HasConvParams&>(*net.layer).conv_calculated_params());
    const std::vector<uint32_t> reg_words(regs.begin(), regs.end());
    const std::vector<Block> expected = {
        {hw::Ident{}, 8, 8, reg_words},
        {hw::Ident{}, 8, 32, {1, 0}},
        {hw::Ident{}, 9, 40, images[0]},
        {hw::Ident{}, 8, 32, {0x80000000u, 0}},
        {hw::Ident{}, 9, 40, {0xFFFFFF, 16, 2, 16, 3, 16, 4, 16}},
        {hw::Ident{}, 8, 8, {regs[0] & ~1u}},
        {hw::Ident{}, 8, 0, {1}},
        {hw::Ident{}, 8, 0, {0}},
    };
    ASSERT_EQ(blocks.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(blocks[i].np, hw::Ident{});
        EXPECT_EQ(blocks[i].target, expected[i].target);
        EXPECT_EQ(blocks[i].offset, expected[i].offset);
        if (expected[i].payload.size() > dma::MAX_NORMAL_BLOCK_WORDS) {
            // XL blocks are padded to 16 words.
            ASSERT_GE(blocks[i].payload.size(), expected[i].payload.size());
            EXPECT_TRUE(std::equal(expected[i].payload.begin(), expected[i].payload.end(),
                                   blocks[i].payload.begin()));
        } else {
            EXPECT_EQ(blocks[i].payload, expected[i].payload);
        }
    }
    // Padding 1, one input channel, 3x3 kernel, act_bits 2.
    EXPECT_EQ(regs[0], 0x1101u);
}

TEST(V1Hrc, SramSize) {
    for (uint32_t filters : {4u, 100u}) {
        HrcNet net = hrc_layer("filters=" + std::to_string(filters));
        size_t n = 2 * filters;
        for (const auto& image : format_hrc_weights(
                 *std::dynamic_pointer_cast<Dense>(net.layer->variables()->get("weights")))) {
            n += image.size();
        }
        const uint32_t expected =
            dma::config_block_size_needs_xl(static_cast<uint32_t>(n)) ? (n + 15) / 16 * 16 : n;
        EXPECT_EQ(get_hrc_sram_size(*net.layer), expected) << filters;
    }
}

TEST(V1Hrc, Failures) {
    const v1_test::V1Device device;
    auto p = LayerParams::create(LayerType::InputConvolutional, hrc_params());
    auto loose = Layer::create(p.get(), "loose");
    EXPECT_EQ(error_text([&] { record_program_hrc_layer(device, *loose); }),
              "The layer loose is not built.");
    auto conv = v1_test::make_net(
        LayerType::Convolutional,
        {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}}, 8, 8, 1);
    EXPECT_THROW(record_program_hrc_layer(device, *conv.layer), std::bad_cast);
}

}  // namespace
}  // namespace vorna::v1
