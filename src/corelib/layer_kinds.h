#pragma once

// Per-kind rules of the layer kinds, used by layer.cpp: what each kind
// targets, its parameter defaults and required parameters, and how it
// computes its dimensions, bit widths, calculated parameters, operation
// count and variables when it is built. Internal to the core library.

#include <memory>
#include <string>
#include <vector>

#include "corelib/layer.h"
#include "corelib/tensor.h"

namespace vorna::layer_kinds {

struct KindInfo {
    LayerType type;
    TargetComponent target;
    // See Layer::output_format.
    int output_format;
    bool depthwise;
};

// Null for a layer type without a concrete layer class.
const KindInfo* find(LayerType type);

// Adds the defaults of the kind's optional parameters that are absent.
void apply_defaults(LayerParams& params);

// InputData, InputConvolutional, and a Quantizer whose parameters hold the
// input size.
bool is_input_layer(const LayerParams& params);

// Computes what building the layer gives. Throws std::invalid_argument for
// a missing required parameter or a negative size parameter.
LayerBuildState compute(const LayerParams& params,
                        const std::vector<std::shared_ptr<Layer>>& inbound);

// Refuses, with std::invalid_argument naming the layer and the shapes, a build that the kind
// cannot evaluate: an Add whose two inputs differ in shape, a FullyConnected layer without
// units, a FullyConnected or Dense1D layer whose weights (flattened input size times units)
// are more than a tensor can hold.
void check_build(const std::string& name, const LayerParams& params, const LayerBuildState& state);

// One variable a kind creates when it is built.
struct VariableSpec {
    std::string name;
    TensorType type;
    std::vector<uint32_t> dims;
    Dense::Layout layout;
    // The value of every element (0 for zero-filled variables).
    double fill;
};

// The variables of a built layer, in creation order. Variables that would
// have a dimension of 0 are left out.
std::vector<VariableSpec> variables(const LayerParams& params, const LayerBuildState& state);

}  // namespace vorna::layer_kinds
