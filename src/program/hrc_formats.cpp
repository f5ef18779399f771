#include "program/hrc_formats.h"

#include <stdexcept>

#include "backend/hw.h"
#include "corelib/dma.h"
#include "program/register.h"

namespace vorna {

namespace {

constexpr uint32_t kWrap576 = 576;
constexpr uint32_t kFiltersPerArrayK3 = 192;
constexpr uint32_t kMaxFiltersK3 = 575;
constexpr uint32_t kGroupBits = 72;
constexpr uint32_t kGroupWords = 3;

using Step = void (*)(uint32_t*, uint32_t*);

bool is_signed_byte_type(TensorType type) {
    return type == TensorType::int8 || type == TensorType::int4 || type == TensorType::int2 ||
           type == TensorType::bit;
}

// Element i of a 1-D tensor, in storage order, with a bounds check.
template <class T>
T element(const Dense& tensor, size_t i) {
    const T* data = tensor.data<T>();  // type check first: it names the tensor type
    if (i >= tensor.size()) panic("Coordinates are out-of-range");
    return data[i];
}

// A byte element read as signed when the tensor holds signed bytes, else as unsigned.
int byte_element(const Dense& tensor, size_t i) {
    if (is_signed_byte_type(tensor.type())) return element<int8_t>(tensor, i);
    return element<uint8_t>(tensor, i);
}

uint32_t six_bit_signed(int value) {
    if (value < -32 || value > 31) panic("%d cannot fit in a %d bits signed integer.", value, 6);
    return static_cast<uint32_t>(value) & 63u;
}

void check_unsigned(int value, int bits) {
    if (value < 0 || value >= (1 << bits)) {
        panic("%d cannot fit in a %d bits unsigned integer.", value, bits);
    }
}

}  // namespace

void hrc_step_by_3(uint32_t* position, uint32_t* /*index*/) { *position += 3; }

void hrc_step_every_2(uint32_t* position, uint32_t* index) {
    *index = (*index + 1) % 2;
    if (*index == 0) *position += 3;
}

void hrc_step_every_3(uint32_t* position, uint32_t* index) {
    *index = (*index + 1) % 3;
    if (*index == 0) *position += 3;
}

void hrc_step_wrap_576(uint32_t* position, uint32_t* index) {
    *position = (*position + 3) % kWrap576;
    if (*position <= 1) *index += 1;
}

std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& kernel) {
    const int8_t* weights = kernel.data<int8_t>();
    const Shape& shape = kernel.dimensions();
    const std::vector<uint32_t>& strides = kernel.strides();
    if (shape.count != 4 || strides.size() != 4) {
        throw std::invalid_argument("HRC weights must be a 4-dimensional tensor.");
    }
    const uint32_t k = shape.dims[1];
    const uint32_t channels = shape.dims[2];
    const uint32_t filters = shape.dims[3];
    // Rows are addressed up to K - 1 through dimension 0.
    if (shape.dims[0] < k) panic("Coordinates are out-of-range");
    const uint64_t groups_per_filter = (uint64_t{k} * k + 8) / 9;
    const uint64_t groups = groups_per_filter * filters;

    std::vector<std::vector<uint32_t>> arrays(3);
    Step step = nullptr;
    if (channels == 3) {
        for (auto& a : arrays) a.assign(kGroupWords * groups, 0u);
        step = hrc_step_by_3;
    } else if (k == 3) {
        if (filters > kMaxFiltersK3) {
            throw std::runtime_error("Too many lines on HRC weight formatting with the 3-kernel.");
        }
        const uint32_t full = filters / kFiltersPerArrayK3;
        for (uint32_t v = 0; v < full; ++v) arrays[v].assign(kWrap576, 0u);
        arrays[full].assign(kGroupWords * (filters % kFiltersPerArrayK3), 0u);
        step = hrc_step_wrap_576;
    } else if (k == 4) {
        arrays[0].assign(kGroupWords * ((groups + 1) / 2), 0u);
        arrays[1].assign(kGroupWords * (groups / 2), 0u);
        step = hrc_step_every_2;
    } else if (k == 5 || k == 7 || k == 16) {
        for (uint32_t v = 0; v < 3; ++v) {
            arrays[v].assign(kGroupWords * (groups / 3 + (v < groups % 3 ? 1 : 0)), 0u);
        }
        step = hrc_step_every_3;
    } else {
        throw std::runtime_error("Wrong kernel_size at HRC recording.");
    }

    // Only channel counts 1 and 3 are laid out by the rules above; any other count is refused
    // when it would write outside the images instead of corrupting memory.
    auto word_at = [&arrays](uint32_t index, uint64_t word) -> uint32_t& {
        if (index >= arrays.size() || word >= arrays[index].size()) {
            throw std::runtime_error("HRC weights do not fit the HRC weight memories.");
        }
        return arrays[index][word];
    };

    for (uint32_t c = 0; c < channels; ++c) {
        uint32_t position = 0;
        uint32_t index = c;
        for (uint32_t f = 0; f < filters; ++f) {
            uint32_t bit = 0;
            for (uint32_t r = 0; r < k; ++r) {
                for (uint32_t col = 0; col < k; ++col) {
                    const size_t at = size_t{r} * strides[0] + size_t{col} * strides[1] +
                                      size_t{c} * strides[2] + size_t{f} * strides[3];
                    const uint32_t w = static_cast<uint8_t>(weights[at]);
                    if (bit == kGroupBits || (bit == 56 && channels != 3 && k == 4 && index == 1)) {
                        step(&position, &index);
                        bit = 0;
                    }
                    word_at(index, uint64_t{position} + bit / 32) |= w << (bit % 32);
                    bit += 8;
                }
            }
            if (f + 1 < filters) step(&position, &index);
        }
    }
    return arrays;
}

