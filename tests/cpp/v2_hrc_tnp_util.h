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
#include "test_support.h"

namespace v2hrc_test {

using namespace vorna;

inline const HwVersion kV2Version{0xBC, 0xA2, 1, 3};

inline std::shared_ptr<Device> v2_device() {
    return vorna::test_support::bare_virtual_device(kV2Version, IpVersion::v2);
}

using vorna::test_support::Block;
using vorna::test_support::decode;

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
