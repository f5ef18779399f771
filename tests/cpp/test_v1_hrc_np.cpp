// v1 HRC program and NP register files: register words, SRAM sizes and refusals.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "backend/v1/hrc.h"
#include "backend/v1/np_registers.h"
#include "backend/v1/reconfig_registers.h"
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

TEST(V1Hrc, RegisterWords) {
    auto p = LayerParams::create(
        LayerType::InputConvolutional,
        hrc_params("padding=0 pool_type=1 pooling_width=2 pooling_height=2 filters=512 "
                   "kernel_height=5 padding_value=7 stride_x=2 stride_y=3"));
    // Word 0: enable, kernel 5 (bit 4), act_bits 2 >> 1, one channel (bit 12),
    // no padding (13, 20, 21), 2x2 max pooling (16, 17); word 1: strides;
    // word 2: the padding value three times; word 3: left 3, right 4, top 1,
    // bottom 2; word 4: 511 filters.
    const HrcRegisters r = format_hrc_regs(*p, padded(1, 2, 3, 4));
    EXPECT_EQ(r, (HrcRegisters{0x00333111u, 0x23u, 0x070707u, 0x2143u, 0x01FF0000u, 0, 0, 0}));

    auto plain =
        LayerParams::create(LayerType::InputConvolutional,
                            hrc_params("input_channels=3 filters=1 kernel_height=7 act_bits=1"));
    EXPECT_EQ(format_hrc_regs(*plain, padded(0, 0, 0, 0)),
              (HrcRegisters{0x21u, 0x11u, 0, 0, 0, 0, 0, 0}));
}

TEST(V1Hrc, ThresholdImage) {
    EXPECT_EQ(pack_signed_words(*int32_values({-1, 8388607, -8388608}), *int32_values({16, 32, 7})),
              (std::vector<uint32_t>{0x00FFFFFFu, 16, 0x007FFFFFu, 32, 0x00800000u, 7}));
    EXPECT_EQ(error_text([] { pack_signed_words(*int32_values({8388608}), *int32_values({0})); }),
              "8388608 cannot fit in a 24 bits signed integer.");
    EXPECT_EQ(error_text([] { pack_signed_words(*int32_values({-8388609}), *int32_values({0})); }),
              "-8388609 cannot fit in a 24 bits signed integer.");
    EXPECT_EQ(
        error_text([] { pack_signed_words(*v1_test::float_values({1.0f}), *int32_values({0})); }),
        "Wrong requested type i for a tensor of type float32.");
    try {
        pack_signed_words(*int32_values({1, 2}), *int32_values({0}));
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "HRC: fewer threshold steps than thresholds.");
    }
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

