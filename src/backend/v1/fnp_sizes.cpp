#include "backend/v1/fnp_sizes.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "corelib/dma.h"
#include "corelib/layer.h"

namespace vorna::v1 {

namespace {

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();

uint32_t saturate(uint64_t value) { return value > kMax32 ? uint32_t(kMax32) : uint32_t(value); }

// a x b, saturated at 64 bits (every caller saturates further to 32 bits).
uint64_t mul_sat(uint64_t a, uint64_t b) {
    uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<uint64_t>::max();
    return out;
}

uint32_t dim(const Shape& shape, uint32_t i) { return i < shape.size() ? shape[i] : 0; }

// Bit planes per 32 inputs.
uint32_t fnp_planes_per_group(int weights_bits) {
    if (weights_bits < 1) {
        throw std::invalid_argument("FNP weights need at least 1 bit (got " +
                                    std::to_string(weights_bits) + ").");
    }
    return weights_bits == 1 ? 1u : 2u * uint32_t(weights_bits) - 2u;
}

}  // namespace

uint32_t fnp_sram_size(const Shape& shape, int weights_bits) {
    const uint64_t planes = fnp_planes_per_group(weights_bits);
    const uint64_t neurons = dim(shape, 0);
    const uint64_t groups = (uint64_t(dim(shape, 1)) + 31) >> 5;
    const uint64_t per_neuron = groups * planes + 4;  // at most 2^27 * 2^32: no overflow
    return saturate(mul_sat(neurons, per_neuron));
}

uint32_t get_fnp_input_size(const Layer& layer) {
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const Shape& in = inputs.front();
    const uint64_t values = mul_sat(mul_sat(dim(in, 0), dim(in, 1)), dim(in, 2));
    // values / 32 rounded up, without the + 31 passing 64 bits.
    return saturate(values / 32 + (values % 32 != 0 ? 1 : 0));
}

uint32_t get_fnp_sram_size(const Layer& layer) {
    const Variables* variables = layer.variables();
    const Shape dims = variables->get("weights")->dimensions();
    const int weights_bits = layer.params()->get("weights_bits");
    const uint32_t words = fnp_sram_size(dims, weights_bits);
    if (!dma::config_block_size_needs_xl(words)) return words;
    // A saturated size stays saturated rather than wrapping to 0.
    if (words > kMax32 - 15) return words;
    return (words + 15) & ~uint32_t{15};
}

}  // namespace vorna::v1
