#include "backend/v2/cnp_registers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "backend/v2/cnp_weights.h"
#include "backend/v2/np_registers.h"
#include "backend/v2/reconfig_registers.h"
#include "backend/v2/skipdma.h"
#include "corelib/params.h"

namespace vorna {
namespace v2 {

namespace {

#define VORNA_FIELD_FITS(f) static_assert((f).shift + (f).width <= 32, #f " passes bit 31")
VORNA_FIELD_FITS(REG4_IB_CH_GRP_EN);
VORNA_FIELD_FITS(REG4_EN_ACT);
VORNA_FIELD_FITS(REG4_NP_NUM);
VORNA_FIELD_FITS(REG5_CPKSRAM_SIZE);
VORNA_FIELD_FITS(REG8_II_SIZE);
VORNA_FIELD_FITS(REG8_II_OFFSET);
VORNA_FIELD_FITS(REG8_JJ_SIZE);
VORNA_FIELD_FITS(REG8_JJ_OFFSET);
VORNA_FIELD_FITS(REG9_I_ORIG_CUT);
VORNA_FIELD_FITS(REG11_CHCONT_SIZE);
VORNA_FIELD_FITS(CNP2_TF_TOTAL);
VORNA_FIELD_FITS(CNP3_CH_ORIG_CUT);
VORNA_FIELD_FITS(CNP3_CH_SIZE_CUT);
VORNA_FIELD_FITS(CNP8_CPK_CHCONT_SIZE);
#undef VORNA_FIELD_FITS

constexpr size_t REG_WORDS = 64;

std::vector<uint32_t>& checked_regs(std::vector<uint32_t>* regs) {
    if (regs == nullptr || regs->size() < REG_WORDS) {
        throw std::invalid_argument("A register file of 64 words is required.");
    }
    return *regs;
}

// Writes a field given by shift and width, with the overflow rule of
// set_field. Values computed in 64 bits are checked at their true size.
void put(uint32_t& word, uint32_t shift, uint32_t width, uint64_t value) {
    put_field(&word, RegDetail{shift, width}, value);
}
void put(uint32_t& word, const RegDetail& field, uint64_t value) {
    put(word, field.shift, field.width, value);
}

void put_bit(uint32_t& word, uint32_t bit, bool value) { set_bit(&word, bit, value); }

// A signed offset written as a 3-bit two's-complement field.
void put_signed3(uint32_t& word, const RegDetail& field, int32_t value) {
    if (value < -4 || value > 3) panic("%d cannot fit in a %d bits signed integer.", value, 3);
    set_field(&word, field, uint32_t(value) & 0x7u);
}

uint8_t min_col(const std::vector<hw::Component>& list) {
    uint8_t v = 0xFF;
    for (const auto& c : list) v = std::min(v, c.ident.col);
    return v;
}
uint8_t max_col(const std::vector<hw::Component>& list) {
    uint8_t v = 0;
    for (const auto& c : list) v = std::max(v, c.ident.col);
    return v;
}

constexpr uint64_t round_up4(uint64_t v) { return (v + 3) / 4 * 4; }

// ---------------------------------------------------------------------------
// What the four CNP formatters read once per layer.

struct CnpLayerValues {
    const LayerMapping* mapping = nullptr;
    Shape input_shape;
    uint8_t input_bits = 0;
    uint8_t output_bits = 0;
    ActivationType activation = ActivationType::NoActivation;
    int kernel_size = 0;
    bool extra_pool_flag = false;
    const hw::Component* skipdma_load = nullptr;
    std::vector<hw::Component> inputs;
    std::vector<hw::Component> outputs;
    std::vector<hw::Component> others;
};

[[noreturn]] void layer_error(const Layer& layer, const std::string& what) {
    throw std::runtime_error("Layer '" + layer.get_name() + "': " + what);
}

const LayerMapping& mapping_of(const Layer& layer) {
    const LayerMapping* mapping = find_layer_mapping(layer);
    if (mapping == nullptr) layer_error(layer, "the layer has no layer mapping.");
    if (!mapping->nps) layer_error(layer, "the layer mapping has no component list.");
    return *mapping;
}

Shape first_input_shape(const Layer& layer) {
    const std::vector<Shape> dims = layer.input_dimensions();
    if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return dims.front();
}

// The values shared by every NP of the layer: the component lists the
// routing and merge words are built from, and the extra pooling flag (the
// first inbound layer max-pools without activation).
CnpLayerValues read_layer_values(const Layer& layer) {
    CnpLayerValues v;
    const LayerMapping& m = mapping_of(layer);
    v.mapping = &m;
    const LayerParams& params = *layer.params();
    v.activation = ActivationType(params.get("activation"));
    v.kernel_size = params.get("kernel_size");
    v.input_shape = first_input_shape(layer);
    v.input_bits = layer.input_bits();
    v.output_bits = layer.output_bits();

    const auto inbound = layer.inbound_layers();
    if (!inbound.empty() && inbound.front()) {
        const Layer& first = *inbound.front();
        v.extra_pool_flag = first.has_pooling(PoolType::Max) && !first.activation_enabled();
    }

    v.inputs = source_components(m);
    v.outputs = destination_components(m);
    v.skipdma_load = m.skipdma_load();
    if (const hw::Component* dual = m.skipdma_store_dual_output()) {
        v.others = {*dual};
    } else {
        v.others = v.outputs;
    }
    return v;
}

// Pooling of a convolution layer as its registers see it.
struct PoolingValues {
    PoolingCalculatedParams params;
    uint8_t value = 1;   // pool size field
    uint8_t stride = 1;  // pool stride field
};

PoolingValues read_pooling(const Layer& layer, const ConvCalculatedParams& conv) {
    PoolingValues p;
    p.params = dynamic_cast<const HasPoolParams&>(layer).pool_calculated_params();
    const LayerParams& params = *layer.params();
    const int pool_type = params.get("pool_type");
    const int pool_size = params.get("pool_size");
    if (pool_type == int(PoolType::NoPooling)) {
        get_no_pooling_params(&p.params, conv.output_width, conv.output_height);
        p.value = 1;
    } else if (pool_type == int(PoolType::Average) && pool_size == -1) {
        p.value = 1;  // global average pooling
    } else {
        p.value = uint8_t(pool_size);
    }
    p.stride = uint8_t(p.params.stride_x);
    return p;
}

bool skipped(const hw::Ident& ident, const std::vector<hw::Ident>& skip_idents) {
    return std::find(skip_idents.begin(), skip_idents.end(), ident) != skip_idents.end();
}

uint32_t first_neuron_of(const LayerMapping& m, const hw::Placement& p) {
    return p.start_neuron + (m.output_shift ? *m.output_shift : 0u);
}

// Routing, partial reconfiguration and input-buffer spikes: the last steps
// of every CNP formatter.
void finish_np(std::vector<uint32_t>& regs, const CnpLayerValues& v, const hw::Component& component,
               const std::shared_ptr<Layer>& layer_ptr, bool ib_spikes, bool pr_flag) {
    const LayerMapping& m = *v.mapping;
    format_mesh_registers_set_output_to_NPs(&regs, v.inputs, *m.nps, v.outputs, m.alt_info,
                                            m.next_channel, m.p2p_input, m.output_to_dma, pr_flag);
    if (layer_ptr) {
        if (const hw::Component* next = component_on(*layer_ptr, component.ident)) {
            update_partial_reconfig_regs(&regs, *layer_ptr, *next, pr_flag);
        }
    }
    if (ib_spikes) set_ib_spikes(&regs);
}

// Input packet and channel-content words of a Conv2D NP (words 4, 11, 21,
// 28 and 29).
void write_conv_own_words(std::vector<uint32_t>& regs, const NpSplitInterface& split,
                          uint8_t input_bits, uint32_t ch_cont, uint32_t neurons) {
    const uint64_t row_bytes = round_up4((uint64_t(input_bits) * split.j_size_cut + 7) / 8);
    const uint64_t row_words = uint64_t(split.ch_size) * row_bytes / 4;
    put(regs[4], REG5_CPKSRAM_SIZE, row_words * split.i_size_cut);
    put(regs[11], REG11_CHCONT_SIZE, ch_cont);
    put(regs[21], CNP2_TF_TOTAL, neurons);
    put(regs[28], CNP8_CPK_CHCONT_SIZE, row_bytes);
    put(regs[29], 16, 8, (uint64_t(neurons) + 7) / 8);
    put(regs[28], 0, 14, row_words);
}

// Input packet of a depthwise NP (word 4).
uint64_t dw_input_packet_words(const NpSplitInterface& split, uint8_t input_bits) {
    const uint64_t row_bytes = round_up4((uint64_t(split.j_size_cut) * input_bits + 7) / 8);
    return (row_bytes * split.ch_size * 8 + 31) / 32 * split.i_size_cut;
}

// Channel-group words of a depthwise NP that handles part of the channels.
void write_dw_channel_group(std::vector<uint32_t>& regs, const hw::Placement& p,
                            const Shape& input_shape) {
    if (p.filters < input_shape.dims[2]) {
        put(regs[3], REG4_IB_CH_GRP_EN, 1);
        put(regs[22], CNP3_CH_ORIG_CUT, p.start_neuron);
        put(regs[22], CNP3_CH_SIZE_CUT, p.filters);
    }
}

// Input row words of a depthwise NP (words 28 and 29).
void write_dw_row_words(std::vector<uint32_t>& regs, const NpSplitInterface& split,
                        uint8_t input_bits) {
    const uint64_t row_words = (uint64_t(input_bits) * split.j_size_cut + 31) / 32;
    put(regs[28], CNP8_CPK_CHCONT_SIZE, 4 * row_words * split.i_size_cut);
    put(regs[29], 16, 8, 1);
    put(regs[28], 0, 14, row_words);
}

enum class CnpKind { Conv, TransposedConv, Depthwise, TransposedDepthwise };

RegisterMap format_cnp_registers(CnpKind kind, const Layer& layer,
                                 const std::shared_ptr<Layer>& layer_ptr, bool ib_spikes,
                                 bool pr_flag, const std::vector<hw::Ident>& skip_idents,
                                 bool registers_only, bool last_flag) {
    const bool transposed = kind == CnpKind::TransposedConv || kind == CnpKind::TransposedDepthwise;
    const bool depthwise = kind == CnpKind::Depthwise || kind == CnpKind::TransposedDepthwise;

    // The computed parameters come first: an unbuilt layer fails before
    // anything else is read.
    ConvCalculatedParams conv;
    PoolingValues pool;
    if (!transposed) {
        conv = dynamic_cast<const HasConvParams&>(layer).conv_calculated_params();
        pool = read_pooling(layer, conv);
    }
    const CnpLayerValues v = read_layer_values(layer);
    const LayerMapping& m = *v.mapping;
    const LayerParams& params = *layer.params();
    const int kernel_stride = transposed ? 1 : params.get("kernel_stride");
    const bool from_add = m.merge_info ? m.merge_info->from_add : false;

    RegisterMap result;
    for (const hw::Component& component : *m.nps) {
        if (skipped(component.ident, skip_idents)) continue;
        const hw::Placement& p = placement_of(layer, component);
        std::vector<uint32_t> regs =
            default_np_regs(component, m.channel, registers_only, from_add);
        const uint8_t weights_bits = transposed ? 8 : uint8_t(params.get("weights_bits"));

        std::unique_ptr<NpSplitInterface> split;
        if (transposed) {
            split = std::make_unique<TransposedCnpSplit>(p.spatial_partition, p.aux_partition);
        } else {
            split = std::make_unique<NpSplit>(v.input_shape, p.spatial_partition, p.aux_partition,
                                              v.kernel_size, kernel_stride, conv.padding,
                                              pool.value, pool.stride, pool.params.padding);
        }

        format_cnp_tnp_common_config_registers(
            &regs, *split, v.kernel_size, kernel_stride, v.activation, first_neuron_of(m, p),
            p.filters, weights_bits, *m.nps, p.single_buffer, transposed, v.input_bits,
            v.output_bits, m.merge_info, v.skipdma_load, v.others, last_flag, !registers_only);

        if (!depthwise) {
            write_conv_own_words(regs, *split, v.input_bits,
                                 conv2d_ch_cont_100b_size(v.kernel_size, p.filters, weights_bits),
                                 p.filters);
        } else {
            put_bit(regs[3], 2, true);
            if (transposed) {
                write_dw_channel_group(regs, p, v.input_shape);
                put(regs[4], REG5_CPKSRAM_SIZE, dw_input_packet_words(*split, v.input_bits));
            } else {
                put(regs[4], 0, 16, dw_input_packet_words(*split, v.input_bits));
                write_dw_channel_group(regs, p, v.input_shape);
            }
            put(regs[11], REG11_CHCONT_SIZE,
                dwc_ch_cont_100b_size(v.kernel_size, p.filters, weights_bits));
            write_dw_row_words(regs, *split, v.input_bits);
        }

        if (transposed) {
            format_cnp_pooling_registers(&regs, v.input_shape, p.spatial_partition, 1, 1, false,
                                         PaddingParams{}, v.extra_pool_flag);
        } else {
            format_cnp_pooling_registers(&regs, v.input_shape, p.spatial_partition, pool.value,
                                         pool.stride, pool.params.flag != 0, pool.params.padding,
                                         v.extra_pool_flag);
        }
        finish_np(regs, v, component, layer_ptr, ib_spikes, pr_flag);
        result[component.ident] = std::move(regs);
    }
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------

void format_cnp_tnp_common_config_registers(
    std::vector<uint32_t>* regs_ptr, const NpSplitInterface& split, int kernel_size,
    int kernel_stride, ActivationType activation, uint32_t first_neuron, uint32_t neurons,
    uint8_t weights_bits, const std::vector<hw::Component>& components, bool single_buffer,
    bool transposed, uint8_t input_bits, uint8_t output_bits,
    const std::unique_ptr<MergeLayerMapInfo>& merge_info, const hw::Component* skipdma_load,
    const std::vector<hw::Component>& other_components, bool last_flag, bool with_merge) {
    std::vector<uint32_t>& regs = checked_regs(regs_ptr);
    const bool relu = activation == ActivationType::ReLU;

    uint32_t& w1 = regs[1];
    put_bit(w1, 4, false);
    put_bit(w1, 7, false);
    put_bit(w1, 20, activation == ActivationType::LUT);
    put_bit(w1, 22, single_buffer);
    put_bit(w1, 29, last_flag);

    uint32_t& w3 = regs[3];
    put(w3, 0, 2, input_bits <= 7 ? 2 : 3);
    if (weights_bits == 4) {
        put_bit(w3, 3, true);
        put_bit(w3, 7, false);
        put(w3, 4, 2, 2);
    } else if (weights_bits == 8) {
        put_bit(w3, 3, false);
        put_bit(w3, 7, true);
        put(w3, 4, 2, 3);
    } else {
        put_bit(w3, 3, false);
        put_bit(w3, 7, false);
        put(w3, 4, 2, 2);
    }
    put(w3, 12, 2, output_bits < 8 ? 2 : 3);
    put_bit(w3, 14, output_bits <= 8 && !relu);
    put(w3, REG4_EN_ACT, relu ? 1 : 0);
    put(w3, REG4_NP_NUM, components.size());

    put_bit(regs[4], 29, false);
    put_bit(regs[4], 30, false);
    put_bit(regs[4], 31, true);

    put(regs[8], REG8_II_SIZE, split.ii_size);
    put_signed3(regs[8], REG8_II_OFFSET, split.ii_offset);
    put(regs[8], REG8_JJ_SIZE, split.jj_size);
    put_signed3(regs[8], REG8_JJ_OFFSET, split.jj_offset);

    put(regs[9], REG9_I_ORIG_CUT, split.i_orig_cut);
    put_bit(regs[9], 12, split.i_stride_phase > 0);
    put(regs[9], 16, 12, split.j_orig_cut);
    put_bit(regs[9], 28, split.j_stride_phase > 0);

    put(regs[10], 0, 11, split.i_size_cut);
    put(regs[10], 16, 11, split.j_size_cut);

    put(regs[11], 0, 8, split.icont_size());

    uint32_t& w20 = regs[20];
    put_bit(w20, 8, kernel_stride == 2);
    put_bit(w20, 9, transposed);
    put_bit(w20, 10, false);
    w20 &= ~(0x7FFu << 16);
    put(w20, 28, 3, uint32_t(kernel_size));  // a negative size overflows as unsigned

    put(regs[24], 0, 12, split.i_pool_start);
    put(regs[24], 16, 12, split.j_pool_start);
    put(regs[25], 0, 10, split.i_pool_offset);
    put(regs[25], 16, 8, split.j_pool_offset);
    put(regs[26], 0, 11, first_neuron);
    put(regs[26], 16, 10, neurons);

    if (with_merge) {
        format_merge_layer_registers(regs_ptr, components, merge_info, skipdma_load,
                                     other_components);
    }
}

void format_merge_layer_registers(std::vector<uint32_t>* regs_ptr,
                                  const std::vector<hw::Component>& components,
                                  const std::unique_ptr<MergeLayerMapInfo>& merge_info,
                                  const hw::Component* skipdma_load,
                                  const std::vector<hw::Component>& other_components) {
    std::vector<uint32_t>& regs = checked_regs(regs_ptr);
    if (!merge_info) {
        put_bit(regs[52], 7, true);
        return;
    }
    const MergeLayerMapInfo& merge = *merge_info;
    put_bit(regs[52], 7, merge.not_first);
    if (skipdma_load == nullptr) throw std::runtime_error("Skip DMA load should not be null.");

    uint32_t& w52 = regs[52];
    put_bit(w52, 2, merge.from_add);
    put_bit(w52, 3, false);
    put_bit(w52, 0, true);
    put_bit(w52, 1, true);
    put_bit(w52, 4, true);
    put(w52, 16, 8, merge.load_channel);

    uint32_t& w53 = regs[53];
    put(w53, 0, 16, (uint32_t(skipdma_load->ident.col) << 8) | 1u);
    put_bit(w53, 19, false);
    set_one_hot_field(&w53, RegDetail{20, 4}, skipdma_load->ident.id);
    put_bit(w53, 31, true);

    if (!merge.dual_output) return;
    if (other_components.empty()) {
        throw std::invalid_argument("A dual-output merge layer needs its output components.");
    }
    put_bit(regs[1], 31, true);

    std::vector<hw::Component> all = components;
    all.insert(all.end(), other_components.begin(), other_components.end());
    const bool single_hrc = all.size() == 1 && all.front().type == hw::Type::HRC;
    put(regs[47], 16, 8, single_hrc ? 1 : min_col(all));
    put(regs[47], 24, 8, single_hrc ? 1 : max_col(all));

    uint32_t& w48 = regs[48];
    put(w48, 24, 8, merge.dual_output_channel);
    const bool single = other_components.size() == 1;
    put_bit(w48, 16, single);
    if (single) {
        put(w48, 0, 8, other_components.front().ident.row);
        put(w48, 8, 8, other_components.front().ident.col);
    } else {
        put(w48, 0, 8, min_col(other_components));
        put(w48, 8, 8, max_col(other_components));
    }
    set_one_hot_field(&w48, RegDetail{20, 4}, other_components.front().ident.id);
}

void format_cnp_pooling_registers(std::vector<uint32_t>* regs_ptr, const Shape& input_shape,
                                  const NpSpace& space, uint8_t pool_size, uint8_t pool_stride,
                                  bool pool_flag, const PaddingParams& padding, bool extra_flag) {
    std::vector<uint32_t>& regs = checked_regs(regs_ptr);
    uint32_t& w27 = regs[27];
    put(w27, 0, 3, pool_size);
    put(w27, 4, 3, pool_stride);
    put_bit(w27, 8, pool_flag);

    const int64_t x = space.x;
    const int64_t y = space.y;
    const int64_t width = space.shape.dims[0];
    const int64_t height = space.shape.dims[1];
    w27 &= ~(0xFu << 12);
    put_bit(w27, 13, x == 0 && padding.left > 0);
    put_bit(w27, 12, x + width == int64_t(input_shape.dims[0]) && padding.right > 0);
    put_bit(w27, 15, y == 0 && padding.top > 0);
    put_bit(w27, 14, y + height == int64_t(input_shape.dims[1]) && padding.bottom > 0);
    put_bit(w27, 9, false);
    if (extra_flag) put_bit(regs[2], 8, true);
}

bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height) {
    params->stride_x = 1;
    params->stride_y = 1;
    params->width = width;
    params->height = height;
    params->padding = PaddingParams{};
    params->flag = 0;
    return true;
}

uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift) {
    return uint32_t((input_shift.size() + 7) / 8);
}

RegisterMap format_conv2d_registers(const Layer& layer, std::shared_ptr<Layer> layer_ptr,
                                    bool ib_spikes, bool pr_flag,
                                    const std::vector<hw::Ident>& skip_idents, bool registers_only,
                                    bool last_flag) {
    return format_cnp_registers(CnpKind::Conv, layer, layer_ptr, ib_spikes, pr_flag, skip_idents,
                                registers_only, last_flag);
}

RegisterMap format_transposed_conv2d_registers(const Layer& layer, std::shared_ptr<Layer> layer_ptr,
                                               bool ib_spikes, bool pr_flag,
                                               const std::vector<hw::Ident>& skip_idents,
                                               bool registers_only, bool last_flag) {
    return format_cnp_registers(CnpKind::TransposedConv, layer, layer_ptr, ib_spikes, pr_flag,
                                skip_idents, registers_only, last_flag);
}

RegisterMap format_dwconv2d_registers(const Layer& layer, std::shared_ptr<Layer> layer_ptr,
                                      bool ib_spikes, bool pr_flag,
                                      const std::vector<hw::Ident>& skip_idents,
                                      bool registers_only, bool last_flag) {
    return format_cnp_registers(CnpKind::Depthwise, layer, layer_ptr, ib_spikes, pr_flag,
                                skip_idents, registers_only, last_flag);
}

RegisterMap format_transposed_dwconv2d_registers(const Layer& layer,
                                                 std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
                                                 bool pr_flag,
                                                 const std::vector<hw::Ident>& skip_idents,
                                                 bool registers_only, bool last_flag) {
    return format_cnp_registers(CnpKind::TransposedDepthwise, layer, layer_ptr, ib_spikes, pr_flag,
                                skip_idents, registers_only, last_flag);
}

}  // namespace v2
}  // namespace vorna
