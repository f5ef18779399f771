// Point-to-point routing in the v2 mesh words: word 46 names the one NP that
// sends its output to this NP, word 45 the one NP that receives it.

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

using Components = std::vector<hw::Component>;

hw::Component comp(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return hw::Component(type, hw::Ident(col, row, id));
}

const std::unique_ptr<AltLayerMapInfo> kNoAlt;

// The default file: 64 words, the channel in word 3 bits 24-31 (8 bits), or
// 0xFE000000 for an unused NP whatever the channel; a file of another size is
// refused by the routines that write into one.
TEST(V2RegsDefaults, ChannelFieldAndFileSize) {
    const auto np = comp(hw::Type::CNP1, 1, 0, 2);
    auto regs = default_np_regs(np, 255, false, true);
    ASSERT_EQ(regs.size(), 64u);
    EXPECT_EQ(regs[3], 0xFF000000u);
    EXPECT_EQ(regs[56], 0x01800108u);
    EXPECT_EQ(error_text([&] { default_np_regs(np, 256, false, false); }), overflow_text(256, 8));
    EXPECT_EQ(default_np_regs(np, 256, true, false)[3], 0xFE000000u);

    for (size_t size : {size_t{63}, size_t{65}}) {
        std::vector<uint32_t> odd(size, 0);
        const std::string refusal = "A v2 NP register file must hold 64 words.";
        EXPECT_EQ(error_text([&] { set_ib_spikes(&odd); }), refusal) << size;
        EXPECT_EQ(error_text([&] { format_mesh_cfg_dma_reg(&odd, hw::Ident(1, 2, 0)); }), refusal);
        EXPECT_EQ(error_text([&] {
                      format_mesh_registers_set_output_to_NPs(&odd, {np}, {np}, {np}, kNoAlt, 1,
                                                              false, false, false);
                  }),
                  refusal);
        EXPECT_EQ(odd, std::vector<uint32_t>(size, 0));
    }
    EXPECT_EQ(error_text([] { set_ib_spikes(nullptr); }),
              "A v2 NP register file must hold 64 words.");
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

// Word 46 in P2P IN mode over a word whose bits are all set: bits 0-15 take
// the source's row and column, bits 20-23 the one-hot source id, bits 16-19
// and 24-30 are kept and bit 31 is cleared.
TEST(V2RegsRouting, PointToPointInputWord) {
    struct Case {
        hw::Component source;
        uint32_t word46;
    };
    for (const Case& k : {Case{comp(hw::Type::CNP1, 4, 1, 3), 0x7F8F0401u},
                          Case{comp(hw::Type::FNP3, 0x12, 0x34, 0), 0x7F1F1234u},
                          Case{comp(hw::Type::TNP_B, 1, 2, 2), 0x7F4F0102u}}) {
        std::vector<uint32_t> regs(64, 0xFFFFFFFFu);
        format_mesh_registers_set_output_to_NPs(&regs, {k.source}, {comp(hw::Type::CNP1, 5)},
                                                {comp(hw::Type::CNP1, 6)}, kNoAlt, 1, true, false,
                                                false);
        EXPECT_EQ(regs[46], k.word46) << std::hex << k.word46;
        EXPECT_EQ(regs[45], 0x01FF0606u);  // the destination range, not point to point
    }

    // One source and no other: none at all is refused like two, and an id
    // beyond 3 does not fit the one-hot field.
    for (const Components& sources :
         {Components{}, Components{comp(hw::Type::CNP1, 1), comp(hw::Type::CNP1, 1)}}) {
        std::vector<uint32_t> regs(64, 0);
        EXPECT_EQ(error_text([&] {
                      format_mesh_registers_set_output_to_NPs(
                          &regs, sources, {comp(hw::Type::CNP1, 5)}, {comp(hw::Type::CNP1, 6)},
                          kNoAlt, 1, true, false, false);
                  }),
                  "Cannot use P2P IN mode for multiple NPs.");
        EXPECT_EQ(regs[45], 0x01000606u);  // the destination word is written first
        EXPECT_EQ(regs[46], 0u);
    }
    std::vector<uint32_t> regs(64, 0);
    EXPECT_EQ(error_text([&] {
                  format_mesh_registers_set_output_to_NPs(
                      &regs, {comp(hw::Type::CNP1, 1, 1, 4)}, {comp(hw::Type::CNP1, 5)},
                      {comp(hw::Type::CNP1, 6)}, kNoAlt, 1, true, false, false);
              }),
              overflow_text(16, 4));
}

}  // namespace
