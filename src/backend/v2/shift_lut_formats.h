#pragma once

// Payload formats of small per-channel tensors sent to v2 NPs: input shifts,
// the shifts of a merge (skip-connection) layer, and the activation look-up
// tables of a CNP and of the HRC.

#include <cstdint>
#include <memory>
#include <vector>

#include "corelib/tensor.h"

namespace vorna {
namespace v2 {

// Number of entries of a CNP look-up-table payload (two table values each).
constexpr uint32_t CNP_LUT_WORDS = 1024;
// Number of entries of the HRC look-up table (one table value per word).
constexpr uint32_t HRC_LUT_WORDS = 2048;

// Every element of `shifts` (uint8, uint4 or uint2 storage) as one byte,
// four per word from the least significant byte up, in 2 * ceil(n / 8) words.
std::vector<uint32_t> format_input_shift(const Dense& shifts);

// Elements `offset` to `offset + count - 1` (a count of 0 means the element
// count of the tensor) laid out as above: element offset + i goes to byte i.
// An element past the end of the tensor panics "Coordinates are out-of-range".
std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t offset, uint32_t count);

// One byte per neuron offset .. offset + count - 1, four per word: with A =
// first[i], B = second[i] (unsigned) and T = third[i] (signed), bits 0-3 hold
// |B - A|, bit 7 whether B >= A, bits 4-6 the 3-bit signed shift T + max(A, B),
// which must lie in -4..3. ceil(count / 4) words.
std::vector<uint32_t> format_merge_layer_shift(const std::shared_ptr<const Dense>& first,
                                               const std::shared_ptr<const Dense>& second,
                                               const std::shared_ptr<const Dense>& third,
                                               uint32_t offset, uint32_t count);

// 1024 words from an int32 table of 2048 values (2049 accepted, the last
// value unused): element 2k in bits 0-13 and element 2k + 1 in bits 16-29,
// each a 14-bit two's-complement number.
std::vector<uint32_t> format_lut_values_for_cnp(const Dense* lut);

// 2048 words from an int32 table of exactly 2048 values: element k in
// bits 0-13 of word k.
std::vector<uint32_t> format_lut_values_for_hrc(const Dense* lut);

}  // namespace v2
}  // namespace vorna
