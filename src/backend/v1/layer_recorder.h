#pragma once

// The v1 layer recorder: one program record per mapped layer, made by the
// program recorder of the layer's kind; the records of the layer that learns
// on chip; and the read-back of its learned variables after a run.

#include <memory>
#include <vector>

#include "backend/interfaces.h"

namespace vorna::v1 {

class LayerRecorderImpl : public LayerRecorder {
  public:
    using LayerRecorder::LayerRecorder;
    ~LayerRecorderImpl() override = default;

    // The record of `layer`, by its LayerType:
    // - InputData, Dequantizer, Quantizer: a record with no track, tagged with
    //   the device's version;
    // - InputConvolutional: the HRC recorder;
    // - FullyConnected, Convolutional, SeparableConvolutional: the FNP, CNP
    //   or separable CNP recorder with (layer, next_pass_first_layer,
    //   pass_input, pass_output, nps, unused_nps);
    // - anything else: std::runtime_error "Unsupported layer type: <n>.".
    // `sequence_first_layer` and `last_flag` are not read; the recorders'
    // exceptions pass through.
    std::unique_ptr<program::Record> record_layer(const Layer& layer,
                                                  const Layer& sequence_first_layer,
                                                  std::shared_ptr<Layer> next_pass_first_layer,
                                                  bool pass_input, bool pass_output,
                                                  const std::vector<hw::Ident>& nps,
                                                  bool unused_nps, bool last_flag) const override;
    // The learning records of a FullyConnected layer that learns on chip.
    program::LearnRecordsPtr record_learning_layer(const Layer& layer,
                                                   bool pass_input) const override;
    // Copies the learned variables of `layer` back from the device: the
    // layer's first mapped component tells FNP2 from FNP3 (std::out_of_range
    // when the layer has no mapped component).
    void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace vorna::v1
