#pragma once

// The v1 HRC program of an InputConvolutional layer: eight register words
// written at IP register address 8, the weight and threshold images written
// into the HRC SRAMs through a select register, then the start sequence.
// Every write goes to the all-zero ident.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "corelib/layer.h"
#include "corelib/tensor.h"
#include "program/record.h"
#include "program/register.h"

namespace vorna {
class Device;
}

namespace vorna::v1 {

// Bits of the HRC SRAM select word.
constexpr RegDetail HRC_SRAM_SELECT_R{0, 1};
constexpr RegDetail HRC_SRAM_SELECT_G{1, 1};
constexpr RegDetail HRC_SRAM_SELECT_B{2, 1};
constexpr RegDetail HRC_SRAM_SELECT_TH_STP{31, 1};

// IP register addresses used by the HRC program.
constexpr uint16_t HRC_REG_ADDR_START = 0;
constexpr uint16_t HRC_REG_ADDR_CONFIG = 8;

using HrcRegisters = std::array<uint32_t, 8>;

// The eight HRC register words of a layer from its parameters and the
// padding of its calculated convolution parameters. Field overflows panic
// with the register-field overflow text.
HrcRegisters format_hrc_regs(const LayerParams& params, const ConvCalculatedParams& conv);

// Threshold/step image: per neuron the threshold as a 24-bit two's-complement
// word, then the step word unchanged. Both tensors must hold int32 values; a
// threshold outside the 24-bit range panics "%d cannot fit in a %d bits
// signed integer."; a step tensor shorter than the threshold tensor is an
// invalid argument.
std::vector<uint32_t> pack_signed_words(const Dense& thresholds, const Dense& steps);

// One SRAM write: the select word (1 in `field`) at address 32, then `data`
// into the HRC SRAM at address 40. Nothing is written for empty data.
void record_hrc_sram_select(program::Record* record, const RegDetail& field,
                            const std::vector<uint32_t>& data);

// The whole HRC program of an InputConvolutional layer (std::bad_cast for
// another class; std::runtime_error "The layer <name> is not built." without
// calculated convolution parameters).
std::unique_ptr<program::Record> record_program_hrc_layer(const Device& device, const Layer& layer);

// 32-bit words of the layer's HRC SRAM data (weight images and threshold
// image), rounded up to a multiple of 16 when the block needs the XL header.
uint32_t get_hrc_sram_size(const Layer& layer);

}  // namespace vorna::v1
