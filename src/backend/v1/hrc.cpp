#include "backend/v1/hrc.h"

#include <stdexcept>

#include "corelib/device.h"
#include "corelib/dma.h"
#include "program/hrc_formats.h"

namespace vorna::v1 {

namespace {

const hw::Ident kHrcIdent{0, 0, 0, 0};

// Checked field write with the register-field overflow text; the value is
// taken at 64-bit width so that negative parameters read as huge values.
void put(uint32_t* word, uint32_t shift, uint32_t width, int64_t value) {
    const uint64_t v = static_cast<uint64_t>(value);
    const uint64_t max = (1ull << width) - 1;
    if (v > max) {
        panic("Attempted to write value %u into a %u-bit field, which will cause an overflow.",
              static_cast<uint32_t>(v), width);
    }
    const uint32_t mask = static_cast<uint32_t>(max) << shift;
    *word = (*word & ~mask) | ((static_cast<uint32_t>(v) << shift) & mask);
}

std::shared_ptr<const Dense> variable(const Layer& layer, const char* name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

std::vector<uint32_t> threshold_image(const Layer& layer) {
    const auto steps = get_threshold_t16_from_act_steps(*variable(layer, "act_step"));
    return pack_signed_words(*variable(layer, "threshold"), *steps);
}

}  // namespace

HrcRegisters format_hrc_regs(const LayerParams& p, const ConvCalculatedParams& conv) {
    HrcRegisters r{1, 0, 0, 0, 0, 0, 0, 0};
    const bool no_padding = p.get("padding") == 0;
    const bool max_pool = p.get("pool_type") == 1;
    const int kernel_height = p.get("kernel_height");

    put(&r[0], 12, 1, p.get("input_channels") != 3);
    put(&r[0], 13, 1, no_padding);
    put(&r[1], 0, 3, p.get("stride_y"));
    put(&r[1], 4, 3, p.get("stride_x"));
    put(&r[0], 16, 1, max_pool && p.get("pooling_height") == 2);
    put(&r[0], 17, 1, max_pool && p.get("pooling_width") == 2);
    put(&r[0], 20, 1, no_padding);
    put(&r[0], 21, 1, no_padding);
    put(&r[0], 4, 2, kernel_height == 5 ? 1 : kernel_height == 7 ? 2 : 0);
    put(&r[4], 16, 9, static_cast<int64_t>(p.get("filters")) - 1);
    put(&r[0], 8, 2, p.get("act_bits") >> 1);
    const int padding_value = p.get("padding_value");
    put(&r[2], 0, 8, padding_value);
    put(&r[2], 8, 8, padding_value);
    put(&r[2], 16, 8, padding_value);
    put(&r[3], 12, 3, conv.padding.bottom);
    put(&r[3], 8, 3, conv.padding.top);
    put(&r[3], 0, 3, conv.padding.left);
    put(&r[3], 4, 3, conv.padding.right);
    return r;
}

std::vector<uint32_t> pack_signed_words(const Dense& thresholds, const Dense& steps) {
    const int32_t* th = thresholds.data<int32_t>();
    const int32_t* st = steps.data<int32_t>();
    const size_t n = thresholds.size();
    if (steps.size() < n) {
        throw std::invalid_argument("HRC: fewer threshold steps than thresholds.");
    }
    std::vector<uint32_t> words;
    words.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        const int32_t t = th[i];
        if (t < -8388608 || t > 8388607) panic("%d cannot fit in a %d bits signed integer.", t, 24);
        words.push_back(static_cast<uint32_t>(t) & 0xFFFFFFu);
        words.push_back(static_cast<uint32_t>(st[i]));
    }
    return words;
}

void record_hrc_sram_select(program::Record* record, const RegDetail& field,
                            const std::vector<uint32_t>& data) {
    record_hrc_sram_write(record, field, data);
}

std::unique_ptr<program::Record> record_program_hrc_layer(const Device& device,
                                                          const Layer& layer) {
    const auto& input_conv = dynamic_cast<const InputConvolutional&>(layer);
    const ConvCalculatedParams& conv = input_conv.conv_calculated_params();

    auto record = program::new_record(device.version());
    const HrcRegisters regs = format_hrc_regs(*layer.params(), conv);
    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_ADDR_CONFIG,
                         std::vector<uint32_t>(regs.begin(), regs.end()), true, true);

    const auto images = format_hrc_weights(*variable(layer, "weights"));
    static const RegDetail kSelects[3] = {HRC_SRAM_SELECT_R, HRC_SRAM_SELECT_G, HRC_SRAM_SELECT_B};
    for (size_t i = 0; i < 3 && i < images.size(); ++i) {
        record_hrc_sram_select(record.get(), kSelects[i], images[i]);
    }
    record_hrc_sram_select(record.get(), HRC_SRAM_SELECT_TH_STP, threshold_image(layer));

    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_ADDR_CONFIG, {regs[0] & ~1u}, true,
                         true);
    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_ADDR_START, {1}, true, true);
    record->add_np_track(kHrcIdent, dma::IpRegisters, HRC_REG_ADDR_START, {0}, true, true);
    return record;
}

uint32_t get_hrc_sram_size(const Layer& layer) {
    uint64_t n = 0;
    for (const auto& image : format_hrc_weights(*variable(layer, "weights"))) n += image.size();
    n += threshold_image(layer).size();
    if (n > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    if (dma::config_block_size_needs_xl(static_cast<uint32_t>(n))) n = (n + 15) / 16 * 16;
    return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
}

}  // namespace vorna::v1
