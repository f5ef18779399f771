#include "backend/v1/cnp_program.h"

#include <map>
#include <utility>

#include "backend/layer_mapping.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/cnp_weights.h"
#include "corelib/device.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"

namespace vorna::v1 {

CnpError::CnpError(const std::string& message)
    : std::runtime_error("Backend hardware(CNP): " + message) {}

CnpError::~CnpError() = default;

namespace {

std::shared_ptr<const Dense> variable(const Layer& layer, const char* name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

const std::vector<uint32_t>& registers_for(const CnpRegisterMap& regs, const hw::Ident& np) {
    static const std::vector<uint32_t> kEmpty;
    const auto it = regs.find(np);
    return it == regs.end() ? kEmpty : it->second;
}

// The threshold block of the component's neurons.
std::vector<uint32_t> thresholds_for(const Layer& layer, const hw::Placement& place) {
    const auto thresholds = variable(layer, "threshold");
    const auto steps = get_threshold_t16_from_act_steps(*variable(layer, "act_step"));
    return format_cnp_thresholds(*thresholds, *steps, layer.params()->get("activation") != 0,
                                 place.start_neuron, place.filters);
}

}  // namespace

std::unique_ptr<program::Record> record_program_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps) {
    (void)dynamic_cast<const Convolutional&>(layer);
    const std::vector<hw::Component>& components =
        own_components(layer_mapping_of<std::invalid_argument>(layer));
    const auto weights = variable(layer, "weights");
    const int wb = layer.params()->get("weights_bits");

    const CnpRegisterMap regs =
        format_std_cnp_regs(layer, next_pass_first_layer, pass_input, pass_output, nps);
    auto record = program::new_record(device.version());
    // NPs that share a filter range (a layer split by width) share its image:
    // each range is formatted once.
    std::map<std::pair<uint32_t, uint32_t>, std::vector<uint32_t>> images;
    for (const hw::Component& component : components) {
        const hw::Placement& place = placement_of<std::invalid_argument>(layer, component);
        record->add_np_track(component.ident, dma::NpRegisters, 0,
                             registers_for(regs, component.ident), true, true);
        if (unused_nps) continue;
        auto found = images.find({place.start_neuron, place.filters});
        if (found == images.end()) {
            found = images
                        .emplace(std::make_pair(place.start_neuron, place.filters),
                                 wb == 4 ? format_4bits_std_cnp_weights(
                                               *weights, place.start_neuron, place.filters)
                                         : format_std_cnp_weights(
                                               weights, wb == 2, place.start_neuron, place.filters))
                        .first;
        }
        const std::vector<uint32_t>& w = found->second;
        record->add_np_track(component.ident, dma::CnpWeights, 0, w, true, true);
        record->add_np_track(component.ident, dma::CnpThresholds, 0, thresholds_for(layer, place),
                             true, true);
    }
    return record;
}

std::unique_ptr<program::Record> record_program_sep_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps) {
    (void)dynamic_cast<const SeparableConvolutional&>(layer);
    const std::vector<hw::Component>& components =
        own_components(layer_mapping_of<std::invalid_argument>(layer));
    const auto dw_weights = variable(layer, "weights");
    const auto pw_weights = variable(layer, "weights_pw");
    const int wb = layer.params()->get("weights_bits");

    const std::vector<uint32_t> dw = format_sep_cnp_dw_weights(*dw_weights, wb);
    // The pointwise block follows the depthwise one; its offset counts 16-word
    // units in a 16-bit field, which a longer depthwise block would wrap.
    const size_t pw_offset = (dw.size() + 15) / 16;
    if (pw_offset > 0xFFFF) {
        throw CnpError("depthwise weights too large for the pointwise weight offset.");
    }
    const CnpRegisterMap regs =
        format_sep_cnp_regs(layer, next_pass_first_layer, pass_input, pass_output, nps);
    auto record = program::new_record(device.version());
    for (const hw::Component& component : components) {
        const hw::Placement& place = placement_of<std::invalid_argument>(layer, component);
        const std::vector<uint32_t> pw =
            format_sep_cnp_pw_weights(*pw_weights, wb, place.start_neuron, place.filters);
        record->add_np_track(component.ident, dma::NpRegisters, 0,
                             registers_for(regs, component.ident), true, true);
        if (unused_nps) continue;
        record->add_np_track(component.ident, dma::CnpWeights, 0, dw, true, true);
        record->add_np_track(component.ident, dma::CnpWeights, static_cast<uint16_t>(pw_offset), pw,
                             true, true);
        record->add_np_track(component.ident, dma::CnpThresholds, 0, thresholds_for(layer, place),
                             true, true);
    }
    return record;
}

}  // namespace vorna::v1
