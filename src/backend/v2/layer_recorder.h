#pragma once

// The v2 layer recorder: one program record per mapped layer, made by the
// program recorder of the layer's kind. On-chip learning does not exist on
// v2.

#include <memory>
#include <vector>

#include "backend/interfaces.h"

namespace vorna::v2 {

class LayerRecorderImpl : public LayerRecorder {
  public:
    using LayerRecorder::LayerRecorder;
    ~LayerRecorderImpl() override = default;

    // The record of `layer`, by its LayerType:
    // - InputData, Add, Concatenate, Dequantizer, Quantizer: an empty record
    //   tagged with the device's version;
    // - Conv2D, DepthwiseConv2D, Conv2DTranspose, DepthwiseConv2DTranspose,
    //   BufferTempConv, DepthwiseBufferTempConv: the CNP or TNP-B recorder
    //   with (layer, next_pass_first_layer, pass_input, pass_output, nps,
    //   unused_nps, last_flag);
    // - InputConv2D: the HRC recorder;
    // - Dense1D: the FNP recorder, which alone receives the constraints and
    //   `sequence_first_layer`;
    // - anything else: std::runtime_error "Unsupported layer type: <n>.".
    // The recorders' exceptions pass through.
    std::unique_ptr<program::Record> record_layer(const Layer& layer,
                                                  const Layer& sequence_first_layer,
                                                  std::shared_ptr<Layer> next_pass_first_layer,
                                                  bool pass_input, bool pass_output,
                                                  const std::vector<hw::Ident>& nps,
                                                  bool unused_nps, bool last_flag) const override;
    // Both throw std::runtime_error "Learning not implemented on v2.".
    program::LearnRecordsPtr record_learning_layer(const Layer& layer,
                                                   bool starts_pass) const override;
    void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace vorna::v2
