#include "backend/v2/input_conv2d_constraints.h"

#include <algorithm>
#include <string>
#include <vector>

#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna::v2 {

namespace {

// HRC limits.
constexpr int kMaxKernelStride = 6;
constexpr uint32_t kMinInputSize = 5;
constexpr uint32_t kMaxInputHeight = 384;
constexpr int kMaxFilters = 512;

bool all_zero(const Dense& weights) {
    const int8_t* data = weights.data<int8_t>();
    const size_t n = weights.size();
    return std::all_of(data, data + n, [](int8_t v) { return v == 0; });
}

}  // namespace

MappingStatus check_input_conv2d_constraints(const Layer& layer) {
    using std::to_string;
    const LayerParams& params = *layer.params();
    MappingStatus status;
    auto fail = [&](const std::string& message) { status += MappingStatus(layer, message); };

    const int kernel_size = params.get("kernel_size");
    if (kernel_size != 3 && kernel_size != 4 && kernel_size != 5 && kernel_size != 7) {
        fail("Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. " +
             to_string(kernel_size) + " given.");
    }

    const int max_stride = std::min(kernel_size, kMaxKernelStride);
    if (params.get("kernel_stride") > max_stride) {
        fail("For a kernel size " + to_string(kernel_size) +
             ", the kernel stride must be smaller than " + to_string(max_stride) + ".");
    }

    const int pool_type = params.get("pool_type");
    if (pool_type == static_cast<int>(PoolType::Max)) {
        const int pool_size = params.get("pool_size");
        const int pool_stride = params.get("pool_stride");
        const bool supported = pool_stride == 2 && (pool_size == 2 || pool_size == 3);
        if (!supported) {
            fail(
                "Unsupported max-pooling size, max-pooling stride combinaison. The only "
                "supported combinaison of (Pool_size, Pool_stride) are :(2, 2) or (3, 2). "
                "Received (" +
                to_string(pool_size) + ", " + to_string(pool_stride) + ").");
        }
    }

    const std::vector<Shape> inputs = layer.input_dimensions();
    const Shape& input = inputs.at(0);
    if (input.dims[0] < kMinInputSize) {
        fail("Unsupported input size. Received: " + to_string(input.dims[0]) +
             " as first dimension.\n The first dimension should be >= " + to_string(kMinInputSize) +
             ".");
    }
    if (input.dims[1] < kMinInputSize || input.dims[1] > kMaxInputHeight) {
        fail("Unsupported input size. Received: " + to_string(input.dims[1]) +
             " as second dimension.\n The second dimension should be between " +
             to_string(kMinInputSize) + " and " + to_string(kMaxInputHeight) + ".");
    }

    if (!layer.activation_enabled()) {
        fail(
            "The first convolutional layer of a model can only be mapped if its activations "
            "are enabled.");
    } else {
        const int output_bits = params.get("output_bits");
        if (output_bits != 4 && output_bits != 8) {
            fail("Output should be 4-bit or 8-bit. " + to_string(output_bits) + " given.");
        }
        if (params.get("activation") == static_cast<int>(ActivationType::LUT)) {
            if (output_bits == 4) fail("4-bit activation is not supported with LUT.");
            if (pool_type != static_cast<int>(PoolType::NoPooling)) {
                fail("Max pooling is not supported with activation LUT.");
            }
        }
    }

    const int filters = params.get("filters");
    if (filters < 1 || filters > kMaxFilters) {
        fail("The filters number should be set between 1 and " + to_string(kMaxFilters) + ". " +
             to_string(filters) + " given.");
    }

    if (all_zero(*Tensor::ensure_dense(layer.variables()->get("weights")))) {
        fail("All weights cannot be zeroes.");
    }

    if (params.get("weights_bits") != 8) fail("Only 8-bit weigths are supported.");

    if (params.get("padding") == static_cast<int>(Padding::SameUpper)) {
        if (kernel_size != 3 && kernel_size != 5 && kernel_size != 7) {
            fail("With SameUpper padding only kernels 3, 5, 7 are supported.");
        }
        if (params.get("kernel_stride") != 2) {
            fail("With SameUpper padding only stride 2 is supported.");
        }
        if (layer.activation_enabled() && layer.output_bits() != 8) {
            fail("With SameUpper padding only 8-bit activations are supported.");
        }
    }
    return status;
}

}  // namespace vorna::v2
