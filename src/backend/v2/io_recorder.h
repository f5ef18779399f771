#pragma once

// The input and output setup of a v2 program: three register writes that
// prepare the IP's input side for the first pass, the event-generator
// register pairs of its output side, and the program's input and output
// types (always 0 on v2).

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/interfaces.h"

namespace vorna::v2 {

// Addresses of the input setup writes in the IP register block.
constexpr uint16_t SCC_INPUT_MODE_ADDR = 4;
constexpr uint16_t SCC_INPUT_CHANNELS_ADDR = 64;
constexpr uint16_t SCC_OUTPUT_SIZE_ADDR = 68;

class IoRecorderImpl : public IoRecorder {
  public:
    using IoRecorder::IoRecorder;
    ~IoRecorderImpl() override = default;

    // Three one-word writes (target 8, all-zero ident):
    // - address 4: 0x18, bit 0 set unless the first layer runs on the HRC
    //   (`first_hrc`), bit 20 = `small_output`;
    // - address 64: the input's channels (dims[2], 18-bit field);
    // - address 68: 0 for a 1 x 1 output, else y * channels of the output
    //   (20-bit field) with the channels in bits 20-31 when below 2048.
    // v2 does not read `flag1` to `flag3`. A value too wide for its field
    // panics with the overflow text.
    std::unique_ptr<program::Record> record_scc(bool first_hrc, bool flag1, bool flag2, bool flag3,
                                                bool small_output, const Shape& input,
                                                const Shape& output) const override;
    // Six (address, value) pairs at 0x00, 0x0C, 0x10, 0x14, 0x18 and 0x1C:
    // the mode (bit 1: `layer` runs on an FNP, bit 16: `last_hrc`), the
    // column range `lowest`..`highest` and the event count `count`. v2 does
    // not read `flag1` and `flag2`.
    std::vector<RegisterWrite> record_epg(const Layer& layer, uint8_t lowest, uint8_t highest,
                                          uint8_t count, bool last_hrc, bool flag1,
                                          bool flag2) const override;
    fb::IoType get_input_type(const Layer& first_layer) const override;
    fb::IoType get_output_type(const Layer& last_layer, int8_t input_type) const override;
};

}  // namespace vorna::v2
