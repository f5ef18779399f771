#include "backend/v1/layer_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "backend/v1/cnp_program.h"
#include "backend/v1/fnp_program.h"
#include "backend/v1/hrc.h"
#include "backend/v1/learning.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/variables.h"
#include "program/record.h"

namespace vorna::v1 {

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(
    const Layer& layer, const Layer&, std::shared_ptr<Layer> next_pass_first_layer, bool pass_input,
    bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps, bool) const {
    const LayerType type = layer.params()->layer_type();
    switch (type) {
        case LayerType::InputData:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return program::new_record(device_.version());
        case LayerType::InputConvolutional:
            return record_program_hrc_layer(device_, layer);
        case LayerType::FullyConnected:
            return record_program_dense_layer(device_, layer, next_pass_first_layer, pass_input,
                                              pass_output, nps, unused_nps);
        case LayerType::Convolutional:
            return record_program_conv_layer(device_, layer, next_pass_first_layer, pass_input,
                                             pass_output, nps, unused_nps);
        case LayerType::SeparableConvolutional:
            return record_program_sep_conv_layer(device_, layer, next_pass_first_layer, pass_input,
                                                 pass_output, nps, unused_nps);
        default:
            throw std::runtime_error(
                "Unsupported layer type: " + std::to_string(static_cast<int>(type)) + ".");
    }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer& layer,
                                                                  bool pass_input) const {
    return record_program_learning_dense_layer(device_, layer, pass_input);
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer> layer) const {
    if (!layer) throw std::invalid_argument("The learning layer cannot be null.");
    auto* variables = dynamic_cast<VariablesImpl*>(layer->variables());
    // A layer that was never mapped has no component: the same out-of-range
    // failure as an empty component list.
    static const std::vector<hw::Component> no_components;
    const auto mapping = layer->mapping();
    const std::vector<hw::Component>& components =
        mapping && mapping->nps ? *mapping->nps : no_components;
    const bool fnp3 = components.at(0).type == hw::Type::FNP3;
    fnp_update_learn_vars(device_.hardware(), variables, fnp3);
}

}  // namespace vorna::v1
