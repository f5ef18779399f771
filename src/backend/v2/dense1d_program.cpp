#include "backend/v2/dense1d_program.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "backend/v2/fnp_formats.h"
#include "backend/v2/np_registers.h"
#include "backend/v2/reconfig_registers.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna::v2 {

std::unique_ptr<program::Record> record_program_dense1d_layer(
    const Device& device, const HardwareConstraints& constraints, const Layer& layer,
    const Layer& sequence_first_layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps) {
    const bool first_layer = &layer == &sequence_first_layer;
    const Shape shape = get_fnp_input_dim(layer, first_layer);
    const auto input_shift = Tensor::ensure_dense(layer.variables()->get("input_shift"));
    const auto weights = Tensor::ensure_dense(layer.variables()->get("weights"));
    const bool activation = layer.activation_enabled();
    const LayerMapping* mapping = &layer_mapping_of(layer);
    const std::vector<hw::Component> sources = source_components(*mapping);
    const std::vector<hw::Component> destinations = destination_components(*mapping);

    const std::vector<hw::Component>& span = own_components(*mapping);
    const hw::Component& component = span.at(0);
    const bool buffer_flag = component.single_buffer();

    const uint8_t input_bits = layer.input_bits();
    const uint8_t output_bits = layer.output_bits();
    const auto weight_bits = static_cast<uint8_t>(layer.params()->get("weights_bits"));
    const InputPadding packing = fnp_input_packing(layer, first_layer);

    auto record = program::new_record(device.version());
    if (std::find(nps.begin(), nps.end(), component.ident) != nps.end()) return record;

    std::vector<uint32_t> regs = default_np_regs(component, mapping->channel, unused_nps, false);
    format_dense1d_registers(constraints, &regs, component.type, input_bits, output_bits,
                             activation, shape, buffer_flag, *weights, weight_bits, packing);
    regs[36] &= ~(1u << 28);
    format_mesh_registers_set_output_to_NPs(&regs, sources, span, destinations, mapping->alt_info,
                                            mapping->next_channel, mapping->p2p_input,
                                            mapping->output_to_dma, pass_output);
    if (next_pass_first_layer) {
        if (const hw::Component* next = component_on(*next_pass_first_layer, component.ident)) {
            update_partial_reconfig_regs(&regs, *next_pass_first_layer, *next, pass_output);
        }
    }
    if (pass_input) set_ib_spikes(&regs);

    record->add_np_track(component.ident, dma::NpRegisters, 0, regs, true, true);
    record->add_np_track(component.ident, dma::InputShift, 0,
                         format_input_shift_fnp(*input_shift, shape, packing, input_bits), true,
                         true);
    if (!unused_nps) {
        const std::vector<uint32_t> ram =
            format_fnp_ram(layer, first_layer, packing, input_bits, weight_bits);
        if (component.type == hw::Type::FNP2) {
            // The FNP2 keeps its weights in external memory. Register word 49
            // (the configuration-DMA endpoint) is not part of this record.
            record->add_fnp2_filters_track(component.ident, ram);
        } else {
            record->add_np_track(component.ident, dma::FnpRam, 0, ram, true, true);
        }
    }
    return record;
}

}  // namespace vorna::v2
