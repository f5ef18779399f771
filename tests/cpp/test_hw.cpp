#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"

namespace {

using vorna::IpVersion;
using vorna::MemoryInfo;
using vorna::Mesh;
using vorna::NpSpace;
using vorna::SramSize;
using vorna::TargetComponent;
using vorna::hw::Component;
using vorna::hw::Ident;
using vorna::hw::Placement;
using vorna::hw::Type;
using vorna::np::Info;

TEST(HwType, NamesAndTargetComponents) {
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
        {255, "Unknown", TargetComponent::None},
        {0xFFFFFFFFu, "Unknown", TargetComponent::None},
    };
    for (const auto& c : cases) {
        const auto type = static_cast<Type>(c.value);
        EXPECT_EQ(vorna::hw::to_string(type), c.name) << c.value;
        EXPECT_EQ(vorna::hw::to_target_component(type), c.target) << c.value;
    }
}

TEST(HwIpVersion, FromProductIdAndName) {
    for (int p = 0; p <= 0xFF; ++p) {
        IpVersion expected = IpVersion::none;
        if (p == 0x00 || p == 0xA1) expected = IpVersion::v1;
        if (p == 0xA2) expected = IpVersion::v2;
        if (p == 0xB1) expected = IpVersion::mote;
        EXPECT_EQ(vorna::ip_version_from_product_id(static_cast<uint8_t>(p)), expected) << p;
    }
    EXPECT_STREQ(vorna::ip_version_name(IpVersion::none), "none");
    EXPECT_STREQ(vorna::ip_version_name(IpVersion::v1), "v1");
    EXPECT_STREQ(vorna::ip_version_name(IpVersion::v2), "v2");
    EXPECT_STREQ(vorna::ip_version_name(IpVersion::mote), "mote");
    EXPECT_STREQ(vorna::ip_version_name(static_cast<IpVersion>(4)), "none");
}

