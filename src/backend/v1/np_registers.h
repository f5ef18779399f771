#pragma once

// The v1 NP register file: 50 words per CNP or FNP, built from fixed defaults
// and then edited field by field by the per-kind formatters. This header holds
// the default file and the routines that write the words every NP kind
// shares: the input-buffer spikes bit, the configuration-DMA word and the mesh
// routing words. The partial-reconfiguration words are in
// reconfig_registers.h.
//
// Every routine edits the file in place and never resizes it; a null pointer
// or a file that does not hold exactly NP_REGS_COUNT words is an invalid
// argument. A field value too wide for its field is fatal through `panic`
// with the register-field overflow text.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "backend/hw.h"
#include "program/register.h"

namespace vorna::v1 {

// Number of 32-bit words in a v1 NP register file.
constexpr size_t NP_REGS_COUNT = 50;

// Register words shared by every NP kind.
constexpr size_t REG_IB_SPIKES_WORD = 2;
constexpr size_t REG_MESH_MODE_WORD = 44;
constexpr size_t REG_MESH_DEST_WORD = 45;
constexpr size_t REG_MESH_SRC_WORD = 46;
constexpr size_t REG_MESH_SPAN_WORD = 47;
constexpr size_t REG_MESH_CFG_DMA_WORD = 49;

// Word 2 bit 7: the input buffer receives spikes from a previous pass.
constexpr RegDetail REG2_IB_SPIKES{7, 1};

// Word 49: the NP as seen by the configuration DMA.
constexpr RegDetail REG49_ROW{0, 8};
constexpr RegDetail REG49_COL{8, 8};
constexpr RegDetail REG49_NP_NUM{16, 4};  // one-hot NP id

// Column range of a component list as the routing words encode it: a list
// holding exactly one HRC component gives 1..1, any other list the smallest
// and the largest ident col. An empty list is an invalid argument.
struct ColumnRange {
    uint8_t low = 0;
    uint8_t high = 0;
};
ColumnRange column_range(const std::vector<hw::Component>& components);

// A new register file: every word 0 except word 6 (0x04040000), word 12
// (0x52000000), word 13 (0x00000010) and word 37 (0xFF000000).
std::vector<uint32_t> default_np_regs();

// Sets bit 7 of word 2.
void set_ib_spikes(std::vector<uint32_t>* regs);

// Word 49 for the NP `np`: row in bits 0-7, col in bits 8-15, 1 << id in bits
// 16-19 (an id of 4 or more overflows the field); bits 20-31 kept.
void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, const hw::Ident& np);

// Routing words 44 to 47: where the NP's input comes from (`sources`), the
// components of the layer's span (`span`) and where its output goes
// (`destinations`). None of the lists may be empty. With `p2p_output` the
// destination list, with `p2p_input` the source list, must hold exactly one
// component, else std::runtime_error "Cannot use P2P mode for multiple NPs."
// (the words written before the check stay written).
//  - word 44: bit 0 p2p_output, bit 1 clear, bit 2 word44_bit2, bits 16-18
//    and 20-23 clear, bit 19 set, bits 24-31 0x06 when `route` is 0xFF, else
//    0xFF; bits 3-15 kept;
//  - word 45 (destination): P2P: row, col, one-hot id in bits 20-23, route
//    in bits 24-31; else the column range in bits 0-15 and route in 24-31;
//  - word 46 (source): P2P: row, col, one-hot id in bits 20-23; else the
//    column range in bits 0-15; bits 30-31 clear;
//  - word 47: the union of the column ranges of `span` and `destinations`.
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             const std::vector<hw::Component>& sources,
                                             const std::vector<hw::Component>& span,
                                             const std::vector<hw::Component>& destinations,
                                             uint8_t route, bool p2p_input, bool p2p_output,
                                             bool word44_bit2);

}  // namespace vorna::v1
