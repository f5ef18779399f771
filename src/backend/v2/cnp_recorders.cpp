#include "backend/v2/cnp_recorders.h"

#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "backend/v2/cnp_registers.h"
#include "backend/v2/cnp_variables.h"
#include "backend/v2/cnp_weights.h"
#include "backend/v2/shift_lut_formats.h"
#include "backend/v2/skipdma.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna {
namespace v2 {

namespace {

using RegisterFormatter = RegisterMap (*)(const Layer&, std::shared_ptr<Layer>, bool, bool,
                                          const std::vector<hw::Ident>&, bool, bool);

[[noreturn]] void layer_error(const Layer& layer, const std::string& what) {
    throw std::runtime_error("Layer '" + layer.get_name() + "': " + what);
}

const LayerMapping& mapping_of(const Layer& layer) {
    const LayerMapping* mapping = find_layer_mapping(layer);
    if (mapping == nullptr || !mapping->nps) layer_error(layer, "the layer has no layer mapping.");
    return *mapping;
}

// A variable of the layer as a dense tensor, null when the layer has none.
std::shared_ptr<const Dense> optional_var(const Layer& layer, const char* name) {
    const Variables& vars = *layer.variables();
    if (!vars.has(name)) return nullptr;
    return Tensor::ensure_dense(vars.get(name));
}

std::shared_ptr<const Dense> required_var(const Layer& layer, const char* name) {
    auto t = optional_var(layer, name);
    if (!t) layer_error(layer, std::string("the variable '") + name + "' is missing.");
    return t;
}

void check_type(const Layer& layer, LayerType expected) {
    if (layer.params()->layer_type() != expected) {
        throw std::runtime_error("Invalid layer type for CNP recording.");
    }
}

// The per-neuron variables every recorder reads, absent ones null.
struct NeuronVariables {
    std::shared_ptr<const Dense> max_value, max_value_shift, activation_shift, activation_scales,
        output_shift, bias_shift, bias, output_scales;

