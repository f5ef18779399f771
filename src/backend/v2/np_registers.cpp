#include "backend/v2/np_registers.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "program/register.h"

namespace vorna {
namespace v2 {

namespace {

constexpr RegDetail WORD3_CHANNEL{24, 8};
constexpr RegDetail ROW_FIELD{0, 8};
constexpr RegDetail COL_FIELD{8, 8};
constexpr RegDetail ONE_HOT_NP{20, 4};
constexpr RegDetail CFG_DMA_ONE_HOT_NP{16, 4};
constexpr RegDetail ROUTE_FIELD{24, 8};
constexpr RegDetail ALT_FLAG{4, 1};
constexpr RegDetail ALT_CHANNEL{16, 8};
constexpr RegDetail ALT_TOTAL_NPS{24, 8};

void check_register_file(const std::vector<uint32_t>* regs) {
    if (regs == nullptr || regs->size() != NP_REGS_COUNT)
        throw std::invalid_argument("A v2 NP register file must hold 64 words.");
}

// Row, col and one-hot id of a single point-to-point peer: bits 0-15 and 20-23.
void set_p2p_peer(uint32_t* word, const hw::Component& peer) {
    set_field(word, ROW_FIELD, peer.ident.row);
    set_field(word, COL_FIELD, peer.ident.col);
    set_one_hot_field(word, ONE_HOT_NP, peer.ident.id);
}

void set_range(uint32_t* word, const ColumnRange& range) {
    set_field(word, ROW_FIELD, range.low);
    set_field(word, COL_FIELD, range.high);
}

}  // namespace

ColumnRange column_range(const std::vector<hw::Component>& components) {
    if (components.empty())
        throw std::invalid_argument("Cannot take the column range of an empty component list.");
    if (components.size() == 1 && components[0].type == hw::Type::HRC) return {1, 1};
    ColumnRange r{components[0].ident.col, components[0].ident.col};
    for (const auto& c : components) {
        r.low = std::min(r.low, c.ident.col);
        r.high = std::max(r.high, c.ident.col);
    }
    return r;
}

std::vector<uint32_t> default_np_regs(const hw::Component& component, unsigned channel,
                                      bool unused_np, bool word56_bit3) {
    std::vector<uint32_t> regs(NP_REGS_COUNT, 0u);
    regs[1] = 0x00000020u;
    regs[2] = 0x00000008u;
    if (unused_np)
        regs[3] = UNUSED_NP_WORD3;
    else
        set_field(&regs[3], WORD3_CHANNEL, channel);
    regs[5] = 0x00130100u;
    regs[6] = 0x08040000u;
    regs[12] = 0x52000000u;
    regs[13] = 0x00000010u;
    regs[37] = 0xFF000000u;
    uint32_t w56 = 1u << 23;
    if (word56_bit3) w56 |= 1u << 3;
    if (component.ident.id > 1) w56 |= (1u << 8) | (1u << 24);
    regs[56] = w56;
    regs[57] = 0x00000040u;
    return regs;
}

void set_ib_spikes(std::vector<uint32_t>* regs) {
    check_register_file(regs);
    (*regs)[2] |= 1u << 7;
}

void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, const hw::Ident& ident) {
    check_register_file(regs);
    uint32_t& w = (*regs)[49];
    set_field(&w, ROW_FIELD, ident.row);
    set_field(&w, COL_FIELD, ident.col);
    set_one_hot_field(&w, CFG_DMA_ONE_HOT_NP, ident.id);
}

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             const std::vector<hw::Component>& sources,
                                             const std::vector<hw::Component>& span,
                                             const std::vector<hw::Component>& destinations,
                                             const std::unique_ptr<AltLayerMapInfo>& alt,
                                             uint8_t route, bool p2p_input, bool p2p_output,
                                             bool word44_bit2) {
    check_register_file(regs);
    auto& r = *regs;

    // Word 44: output mode bits; bits 4-15 are kept.
    uint32_t w44 = r[44] & 0x0000FFF0u;
    if (p2p_output) w44 |= 1u << 0;
    if (word44_bit2) w44 |= 1u << 2;
    w44 |= 1u << 3;
    w44 |= 0x08u << 16;
    w44 |= 0xFFu << 24;
    r[44] = w44;

    // Word 45: where the output goes, and the route.
    if (p2p_output) {
        if (destinations.size() != 1)
            throw std::runtime_error("Cannot use P2P OUT mode for multiple NPs.");
        set_p2p_peer(&r[45], destinations[0]);
    } else {
        (void)destinations.at(0);  // an empty list is std::out_of_range
        set_range(&r[45], column_range(destinations));
    }
    uint32_t route_value = route;
    if (destinations.at(0).type == hw::Type::TNP_B) route_value = route_value - 1u;
    set_field(&r[45], ROUTE_FIELD, route_value);

    // Word 46: where the input comes from; bit 31 is cleared.
    if (p2p_input) {
        if (sources.size() != 1)
            throw std::runtime_error("Cannot use P2P IN mode for multiple NPs.");
        set_p2p_peer(&r[46], sources[0]);
    } else {
        set_range(&r[46], column_range(sources));
    }
    set_bit(&r[46], 31, false);

    // Word 52 and word 46 bit 19: the alternate-layer record.
    if (alt) {
        set_bit(&r[46], 19, true);
        set_field(&r[52], ALT_TOTAL_NPS, alt->total_nps);
        set_field(&r[52], ALT_FLAG, alt->is_second ? 1u : 0u);
        set_field(&r[52], ALT_CHANNEL, alt->main_channel);
    }

    // Word 47: the columns spanned by the layer and its destinations.
    const ColumnRange own = column_range(span);
    const ColumnRange out = column_range(destinations);
    set_field(&r[47], ROW_FIELD, std::min(own.low, out.low));
    set_field(&r[47], COL_FIELD, std::max(own.high, out.high));
}

}  // namespace v2
}  // namespace vorna
