#include "backend/v1/fnp_program.h"

#include <algorithm>

#include "backend/v1/fnp_ram.h"
#include "backend/v1/fnp_registers.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"

namespace vorna::v1 {

std::unique_ptr<program::Record> record_program_dense_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps) {
    const auto mapping = layer.mapping();
    if (!mapping || !mapping->nps) {
        throw std::out_of_range("The layer '" + layer.get_name() + "' has no mapped component.");
    }
    const hw::Component fnp = mapping->nps->at(0);
    const LayerParams& params = *layer.params();
    const auto weights = Tensor::ensure_dense(layer.variables()->get("weights"));

    auto record = program::new_record(device.version());
    if (std::find(nps.begin(), nps.end(), fnp.ident) != nps.end()) return record;

    const auto regs =
        format_fnp_regs(device, layer, false, next_pass_first_layer, pass_input, pass_output);
    record->add_np_track(fnp.ident, dma::NpRegisters, 0, regs.at(fnp.ident), true, true);
    if (unused_nps) return record;

    const auto threshold = Tensor::ensure_dense(layer.variables()->get("threshold"));
    const auto act_step = Tensor::ensure_dense(layer.variables()->get("act_step"));
    const auto steps = get_threshold_t16_from_act_steps(*act_step);
    const bool activation = params.get("activation") != 0;
    const int weights_bits = params.get("weights_bits");
    const std::vector<uint32_t> image =
        format_fnp_ram(*weights, *threshold, *steps, weights_bits, activation);

    if (fnp.type == hw::Type::FNP2) {
        record->add_fnp2_filters_track(fnp.ident, image);
    } else {
        record->add_np_track(fnp.ident, dma::FnpRam, 0, image, true, true);
    }
    return record;
}

}  // namespace vorna::v1
