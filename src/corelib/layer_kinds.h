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
    // The kind's name, as Python spells it.
    const char* name;
    TargetComponent target;
    // See Layer::output_format.
    int output_format;
    bool depthwise;
};

// Null for a layer type without a concrete layer class.
const KindInfo* find(LayerType type);
// The kind's name; "Unknown" for a layer type without a concrete layer class.
const char* kind_name(LayerType type);

// Adds the defaults of the kind's optional parameters that are absent.
void apply_defaults(LayerParams& params);

// InputData, InputConvolutional, and a Quantizer whose parameters hold the
// input size.
bool is_input_layer(const LayerParams& params);

// Computes what building the layer `name` gives. Throws std::invalid_argument, naming the
// layer, its kind and every parameter missing, when required parameters are missing; for a
// negative size parameter; and, naming the layer and the shape, for an output dimension
// formed from sizes (an input dimension times a stride, two channel counts joined) that does
// not fit 32 bits. Operation counts past 64 bits stick at the largest 64-bit value.
LayerBuildState compute(const std::string& name, const LayerParams& params,
                        const std::vector<std::shared_ptr<Layer>>& inbound);

// Refuses, with std::invalid_argument naming the layer and the shapes, a build that the kind
// cannot evaluate: an Add whose two inputs differ in shape, a FullyConnected layer without
// units, a FullyConnected or Dense1D layer whose weights (flattened input size times units)
// are more than a tensor can hold.
void check_build(const std::string& name, const LayerParams& params, const LayerBuildState& state);

// Refuses, with std::invalid_argument naming the layer, its kind and its output shape, an
// output with a dimension of 0.
void check_output_not_empty(const std::string& name, const LayerParams& params,
                            const LayerBuildState& state);

// One variable a kind creates when it is built.
struct VariableSpec {
    std::string name;
    TensorType type;
    std::vector<uint32_t> dims;
    Dense::Layout layout;
    // The value of every element (0 for zero-filled variables).
    double fill;
};

// The variables of the built layer `name`, in creation order. Variables that would have a
// dimension of 0 are left out; one with more elements than a tensor can hold is refused with
// std::invalid_argument naming the layer, the variable and its shape.
std::vector<VariableSpec> variables(const std::string& name, const LayerParams& params,
                                    const LayerBuildState& state);

}  // namespace vorna::layer_kinds
