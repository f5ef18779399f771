#include "backend/v2/io_recorder.h"

#include "corelib/device.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "program/program_generated.h"
#include "program/record.h"
#include "program/register.h"

namespace vorna::v2 {

namespace {

// Output channels at and above this count leave bits 20-31 of the output
// size word clear.
constexpr uint32_t SCC_CHANNELS_FIELD_LIMIT = 2048;

}  // namespace

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool first_hrc, bool, bool, bool,
                                                            bool small_output, const Shape& input,
                                                            const Shape& output) const {
    auto record = program::new_record(device_.version());
    const auto write = [&record](uint16_t address, uint32_t value) {
        record->add_np_track(hw::Ident{}, dma::IpRegisters, address, {value}, true, true);
    };

    write(SCC_INPUT_MODE_ADDR, 0x18u | (first_hrc ? 0u : 1u) | (small_output ? 1u << 20 : 0u));
    write(SCC_INPUT_CHANNELS_ADDR, checked_field_value(input.dims[2], 18));

    uint32_t output_size = 0;
    if (output.dims[0] != 1 || output.dims[1] != 1) {
        output_size =
            checked_field_value(static_cast<uint64_t>(output.dims[1]) * output.dims[2], 20);
        if (output.dims[2] < SCC_CHANNELS_FIELD_LIMIT) output_size |= output.dims[2] << 20;
    }
    write(SCC_OUTPUT_SIZE_ADDR, output_size);
    return record;
}

std::vector<RegisterWrite> IoRecorderImpl::record_epg(const Layer& layer, uint8_t lowest,
                                                      uint8_t highest, uint8_t count, bool last_hrc,
                                                      bool, bool) const {
    const uint32_t mode = 0x21200u |
                          (layer.is_target_component(TargetComponent::FNP) ? 1u << 1 : 0u) |
                          (last_hrc ? 1u << 16 : 0u);
    const uint32_t columns =
        static_cast<uint32_t>(highest) << 24 | static_cast<uint32_t>(lowest) << 16 | 1u;
    return {
        {0x00, mode},
        {0x0C, 0x10},
        {0x10, columns},
        {0x14, static_cast<uint32_t>(count) << 8},
        {0x18, (static_cast<uint32_t>(count) << 24) + 0x00FE0001u},
        {0x1C, 0x027FFFFFu},
    };
}

fb::IoType IoRecorderImpl::get_input_type(const Layer&) const { return fb::IoType::Type0; }

fb::IoType IoRecorderImpl::get_output_type(const Layer&, int8_t) const { return fb::IoType::Type0; }

}  // namespace vorna::v2
