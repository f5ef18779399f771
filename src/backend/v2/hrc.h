#pragma once

// The HRC of a v2 device: the unit that runs a model's input convolution.
// Its register block describes the layer's geometry; its internal SRAMs
// (weights per input channel, look-up table, activation parameters) are
// filled through one data port after a select word names the SRAM.
// Every HRC block goes to the all-zero ident.

#include <cstdint>
#include <vector>

#include "corelib/layer.h"
#include "corelib/tensor.h"
#include "corelib/types.h"
#include "export.h"
#include "program/record.h"
#include "program/register.h"

namespace vorna {
namespace v2 {

// Select-word fields: each names the SRAM the following data goes to.
inline constexpr RegDetail HRC_SRAM_SELECT_R{0, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_G{1, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_B{2, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_LUT{29, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_ACT{31, 1};

// HRC offsets of the control word and of the register block (the SRAM select
// and data addresses are shared: program/hrc_formats.h).
inline constexpr uint16_t HRC_REG_CONTROL_OFFSET = 0;
inline constexpr uint16_t HRC_REG_BLOCK_OFFSET = 8;

// Number of words of the HRC register block.
inline constexpr size_t HRC_REGS_COUNT = 5;

// 32-bit words of HRC SRAM the layer needs: the three weight images and the
// activation-parameter words (never the look-up table), rounded up to a
// multiple of 16 when that many words need the XL DMA header.
VORNA_EXPORT uint32_t get_hrc_sram_size(const Layer& layer);

// Appends one SRAM write to `record`: a two-word block (the value 1 in
// `select`, then 0) at the select offset, then `words` at the data port.
// Nothing is appended for empty `words`.
void record_hrc_sram_tracks(program::Record* record, const RegDetail& select,
                            const std::vector<uint32_t>& words);

// Fills the five HRC register words in `regs` (which must hold at least
// five) with the layer geometry, keeping every bit it does not name. Failures
// throw std::runtime_error: an unsupported kernel size, output width, channel
// count (1 or 3), padding or pool type (none or Max) has its own text; a
// value too wide for its field panics with the overflow text.
void format_hrc_registers(std::vector<uint32_t>* regs, int kernel_size, uint8_t output_bits,
                          int activation, const Shape& input_shape, int padding, int pool_type,
                          int pool_size, int pool_stride, int kernel_stride,
                          const Dense& padding_value, const ConvCalculatedParams& conv_params,
                          int filters);

}  // namespace v2
}  // namespace vorna
