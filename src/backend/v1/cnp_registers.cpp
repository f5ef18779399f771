#include "backend/v1/cnp_registers.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "backend/v1/cnp_program.h"
#include "backend/v1/cnp_sizes.h"
#include "backend/v1/cnp_weights.h"
#include "backend/v1/np_registers.h"
#include "backend/v1/reconfig_registers.h"
#include "corelib/layer.h"

// CNP register map (fields written here; other bits keep the defaults):
//  word 1   bits 4-7, 20-22   mode bits and the single-buffer flag
//  word 3   bits 0-1          input bits >> 1
//           bits 2-5, 8-9     weight layout (standard / separable)
//           bits 12-13, 15    act bits >> 1, activation
//           bits 16-23        number of NPs of the layer
//           bits 24-31        layer channel
//  word 4   bits 0-17, 31     input SRAM words
//  word 8                     own region size and read-region offsets
//  word 9                     read-region origin and stride phases
//  word 10                    read-region size
//  word 11  bits 0-7          input container size; 12-21 weight rows per channel
//  word 20                    stride, kernel size, 1x1 filters / pointwise rows
//  word 21                    filters of a k > 1 kernel (2/4-bit or 1-bit)
//  word 22                    depthwise weight rows (separable)
//  words 24, 25               pooled-output block origin and size
//  word 26                    neuron range
//  word 27                    pooling window, stride, flag and edge padding
//  word 28                    container size and input words per row
//  word 29                    filter groups of 8

