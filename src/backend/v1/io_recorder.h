#pragma once

// The v1 input/output recorder: the input setup record that opens a program,
// the event-generator register writes that close it, and the input and output
// types the program declares.

#include <memory>
#include <vector>

#include "backend/interfaces.h"

namespace vorna::v1 {

// Register addresses of the input setup record (DMA target 8).
constexpr uint16_t SCC_MODE_ADDR = 0x04;
constexpr uint16_t SCC_INPUT_CHANNELS_ADDR = 0x40;
constexpr uint16_t SCC_OUTPUT_SIZE_ADDR = 0x44;

class IoRecorderImpl : public IoRecorder {
  public:
    using IoRecorder::IoRecorder;
    ~IoRecorderImpl() override = default;

    // One-word writes: address 4 (bit 0 = !first_hrc, bit 3 = output_type0,
    // bit 4 = input_type0, bit 8 = last_hrc); with input_type0 address 0x40
    // (input channels, 18 bits); with output_type0 address 0x44 (0 for a 1 x 1
    // output, else channels in bits 20-30 and channels x height in bits 0-19).
    // The fifth flag is not read.
    std::unique_ptr<program::Record> record_scc(bool first_hrc, bool input_type0, bool last_hrc,
                                                bool output_type0, bool small_output,
                                                const Shape& input,
                                                const Shape& output) const override;
    // Six (address, value) pairs at 0x00, 0x0C, 0x10, 0x14, 0x18 and 0x1C.
    // `first_layer` is the sequence's first mappable layer; `last_hrc` is not
    // read.
    std::vector<RegisterWrite> record_epg(const Layer& first_layer, uint8_t lowest, uint8_t highest,
                                          uint8_t count, bool last_hrc, bool multi_pass,
                                          bool input_type0) const override;
    // std::runtime_error "Unsupported layer type." for a kind without an
    // input (or output) type.
    fb::IoType get_input_type(const Layer& first_layer) const override;
    fb::IoType get_output_type(const Layer& last_layer, int8_t input_type) const override;

    // An FNP layer, not fed by a CNP layer, whose input is 1 x 1 x n. A layer
    // without inbound layers counts as not fed by a CNP layer.
    static bool is_flat_single_input(const Layer& layer);
};

}  // namespace vorna::v1