TEST(HwIdent, OrderIsColumnRowIdChannel) {
    struct Case {
        Ident a;
        Ident b;
        bool a_less_b;
    };
    const Case cases[] = {
        {{0, 5, 5, 5}, {1, 0, 0, 0}, true},  // column decides before row
        {{1, 0, 0, 0}, {0, 5, 5, 5}, false},    {{2, 1, 9, 9}, {2, 2, 0, 0}, true},  // then row
        {{2, 2, 1, 9}, {2, 2, 2, 0}, true},                                          // then id
        {{2, 2, 2, 0}, {2, 2, 2, 1}, true},                                          // then channel
        {{2, 2, 2, 1}, {2, 2, 2, 0}, false},    {{3, 3, 3, 3}, {3, 3, 3, 3}, false},
        {{127, 0, 0, 0}, {128, 0, 0, 0}, true},  // bytes compare unsigned
        {{255, 0, 0, 0}, {1, 0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a < c.b, c.a_less_b)
            << int(c.a.col) << "." << int(c.a.row) << "." << int(c.a.id) << "." << int(c.a.channel);
    }

    std::set<Ident> ordered = {{4, 1, 0}, {1, 2, 3, 1}, {1, 2, 3}, {0, 9, 9, 9}};
    const std::vector<Ident> expected = {{0, 9, 9, 9}, {1, 2, 3, 0}, {1, 2, 3, 1}, {4, 1, 0, 0}};
    EXPECT_EQ(std::vector<Ident>(ordered.begin(), ordered.end()), expected);
    EXPECT_EQ(Ident(1, 2, 3), Ident(1, 2, 3, 0));
    EXPECT_NE(Ident(1, 2, 3), Ident(1, 2, 3, 4));  // equality includes the channel
}

NpSpace space(int32_t x, int32_t y, std::initializer_list<uint32_t> dims) {
    NpSpace s;
    s.x = x;
    s.y = y;
    s.shape = vorna::Shape(dims);
    return s;
}

Component placed_component() {
    Placement p;
    p.start_neuron = 8;
    p.filters = 16;
    p.spatial_partition = space(20, 0, {20, 10, 3});
    p.aux_partition = space(19, 0, {21, 10, 3});
    p.single_buffer = true;
    Component c(Type::CNP2, Ident(2, 1, 3), p);
    c.mem_info.input_size = 100;
    c.mem_info.weight_size = 200;
    return c;
}

TEST(HwComponent, PlacementQueries) {
    const Component bare(Type::SKIP_DMA_STORE, Ident(1, 1, 3, 2));
    EXPECT_TRUE(bare.single_buffer());
    EXPECT_FALSE(bare.filters().has_value());
    EXPECT_FALSE(bare.spatial_partition().has_value());
    Component c = placed_component();
    EXPECT_EQ(c.filters(), 16u);
    EXPECT_EQ(c.start_neuron(), 8u);
    EXPECT_EQ(c.spatial_partition(), space(20, 0, {20, 10, 3}));
    c.placement->single_buffer = false;
    EXPECT_FALSE(c.single_buffer());
}

TEST(HwComponent, Equality) {
    const Component base = placed_component();
    EXPECT_EQ(base, placed_component());

    Component other = placed_component();
    other.placement->single_buffer = !other.placement->single_buffer;
    EXPECT_EQ(base, other) << "the single-buffer flag takes no part";

    const auto differs = [&](auto change) {
        Component c = placed_component();
        change(c);
        return c != base;
    };
    EXPECT_TRUE(differs([](Component& c) { c.type = Type::CNP1; }));
    EXPECT_TRUE(differs([](Component& c) { c.ident.channel = 1; }));
    EXPECT_TRUE(differs([](Component& c) { c.placement.reset(); }));
    EXPECT_TRUE(differs([](Component& c) { c.placement->start_neuron = 0; }));
    EXPECT_TRUE(differs([](Component& c) { c.placement->filters = 15; }));
    EXPECT_TRUE(differs([](Component& c) { c.placement->spatial_partition.x = 0; }));
    EXPECT_TRUE(differs([](Component& c) { c.placement->spatial_partition.shape = {20, 10}; }));
    EXPECT_TRUE(differs([](Component& c) { c.placement->aux_partition.y = -1; }));
    EXPECT_TRUE(differs([](Component& c) { c.placement->aux_partition.shape = {21, 10, 4}; }));
    EXPECT_TRUE(differs([](Component& c) { c.mem_info.evsram_32b_size = 1; }));
    EXPECT_TRUE(differs([](Component& c) { c.mem_info.external_size = 1; }));

    // Components without placement compare on type, ident and memory sizes only.
    EXPECT_EQ(Component(Type::HRC, Ident()), Component(Type::HRC, Ident()));
    EXPECT_NE(Component(Type::HRC, Ident()), Component(Type::DMA, Ident()));
}

TEST(HwNpSpace, EqualityLooksOnlyAtUsedDimensions) {
    NpSpace a = space(1, 2, {4, 5});
    NpSpace b = a;
    b.shape.dims[3] = 7;  // beyond the count
    EXPECT_EQ(a, b);
    b.shape.dims[1] = 6;
    EXPECT_NE(a, b);
    EXPECT_EQ(NpSpace{}, NpSpace{});
    EXPECT_NE(NpSpace{}, space(0, 0, {1}));
}

TEST(HwInfo, Equality) {
    const Info a(Ident(1, 2, 0), {Type::CNP2, Type::CNP1}, true);
    EXPECT_EQ(std::vector<Type>(a.types.begin(), a.types.end()),
              (std::vector<Type>{Type::CNP1, Type::CNP2}));
    EXPECT_EQ(a, Info(Ident(1, 2, 0), {Type::CNP1, Type::CNP2, Type::CNP1}, true));
    EXPECT_NE(a, Info(Ident(1, 2, 0), {Type::CNP1, Type::CNP2}, false));
    EXPECT_NE(a, Info(Ident(1, 2, 0), {Type::CNP1}, true));
    EXPECT_NE(a, Info(Ident(1, 2, 0, 1), {Type::CNP1, Type::CNP2}, true));
    EXPECT_FALSE(Info(Ident(), {}).has_lut);
}

TEST(HwSramSize, Presets) {
    EXPECT_EQ(vorna::SramSize_v1, (SramSize{43008, 44800, 0, 0, 0, 0}));
    EXPECT_EQ(vorna::SramSize_v2, (SramSize{65536, 51200, 0, 0, 0, 0}));
    EXPECT_EQ(vorna::SramSize_mote, (SramSize{0, 0, 448, 8192, 892, 256}));
    EXPECT_EQ(vorna::sram_size_preset(IpVersion::v1), &vorna::SramSize_v1);
    EXPECT_EQ(vorna::sram_size_preset(IpVersion::v2), &vorna::SramSize_v2);
    EXPECT_EQ(vorna::sram_size_preset(IpVersion::mote), &vorna::SramSize_mote);
    EXPECT_EQ(vorna::sram_size_preset(IpVersion::none), nullptr);
    EXPECT_EQ(vorna::sram_size_preset(static_cast<IpVersion>(9)), nullptr);
    for (int field = 0; field < 6; ++field) {
        SramSize s = vorna::SramSize_mote;
        uint32_t* words[] = {&s.input_bytes,    &s.weight_bytes,   &s.stsram_32b_size,
                             &s.fsram_64b_size, &s.tsram_51b_size, &s.evsram_32b_size};
        *words[field] += 1;
        EXPECT_NE(s, vorna::SramSize_mote) << field;
    }
}

Mesh make_mesh(IpVersion version, bool hrc = true) {
    std::optional<Info> hrc_info;
    if (hrc) hrc_info = Info(Ident(), {Type::HRC}, true);
    return Mesh(version, Ident(1, 1, 0), Ident(1, 1, 1), hrc_info,
                {Info(Ident(1, 2, 0), {Type::CNP1, Type::CNP2}, true),
                 Info(Ident(1, 2, 1), {Type::FNP2}, true)},
                {Info(Ident(1, 1, 3, 4), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, false)});
}

TEST(HwMesh, ConstructorSetsPresetSramSize) {
    const Mesh v1 = make_mesh(IpVersion::v1);
    EXPECT_EQ(v1.np_sram_size, vorna::SramSize_v1);
    const Mesh v2 = make_mesh(IpVersion::v2);
    EXPECT_EQ(v2.np_sram_size, (SramSize{65536, 51200, 0, 0, 0, 0}));
    const Mesh mote = make_mesh(IpVersion::mote, false);
    EXPECT_EQ(mote.np_sram_size, vorna::SramSize_mote);

    EXPECT_EQ(v2.skip_dmas.at(0).ident.channel, 4);
    EXPECT_FALSE(mote.hrc.has_value());
}

TEST(HwMesh, InvalidIpVersionIsRefused) {
    for (uint32_t value : {0u, 4u, 100u}) {
        try {
            make_mesh(static_cast<IpVersion>(value));
            FAIL() << "accepted IP version " << value;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "The mesh should have a valid IP version.");
        }
    }
}

