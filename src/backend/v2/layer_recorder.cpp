#include "backend/v2/layer_recorder.h"

#include <stdexcept>
#include <string>

#include "backend/v2/buffer_temp_conv.h"
#include "backend/v2/cnp_recorders.h"
#include "backend/v2/dense1d_program.h"
#include "backend/v2/dw_buffer_temp_conv.h"
#include "backend/v2/input_conv2d_program.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "program/record.h"

namespace vorna::v2 {

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(
    const Layer& layer, const Layer& sequence_first_layer,
    std::shared_ptr<Layer> next_pass_first_layer, bool pass_input, bool pass_output,
    const std::vector<hw::Ident>& nps, bool unused_nps, bool last_flag) const {
    const LayerType type = layer.params()->layer_type();
    switch (type) {
        case LayerType::InputData:
        case LayerType::Add:
        case LayerType::Concatenate:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return program::new_record(device_.version());
        case LayerType::Conv2D:
            return record_program_conv2d_layer(device_, layer, next_pass_first_layer, pass_input,
                                               pass_output, nps, unused_nps, last_flag);
        case LayerType::InputConv2D:
            return record_program_input_conv2d_layer(device_, layer);
        case LayerType::DepthwiseConv2D:
            return record_program_dwconv2d_layer(device_, layer, next_pass_first_layer, pass_input,
                                                 pass_output, nps, unused_nps, last_flag);
        case LayerType::Conv2DTranspose:
            return record_program_transposed_conv2d_layer(device_, layer, next_pass_first_layer,
                                                          pass_input, pass_output, nps, unused_nps,
                                                          last_flag);
        case LayerType::DepthwiseConv2DTranspose:
            return record_program_transposed_dwconv2d_layer(device_, layer, next_pass_first_layer,
                                                            pass_input, pass_output, nps,
                                                            unused_nps, last_flag);
        case LayerType::BufferTempConv:
            return record_program_buffer_temp_conv_layer(device_, layer, next_pass_first_layer,
                                                         pass_input, pass_output, nps, unused_nps,
                                                         last_flag);
        case LayerType::DepthwiseBufferTempConv:
            return record_program_depthwise_buffer_temp_conv_layer(
                device_, layer, next_pass_first_layer, pass_input, pass_output, nps, unused_nps,
                last_flag);
        case LayerType::Dense1D:
            return record_program_dense1d_layer(device_, constraints_, layer, sequence_first_layer,
                                                next_pass_first_layer, pass_input, pass_output, nps,
                                                unused_nps);
        default:
            break;
    }
    throw std::runtime_error(
        "Unsupported layer type: " + std::to_string(static_cast<int32_t>(type)) + ".");
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
    throw std::runtime_error("Learning not implemented on v2.");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
    throw std::runtime_error("Learning not implemented on v2.");
}

}  // namespace vorna::v2
