#include "backend/v2/fnp_formats.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "backend/v2/shift_lut_formats.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/variables.h"

namespace vorna::v2 {

namespace {

constexpr const char* kUnsupportedPadding = "Unsupported padding.";
constexpr const char* kPaddingUndefined =
    "Error when formatting the FNP inputs, the padding is undefined.";

[[noreturn]] void unsupported_padding() { throw std::runtime_error(kUnsupportedPadding); }

// Bytes of k elements at b bits, rounded up.
uint32_t bytes_of(uint32_t k, uint32_t b) { return (k * b + 7u) / 8u; }

// Rounds up to a multiple of 4; a rounding that wraps leaves the packing
// undefined.
uint32_t round4(uint32_t k) {
    const uint32_t r = (k + 3u) & ~3u;
    if (r < k) throw std::runtime_error(kPaddingUndefined);
    return r;
}

// The dimensions and the padding counts of a RowPadded input: pad_x
// elements complete the last byte of an x-run, pad_r elements the last
// 32-bit word of a row of r elements.
struct RowGeometry {
    uint32_t pad_x;
    uint32_t r;
    uint32_t pad_r;
};

RowGeometry row_geometry(uint32_t x, uint32_t c, uint32_t b) {
    if (b == 0 || b > 8) {
        throw std::invalid_argument("FNP input bit width must be 1 to 8, got " + std::to_string(b) +
                                    ".");
    }
    const uint32_t per_byte = 8u / b;
    const uint32_t per_word = 32u / b;
    RowGeometry g{};
    g.pad_x = (((x * b) / 8u + 1u) * per_byte - x) % per_byte;
    g.r = (x + g.pad_x) * c;
    g.pad_r = (((g.r * b) / 32u + 1u) * per_word - g.r) % per_word;
    return g;
}

// The RunPadded layout holds one byte per element: it exists for 8-bit
// inputs only, and other widths would run past the sizes computed for it.
void require_run_padded_bits(uint32_t b) {
    if (b != 8) {
        throw std::invalid_argument("RunPadded FNP packing needs 8-bit input, got " +
                                    std::to_string(b) + "-bit.");
    }
}

std::shared_ptr<const Dense> dense_variable(const Layer& layer, const std::string& name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

// Writes bytes into a zero-filled word buffer, least significant byte first,
// refusing to write past its end.
class ByteWriter {
  public:
    explicit ByteWriter(std::vector<uint32_t>* words) : words_(words) {}
    void put(uint8_t value) {
        const size_t word = pos_ / 4u;
        if (word >= words_->size()) {
            throw std::runtime_error("FNP input-shift payload exceeds its computed size.");
        }
        (*words_)[word] |= static_cast<uint32_t>(value) << (8u * (pos_ % 4u));
        ++pos_;
    }
    void skip(size_t count) { pos_ += count; }

  private:
    std::vector<uint32_t>* words_;
    size_t pos_ = 0;
};

// Writes w-bit fields into a word stream from the least significant bit of
// each byte; padding positions are skipped and keep their value.
class FieldWriter {
  public:
    FieldWriter(uint32_t* words, uint32_t width) : words_(words), width_(width) {}
    void put(int8_t value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // A byte-wide field on a byte boundary is that byte of the words in
        // memory: it is written alone, independent of its neighbours.
        if (width_ == 8 && bit_ % 8u == 0) {
            reinterpret_cast<unsigned char*>(words_)[bit_ / 8u] |= static_cast<uint8_t>(value);
            bit_ += 8;
            return;
        }
#endif
        const uint32_t mask = (1u << width_) - 1u;
        const uint32_t field = static_cast<uint32_t>(static_cast<uint8_t>(value)) & mask;
        words_[bit_ / 32u] |= field << (bit_ % 32u);
        bit_ += width_;
    }
    void skip_positions(uint64_t count) { bit_ += count * width_; }
    void skip_bytes(uint64_t count) { bit_ += count * 8u; }

  private:
    uint32_t* words_;
    uint32_t width_;
    uint64_t bit_ = 0;
};

uint32_t round_even(uint32_t words) { return words + (words & 1u); }

}  // namespace

InputPadding fnp_input_packing(const Layer& layer, bool first_layer) {
    const bool no_source = layer.inbound_layers().empty();
    return get_fnp_supported_padding(layer, first_layer || no_source);
}

Shape get_fnp_input_dim(const Layer& layer, bool flatten) {
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const Shape& in = inputs[0];
    if (!flatten) return in;
    const uint32_t n = in[0] * in[1] * in[2];
    if (n == 0) panic("Cannot have a shape with a dimension set to 0");
    Shape flat;
    flat.dims[0] = 1;
    flat.dims[1] = 1;
    flat.dims[2] = n;
    flat.count = 3;
    return flat;
}

uint32_t get_fpksram_size(uint32_t rows, uint32_t width, uint32_t channels, uint8_t bits,
                          InputPadding packing) {
    const uint32_t b = bits;
    switch (packing) {
        case fnp::Packed:
            return (rows * channels * width * b + 31u) / 32u;
        case fnp::RowPadded:
            return rows * ((bytes_of(width, b) * channels + 3u) / 4u);
        case fnp::RunPadded:
            return rows * ((round4(bytes_of(width, b)) * channels * 8u + 31u) / 32u);
        default:
            unsupported_padding();
    }
}

uint32_t get_fnp_input_size(const Layer& layer, bool first_layer) {
    const Shape shape = get_fnp_input_dim(layer, first_layer);
    return get_fpksram_size(shape[1], shape[0], shape[2], layer.input_bits(),
                            fnp_input_packing(layer, first_layer));
}

uint32_t fnp_input_shift_24b_size(const Dense& input_shift, const Shape& shape,
                                  InputPadding packing, uint8_t bits) {
    const uint32_t x = shape[0], y = shape[1], c = shape[2], b = bits;
    uint32_t n = 0;
    switch (packing) {
        case fnp::Packed:
            return (static_cast<uint32_t>(input_shift.size()) + 7u) / 8u;
        case fnp::RowPadded:
            n = (bytes_of(x, b) * c + 3u) / 4u;
            break;
        case fnp::RunPadded:
            n = (round4(bytes_of(x, b)) * c) / 4u;
            break;
        default:
            unsupported_padding();
    }
    if (b == 0) throw std::invalid_argument("FNP input bit width must not be 0.");
    return ((n * y * 32u) / b + 7u) / 8u;
}

std::vector<uint32_t> format_input_shift_fnp(const Dense& input_shift, const Shape& shape,
                                             InputPadding packing, uint8_t bits) {
    const uint32_t x = shape[0], y = shape[1], c = shape[2], b = bits;
    if (packing == fnp::Packed) return format_input_shift(input_shift, 0, 0);
    if (packing != fnp::RowPadded && packing != fnp::RunPadded) unsupported_padding();

    const uint8_t* shifts = input_shift.data<uint8_t>();
    const size_t count = input_shift.size();
    // Shift of input position (xi, yi, ci): the input is stored x-major.
    auto shift_at = [&](uint32_t xi, uint32_t yi, uint32_t ci) -> uint8_t {
        const size_t k = static_cast<size_t>(xi) * y * c + static_cast<size_t>(yi) * c + ci;
        if (k >= count) panic("Coordinates are out-of-range");
        return shifts[k];
    };

    std::vector<uint32_t> words;
    if (packing == fnp::RunPadded) {
        require_run_padded_bits(b);
        const uint32_t run = bytes_of(x, b);
        const uint32_t tail = round4(run) - run;
        words.assign(round_even(get_fpksram_size(y, x, c, bits, packing)), 0u);
        ByteWriter out(&words);
        for (uint32_t yi = 0; yi < y; ++yi) {
            for (uint32_t ci = 0; ci < c; ++ci) {
                for (uint32_t xi = 0; xi < x; ++xi) out.put(shift_at(xi, yi, ci));
                out.skip(tail);
            }
        }
        return words;
    }

    const RowGeometry g = row_geometry(x, c, b);
    words.assign(round_even(((g.r + g.pad_r) * y * 8u + 31u) / 32u), 0u);
    ByteWriter out(&words);
    for (uint32_t yi = 0; yi < y; ++yi) {
        for (uint32_t ci = 0; ci < c; ++ci) {
            for (uint32_t xi = 0; xi < x; ++xi) out.put(shift_at(xi, yi, ci));
            out.skip(g.pad_x);
        }
        out.skip(g.pad_r);
    }
    return words;
}

uint32_t get_neuron_word_size(const Shape& shape, InputPadding packing, uint8_t input_bits,
                              uint8_t weight_bits) {
    const uint32_t x = shape[0], y = shape[1], c = shape[2];
    const uint32_t b = input_bits, w = weight_bits;
    switch (packing) {
        case fnp::Packed:
            // Every input position has a weight; for a flattened shape x*y*c
            // is the third dimension alone.
            return (w * (x * y * c) + 31u) / 32u + 2u;
        case fnp::RowPadded: {
            const RowGeometry g = row_geometry(x, c, b);
            return ((g.r + g.pad_r) * (w * y) + 31u) / 32u + 2u;
        }
        case fnp::RunPadded:
            return ((round4(bytes_of(x, b)) * c * 8u + 31u) / 32u) * y + 2u;
        default:
            unsupported_padding();
    }
}

uint32_t get_layer_word_size(const Dense& weights, uint8_t weight_bits, const Shape& shape,
                             InputPadding packing, uint8_t input_bits) {
    return get_neuron_word_size(shape, packing, input_bits, weight_bits) * weights.dimensions()[1];
}

uint32_t get_fnp_sram_size(const Layer& layer) {
    const auto weights = dense_variable(layer, "weights");
    const auto w = static_cast<uint8_t>(layer.params()->get("weights_bits"));
    const uint8_t b = layer.input_bits();
    const Shape shape = get_fnp_input_dim(layer, false);
    const InputPadding packing = fnp_input_packing(layer, false);
    const uint32_t n = get_layer_word_size(*weights, w, shape, packing, b);
    if (dma::config_block_size_needs_xl(n)) return (n + 15u) & ~15u;
    return n;
}

void write_fnp_neuron_words(uint32_t* ram, uint32_t neuron, const Dense& weights,
                            uint8_t weight_bits, const Shape& shape, InputPadding packing,
                            uint8_t input_bits) {
    const uint32_t x = shape[0], y = shape[1], c = shape[2];
    const uint32_t b = input_bits, w = weight_bits;
    const uint32_t nw = get_neuron_word_size(shape, packing, input_bits, weight_bits);
    if (w == 0 || w > 8) {
        throw std::invalid_argument("FNP weight bit width must be 1 to 8, got " +
                                    std::to_string(w) + ".");
    }
    uint32_t* stream = ram + static_cast<size_t>(neuron) * nw + 2u;
    // Every index read below is at most x * y * c - 1: the element type and the
    // coordinates of the largest one are checked once, then the neuron's weights
    // are read through the first dimension's stride. Counts past 32 bits keep
    // the element-by-element check.
    const uint64_t count = uint64_t{x} * y * c;
    const int8_t* base = nullptr;
    size_t k_stride = 0;
    if (count > 0 && count <= 0xFFFFFFFFull) {
        base = weights.data<int8_t>();
        (void)weights.offset_of({static_cast<uint32_t>(count - 1), neuron});
        base += weights.offset_of({0, neuron});
        if (weights.dimensions().count > 0) k_stride = weights.strides()[0];
    }
    // The layout walk, over the element reader of either kind: one copy of the
    // loops reads through the checked pointer, the other element by element.
    auto write = [&](auto weight) {
        switch (packing) {
            case fnp::Packed: {
                FieldWriter out(stream, w);
                const uint32_t n = x * y * c;
                for (uint32_t k = 0; k < n; ++k) out.put(weight(k));
                return;
            }
            case fnp::RowPadded: {
                const RowGeometry g = row_geometry(x, c, b);
                FieldWriter out(stream, w);
                for (uint32_t yi = 0; yi < y; ++yi) {
                    for (uint32_t ci = 0; ci < c; ++ci) {
                        for (uint32_t xi = 0; xi < x; ++xi)
                            out.put(weight(xi * (y * c) + yi * c + ci));
                        out.skip_positions(g.pad_x);
                    }
                    out.skip_positions(g.pad_r);
                }
                return;
            }
            case fnp::RunPadded: {
                require_run_padded_bits(b);
                const uint32_t run = bytes_of(x, b);
                const uint32_t tail = round4(run) - run;
                FieldWriter out(stream, 8u);
                for (uint32_t r = 0; r < y * c; ++r) {
                    for (uint32_t xi = 0; xi < x; ++xi) out.put(weight(r + xi * (y * c)));
                    out.skip_bytes(tail);
                }
                return;
            }
            default:
                unsupported_padding();
        }
    };
    if (base) {
        write([base, k_stride](uint32_t k) { return base[static_cast<size_t>(k) * k_stride]; });
    } else {
        write([&weights, neuron](uint32_t k) { return weights.get<int8_t>({k, neuron}); });
    }
}

std::vector<uint32_t> format_fnp_ram(const Layer& layer, bool flatten, InputPadding packing,
                                     uint8_t input_bits, uint8_t weight_bits) {
    const Variables& vars = *layer.variables();
    const auto weights = dense_variable(layer, "weights");
    const auto bias = dense_variable(layer, "bias");
    const auto bias_shift = dense_variable(layer, "bias_shift");
    const auto output_scales = dense_variable(layer, "output_scales");
    const auto output_shift = dense_variable(layer, "output_shift");
    // The saturation variables are optional and independent: an absent one
    // leaves its byte 0.
    std::shared_ptr<const Dense> max_value;
    std::shared_ptr<const Dense> max_value_shift;
    if (vars.has("max_value")) max_value = dense_variable(layer, "max_value");
    if (vars.has("max_value_shift")) max_value_shift = dense_variable(layer, "max_value_shift");

    const Shape shape = get_fnp_input_dim(layer, flatten);
    const uint32_t nw = get_neuron_word_size(shape, packing, input_bits, weight_bits);
    const uint32_t neurons = weights->dimensions()[1];
    std::vector<uint32_t> ram(static_cast<size_t>(nw) * neurons, 0u);

    for (uint32_t n = 0; n < neurons; ++n) {
        uint32_t* block = ram.data() + static_cast<size_t>(n) * nw;
        block[0] = static_cast<uint8_t>(bias->at<int8_t>(n)) |
                   static_cast<uint32_t>(bias_shift->at<uint8_t>(n)) << 8;
        if (max_value) set_field(&block[0], fnp::MAX_VALUE, max_value->at<uint8_t>(n));
        if (max_value_shift) {
            set_field(&block[0], fnp::MAX_VALUE_SHIFT, max_value_shift->at<uint8_t>(n));
        }
        block[1] = output_scales->at<uint8_t>(n) |
                   static_cast<uint32_t>(static_cast<uint8_t>(output_shift->at<int8_t>(n))) << 8;
        write_fnp_neuron_words(ram.data(), n, *weights, weight_bits, shape, packing, input_bits);
    }
    return ram;
}

void format_dense1d_registers(const HardwareConstraints& constraints, std::vector<uint32_t>* regs,
                              hw::Type type, uint8_t input_bits, uint8_t output_bits,
                              bool activation, const Shape& shape, bool buffer_flag,
                              const Dense& weights, uint8_t weight_bits, InputPadding packing) {
    std::vector<uint32_t>& r = *regs;
    if (r.size() < 64) throw std::invalid_argument("A v2 register file has 64 words.");
    const bool fnp3 = type == hw::Type::FNP3;
    const uint32_t x = shape[0], y = shape[1], c = shape[2], b = input_bits;

    set_field(&r[1], {4, 1}, 1);
    set_field(&r[1], {20, 1}, 0);
    set_field(&r[1], {22, 1}, buffer_flag ? 1 : 0);
    set_field(&r[1], {24, 1}, fnp3 ? 1 : 0);
    set_field(&r[1], {25, 1}, 0);

    uint32_t code = 0;
    if (input_bits == 4) {
        code = 2;
    } else if (input_bits == 8) {
        code = 3;
    } else {
        throw std::runtime_error("Wrong input_bits at FNP recording.");
    }
    set_field(&r[3], {0, 2}, code);
    set_field(&r[3], {3, 1}, 0);
    if (weight_bits == 4) {
        code = 2;
    } else if (weight_bits == 8) {
        code = 3;
    } else {
        throw std::runtime_error("Wrong weight bitwidth at FNP recording.");
    }
    set_field(&r[3], {4, 2}, code);
    set_field(&r[3], {7, 1}, 1);
    if (output_bits == 4) {
        code = 2;
    } else if (output_bits >= 8 && output_bits <= 32) {
        code = 3;
    } else {
        throw std::runtime_error("Wrong output bitwidth at FNP recording.");
    }
    set_field(&r[3], {12, 2}, code);
    set_field(&r[3], {14, 1}, (output_bits <= 8 && !activation) ? 1 : 0);
    set_field(&r[3], {15, 1}, activation ? 1 : 0);
    set_field(&r[3], {16, 8}, 1);

    set_field(&r[10], {0, 11}, y);
    set_field(&r[10], {16, 11}, x);

    uint32_t row_bytes = 0;
    uint32_t row_words = 0;
    if (packing == fnp::RowPadded) {
        row_bytes = bytes_of(x, b);
        row_words = (row_bytes * c + 3u) / 4u;
    } else if (packing == fnp::RunPadded) {
        row_bytes = round4(bytes_of(x, b));
        row_words = row_bytes * c / 4u;
    }
    // The row byte count is not range-checked; x is at most 2047 here.
    constexpr uint32_t kRowBytesMask = (1u << 18) - 1u;
    r[11] = (r[11] & ~(kRowBytesMask << 12)) | ((row_bytes & kRowBytesMask) << 12);
    r[28] = (r[28] & 0x0000FFFFu) | ((row_bytes & 0xFFFFu) << 16);
    set_field(&r[28], {0, 14}, row_words);

    set_field(&r[14], {0, 15}, get_fpksram_size(y, x, c, input_bits, packing));
    set_field(&r[14], {29, 1}, 1);
    set_field(&r[14], {30, 1}, 0);
    set_field(&r[14], {31, 1}, 1);

    set_field(&r[15], {0, 16}, weights.dimensions()[1]);
    set_field(&r[15], {16, 15}, get_neuron_word_size(shape, packing, input_bits, weight_bits));

    set_field(&r[16], {0, 18}, 0);

    uint32_t sram_words = 5;
    if (fnp3) {
        if (constraints.fnp3_sram_size == 0) {
            throw std::runtime_error("The FNP3 SRAM size of the hardware constraints is 0.");
        }
        sram_words = get_layer_word_size(weights, weight_bits, shape, packing, input_bits) %
                     constraints.fnp3_sram_size;
    }
    set_field(&r[17], {0, 16}, sram_words);
    set_field(&r[17], {20, 4}, fnp3 ? 1 : 0);
}

}  // namespace vorna::v2
