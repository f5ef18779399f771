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
