#pragma once

#include <cstdint>

namespace vorna {

// Split parameters of one layer on one kind of NP, as answered by a
// CompatibilityChecker: the kernel halo an NP needs beyond its own part of the
// input, the pooling the split must respect, and the number of filters.
struct NpSplitParams {
    uint32_t border_left = 0;
    uint32_t border_right = 0;
    uint32_t border_top = 0;
    uint32_t border_bottom = 0;
    uint32_t pool_type = 0;  // PoolType value (Max = 1)
    uint32_t pool_width = 0;
    uint32_t pool_height = 0;
    uint32_t filters = 0;
};

}  // namespace vorna
