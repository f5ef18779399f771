#include "backend/v2/skipdma.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "program/record.h"
#include "program/register.h"

namespace vorna::v2 {

namespace {

// Word written twice to the load engine of a TNP-B layer before anything else.
constexpr uint32_t TNP_B_LOAD_START_WORD = 0x83000601u;

// Fixed addresses and per-channel offsets of the skip-DMA register block.
constexpr uint32_t SKIPDMA_COMMON_ADDR = 0x1001;
constexpr uint32_t OFF_LOAD_START = 0x00;
constexpr uint32_t OFF_MODE = 0x03;
constexpr uint32_t OFF_TRANSFER_UNIT = 0x1C;
constexpr uint32_t OFF_BUFFER_SLOTS = 0x22;
constexpr uint32_t OFF_LOAD_MODE = 0x28;
constexpr uint32_t OFF_STORE_GEOMETRY = 0x3C;
constexpr uint32_t OFF_LOAD_MESH = 0x1004;
constexpr uint32_t OFF_STORE_ROUTE = 0x1024;
constexpr uint32_t OFF_STORE_CHANNEL = 0x1026;
constexpr uint32_t OFF_LOAD_CONCAT = 0x102B;

// channel * 256 + offset. Channels high enough to push the address past 16
// bits would program another engine's registers, so they are refused.
uint16_t channel_address(uint8_t channel, uint32_t offset) {
    const uint32_t address = static_cast<uint32_t>(channel) * 256u + offset;
    if (address > 0xFFFFu) {
        throw std::runtime_error("Skip-DMA channel " + std::to_string(channel) +
                                 " is out of range.");
    }
    return static_cast<uint16_t>(address);
}

// The word that tells a skip-DMA engine which NPs it exchanges data with: for
// one component 2, its one-hot id in bits 4-7, its row in bits 16-23 and col
// in bits 24-31; for several, 1 and the smallest and largest col in bits
// 16-23 and 24-31.
uint32_t component_span_word(const std::vector<hw::Component>& components) {
    if (components.empty()) {
        throw std::runtime_error("A skip-DMA engine has no component to exchange data with.");
    }
    if (components.size() == 1) {
        const hw::Ident& id = components.front().ident;
        return 2u | checked_field_value(one_hot(id.id), 4) << 4 |
               static_cast<uint32_t>(id.row) << 16 | static_cast<uint32_t>(id.col) << 24;
    }
    const auto by_col = [](const hw::Component& a, const hw::Component& b) {
        return a.ident.col < b.ident.col;
    };
    const auto [low, high] = std::minmax_element(components.begin(), components.end(), by_col);
    return 1u | static_cast<uint32_t>(low->ident.col) << 16 |
           static_cast<uint32_t>(high->ident.col) << 24;
}

void send_blocks(program::Record* record, const hw::Ident& engine, const SkipDmaBlocks& blocks) {
    for (const auto& [address, words] : blocks) {
        record->add_np_track(engine, dma::SkipDmaRegisters, address, words, true, true);
    }
}

[[noreturn]] void missing(const Layer& layer, const std::string& what) {
    throw std::runtime_error("Layer '" + layer.get_name() + "' has no " + what + ".");
}

}  // namespace

void format_skipdma_load_words(SkipDmaBlocks* blocks, uint8_t c, uint8_t lb, uint32_t mc,
                               const std::vector<hw::Component>& components, uint32_t ld) {
    if (blocks == nullptr) throw std::invalid_argument("Null skip-DMA block map.");
    blocks->emplace(SKIPDMA_COMMON_ADDR, std::vector<uint32_t>{0});

    for (const auto& component : components) {
        if (!component.placement) throw std::invalid_argument("Merging layer has no CNPs.");
    }
    const uint32_t w0 = component_span_word(components);
    const uint32_t channel = checked_field_value(mc, 8);
    const uint32_t w1 = channel << 8;
    const uint32_t w2 = 1u + (static_cast<uint32_t>(lb) << 8) + (channel << 16) + (channel << 24);
    blocks->emplace(channel_address(c, OFF_LOAD_MESH), std::vector<uint32_t>{w0, w1, w2});

    blocks->emplace(channel_address(c, OFF_LOAD_CONCAT),
                    std::vector<uint32_t>{checked_field_value(ld, 12)});
}

void record_skipdma_store(program::Record* record, const Layer& layer, bool dual, bool tnp,
                          uint32_t fifo) {
    if (record == nullptr) throw std::invalid_argument("Null program record.");
    const LayerMapping& mapping = layer_mapping_of(layer);
    const hw::Component* store =
        dual ? mapping.skipdma_store_dual_output() : mapping.skipdma_store();
    if (store == nullptr) missing(layer, dual ? "dual-output skip-DMA store" : "skip-DMA store");
    const uint8_t c = store->ident.channel;

    // Where the stored data comes from (route and NPs) and whether the store
    // is routed.
    uint64_t route = 0;
    uint8_t routed = 0;
    std::vector<hw::Component> peers;
    if (tnp) {
        // The store of a TNP-B layer keeps the layer's input: it listens on
        // the channel just below the layer's own.
        route = static_cast<uint32_t>(mapping.channel) - 1u;
        peers = source_components(mapping);
    } else {
        if (dual) {
            if (!mapping.merge_info) missing(layer, "merge information");
            route = mapping.merge_info->dual_output_channel;
        } else {
            route = mapping.next_channel;
        }
        peers = own_components(mapping);
    }
    if (!dual) {
        if (!mapping.skipdma_store_channel) missing(layer, "skip-DMA store channel");
        routed = mapping.skipdma_store_channel->store_flag;
    }

    SkipDmaBlocks blocks;
    blocks.emplace(SKIPDMA_COMMON_ADDR, std::vector<uint32_t>{0});
    const uint32_t route_field = checked_field_value(route, 8);
    blocks.emplace(
        channel_address(c, OFF_STORE_CHANNEL),
        std::vector<uint32_t>{(routed | static_cast<uint32_t>(tnp)) + route_field * 256u});
    if (routed != 0) {
        blocks.emplace(channel_address(c, OFF_STORE_ROUTE),
                       std::vector<uint32_t>{component_span_word(peers)});
    }

    // The stored tensor: the layer's input for a dual store or a TNP-B
    // layer, its output otherwise.
    Shape dims;
    uint32_t bits = 0;
    if (dual || tnp) {
        const std::vector<Shape> inputs = layer.input_dimensions();
        if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
        dims = inputs.front();
        bits = layer.input_bits();
    } else {
        dims = layer.output_dimensions();
        bits = layer.output_bits();
    }

    const uint32_t slots = tnp ? checked_field_value(static_cast<uint64_t>(fifo) + 1, 12) : 2u;
    blocks.emplace(channel_address(c, OFF_BUFFER_SLOTS), std::vector<uint32_t>{2u, slots});
    blocks.emplace(channel_address(c, OFF_TRANSFER_UNIT), std::vector<uint32_t>{0x20u});

    const uint32_t v0 = checked_field_value(fifo, 4);
    const uint64_t extent = tnp ? dims[2] : dims[0];
    const uint64_t lines = tnp ? dims[0] : dims[1];
    const uint32_t v1 = checked_field_value((bits * extent + 31) / 32, 10);
    const uint32_t v2 = checked_field_value(static_cast<uint64_t>(v1) * lines, 21);
    blocks.emplace(channel_address(c, OFF_STORE_GEOMETRY), std::vector<uint32_t>{v0, v1, v2});

    send_blocks(record, store->ident, blocks);
}

void record_skipdma(program::Record* record, const Layer& layer) {
    if (record == nullptr) throw std::invalid_argument("Null program record.");
    const LayerMapping& mapping = layer_mapping_of(layer);
    const bool tnp = layer.is_target_component(TargetComponent::TNP_B);
    const uint32_t fifo = tnp ? static_cast<uint32_t>(layer.params()->get("fifo_size")) : 0u;
    const hw::Component* load = mapping.skipdma_load();

    if (tnp) {
        if (load == nullptr) missing(layer, "skip-DMA load");
        const uint16_t address = channel_address(load->ident.channel, OFF_LOAD_START);
        for (int i = 0; i < 2; ++i) {
            record->add_np_track(load->ident, dma::SkipDmaRegisters, address,
                                 {TNP_B_LOAD_START_WORD}, true, true);
        }
    }
    if (mapping.skipdma_store() != nullptr) record_skipdma_store(record, layer, false, tnp, fifo);
    if (mapping.skipdma_store_dual_output() != nullptr) {
        record_skipdma_store(record, layer, true, tnp, fifo);
    }
    if (load == nullptr) return;

    if (!mapping.skipdma_load_channel) missing(layer, "skip-DMA load channel");
    const uint8_t c = load->ident.channel;
    const uint32_t merged_channel =
        mapping.merge_info ? mapping.merge_info->load_channel : mapping.channel;
    SkipDmaBlocks blocks;
    format_skipdma_load_words(&blocks, c, mapping.skipdma_load_channel->dma_channel, merged_channel,
                              own_components(mapping), mapping.skipdma_load_channel->concat_offset);
    if (tnp) {
        blocks.emplace(channel_address(c, OFF_MODE),
                       std::vector<uint32_t>{2u + checked_field_value(fifo, 8) * 65536u});
    } else {
        blocks.emplace(channel_address(c, OFF_LOAD_MODE), std::vector<uint32_t>{2u});
        blocks.emplace(channel_address(c, OFF_MODE), std::vector<uint32_t>{0x20002u});
    }
    send_blocks(record, load->ident, blocks);
}

}  // namespace vorna::v2
