// The hardware model's names and kinds: component types, the layer target
// each answers for, IP version names, and component equality.

#include <gtest/gtest.h>

#include <string>

#include "backend/hw.h"

namespace vorna {
namespace {

TEST(HwModel, TypeNamesAndTargets) {
    struct Case {
        uint32_t value;
        const char* name;
        TargetComponent target;
    };
    const Case cases[] = {
        {0, "None", TargetComponent::None},
        {1, "HRC", TargetComponent::HRC},
        {2, "CNP1", TargetComponent::CNP},
        {3, "CNP2", TargetComponent::CNP},
        {4, "FNP2", TargetComponent::FNP},
        {5, "FNP3", TargetComponent::FNP},
        {6, "SKIP_DMA_STORE", TargetComponent::SkipDMA},
        {7, "TNP_B", TargetComponent::TNP_B},
        {8, "TNP_R", TargetComponent::TNP_R},
        {9, "SKIP_DMA_LOAD", TargetComponent::SkipDMA},
        {10, "DMA", TargetComponent::DMA},
        {11, "Unknown", TargetComponent::None},
        {0xFFFFFFFF, "Unknown", TargetComponent::None},
    };
    for (const Case& c : cases) {
        const auto type = static_cast<hw::Type>(c.value);
        EXPECT_EQ(hw::to_string(type), c.name) << c.value;
        EXPECT_EQ(hw::to_target_component(type), c.target) << c.value;
    }
    // The target values the core library numbers.
    EXPECT_EQ(static_cast<int>(hw::to_target_component(hw::Type::DMA)), 7);
    EXPECT_EQ(static_cast<int>(hw::to_target_component(hw::Type::SKIP_DMA_LOAD)), 4);
}

TEST(HwModel, IpVersionsByProduct) {
    struct Case {
        uint8_t product;
        IpVersion version;
        const char* name;
    };
    for (const Case& c : {Case{0x00, IpVersion::v1, "v1"}, Case{0xA1, IpVersion::v1, "v1"},
                          Case{0xA2, IpVersion::v2, "v2"}, Case{0xB1, IpVersion::mote, "mote"},
                          Case{0xA3, IpVersion::none, "none"}}) {
        EXPECT_EQ(ip_version_from_product_id(c.product), c.version) << int(c.product);
        EXPECT_STREQ(ip_version_name(ip_version_from_product_id(c.product)), c.name);
    }
}

TEST(HwModel, ComponentEquality) {
    const hw::Component bare(hw::Type::CNP1, hw::Ident(1, 1, 0));
    hw::Component placed = bare;
    placed.placement = hw::Placement{};
    EXPECT_FALSE(bare == placed);  // a placement on one side only
    EXPECT_FALSE(placed == bare);
    hw::Component other = placed;
    EXPECT_TRUE(other == placed);
    other.placement->filters = 3;
    EXPECT_FALSE(other == placed);
    other = placed;
    other.placement->aux_partition.x = -1;
    EXPECT_FALSE(other == placed);
    other = placed;
    other.mem_info.external_size = 4;
    EXPECT_FALSE(other == placed);
    other = placed;
    other.ident.channel = 1;
    EXPECT_FALSE(other == placed);
}

}  // namespace
}  // namespace vorna
