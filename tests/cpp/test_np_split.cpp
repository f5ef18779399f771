#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "backend/np_split.h"

namespace vorna {
namespace {

NpSpace space(int32_t x, int32_t y, uint32_t w, uint32_t h, uint32_t c) {
    return NpSpace{x, y, Shape({w, h, c})};
}

PaddingParams pad(int32_t top, int32_t bottom, int32_t left, int32_t right) {
    PaddingParams p;
    p.top = top;
    p.bottom = bottom;
    p.left = left;
    p.right = right;
    return p;
}

const PaddingParams kNoPad{};

TEST(NpSplitGeometry, UnsplitLayerAtTheCorner) {
    const Shape input({16, 12, 8});
    const NpSpace all = space(0, 0, 16, 12, 8);
    const NpSplit s(input, all, all, 3, 2, pad(1, 1, 1, 1), 0, 1, kNoPad);
    EXPECT_EQ(s.i_orig_cut, 0u);
    EXPECT_EQ(s.j_orig_cut, 0u);
    EXPECT_EQ(s.ii_size, 12u);
    EXPECT_EQ(s.jj_size, 16u);
    EXPECT_EQ(s.ch_size, 8u);
    EXPECT_EQ(s.ii_offset, 0);
    EXPECT_EQ(s.jj_offset, 0);
    EXPECT_EQ(s.i_size_cut, 12u);
    EXPECT_EQ(s.j_size_cut, 16u);
    EXPECT_EQ(s.i_stride_phase, 1);  // padding 1 modulo stride 2
    EXPECT_EQ(s.j_stride_phase, 1);
    EXPECT_EQ(s.i_pool_start, 0u);
    EXPECT_EQ(s.j_pool_start, 0u);
    // Rows 0..12 padded, centres at 2r + 1: outputs 0..5, count term 5 - 0 + 2.
    EXPECT_EQ(s.i_pool_offset, 7u);
    // Columns 0..16 padded: outputs 0..7.
    EXPECT_EQ(s.j_pool_offset, 9u);
}

TEST(NpSplitGeometry, SecondHeightPartReadsOneRowAbove) {
    const Shape input({8, 40, 4});
    const NpSplit s(input, space(0, 20, 8, 20, 4), space(0, 19, 8, 21, 4), 3, 1, pad(1, 1, 1, 1), 0,
                    1, kNoPad);
    EXPECT_EQ(s.ii_offset, -1);
    EXPECT_EQ(s.i_orig_cut, 19u);
    EXPECT_EQ(s.i_size_cut, 21u);
    // First output row 20, last 39: start 20, count term 39 - 20 + 2.
    EXPECT_EQ(s.i_pool_start, 20u);
    EXPECT_EQ(s.i_pool_offset, 21u);
    EXPECT_EQ(s.i_stride_phase, 0);
}

TEST(NpSplitGeometry, StridePhase) {
    const Shape input({8, 20, 4});
    const NpSplit s(input, space(0, 7, 8, 5, 4), space(0, 7, 8, 5, 4), 3, 2, kNoPad, 0, 1, kNoPad);
    EXPECT_EQ(s.i_stride_phase, 1);
    EXPECT_EQ(s.j_stride_phase, 0);
}

TEST(NpSplitGeometry, MaxPoolingRows) {
    // 8 rows, 3x3 stride 1 with padding 1, max pooling 2 stride 2.
    const Shape input({8, 8, 4});
    const NpSplit top(input, space(0, 0, 8, 4, 4), space(0, 0, 8, 5, 4), 3, 1, pad(1, 1, 1, 1), 2,
                      2, kNoPad);
    EXPECT_EQ(top.i_pool_start, 0u);
    EXPECT_EQ(top.i_pool_offset, 2u);  // 1 + (2 - 2 + 3) / 2
    const NpSplit bottom(input, space(0, 4, 8, 4, 4), space(0, 3, 8, 5, 4), 3, 1, pad(1, 1, 1, 1),
                         2, 2, kNoPad);
    EXPECT_EQ(bottom.i_pool_start, 2u);   // (4 + 0) / 2
    EXPECT_EQ(bottom.i_pool_offset, 2u);  // 1 - 2 + (2 - 2 + 7) / 2
    // Pool padding at the bottom counts only for the part that ends the input.
    const NpSplit padded(input, space(0, 4, 8, 4, 4), space(0, 3, 8, 5, 4), 3, 1, pad(1, 1, 1, 1),
                         2, 2, pad(0, 1, 0, 1));
    EXPECT_EQ(padded.i_pool_offset, 3u);  // 1 - 2 + (2 - 2 + 8) / 2
    const NpSplit upper(input, space(0, 0, 8, 4, 4), space(0, 0, 8, 5, 4), 3, 1, pad(1, 1, 1, 1), 2,
                        2, pad(0, 1, 0, 1));
    EXPECT_EQ(upper.i_pool_offset, 2u);
}

TEST(NpSplitGeometry, WithoutPoolingOffsetIsRowCountPlusOne) {
    const Shape input({32, 32, 4});
    const NpSplit s(input, space(10, 10, 8, 6, 4), space(9, 9, 10, 8, 4), 3, 1, pad(1, 1, 1, 1), 0,
                    1, kNoPad);
    // Rows 11..16 padded hold centres of outputs 10..15.
    EXPECT_EQ(s.i_pool_start, 10u);
    EXPECT_EQ(s.i_pool_offset, 15u - 10u + 2u);
    EXPECT_EQ(s.j_pool_offset, 17u - 10u + 2u);
}

TEST(NpSplitGeometry, RegionBeforeTheFirstKernelCentreHasNoOutputs) {
    // Kernel 5 without padding: the first centre is row 2, after this region.
    const Shape input({8, 10, 4});
    const NpSplit s(input, space(0, 0, 8, 2, 4), space(0, 0, 8, 4, 4), 5, 1, kNoPad, 0, 1, kNoPad);
    EXPECT_EQ(s.i_pool_start, 0u);
    EXPECT_EQ(s.i_pool_offset, 1u);  // the count term of an empty row range
}

TEST(NpSplitGeometry, InputContainerSizes) {
    const Shape input({32, 32, 4});
    const NpSplit s(input, space(0, 0, 13, 4, 4), space(0, 0, 14, 5, 4), 3, 1, pad(1, 1, 1, 1), 0,
                    1, kNoPad);
    EXPECT_EQ(s.icont_size(), 16u);
    const TransposedCnpSplit t(space(0, 0, 13, 4, 4), space(0, 0, 14, 5, 4));
    EXPECT_EQ(t.icont_size(), 28u);
    const NpSplit even(input, space(0, 0, 16, 4, 4), space(0, 0, 16, 4, 4), 3, 1, pad(1, 1, 1, 1),
                       0, 1, kNoPad);
    EXPECT_EQ(even.icont_size(), 16u);
}

TEST(NpSplitGeometry, TransposedCnpSplitDoublesTheRegion) {
    const TransposedCnpSplit t(space(3, 2, 13, 5, 4), space(2, 1, 15, 7, 4));
    EXPECT_EQ(t.i_orig_cut, 1u);
    EXPECT_EQ(t.j_orig_cut, 2u);
    EXPECT_EQ(t.ii_size, 5u);
    EXPECT_EQ(t.jj_size, 13u);
    EXPECT_EQ(t.ch_size, 4u);
    EXPECT_EQ(t.ii_offset, -1);
    EXPECT_EQ(t.jj_offset, -1);
    EXPECT_EQ(t.i_size_cut, 7u);
    EXPECT_EQ(t.j_size_cut, 15u);
    EXPECT_EQ(t.i_stride_phase, 0);
    EXPECT_EQ(t.j_stride_phase, 0);
    EXPECT_EQ(t.i_pool_start, 4u);
    EXPECT_EQ(t.j_pool_start, 6u);
    EXPECT_EQ(t.i_pool_offset, 10u);
    EXPECT_EQ(t.j_pool_offset, 26u);
}

TEST(NpSplitGeometry, ZeroStridesAreRefused) {
    const Shape input({8, 8, 4});
    const NpSpace all = space(0, 0, 8, 8, 4);
    EXPECT_THROW(NpSplit(input, all, all, 3, 0, kNoPad, 0, 1, kNoPad), std::invalid_argument);
    EXPECT_THROW(NpSplit(input, all, all, 3, 1, kNoPad, 2, 0, kNoPad), std::invalid_argument);
}

}  // namespace
}  // namespace vorna
