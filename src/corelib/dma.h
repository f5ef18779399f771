#pragma once

// The two-word configuration header that opens every DMA block of an NP
// program.
//
// word 0: bits 0-7 column, 8-15 row, 16-18 NP id, 19 XL form,
//         20-23 target, 24-31 block size in words (normal form; 0 in XL form)
// word 1: bits 0-15 offset, 16-31 block size in 16-word units (XL form;
//         0 in normal form)
//
// A block whose payload exceeds 255 words needs the XL form, and its size
// is then a multiple of 16 words.

#include <cstdint>

#include "backend/hw.h"

namespace vorna {
namespace dma {

// DMA destination memory inside an NP.
enum Target : uint32_t {
    CnpWeights = 0,         // CNP weights
    CnpWeightsAlt = 1,      // CNP weights (kernel-size dependent), TNP-B weights
    InputShift = 2,         // input shift words
    Reserved3 = 3,          // unused
    CnpThresholds = 4,      // CNP threshold and step word pairs
    NeuronVariables = 5,    // per-neuron variable words
    FnpRam = 6,             // FNP RAM (FNP3)
    NpRegisters = 7,        // NP register file
    IpRegisters = 8,        // short writes into the IP register block
    HrcSram = 9,            // HRC SRAM data
    MergeShift = 10,        // merge-layer shift words
    SkipDmaRegisters = 11,  // skip-DMA register blocks
    CnpLut = 12,            // CNP look-up table
    TnpRRegisters = 13,     // TNP-R register block
    Fsram = 14,             // FSRAM image
    Tsram = 15,             // TSRAM image
};

// One bit field of a header word.
struct HeaderField {
    uint32_t shift;
    uint32_t width;

    constexpr uint32_t mask() const { return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u; }
    constexpr uint32_t max() const { return mask(); }
    // The value placed at its bits (the value is masked).
    constexpr uint32_t put(uint32_t value) const { return (value & mask()) << shift; }
    // The field's value in a word.
    constexpr uint32_t get(uint32_t word) const { return (word >> shift) & mask(); }
};

constexpr uint32_t HEADER_WORDS = 2;

constexpr HeaderField HDR0_COL{0, 8};
constexpr HeaderField HDR0_ROW{8, 8};
constexpr HeaderField HDR0_ID{16, 3};
constexpr HeaderField HDR0_XL{19, 1};
constexpr HeaderField HDR0_TARGET{20, 4};
constexpr HeaderField HDR0_SIZE{24, 8};

constexpr HeaderField HDR1_OFFSET{0, 16};
constexpr HeaderField HDR1_XL_SIZE{16, 16};

// Largest block size of the normal form, in words.
constexpr uint32_t MAX_NORMAL_BLOCK_WORDS = 255;
// Granularity of XL block sizes, in words.
constexpr uint32_t XL_SIZE_UNIT_WORDS = 16;

// Writes the two header words at out[0] and out[1]. `size` is the block size
// in words (0 is allowed: a header without size). Invalid arguments: a target
// above 15, an NP id above 7, a normal-form size above 255, an XL size that
// is not a multiple of 16 or exceeds 16 * 65535 words, a null `out`.
void format_config_header(uint32_t* out, const hw::Ident& np, Target target, uint32_t size,
                          uint16_t offset, bool xl);

// Whether a block of `words` payload words needs the XL header form.
constexpr bool config_block_size_needs_xl(uint32_t words) { return words > MAX_NORMAL_BLOCK_WORDS; }

}  // namespace dma
}  // namespace vorna
