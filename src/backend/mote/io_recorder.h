#pragma once

// Program input and output setup on mote: there is none. The input setup
// record is empty, no event-generator register is written and both type
// codes are 0.

#include "backend/interfaces.h"

namespace vorna::mote {

class IoRecorderImpl : public IoRecorder {
  public:
    using IoRecorder::IoRecorder;
    ~IoRecorderImpl() override = default;

    // An empty record for the device's hardware version.
    std::unique_ptr<program::Record> record_scc(bool first_hrc, bool flag1, bool flag2, bool flag3,
                                                bool small_output, const Shape& input,
                                                const Shape& output) const override;
    // No register writes.
    std::vector<RegisterWrite> record_epg(const Layer& last_layer, uint8_t lowest, uint8_t highest,
                                          uint8_t count, bool last_hrc, bool flag1,
                                          bool flag2) const override;
    fb::IoType get_input_type(const Layer& first_layer) const override;
    fb::IoType get_output_type(const Layer& last_layer, int8_t input_type) const override;
};

}  // namespace vorna::mote
