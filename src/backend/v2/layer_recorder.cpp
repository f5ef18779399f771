#include "backend/v2/layer_recorder.h"

#include <stdexcept>
#include <string>

#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "program/record.h"

namespace vorna::v2 {

namespace {

[[noreturn]] void kind_not_implemented(const char* kind) {
    throw std::runtime_error(std::string("v2 recording of ") + kind + " layers not implemented");
}

}  // namespace

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(
    const Layer& layer, const Layer& sequence_first_layer,
    std::shared_ptr<Layer> next_pass_first_layer, bool pass_input, bool pass_output,
    const std::vector<hw::Ident>& nps, bool unused_nps, bool last_flag) const {
    (void)sequence_first_layer;
    (void)next_pass_first_layer;
    (void)pass_input;
    (void)pass_output;
    (void)nps;
    (void)unused_nps;
    (void)last_flag;
    const LayerType type = layer.params()->layer_type();
    switch (type) {
        case LayerType::InputData:
        case LayerType::Add:
        case LayerType::Concatenate:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return program::new_record(device_.version());
        case LayerType::Conv2D:
            kind_not_implemented("Conv2D");
        case LayerType::InputConv2D:
            kind_not_implemented("InputConv2D");
        case LayerType::DepthwiseConv2D:
            kind_not_implemented("DepthwiseConv2D");
        case LayerType::Conv2DTranspose:
            kind_not_implemented("Conv2DTranspose");
        case LayerType::DepthwiseConv2DTranspose:
            kind_not_implemented("DepthwiseConv2DTranspose");
        case LayerType::BufferTempConv:
            kind_not_implemented("BufferTempConv");
        case LayerType::DepthwiseBufferTempConv:
            kind_not_implemented("DepthwiseBufferTempConv");
        case LayerType::Dense1D:
            kind_not_implemented("Dense1D");
        default:
            break;
    }
    throw std::runtime_error("Unsupported layer type: " +
                             std::to_string(static_cast<int32_t>(type)) + ".");
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
    throw std::runtime_error("Learning not implemented on v2.");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
    throw std::runtime_error("Learning not implemented on v2.");
}

}  // namespace vorna::v2
