#pragma once

// Layer programs on mote. The first StatefulRecurrent layer of a chain
// carries the program of the whole chain; InputData, Quantizer and
// Dequantizer layers get empty records. Mote has no on-chip learning.

#include "backend/interfaces.h"

namespace vorna::mote {

class LayerRecorderImpl : public LayerRecorder {
  public:
    using LayerRecorder::LayerRecorder;
    ~LayerRecorderImpl() override = default;

    // Only `layer` is used. Any kind other than StatefulRecurrent, InputData,
    // Quantizer and Dequantizer throws "Unsupported layer type on mote: <n>.".
    std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& second_layer,
                                                  std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
                                                  bool pr_flag, const std::vector<hw::Ident>& nps,
                                                  bool registers_only,
                                                  bool last_flag) const override;
    program::LearnRecordsPtr record_learning_layer(const Layer& layer,
                                                   bool starts_pass) const override;
    void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace vorna::mote
