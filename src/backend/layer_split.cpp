#include "backend/layer_split.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "backend/interfaces.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/types.h"
#include "program/register.h"

namespace vorna {

namespace {

constexpr uint32_t kPoolMax = static_cast<uint32_t>(PoolType::Max);

const Shape& first_input_shape(const Layer& layer, std::vector<Shape>& holder) {
    holder = layer.input_dimensions();
    if (holder.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return holder.front();
}

SplitComponents failure(const Layer& layer, const char* message) {
    return {{}, layer_error_status(layer, message)};
}

// The split of the filters (of the input channels for a depthwise layer) into
// even parts, cut further until each part's weights fit. An empty split comes
// with its reason in *why.
Split split_filters(const Layer& layer, const CompatibilityChecker& checker, uint32_t filters,
                    uint32_t in_channels, uint32_t max_filters, bool depthwise, const char** why) {
    const Split even = depthwise ? make_even_split(layer, in_channels, max_filters, true)
                                 : make_even_split(layer, filters, max_filters, false);
    if (even.empty()) {
        *why = "Cannot split by neurons.";
        return even;
    }
    Split fitted = fit_weights_split(layer, checker, even);
    if (fitted.empty()) *why = "Cannot split to fit weights in ram.";
    return fitted;
}

// One part of one spatial axis: its start, its size and the borders it
// reads beyond it on either side.
struct AxisPart {
    uint32_t start;
    uint32_t size;
    uint32_t before;
    uint32_t after;

    uint32_t read() const { return size + before + after; }
};

// The parts of one spatial axis. The first part gives up `pool_before`
// elements (the pooling padding before the axis) so that the pooled outputs
// of the later parts start on a pooling window. That shift can leave the
// end of the axis uncovered when the last part is already full; further
// parts of at most `chunk_size` are then added until the axis is covered.
// A part reads `border_before` when a part precedes it and `border_after`
// when one follows it.
std::vector<AxisPart> axis_parts(uint32_t total, const Split& split, int32_t pool_before,
                                 uint32_t border_before, uint32_t border_after) {
    std::vector<AxisPart> parts;
    uint32_t start = 0;
    for (uint32_t i = 0; i < split.num_chunks; ++i) {
        uint32_t size = std::min(total - start, split.chunk_size);
        if (start == 0 && size < total && pool_before > 0 &&
            static_cast<uint32_t>(pool_before) < size) {
            size -= static_cast<uint32_t>(pool_before);
        }
        parts.push_back({start, size, 0, 0});
        start += size;
    }
    while (start < total && split.chunk_size != 0) {
        const uint32_t size = std::min(total - start, split.chunk_size);
        parts.push_back({start, size, 0, 0});
        start += size;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        parts[i].before = parts[i].start > 0 ? border_before : 0;
        parts[i].after = i + 1 < parts.size() ? border_after : 0;
    }
    return parts;
}

// The pooling padding before the columns and before the rows of the layer's
// input, 0 for a layer without pooling parameters.
std::pair<int32_t, int32_t> pool_left_top(const Layer& layer) {
    if (const auto* pooled = dynamic_cast<const HasPoolParams*>(&layer)) {
        const PoolingCalculatedParams& pool = pooled->pool_calculated_params();
        return {pool.padding.left, pool.padding.top};
    }
    return {0, 0};
}

// The search sizes a part of a two-part axis with one border, but the parts
// added to cover the end of an axis (axis_parts) can give a former end part
// a neighbour on both sides, or give the only part one: a part that reads
// more than the search sized must still fit the NP input memory the way the
// search found the grid to fit, else the grid is passed over.
SplitFitCheck added_parts_fit(const Layer& layer, const CompatibilityChecker& checker,
                              const NpSplitParams& params, hw::Type type, uint32_t fifo_size,
                              uint32_t pk_shift) {
    std::vector<Shape> dims;
    const Shape& input = first_input_shape(layer, dims);
    const uint32_t in_width = input[0];
    const uint32_t in_height = input[1];
    const uint8_t input_bits = layer.input_bits();
    const std::pair<int32_t, int32_t> pool = pool_left_top(layer);
    const int32_t pool_left = pool.first;
    const int32_t pool_top = pool.second;
    return [=, &checker](const Split& width, const Split& height, uint32_t channels,
                         uint32_t buffer_mode) {
        const uint32_t searched_w = part_with_borders(width.num_chunks, width.chunk_size,
                                                      params.border_left, params.border_right);
        const uint32_t searched_h = part_with_borders(height.num_chunks, height.chunk_size,
                                                      params.border_top, params.border_bottom);
        std::set<uint32_t> reads_w;
        std::set<uint32_t> reads_h;
        for (const AxisPart& p :
             axis_parts(in_width, width, pool_left, params.border_left, params.border_right)) {
            reads_w.insert(p.read());
        }
        for (const AxisPart& p :
             axis_parts(in_height, height, pool_top, params.border_top, params.border_bottom)) {
            reads_h.insert(p.read());
        }
        for (const uint32_t w : reads_w) {
            for (const uint32_t h : reads_h) {
                if (w <= searched_w && h <= searched_h) continue;
                const bool fits = buffer_mode == 1
                                      ? checker.is_sram_input_fit_dual_buffer(
                                            type, h, w, channels, fifo_size, input_bits, pk_shift)
                                      : checker.is_sram_input_fit_single_buffer(
                                            type, h, w, channels, fifo_size, input_bits, pk_shift);
                if (!fits) return false;
            }
        }
        return true;
    };
}

SplitComponents split_conv_common(const Layer& layer, const CompatibilityChecker& checker,
                                  uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                  hw::Type type, bool hwpr, bool depthwise) {
    const LayerParams* layer_params = layer.params();
    if (layer_params == nullptr) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has no parameters.");
    }
    const NpSplitParams params = checker.np_split_params(type, *layer_params);

    const Split height = make_even_split_stepped(layer, params, max_height);
    if (height.empty()) return failure(layer, "Cannot split by height.");

    std::vector<Shape> dims;
    const Shape& input = first_input_shape(layer, dims);
    const uint32_t in_width = input[0];
    const uint32_t in_channels = input[2];
    const uint32_t width_step = params.pool_type == kPoolMax ? params.pool_width : 1;
    const Split width(in_width, max_width, width_step);
    if (width.empty()) return failure(layer, "Cannot split by width.");

    const char* why = nullptr;
    const Split filters =
        split_filters(layer, checker, params.filters, in_channels, max_filters, depthwise, &why);
    if (filters.empty()) return failure(layer, why);

    const uint32_t fifo_size =
        layer_params->has("fifo_size") ? static_cast<uint32_t>(layer_params->get("fifo_size")) : 0;
    const uint32_t pk_shift = v2::get_add_pksram_shift(layer);
    const uint32_t channels = depthwise ? std::min(max_filters, in_channels) : in_channels;
    const bool tnp_b = layer.is_target_component(TargetComponent::TNP_B);
    const SplitSearchResult found =
        find_split(channels, layer.input_bits(), params, checker, height, width, filters, fifo_size,
                   type, hwpr, pk_shift, depthwise, true, tnp_b,
                   added_parts_fit(layer, checker, params, type, fifo_size, pk_shift));
    if (!found.found) return failure(layer, "Cannot split to fit inputs in ram.");

    return {build_split_components(layer, params, found.buffer_mode == 2, type, found.width,
                                   found.height, found.filters),
            MappingStatus::success()};
}

SplitComponents split_transposed_common(const Layer& layer, const CompatibilityChecker& checker,
                                        uint32_t max_height, uint32_t max_width,
                                        uint32_t max_filters, bool hwpr, bool depthwise) {
    const LayerParams* layer_params = layer.params();
    if (layer_params == nullptr) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has no parameters.");
    }
    std::vector<Shape> dims;
    const Shape& input = first_input_shape(layer, dims);
    const uint32_t in_width = input[0];
    const uint32_t in_channels = input[2];

