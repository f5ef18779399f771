#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

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

const PaddingParams kNo{};
const PaddingParams kOne = pad(1, 1, 1, 1);

// i_orig_cut, j_orig_cut, ii_size, jj_size, ch_size, ii_offset, jj_offset, i_size_cut,
// j_size_cut, i_stride_phase, j_stride_phase, i_pool_start, j_pool_start, i_pool_offset,
// j_pool_offset.
template <class S>
std::vector<int64_t> fields(const S& s) {
    return {s.i_orig_cut,     s.j_orig_cut,   s.ii_size,      s.jj_size,       s.ch_size,
            s.ii_offset,      s.jj_offset,    s.i_size_cut,   s.j_size_cut,    s.i_stride_phase,
            s.j_stride_phase, s.i_pool_start, s.j_pool_start, s.i_pool_offset, s.j_pool_offset};
}

using F = std::vector<int64_t>;

TEST(NpSplit, Geometry) {
    const Shape s16({16, 12, 8});
    const NpSpace all = space(0, 0, 16, 12, 8);
    // Stride 2, padding 1: phase 1; rows 0..12 padded give outputs 0..5 (count
    // term 5 - 0 + 2), columns outputs 0..7.
    EXPECT_EQ(fields(NpSplit(s16, all, all, 3, 2, kOne, 0, 1, kNo)),
              (F{0, 0, 12, 16, 8, 0, 0, 12, 16, 1, 1, 0, 0, 7, 9}));
    // A second height part reads one row above: outputs 20..39.
    EXPECT_EQ(fields(NpSplit(Shape({8, 40, 4}), space(0, 20, 8, 20, 4), space(0, 19, 8, 21, 4), 3,
                             1, kOne, 0, 1, kNo)),
              (F{19, 0, 20, 8, 4, -1, 0, 21, 8, 0, 0, 20, 0, 21, 9}));
    EXPECT_EQ(fields(NpSplit(Shape({8, 20, 4}), space(0, 7, 8, 5, 4), space(0, 7, 8, 5, 4), 3, 2,
                             kNo, 0, 1, kNo))[9],
              1);
    // Rows 11..16 padded hold centres of outputs 10..15.
    EXPECT_EQ(fields(NpSplit(Shape({32, 32, 4}), space(10, 10, 8, 6, 4), space(9, 9, 10, 8, 4), 3,
                             1, kOne, 0, 1, kNo)),
              (F{9, 9, 6, 8, 4, -1, -1, 8, 10, 0, 0, 10, 10, 7, 9}));
    // Kernel 5 without padding: the first centre is row 2, after this region.
    EXPECT_EQ(fields(NpSplit(Shape({8, 10, 4}), space(0, 0, 8, 2, 4), space(0, 0, 8, 4, 4), 5, 1,
                             kNo, 0, 1, kNo))[13],
              1);
    EXPECT_EQ(fields(TransposedCnpSplit(space(3, 2, 13, 5, 4), space(2, 1, 15, 7, 4))),
              (F{1, 2, 5, 13, 4, -1, -1, 7, 15, 0, 0, 4, 6, 10, 26}));
}

TEST(NpSplit, MaxPoolingRowsAndContainers) {
    // 8 rows, 3x3 stride 1 with padding 1, max pooling 2 stride 2.
    const Shape input({8, 8, 4});
    const auto rows = [&](int32_t y, int32_t ay, const PaddingParams& pool_pad) {
        const NpSplit s(input, space(0, y, 8, 4, 4), space(0, ay, 8, 5, 4), 3, 1, kOne, 2, 2,
                        pool_pad);
        return F{s.i_pool_start, s.i_pool_offset};
    };
    EXPECT_EQ(rows(0, 0, kNo), (F{0, 2}));  // 1 + (2 - 2 + 3) / 2
    EXPECT_EQ(rows(4, 3, kNo), (F{2, 2}));  // (4 + 0) / 2; 1 - 2 + (2 - 2 + 7) / 2
    // Pool padding at the bottom counts only for the part that ends the input.
    EXPECT_EQ(rows(4, 3, pad(0, 1, 0, 1)), (F{2, 3}));
    EXPECT_EQ(rows(0, 0, pad(0, 1, 0, 1)), (F{0, 2}));

    const Shape big({32, 32, 4});
    EXPECT_EQ(NpSplit(big, space(0, 0, 13, 4, 4), space(0, 0, 14, 5, 4), 3, 1, kOne, 0, 1, kNo)
                  .icont_size(),
              16u);
    EXPECT_EQ(TransposedCnpSplit(space(0, 0, 13, 4, 4), space(0, 0, 14, 5, 4)).icont_size(), 28u);
    const NpSpace all = space(0, 0, 8, 8, 4);
    EXPECT_THROW(NpSplit(input, all, all, 3, 0, kNo, 0, 1, kNo), std::invalid_argument);
    EXPECT_THROW(NpSplit(input, all, all, 3, 1, kNo, 2, 0, kNo), std::invalid_argument);
}

}  // namespace
}  // namespace vorna
