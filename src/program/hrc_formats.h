// HRC memory formats: the weight images of the three HRC weight memories and the per-filter
// activation and look-up-table variable words.
#pragma once

#include <cstdint>
#include <vector>

#include "corelib/tensor.h"
#include "program/record.h"
#include "program/register.h"

namespace vorna {

// HRC register addresses of the SRAM select word and of the SRAM data window; the same on
// every IP version.
inline constexpr uint16_t HRC_SRAM_SELECT_ADDR = 32;
inline constexpr uint16_t HRC_SRAM_DATA_ADDR = 40;

// Records one HRC SRAM write: the select word with `select` set (and a zero word), then
// `words` into the data window. Nothing is recorded for no words. A null record is an
// invalid argument.
void record_hrc_sram_write(program::Record* record, const RegDetail& select,
                           const std::vector<uint32_t>& words);

// Layout steps of the HRC weight packing: they advance the word position and the array
// index (which some steps also use as a phase counter).
void hrc_step_by_3(uint32_t* position, uint32_t* index);
void hrc_step_every_2(uint32_t* position, uint32_t* index);
void hrc_step_every_3(uint32_t* position, uint32_t* index);
void hrc_step_wrap_576(uint32_t* position, uint32_t* index);

// The three HRC weight-memory images (arrays 0, 1, 2) of a signed 8-bit kernel whose natural
// dimensions are (K rows, K columns, Ch input channels, F filters). Weights are packed in
// groups of 9 bytes over 3 words; the array sizes and the step depend on Ch (3 or not) and K.
// Throws std::runtime_error "Too many lines on HRC weight formatting with the 3-kernel." for
// K = 3 with more than 575 filters (and Ch other than 3), "Wrong kernel_size at HRC
// recording." for a kernel size without a layout, and "HRC weights do not fit the HRC weight
// memories." when a channel count other than 1 or 3 would write outside the images.
std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& kernel);

// Two words per filter (per element of `bias`): output shift (6-bit signed), output scale,
// max-value shift, max value and bias. `max_value_shift` and `max_value` may be null.
std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias);

// Two words per element of `lut_b`, for a look-up-table activation. `lut_a`, `lut_b` and
// `lut_c` may be signed or unsigned bytes; `lut_d` and `lut_e` are signed bytes (6-bit
// fields), `lut_f` unsigned bytes.
std::vector<uint32_t> format_hrc_lut_variables(const Dense& lut_a, const Dense& lut_b,
                                               const Dense& lut_c, const Dense& lut_d,
                                               const Dense& lut_e, const Dense& lut_f);

}  // namespace vorna
