#include "backend/v2/memory_sizer.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "backend/graph_utils.h"
#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "backend/v2/buffer_temp_conv.h"
#include "backend/v2/cnp_weights.h"
#include "backend/v2/dw_buffer_temp_conv.h"
#include "backend/v2/fnp_formats.h"
#include "backend/v2/hrc.h"
#include "corelib/layer.h"

namespace vorna {
namespace v2 {

namespace {

// Words of the NP input memory a merge (Add) input takes beside the layer's
// own input.
constexpr uint64_t ADD_INPUT_WORDS = 512;

LayerType layer_type(const Layer& layer) { return layer.params()->layer_type(); }

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
uint64_t round_up(uint64_t a, uint64_t m) { return ceil_div(a, m) * m; }

// Sizes are 32-bit byte counts; one that does not fit is an error rather
// than a wrapped, too small size.
uint32_t checked_bytes(uint64_t bytes, const Layer& layer) {
    if (bytes > 0xFFFFFFFFull)
        throw std::runtime_error("Memory size of layer '" + layer.get_name() +
                                 "' exceeds 32 bits.");
    return static_cast<uint32_t>(bytes);
}

bool on_cnp(const hw::Component& c) { return c.type == hw::Type::CNP1 || c.type == hw::Type::CNP2; }

Shape first_input(const Layer& layer) {
    const std::vector<Shape> dims = layer.input_dimensions();
    if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return dims[0];
}

uint32_t fifo_size_or_zero(const Layer& layer) {
    const LayerParams& p = *layer.params();
    return p.has("fifo_size") ? static_cast<uint32_t>(p.get("fifo_size")) : 0u;
}

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v2 layer type."); }

// The input words of a CNP layer on one NP, from its split.
uint64_t cnp_input_words(const Layer& layer, const NpSplitInterface& split) {
    const uint64_t bits = layer.input_bits();
    const uint64_t row_bytes = round_up(ceil_div(bits * split.j_size_cut, 8), 4);
    const auto inbounds = layer.inbound_layers();
    const bool add_input =
        !inbounds.empty() && inbounds[0] && layer_type(*inbounds[0]) == LayerType::Add;
    return ceil_div(row_bytes * split.ch_size * 8, 32) * split.i_size_cut +
           (add_input ? ADD_INPUT_WORDS : 0);
}

NpSplit conv_split(const Layer& layer, const hw::Placement& pl) {
    const auto& conv = dynamic_cast<const HasConvParams&>(layer);
    const auto& pool = dynamic_cast<const HasPoolParams&>(layer);
    const LayerParams& p = *layer.params();
    const PoolingCalculatedParams& pc = pool.pool_calculated_params();
    const uint32_t pool_size = p.has("pool_size") ? static_cast<uint32_t>(p.get("pool_size")) : 0u;
    return NpSplit(first_input(layer), pl.spatial_partition, pl.aux_partition, p.get("kernel_size"),
                   p.get("kernel_stride"), conv.conv_calculated_params().padding, pool_size,
                   static_cast<uint8_t>(pc.stride_x), pc.padding);
}

}  // namespace

uint32_t weights_100b_to_bytes(uint32_t words) {
    return static_cast<uint32_t>((static_cast<uint64_t>(words) * 100 + 7) / 8);
}

uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                               const hw::Component& component,
                               const std::shared_ptr<Layer>& first_layer) {
    if (!layer_ptr) throw std::invalid_argument("Invalid layer.");
    const Layer& layer = *layer_ptr;
    switch (layer_type(layer)) {
        case LayerType::Add:
        case LayerType::Concatenate:
        case LayerType::InputConv2D:
        case LayerType::Dequantizer:
        case LayerType::StatefulRecurrent:
        case LayerType::Quantizer:
            return 0;
        case LayerType::Conv2D:
        case LayerType::DepthwiseConv2D: {
            if (!on_cnp(component)) return 0;
            const NpSplit split = conv_split(layer, placement_of(layer, component));
            return checked_bytes(4 * cnp_input_words(layer, split), layer);
        }
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2DTranspose: {
            if (!on_cnp(component)) return 0;
            const hw::Placement& pl = placement_of(layer, component);
            const TransposedCnpSplit split(pl.spatial_partition, pl.aux_partition);
            return checked_bytes(4 * cnp_input_words(layer, split), layer);
        }
        case LayerType::BufferTempConv:
        case LayerType::DepthwiseBufferTempConv: {
            if (component.type != hw::Type::TNP_B) return 0;
            const hw::Placement& pl = placement_of(layer, component);
            const NpSplit split(first_input(layer), pl.spatial_partition, pl.aux_partition, 1, 1,
                                PaddingParams{}, 0, 1, PaddingParams{});
            const uint64_t frame_bits = static_cast<uint64_t>(split.j_size_cut) * split.i_size_cut *
                                        round_up(split.ch_size, 4) * layer.input_bits();
            const uint64_t frame_words = round_up(ceil_div(frame_bits, 32), 64);
            return checked_bytes(
                4 * (static_cast<uint64_t>(fifo_size_or_zero(layer)) + 1) * frame_words, layer);
        }
        case LayerType::Dense1D:
            return checked_bytes(
                4 * static_cast<uint64_t>(get_fnp_input_size(layer, layer_ptr == first_layer)),
                layer);
        default:
            invalid_type();
    }
}

uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                const hw::Component& component) {
    if (!layer_ptr) throw std::invalid_argument("Invalid layer.");
    const Layer& layer = *layer_ptr;
    const LayerParams& p = *layer.params();
    switch (layer_type(layer)) {
        case LayerType::Add:
        case LayerType::Concatenate:
        case LayerType::Dequantizer:
        case LayerType::StatefulRecurrent:
        case LayerType::Quantizer:
            return 0;
        case LayerType::Conv2D:
        case LayerType::Conv2DTranspose: {
            if (!on_cnp(component)) return 0;
            const uint32_t filters = placement_of(layer, component).filters;
            return weights_100b_to_bytes(conv2d_cnp_formatted_weight_100b_size(
                static_cast<uint32_t>(p.get("kernel_size")), filters, first_input(layer)[2],
                static_cast<uint8_t>(p.get("weights_bits"))));
        }
        case LayerType::DepthwiseConv2D:
        case LayerType::DepthwiseConv2DTranspose: {
            if (!on_cnp(component)) return 0;
            const uint32_t filters = placement_of(layer, component).filters;
            return weights_100b_to_bytes(
                dwc_ch_cont_100b_size(static_cast<uint32_t>(p.get("kernel_size")), filters,
                                      static_cast<uint8_t>(p.get("weights_bits"))));
        }
        case LayerType::InputConv2D:
            return checked_bytes(4 * static_cast<uint64_t>(get_hrc_sram_size(layer)), layer);
        case LayerType::BufferTempConv: {
            if (component.type != hw::Type::TNP_B) return 0;
            const uint32_t filters = placement_of(layer, component).filters;
            return weights_100b_to_bytes(buffer_temp_conv_tnp_formatted_weight_100b_size(
                static_cast<uint32_t>(p.get("fifo_size")), filters, first_input(layer)[2]));
        }
        case LayerType::DepthwiseBufferTempConv: {
            if (component.type != hw::Type::TNP_B) return 0;
            const uint32_t filters = placement_of(layer, component).filters;
            return weights_100b_to_bytes(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(
                static_cast<uint32_t>(p.get("fifo_size")), filters));
        }
        case LayerType::Dense1D:
            if (component.type != hw::Type::FNP3) return 0;
            return checked_bytes(4 * static_cast<uint64_t>(get_fnp_sram_size(layer)), layer);
        default:
            invalid_type();
    }
}

uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                  const hw::Component& component, bool dual_output,
                                  bool multi_pass) {
    if (!layer_ptr) throw std::invalid_argument("Invalid layer.");
    const Layer& layer = *layer_ptr;
    if (component.type == hw::Type::FNP2)
        return checked_bytes(4 * static_cast<uint64_t>(get_fnp_sram_size(layer)), layer);
    if (component.type != hw::Type::SKIP_DMA_STORE) return 0;

    // The stored tensor in 32-bit words.
    uint64_t words = 0;
    const LayerType type = layer_type(layer);
    if (type == LayerType::BufferTempConv || type == LayerType::DepthwiseBufferTempConv) {
        const Shape in = first_input(layer);
        words = ceil_div(static_cast<uint64_t>(layer.input_bits()) * in[2], 32) * in[0] * in[1];
        if (!layer.params()->has("fifo_size")) return 0;
        return checked_bytes(words * (static_cast<uint64_t>(fifo_size_or_zero(layer)) + 1) * 4,
                             layer);
    }
    if (dual_output) {
        const Shape in = first_input(layer);
        words = ceil_div(static_cast<uint64_t>(layer.input_bits()) * in[0], 32) * in[1] * in[2];
    } else {
        const Shape out = layer.output_dimensions();
        words = ceil_div(static_cast<uint64_t>(layer.output_bits()) * out[0], 32) * out[1] * out[2];
    }
    if (multi_pass) return checked_bytes(words * 8, layer);

    // Held until the farthest consumer has read it.
    DepthMap depths;
    const uint32_t own_depth = get_layer_depth(layer_ptr, &depths);
    uint32_t farthest = 0;
    for (const auto& out : layer.outbound_layers()) {
        if (!out)
            throw std::runtime_error("Layer '" + layer.get_name() + "' has a null outbound layer.");
        const uint32_t d = get_layer_depth(out, &depths) - own_depth;
        if (d > farthest) farthest = d;
    }
    return checked_bytes(words * (static_cast<uint64_t>(farthest) + 3) * 4, layer);
}

MemorySizerImpl::~MemorySizerImpl() = default;

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>& layer,
                                                const hw::Component& component,
                                                const std::shared_ptr<Layer>& first_layer) const {
    return v2::get_input_memory_size(layer, component, first_layer);
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                                 const hw::Component& component) const {
    return v2::get_weight_memory_size(layer, component);
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                                   const hw::Component& component, bool dual_output,
                                                   bool multipass) const {
    return v2::get_external_memory_size(layer, component, dual_output, multipass);
}

}  // namespace v2
}  // namespace vorna
