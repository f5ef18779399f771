#pragma once

// The FNP side of a v2 Dense1D layer: how its input is packed into the FNP
// input memory, every size that follows from that packing, the input-shift
// payload in packed order, the FNP RAM image (per-neuron variables and
// weights) and the FNP words of the NP register file.
//
// All size arithmetic is unsigned 32-bit with truncating divisions; the
// check, the sizer and the recorder all size FNP data through these
// functions so that they agree to the bit.

#include <cstdint>
#include <vector>

#include "backend/fnp_padding.h"
#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "corelib/tensor.h"
#include "corelib/types.h"
#include "program/register.h"

namespace vorna {

class Layer;

namespace v2 {

namespace fnp {

// The packings of an FNP input (values of InputPadding).
// NoFit: no packing fits the 2048-unit input memory.
constexpr InputPadding NoFit = 0;
// Packed: all input elements one after the other, rounded up to a word.
constexpr InputPadding Packed = 1;
// RowPadded: per row, each channel's x-run padded to a byte, the row padded
// to a 32-bit word.
constexpr InputPadding RowPadded = 2;
// RunPadded: per row and channel, the x-run of 8-bit elements padded to a
// multiple of 4 bytes.
constexpr InputPadding RunPadded = 3;

// Neuron word 0 fields of the optional saturation variables.
constexpr RegDetail MAX_VALUE{16, 8};
constexpr RegDetail MAX_VALUE_SHIFT{24, 8};

}  // namespace fnp

// The packing get_fnp_supported_padding chooses for the layer. A layer
// without inbound layers is treated as a first layer (packed path) instead
// of looking at a neighbour it does not have.
InputPadding fnp_input_packing(const Layer& layer, bool first_layer);

// The layer's first input Shape; with `flatten` it is {1, 1, x*y*c} (count
// 3), and a zero product panics "Cannot have a shape with a dimension set to
// 0".
Shape get_fnp_input_dim(const Layer& layer, bool flatten);

// Size of the FNP input packet in 32-bit words for `rows` rows of `width`
// elements and `channels` channels at `bits` bits. "Unsupported padding."
// for a packing other than 1 to 3.
uint32_t get_fpksram_size(uint32_t rows, uint32_t width, uint32_t channels, uint8_t bits,
                          InputPadding packing);

// Input words of the layer on its FNP (flattened input and first-layer
// packing when `first_layer`).
uint32_t get_fnp_input_size(const Layer& layer, bool first_layer);

// 24-bit input-shift words (eight input positions each) of the packed input.
uint32_t fnp_input_shift_24b_size(const Dense& input_shift, const Shape& shape,
                                  InputPadding packing, uint8_t bits);

// The input-shift payload: one byte per input position of the packing,
// padding positions zero, four bytes per word from the least significant,
// in an even number of words.
std::vector<uint32_t> format_input_shift_fnp(const Dense& input_shift, const Shape& shape,
                                             InputPadding packing, uint8_t bits);

// 32-bit words of one neuron in the FNP RAM: its weight stream plus its two
// variable words. The packed stream counts every x*y*c input, which is the
// third dimension alone for a flattened shape.
uint32_t get_neuron_word_size(const Shape& shape, InputPadding packing, uint8_t input_bits,
                              uint8_t weight_bits);

// Neuron words times the neuron count (second dimension of `weights`).
uint32_t get_layer_word_size(const Dense& weights, uint8_t weight_bits, const Shape& shape,
                             InputPadding packing, uint8_t input_bits);

// FNP SRAM words of a Dense1D layer: its layer words for the unflattened
// input and the packing of a non-first layer, rounded up to 16 when the
// block needs the XL header.
uint32_t get_fnp_sram_size(const Layer& layer);

// The FNP RAM image of the layer: per neuron its two variable words, then
// its weights in packed input order.
std::vector<uint32_t> format_fnp_ram(const Layer& layer, bool flatten, InputPadding packing,
                                     uint8_t input_bits, uint8_t weight_bits);

// Writes the weight stream of `neuron` into `ram`, which must hold the whole
// image (get_layer_word_size words). Fields are weight_bits wide, packed
// from the least significant bit; padding positions stay as they are (zero
// in a fresh image).
void write_fnp_neuron_words(uint32_t* ram, uint32_t neuron, const Dense& weights,
                            uint8_t weight_bits, const Shape& shape, InputPadding packing,
                            uint8_t input_bits);

// Writes the FNP fields (words 1, 3, 10, 11, 14, 15, 16, 17 and 28) of a
// 64-word register file prepared by default_np_regs.
void format_dense1d_registers(const HardwareConstraints& constraints, std::vector<uint32_t>* regs,
                              hw::Type type, uint8_t input_bits, uint8_t output_bits,
                              bool activation, const Shape& shape, bool buffer_flag,
                              const Dense& weights, uint8_t weight_bits, InputPadding packing);

}  // namespace v2
}  // namespace vorna
