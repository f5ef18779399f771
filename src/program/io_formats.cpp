#include "program/io_formats.h"

#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "program/register.h"

namespace vorna::io {

namespace {

// Output kind of v1 layers: thresholded potentials, read with shifts and scales.
constexpr int kThresholdedOutput = 1;

bool is_type(const Layer& layer, LayerType type) { return layer.params()->layer_type() == type; }

std::shared_ptr<const Dense> variable(const Layer& layer, const char* name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

size_t first_dimension(const Dense& tensor) {
    const Shape& dims = tensor.dimensions();
    return dims.size() == 0 ? 0 : dims[0];
}

// The first dims[0] values of a variable, of element type T.
template <class T>
std::vector<T> leading_values(const Layer& layer, const char* name) {
    const std::shared_ptr<const Dense> tensor = variable(layer, name);
    const T* data = tensor->data<T>();  // checks the element type
    const size_t count = first_dimension(*tensor);
    if (count > tensor->size()) panic("Coordinates are out-of-range");
    return std::vector<T>(data, data + count);
}

bool has_output_formats(const Layer& layer) {
    return !layer.activation_enabled() && layer.output_format() == kThresholdedOutput;
}

}  // namespace

uint8_t input_bits(const Layer& layer) {
    return is_type(layer, LayerType::Quantizer) ? layer.output_bits() : layer.input_bits();
}

bool input_sign(const Layer& layer) {
    if (is_type(layer, LayerType::Quantizer)) return layer.output_signed();
    if (input_bits(layer) < 5) return false;
    return !layer.is_target_component(TargetComponent::HRC);
}

bool input_channels_first(const Layer& layer) {
    return is_type(layer, LayerType::Quantizer) && layer.params()->get("channels_first") != 0;
}

std::vector<float> format_input_scales(const Layer& layer) {
    if (!is_type(layer, LayerType::Quantizer)) return {};
    return leading_values<float>(layer, "scales");
}

std::vector<uint8_t> format_input_zero_points(const Layer& layer) {
    if (!is_type(layer, LayerType::Quantizer)) return {};
    return leading_values<uint8_t>(layer, "zero_points");
}

std::vector<int32_t> format_output_shift(const Layer& layer) {
    if (is_type(layer, LayerType::Dequantizer)) {
        return std::vector<int32_t>(first_dimension(*variable(layer, "scales")), 0);
    }
    if (!has_output_formats(layer)) return {};
    return leading_values<int32_t>(layer, "threshold");
}

std::vector<float> format_output_scales(const Layer& layer) {
    if (is_type(layer, LayerType::Dequantizer)) return leading_values<float>(layer, "scales");
    if (!has_output_formats(layer)) return {};
    std::vector<float> scales = leading_values<float>(layer, "act_step");
    for (float& s : scales) {
        if (s != 0.0f) s = 1.0f / s;  // a zero step stays zero (with its sign)
    }
    return scales;
}

}  // namespace vorna::io
