#include "backend/v2/dense1d_constraints.h"

#include <string>

#include "backend/v2/fnp_formats.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna::v2 {

namespace {

// Whether the packing suits the kind of the layer that feeds the FNP.
bool packing_matches_source(InputPadding packing, const Layer* previous) {
    auto targets = [previous](TargetComponent t) {
        return previous != nullptr && previous->is_target_component(t);
    };
    switch (packing) {
        case fnp::Packed:
            return previous == nullptr || targets(TargetComponent::None) ||
                   targets(TargetComponent::FNP);
        case fnp::RowPadded:
            return targets(TargetComponent::CNP) || targets(TargetComponent::TNP_B) ||
                   targets(TargetComponent::HRC);
        case fnp::RunPadded:
            return targets(TargetComponent::CNP) || targets(TargetComponent::TNP_B);
        default:
            return false;
    }
}

}  // namespace

MappingStatus check_fnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                    const Layer* previous) {
    MappingStatus status;
    auto fail = [&](const std::string& message) { status += MappingStatus(layer, message); };

    const bool first_layer = previous == nullptr;
    const uint8_t in_bits = layer.input_bits();
    const uint8_t out_bits = layer.output_bits();
    const int weights_bits = layer.params()->get("weights_bits");

    if (in_bits != 4 && in_bits != 8) fail("Input should be 4-bit or 8-bit.");
    if (out_bits < 8 && out_bits != 4) fail("Output bits should be 4, 8 or > 8.");

    if (layer.activation_enabled()) {
        if (out_bits != 4 && out_bits != 8) {
            fail("With activation output bitwidth should be 4 or 8.");
        } else if (out_bits == 4 && layer.params()->get_or("activation", 0) !=
                                        static_cast<int>(ActivationType::ReLU)) {
            fail("4-bit activation is not supported with LUT.");
        }
    } else if (out_bits != 8 && out_bits != 28 && out_bits != 32) {
        fail("Without activation output bitwidth should be 8, 28 or 32.");
    }

    const InputPadding packing = fnp_input_packing(layer, first_layer);
    if (!packing_matches_source(packing, previous)) {
        fail("Input dimensions are too large to fit in a FNP. The maximum value is " +
             std::to_string(2048) + ".");
    }

    if (weights_bits != 4 && weights_bits != 8) {
        fail("Weights bitwidth should be 4-bit or 8-bit.");
    } else if (weights_bits == 4 && out_bits == 8) {
        fail("With 4-bit weights, output must be 4-bit or 32-bit.");
    }

    if (static_cast<int>(in_bits) < weights_bits) fail("Input bits should be >= weights bits.");

    if (status.error) return status;

    const auto input_shift = Tensor::ensure_dense(layer.variables()->get("input_shift"));
    const Shape shape = layer.input_dimensions().at(0);
    const uint32_t shift_words = fnp_input_shift_24b_size(*input_shift, shape, packing, in_bits);
    if (shift_words > constraints.input_shift_sram_size) {
        fail("Input shift exceeds memory. Maximum size is " +
             std::to_string(3u * constraints.input_shift_sram_size) + " bytes. (got " +
             std::to_string(3u * shift_words) + " bytes).");
    }

    const uint32_t input_words = get_fnp_input_size(layer, first_layer);
    if (input_words > constraints.fnp_input_sram_size) {
        fail("Input size exceeds memory. Maximum size is " +
             std::to_string(4u * constraints.fnp_input_sram_size) + " bytes. (got " +
             std::to_string(4u * input_words) + " bytes).");
    }
    return status;
}

}  // namespace vorna::v2
