#pragma once

// Helpers of the v2 recorder tests: a v2 virtual device and a decoder that
// splits a program record back into its DMA blocks.

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/dma.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/record.h"

namespace v2rec_test {

using namespace vorna;

inline const HwVersion kV2RecVersion{0xBC, 0xA2, 2, 7};

inline std::shared_ptr<Device> v2_device() {
    Mesh mesh(IpVersion::v2, hw::Ident{0, 0, 0, 0}, hw::Ident{1, 0, 0, 0}, std::nullopt, {}, {});
    return make_virtual_device(kV2RecVersion, mesh);
}

// One DMA block of a record as its configuration header describes it.
struct Block {
    size_t track = 0;
    hw::Ident np;  // the header carries no channel: it is 0 here
    uint32_t target = 0;
    uint32_t offset = 0;
    std::vector<uint32_t> payload;
};

// Every block of every track, in order. Blocks must carry their size and
// use the normal header form.
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
            b.target = dma::HDR0_TARGET.get(w0);
            b.offset = dma::HDR1_OFFSET.get(w1);
            const size_t size = dma::HDR0_SIZE.get(w0);
            pos += 2;
            b.payload.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                             data.begin() + static_cast<std::ptrdiff_t>(pos + size));
            pos += size;
            blocks.push_back(std::move(b));
        }
    }
    return blocks;
}

// (offset, payload) of each block, for compact comparisons.
using OffsetWords = std::vector<std::pair<uint32_t, std::vector<uint32_t>>>;

inline OffsetWords offsets_and_words(const std::vector<Block>& blocks) {
    OffsetWords out;
    for (const auto& b : blocks) out.emplace_back(b.offset, b.payload);
    return out;
}

}  // namespace v2rec_test
