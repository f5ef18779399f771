#pragma once

// The arithmetic of dividing a convolution-like layer over a grid of NPs:
// the even split of one axis, the growth of the filter split until the
// weights fit, the ordered candidate grids and the search for the first grid
// whose per-NP input fits an NP's input memory.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "backend/hw.h"
#include "backend/mapping_status.h"
#include "backend/np_split_params.h"

namespace vorna {

class Layer;
class CompatibilityChecker;

// The division of one axis. Every part but the last has `chunk_size`
// elements; the last holds the rest. A split whose `num_chunks` or
// `chunk_size` is 0 cannot divide the axis.
struct Split {
    uint32_t num_chunks = 0;
    uint32_t chunk_size = 0;
    uint32_t total = 0;
    uint32_t max_size = 0;
    uint32_t step = 0;

    Split() = default;
    // The even split of `total` into parts of at most `max_size`, made
    // multiples of `step` where possible. All fields are 0 when `max_size` is
    // below `step`.
    Split(uint32_t total, uint32_t max_size, uint32_t step);

    bool empty() const { return num_chunks == 0 || chunk_size == 0; }
    bool operator==(const Split& o) const {
        return num_chunks == o.num_chunks && chunk_size == o.chunk_size && total == o.total &&
               max_size == o.max_size && step == o.step;
    }
    bool operator!=(const Split& o) const { return !(*this == o); }
};

// One candidate grid: parts along the width, the height and the filters.
// Compared lexicographically in that order.
struct SplitsNumChunks {
    uint32_t width_chunks = 0;
    uint32_t height_chunks = 0;
    uint32_t filter_chunks = 0;

    bool operator<(const SplitsNumChunks& o) const;
    bool operator==(const SplitsNumChunks& o) const {
        return width_chunks == o.width_chunks && height_chunks == o.height_chunks &&
               filter_chunks == o.filter_chunks;
    }

    // Every unordered triple of positive factors of n, each stored smallest
    // first. Empty for 0.
    static std::set<SplitsNumChunks> factor_triplets(uint32_t n);
    // Every ordered triple of positive integers with product n, in descending
    // lexicographic order (grids with more width parts first).
    static std::vector<SplitsNumChunks> get_splits_number(uint32_t n);
};

// The outcome of the split search. `buffer_mode` is 0 when nothing was found,
// 1 when a part fits the NP input memory with double buffering, 2 when it
// fits with single buffering only.
struct SplitSearchResult {
    bool found = false;
    Split width;
    Split height;
    Split filters;
    uint32_t buffer_mode = 0;
};

// Every pair (a, b) with a * b = n and a >= b, ordered by a then b.
std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n);

// The split of `total` with step 4 when `tnp_b_rounding` is set and the layer
// runs on TNP-Bs, else step 1.
Split make_even_split(const Layer& layer, uint32_t total, uint32_t max_size, bool tnp_b_rounding);

// The split of the layer's input height, in multiples of the pooling width
// when the layer has max pooling.
Split make_even_split_stepped(const Layer& layer, const NpSplitParams& params, uint32_t max_size);

// The filter split grown one part at a time until one part's weights fit an
// NP; all fields 0 when no count fits.
Split fit_weights_split(const Layer& layer, const CompatibilityChecker& checker,
                        const Split& filters);

// The size an NP reads of a part of `size` on an axis of `count` parts: no
// border for one part, the larger border for two, both for three or more.
uint32_t part_with_borders(uint32_t count, uint32_t size, uint32_t border_before,
                           uint32_t border_after);

// Asked about a grid that the search found to fit, with its width and height
// splits, the channels of one part and the buffer mode found (1 or 2); a
// grid it answers false for is passed over as one that does not fit.
using SplitFitCheck = std::function<bool(const Split& width, const Split& height, uint32_t channels,
                                         uint32_t buffer_mode)>;

// The first candidate grid, by NP count and then by the order of
// get_splits_number, whose per-NP input (borders included) fits the NP input
// memory, double buffering tried before single buffering (never single
// buffering when `hwpr` is set), and that `also_fits`, when given, accepts.
SplitSearchResult find_split(uint32_t channels, uint8_t input_bits, const NpSplitParams& params,
                             const CompatibilityChecker& checker, const Split& height,
                             const Split& width, const Split& filters, uint32_t fifo_size,
                             hw::Type type, bool hwpr, uint32_t pk_shift,
                             bool channels_from_filters, bool allow_height_split, bool tnp_b,
                             const SplitFitCheck& also_fits = {});

// A failed status about the layer with the given message.
MappingStatus layer_error_status(const Layer& layer, const std::string& message);

}  // namespace vorna