    // The borders of a transposed convolution do not come from the checker: one
    // column before, kernel_size - 3 after (no border below a kernel of 3).
    const int kernel_size = layer_params->get("kernel_size");
    NpSplitParams params;
    params.border_left = 1;
    params.border_right = kernel_size > 3 ? static_cast<uint32_t>(kernel_size - 3) : 0;
    params.border_top = 1;
    params.border_bottom = params.border_right;
    params.pool_type = static_cast<uint32_t>(PoolType::NoPooling);
    params.pool_width = 0;
    params.pool_height = 0;
    params.filters = depthwise ? in_channels : static_cast<uint32_t>(layer_params->get("filters"));

    const Split height = make_even_split_stepped(layer, params, max_height);
    if (height.num_chunks != 1 || height.chunk_size == 0) {
        return failure(layer, "Split by height is not supported.");
    }
    const Split width(in_width, max_width, 1);
    if (width.empty()) return failure(layer, "Cannot split by width.");

    const char* why = nullptr;
    const Split filters =
        split_filters(layer, checker, params.filters, in_channels, max_filters, depthwise, &why);
    if (filters.empty()) return failure(layer, why);

    const uint32_t pk_shift = v2::get_add_pksram_shift(layer);
    const uint32_t channels = depthwise ? std::min(max_filters, in_channels) : in_channels;
    const bool tnp_b = layer.is_target_component(TargetComponent::TNP_B);
    const SplitSearchResult found =
        find_split(channels, layer.input_bits(), params, checker, height, width, filters, 0,
                   hw::Type::CNP1, hwpr, pk_shift, depthwise, false, tnp_b,
                   added_parts_fit(layer, checker, params, hw::Type::CNP1, 0, pk_shift));
    if (!found.found) return failure(layer, "Cannot split to fit inputs in ram.");

