#pragma once

// Helpers of the HRC, InputConv2D and TNP-B tests: a v2 virtual device and a
// decoder that splits a program record back into its DMA blocks.

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/dma.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/record.h"

namespace v2hrc_test {

using namespace vorna;

inline const HwVersion kV2Version{0xBC, 0xA2, 1, 3};

inline std::shared_ptr<Device> v2_device() {
    Mesh mesh(IpVersion::v2, hw::Ident{0, 0, 0, 0}, hw::Ident{1, 0, 0, 0}, std::nullopt, {}, {});
    return make_virtual_device(kV2Version, mesh);
}

// One DMA block of a record, as its configuration header describes it.
struct Block {
    size_t track = 0;
    hw::Ident np;
    uint32_t target = 0;
    uint32_t offset = 0;
    bool xl = false;
    std::vector<uint32_t> payload;  // XL padding included
};

// Every block of every track, in order. Blocks must carry their size.
inline std::vector<Block> decode(const program::Record& record) {
    std::vector<Block> blocks;
    for (size_t t = 0; t < record.tracks().size(); ++t) {
        const std::vector<uint32_t>& data = record.tracks()[t].data();
        size_t pos = 0;
        while (pos + 2 <= data.size()) {
            Block b;
            b.track = t;
            const uint32_t w0 = data[pos];
            const uint32_t w1 = data[pos + 1];
            b.np = hw::Ident{static_cast<uint8_t>(dma::HDR0_COL.get(w0)),
                             static_cast<uint8_t>(dma::HDR0_ROW.get(w0)),
                             static_cast<uint8_t>(dma::HDR0_ID.get(w0)), 0};
            b.xl = dma::HDR0_XL.get(w0) != 0;
            b.target = dma::HDR0_TARGET.get(w0);
            b.offset = dma::HDR1_OFFSET.get(w1);
            const size_t size =
                b.xl ? dma::HDR1_XL_SIZE.get(w1) * dma::XL_SIZE_UNIT_WORDS : dma::HDR0_SIZE.get(w0);
            pos += 2;
            b.payload.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                             data.begin() + static_cast<std::ptrdiff_t>(pos + size));
            pos += size;
            blocks.push_back(std::move(b));
        }
    }
    return blocks;
}

// The (target, offset) pairs of the blocks, in order.
inline std::vector<std::pair<uint32_t, uint32_t>> targets_and_offsets(
    const std::vector<Block>& blocks) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const Block& b : blocks) out.emplace_back(b.target, b.offset);
    return out;
}

inline std::vector<uint32_t> targets(const std::vector<Block>& blocks) {
    std::vector<uint32_t> out;
    for (const Block& b : blocks) out.push_back(b.target);
    return out;
}

}  // namespace v2hrc_test
