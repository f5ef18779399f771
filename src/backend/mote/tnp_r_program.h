#pragma once

// The program of a TNP-R chain: its register block and its FSRAM and TSRAM
// images, recorded as three NP tracks for the TNP-R the chain's first layer
// is mapped on.

#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/mote/tnp_r_sram.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "program/record.h"
#include "program/register.h"

namespace vorna::mote {

// Fields of the TNP-R register block.
inline constexpr RegDetail INTERNAL_STATE_SIZE{0, 9};
inline constexpr RegDetail LAYER_0_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_1_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_2_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_3_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_4_COUT_SIZE{0, 9};

inline constexpr uint32_t kTnprRegisterWords = 16;

// What the register block is made of. Per-layer arrays are indexed by the
// layer's position in the chain.
struct TnprRegisterParams {
    // TNP-R layers in the chain, the post-processing layer included.
    uint32_t layer_count = 0;
    // Flag i: layer i has a ReLU activation.
    std::bitset<8> relu_layers;
    // Input bits of the first layer.
    uint8_t input_bits = 0;
    // 16 when the chain ends in a post-processing layer, else the output bits
    // of the last recurrent layer.
    uint8_t output_bits = 0;
    bool has_post_processing = false;
    // The first layer's packed input row in 32-bit words (a power of two).
    uint32_t input_row_words = 0;
    // With post-processing: the timesteps of the first layer's input; else 0.
    uint32_t timesteps = 0;
    // TSRAM word addresses of the input-shift and output regions.
    uint32_t tsram_input_shift_start = 0;
    uint32_t tsram_output_start = 0;
    // With post-processing: (layer_count - 1) * state channels; else 0.
    uint32_t post_processing_state_offset = 0;
    uint32_t subsample[8] = {};
    // State channels of the first layer.
    uint32_t stateful_channels = 0;
    uint32_t output_channels[8] = {};
    uint32_t input_channels[8] = {};
};

// The sixteen words of the register block. Each field is range-tested before
// it is written; the first value that does not fit panics with the register
// overflow message.
std::vector<uint32_t> format_tnpr_registers(const TnprRegisterParams& params);

// Formats one StatefulRecurrent layer at chain position `position`: appends
// its weights to `fsram`, its state-updating, output and input-shift words to
// `state_updating`, `output` and `input_shift`, and fills its per-layer
// fields of `params`. A position above 7 is a std::out_of_range.
void format_tnpr_layer_memories(const Layer& layer, WordList& fsram, WordList& state_updating,
                                WordList& output, WordList& input_shift, TnprRegisterParams& params,
                                uint32_t position);

// The program of the chain that starts at `first`: register block (target
// 13), FSRAM image (14) and TSRAM image (15), all at address 0, for the NP of
// the first component of `first`'s mapping.
std::unique_ptr<program::Record> record_program_tnpr_layers(const Device& device,
                                                            const Layer& first);

}  // namespace vorna::mote
