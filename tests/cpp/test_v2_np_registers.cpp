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

TEST(V2RegsDefaults, ChannelField) {
    const auto c = comp(hw::Type::CNP2, 1, 0, 2);
    EXPECT_EQ(default_np_regs(c, 5, false, false)[3], 0x05000000u);
    EXPECT_EQ(default_np_regs(c, 255, false, false)[3], 0xFF000000u);
    EXPECT_EQ(error_text([&] { default_np_regs(c, 256, false, false); }), overflow_text(256, 8));
    EXPECT_EQ(default_np_regs(c, 256, true, false)[3], 0xFE000000u);
}

TEST(V2RegsDefaults, Word56ByIdAndAddFlag) {
    struct Case {
        uint8_t id;
        bool bit3;
        uint32_t word;
    };
    for (const Case& k :
         {Case{0, false, 0x00800000u}, Case{1, false, 0x00800000u}, Case{1, true, 0x00800008u},
          Case{2, false, 0x01800100u}, Case{3, true, 0x01800108u}}) {
        EXPECT_EQ(default_np_regs(comp(hw::Type::CNP1, 0, 0, k.id), 0, false, k.bit3)[56], k.word)
            << "id " << int(k.id);
    }
}

TEST(V2RegsDefaults, InputBufferSpikes) {
    auto regs = default_np_regs(comp(hw::Type::CNP1, 0), 0, false, false);
    set_ib_spikes(&regs);
    EXPECT_EQ(regs[2], 0x88u);
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

TEST(V2RegsRouting, PointToPoint) {
    std::vector<uint32_t> regs(64, 0);
    const auto dma = comp(hw::Type::DMA, 6, 2, 1);
    format_mesh_registers_set_output_to_NPs(&regs, {comp(hw::Type::CNP1, 4, 1, 3)},
                                            {comp(hw::Type::CNP1, 5)}, {dma}, kNoAlt, 4, true, true,
                                            false);
    EXPECT_EQ(regs[44], 0xFF080009u);
    EXPECT_EQ(regs[45], 0x04200602u);
    EXPECT_EQ(regs[46], 0x00800401u);
    EXPECT_EQ(regs[47], 0x0605u);

    std::vector<uint32_t> two(64, 0);
    EXPECT_EQ(error_text([&] {
                  format_mesh_registers_set_output_to_NPs(
                      &two, {comp(hw::Type::CNP1, 1)}, {comp(hw::Type::CNP1, 1)},
                      {dma, comp(hw::Type::CNP1, 7)}, kNoAlt, 4, false, true, false);
              }),
              "Cannot use P2P OUT mode for multiple NPs.");
    EXPECT_EQ(two[44], 0xFF080009u);  // written before the check
    EXPECT_EQ(error_text([&] {
                  format_mesh_registers_set_output_to_NPs(
                      &two, {comp(hw::Type::CNP1, 1), comp(hw::Type::CNP1, 2)},
                      {comp(hw::Type::CNP1, 1)}, {dma}, kNoAlt, 4, true, false, false);
              }),
              "Cannot use P2P IN mode for multiple NPs.");
}

TEST(V2RegsRouting, AlternateLayerRecord) {
    std::vector<uint32_t> regs(64, 0);
    regs[52] = 0x0000AB0Fu;
    auto alt = std::make_unique<AltLayerMapInfo>();
    alt->is_second = 1;
    alt->total_nps = 5;
    alt->main_channel = 7;
    const std::vector<hw::Component> one{comp(hw::Type::CNP1, 2)};
    format_mesh_registers_set_output_to_NPs(&regs, one, one, one, alt, 1, false, false, false);
    EXPECT_EQ(regs[46] & (1u << 19), 1u << 19);
    EXPECT_EQ(regs[52], 0x0507AB1Fu);

    alt->total_nps = 256;
    EXPECT_EQ(error_text([&] {
                  format_mesh_registers_set_output_to_NPs(&regs, one, one, one, alt, 1, false,
                                                          false, false);
              }),
              overflow_text(256, 8));
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
