#include "backend/v2/cnp_variables.h"

namespace vorna {
namespace v2 {

namespace {

// The element data of an optional tensor, with the element type checked and
// the neuron range [first, first + count) checked against its length.
template <class T>
const T* resolve(const Dense* tensor, uint32_t first, uint32_t count) {
    if (tensor == nullptr) return nullptr;
    const T* data = tensor->data<T>();
    if (count != 0 && uint64_t(first) + count > tensor->size()) {
        panic("Coordinates are out-of-range");
    }
    return data;
}

}  // namespace

std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift,
                                               const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift,
                                               const Dense* bias, const Dense* output_scales,
                                               uint32_t first_neuron, uint32_t neuron_count) {
    const uint32_t f = first_neuron;
    const uint32_t n = neuron_count;
    const uint8_t* scales = resolve<uint8_t>(output_scales, f, n);
    const int8_t* bias_v = resolve<int8_t>(bias, f, n);
    const uint8_t* bias_shift_v = resolve<uint8_t>(bias_shift, f, n);
    const uint8_t* max_shift_v = resolve<uint8_t>(max_value_shift, f, n);
    const uint8_t* max_v = resolve<uint8_t>(max_value, f, n);
    const int8_t* out_shift_v = resolve<int8_t>(output_shift, f, n);
    const int8_t* act_shift_v = resolve<int8_t>(activation_shift, f, n);
    const uint8_t* act_scale_v = resolve<uint8_t>(activation_scales, f, n);

    std::vector<uint32_t> words(size_t(2) * n, 0);
    for (uint32_t k = 0; k < n; ++k) {
        const size_t i = size_t(f) + k;
        uint32_t& w0 = words[2 * size_t(k)];
        uint32_t& w1 = words[2 * size_t(k) + 1];
        if (scales) w0 = (w0 & ~0xFFu) | scales[i];
        if (bias_v) set_field(&w0, VARS_W1_BIAS, uint8_t(bias_v[i]));
        if (bias_shift_v) set_field(&w0, VARS_W1_BIAS_SHIFT, bias_shift_v[i]);
        if (out_shift_v) {
            const int s = out_shift_v[i];
            if (s < -32 || s > 31) panic("%d cannot fit in a %d bits signed integer.", s, 6);
            set_field(&w0, VARS_W1_OUT_SHIFT, uint32_t(s) & 0x3Fu);
        }
        if (max_shift_v) set_field(&w0, VARS_W1_MAX_SHIFT, max_shift_v[i]);
        if (act_shift_v) {
            // A 6-bit field split over the two words, taken unchecked from
            // the element's byte.
            const uint32_t a = uint8_t(act_shift_v[i]);
            w0 = (w0 & ~(0x1Fu << 27)) | ((a & 0x1Fu) << 27);
            w1 = (w1 & ~1u) | ((a >> 5) & 1u);
        }
        if (act_scale_v) w1 = (w1 & ~(0xFFu << 1)) | (uint32_t(act_scale_v[i]) << 1);
        if (max_v) w1 = (w1 & ~0xFFu) | max_v[i];
    }
    return words;
}

}  // namespace v2
}  // namespace vorna
