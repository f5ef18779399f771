#include "backend/v1/fnp_ram.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "backend/v1/fnp_registers.h"
#include "backend/v1/fnp_sizes.h"
#include "corelib/tensor.h"
#include "program/register.h"

namespace vorna::v1 {

namespace {

constexpr int32_t kThresholdMin = -524288;  // 20-bit two's complement range
constexpr int32_t kThresholdMax = 524287;
constexpr uint32_t kStepMax = 0xFFFFF;
constexpr uint32_t kField20 = 0xFFFFF;
// Threshold word of a neuron without activation: the most negative threshold.
constexpr uint32_t kNoActivationThreshold = 0x80000;

// Index of plane word `index`, refused past the image.
uint32_t& plane_word(std::vector<uint32_t>& image, uint64_t index) {
    if (index >= image.size()) {
        throw std::out_of_range("FNP RAM plane word " + std::to_string(index) +
                                " is past the image of " + std::to_string(image.size()) +
                                " words.");
    }
    return image[size_t(index)];
}

}  // namespace

std::vector<uint32_t> format_fnp_ram(const Dense& weights, const Dense& thresholds,
                                     const Dense& steps, int weights_bits, bool activation) {
    const Shape& shape = weights.dimensions();
    const uint32_t words = fnp_sram_size(shape, weights_bits);
    if (words == std::numeric_limits<uint32_t>::max()) {
        throw std::length_error("The FNP RAM image of this layer does not fit 32-bit sizes.");
    }
    std::vector<uint32_t> image(words, 0);
    if (words == 0) return image;

    const uint32_t neurons = shape.size() > 0 ? shape[0] : 0;
    const uint32_t inputs = shape.size() > 1 ? shape[1] : 0;
    const uint64_t groups = (uint64_t(inputs) + 31) >> 5;
    const uint32_t planes = weights_bits == 1 ? 1u : uint32_t(weights_bits) - 1u;
    const uint64_t block = groups * planes * (weights_bits == 1 ? 1u : 2u) + 4;

    const int8_t* data = weights.data<int8_t>();
    const std::vector<uint32_t>& strides = weights.strides();
    for (uint32_t n = 0; n < neurons; ++n) {
        const uint64_t base = uint64_t(n) * block;
        for (uint32_t j = 0; j < inputs; ++j) {
            const int w = data[size_t(n) * strides[0] + size_t(j) * strides[1]];
            if (w < 0 && weights_bits == 1) {
                // 1-bit neurons have no negative half: the plane would fall
                // into the next neuron's block.
                throw FnpError("1-bit weights should be 0 or 1. Receives weight " +
                               std::to_string(w) + ".");
            }
            const uint32_t magnitude = uint32_t(w < 0 ? -w : w);
            const uint64_t half = w < 0 ? groups * planes : 0;
            const uint64_t first = base + 4 + half + (j >> 5) * planes;
            const uint32_t bit = 1u << (j & 31);
            for (uint32_t k = 0; k < planes; ++k) {
                if ((magnitude >> k) & 1u) plane_word(image, first + k) |= bit;
            }
        }
    }

    for (uint32_t n = 0; n < neurons; ++n) {
        uint32_t& threshold_word = image[size_t(uint64_t(n) * block)];
        uint32_t& step_word = image[size_t(uint64_t(n) * block + 1)];
        if (!activation) {
            threshold_word = (threshold_word & ~kField20) | kNoActivationThreshold;
            step_word &= ~kField20;
            continue;
        }
        const int32_t t = thresholds.at<int32_t>(n);
        if (t < kThresholdMin || t > kThresholdMax) {
            panic("%d cannot fit in a %d bits signed integer.", t, 20);
        }
        threshold_word = (threshold_word & ~kField20) | (uint32_t(t) & kField20);
        const int32_t s = steps.at<int32_t>(n);
        if (uint32_t(s) > kStepMax) {
            throw FnpError("act_step should be between 0 and 65535. Receives act_step " +
                           std::to_string(s / 16) + ".");
        }
        step_word = (step_word & ~kField20) | uint32_t(s);
    }
    return image;
}

}  // namespace vorna::v1
