#include "backend/v2/reconfig_registers.h"

#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

#include "backend/fnp_padding.h"
#include "backend/layer_mapping.h"
#include "backend/v2/np_registers.h"
#include "corelib/layer.h"

namespace vorna {
namespace v2 {

namespace {

// Every field of the first reconfiguration word lies within its 32 bits.
constexpr bool fits_in_word(std::initializer_list<RegDetail> fields) {
    for (const RegDetail& field : fields) {
        if (field.shift + field.width > 32) return false;
    }
    return true;
}
static_assert(fits_in_word({PR1_FNP_MODE, PR1_IB_CH_GRP_EN, PR1_SP_MAXPOOLING, PR1_I_ORIG_CUT,
                            PR1_J_ORIG_CUT, PR1_I_SIZE_CUT, PR1_J_SIZE_CUT, PR1_CH_SIZE,
                            PR1_SEPARABLE, PR1_PKSRAM_SIZE, PR1_CH_ORIG_CUT, PR1_CH_SIZE_CUT}),
              "field past bit 31");

constexpr RegDetail PR1_INPUT_BITS_CODE{4, 2};
constexpr RegDetail PR1_INPUT_CHANNEL{24, 8};
constexpr RegDetail PR1_ROW_SIZE{0, 14};
constexpr RegDetail PR1_PACKET_SIZE{16, 16};
constexpr RegDetail PR1_SOURCE_LOW{0, 8};
constexpr RegDetail PR1_SOURCE_HIGH{8, 8};
constexpr RegDetail PR1_COMPONENT_COUNT{24, 7};

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
uint64_t round_up4(uint64_t a) { return ceil_div(a, 4) * 4; }

}  // namespace

void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& layer,
                                  const hw::Component& component, bool pass_output) {
    if (regs == nullptr || regs->size() != NP_REGS_COUNT)
        throw std::invalid_argument("A v2 NP register file must hold 64 words.");
    const LayerMapping* mapping = &layer_mapping_of(layer);
    auto& r = *regs;
    const uint64_t bits = layer.input_bits();

    // 1-3. Mode bits, input bit code and the input channel.
    r[32] |= (1u << 0) | (1u << 2);
    set_bit(&r[44], 15, pass_output);
    set_field(&r[32], PR1_INPUT_BITS_CODE, static_cast<uint32_t>((bits >> 1) - (bits >> 3)));
    set_field(&r[32], PR1_INPUT_CHANNEL, mapping->input_channel);

    // 4. Pooling of the layer that feeds this one.
    bool max_pooled = false;
    bool activated = false;
    const auto inbounds = layer.inbound_layers();
    if (!inbounds.empty() && inbounds[0]) {
        max_pooled = inbounds[0]->has_pooling(PoolType::Max);
        activated = inbounds[0]->activation_enabled();
    }

    // 5. Geometry and input packing by kind: A the input packet size, B the
    // input row size.
    uint64_t a = 0;
    uint64_t b = 0;
    const std::vector<Shape> in_dims = layer.input_dimensions();
    if (in_dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const Shape& in = in_dims[0];
    if (layer.is_target_component(TargetComponent::FNP)) {
        const hw::Placement& pl = placement_of(layer, component);
        set_field(&r[32], PR1_FNP_MODE, 1);
        set_field(&r[33], PR1_I_ORIG_CUT, 0);
        set_field(&r[33], PR1_J_ORIG_CUT, 0);
        set_field(&r[34], PR1_I_SIZE_CUT, in[1]);
        set_field(&r[34], PR1_J_SIZE_CUT, in[0]);
        put_field(&r[35], PR1_CH_SIZE, static_cast<uint64_t>(in[0]) * in[1]);
        const InputPadding padding = get_fnp_supported_padding(layer, false);
        const uint64_t row_bytes = ceil_div(bits * in[0], 8);
        if (padding == 2)
            a = row_bytes;
        else if (padding == 1 || padding == 3)
            a = round_up4(row_bytes);
        else
            throw std::runtime_error("Unsupported padding.");
        b = ceil_div(a * pl.spatial_partition.shape[2], 4);
    } else if (layer.is_target_component(TargetComponent::CNP) ||
               layer.is_target_component(TargetComponent::TNP_B)) {
        const hw::Placement& pl = placement_of(layer, component);
        const NpSpace& aux = pl.aux_partition;
        const uint64_t w2 = aux.shape[0];
        const uint64_t h2 = aux.shape[1];
        const uint64_t c2 = aux.shape[2];
        set_field(&r[32], PR1_FNP_MODE, 0);
        set_field(&r[33], PR1_I_ORIG_CUT, static_cast<uint32_t>(aux.y));
        set_field(&r[33], PR1_J_ORIG_CUT, static_cast<uint32_t>(aux.x));
        put_field(&r[34], PR1_I_SIZE_CUT, h2);
        put_field(&r[34], PR1_J_SIZE_CUT, w2);
        if (max_pooled && !activated) {
            set_field(&r[32], PR1_SP_MAXPOOLING, 1);
            const uint64_t row = round_up4(ceil_div(bits * w2, 8));
            put_field(&r[40], PR1_PKSRAM_SIZE, row * c2 / 4 * h2);
        }
        if (layer.is_depthwise()) {
            b = ceil_div(bits * w2, 32);
            a = 4 * b * h2;
            set_field(&r[35], PR1_SEPARABLE, 1);
            if (pl.filters < in[2]) {
                set_field(&r[32], PR1_IB_CH_GRP_EN, 1);
                set_field(&r[42], PR1_CH_ORIG_CUT, pl.start_neuron);
                set_field(&r[42], PR1_CH_SIZE_CUT, pl.filters);
            }
        } else {
            a = round_up4(ceil_div(bits * w2, 8));
            b = a * pl.spatial_partition.shape[2] / 4;
        }
    }

    // 6-7. The layer's components and the columns its input comes from.
    set_bit(&r[41], 31, false);
    put_field(&r[41], PR1_COMPONENT_COUNT, mapping->nps ? mapping->nps->size() : 0);
    const std::vector<hw::Component> sources = source_components(*mapping);
    if (sources.empty())
        throw std::runtime_error("Layer '" + layer.get_name() + "' has no input components.");
    const ColumnRange range = column_range(sources);
    set_field(&r[41], PR1_SOURCE_LOW, range.low);
    set_field(&r[41], PR1_SOURCE_HIGH, range.high);

    // 8. Input row and packet sizes.
    put_field(&r[35], PR1_ROW_SIZE, b);
    put_field(&r[35], PR1_PACKET_SIZE, a);

    // 9. Merge layer.
    const bool merge = mapping->merge_info != nullptr;
    set_bit(&r[32], 3, merge);
    set_bit(&r[32], 6, merge && !mapping->merge_info->from_add);
}

}  // namespace v2
}  // namespace vorna
