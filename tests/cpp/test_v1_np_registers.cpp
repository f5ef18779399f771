#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "backend/v1/np_registers.h"
#include "backend/v1/reconfig_registers.h"
#include "v1_test_util.h"

namespace {

using namespace vorna;
using namespace vorna::v1;
using namespace v1check_test;

using Regs = std::vector<uint32_t>;

using vorna::test_support::runtime_error_text;

TEST(V1NpRegisters, WrongSizedFileIsRefused) {
    Regs short_file(49, 0);
    EXPECT_THROW(set_ib_spikes(&short_file), std::invalid_argument);
    EXPECT_THROW(format_mesh_cfg_dma_reg(&short_file, hw::Ident{}), std::invalid_argument);
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

// --- Partial reconfiguration --------------------------------------------------

// A FullyConnected layer on a 16 x 16 x 64 input of `bits`-bit values.
std::shared_ptr<Layer> fc_layer(Chain& net, int bits) {
    net.input(16, 16, 64, bits);
    return net.add(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, "fc");
}

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
