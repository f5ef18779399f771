// v1 CNP programs: block order, targets, offsets and payloads per NP.
#include <gtest/gtest.h>

#include <tuple>

#include "backend/v1/cnp_program.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/cnp_weights.h"
#include "v1_test_util.h"

namespace vorna::v1 {
namespace {

using v1_test::Block;
using v1_test::blocks_of;
using v1_test::cnp;
using v1_test::make_net;
using v1_test::map_layer;
using v1_test::Net;
using v1_test::set;
using v1_test::space;

const hw::Ident kNps[3] = {{1, 2, 0, 0}, {1, 2, 1, 0}, {2, 2, 0, 0}};

std::map<std::string, int> params(int k, int wb) {
    return {{"filters", 12},
            {"kernel_width", k},
            {"kernel_height", k},
            {"weights_bits", wb},
            {"act_bits", 2}};
}

// Where a block goes: NP, target and offset.
std::tuple<hw::Ident, uint32_t, uint32_t> where(const Block& b) {
    return {b.np, b.target, b.offset};
}

std::tuple<hw::Ident, uint32_t, uint32_t> at(const hw::Ident& np, uint32_t target,
                                             uint32_t offset = 0) {
    return {np, target, offset};
}

// A layer of 12 filters on three NPs of four filters each, thresholds
// 100 x i - 500 and steps of 1.0 (16 in sixteenths).
Net three_np_layer(LayerType type, int k, int wb, uint32_t channels) {
    Net net = make_net(type, params(k, wb), 8, 8, channels);
    const NpSpace all = space(0, 0, 8, 8, channels);
    map_layer(*net.layer, {cnp(kNps[0], 0, 4, all, all), cnp(kNps[1], 4, 4, all, all),
                           cnp(kNps[2], 8, 4, all, all)});
    std::vector<int32_t> th;
    for (int i = 0; i < 12; ++i) th.push_back(100 * i - 500);
    net.layer->variables()->set("threshold", v1_test::int32_values(th));
    net.layer->variables()->set("act_step", v1_test::float_values(std::vector<float>(12, 1.0f)));
    return net;
}

std::shared_ptr<Dense> dense(const Layer& layer, const char* name) {
    return std::dynamic_pointer_cast<Dense>(layer.variables()->get(name));
}

std::vector<uint32_t> expected_thresholds(uint32_t start) {
    std::vector<uint32_t> w;
    for (uint32_t i = start; i < start + 4; ++i) {
        w.push_back(static_cast<uint32_t>(100 * static_cast<int>(i) - 500) & 0xFFFFFu);
        w.push_back(16);
    }
    return w;
}

TEST(V1CnpProgram, LeftOutNpStillGetsWeightsAndThresholds) {
    // Without the unused-NP flag an NP listed in `nps` gets an empty register
    // block, then its weight and threshold blocks as usual.
    Net net = three_np_layer(LayerType::Convolutional, 3, 2, 4);
    const v1_test::V1Device device;
    const auto record =
        record_program_conv_layer(device, *net.layer, nullptr, false, false, {kNps[1]}, false);
    const auto blocks = blocks_of(*record);
    ASSERT_EQ(blocks.size(), 9u);
    EXPECT_EQ(blocks[0].payload.size(), 50u);
    EXPECT_EQ(where(blocks[3]), at(kNps[1], 7));
    EXPECT_TRUE(blocks[3].payload.empty());
    EXPECT_EQ(where(blocks[4]), at(kNps[1], 0));
    // 4 filters, 2 planes: 8 kernels in ceil(8 / 5) = 2 rows, 8 rows = 16
    // words per input channel, 4 channels.
    EXPECT_EQ(blocks[4].payload.size(), 64u);
    EXPECT_EQ(where(blocks[5]), at(kNps[1], 4));
    // Thresholds 100 x i - 500 for filters 4..7: -100, 0, 100, 200; steps 16.
    EXPECT_EQ(blocks[5].payload, (std::vector<uint32_t>{0xFFF9C, 16, 0, 16, 100, 16, 200, 16}));
    EXPECT_EQ(blocks[6].payload.size(), 50u);
}

TEST(V1CnpProgram, SeparableBlocksAndPointwiseOffset) {
    // 17 channels of 4-bit 3x3 depthwise kernels: one row each, 34 words,
    // so the pointwise block starts at (34 + 15) / 16 = 3.
    Net net = three_np_layer(LayerType::SeparableConvolutional, 3, 4, 17);
    auto dw = dense(*net.layer, "weights");
    auto pw = dense(*net.layer, "weights_pw");
    set<int8_t>(*dw, {0, 16, 2, 2}, -3);
    for (uint32_t f = 0; f < 12; ++f)
        set<int8_t>(*pw, {f, 0, 0, 0}, static_cast<int8_t>(f % 8 - 4));
    const v1_test::V1Device device;

    const auto record =
        record_program_sep_conv_layer(device, *net.layer, nullptr, false, false, {}, false);
    const auto blocks = blocks_of(*record);
    ASSERT_EQ(blocks.size(), 12u);
    const auto dw_words = format_sep_cnp_dw_weights(*dw, 4);
    ASSERT_EQ(dw_words.size(), 34u);
    const auto regs = format_sep_cnp_regs(*net.layer, nullptr, false, false, {});
    for (uint32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        const Block* b = &blocks[4 * n];
        EXPECT_EQ(where(b[0]), at(kNps[n], 7));
        EXPECT_EQ(b[0].payload, regs.at(kNps[n]));
        EXPECT_EQ(where(b[1]), at(kNps[n], 0));
        EXPECT_EQ(b[1].payload, dw_words);
        EXPECT_EQ(where(b[2]), at(kNps[n], 0, 3));
        EXPECT_EQ(b[2].payload, format_sep_cnp_pw_weights(*pw, 4, 4 * n, 4));
        EXPECT_EQ(where(b[3]), at(kNps[n], 4));
        EXPECT_EQ(b[3].payload, expected_thresholds(4 * n));
    }
    // Channel 16 is row 16: its last code (-3 -> 0xD) at bit 32.
    EXPECT_EQ(blocks[1].payload[33], 0xDu);
    // Pointwise, NP 1: filters 4..7 of channel 0 are 0, 1, 2, 3.
    EXPECT_EQ(blocks[6].payload[0], 0x3210u);

    const auto unused =
        record_program_sep_conv_layer(device, *net.layer, nullptr, false, false, {}, true);
    EXPECT_EQ(blocks_of(*unused).size(), 3u);
    // 16 channels: 32 depthwise words, the pointwise block starts at 2.
    Net even = three_np_layer(LayerType::SeparableConvolutional, 3, 4, 16);
    const auto even_blocks = blocks_of(
        *record_program_sep_conv_layer(device, *even.layer, nullptr, false, false, {}, false));
    EXPECT_EQ(where(even_blocks.at(2)), at(kNps[0], 0, 2));
}

TEST(V1CnpProgram, Failures) {
    const v1_test::V1Device device;
    Net net = three_np_layer(LayerType::Convolutional, 3, 2, 4);
    std::vector<float> steps(12, 1.0f);
    steps[9] = 70000.0f;  // 1120000 sixteenths
    net.layer->variables()->set("act_step", v1_test::float_values(steps));
    try {
        record_program_conv_layer(device, *net.layer, nullptr, false, false, {}, false);
        FAIL() << "no exception";
    } catch (const CnpError& e) {
        EXPECT_STREQ(e.what(),
                     "Backend hardware(CNP): act_step should be between 0 and 65535. Receives "
                     "act_step 70000.");
    }
    // Registers only: the thresholds are not formatted.
    EXPECT_NO_THROW(record_program_conv_layer(device, *net.layer, nullptr, false, false, {}, true));

    Net sep = three_np_layer(LayerType::SeparableConvolutional, 3, 2, 4);
    EXPECT_THROW(record_program_conv_layer(device, *sep.layer, nullptr, false, false, {}, false),
                 std::bad_cast);
}

}  // namespace
}  // namespace vorna::v1