TEST(HwMesh, HasLutOnAllNps) {
    Mesh empty(IpVersion::v2, Ident(), Ident(), std::nullopt, {}, {});
    EXPECT_TRUE(empty.has_lut_on_all_nps());

    Mesh m = make_mesh(IpVersion::v2);
    EXPECT_TRUE(m.has_lut_on_all_nps()) << "skip DMAs without LUT are not considered";
    m.nps[1].has_lut = false;
    EXPECT_FALSE(m.has_lut_on_all_nps());
    m.nps[1].has_lut = true;
    m.hrc->has_lut = false;
    EXPECT_FALSE(m.has_lut_on_all_nps()) << "an HRC without LUT decides even when every NP has one";

    Mesh no_hrc_no_lut(IpVersion::v1, Ident(), Ident(), std::nullopt,
                       {Info(Ident(1, 2, 0), {Type::CNP1}, false)}, {});
    EXPECT_FALSE(no_hrc_no_lut.has_lut_on_all_nps());
    Mesh hrc_only(IpVersion::v1, Ident(), Ident(), Info(Ident(), {Type::HRC}, false), {}, {});
    EXPECT_FALSE(hrc_only.has_lut_on_all_nps());
}

TEST(HwMesh, Equality) {
    const Mesh base = make_mesh(IpVersion::v2);
    EXPECT_EQ(base, make_mesh(IpVersion::v2));
    EXPECT_NE(base, make_mesh(IpVersion::v1));
    EXPECT_NE(base, make_mesh(IpVersion::v2, false));

    Mesh swapped = make_mesh(IpVersion::v2);
    std::swap(swapped.nps[0], swapped.nps[1]);
    EXPECT_NE(base, swapped) << "NP order matters";

    const auto differs = [&](auto change) {
        Mesh m = make_mesh(IpVersion::v2);
        change(m);
        return m != base;
    };
    EXPECT_TRUE(differs([](Mesh& m) { m.skip_dmas[0].has_lut = true; }));
    EXPECT_TRUE(differs([](Mesh& m) { m.np_sram_size.weight_bytes = 0; }));
    EXPECT_TRUE(differs([](Mesh& m) { m.dma_conf.id = 2; }));
}

}  // namespace
