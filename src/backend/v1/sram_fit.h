#pragma once

// v1 answers to the sizing questions the mapping engine asks while it splits
// a layer over NPs. v1 sizes every NP kind as a CNP.

#include <cstdint>

#include "backend/hardware_constraints.h"
#include "backend/np_split_params.h"
#include "corelib/layer.h"

namespace vorna::v1 {

// Input SRAM words of a piece of input `height` rows high whose rows hold
// `width` values of `bits` bits for each of `channels` channels.
uint32_t input_piece_words(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits);

// Whether that piece fits the single-buffer (word 12) or dual-buffer
// (word 11) input SRAM of the constraints; a size equal to the limit fits.
bool input_fits_single_buffer(const HardwareConstraints& constraints, uint32_t height,
                              uint32_t width, uint32_t channels, uint8_t bits);
bool input_fits_dual_buffer(const HardwareConstraints& constraints, uint32_t height, uint32_t width,
                            uint32_t channels, uint8_t bits);

// Halo kernel_width / 2 left and right, kernel_height / 2 top and bottom
// (unsigned), then pool_type, pooling_width, pooling_height and filters.
NpSplitParams split_params(const LayerParams& params);

// Whether a FullyConnected layer's FNP SRAM fits an FNP3 of the constraints.
bool fits_fnp3(const HardwareConstraints& constraints, const Layer& layer);

}  // namespace vorna::v1
