#pragma once

// A v2 virtual device and a decoder of recorded DMA blocks.

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/dma.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/record.h"
#include "test_support.h"

namespace v2rec_test {

using namespace vorna;

inline const HwVersion kV2RecVersion{0xBC, 0xA2, 2, 7};

inline std::shared_ptr<Device> v2_device() {
    return vorna::test_support::bare_virtual_device(kV2RecVersion, IpVersion::v2);
}

using vorna::test_support::Block;
using vorna::test_support::decode;

using OffsetWords = std::vector<std::pair<uint32_t, std::vector<uint32_t>>>;

inline OffsetWords offsets_and_words(const std::vector<Block>& blocks) {
    OffsetWords out;
    for (const auto& b : blocks) out.emplace_back(b.offset, b.payload);
    return out;
}

}  // namespace v2rec_test
