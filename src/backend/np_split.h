#pragma once

// The geometry one NP's registers and memory sizes need, derived from the
// placement of its component: where its part of the input starts, how large
// it is with and without the kernel borders, the stride phase of its first
// row and column, and the range of pooled outputs it produces.

#include <cstdint>

#include "backend/hw.h"
#include "corelib/types.h"

namespace vorna {

// Members prefixed i concern rows (the height), j columns (the width).
class NpSplitInterface {
  public:
    virtual ~NpSplitInterface() = default;

    // The input container size.
    virtual uint32_t icont_size() const = 0;

    uint32_t i_orig_cut = 0;     // y of the region read
    uint32_t j_orig_cut = 0;     // x of the region read
    uint32_t ii_size = 0;        // height of the NP's own region
    uint32_t jj_size = 0;        // width of the NP's own region
    uint32_t ch_size = 0;        // channels of the NP's own region
    int32_t i_stride_phase = 0;  // row phase of the region against the kernel stride
    int32_t j_stride_phase = 0;  // column phase
    int32_t ii_offset = 0;       // start of the region read minus start of the own region (y)
    int32_t jj_offset = 0;       // the same along x
    uint32_t i_size_cut = 0;     // height of the region read
    uint32_t j_size_cut = 0;     // width of the region read
    uint32_t i_pool_start = 0;   // first pooled output row
    uint32_t j_pool_start = 0;   // first pooled output column
    uint32_t i_pool_offset = 0;  // pooled-row count term
    uint32_t j_pool_offset = 0;  // pooled-column count term
};

// The split of an ordinary convolution, depthwise or TNP-B layer. A caller
// without pooling passes pool size 0, pool stride 1 and zero pool padding.
class NpSplit : public NpSplitInterface {
  public:
    NpSplit(const Shape& input_shape, NpSpace spatial, const NpSpace& aux, int kernel_size,
            int kernel_stride, const PaddingParams& padding, uint32_t pool_size,
            uint8_t pool_stride, const PaddingParams& pool_padding);

    // The own region's width rounded up to a multiple of 4.
    uint32_t icont_size() const override;
};

// The split of a transposed convolution on a CNP, whose output is twice its
// input in each direction.
class TransposedCnpSplit : public NpSplitInterface {
  public:
    TransposedCnpSplit(NpSpace spatial, const NpSpace& aux);

    // Twice the own region's width rounded up to a multiple of 4.
    uint32_t icont_size() const override;
};

}  // namespace vorna
