#pragma once

// The v2 NP register file: 64 words per CNP, FNP or TNP-B NP, built from fixed
// defaults and then edited field by field by the per-kind formatters. This
// header holds the default file and the routines that write the words every
// NP kind shares: the input-buffer spikes bit, the configuration-DMA word and
// the mesh routing words.

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"

namespace vorna {

struct AltLayerMapInfo;

namespace v2 {

// Number of 32-bit words in a v2 NP register file.
constexpr size_t NP_REGS_COUNT = 64;

// Word 3 of the register file of an NP that the current pass leaves unused.
constexpr uint32_t UNUSED_NP_WORD3 = 0xFE000000u;

// Column range of a component list as the routing words encode it: a list
// holding exactly one HRC component gives 1..1, any other list the smallest
// and the largest ident col. An empty list is an invalid argument.
struct ColumnRange {
    uint8_t low = 0;
    uint8_t high = 0;
};
ColumnRange column_range(const std::vector<hw::Component>& components);

// A new register file with the default words. With `unused_np` word 3 is
// UNUSED_NP_WORD3 and `channel` is ignored; otherwise `channel` (8-bit field)
// goes to bits 24-31 of word 3. `word56_bit3` sets bit 3 of word 56 (the Add
// flag of a merge layer).
std::vector<uint32_t> default_np_regs(const hw::Component& component, unsigned channel,
                                      bool unused_np, bool word56_bit3);

// Sets bit 7 of word 2: the NP's input buffer receives spikes from a
// previous pass.
void set_ib_spikes(std::vector<uint32_t>* regs);

// Word 49: row and col of the configuration-DMA endpoint and its one-hot id.
void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, const hw::Ident& ident);

// Routing words 44 to 47 (and word 52 when `alt` holds a record): where the
// NP's input comes from (`sources`), the layer's own components (`span`) and
// where its output goes (`destinations`, which must not be empty:
// std::out_of_range). Point-to-point modes need exactly one source or
// destination ("Cannot use P2P IN/OUT mode for multiple NPs.").
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             const std::vector<hw::Component>& sources,
                                             const std::vector<hw::Component>& span,
                                             const std::vector<hw::Component>& destinations,
                                             const std::unique_ptr<AltLayerMapInfo>& alt,
                                             uint8_t route, bool p2p_input, bool p2p_output,
                                             bool word44_bit2);

}  // namespace v2
}  // namespace vorna
