#include "backend/v1/np_registers.h"

#include <algorithm>
#include <stdexcept>

namespace vorna::v1 {

namespace {

void check_regs(const std::vector<uint32_t>* regs) {
    if (regs == nullptr || regs->size() != NP_REGS_COUNT) {
        throw std::invalid_argument("A v1 NP register file must hold 50 words.");
    }
}

const hw::Component& only_component(const std::vector<hw::Component>& list) {
    if (list.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs.");
    return list.front();
}

}  // namespace

ColumnRange column_range(const std::vector<hw::Component>& components) {
    if (components.empty()) {
        throw std::invalid_argument("A routing component list cannot be empty.");
    }
    if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
    ColumnRange range{components.front().ident.col, components.front().ident.col};
    for (const hw::Component& c : components) {
        range.low = std::min(range.low, c.ident.col);
        range.high = std::max(range.high, c.ident.col);
    }
    return range;
}

namespace {

// Fills the row, column and id fields of a mesh source or destination word:
// one point-to-point component, or the column range of a broadcast.
void set_endpoint(uint32_t* word, bool p2p, const std::vector<hw::Component>& components) {
    if (p2p) {
        const hw::Component& c = only_component(components);
        set_field(word, RegDetail{0, 8}, c.ident.row);
        set_field(word, RegDetail{8, 8}, c.ident.col);
        set_one_hot_field(word, RegDetail{20, 4}, c.ident.id);
    } else {
        const ColumnRange range = column_range(components);
        set_field(word, RegDetail{0, 8}, range.low);
        set_field(word, RegDetail{8, 8}, range.high);
    }
}

}  // namespace

std::vector<uint32_t> default_np_regs() {
    std::vector<uint32_t> regs(NP_REGS_COUNT, 0);
    regs[6] = 0x04040000u;
    regs[12] = 0x52000000u;
    regs[13] = 0x00000010u;
    regs[37] = 0xFF000000u;
    return regs;
}

void set_ib_spikes(std::vector<uint32_t>* regs) {
    check_regs(regs);
    set_field(&(*regs)[REG_IB_SPIKES_WORD], REG2_IB_SPIKES, 1);
}

void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, const hw::Ident& np) {
    check_regs(regs);
    uint32_t& word = (*regs)[REG_MESH_CFG_DMA_WORD];
    set_field(&word, REG49_ROW, np.row);
    set_field(&word, REG49_COL, np.col);
    set_one_hot_field(&word, REG49_NP_NUM, np.id);
}

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             const std::vector<hw::Component>& sources,
                                             const std::vector<hw::Component>& span,
                                             const std::vector<hw::Component>& destinations,
                                             uint8_t route, bool p2p_input, bool p2p_output,
                                             bool word44_bit2) {
    check_regs(regs);
    std::vector<uint32_t>& r = *regs;

    // Word 44: routing mode.
    uint32_t& mode = r[REG_MESH_MODE_WORD];
    set_field(&mode, RegDetail{0, 1}, p2p_output ? 1 : 0);
    set_field(&mode, RegDetail{1, 1}, 0);
    set_field(&mode, RegDetail{2, 1}, word44_bit2 ? 1 : 0);
    set_field(&mode, RegDetail{16, 3}, 0);
    set_field(&mode, RegDetail{19, 1}, 1);
    set_field(&mode, RegDetail{20, 4}, 0);
    set_field(&mode, RegDetail{24, 8}, route == 0xFF ? 0x06u : 0xFFu);

    // Word 45: where the output goes.
    uint32_t& dest = r[REG_MESH_DEST_WORD];
    set_endpoint(&dest, p2p_output, destinations);
    set_field(&dest, RegDetail{24, 8}, route);

    // Word 46: where the input comes from.
    uint32_t& src = r[REG_MESH_SRC_WORD];
    set_endpoint(&src, p2p_input, sources);
    set_field(&src, RegDetail{30, 2}, 0);

    // Word 47: the columns the layer's traffic spans.
    const ColumnRange own = column_range(span);
    const ColumnRange out = column_range(destinations);
    r[REG_MESH_SPAN_WORD] = static_cast<uint32_t>(std::min(own.low, out.low)) |
                            static_cast<uint32_t>(std::max(own.high, out.high)) << 8;
}

}  // namespace vorna::v1