    return {build_split_components(layer, params, found.buffer_mode == 2, hw::Type::CNP1,
                                   found.width, found.height, found.filters),
            MappingStatus::success()};
}

}  // namespace

hw::Component make_np_component(hw::Type type, uint32_t start_neuron, uint32_t filters,
                                const NpSpace& spatial, const NpSpace& aux, bool single_buffer) {
    hw::Component component;
    component.type = type;
    component.ident = hw::Ident{};
    component.placement = hw::Placement{start_neuron, filters, spatial, aux, single_buffer};
    component.mem_info = MemoryInfo{};
    return component;
}

SplitComponents split_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                                 uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                 hw::Type type, bool hwpr) {
    return split_conv_common(layer, checker, max_height, max_width, max_filters, type, hwpr, false);
}

SplitComponents split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                                           uint32_t max_height, uint32_t max_width,
                                           uint32_t max_filters, hw::Type type, bool hwpr) {
    return split_conv_common(layer, checker, max_height, max_width, max_filters, type, hwpr, true);
}

SplitComponents split_transposed_conv2d_layer(const Layer& layer,
                                              const CompatibilityChecker& checker,
                                              uint32_t max_height, uint32_t max_width,
                                              uint32_t max_filters, bool hwpr) {
    return split_transposed_common(layer, checker, max_height, max_width, max_filters, hwpr, false);
}

SplitComponents split_transposed_dwconv2d_layer(const Layer& layer,
                                                const CompatibilityChecker& checker,
                                                uint32_t max_height, uint32_t max_width,
                                                uint32_t max_filters, bool hwpr) {
    return split_transposed_common(layer, checker, max_height, max_width, max_filters, hwpr, true);
}

std::vector<hw::Component> build_split_components(const Layer& layer, const NpSplitParams& params,
                                                  bool single_buffer, hw::Type type, Split width,
                                                  Split height, Split filters) {
    std::vector<Shape> dims;
    const Shape& input = first_input_shape(layer, dims);
    const uint32_t in_width = input[0];
    const uint32_t in_height = input[1];
    const uint32_t in_channels = input[2];

    const auto [pool_left, pool_top] = pool_left_top(layer);

    // A depthwise layer without a "filters" parameter has one filter per input
    // channel.
    uint32_t total_filters = params.filters;
    const bool depthwise = layer.is_depthwise();
    if (total_filters == 0 && depthwise) total_filters = in_channels;

    const std::vector<AxisPart> columns =
        axis_parts(in_width, width, pool_left, params.border_left, params.border_right);
    const std::vector<AxisPart> rows =
        axis_parts(in_height, height, pool_top, params.border_top, params.border_bottom);

    std::vector<hw::Component> components;
    for (const AxisPart& column : columns) {
        const uint32_t x = column.start;
        const uint32_t w = column.size;
        const uint32_t left = column.before;
        const uint32_t right = column.after;
        for (const AxisPart& row : rows) {
            const uint32_t y = row.start;
            const uint32_t h = row.size;
            const uint32_t top = row.before;
            const uint32_t bottom = row.after;
            uint32_t start_neuron = 0;
            uint32_t remaining = total_filters;
            for (uint32_t k = 0; k < filters.num_chunks; ++k) {
                const uint32_t f = std::min(remaining, filters.chunk_size);
                const uint32_t ch = depthwise ? f : in_channels;
                if (ch == 0 || w == 0 || h == 0 || w + left + right == 0 || h + top + bottom == 0) {
                    panic("Cannot have a shape with a dimension set to 0");
                }
                const NpSpace spatial{static_cast<int32_t>(x), static_cast<int32_t>(y),
                                      Shape({w, h, ch})};
                const NpSpace aux{static_cast<int32_t>(x) - static_cast<int32_t>(left),
                                  static_cast<int32_t>(y) - static_cast<int32_t>(top),
                                  Shape({w + left + right, h + top + bottom, ch})};
                components.push_back(
                    make_np_component(type, start_neuron, f, spatial, aux, single_buffer));
                start_neuron += filters.chunk_size;
                remaining = remaining > filters.chunk_size ? remaining - filters.chunk_size : 0;
            }
        }
    }
    return components;
}

namespace v2 {

uint32_t get_add_pksram_shift(const Layer& layer) {
    const auto inbound = layer.inbound_layers();
    if (inbound.empty()) return 0;
    if (!inbound.front()) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has a null inbound layer.");
    }
    const LayerParams* params = inbound.front()->params();
    return params != nullptr && params->layer_type() == LayerType::Add ? 512 : 0;
}

}  // namespace v2

}  // namespace vorna
