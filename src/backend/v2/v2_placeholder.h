#pragma once

// The classes the back-end bundle creates for v2 devices. The recorders
// below are placeholders: until they are written, every operation throws a
// runtime error "... not implemented" so that nothing maps silently.

#include "backend/interfaces.h"
#include "backend/v2/compatibility_checker.h"
#include "backend/v2/memory_sizer.h"

namespace vorna::v2 {

class IoRecorderImpl : public IoRecorder {
public:
    using IoRecorder::IoRecorder;
    std::unique_ptr<program::Record> record_scc(bool first_hrc, bool flag1, bool flag2, bool flag3,
                                                bool small_output, const Shape& input,
                                                const Shape& output) const override;
    std::vector<RegisterWrite> record_epg(const Layer& last_layer, uint8_t lowest, uint8_t highest,
                                          uint8_t count, bool last_hrc, bool flag1,
                                          bool flag2) const override;
    fb::IoType get_input_type(const Layer& first_layer) const override;
    fb::IoType get_output_type(const Layer& last_layer, int8_t input_type) const override;
};

class LayerRecorderImpl : public LayerRecorder {
public:
    using LayerRecorder::LayerRecorder;
    std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& second_layer,
                                                  std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
                                                  bool pr_flag, const std::vector<hw::Ident>& nps,
                                                  bool registers_only,
                                                  bool last_flag) const override;
    program::LearnRecordsPtr record_learning_layer(const Layer& layer,
                                                   bool starts_pass) const override;
    void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace vorna::v2
