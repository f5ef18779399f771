#include "backend/mote/tnp_r_sram.h"

#include <stdexcept>

#include "program/register.h"

namespace vorna::mote {

namespace {

uint32_t ceil_div(uint32_t n, uint32_t d) { return n / d + (n % d != 0 ? 1u : 0u); }

// Values of `bits` bits that one 32-bit word holds. A width of 0 or above 32
// counts one value per word, so that a layer with a width the checks refuse
// still gets a size instead of a division by zero.
uint32_t values_per_32b_word(uint32_t bits) {
    if (bits == 0 || bits > 32) return 1;
    return 32 / bits;
}

// ceil(log2(x)); 0 for x <= 1.
uint32_t ceil_log2(uint32_t x) {
    uint32_t r = 0;
    while (r < 32 && (uint64_t{1} << r) < x) ++r;
    return r;
}

// Index of the highest set bit of a non-zero value.
uint32_t highest_bit(uint64_t v) {
    uint32_t r = 0;
    while (v >>= 1) ++r;
    return r;
}

// A signed value as a two's-complement field of `width` bits.
uint32_t signed_field(int value, int width) {
    const int lo = -(1 << (width - 1));
    const int hi = (1 << (width - 1)) - 1;
    if (value < lo || value > hi) panic("%d cannot fit in a %d bits signed integer.", value, width);
    return static_cast<uint32_t>(value) & ((1u << width) - 1u);
}

uint32_t unsigned_field(int value, int width) {
    if (value < 0 || value > (1 << width) - 1) {
        panic("%d cannot fit in a %d bits unsigned integer.", value, width);
    }
    return static_cast<uint32_t>(value);
}

// Appends one 51-bit (or 64-bit) word as two entries, low half first.
void push_word(WordList& out, uint64_t word) {
    out.push_back(static_cast<uint32_t>(word));
    out.push_back(static_cast<uint32_t>(word >> 32));
}

void append(WordList& out, const WordList& words) {
    out.insert(out.end(), words.begin(), words.end());
}

// Visits `first` and the layers after it until `visit` returns false.
template <class Visit>
void walk_chain(const Layer& first, Visit visit) {
    const Layer* layer = &first;
    std::shared_ptr<Layer> hold;
    while (layer != nullptr) {
        if (!visit(*layer)) return;
        hold = next_chain_layer(*layer);
        layer = hold.get();
    }
}

}  // namespace

std::shared_ptr<Layer> next_chain_layer(const Layer& layer) {
    const auto outbound = layer.outbound_layers();
    if (outbound.empty()) return nullptr;
    return outbound.front();
}

Shape first_input_shape(const Layer& layer) { return layer.input_dimensions().at(0); }

std::shared_ptr<const Dense> layer_variable(const Layer& layer, const std::string& name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

bool is_layer_type(const Layer& layer, LayerType type) {
    return layer.params()->layer_type() == type;
}

uint32_t layer_param_u32(const Layer& layer, const std::string& name) {
    return static_cast<uint32_t>(layer.params()->get(name));
}

uint64_t packed_input_row_words(uint32_t channels, uint32_t bits) {
    const uint64_t n = uint64_t{channels} * bits + 31;
    if (n <= 63) return 1;
    return uint64_t{1} << (highest_bit(n / 32 - 1) + 1);
}

uint32_t packed_input_row_words(const Layer& layer) {
    return static_cast<uint32_t>(
        packed_input_row_words(first_input_shape(layer).dims[2], layer.input_bits()));
}

// --- Formatters ------------------------------------------------------------

WordList pack_fsram_rows(const Dense& weights) {
    const uint32_t rows = weights.dimensions().dims[0];
    const uint32_t cols = weights.dimensions().dims[1];
    const uint32_t blocks = ceil_div(cols, 8);
    WordList words;
    words.reserve(size_t{rows} * blocks * 2);
    for (uint32_t block = 0; block < blocks; ++block) {
        for (uint32_t row = 0; row < rows; ++row) {
            uint64_t word = 0;
            for (uint32_t j = 0; j < 8 && block * 8 + j < cols; ++j) {
                const auto byte = static_cast<uint8_t>(weights.get<int8_t>({row, block * 8 + j}));
                word |= uint64_t{byte} << (8 * j);
            }
            push_word(words, word);
        }
    }
    return words;
}

void format_fsram_weights(WordList& out, const Dense& in_proj, const Dense& out_proj) {
    WordList words = pack_fsram_rows(in_proj);
    append(words, pack_fsram_rows(out_proj));
    append(out, words);
}

void format_tsram_state_updating_var(WordList& out, const Dense& a_imag, const Dense& a_real,
                                     const Dense& iso, const Dense& scale, const Dense& nss) {
    const uint32_t n = a_real.dimensions().dims[0];
    WordList words;
    words.reserve(size_t{n} * 2);
    // Element reads are range-checked: a variable shorter than A_real is an
    // error, not a read past its end.
    for (uint32_t i = 0; i < n; ++i) {
        const auto real = static_cast<uint16_t>(a_real.at<int16_t>(i));
        const auto imag = static_cast<uint16_t>(a_imag.at<int16_t>(i));
        const uint32_t iso_field = signed_field(iso.at<int8_t>(i), 5);
        const uint32_t nss_field = signed_field(nss.at<int8_t>(i), 6);
        const uint64_t word = uint64_t{real} | (uint64_t{imag} << 16) |
                              (uint64_t{iso_field} << 32) | (uint64_t{scale.at<uint8_t>(i)} << 37) |
                              (uint64_t{nss_field} << 45);
        push_word(words, word);
    }
    append(out, words);
}

void format_tsram_output_var(WordList& out, const Dense& scales, const Dense& shift,
                             const Dense& bias, const Dense& bias_shift) {
    const bool wide = scales.type() == TensorType::uint16;
    if (scales.type() != TensorType::uint8 && !wide) {
        throw std::runtime_error(
            "Error when formattting output scale : Unsupported output scales type in TSRAM "
            "formatting.");
    }
    const uint32_t n = scales.dimensions().dims[0];
    WordList words;
    words.reserve(size_t{n} * 2);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t scale = wide ? scales.at<uint16_t>(i) : scales.at<uint8_t>(i);
        const uint32_t shift_field = signed_field(shift.at<int8_t>(i), 6);
        const uint32_t bias_shift_field = unsigned_field(bias_shift.at<uint8_t>(i), 5);
        const auto bias_byte = static_cast<uint8_t>(bias.at<int8_t>(i));
        const uint64_t word = uint64_t{scale} | (uint64_t{shift_field} << 16) |
                              (uint64_t{bias_byte} << 22) | (uint64_t{bias_shift_field} << 30);
        push_word(words, word);
    }
    append(out, words);
}

void format_tsram_post_processing_output_var(WordList& out, uint16_t timesteps,
                                             uint16_t threshold) {
    // log2 of 0 has no value; a post-processing layer always has timesteps.
    if (timesteps == 0) {
        throw std::invalid_argument("Cannot format a post-processing output for 0 timesteps.");
    }
    // floor(log2(timesteps)), exactly.
    const auto e = static_cast<int8_t>(highest_bit(timesteps));
    const uint32_t s = signed_field(-e, 6);
    const uint64_t word = 1u | (uint64_t{s} << 16) | (uint64_t{threshold} << 22);
    WordList words;
    push_word(words, word);
    append(out, words);
}

void format_tsram_input_shift(WordList& out, const Dense& shift, uint8_t input_bits) {
    const uint32_t n = shift.dimensions().dims[0];
    const uint32_t per_word = input_bits == 8 ? 8 : 4;
    const uint32_t copies = input_bits == 8 ? 1 : input_bits / 8u;
    const uint32_t count = ceil_div(n, per_word);
    WordList words;
    words.reserve(size_t{count} * 2);
    for (uint32_t w = 0; w < count; ++w) {
        uint32_t low = 0;
        for (uint32_t k = 0; k < per_word && w * per_word + k < n; ++k) {
            const uint8_t value = shift.at<uint8_t>(w * per_word + k);
            for (uint32_t j = 0; j < copies; ++j) {
                const uint32_t pos = 3 * copies * k + 3 * j;
                // Only the low 32 bits are written; fields that would start
                // beyond them (wide inputs) are dropped, not shifted out of
                // range.
                if (pos < 32) low |= static_cast<uint32_t>(uint64_t{value} << pos);
            }
        }
        words.push_back(low);
        words.push_back(0);
    }
    append(out, words);
}

void format_tsram_post_processing_input_shift(WordList& out) { push_word(out, 0); }

// --- Sizes -----------------------------------------------------------------

uint32_t get_tnpr_fsram_64b_size(const Layer& first) {
    uint32_t size = 0;
    walk_chain(first, [&](const Layer& layer) {
        if (!is_layer_type(layer, LayerType::StatefulRecurrent)) return false;
        for (const char* name : {"in_proj", "out_proj"}) {
            // A projection with no state or no output channel has no element
            // and is not made a variable: it takes no FSRAM word. The chain
            // check refuses such a layer by its own rules.
            if (!layer.variables()->has(name)) continue;
            const Shape& dims = layer_variable(layer, name)->dimensions();
            size += dims.dims[0] * ceil_div(dims.dims[1], 8);
        }
        return true;
    });
    return size;
}

uint32_t get_tnpr_tsram_51b_size(const Layer& first) {
    uint32_t size = 0;
    walk_chain(first, [&](const Layer& layer) {
        if (!layer.is_target_component(TargetComponent::TNP_R)) return false;
        if (is_layer_type(layer, LayerType::StatefulRecurrent)) {
            const uint32_t per_word = layer.input_bits() == 8 ? 8 : 4;
            size += layer_param_u32(layer, "stateful_channels") +
                    layer_param_u32(layer, "output_channels") +
                    ceil_div(first_input_shape(layer).dims[2], per_word);
        } else {
            size += 2;
        }
        return true;
    });
    return size;
}

uint32_t get_tnpr_evsram_32b_size(const Layer& first) {
    uint32_t size = packed_input_row_words(first);
    uint32_t last_output_bits = 0;
    walk_chain(first, [&](const Layer& layer) {
        if (!layer.is_target_component(TargetComponent::TNP_R)) return false;
        if (is_layer_type(layer, LayerType::StatefulRecurrent)) {
            size +=
                ceil_div(first_input_shape(layer).dims[2], values_per_32b_word(layer.input_bits()));
            last_output_bits = layer.output_bits();
        } else {
            size +=
                ceil_div(layer.output_dimensions().dims[2], values_per_32b_word(last_output_bits));
        }
        return true;
    });
    return size;
}

uint32_t get_tnpr_stsram_32b_size(const Layer& first) {
    uint32_t recurrent = 0;
    bool recurrent_run = true;
    bool post_processing = false;
    walk_chain(first, [&](const Layer& layer) {
        if (is_layer_type(layer, LayerType::StatefulRecurrent)) {
            if (recurrent_run) ++recurrent;
        } else {
            recurrent_run = false;
        }
        if (is_layer_type(layer, LayerType::MotePostProcessing)) post_processing = true;
        return true;
    });
    uint32_t size = recurrent * layer_param_u32(first, "stateful_channels");
    if (post_processing) {
        const uint32_t timesteps = first_input_shape(first).dims[1];
        size += 2 * ceil_log2(ceil_div(timesteps, values_per_32b_word(first.input_bits())));
    }
    return size;
}

}  // namespace vorna::mote