std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias) {
    const size_t count = bias.size();
    std::vector<uint32_t> words;
    words.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        const int shift = element<int8_t>(output_shift, i);
        const uint32_t shift_bits = six_bit_signed(shift);
        uint32_t mv_shift = 0;
        if (max_value_shift) {
            mv_shift = element<uint8_t>(*max_value_shift, i);
            check_unsigned(static_cast<int>(mv_shift), 5);
        }
        const uint32_t b_shift = element<uint8_t>(bias_shift, i);
        check_unsigned(static_cast<int>(b_shift), 5);
        const uint32_t mv = max_value ? element<uint8_t>(*max_value, i) : 0u;
        const uint32_t scale = element<uint8_t>(output_scales, i);
        const uint32_t b = static_cast<uint8_t>(element<int8_t>(bias, i));

        words.push_back((mv & 1u) << 19 | mv_shift << 14 | scale << 6 | shift_bits);
        words.push_back(b << 12 | b_shift << 7 | (mv >> 1));
    }
    return words;
}

std::vector<uint32_t> format_hrc_lut_variables(const Dense& lut_a, const Dense& lut_b,
                                               const Dense& lut_c, const Dense& lut_d,
                                               const Dense& lut_e, const Dense& lut_f) {
    const size_t count = lut_b.size();
    std::vector<uint32_t> words;
    words.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        const int c = byte_element(lut_c, i);
        if (c < 0 || (c >> 4) > 1) {
            panic("%d cannot fit in a %d bits unsigned integer.", c >> 4, 1);
        }
        const uint32_t d = six_bit_signed(element<int8_t>(lut_d, i));
        const uint32_t e = six_bit_signed(element<int8_t>(lut_e, i));
        const uint32_t a = static_cast<uint32_t>(byte_element(lut_a, i)) & 0xFFu;
        const uint32_t b = static_cast<uint32_t>(byte_element(lut_b, i)) & 0xFFu;
        const uint32_t f = element<uint8_t>(lut_f, i);

        words.push_back((static_cast<uint32_t>(c) & 15u) << 16 | b << 8 | a);
        words.push_back(f << 13 | e << 7 | d << 1 | (static_cast<uint32_t>(c) >> 4));
    }
    return words;
}

void record_hrc_sram_write(program::Record* record, const RegDetail& select,
                           const std::vector<uint32_t>& words) {
    if (record == nullptr) throw std::invalid_argument("HRC: null record.");
    if (words.empty()) return;
    uint32_t select_word = 0;
    set_field(&select_word, select, 1);
    const hw::Ident hrc{};
    record->add_np_track(hrc, dma::IpRegisters, HRC_SRAM_SELECT_ADDR, {select_word, 0}, true, true);
    record->add_np_track(hrc, dma::HrcSram, HRC_SRAM_DATA_ADDR, words, true, true);
}

}  // namespace vorna
