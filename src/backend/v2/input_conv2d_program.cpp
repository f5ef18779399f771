#include "backend/v2/input_conv2d_program.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "backend/v2/hrc.h"
#include "backend/v2/shift_lut_formats.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "program/hrc_formats.h"

namespace vorna::v2 {

namespace {

const hw::Ident kHrcIdent{};

std::shared_ptr<const Dense> variable(const Layer& layer, const char* name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

std::shared_ptr<const Dense> optional_variable(const Layer& layer, const char* name) {
    if (!layer.variables()->has(name)) return nullptr;
    return variable(layer, name);
}

// A variable the LUT activation cannot do without.
const Dense& lut_variable(const Layer& layer, const std::shared_ptr<const Dense>& tensor,
                          const char* name) {
    if (!tensor) {
        throw std::runtime_error("InputConv2D layer '" + layer.get_name() +
                                 "' has a LUT activation but no variable '" + name + "'.");
    }
    return *tensor;
}

}  // namespace

std::unique_ptr<program::Record> record_program_input_conv2d_layer(const Device& device,
                                                                   const Layer& layer) {
    const LayerParams& params = *layer.params();
    const int filters = params.get("filters");
    const int kernel_size = params.get("kernel_size");
    const uint8_t output_bits = layer.output_bits();
    const int activation = params.get("activation");
    const std::vector<Shape> inputs = layer.input_dimensions();
    const Shape& input_shape = inputs.at(0);
    const int padding = params.get("padding");
    const int pool_type = params.get("pool_type");
    const int pool_stride = params.get("pool_stride");
    const int pool_size = params.get("pool_size");
    const int kernel_stride = params.get("kernel_stride");
    const auto padding_value = variable(layer, "padding_value");
    const ConvCalculatedParams& conv =
        dynamic_cast<const HasConvParams&>(layer).conv_calculated_params();

    std::vector<uint32_t> regs{1, 0, 0, 0, 0};
    format_hrc_registers(&regs, kernel_size, output_bits, activation, input_shape, padding,
                         pool_type, pool_size, pool_stride, kernel_stride, *padding_value, conv,
                         filters);

    const auto weights = variable(layer, "weights");
    const auto output_shift = variable(layer, "output_shift");
    const auto output_scales = variable(layer, "output_scales");
    const auto max_value = optional_variable(layer, "max_value");
    const auto max_value_shift = optional_variable(layer, "max_value_shift");
    const auto activation_shift = optional_variable(layer, "activation_shift");
    const auto activation_scales = optional_variable(layer, "activation_scales");
    const auto bias_shift = variable(layer, "bias_shift");
    const auto bias = variable(layer, "bias");

    const std::vector<std::vector<uint32_t>> images = format_hrc_weights(*weights);

    auto record = program::new_record(device.version());
    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_BLOCK_OFFSET, regs, true, true);
    record_hrc_sram_tracks(record.get(), HRC_SRAM_SELECT_R, images.at(0));
    record_hrc_sram_tracks(record.get(), HRC_SRAM_SELECT_G, images.at(1));
    record_hrc_sram_tracks(record.get(), HRC_SRAM_SELECT_B, images.at(2));

    std::vector<uint32_t> act_words;
    if (activation == static_cast<int>(ActivationType::LUT)) {
        const auto lut_values = optional_variable(layer, "lut_values");
        const std::vector<uint32_t> lut =
            format_lut_values_for_hrc(&lut_variable(layer, lut_values, "lut_values"));
        record_hrc_sram_tracks(record.get(), HRC_SRAM_SELECT_LUT, lut);
        act_words =
            format_hrc_lut_variables(*output_scales, *bias, *bias_shift, *output_shift,
                                     lut_variable(layer, activation_shift, "activation_shift"),
                                     lut_variable(layer, activation_scales, "activation_scales"));
    } else {
        act_words = format_hrc_activations(*output_shift, *output_scales, max_value_shift.get(),
                                           max_value.get(), *bias_shift, *bias);
    }
    record_hrc_sram_tracks(record.get(), HRC_SRAM_SELECT_ACT, act_words);

    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_BLOCK_OFFSET, {regs[0] & ~1u}, true,
                         true);
    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_CONTROL_OFFSET, {1u}, true, true);
    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_CONTROL_OFFSET, {0u}, true, true);
    return record;
}

}  // namespace vorna::v2
