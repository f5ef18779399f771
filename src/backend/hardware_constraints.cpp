#include "backend/hardware_constraints.h"

namespace vorna {

namespace {

// The words v1 and v2 derive alike from the NP SRAM sizes. All arithmetic is
// unsigned 32-bit, as the hardware limits are.
void fill_common(HardwareConstraints& c, const SramSize& sram) {
    const uint32_t w = sram.weight_bytes;
    const uint32_t i = sram.input_bytes;
    c.fnp3_sram_size = static_cast<uint32_t>(static_cast<uint32_t>((w * 8u) >> 5) * 48u) / 50u;
    c.max_input_width = 4096;
    c.max_input_height = 4096;
    c.max_input_channels = 2048;
    c.max_filters = 2048;
    c.input_sram_size_dual_buffer = (i * 8u) >> 6;
    c.input_sram_size_single_buffer = (i * 8u) >> 5;
    c.fnp_input_sram_size = (i * 8u) >> 5;
}

}  // namespace

HardwareConstraints HardwareConstraints::v1(const SramSize& sram) {
    HardwareConstraints c;
    fill_common(c, sram);
    c.weight_sram_size = (sram.weight_bytes * 8u) / 50u;  // 50-bit weight words
    c.extra_limits = {32, 256, 2048, 512, 504};
    c.input_shift_sram_size = 0;
    return c;
}

HardwareConstraints HardwareConstraints::v2(const SramSize& sram) {
    HardwareConstraints c;
    fill_common(c, sram);
    c.weight_sram_size = (sram.weight_bytes * 8u) / 100u;  // 100-bit weight words
    c.extra_limits = {64, 256, 1536, 512, 0};
    c.input_shift_sram_size = 256;
    return c;
}

HardwareConstraints HardwareConstraints::mote(const SramSize& sram) {
    HardwareConstraints c;
    c.stsram_32b_limit = sram.stsram_32b_size;
    c.fsram_64b_limit = sram.fsram_64b_size;
    c.tsram_51b_limit = sram.tsram_51b_size;
    c.evsram_32b_limit = sram.evsram_32b_size;
    return c;
}

std::array<uint32_t, 19> HardwareConstraints::words() const {
    return {fnp3_sram_size,
            weight_sram_size,
            max_input_width,
            max_input_height,
            max_input_channels,
            max_filters,
            extra_limits[0],
            extra_limits[1],
            extra_limits[2],
            extra_limits[3],
            extra_limits[4],
            input_sram_size_dual_buffer,
            input_sram_size_single_buffer,
            fnp_input_sram_size,
            input_shift_sram_size,
            stsram_32b_limit,
            fsram_64b_limit,
            tsram_51b_limit,
            evsram_32b_limit};
}

}  // namespace vorna