namespace vorna::v1 {

namespace {

// Checked write of an unsigned field; the value is taken at full 64-bit
// width so that a product past 32 bits is reported, not wrapped.
void put(std::vector<uint32_t>& regs, size_t word, const RegDetail& field, uint64_t value) {
    put_field(&regs[word], field, value);
}

void put_bit(std::vector<uint32_t>& regs, size_t word, uint32_t bit, bool value) {
    put(regs, word, RegDetail{bit, 1}, value ? 1 : 0);
}

// Checked write of a signed 4-bit field.
void put_signed4(std::vector<uint32_t>& regs, size_t word, uint32_t shift, int32_t value) {
    if (value < -8 || value > 7) panic("%d cannot fit in a %d bits signed integer.", value, 4);
    put(regs, word, RegDetail{shift, 4}, static_cast<uint32_t>(value) & 0xFu);
}

// A field fed by `value >> 1` whose source must lie in 0..7: the overflow
// message shows the shifted value, as the field sees it.
void put_halved(std::vector<uint32_t>& regs, size_t word, uint32_t shift, int value) {
    if (value < 0 || value > 7) {
        panic("Attempted to write value %u into a %u-bit field, which will cause an overflow.",
              static_cast<uint32_t>(value >> 1), 2u);
    }
    put(regs, word, RegDetail{shift, 2}, static_cast<uint32_t>(value) >> 1);
}

void check_regs(const std::vector<uint32_t>* regs) {
    if (regs == nullptr || regs->size() != NP_REGS_COUNT) {
        throw std::invalid_argument("A v1 NP register file must hold 50 words.");
    }
}

const Dense& dense_variable(const Layer& layer, const char* name,
                            std::shared_ptr<const Dense>* keep) {
    *keep = Tensor::ensure_dense(layer.variables()->get(name));
    return **keep;
}

// Everything format_std_cnp_regs and format_sep_cnp_regs share: the routing
// lists, the pooling values and the per-NP register routines.
struct CnpLayerContext {
    const LayerMapping* mapping = nullptr;
    std::vector<hw::Component> sources;
    std::vector<hw::Component> destinations;
    PoolingCalculatedParams pool;
    ConvCalculatedParams conv;
    uint32_t pool_width = 0;
};

CnpLayerContext layer_context(const Layer& layer, const HasConvParams& conv_view,
                              const HasPoolParams& pool_view) {
    CnpLayerContext ctx;
    ctx.mapping = &layer_mapping_of<std::invalid_argument>(layer);
    ctx.sources = source_components(*ctx.mapping);
    ctx.destinations = destination_components(*ctx.mapping);

    ctx.conv = conv_view.conv_calculated_params();
    ctx.pool = pool_view.pool_calculated_params();

    const LayerParams& p = *layer.params();
    int pool_width = p.get("pooling_width");
    switch (p.get("pool_type")) {
        case 0:
            ctx.pool.stride_x = 1;
            ctx.pool.stride_y = 1;
            ctx.pool.width = ctx.conv.output_width;
            ctx.pool.height = ctx.conv.output_height;
            ctx.pool.padding = PaddingParams{};
            ctx.pool.flag = 0;
            pool_width = 1;
            break;
        case 2:
            if (p.get("pooling_width") == -1) pool_width = 1;
            break;
        default:
            break;
    }
    ctx.pool_width = static_cast<uint32_t>(pool_width);
    return ctx;
}

bool listed(const std::vector<hw::Ident>& nps, const hw::Ident& ident) {
    return std::find(nps.begin(), nps.end(), ident) != nps.end();
}

// Register file of one component, without the kind's weight-layout words:
// defaults, geometry and pooling words.
std::vector<uint32_t> base_cnp_regs(const Layer& layer, const CnpLayerContext& ctx,
                                    const hw::Placement& place, uint32_t component_count) {
    const LayerParams& p = *layer.params();
    std::vector<uint32_t> regs = default_np_regs();
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const Shape& input = inputs.front();
    format_cnp_geometry_regs(
        &regs, input, ctx.mapping->channel, layer.input_bits(), p.get("kernel_width"),
        p.get("stride_x"), ctx.conv.padding, p.get("activation") != 0, p.get("act_bits"),
        place.spatial_partition, place.aux_partition, ctx.pool_width,
        static_cast<uint8_t>(ctx.pool.stride_x), ctx.pool.padding, place.filters,
        place.start_neuron, component_count, place.single_buffer ? 1 : 0);
    format_cnp_pool_pad_reg(&regs, input[0], input[1], place.spatial_partition, ctx.pool_width,
                            static_cast<uint8_t>(ctx.pool.stride_x), ctx.pool.flag,
                            ctx.pool.padding);
    return regs;
}

// Routing, partial reconfiguration and the spikes bit, shared by both kinds.
void finish_cnp_regs(std::vector<uint32_t>* regs, const CnpLayerContext& ctx,
                     const hw::Component& component,
                     const std::shared_ptr<Layer>& next_pass_first_layer, bool pass_input,
                     bool pass_output) {
    const LayerMapping& m = *ctx.mapping;
    format_mesh_registers_set_output_to_NPs(regs, ctx.sources, own_components(m), ctx.destinations,
                                            m.next_channel, m.p2p_input, m.output_to_dma,
                                            pass_output);
    if (next_pass_first_layer) {
        if (const hw::Component* next = component_on(*next_pass_first_layer, component.ident)) {
            update_partial_reconfig_regs(regs, *next_pass_first_layer, *next);
        }
    }
    if (pass_input) set_ib_spikes(regs);
}

}  // namespace

std::vector<uint32_t> format_cnp_thresholds(const Dense& thresholds, const Dense& steps,
                                            bool activation, uint32_t start, uint32_t count) {
    std::vector<uint32_t> block(2 * static_cast<size_t>(count), 0);
    const int32_t* th = thresholds.data<int32_t>();
    const int32_t* st = steps.data<int32_t>();
    const uint64_t end = static_cast<uint64_t>(start) + count;
    if (count != 0 && ((activation && end > thresholds.size()) || end > steps.size())) {
        throw std::invalid_argument("CNP: the neuron range exceeds the threshold variables.");
    }
    for (uint32_t k = 0; k < count; ++k) {
        const size_t i = static_cast<size_t>(start) + k;
        if (activation) {
            const int32_t t = th[i];
            if (t < -524288 || t > 524287) {
                panic("%d cannot fit in a %d bits signed integer.", t, 20);
            }
            block[2 * k] = static_cast<uint32_t>(t) & 0xFFFFFu;
        } else {
            block[2 * k] = 0x80000u;
        }
        const uint32_t s = static_cast<uint32_t>(st[i]);
        if (s > 0xFFFFFu) {
            throw CnpError("act_step should be between 0 and 65535. Receives act_step " +
                           std::to_string(st[i] / 16) + ".");
        }
        block[2 * k + 1] = s;
    }
    return block;
}

void format_cnp_pool_pad_reg(std::vector<uint32_t>* regs_ptr, uint32_t input_width,
                             uint32_t input_height, const NpSpace& partition, uint32_t pool_width,
                             uint8_t pool_stride, uint8_t pool_flag,
                             const PaddingParams& pool_padding) {
    check_regs(regs_ptr);
    std::vector<uint32_t>& regs = *regs_ptr;
    put(regs, 27, RegDetail{0, 3}, pool_width);
    put(regs, 27, RegDetail{4, 3}, pool_stride);
    put_bit(regs, 27, 8, pool_flag != 0);
    const int64_t x = partition.x;
    const int64_t y = partition.y;
    const int64_t w = partition.shape[0];
    const int64_t h = partition.shape[1];
    put_bit(regs, 27, 15, y == 0 && pool_padding.top > 0);
    put_bit(regs, 27, 14, y + h == input_height && pool_padding.bottom > 0);
    put_bit(regs, 27, 13, x == 0 && pool_padding.left > 0);
    put_bit(regs, 27, 12, x + w == input_width && pool_padding.right > 0);
}

void format_cnp_geometry_regs(std::vector<uint32_t>* regs_ptr, const Shape& input, uint8_t channel,
                              uint8_t input_bits, int kernel_size, int stride,
                              const PaddingParams& conv_padding, bool activation, int act_bits,
                              NpSpace partition, const NpSpace& second, uint32_t pool_width,
                              uint8_t pool_stride, const PaddingParams& pool_padding,
                              uint32_t filters, uint32_t start_neuron, uint32_t component_count,
                              uint8_t buffer_flag) {
    check_regs(regs_ptr);
    std::vector<uint32_t>& regs = *regs_ptr;

    put_bit(regs, 1, 4, false);
    put_bit(regs, 1, 7, false);
    put(regs, 1, RegDetail{20, 2}, 0);
    put_bit(regs, 1, 5, true);
    put_bit(regs, 1, 6, true);
    put_bit(regs, 1, 22, buffer_flag != 0);

    put(regs, 3, RegDetail{0, 2}, input_bits >> 1);
    put_halved(regs, 3, 12, act_bits);
    put_bit(regs, 3, 15, activation);
    put(regs, 3, RegDetail{16, 8}, component_count);
    put(regs, 3, RegDetail{24, 8}, channel);

    const NpSplit split(input, partition, second, kernel_size, stride, conv_padding, pool_width,
                        pool_stride, pool_padding);
    const uint32_t container = get_cnp_channel_container_size(split.j_size_cut, input_bits);
    const uint32_t words = get_cnp_input_sram_size(container, split.ch_size, split.i_size_cut);

    put(regs, 4, RegDetail{0, 18}, words);
    put_bit(regs, 4, 31, true);

    put(regs, 8, RegDetail{0, 11}, split.ii_size);
    put_signed4(regs, 8, 12, split.ii_offset);
    put(regs, 8, RegDetail{16, 11}, split.jj_size);
    put_signed4(regs, 8, 28, split.jj_offset);

    put(regs, 9, RegDetail{0, 12}, split.i_orig_cut);
    put_bit(regs, 9, 12, split.i_stride_phase != 0);
    put(regs, 9, RegDetail{16, 12}, split.j_orig_cut);
    put_bit(regs, 9, 28, split.j_stride_phase != 0);

    put(regs, 10, RegDetail{0, 11}, split.i_size_cut);
    put(regs, 10, REG10_J_SIZE_CUT, split.j_size_cut);

    put(regs, 11, REG11_ICONT_SIZE, (static_cast<uint64_t>(split.jj_size) + 3) & ~3ull);

    put_bit(regs, 20, CNP1_CONV_STRD.shift, stride == 2);
    put(regs, 20, CNP1_KERNEL_TYPE, static_cast<uint32_t>(kernel_size));

    put(regs, 24, CNP4_OB_I_ORIG, split.i_pool_start);
    put(regs, 24, CNP4_OB_J_ORIG, split.j_pool_start);

    put(regs, 25, RegDetail{0, 10}, split.i_pool_offset);
    put(regs, 25, RegDetail{16, 8}, split.j_pool_offset);

    put(regs, 26, RegDetail{0, 11}, start_neuron);
    put(regs, 26, RegDetail{16, 11}, filters);

    put(regs, 28, RegDetail{16, 9}, container);
    put(regs, 28, RegDetail{0, 14}, (static_cast<uint64_t>(container) * split.ch_size + 3) >> 2);

    put_bit(regs, 29, 0, false);
    put(regs, 29, RegDetail{16, 8}, (static_cast<uint64_t>(filters) + 7) >> 3);
    put_bit(regs, 36, 28, false);
}

CnpRegisterMap format_std_cnp_regs(const Layer& layer,
                                   const std::shared_ptr<Layer>& next_pass_first_layer,
                                   bool pass_input, bool pass_output,
                                   const std::vector<hw::Ident>& nps) {
    const auto& conv = dynamic_cast<const Convolutional&>(layer);
    const CnpLayerContext ctx = layer_context(layer, conv, conv);
    const LayerParams& p = *layer.params();
    std::shared_ptr<const Dense> keep;
    const Dense& weights = dense_variable(layer, "weights", &keep);
    const int wb = p.get("weights_bits");
    const int kernel = p.get("kernel_width");
    const uint32_t channels_of_weights = weights.dimensions()[1];

    CnpRegisterMap result;
    if (!ctx.mapping->nps) return result;
    const std::vector<hw::Component>& components = *ctx.mapping->nps;
    for (const hw::Component& component : components) {
        if (listed(nps, component.ident)) continue;
        const hw::Placement& place = placement_of<std::invalid_argument>(layer, component);
        const size_t weight_words =
            wb == 4 ? std_cnp_4bit_weight_words(weights, place.start_neuron, place.filters)
                    : std_cnp_weight_words(keep, wb == 2, place.start_neuron, place.filters);
        std::vector<uint32_t> regs =
            base_cnp_regs(layer, ctx, place, static_cast<uint32_t>(components.size()));

        if (channels_of_weights == 0) {
            throw std::invalid_argument("CNP: the weights have no input channel.");
        }
        const uint32_t f = place.filters;
        put(regs, 11, RegDetail{12, 10}, weight_words / channels_of_weights / 4);
        put_bit(regs, 3, 2, false);
        put_bit(regs, 3, 3, wb == 4);
        put(regs, 20, RegDetail{16, 11}, kernel == 1 ? f : 0);
        put(regs, 21, RegDetail{0, 11}, kernel != 1 && wb > 1 ? f : 0);
        put(regs, 21, RegDetail{16, 11}, kernel != 1 && wb == 1 ? f : 0);
        put(regs, 22, RegDetail{0, 11}, 0);

        finish_cnp_regs(&regs, ctx, component, next_pass_first_layer, pass_input, pass_output);
        result[component.ident] = std::move(regs);
    }
    return result;
}

CnpRegisterMap format_sep_cnp_regs(const Layer& layer,
                                   const std::shared_ptr<Layer>& next_pass_first_layer,
                                   bool pass_input, bool pass_output,
                                   const std::vector<hw::Ident>& nps) {
    const auto& sep = dynamic_cast<const SeparableConvolutional&>(layer);
    const CnpLayerContext ctx = layer_context(layer, sep, sep);
    const LayerParams& p = *layer.params();
    const int wb = p.get("weights_bits");
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const uint32_t dw_words = get_dw_weights_sram_size(
        static_cast<uint32_t>(p.get("kernel_width")), inputs.front()[2], static_cast<uint32_t>(wb));

    CnpRegisterMap result;
    if (!ctx.mapping->nps) return result;
    const std::vector<hw::Component>& components = *ctx.mapping->nps;
    for (const hw::Component& component : components) {
        if (listed(nps, component.ident)) continue;
        const hw::Placement& place = placement_of<std::invalid_argument>(layer, component);
        std::vector<uint32_t> regs =
            base_cnp_regs(layer, ctx, place, static_cast<uint32_t>(components.size()));

        const uint32_t pw_rows =
            get_nb_words_per_pw_channel(place.filters, static_cast<uint32_t>(wb));
        put_bit(regs, 3, 2, true);
        put_halved(regs, 3, 4, wb);
        put_halved(regs, 3, 8, wb);
        put(regs, 20, RegDetail{0, 7}, pw_rows);
        put(regs, 22, RegDetail{16, 14}, dw_words >> 1);

        finish_cnp_regs(&regs, ctx, component, next_pass_first_layer, pass_input, pass_output);
        result[component.ident] = std::move(regs);
    }
    return result;
}

}  // namespace vorna::v1
