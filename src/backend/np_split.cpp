#include "backend/np_split.h"

#include <stdexcept>

namespace vorna {

namespace {

uint32_t round_up4(uint32_t v) { return (v + 3u) & ~3u; }

// Output rows (or columns) of the convolution whose kernel centre lies in the
// region [start, start + size) of the padded input, and the pooled outputs
// they feed.
struct AxisGeometry {
    uint32_t pool_start;
    uint32_t pool_offset;
};

AxisGeometry axis_geometry(uint32_t padding_before, uint32_t start, uint32_t size,
                           uint32_t input_size, uint32_t half_kernel, uint32_t stride,
                           uint32_t pool_size, uint32_t pool_stride, uint32_t pool_before,
                           uint32_t pool_after) {
    const uint32_t first_in = padding_before + start;
    const uint32_t last_in = padding_before + start + size - 1;
    // First output whose kernel centre is at or after the region's start.
    const uint32_t first_out =
        half_kernel >= first_in ? 0 : (first_in - half_kernel + stride - 1) / stride;
    // Last output whose kernel centre is at or before the region's end. When no
    // centre lies in the region (it ends before the first centre, which can
    // only happen at the start of the axis, where first_out is 0), the range is
    // empty: last_out is first_out - 1, wrapping like the rest of this unsigned
    // arithmetic, which makes the count term below come out as no output.
    const uint32_t last_out =
        last_in < half_kernel ? first_out - 1 : (last_in - half_kernel) / stride;

    AxisGeometry g;
    g.pool_start = first_out == 0 ? 0 : (first_out + pool_before) / pool_stride;
    uint32_t last = last_out + pool_before;
    if (start + size == input_size) last += pool_after;
    g.pool_offset = first_out == 0 ? 1 : 1 - g.pool_start;
    if (pool_size < pool_stride + last)
        g.pool_offset += (pool_stride - pool_size + last) / pool_stride;
    return g;
}

// The NP's own region (`spatial`) and the region it reads (`aux`), common to
// every split kind.
void set_regions(NpSplitInterface* split, const NpSpace& spatial, const NpSpace& aux) {
    split->i_orig_cut = static_cast<uint32_t>(aux.y);
    split->j_orig_cut = static_cast<uint32_t>(aux.x);
    split->ii_size = spatial.shape[1];
    split->jj_size = spatial.shape[0];
    split->ch_size = spatial.shape[2];
    split->ii_offset = aux.y - spatial.y;
    split->jj_offset = aux.x - spatial.x;
    split->i_size_cut = aux.shape[1];
    split->j_size_cut = aux.shape[0];
}

}  // namespace

NpSplit::NpSplit(const Shape& input_shape, NpSpace spatial, const NpSpace& aux, int kernel_size,
                 int kernel_stride, const PaddingParams& padding, uint32_t pool_size,
                 uint8_t pool_stride, const PaddingParams& pool_padding) {
    if (kernel_stride < 1)
        throw std::invalid_argument("NpSplit: the kernel stride must be at least 1.");
    if (pool_stride < 1)
        throw std::invalid_argument("NpSplit: the pool stride must be at least 1.");
    if (kernel_size < 0)
        throw std::invalid_argument("NpSplit: the kernel size must not be negative.");

    const uint32_t x = static_cast<uint32_t>(spatial.x);
    const uint32_t y = static_cast<uint32_t>(spatial.y);
    const uint32_t w = spatial.shape[0];
    const uint32_t h = spatial.shape[1];

    set_regions(this, spatial, aux);

    const uint32_t s = static_cast<uint32_t>(kernel_stride);
    const uint32_t k2 = static_cast<uint32_t>(kernel_size) / 2;
    const uint32_t pad_top = static_cast<uint32_t>(padding.top);
    const uint32_t pad_left = static_cast<uint32_t>(padding.left);
    i_stride_phase = static_cast<int32_t>((pad_top + y) % s);
    j_stride_phase = static_cast<int32_t>((pad_left + x) % s);

    const AxisGeometry rows = axis_geometry(pad_top, y, h, input_shape[1], k2, s, pool_size,
                                            pool_stride, static_cast<uint32_t>(pool_padding.top),
                                            static_cast<uint32_t>(pool_padding.bottom));
    const AxisGeometry cols = axis_geometry(pad_left, x, w, input_shape[0], k2, s, pool_size,
                                            pool_stride, static_cast<uint32_t>(pool_padding.left),
                                            static_cast<uint32_t>(pool_padding.right));
    i_pool_start = rows.pool_start;
    i_pool_offset = rows.pool_offset;
    j_pool_start = cols.pool_start;
    j_pool_offset = cols.pool_offset;
}

uint32_t NpSplit::icont_size() const { return round_up4(jj_size); }

TransposedCnpSplit::TransposedCnpSplit(NpSpace spatial, const NpSpace& aux) {
    const uint32_t x = static_cast<uint32_t>(spatial.x);
    const uint32_t y = static_cast<uint32_t>(spatial.y);
    const uint32_t w = spatial.shape[0];
    const uint32_t h = spatial.shape[1];
    set_regions(this, spatial, aux);
    i_stride_phase = 0;
    j_stride_phase = 0;
    i_pool_start = 2 * y;
    j_pool_start = 2 * x;
    i_pool_offset = 2 * h;
    j_pool_offset = 2 * w;
}

uint32_t TransposedCnpSplit::icont_size() const { return round_up4(j_pool_offset); }

}  // namespace vorna
