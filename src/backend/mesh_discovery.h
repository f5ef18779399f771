#pragma once

// Reading a real device's NP layout from its IP registers (Mesh::discover,
// declared with Mesh in backend/hw.h).

#include <cstdint>
#include <vector>

#include "backend/hw.h"

namespace vorna {

class HardwareDevice;

// The layout fields read from the IP registers.
struct MeshInfo {
    // Mesh word 1 (base + 0x50).
    uint32_t rows = 0;
    uint32_t cols = 0;
    uint32_t row1_first_col = 0;
    uint32_t row2_first_col = 0;
    // Mesh word 2 (base + 0x54).
    uint32_t nps_per_node = 0;
    bool dma_node_without_nps = false;
    uint32_t dma_row = 0;
    uint32_t dma_col = 0;
    uint32_t dma_event_id = 0;
    uint32_t dma_conf_id = 0;
    // Mesh word 3 (base + 0x58).
    uint32_t extra_row = 0;
    uint32_t extra_col = 0;
    uint32_t last_row_last_col = 0;
    // v2 only.
    bool has_hrc = true;
    bool hrc_has_lut = false;
    uint32_t skipdma_cols = 0;
    uint32_t skipdma_channel = 0;
    // SRAM sizes: v2 input and weight bytes; mote word sizes.
    uint32_t input_bytes = 0;
    uint32_t weight_bytes = 0;
    uint32_t stsram_32b_size = 0;
    uint32_t fsram_64b_size = 0;
    uint32_t tsram_51b_size = 0;
    uint32_t evsram_32b_size = 0;
};

// The NPs of the mesh positions described by `info`, in ident order, each with
// the kinds and look-up-table flag of its configuration word.
std::vector<np::Info> add_nps(const MeshInfo& info, HardwareDevice* device);

}  // namespace vorna