namespace {

using namespace vorna;
using namespace vorna::v1;
using namespace v1check_test;

using Regs = std::vector<uint32_t>;

using vorna::test_support::runtime_error_text;

// A FullyConnected layer on a 16 x 16 x 64 input of `bits`-bit values.
std::shared_ptr<Layer> fc_layer(Chain& net, int bits) {
    net.input(16, 16, 64, bits);
    return net.add(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, "fc");
}

TEST(V1NpRegisters, WrongSizedFileIsRefused) {
    Regs short_file(49, 0);
    EXPECT_THROW(set_ib_spikes(&short_file), std::invalid_argument);
    EXPECT_THROW(format_mesh_cfg_dma_reg(&short_file, hw::Ident{}), std::invalid_argument);
    Chain net;
    auto fc = fc_layer(net, 1);
    attach_mapping(*fc, {});
    EXPECT_THROW(update_partial_reconfig_regs(&short_file, *fc, unit(hw::Type::FNP3, 3)),
                 std::invalid_argument);
}

const hw::Component C2 = unit(hw::Type::CNP1, 2), C3 = unit(hw::Type::CNP1, 3),
                    C4 = unit(hw::Type::CNP2, 4), C5 = unit(hw::Type::CNP1, 5),
                    C6 = unit(hw::Type::FNP2, 6), C7 = unit(hw::Type::CNP1, 7);

TEST(V1NpRegisters, P2PNeedsExactlyOneComponent) {
    Regs regs = default_np_regs();
    EXPECT_EQ(runtime_error_text([&] {
                  format_mesh_registers_set_output_to_NPs(&regs, {C2}, {C3}, {C6, C7}, 0x01, false,
                                                          true, false);
              }),
              "Cannot use P2P mode for multiple NPs.");
    EXPECT_EQ(regs[44], 0xFF080001u);  // already written when the check fails
    EXPECT_EQ(runtime_error_text([&] {
                  format_mesh_registers_set_output_to_NPs(&regs, {C2, C5}, {C3}, {C6}, 0x01, true,
                                                          false, false);
              }),
              "Cannot use P2P mode for multiple NPs.");
    EXPECT_EQ(regs[45], 0x01000606u);
    EXPECT_THROW(
        format_mesh_registers_set_output_to_NPs(&regs, {C2}, {C3}, {}, 0x01, false, false, false),
        std::invalid_argument);
}

TEST(V1NpRegisters, Word44ClearsSetsAndKeeps) {
    // Bit 0 = P2P output, bit 1 = 0, bit 2 = the flag, bits 3-15 kept,
    // bits 16-23 = 0x08, bits 24-31 = 0x06 for route 0xFF, else 0xFF.
    struct Case {
        uint32_t before;
        uint8_t route;
        bool p2p_output, bit2;
        uint32_t after;
    } cases[] = {
        {0xFFFFFFFFu, 0x01, false, false, 0xFF08FFF8u},
        {0xFFFFFFFFu, 0xFF, true, true, 0x0608FFFDu},
        {0x00000000u, 0x01, true, false, 0xFF080001u},
        {0x0000A5A0u, 0x02, false, true, 0xFF08A5A4u},
    };
    for (const Case& c : cases) {
        Regs regs = default_np_regs();
        regs[44] = c.before;
        format_mesh_registers_set_output_to_NPs(&regs, {C2}, {C3}, {C6}, c.route, false,
                                                c.p2p_output, c.bit2);
        EXPECT_EQ(regs[44], c.after) << std::hex << c.before << " " << int(c.route);
    }
}

// --- Partial reconfiguration --------------------------------------------------

TEST(V1Reconfig, FnpRaisedToTheMinimumBuffer) {
    Chain net;
    auto fc = fc_layer(net, 1);
    attach_mapping(*fc, {})->input_channel = 5;
    Regs regs = default_np_regs();
    update_partial_reconfig_regs(&regs, *fc, unit(hw::Type::FNP2, 3));
    // 16384 values need 512 words, raised to 0x2501 (words 4 and 14).
    EXPECT_EQ((Regs{regs[32], regs[33], regs[34], regs[35], regs[4], regs[14]}),
              (Regs{0x05000007, 0, 0x00100010, 256, 0x2501, 0x2501}));
}

TEST(V1Reconfig, FnpWithWord1Bit4SizesExactlyAndNeverShrinks) {
    Chain net;
    auto fc = fc_layer(net, 4);
    attach_mapping(*fc, {});
    Regs regs = default_np_regs();
    regs[1] = 1u << 4;
    regs[4] = 0xFFFC0000u;  // bits 18-31 kept
    update_partial_reconfig_regs(&regs, *fc, unit(hw::Type::FNP3, 3));
    EXPECT_EQ(regs[32], 0x00000027u);  // FNP, 4-bit input: bits 4-5 = 2
    EXPECT_EQ(regs[4], 0xFFFC0200u);
    EXPECT_EQ(regs[14], 0x00000200u);
    regs[14] = 0x300;
    update_partial_reconfig_regs(&regs, *fc, unit(hw::Type::FNP3, 3));
    EXPECT_EQ(regs[4], 0xFFFC0300u);
    EXPECT_EQ(regs[14], 0x300u);
}

TEST(V1Reconfig, FnpPlaneFillsEighteenBits) {
    // Word 35 of an FNP holds d0 x d1 in bits 0-17 and keeps bits 18-31.
    for (const uint32_t side : {511u, 512u}) {
        Chain net;
        net.input(side, side, 1, 1);
        auto fc = net.add(LayerType::FullyConnected, {{"units", 1}, {"weights_bits", 1}}, "fc");
        attach_mapping(*fc, {});
        Regs regs = default_np_regs();
        regs[35] = 0xFFFC0000u;
        const std::string error = runtime_error_text(
            [&] { update_partial_reconfig_regs(&regs, *fc, unit(hw::Type::FNP3, 3)); });
        if (side == 511) {
            EXPECT_EQ(error, "<no runtime_error>");
            EXPECT_EQ(regs[35], 0xFFFC0000u | (511u * 511u));
        } else {
            EXPECT_EQ(error,
                      "Attempted to write value 262144 into a 18-bit field, which will cause an "
                      "overflow.");
        }
    }
}

TEST(V1Reconfig, CnpGeometry) {
    // A 20 x 20 4-bit input; the NP reads a 12 x 14 region from (2, 3).
    // Container of 12 4-bit values: 6 bytes.
    struct Case {
        uint32_t channels;
        uint32_t w35, size;
    } cases[] = {
        // (16 x 6 + 3) / 4 = 24; max(6400 / 32 = 200, 24 words x 14 rows = 336).
        {16, 0x00060018u, 336},
        // (3 x 6 + 3) / 4 = 5; 18 bytes a row: 5 words x 14 rows = 70, above
        // ceil(1200 / 32) = 38.
        {3, 0x00060005u, 70},
    };
    for (const Case& c : cases) {
        Chain net;
        net.input(20, 20, c.channels, 4);
        auto conv = net.add(LayerType::Convolutional, conv_params(), "conv");
        attach_mapping(*conv, {})->input_channel = 0x81;
        Regs regs = default_np_regs();
        update_partial_reconfig_regs(
            &regs, *conv,
            cnp(1, 16, space(0, 0, 10, 12, c.channels), space(2, 3, 12, 14, c.channels)));
        EXPECT_EQ((Regs{regs[32], regs[33], regs[34], regs[35], regs[4], regs[14]}),
                  (Regs{0x81000025u, 0x00020003u, 0x000C000Eu, c.w35, c.size, c.size}))
            << c.channels;
    }
}

TEST(V1Reconfig, Failures) {
    Chain net;
    net.input(20, 20, 16, 8);
    auto conv = net.add(LayerType::Convolutional, conv_params(), "conv");
    const hw::Component c = cnp(1, 16, space(0, 0, 10, 12, 16), space(2, 3, 12, 14, 16));
    Regs regs = default_np_regs();
    EXPECT_THROW(update_partial_reconfig_regs(&regs, *conv, c), std::invalid_argument);  // unmapped
    attach_mapping(*conv, {});
    EXPECT_EQ(runtime_error_text([&] { update_partial_reconfig_regs(&regs, *conv, c); }),
              "Attempted to write value 4 into a 2-bit field, which will cause an overflow.");
    EXPECT_THROW(update_partial_reconfig_regs(&regs, *conv, unit(hw::Type::CNP1, 1)),
                 std::invalid_argument);  // no placement
}

}  // namespace
