#include "backend/v1/io_recorder.h"

#include <stdexcept>

#include "backend/v1/np_registers.h"
#include "corelib/device.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "program/program_generated.h"
#include "program/record.h"

namespace vorna::v1 {

namespace {

// Input channels above this count are not described in the input setup.
constexpr uint32_t MAX_DESCRIBED_INPUT_CHANNELS = 0x3FFFF;
// Output channels above this count rule out the compact output type.
constexpr uint32_t MAX_COMPACT_OUTPUT_CHANNELS = 0x7FF;

[[noreturn]] void unsupported() { throw std::runtime_error("Unsupported layer type."); }

}  // namespace

bool IoRecorderImpl::is_flat_single_input(const Layer& layer) {
    if (!layer.is_target_component(TargetComponent::FNP)) return false;
    const auto inbound = layer.inbound_layers();
    if (!inbound.empty() && inbound.front() &&
        inbound.front()->is_target_component(TargetComponent::CNP)) {
        return false;
    }
    const Shape in = layer.input_dimensions().front();
    return in.dims[0] == 1 && in.dims[1] == 1;
}

fb::IoType IoRecorderImpl::get_input_type(const Layer& layer) const {
    if (device_.version().product_id != 0x00 &&
        layer.input_dimensions().front().dims[2] <= MAX_DESCRIBED_INPUT_CHANNELS) {
        return fb::IoType::Type0;
    }
    switch (layer.params()->layer_type()) {
        case LayerType::InputConvolutional:
            return fb::IoType::Type0;
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
            return fb::IoType::Type2;
        case LayerType::FullyConnected:
            return is_flat_single_input(layer) ? fb::IoType::Type1 : fb::IoType::Type2;
        default:
            unsupported();
    }
}

fb::IoType IoRecorderImpl::get_output_type(const Layer& layer, int8_t input_type) const {
    const bool compact = device_.version().product_id > 0xA0 && input_type == 0 &&
                         layer.output_dimensions().dims[2] <= MAX_COMPACT_OUTPUT_CHANNELS;
    switch (layer.params()->layer_type()) {
        case LayerType::FullyConnected:
            return compact ? fb::IoType::Type0 : fb::IoType::Type1;
        case LayerType::InputConvolutional:
            return fb::IoType::Type3;
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
            return compact && layer.activation_enabled() ? fb::IoType::Type0 : fb::IoType::Type2;
        default:
            unsupported();
    }
}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool first_hrc, bool input_type0,
                                                            bool last_hrc, bool output_type0, bool,
                                                            const Shape& input,
                                                            const Shape& output) const {
    auto record = program::new_record(device_.version());
    const auto write = [&record](uint16_t address, uint32_t value) {
        record->add_np_track(hw::Ident{}, dma::IpRegisters, address, {value}, true, true);
    };

    uint32_t mode = 0;
    set_field(&mode, RegDetail{0, 1}, first_hrc ? 0 : 1);
    set_field(&mode, RegDetail{3, 1}, output_type0 ? 1 : 0);
    set_field(&mode, RegDetail{4, 1}, input_type0 ? 1 : 0);
    set_field(&mode, RegDetail{8, 1}, last_hrc ? 1 : 0);
    write(SCC_MODE_ADDR, mode);

    if (input_type0) {
        uint32_t channels = 0;
        put_field(&channels, RegDetail{0, 18}, input.dims[2]);
        write(SCC_INPUT_CHANNELS_ADDR, channels);
    }
    if (output_type0) {
        uint32_t size = 0;
        if (output.dims[0] != 1 || output.dims[1] != 1) {
            put_field(&size, RegDetail{20, 11}, output.dims[2]);
            put_field(&size, RegDetail{0, 20}, uint64_t{output.dims[2]} * output.dims[1]);
        }
        write(SCC_OUTPUT_SIZE_ADDR, size);
    }
    return record;
}

std::vector<RegisterWrite> IoRecorderImpl::record_epg(const Layer& first_layer, uint8_t lowest,
                                                      uint8_t highest, uint8_t count, bool,
                                                      bool multi_pass, bool input_type0) const {
    const uint32_t mode = 0x20200u | (input_type0 ? 1u << 12 : 0u) |
                          (is_flat_single_input(first_layer) ? 1u << 1 : 0u);
    const uint32_t columns =
        static_cast<uint32_t>(highest) << 24 | static_cast<uint32_t>(lowest) << 16 | 1u;
    return {
        {0x00, mode},
        {0x0C, multi_pass ? 0x012C0010u : 0x00000010u},
        {0x10, columns},
        {0x14, static_cast<uint32_t>(count) << 8},
        {0x18, (static_cast<uint32_t>(count) << 24) + 0x00FE0001u},
        {0x1C, 0x027FFFFFu},
    };
}

}  // namespace vorna::v1
