#pragma once

#include <array>
#include <cstdint>

#include "backend/hw.h"

namespace vorna {

// Per-IP-version limits held by the back-end bundle for one map call.
// Nineteen unsigned 32-bit words, in this order. Words derived from the mesh's
// SRAM sizes use unsigned 32-bit arithmetic with truncating division.
struct HardwareConstraints {
    // NP weight memory in 32-bit words, times 48/50: what a fully-connected
    // layer must fit to run on an FNP3.
    uint32_t fnp3_sram_size = 0;
    // NP weight memory in weight words (50-bit words on v1, 100-bit on v2).
    uint32_t weight_sram_size = 0;
    uint32_t max_input_width = 0;
    uint32_t max_input_height = 0;
    uint32_t max_input_channels = 0;
    uint32_t max_filters = 0;
    // Five further per-version words; the mapping engine does not read them.
    std::array<uint32_t, 5> extra_limits{};
    // NP input memory in 32-bit words with two input buffers and with one.
    uint32_t input_sram_size_dual_buffer = 0;
    uint32_t input_sram_size_single_buffer = 0;
    // FNP input memory in 32-bit words.
    uint32_t fnp_input_sram_size = 0;
    // Input-shift memory in 24-bit words.
    uint32_t input_shift_sram_size = 0;
    // TNP-R memory limits (mote), in words of the stated width.
    uint32_t stsram_32b_limit = 0;
    uint32_t fsram_64b_limit = 0;
    uint32_t tsram_51b_limit = 0;
    uint32_t evsram_32b_limit = 0;

    // The constraints of each IP version for a mesh with the given SRAM sizes.
    static HardwareConstraints v1(const SramSize& sram);
    static HardwareConstraints v2(const SramSize& sram);
    static HardwareConstraints mote(const SramSize& sram);

    // The nineteen words in declaration order.
    std::array<uint32_t, 19> words() const;
};

}  // namespace vorna
