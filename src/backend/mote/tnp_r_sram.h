#pragma once

// Memory images and memory sizes of a TNP-R chain.
//
// The TNP-R keeps a chain of recurrent layers in four memories:
// - FSRAM, 64-bit words: the input and output projection weights;
// - TSRAM, 51-bit words: per-channel state-update, output and input-shift
//   variables;
// - EVSRAM, 32-bit words: the packed events between layers;
// - STSRAM, 32-bit words: the recurrent state.
//
// Programs carry FSRAM and TSRAM images as lists of 32-bit words: every
// 64-bit FSRAM word and every 51-bit TSRAM word takes two entries, the low
// 32 bits first (the upper 13 bits of a TSRAM word are 0).
//
// The formatters append to the list they are given. Each builds its words in
// a list of its own first, so a failing call appends nothing.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corelib/layer.h"
#include "corelib/tensor.h"

namespace vorna::mote {

// Words of 32 bits; two entries make one FSRAM or TSRAM word.
using WordList = std::vector<uint32_t>;

// --- Chain helpers ---------------------------------------------------------

// The layer after `layer` in a chain: its first outbound layer, or null.
std::shared_ptr<Layer> next_chain_layer(const Layer& layer);

// The layer's first input shape (std::out_of_range when it has none).
Shape first_input_shape(const Layer& layer);

// The named variable of the layer as a dense tensor. A missing variable is
// whatever the variable store does with it (std::invalid_argument).
std::shared_ptr<const Dense> layer_variable(const Layer& layer, const std::string& name);

// Whether the layer is of the given kind.
bool is_layer_type(const Layer& layer, LayerType type);

// An integer parameter of the layer, taken as unsigned 32-bit.
uint32_t layer_param_u32(const Layer& layer, const std::string& name);

// The packed input row of the layer in 32-bit words, rounded up to a power of
// two: with `ch` input channels at `b` bits, n = ch * b + 31; 1 when n <= 63,
// else the smallest power of two not below n / 32.
uint64_t packed_input_row_words(uint32_t channels, uint32_t bits);
uint32_t packed_input_row_words(const Layer& layer);

// --- Formatters ------------------------------------------------------------

// The weight matrix packed into 64-bit FSRAM words: columns in blocks of 8,
// one word per row for each block (block 0 of every row first), byte j of a
// word holding column 8 * block + j as a two's-complement byte. Elements are
// read as signed 8-bit storage through the tensor's strides.
WordList pack_fsram_rows(const Dense& weights);

// Appends the packed in_proj, then the packed out_proj.
void format_fsram_weights(WordList& out, const Dense& in_proj, const Dense& out_proj);

// One TSRAM word per state channel (dims[0] of A_real):
//   bits 0-15 A_real (int16), 16-31 A_imag (int16),
//   32-36 internal state outputs shift (signed, 5 bits),
//   37-44 new state scale (unsigned 8-bit), 45-50 new state shift (signed, 6 bits).
void format_tsram_state_updating_var(WordList& out, const Dense& a_imag, const Dense& a_real,
                                     const Dense& internal_state_outputs_shift,
                                     const Dense& new_state_scale, const Dense& new_state_shift);

// One TSRAM word per output channel (dims[0] of scales):
//   bits 0-15 scale (uint8 or uint16 tensor), 16-21 shift (signed, 6 bits),
//   22-29 bias (signed byte), 30-34 bias shift (unsigned, 5 bits).
void format_tsram_output_var(WordList& out, const Dense& scales, const Dense& shift,
                             const Dense& bias, const Dense& bias_shift);

// The output word of the post-processing layer: scale 1, shift -floor(log2
// timesteps) in bits 16-21 and the threshold in bits 22-37.
void format_tsram_post_processing_output_var(WordList& out, uint16_t timesteps, uint16_t threshold);

// Input-shift words: 8 values per word with 8-bit input (one 3-bit field
// each), else 4 values per word, each repeated bits / 8 times in adjacent
// 3-bit fields. Values are OR-ed unmasked into the low 32 bits.
void format_tsram_input_shift(WordList& out, const Dense& shift, uint8_t input_bits);

// The input-shift word of the post-processing layer: all zeros.
void format_tsram_post_processing_input_shift(WordList& out);

// --- Sizes of a chain starting at a StatefulRecurrent layer ---------------

uint32_t get_tnpr_fsram_64b_size(const Layer& first);
uint32_t get_tnpr_tsram_51b_size(const Layer& first);
uint32_t get_tnpr_evsram_32b_size(const Layer& first);
uint32_t get_tnpr_stsram_32b_size(const Layer& first);

}  // namespace vorna::mote
