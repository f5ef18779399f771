#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/v2/np_registers.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2regs_test::error_text;
using v2regs_test::overflow_text;

hw::Component comp(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return hw::Component(type, hw::Ident(col, row, id));
}

const std::unique_ptr<AltLayerMapInfo> kNoAlt;

TEST(V2RegsDefaults, DefaultWordsAndZeroCount) {
    const auto regs = default_np_regs(comp(hw::Type::CNP1, 1, 0, 1), 0, false, false);
    ASSERT_EQ(regs.size(), 64u);
    EXPECT_EQ(regs[1], 0x20u);
    EXPECT_EQ(regs[2], 0x8u);
    EXPECT_EQ(regs[3], 0u);
    EXPECT_EQ(regs[5], 0x00130100u);
    EXPECT_EQ(regs[6], 0x08040000u);
    EXPECT_EQ(regs[12], 0x52000000u);
    EXPECT_EQ(regs[13], 0x10u);
    EXPECT_EQ(regs[37], 0xFF000000u);
    EXPECT_EQ(regs[56], 0x00800000u);
    EXPECT_EQ(regs[57], 0x40u);
    size_t zeros = 0;
    for (uint32_t w : regs) zeros += (w == 0);
    EXPECT_EQ(zeros, 55u);
}

TEST(V2RegsCfgDma, Word49KeepsUpperBits) {
    std::vector<uint32_t> regs(64, 0);
    regs[49] = 0xFFF00000u;
    format_mesh_cfg_dma_reg(&regs, hw::Ident(3, 2, 3));
    EXPECT_EQ(regs[49], 0xFFF80302u);
    EXPECT_EQ(error_text([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident(3, 2, 4)); }),
              overflow_text(16, 4));
    EXPECT_EQ(error_text([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident(0, 0, 40)); }),
              overflow_text(1ull << 40, 4));
}

TEST(V2RegsRouting, RangesRouteAndKeptBits) {
    std::vector<uint32_t> regs(64, 0);
    regs[44] = 0x1234ABC3u;
    regs[45] = 0x00AB0000u;
    regs[46] = 0x8ABC0000u;
    regs[47] = 0xDEAD0000u;
    format_mesh_registers_set_output_to_NPs(
        &regs, {comp(hw::Type::CNP1, 2), comp(hw::Type::CNP1, 4)}, {comp(hw::Type::FNP3, 3)},
        {comp(hw::Type::TNP_B, 5)}, kNoAlt, 3, false, false, true);
    EXPECT_EQ(regs[44], 0xFF08ABCCu);
    EXPECT_EQ(regs[45], 0x02AB0505u);  // route 3 - 1 before a TNP-B
    EXPECT_EQ(regs[46], 0x0ABC0402u);  // bit 31 cleared
    EXPECT_EQ(regs[47], 0xDEAD0503u);
    EXPECT_EQ(regs[52], 0u);
}

TEST(V2RegsRouting, HrcRangeRouteZeroAndEmptyDestinations) {
    std::vector<uint32_t> regs(64, 0);
    const std::vector<hw::Component> span{comp(hw::Type::CNP1, 3)};
    format_mesh_registers_set_output_to_NPs(&regs, {comp(hw::Type::HRC, 9)}, span,
                                            {comp(hw::Type::HRC, 9)}, kNoAlt, 0, false, false,
                                            false);
    EXPECT_EQ(regs[45], 0x00000101u);
    EXPECT_EQ(regs[46], 0x00000101u);
    EXPECT_EQ(regs[47], 0x0301u);

    EXPECT_EQ(error_text([&] {
                  format_mesh_registers_set_output_to_NPs(&regs, span, span,
                                                          {comp(hw::Type::TNP_B, 4)}, kNoAlt, 0,
                                                          false, false, false);
              }),
              overflow_text(4294967295ull, 8));
    EXPECT_THROW(format_mesh_registers_set_output_to_NPs(&regs, span, span, {}, kNoAlt, 1, false,
                                                         false, false),
                 std::out_of_range);
    EXPECT_THROW(format_mesh_registers_set_output_to_NPs(&regs, {}, span, span, kNoAlt, 1, false,
                                                         false, false),
                 std::invalid_argument);
}

}  // namespace
