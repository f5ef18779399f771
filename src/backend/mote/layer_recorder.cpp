#include "backend/mote/layer_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/mote/tnp_r_program.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "program/record.h"

namespace vorna::mote {

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer& layer, const Layer&,
                                                                 std::shared_ptr<Layer>, bool, bool,
                                                                 const std::vector<hw::Ident>&,
                                                                 bool, bool) const {
    const LayerType type = layer.params()->layer_type();
    switch (type) {
        case LayerType::StatefulRecurrent:
            return record_program_tnpr_layers(device_, layer);
        case LayerType::InputData:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return program::new_record(device_.version());
        default:
            throw std::runtime_error(
                "Unsupported layer type on mote: " + std::to_string(static_cast<int>(type)) + ".");
    }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
    throw std::runtime_error("Learning not implemented on mote.");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
    throw std::runtime_error("Learning not implemented on mote.");
}

}  // namespace vorna::mote
