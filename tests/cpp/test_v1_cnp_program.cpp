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
