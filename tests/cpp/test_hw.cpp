#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "test_support.h"

namespace {

using namespace vorna;
using hw::Component;
using hw::Ident;
using hw::Type;
using np::Info;

TEST(Hw, TypeNamesTargetsAndIpVersions) {
    const std::vector<std::pair<const char*, TargetComponent>> cases{
        {"None", TargetComponent::None},
        {"HRC", TargetComponent::HRC},
        {"CNP1", TargetComponent::CNP},
        {"CNP2", TargetComponent::CNP},
        {"FNP2", TargetComponent::FNP},
        {"FNP3", TargetComponent::FNP},
        {"SKIP_DMA_STORE", TargetComponent::SkipDMA},
        {"TNP_B", TargetComponent::TNP_B},
        {"TNP_R", TargetComponent::TNP_R},
        {"SKIP_DMA_LOAD", TargetComponent::SkipDMA},
        {"DMA", TargetComponent::DMA},
        {"Unknown", TargetComponent::None}};
    for (uint32_t v = 0; v < cases.size(); ++v) {
        EXPECT_EQ(hw::to_string(Type(v)), cases[v].first) << v;
        EXPECT_EQ(hw::to_target_component(Type(v)), cases[v].second) << v;
    }
    EXPECT_EQ(hw::to_string(Type(0xFFFFFFFFu)), "Unknown");
    for (int p = 0; p <= 0xFF; ++p) {
        const IpVersion expected = p == 0x00 || p == 0xA1 ? IpVersion::v1
                                   : p == 0xA2            ? IpVersion::v2
                                   : p == 0xB1            ? IpVersion::mote
                                                          : IpVersion::none;
        EXPECT_EQ(ip_version_from_product_id(uint8_t(p)), expected) << p;
    }
    EXPECT_STREQ(ip_version_name(IpVersion::mote), "mote");
    EXPECT_STREQ(ip_version_name(static_cast<IpVersion>(4)), "none");
}

TEST(Hw, IdentOrderIsColumnRowIdChannel) {
    std::set<Ident> ordered = {{4, 1, 0},   {1, 2, 3, 1}, {1, 2, 3},    {0, 9, 9, 9},
                               {128, 0, 0}, {127, 0, 0},  {1, 2, 2, 9}, {1, 1, 9, 9}};
    EXPECT_EQ(std::vector<Ident>(ordered.begin(), ordered.end()),
              (std::vector<Ident>{{0, 9, 9, 9},
                                  {1, 1, 9, 9},
                                  {1, 2, 2, 9},
                                  {1, 2, 3, 0},
                                  {1, 2, 3, 1},
                                  {4, 1, 0},
                                  {127, 0, 0},
                                  {128, 0, 0}}));
    EXPECT_FALSE(Ident(3, 3, 3, 3) < Ident(3, 3, 3, 3));
    EXPECT_NE(Ident(1, 2, 3), Ident(1, 2, 3, 4));
}

TEST(Hw, ComponentEqualityAndQueries) {
    const auto placed = [] {
        Component c(Type::CNP2, Ident(2, 1, 3),
                    hw::Placement{8, 16, test_support::space(20, 0, 20, 10, 3),
                                  test_support::space(19, 0, 21, 10, 3), true});
        c.mem_info.input_size = 100;
        return c;
    };
    const Component base = placed();
    EXPECT_EQ(base.filters(), 16u);
    EXPECT_EQ(base.start_neuron(), 8u);
    EXPECT_TRUE(Component(Type::DMA, Ident()).single_buffer());
    EXPECT_FALSE(Component(Type::DMA, Ident()).filters().has_value());
    const std::vector<std::function<void(Component&)>> same{
        [](Component&) {}, [](Component& c) { c.placement->single_buffer = false; }};
    const std::vector<std::function<void(Component&)>> changes{
        [](Component& c) { c.type = Type::CNP1; },
        [](Component& c) { c.ident.channel = 1; },
        [](Component& c) { c.placement.reset(); },
        [](Component& c) { c.placement->start_neuron = 0; },
        [](Component& c) { c.placement->filters = 15; },
        [](Component& c) { c.placement->spatial_partition.x = 0; },
        [](Component& c) { c.placement->spatial_partition.shape = {20, 10}; },
        [](Component& c) { c.placement->aux_partition.y = -1; },
        [](Component& c) { c.mem_info.external_size = 1; }};
    for (const auto& f : same) {
        Component c = placed();
        f(c);
        EXPECT_EQ(c, base);
    }
    for (size_t i = 0; i < changes.size(); ++i) {
        Component c = placed();
        changes[i](c);
        EXPECT_NE(c, base) << i;
    }
}

Mesh make_mesh(IpVersion version, bool hrc_lut = true, bool np_lut = true) {
    return Mesh(version, Ident(1, 1, 0), Ident(1, 1, 1), Info(Ident(), {Type::HRC}, hrc_lut),
                {Info(Ident(1, 2, 0), {Type::CNP1, Type::CNP2}, true),
                 Info(Ident(1, 2, 1), {Type::FNP2}, np_lut)},
                {Info(Ident(1, 1, 3, 4), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, false)});
}

TEST(Hw, MeshSramPresetsLutAndRefusals) {
    EXPECT_EQ(SramSize_v1, (SramSize{43008, 44800, 0, 0, 0, 0}));
    EXPECT_EQ(SramSize_v2, (SramSize{65536, 51200, 0, 0, 0, 0}));
    EXPECT_EQ(SramSize_mote, (SramSize{0, 0, 448, 8192, 892, 256}));
    EXPECT_EQ(sram_size_preset(IpVersion::none), nullptr);
    EXPECT_EQ(make_mesh(IpVersion::v1).np_sram_size, SramSize_v1);
    EXPECT_EQ(make_mesh(IpVersion::v2).np_sram_size, SramSize_v2);
    EXPECT_EQ(make_mesh(IpVersion::mote).np_sram_size, SramSize_mote);
    for (uint32_t value : {0u, 4u}) {
        EXPECT_EQ(test_support::exception_text([&] { make_mesh(IpVersion(value)); }),
                  "The mesh should have a valid IP version.");
    }
    // Skip DMAs without a look-up table do not count; an HRC without one does.
    EXPECT_TRUE(make_mesh(IpVersion::v2).has_lut_on_all_nps());
    EXPECT_FALSE(make_mesh(IpVersion::v2, false).has_lut_on_all_nps());
    EXPECT_FALSE(make_mesh(IpVersion::v2, true, false).has_lut_on_all_nps());
    EXPECT_TRUE(Mesh(IpVersion::v2, Ident(), Ident(), std::nullopt, {}, {}).has_lut_on_all_nps());
}

}  // namespace
