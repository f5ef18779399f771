#include "backend/v1/reconfig_registers.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "backend/layer_mapping.h"
#include "backend/v1/cnp_sizes.h"
#include "backend/v1/np_registers.h"
#include "corelib/layer.h"

namespace vorna::v1 {

namespace {

constexpr RegDetail REG32_ENABLE{0, 1};
constexpr RegDetail REG32_FNP{1, 1};
constexpr RegDetail REG32_RECONFIG{2, 1};
constexpr RegDetail REG32_INPUT_BITS{4, 2};
constexpr RegDetail REG32_INPUT_CHANNEL{24, 8};
constexpr RegDetail REG33_Y{0, 12};
constexpr RegDetail REG33_X{16, 12};
constexpr RegDetail REG34_HEIGHT{0, 11};
constexpr RegDetail REG34_WIDTH{16, 11};
constexpr RegDetail REG35_CNP_ROW_WORDS{0, 14};
constexpr RegDetail REG35_CNP_CONTAINER{16, 9};
constexpr RegDetail REG35_FNP_PLANE{0, 18};
constexpr RegDetail REG_BUFFER_SIZE{0, 18};

// An FNP whose word 1 bit 4 is clear needs at least this input buffer.
constexpr uint64_t FNP_MIN_BUFFER_WORDS = 0x2501;

uint32_t field_of(uint32_t word, const RegDetail& f) {
    return (word >> f.shift) & ((1u << f.width) - 1u);
}

uint64_t ceil_words(uint64_t values) { return (values + 31) / 32; }

}  // namespace

void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& layer,
                                  const hw::Component& component) {
    if (regs == nullptr || regs->size() != NP_REGS_COUNT) {
        throw std::invalid_argument("A v1 NP register file must hold 50 words.");
    }
    std::vector<uint32_t>& r = *regs;
    const bool fnp = component.type == hw::Type::FNP2 || component.type == hw::Type::FNP3;
    if (!fnp && !component.placement) {
        throw std::invalid_argument(
            "A CNP component needs a placement for partial "
            "reconfiguration.");
    }
    const LayerMapping* mapping = &layer_mapping_of<std::invalid_argument>(layer);

    const Shape in = layer.input_dimensions().front();
    const uint64_t d0 = in.dims[0], d1 = in.dims[1], d2 = in.dims[2];
    const uint8_t input_bits = layer.input_bits();

    uint32_t& w32 = r[32];
    set_field(&w32, REG32_ENABLE, 1);
    set_field(&w32, REG32_FNP, fnp ? 1 : 0);
    set_field(&w32, REG32_RECONFIG, 1);
    put_field(&w32, REG32_INPUT_BITS, input_bits >> 1);
    set_field(&w32, REG32_INPUT_CHANNEL, mapping->input_channel);

    uint64_t needed = ceil_words(d0 * d1 * d2);
    if (fnp) {
        set_field(&r[33], REG33_Y, 0);
        set_field(&r[33], REG33_X, 0);
        put_field(&r[34], REG34_HEIGHT, d1);
        put_field(&r[34], REG34_WIDTH, d0);
        put_field(&r[35], REG35_FNP_PLANE, d0 * d1);
    } else {
        const NpSpace& part = component.placement->spatial_partition;
        const NpSpace& aux = component.placement->aux_partition;
        put_field(&r[33], REG33_Y, static_cast<uint32_t>(aux.y));
        put_field(&r[33], REG33_X, static_cast<uint32_t>(aux.x));
        put_field(&r[34], REG34_HEIGHT, aux.shape.dims[1]);
        put_field(&r[34], REG34_WIDTH, aux.shape.dims[0]);
        const uint32_t container = get_cnp_channel_container_size(aux.shape.dims[0], input_bits);
        const uint32_t channels = part.shape.dims[2];
        put_field(&r[35], REG35_CNP_ROW_WORDS, (uint64_t{channels} * container + 3) / 4);
        put_field(&r[35], REG35_CNP_CONTAINER, container);
        needed = std::max<uint64_t>(
            needed, get_cnp_input_sram_size(container, channels, aux.shape.dims[1]));
    }

    uint64_t size = std::max<uint64_t>(
        {needed, field_of(r[4], REG_BUFFER_SIZE), field_of(r[14], REG_BUFFER_SIZE)});
    if (fnp && (r[1] & (1u << 4)) == 0) size = std::max(size, FNP_MIN_BUFFER_WORDS);
    put_field(&r[4], REG_BUFFER_SIZE, size);
    put_field(&r[14], REG_BUFFER_SIZE, size);
}

}  // namespace vorna::v1
