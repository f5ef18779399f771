#pragma once

// Register words and threshold blocks of v1 CNP layers (Convolutional and
// SeparableConvolutional).
//
// Every field is checked against its width before it is written; a value
// that does not fit panics with "Attempted to write value <v> into a <w>-bit
// field, which will cause an overflow." (signed 4-bit fields: "%d cannot fit
// in a %d bits signed integer."). On any failure the caller drops the
// partly written register file.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/tensor.h"
#include "corelib/types.h"
#include "program/register.h"

namespace vorna {
class Layer;
}

namespace vorna::v1 {

constexpr RegDetail CNP4_OB_J_ORIG{16, 12};
constexpr RegDetail CNP4_OB_I_ORIG{0, 12};
constexpr RegDetail CNP1_KERNEL_TYPE{28, 3};
constexpr RegDetail CNP1_CONV_STRD{8, 1};
constexpr RegDetail REG11_ICONT_SIZE{0, 8};
constexpr RegDetail REG10_J_SIZE_CUT{16, 11};

// Register files of one layer, one per NP.
using CnpRegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;

// Threshold block of neurons [start, start + count): per neuron a threshold
// word (20-bit two's complement; 0x80000 without activation) and a step word
// (at most 0xFFFFF). Both tensors must hold int32 values (else the typed
// access panics). A threshold outside the 20-bit range panics "%d cannot fit
// in a %d bits signed integer."; a step above 0xFFFFF (negative included)
// throws CnpError "act_step should be between 0 and 65535. Receives act_step
// <step / 16>.". A neuron range past either tensor is an invalid argument.
std::vector<uint32_t> format_cnp_thresholds(const Dense& thresholds, const Dense& steps,
                                            bool activation, uint32_t start, uint32_t count);

// Word 27: pooling window (bits 0-2), stride (bits 4-6), pooling flag (bit
// 8) and, in bits 15/14/13/12, whether the NP's partition touches the top,
// bottom, left and right edge of the input where the pooling pads that side.
void format_cnp_pool_pad_reg(std::vector<uint32_t>* regs, uint32_t input_width,
                             uint32_t input_height, const NpSpace& partition, uint32_t pool_width,
                             uint8_t pool_stride, uint8_t pool_flag,
                             const PaddingParams& pool_padding);

// Geometry of one NP's part of the layer: words 1, 3, 4, 8-11, 20, 24-26,
// 28, 29 and 36 (see the CNP register map in the .cpp). `buffer_flag` goes
// to word 1 bit 22: the component's single-buffer flag, as the FNP and the
// second-generation formatters write it.
void format_cnp_geometry_regs(std::vector<uint32_t>* regs, const Shape& input, uint8_t channel,
                              uint8_t input_bits, int kernel_size, int stride,
                              const PaddingParams& conv_padding, bool activation, int act_bits,
                              NpSpace partition, const NpSpace& second, uint32_t pool_width,
                              uint8_t pool_stride, const PaddingParams& pool_padding,
                              uint32_t filters, uint32_t start_neuron, uint32_t component_count,
                              uint8_t buffer_flag);

// Register files of a Convolutional layer, one per component of its mapping
// except those whose ident is listed in `nps`. `next_pass_first_layer` (may
// be null) is the first layer of the next pass: an NP it also uses gets the
// partial-reconfiguration words. `pass_input` marks the first layer of a
// later pass, `pass_output` the last layer of a pass that is not the last.
// Throws std::bad_cast for a layer of another class, std::runtime_error
// "The layer <name> is not built." without calculated parameters.
CnpRegisterMap format_std_cnp_regs(const Layer& layer,
                                   const std::shared_ptr<Layer>& next_pass_first_layer,
                                   bool pass_input, bool pass_output,
                                   const std::vector<hw::Ident>& nps);

// The same for a SeparableConvolutional layer, with its weight-layout words.
CnpRegisterMap format_sep_cnp_regs(const Layer& layer,
                                   const std::shared_ptr<Layer>& next_pass_first_layer,
                                   bool pass_input, bool pass_output,
                                   const std::vector<hw::Ident>& nps);

}  // namespace vorna::v1
