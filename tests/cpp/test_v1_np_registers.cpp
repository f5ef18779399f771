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

TEST(V1NpRegisters, DefaultFile) {
    const Regs regs = default_np_regs();
    ASSERT_EQ(regs.size(), 50u);
    Regs expected(50, 0);
    expected[6] = 0x04040000u;
    expected[12] = 0x52000000u;
    expected[13] = 0x00000010u;
    expected[37] = 0xFF000000u;
    EXPECT_EQ(regs, expected);
}

TEST(V1NpRegisters, IbSpikesAndCfgDmaWords) {
    Regs regs = default_np_regs();
    regs[2] = 0x00000101u;
    set_ib_spikes(&regs);  // bit 7 only
    EXPECT_EQ(regs[2], 0x00000181u);
    regs[49] = 0xFFF00000u;  // bits 20-31 are kept
    format_mesh_cfg_dma_reg(&regs, hw::Ident{5, 7, 3});
    EXPECT_EQ(regs[49], 0xFFF80507u);
    EXPECT_EQ(runtime_error_text([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident{5, 7, 4}); }),
              "Attempted to write value 16 into a 4-bit field, which will cause an overflow.");
}

TEST(V1NpRegisters, WrongSizedFileIsRefused) {
    Regs short_file(49, 0);
    EXPECT_THROW(set_ib_spikes(&short_file), std::invalid_argument);
    EXPECT_THROW(format_mesh_cfg_dma_reg(&short_file, hw::Ident{}), std::invalid_argument);
}

const hw::Component C2 = unit(hw::Type::CNP1, 2), C3 = unit(hw::Type::CNP1, 3),
                    C4 = unit(hw::Type::CNP2, 4), C5 = unit(hw::Type::CNP1, 5),
                    C6 = unit(hw::Type::FNP2, 6), C7 = unit(hw::Type::CNP1, 7);

TEST(V1NpRegisters, RoutingWords44To47) {
    struct Case {
        std::vector<hw::Component> sources, span, destinations;
        uint8_t route;
        bool p2p_in, p2p_out, bit2;
        uint32_t fill;  // initial value of words 44 to 47
        Regs words;
    };
    const hw::Component p2p_dst = unit(hw::Type::CNP1, 6, 2, 3),
                        p2p_src = unit(hw::Type::CNP1, 1, 4);
    const hw::Component hrc = unit(hw::Type::HRC, 9);
    // clang-format off
    const Case cases[] = {
        // Column ranges everywhere; top byte 0xFF for a route other than 0xFF.
        {{C5, C2}, {C3, C4}, {C7, C6}, 0x01, false, false, false, 0,
         {0xFF080000, 0x01000706, 0x00000502, 0x00000703}},
        // Kept bits: word 44 bits 3-15, word 45 bits 16-23, word 46 bits 16-29.
        {{C5, C2}, {C3, C4}, {C7, C6}, 0x01, false, false, false, 0xFFFFFFFF,
         {0xFF08FFF8, 0x01FF0706, 0x3FFF0502, 0x00000703}},
        // Route 0xFF: top byte 0x06; P2P output to NP 6.2.3, bit 2 set.
        {{C2}, {C3}, {p2p_dst}, 0xFF, false, true, true, 0,
         {0x06080005, 0xFF800602, 0x00000202, 0x00000603}},
        // P2P input from NP 1.4.0; a lone HRC destination is the range 1..1.
        {{p2p_src}, {C3}, {hrc}, 0x02, true, false, false, 0,
         {0xFF080000, 0x02000101, 0x00100104, 0x00000301}}};
    // clang-format on
    for (const Case& k : cases) {
        Regs regs = default_np_regs();
        for (size_t w = 44; w <= 47; ++w) regs[w] = k.fill;
        format_mesh_registers_set_output_to_NPs(&regs, k.sources, k.span, k.destinations, k.route,
                                                k.p2p_in, k.p2p_out, k.bit2);
        EXPECT_EQ(Regs(regs.begin() + 44, regs.begin() + 48), k.words) << int(k.route);
    }
}

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

TEST(V1Reconfig, CnpGeometry) {
    Chain net;
    net.input(20, 20, 16, 4);
    auto conv = net.add(LayerType::Convolutional, conv_params(), "conv");
    attach_mapping(*conv, {})->input_channel = 0x81;
    Regs regs = default_np_regs();
    update_partial_reconfig_regs(&regs, *conv,
                                 cnp(1, 16, space(0, 0, 10, 12, 16), space(2, 3, 12, 14, 16)));
    // Container of 12 4-bit values: 6 bytes; (16 x 6 + 3) / 4 = 24 (word 35);
    // words 4 and 14: max(6400 / 32 = 200, 24 words x 14 rows = 336).
    EXPECT_EQ((Regs{regs[32], regs[33], regs[34], regs[35], regs[4], regs[14]}),
              (Regs{0x81000025, 0x00020003, 0x000C000E, 0x00060018, 336, 336}));
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
