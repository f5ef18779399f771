#include "backend/v2/tnp_b_constraints.h"

#include <string>
#include <vector>

#include "backend/v2/cnp_registers.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna::v2 {

namespace {

// TNP-B limits.
constexpr uint32_t kMaxInputWidth = 4096;
constexpr uint32_t kMaxInputHeight = 4096;
constexpr uint32_t kMaxInputChannels = 2048;
constexpr uint32_t kMaxFilters = 2048;
// A skip-DMA row of the layer's input, in bits plus the rounding to 32-bit
// words, must stay within 15 bits.
constexpr uint32_t kMaxSkipDmaRowBits = 32767;
constexpr uint32_t kMaxSkipDmaRowWords = 1024;

MappingStatus check_tnp_b_constraints(const HardwareConstraints& constraints, const Layer& layer) {
    using std::to_string;
    MappingStatus status;
    auto fail = [&](const std::string& message) { status += MappingStatus(layer, message); };

    const uint32_t input_bits = layer.input_bits();
    if (input_bits != 8) fail("Input should be 8-bit.");
    if (layer.output_bits() != 8) fail("Output should be 8-bit.");

    const std::vector<Shape> inputs = layer.input_dimensions();
    const Shape& input = inputs.at(0);
    const uint32_t x = input.dims[0];
    const uint32_t y = input.dims[1];
    const uint32_t c = input.dims[2];
    MappingStatus size_status;
    if (x > kMaxInputWidth) {
        size_status +=
            MappingStatus(layer, "The maximum input width is " + to_string(kMaxInputWidth) +
                                     " (got " + to_string(x) + ").");
    }
    if (y > kMaxInputHeight) {
        size_status +=
            MappingStatus(layer, "The maximum input height is " + to_string(kMaxInputHeight) +
                                     " (got " + to_string(y) + ").");
    }
    if (c > kMaxInputChannels) {
        size_status +=
            MappingStatus(layer, "The maximum input channel value is " +
                                     to_string(kMaxInputChannels) + " (got " + to_string(c) + ").");
    }
    status += size_status;

    const LayerParams& params = *layer.params();
    if (params.get("weights_bits") != 8) fail("Only 8-bit weights are supported.");

    const uint32_t filters =
        params.has("filters") ? static_cast<uint32_t>(params.get("filters")) : c;
    if (filters > kMaxFilters) {
        fail("The maximum number of filters is " + to_string(kMaxFilters) + " (got " +
             to_string(filters) + ").");
    }

    const uint32_t row_bits = input_bits * c + 31;
    if (row_bits > kMaxSkipDmaRowBits) {
        fail("The skip DMA horizontal dimension must be smaller than " +
             to_string(kMaxSkipDmaRowWords) + " (got " + to_string(row_bits / 32) + ").");
    }

    const uint32_t shift_words =
        cnp_tnp_input_shift_24b_size(*Tensor::ensure_dense(layer.variables()->get("input_shift")));
    if (shift_words > constraints.input_shift_sram_size) {
        fail("Input shift exceeds memory. Maximum size is " +
             to_string(3 * constraints.input_shift_sram_size) + " bytes. (got " +
             to_string(3 * shift_words) + " bytes).");
    }
    return status;
}

}  // namespace

MappingStatus check_buffer_temp_conv_constraints(const HardwareConstraints& constraints,
                                                 const Layer& layer) {
    return check_tnp_b_constraints(constraints, layer);
}

MappingStatus check_depthwise_buffer_temp_conv_constraints(const HardwareConstraints& constraints,
                                                           const Layer& layer) {
    return check_tnp_b_constraints(constraints, layer);
}

}  // namespace vorna::v2