    std::vector<uint32_t> format(uint32_t first, uint32_t count) const {
        return format_cnp_tnp_variables(
            max_value.get(), max_value_shift.get(), activation_shift.get(), activation_scales.get(),
            output_shift.get(), bias_shift.get(), bias.get(), output_scales.get(), first, count);
    }
};

NeuronVariables read_neuron_variables(const Layer& layer) {
    NeuronVariables v;
    v.max_value = optional_var(layer, "max_value");
    v.max_value_shift = optional_var(layer, "max_value_shift");
    v.activation_shift = optional_var(layer, "activation_shift");
    v.activation_scales = optional_var(layer, "activation_scales");
    v.output_shift = optional_var(layer, "output_shift");
    v.bias_shift = optional_var(layer, "bias_shift");
    v.bias = optional_var(layer, "bias");
    v.output_scales = optional_var(layer, "output_scales");
    return v;
}

const MergeLayerMapInfo* add_merge(const Layer& layer, const LayerMapping& m) {
    if (!m.merge_info || !m.merge_info->from_add) return nullptr;
    const MergeLayerMapInfo& merge = *m.merge_info;
    if (!merge.main_shift || !merge.skip_shift || !merge.out_shift) {
        layer_error(layer, "the Add merge has no shift variables.");
    }
    return &merge;
}

void add_block(program::Record& record, const hw::Ident& np, dma::Target target,
               const std::vector<uint32_t>& words) {
    record.add_np_track(np, target, 0, words, true, true);
}

// The look-up table and merge-shift blocks that end an NP's part of a CNP
// record. The merge shifts cover the NP's channels when `slice` is given, all
// of the layer's channels otherwise.
void add_lut_and_merge(program::Record& record, const hw::Ident& np, const Layer& layer, bool lut,
                       const MergeLayerMapInfo* merge, const hw::Placement* slice) {
    if (lut) {
        add_block(record, np, dma::CnpLut,
                  format_lut_values_for_cnp(required_var(layer, "lut_values").get()));
    }
    if (merge) {
        add_block(record, np, dma::MergeShift,
                  format_merge_layer_shift(
                      merge->main_shift, merge->skip_shift, merge->out_shift,
                      slice ? slice->start_neuron : 0,
                      slice ? slice->filters : merge->main_shift->dimensions().dims[0]));
    }
}

// The record of a CNP convolution: checks the layer's kind and formats its
// registers; `prepare(layer, mapping, registers_only)` then reads what the data blocks need and
// gives the function that adds one NP's data blocks. Per NP that has registers, in mapping order:
// its register block, then (unless `registers_only`) its data blocks; last, the layer's skip-DMA
// records.
template <class Prepare>
std::unique_ptr<program::Record> record_cnp_conv(LayerType type, RegisterFormatter formatter,
                                                 const Device& device, const Layer& layer,
                                                 const std::shared_ptr<Layer>& layer_ptr,
                                                 bool ib_spikes, bool pr_flag,
                                                 const std::vector<hw::Ident>& skip_idents,
                                                 bool registers_only, bool last_flag,
                                                 Prepare&& prepare) {
    check_type(layer, type);
    const LayerMapping& m = mapping_of(layer);
    const RegisterMap regs =
        formatter(layer, layer_ptr, ib_spikes, pr_flag, skip_idents, registers_only, last_flag);
    auto record = program::new_record(device.version());
    const auto add_data_blocks = prepare(layer, m, registers_only);
    for (const hw::Component& component : *m.nps) {
        const auto it = regs.find(component.ident);
        if (it == regs.end()) continue;
        add_block(*record, component.ident, dma::NpRegisters, it->second);
        if (registers_only) continue;
        // Formatted NPs have placements.
        add_data_blocks(*record, component.ident, *component.placement);
    }
    if (!registers_only) record_skipdma(record.get(), layer);
    return record;
}

// Conv2D and Conv2DTranspose: input shifts and merge shifts are the same
// words for every NP.
auto conv_data_blocks(const Layer& layer, const LayerMapping& m, bool registers_only) {
    std::vector<uint32_t> input_shift_words;
    if (!registers_only)
        input_shift_words = format_input_shift(*required_var(layer, "input_shift"), 0, 0);
    const auto weights = required_var(layer, "weights");
    const NeuronVariables vars = read_neuron_variables(layer);
    const uint8_t weights_bits = uint8_t(layer.params()->get("weights_bits"));
    const dma::Target weights_target =
        conv2d_dma_target(weights->dimensions().dims[0], weights_bits);
    const bool lut = layer.is_activation(ActivationType::LUT);
    const MergeLayerMapInfo* merge = registers_only ? nullptr : add_merge(layer, m);
    return [&layer, input_shift_words, weights, vars, weights_bits, weights_target, lut, merge](
               program::Record& record, const hw::Ident& np, const hw::Placement& p) {
        add_block(record, np, weights_target,
                  format_conv2d_cnp_weights(*weights, p.start_neuron, p.filters, weights_bits));
        add_block(record, np, dma::InputShift, input_shift_words);
        add_block(record, np, dma::NeuronVariables, vars.format(p.start_neuron, p.filters));
        add_lut_and_merge(record, np, layer, lut, merge, nullptr);
    };
}

// DepthwiseConv2D and DepthwiseConv2DTranspose: each NP's shifts are cut to
// its channel range.
auto depthwise_data_blocks(const Layer& layer, const LayerMapping& m, bool registers_only) {
    std::shared_ptr<const Dense> weights, input_shift;
    if (!registers_only) {
        weights = required_var(layer, "weights");
        input_shift = required_var(layer, "input_shift");
    }
    const NeuronVariables vars = read_neuron_variables(layer);
    const uint8_t weights_bits = uint8_t(layer.params()->get("weights_bits"));
    const bool lut = layer.is_activation(ActivationType::LUT);
    const MergeLayerMapInfo* merge = registers_only ? nullptr : add_merge(layer, m);
    return [&layer, weights, input_shift, vars, weights_bits, lut, merge](
               program::Record& record, const hw::Ident& np, const hw::Placement& p) {
        const auto image =
            format_depthwise_conv_cnp_weights(*weights, p.start_neuron, p.filters, weights_bits);
        add_block(record, np,
                  dma::Target(dwc_dma_target(weights->dimensions().dims[0], weights_bits)), image);
        add_block(record, np, dma::InputShift,
                  format_input_shift(*input_shift, p.start_neuron, p.filters));
        add_block(record, np, dma::NeuronVariables, vars.format(p.start_neuron, p.filters));
        add_lut_and_merge(record, np, layer, lut, merge, &p);
    };
}

}  // namespace

std::unique_ptr<program::Record> record_program_conv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag) {
    return record_cnp_conv(LayerType::Conv2D, &format_conv2d_registers, device, layer, layer_ptr,
                           ib_spikes, pr_flag, skip_idents, registers_only, last_flag,
                           &conv_data_blocks);
}

std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag) {
    return record_cnp_conv(LayerType::Conv2DTranspose, &format_transposed_conv2d_registers, device,
                           layer, layer_ptr, ib_spikes, pr_flag, skip_idents, registers_only,
                           last_flag, &conv_data_blocks);
}

std::unique_ptr<program::Record> record_program_dwconv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag) {
    return record_cnp_conv(LayerType::DepthwiseConv2D, &format_dwconv2d_registers, device, layer,
                           layer_ptr, ib_spikes, pr_flag, skip_idents, registers_only, last_flag,
                           &depthwise_data_blocks);
}

std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag) {
    return record_cnp_conv(LayerType::DepthwiseConv2DTranspose,
                           &format_transposed_dwconv2d_registers, device, layer, layer_ptr,
                           ib_spikes, pr_flag, skip_idents, registers_only, last_flag,
                           &depthwise_data_blocks);
}

}  // namespace v2
}  // namespace vorna
