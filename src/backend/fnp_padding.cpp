#include "backend/fnp_padding.h"

#include <stdexcept>

#include "corelib/layer.h"

namespace vorna::v2 {

namespace {

// Rounds up to a multiple of 4 in 32-bit arithmetic; a rounding that wraps
// around leaves the padding undefined.
uint32_t round_up_to_4(uint32_t value) {
    const uint32_t rounded = (value + 3u) & ~3u;
    if (rounded < value) {
        throw std::runtime_error("Error when formatting the FNP inputs, the padding is undefined.");
    }
    return rounded;
}

// The FNP input packet memory holds at most this many units.
constexpr uint32_t kMaxPacketUnits = 2048;

}  // namespace

InputPadding get_fnp_supported_padding(const Layer& layer, bool standalone) {
    // All arithmetic below is unsigned 32-bit and wraps like the hardware's.
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) {
        throw std::runtime_error("Cannot choose the FNP input padding of layer '" +
                                 layer.get_name() + "': it has no input dimensions.");
    }
    const uint32_t d0 = inputs[0][0];
    const uint32_t d1 = inputs[0][1];
    const uint32_t d2 = inputs[0][2];
    const uint32_t bits = layer.input_bits();
    const uint32_t wbits = static_cast<uint32_t>(layer.params()->get("weights_bits"));

    bool from_cnp = false;
    bool from_hrc = false;
    if (!standalone) {
        const auto inbound = layer.inbound_layers();
        if (inbound.empty() || !inbound[0]) {
            throw std::runtime_error("Cannot choose the FNP input padding of layer '" +
                                     layer.get_name() + "': it has no inbound layer.");
        }
        const Layer& src = *inbound[0];
        from_cnp = src.is_target_component(TargetComponent::CNP) ||
                   src.is_target_component(TargetComponent::TNP_B);
        from_hrc = src.is_target_component(TargetComponent::HRC);
    }

    if (!from_cnp && !from_hrc) {
        // Packing 1: the whole input as one run of bits.
        const uint32_t n = d0 * d1 * d2;
        const uint32_t b = (bits * n + 7u) / 8u;
        const uint32_t a = round_up_to_4(b);
        return (n - b + a) <= kMaxPacketUnits ? 1 : 0;
    }

    if (bits == 8 && wbits == 8 && from_cnp) {
        // Packing 3: each run of d0 bytes padded to whole words.
        const uint32_t u = (8u * d0 + 7u) / 8u;
        const uint32_t a = round_up_to_4(u);
        if ((d0 - u + a) * d2 * d1 <= kMaxPacketUnits) return 3;
    }

    // Packing 2: each run of d2*d0 elements padded to whole words.
    const uint32_t m = d2 * d0;
    const uint32_t b = (bits * m + 7u) / 8u;
    const uint32_t a = round_up_to_4(b);
    return (m - b + a) * d1 <= kMaxPacketUnits ? 2 : 0;
}

}  // namespace vorna::v2
