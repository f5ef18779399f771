#pragma once

// Splitting a convolution-like layer into the NP components it runs on: one
// component per part of a grid of width parts x height parts x filter parts.
// Each function returns the components and a status; a layer that cannot be
// split gives an empty list and a failed status naming the layer.

#include <cstdint>
#include <utility>
#include <vector>

#include "backend/hw.h"
#include "backend/mapping_status.h"
#include "backend/np_split_params.h"
#include "backend/split_search.h"

namespace vorna {

class Layer;
class CompatibilityChecker;

using SplitComponents = std::pair<std::vector<hw::Component>, MappingStatus>;

// Convolutional, SeparableConvolutional, Conv2D and BufferTempConv layers.
SplitComponents split_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                                 uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                 hw::Type type, bool hwpr);

// DepthwiseConv2D and DepthwiseBufferTempConv layers: the filter axis runs
// over the input channels.
SplitComponents split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                                           uint32_t max_height, uint32_t max_width,
                                           uint32_t max_filters, hw::Type type, bool hwpr);

// Conv2DTranspose layers, always on CNP1, never split by height.
SplitComponents split_transposed_conv2d_layer(const Layer& layer,
                                              const CompatibilityChecker& checker,
                                              uint32_t max_height, uint32_t max_width,
                                              uint32_t max_filters, bool hwpr);

// DepthwiseConv2DTranspose layers, always on CNP1, never split by height.
SplitComponents split_transposed_dwconv2d_layer(const Layer& layer,
                                                const CompatibilityChecker& checker,
                                                uint32_t max_height, uint32_t max_width,
                                                uint32_t max_filters, bool hwpr);

// The components of a grid, ordered width part first, then height part, then
// filter part (filters vary fastest). Every input column and row lies in the
// own region of some component.
std::vector<hw::Component> build_split_components(const Layer& layer, const NpSplitParams& params,
                                                  bool single_buffer, hw::Type type, Split width,
                                                  Split height, Split filters);

// A fresh NP component of the given kind: ident 0.0.0.0 (chosen at
// allocation), its placement, and zero memory sizes.
hw::Component make_np_component(hw::Type type, uint32_t start_neuron, uint32_t filters,
                                const NpSpace& spatial, const NpSpace& aux, bool single_buffer);

namespace v2 {
// Input SRAM words kept for the packet buffer of a layer fed by an Add layer:
// 512 when the layer's first inbound layer is an Add, else 0.
uint32_t get_add_pksram_shift(const Layer& layer);
}  // namespace v2

}  // namespace vorna
