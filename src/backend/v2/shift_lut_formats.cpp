#include "backend/v2/shift_lut_formats.h"

#include <stdexcept>

#include "program/register.h"

namespace vorna {
namespace v2 {

namespace {

constexpr int32_t LUT_ENTRY_BITS = 14;
constexpr int32_t LUT_ENTRY_MIN = -(1 << (LUT_ENTRY_BITS - 1));
constexpr int32_t LUT_ENTRY_MAX = (1 << (LUT_ENTRY_BITS - 1)) - 1;
constexpr uint32_t LUT_ENTRY_MASK = (1u << LUT_ENTRY_BITS) - 1u;

constexpr int32_t MERGE_SHIFT_BITS = 3;
constexpr int32_t MERGE_SHIFT_MIN = -(1 << (MERGE_SHIFT_BITS - 1));
constexpr int32_t MERGE_SHIFT_MAX = (1 << (MERGE_SHIFT_BITS - 1)) - 1;

void put_byte(std::vector<uint32_t>* words, size_t index, uint32_t byte) {
    (*words)[index / 4] |= (byte & 0xFFu) << (8 * (index % 4));
}

uint32_t lut_entry(const Dense& lut, size_t index) {
    const int32_t v = lut.at<int32_t>(index);
    if (v < LUT_ENTRY_MIN || v > LUT_ENTRY_MAX)
        panic("%d cannot fit in a %d bits signed integer.", v, LUT_ENTRY_BITS);
    return static_cast<uint32_t>(v) & LUT_ENTRY_MASK;
}

void require_lut(const Dense* lut) {
    if (lut == nullptr) throw std::invalid_argument("The look-up table tensor is missing.");
}

}  // namespace

std::vector<uint32_t> format_input_shift(const Dense& shifts) {
    return format_input_shift(shifts, 0, 0);
}

std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t offset, uint32_t count) {
    const size_t n = count == 0 ? shifts.size() : count;
    std::vector<uint32_t> words(2 * ((n + 7) / 8), 0u);
    for (size_t i = 0; i < n; ++i) put_byte(&words, i, shifts.at<uint8_t>(offset + i));
    return words;
}

std::vector<uint32_t> format_merge_layer_shift(const std::shared_ptr<const Dense>& first,
                                               const std::shared_ptr<const Dense>& second,
                                               const std::shared_ptr<const Dense>& third,
                                               uint32_t offset, uint32_t count) {
    std::vector<uint32_t> words((static_cast<size_t>(count) + 3) / 4, 0u);
    if (count == 0) return words;
    if (!first || !second || !third)
        throw std::invalid_argument("The merge layer shift tensors are missing.");
    for (uint32_t k = 0; k < count; ++k) {
        const size_t i = static_cast<size_t>(offset) + k;
        const int32_t a = first->at<uint8_t>(i);
        const int32_t b = second->at<uint8_t>(i);
        const int32_t t = third->at<int8_t>(i);
        const int32_t s = t + (a > b ? a : b);
        if (s < MERGE_SHIFT_MIN || s > MERGE_SHIFT_MAX)
            panic("%d cannot fit in a %d bits signed integer.", s, MERGE_SHIFT_BITS);
        const uint32_t diff = static_cast<uint32_t>(b >= a ? b - a : a - b);
        // The three parts are added, as the hardware expects for |B - A| <= 15.
        const uint32_t byte = diff + (b >= a ? 128u : 0u) + 16u * (static_cast<uint32_t>(s) & 7u);
        put_byte(&words, k, byte);
    }
    return words;
}

std::vector<uint32_t> format_lut_values_for_cnp(const Dense* lut) {
    require_lut(lut);
    if ((lut->size() >> 1) != CNP_LUT_WORDS) throw std::runtime_error("Wrong size for LUT.");
    std::vector<uint32_t> words(CNP_LUT_WORDS, 0u);
    for (size_t k = 0; k < CNP_LUT_WORDS; ++k) {
        const uint32_t lo = lut_entry(*lut, 2 * k);
        const uint32_t hi = lut_entry(*lut, 2 * k + 1);
        words[k] = lo | (hi << 16);
    }
    return words;
}

std::vector<uint32_t> format_lut_values_for_hrc(const Dense* lut) {
    require_lut(lut);
    if (lut->size() != HRC_LUT_WORDS) throw std::runtime_error("Wrong size for LUT.");
    std::vector<uint32_t> words(HRC_LUT_WORDS, 0u);
    for (size_t k = 0; k < HRC_LUT_WORDS; ++k) words[k] = lut_entry(*lut, k);
    return words;
}

}  // namespace v2
}  // namespace vorna
