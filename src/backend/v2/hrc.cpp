#include "backend/v2/hrc.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "corelib/dma.h"
#include "corelib/variables.h"
#include "program/hrc_formats.h"

namespace vorna::v2 {

namespace {

// Word 0 of the register block.
constexpr RegDetail HRC0_KERNEL_SIZE{4, 3};
constexpr RegDetail HRC0_OUTPUT_WIDTH{8, 2};
constexpr RegDetail HRC0_RELU{10, 1};
constexpr RegDetail HRC0_LUT{11, 1};
constexpr RegDetail HRC0_SINGLE_CHANNEL{12, 1};
constexpr RegDetail HRC0_NO_PADDING{13, 1};
constexpr RegDetail HRC0_LUT_2{15, 1};
constexpr RegDetail HRC0_MAX_POOLING{16, 1};
constexpr RegDetail HRC0_MAX_POOLING_2{17, 1};
constexpr RegDetail HRC0_NO_PADDING_2{20, 1};
constexpr RegDetail HRC0_NO_PADDING_3{21, 1};
constexpr RegDetail HRC0_POOL_SIZE{24, 4};
constexpr RegDetail HRC0_POOL_SIZE_2{28, 4};
// Word 1.
constexpr RegDetail HRC1_KERNEL_STRIDE{0, 5};
constexpr RegDetail HRC1_KERNEL_STRIDE_2{8, 5};
constexpr RegDetail HRC1_POOL_STRIDE{16, 4};
constexpr RegDetail HRC1_POOL_STRIDE_2{24, 4};
// Word 2: one byte per padding-value element.
constexpr RegDetail HRC2_PADDING_VALUE[3] = {{0, 8}, {8, 8}, {16, 8}};
// Word 3.
constexpr RegDetail HRC3_PAD_LEFT{0, 2};
constexpr RegDetail HRC3_PAD_RIGHT{4, 2};
constexpr RegDetail HRC3_PAD_TOP{8, 2};
constexpr RegDetail HRC3_PAD_BOTTOM{12, 2};
// Word 4.
constexpr RegDetail HRC4_ZERO{0, 9};
constexpr RegDetail HRC4_FILTERS{16, 9};

uint32_t kernel_size_code(int kernel_size) {
    switch (kernel_size) {
        case 3:
            return 0;
        case 4:
            return 1;
        case 5:
            return 2;
        case 7:
            return 3;
        case 16:
            return 4;
        default:
            throw std::runtime_error("Wrong kernel size at HRC recording.");
    }
}

// Negative pool sizes and strides are written as 0.
uint32_t non_negative(int value) { return value < 0 ? 0u : static_cast<uint32_t>(value); }

std::shared_ptr<const Dense> variable(const Layer& layer, const char* name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

std::shared_ptr<const Dense> optional_variable(const Layer& layer, const char* name) {
    if (!layer.variables()->has(name)) return nullptr;
    return variable(layer, name);
}

}  // namespace

uint32_t get_hrc_sram_size(const Layer& layer) {
    const auto weights = variable(layer, "weights");
    const auto output_shift = variable(layer, "output_shift");
    const auto output_scales = variable(layer, "output_scales");
    const auto max_value_shift = optional_variable(layer, "max_value_shift");
    const auto max_value = optional_variable(layer, "max_value");
    const auto bias_shift = variable(layer, "bias_shift");
    const auto bias = variable(layer, "bias");

    uint32_t total = 0;
    for (const auto& image : format_hrc_weights(*weights)) {
        total += static_cast<uint32_t>(image.size());
    }
    total += static_cast<uint32_t>(format_hrc_activations(*output_shift, *output_scales,
                                                          max_value_shift.get(), max_value.get(),
                                                          *bias_shift, *bias)
                                       .size());
    if (dma::config_block_size_needs_xl(total)) total = (total + 15) / 16 * 16;
    return total;
}

void record_hrc_sram_tracks(program::Record* record, const RegDetail& select,
                            const std::vector<uint32_t>& words) {
    record_hrc_sram_write(record, select, words);
}

void format_hrc_registers(std::vector<uint32_t>* regs, int kernel_size, uint8_t output_bits,
                          int activation, const Shape& input_shape, int padding, int pool_type,
                          int pool_size, int pool_stride, int kernel_stride,
                          const Dense& padding_value, const ConvCalculatedParams& conv_params,
                          int filters) {
    if (regs == nullptr || regs->size() < HRC_REGS_COUNT) {
        throw std::invalid_argument("The HRC register block must hold five words.");
    }
    uint32_t* w = regs->data();

    set_field(&w[0], HRC0_KERNEL_SIZE, kernel_size_code(kernel_size));

    if (output_bits != 4 && output_bits != 8) {
        throw std::runtime_error(
            "Wrong output bitwidth when programming HRC: " + std::to_string(output_bits) +
            "-bit found\n" + "only 8-bit and 4-bit are supported.");
    }
    set_field(&w[0], HRC0_OUTPUT_WIDTH, output_bits == 4 ? 2u : 3u);

    const bool relu = activation == static_cast<int>(ActivationType::ReLU);
    const bool lut = activation == static_cast<int>(ActivationType::LUT);
    set_field(&w[0], HRC0_RELU, relu ? 1u : 0u);
    set_field(&w[0], HRC0_LUT, lut ? 1u : 0u);
    set_field(&w[0], HRC0_LUT_2, lut ? 1u : 0u);

    const uint32_t channels = input_shape.dims[2];
    if (channels != 1 && channels != 3) {
        throw std::runtime_error("Wrong number of channles at HRC recording.");
    }
    set_field(&w[0], HRC0_SINGLE_CHANNEL, channels == 1 ? 1u : 0u);

    if (padding != static_cast<int>(Padding::Valid) && padding != static_cast<int>(Padding::Same) &&
        padding != static_cast<int>(Padding::SameUpper)) {
        throw std::runtime_error("Wrong padding at HRC recording.");
    }
    const uint32_t no_padding = padding == static_cast<int>(Padding::Valid) ? 1u : 0u;
    set_field(&w[0], HRC0_NO_PADDING, no_padding);
    set_field(&w[0], HRC0_NO_PADDING_2, no_padding);
    set_field(&w[0], HRC0_NO_PADDING_3, no_padding);

    set_field(&w[0], HRC0_POOL_SIZE, non_negative(pool_size));
    set_field(&w[0], HRC0_POOL_SIZE_2, non_negative(pool_size));

    if (pool_type != static_cast<int>(PoolType::NoPooling) &&
        pool_type != static_cast<int>(PoolType::Max)) {
        throw std::runtime_error("Wrong pooling at HRC recording.");
    }
    const uint32_t max_pooling = pool_type == static_cast<int>(PoolType::Max) ? 1u : 0u;
    set_field(&w[0], HRC0_MAX_POOLING, max_pooling);
    set_field(&w[0], HRC0_MAX_POOLING_2, max_pooling);

    // A negative stride is passed on as its unsigned value and overflows.
    set_field(&w[1], HRC1_KERNEL_STRIDE, static_cast<uint32_t>(kernel_stride));
    set_field(&w[1], HRC1_KERNEL_STRIDE_2, static_cast<uint32_t>(kernel_stride));
    set_field(&w[1], HRC1_POOL_STRIDE, non_negative(pool_stride));
    set_field(&w[1], HRC1_POOL_STRIDE_2, non_negative(pool_stride));

    const size_t values = padding_value.size();
    for (size_t i = 0; i < 3; ++i) {
        const uint32_t byte = values > i ? padding_value.at<uint8_t>(i) : 0u;
        set_field(&w[2], HRC2_PADDING_VALUE[i], byte);
    }

    const PaddingParams& pad = conv_params.padding;
    set_field(&w[3], HRC3_PAD_LEFT, static_cast<uint32_t>(pad.left));
    set_field(&w[3], HRC3_PAD_RIGHT, static_cast<uint32_t>(pad.right));
    set_field(&w[3], HRC3_PAD_TOP, static_cast<uint32_t>(pad.top));
    set_field(&w[3], HRC3_PAD_BOTTOM, static_cast<uint32_t>(pad.bottom));

    set_field(&w[4], HRC4_ZERO, 0);
    set_field(&w[4], HRC4_FILTERS, static_cast<uint32_t>(filters) - 1u);
}

}  // namespace vorna::v2
