#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>

#include "backend/hw.h"
#include "corelib/dma.h"

namespace vorna {
namespace {

using dma::HeaderField;

constexpr uint32_t mask_at(const HeaderField& f) {
    return static_cast<uint32_t>(((uint64_t{1} << f.width) - 1) << f.shift);
}

// The fields of each word are disjoint and together fill all 32 bits.
TEST(DmaTest, HeaderFieldsTileBothWords) {
    uint32_t seen = 0;
    for (const HeaderField& f : {dma::HDR0_COL, dma::HDR0_ROW, dma::HDR0_ID, dma::HDR0_XL,
                                 dma::HDR0_TARGET, dma::HDR0_SIZE}) {
        EXPECT_EQ(seen & mask_at(f), 0u) << f.shift;
        seen |= mask_at(f);
    }
    EXPECT_EQ(seen, 0xFFFFFFFFu);
    seen = 0;
    for (const HeaderField& f : {dma::HDR1_OFFSET, dma::HDR1_XL_SIZE}) {
        EXPECT_EQ(seen & mask_at(f), 0u) << f.shift;
        seen |= mask_at(f);
    }
    EXPECT_EQ(seen, 0xFFFFFFFFu);
    EXPECT_EQ(dma::HDR0_SIZE.max(), dma::MAX_NORMAL_BLOCK_WORDS);
}

struct HeaderCase {
    hw::Ident np;
    dma::Target target;
    uint32_t size;
    uint16_t offset;
    bool xl;
};

class DmaHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(DmaHeaderTest, FieldsLandWhereTheConstantsSay) {
    const HeaderCase& c = GetParam();
    uint32_t out[dma::HEADER_WORDS + 1] = {0xDEADBEEF, 0xDEADBEEF, 0xCAFEF00D};
    dma::format_config_header(out, c.np, c.target, c.size, c.offset, c.xl);

    const uint32_t normal_size = c.xl ? 0 : c.size;
    const uint32_t xl_units = c.xl ? c.size / dma::XL_SIZE_UNIT_WORDS : 0;
    const uint32_t word0 =
        (uint32_t{c.np.col} << dma::HDR0_COL.shift) | (uint32_t{c.np.row} << dma::HDR0_ROW.shift) |
        (uint32_t{c.np.id} << dma::HDR0_ID.shift) | (uint32_t{c.xl} << dma::HDR0_XL.shift) |
        (static_cast<uint32_t>(c.target) << dma::HDR0_TARGET.shift) |
        (normal_size << dma::HDR0_SIZE.shift);
    const uint32_t word1 =
        (uint32_t{c.offset} << dma::HDR1_OFFSET.shift) | (xl_units << dma::HDR1_XL_SIZE.shift);
    EXPECT_EQ(out[0], word0);
    EXPECT_EQ(out[1], word1);
    EXPECT_EQ(out[2], 0xCAFEF00Du) << "wrote past the two header words";

    // Decoding gives the inputs back; the channel is not part of the header.
    EXPECT_EQ(dma::HDR0_COL.get(out[0]), c.np.col);
    EXPECT_EQ(dma::HDR0_ROW.get(out[0]), c.np.row);
    EXPECT_EQ(dma::HDR0_ID.get(out[0]), c.np.id);
    EXPECT_EQ(dma::HDR0_XL.get(out[0]), c.xl ? 1u : 0u);
    EXPECT_EQ(dma::HDR0_TARGET.get(out[0]), static_cast<uint32_t>(c.target));
    EXPECT_EQ(dma::HDR0_SIZE.get(out[0]) + dma::HDR1_XL_SIZE.get(out[1]) * dma::XL_SIZE_UNIT_WORDS,
              c.size);
    EXPECT_EQ(dma::HDR1_OFFSET.get(out[1]), c.offset);
}

INSTANTIATE_TEST_SUITE_P(
    DmaCases, DmaHeaderTest,
    ::testing::Values(HeaderCase{hw::Ident(0, 0, 0), dma::CnpWeights, 0, 0, false},
                      HeaderCase{hw::Ident(1, 2, 3, 9), dma::NpRegisters, 64, 0x1234, false},
                      HeaderCase{hw::Ident(255, 255, 7), dma::Tsram, 255, 0xFFFF, false},
                      HeaderCase{hw::Ident(4, 1, 1), dma::FnpRam, 256, 0, true},
                      HeaderCase{hw::Ident(3, 2, 0), dma::HrcSram, 1008, 7, true},
                      HeaderCase{hw::Ident(2, 1, 5), dma::CnpLut, 16, 3, true},
                      HeaderCase{hw::Ident(2, 1, 5), dma::CnpWeightsAlt, 0, 0, true},
                      HeaderCase{hw::Ident(1, 1, 2), dma::Fsram, 65535u * 16u, 1, true}));

TEST(DmaTest, DummyDescriptorHeader) {
    uint32_t out[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    dma::format_config_header(out, hw::Ident(), dma::IpRegisters, 1, 0, false);
    EXPECT_EQ(out[0], 0x01800000u);
    EXPECT_EQ(out[1], 0u);
}

TEST(DmaTest, XlThreshold) {
    EXPECT_FALSE(dma::config_block_size_needs_xl(0));
    EXPECT_FALSE(dma::config_block_size_needs_xl(16));
    EXPECT_FALSE(dma::config_block_size_needs_xl(255));
    EXPECT_TRUE(dma::config_block_size_needs_xl(256));
    EXPECT_TRUE(dma::config_block_size_needs_xl(1000));
    EXPECT_TRUE(dma::config_block_size_needs_xl(0xFFFFFFFFu));
}

TEST(DmaTest, RefusedArguments) {
    uint32_t out[2] = {0x11111111, 0x22222222};
    const hw::Ident np(1, 1, 0);
    auto refuses = [&](const hw::Ident& id, uint32_t target, uint32_t size, bool xl) {
        EXPECT_THROW(
            dma::format_config_header(out, id, static_cast<dma::Target>(target), size, 0, xl),
            std::invalid_argument)
            << "target " << target << " size " << size << " xl " << xl;
    };
    refuses(np, 16, 1, false);                 // target above 15
    refuses(hw::Ident(1, 1, 8), 7, 1, false);  // id above 7
    refuses(np, 7, 256, false);                // normal size above 255
    refuses(np, 7, 1000, false);
    refuses(np, 7, 17, true);  // XL size not a multiple of 16
    refuses(np, 7, 1001, true);
    refuses(np, 7, 65536u * 16u, true);  // XL size beyond 16 bits of units
    EXPECT_EQ(out[0], 0x11111111u);
    EXPECT_EQ(out[1], 0x22222222u);
    EXPECT_THROW(dma::format_config_header(nullptr, np, dma::NpRegisters, 1, 0, false),
                 std::invalid_argument);
}

}  // namespace
}  // namespace vorna
