#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "backend/layer_split.h"
#include "backend/mesh_mapper.h"
#include "mapper_fakes.h"

namespace vorna {
namespace {

using hw::Component;
using hw::Ident;
using hw::Type;
using mapper_test::FakeLayer;
using mapper_test::FakePooledLayer;
using mapper_test::link;
using mapper_test::make_layer;
using mapper_test::np_info;
using mapper_test::plain_nps;
using mapper_test::Rig;
using mapper_test::skip_dma;
using Idents = std::vector<Ident>;
using Types = std::vector<Type>;

template <class T>
Idents idents_of(const std::vector<T>& items) {
    Idents r;
    for (const auto& s : items) r.push_back(s.ident);
    return r;
}

Types types_of(const std::vector<Component>& components) {
    Types r;
    for (const auto& c : components) r.push_back(c.type);
    return r;
}

// A mapper, reset, on a rig.
struct MapperRig {
    explicit MapperRig(std::vector<np::Info> nps, std::vector<np::Info> skips = {})
        : rig(std::move(nps), std::move(skips)), mapper(rig.checker, rig.constraints) {
        mapper.reset();
    }
    std::pair<std::vector<Component>, MappingStatus> request(const std::shared_ptr<Layer>& layer,
                                                             const Idents& reserved = {},
                                                             bool allow_new_pass = true) {
        return mapper.np_request(layer, reserved, false, &new_group, allow_new_pass);
    }
    size_t free(Type type) { return mapper.available_nps(type).size(); }
    Rig rig;
    MeshMapper mapper;
    bool new_group = false;
};

std::shared_ptr<FakeLayer> conv_layer(const std::string& name, Shape input, int filters = 8) {
    return make_layer(name, LayerType::Conv2D, TargetComponent::CNP, input,
                      {{"filters", filters}, {"kernel_size", 3}});
}

// A mesh whose nps list is deliberately out of order: node (2,1) holds an
// FNP3, (1,1,1) can be FNP2.
std::vector<np::Info> mixed_mesh() {
    return {np_info(2, 1, 2, {Type::CNP1, Type::CNP2}),
            np_info(1, 1, 1, {Type::CNP1, Type::CNP2, Type::FNP2}),
            np_info(2, 1, 1, {Type::FNP3}),
            np_info(1, 2, 0, {Type::CNP1}),
            np_info(2, 1, 0, {Type::CNP1, Type::CNP2}),
            np_info(1, 1, 0, {Type::CNP1, Type::CNP2})};
}

TEST(MeshMapperPools, OrderReserveAllocate) {
    MapperRig s(mixed_mesh(), {skip_dma(1, 2), skip_dma(2, 5)});
    MeshMapper& m = s.mapper;
    const auto& pools = m.pools();
    // Usage words: (1,1,0) 0, (1,2,0) 0, (2,1,0) 1, (2,1,2) 1, (1,1,1) 4.
    EXPECT_EQ(idents_of(pools.at(Type::CNP1)),
              (Idents{{1, 1, 0}, {1, 2, 0}, {2, 1, 0}, {2, 1, 2}, {1, 1, 1}}));
    EXPECT_EQ(idents_of(pools.at(Type::CNP2)),
              (Idents{{1, 1, 0}, {2, 1, 0}, {2, 1, 2}, {1, 1, 1}}));
    EXPECT_EQ(idents_of(pools.at(Type::FNP2)), (Idents{{1, 1, 1}}));
    EXPECT_EQ(idents_of(pools.at(Type::FNP3)), (Idents{{2, 1, 1}}));
    // Two channels per engine, from the first engine; channel 0 first, mesh order.
    const Idents channels{{1, 1, 3, 0}, {1, 1, 3, 1}, {2, 1, 3, 0}, {2, 1, 3, 1}};
    EXPECT_EQ(idents_of(pools.at(Type::SKIP_DMA_STORE)), channels);
    EXPECT_EQ(idents_of(pools.at(Type::SKIP_DMA_LOAD)), channels);
    EXPECT_EQ(pools.count(Type::HRC), 0u);

    m.reserve_nps({{1, 1, 0}});
    EXPECT_EQ(m.max_nps(Type::CNP1), 4u);
    m.allocate_np({1, 1, 1}, Type::None);  // taken in every pool
    EXPECT_EQ(m.available_nps(Type::CNP1), (Idents{{1, 2, 0}, {2, 1, 0}, {2, 1, 2}}));
    EXPECT_TRUE(m.available_nps(Type::FNP2).empty());
    EXPECT_EQ(m.max_nps(Type::FNP2), 1u);  // allocated still counts
    m.allocate_np({2, 1, 0}, Type::CNP2);  // only in the CNP2 pool
    EXPECT_EQ(s.free(Type::CNP1), 3u);
    EXPECT_EQ(m.available_nps(Type::CNP2), (Idents{{2, 1, 2}}));
    // A store channel and the load channel of the same ident are separate.
    m.allocate_np({1, 1, 3, 1}, Type::SKIP_DMA_STORE);
    EXPECT_EQ(s.free(Type::SKIP_DMA_STORE), 3u);
    EXPECT_EQ(s.free(Type::SKIP_DMA_LOAD), 4u);
    // Reserving replaces the reservation; allocations stay.
    m.reserve_nps({});
    EXPECT_EQ(m.max_nps(Type::CNP1), 5u);
    EXPECT_EQ(s.free(Type::CNP1), 4u);
    m.deallocate_nps();
    EXPECT_EQ(s.free(Type::CNP1), 5u);
    m.allocate_np({9, 9, 9}, Type::None);
    EXPECT_EQ(m.max_nps(Type::TNP_R), 0u);

    MapperRig none(plain_nps(2), {skip_dma(1, 0), skip_dma(2, 4)});
    EXPECT_EQ(none.mapper.max_nps(Type::SKIP_DMA_STORE), 0u);  // the first engine decides
}

TEST(MeshMapperFnp, CompatibleFnpKind) {
    MapperRig s(mixed_mesh());
    MeshMapper& m = s.mapper;
    auto dense = make_layer("dense", LayerType::Dense1D, TargetComponent::FNP, Shape({1, 1, 64}),
                            {{"units", 10}});
    EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP3);  // both free, fits
    m.allocate_np({2, 1, 1}, Type::None);
    EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP2);  // FNP3 taken
    m.allocate_np({1, 1, 1}, Type::None);
    EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP3);  // unreserved FNP3 exists
    m.reserve_nps({{2, 1, 1}});
    EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP2);
    m.reserve_nps({});
    m.deallocate_nps();
    s.rig.checker.fnp3_fits = false;
    EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP2);
}

TEST(MeshMapperRequest, DenseAndConvLayers) {
    MapperRig s(mixed_mesh(), {skip_dma(1, 2)});
    auto dense = make_layer("dense", LayerType::FullyConnected, TargetComponent::FNP,
                            Shape({2, 2, 16}), {{"units", 10}});
    s.mapper.allocate_np({2, 1, 1}, Type::None);  // the FNP3 is taken
    s.new_group = true;
    const auto [components, status] = s.request(dense);
    EXPECT_FALSE(status.error) << status.to_string();
    EXPECT_FALSE(s.new_group);
    const NpSpace all{0, 0, Shape({2, 2, 16})};
    ASSERT_EQ(components.size(), 1u);
    EXPECT_EQ(components[0], Component(Type::FNP2, Ident(1, 1, 1), hw::Placement{0, 10, all, all}));
    EXPECT_TRUE(components[0].single_buffer());
    EXPECT_EQ(s.rig.constraints.announced, (std::vector<std::string>{"dense"}));
    EXPECT_EQ(s.free(Type::CNP1), 4u);  // taken in every pool it belongs to

    s.rig.checker.split_params.filters = 16;
    const auto conv = s.request(conv_layer("conv", Shape({8, 8, 4}), 16), {{1, 1, 0}});
    ASSERT_FALSE(conv.second.error) << conv.second.to_string();
    EXPECT_EQ(idents_of(conv.first), (Idents{{1, 2, 0}}));  // (1,1,0) is reserved
    EXPECT_EQ(conv.first[0].type, Type::CNP1);
    EXPECT_EQ(s.free(Type::CNP1), 2u);  // the dense layer holds (1,1,1)
}

TEST(MeshMapperRequest, FullPassesAndShortages) {
    // 6 columns that the checker lets fit only one column per NP.
    MapperRig s(plain_nps(6));
    s.rig.checker.split_params.filters = 1;
    s.rig.checker.dual_fit = [](uint32_t, uint32_t w, uint32_t) { return w <= 1; };
    auto wide = make_layer("wide", LayerType::Conv2D, TargetComponent::CNP, Shape({6, 1, 4}),
                           {{"filters", 1}, {"kernel_size", 1}});
    s.mapper.allocate_np({1, 1, 0}, Type::None);
    s.mapper.allocate_np({1, 1, 1}, Type::None);
    const auto single = s.request(wide, {}, false);
    EXPECT_EQ(single.second.to_string(),
              "Cannot map layer 'wide'. Not enough hardware components of type CNP1 available. "
              "6 are needed but 4 are available.");
    EXPECT_FALSE(s.new_group);
    EXPECT_EQ(s.free(Type::CNP1), 4u);  // nothing taken
    const auto [components, status] = s.request(wide);
    ASSERT_FALSE(status.error) << status.to_string();
    EXPECT_TRUE(s.new_group);
    EXPECT_EQ(idents_of(components),
              (Idents{{1, 1, 0}, {1, 1, 1}, {1, 1, 2}, {1, 1, 3}, {2, 1, 0}, {2, 1, 1}}));
    EXPECT_EQ(s.free(Type::CNP1), 0u);
    // With a new pass allowed the limit is the unreserved NPs of the mesh.
    s.mapper.deallocate_nps();
    EXPECT_EQ(s.request(wide, {{2, 1, 1}}).second.message,
              "Not enough hardware components of type CNP1 available. 6 are needed but 5 are "
              "available.");
    // A selection of another length is a shortage too.
    s.rig.constraints.selector = [](const Idents&, size_t, Type) { return Idents{}; };
    s.rig.checker.split_params.filters = 8;
    EXPECT_EQ(s.request(conv_layer("conv", Shape({1, 1, 4}))).second.message,
              "Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
              "available.");
}

TEST(MeshMapperRequest, RefusalsAndTransposedTiles) {
    MapperRig s(plain_nps(4));
    auto input = make_layer("in", LayerType::InputData, TargetComponent::None, Shape({8, 8, 3}));
    EXPECT_EQ(test_support::runtime_error_text([&] { s.request(input); }),
              "Mapping a layer with HW backend should use HW components.");
    // A convolution kind that targets neither a CNP nor a TNP-B fails before its split.
    auto odd = make_layer("odd", LayerType::Conv2D, TargetComponent::FNP, Shape({8, 8, 3}),
                          {{"filters", 4}, {"kernel_size", 3}});
    EXPECT_THROW(s.request(odd), std::runtime_error);
    EXPECT_EQ(s.rig.checker.split_param_calls, 0);
    EXPECT_THROW(s.request(nullptr), std::invalid_argument);
    EXPECT_THROW(s.mapper.np_request(odd, {}, false, nullptr, true), std::invalid_argument);
    // Transposed layers use half the default tile height.
    const auto transposed = [&](uint32_t height) {
        return s.request(make_layer("up", LayerType::Conv2DTranspose, TargetComponent::CNP,
                                    Shape({16, height, 8}), {{"filters", 8}, {"kernel_size", 4}}));
    };
    EXPECT_EQ(transposed(129).second.to_string(),
              "Cannot map layer 'up'. Split by height is not supported.");
    EXPECT_EQ(types_of(transposed(128).first), Types{Type::CNP1});
}

TEST(MeshMapperRequest, TnpBLayerGetsAStoreAndALoadChannel) {
    MapperRig s(plain_nps(4), {skip_dma(1, 2)});
    s.rig.checker.split_params.filters = 12;
    auto btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B,
                          Shape({4, 4, 8}), {{"filters", 12}, {"fifo_size", 3}});
    s.rig.constraints.set_cnp_max_filters(6);
    const auto [components, status] = s.request(btc);
    ASSERT_FALSE(status.error) << status.to_string();
    EXPECT_EQ(types_of(components),
              (Types{Type::TNP_B, Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
    EXPECT_EQ(idents_of(components), (Idents{{1, 1, 0}, {1, 1, 1}, {1, 1, 3, 0}, {1, 1, 3, 0}}));
    EXPECT_EQ(components[0].placement->filters, 6u);
    EXPECT_EQ(components[1].placement->start_neuron, 6u);
    EXPECT_FALSE(components[2].placement.has_value());
    EXPECT_EQ(s.rig.checker.last_fifo, 3u);
    // Each skip channel is taken in its own pool only.
    EXPECT_EQ(s.mapper.available_nps(Type::SKIP_DMA_STORE), (Idents{{1, 1, 3, 1}}));
    EXPECT_EQ(s.mapper.available_nps(Type::SKIP_DMA_LOAD), (Idents{{1, 1, 3, 1}}));
}

TEST(MeshMapperRequest, TnpBFilterPartsMustKeepMultiplesOfFour) {
    // A TNP-B layer whose NPs each read only their own filters' channels:
    // 12 filters over parts of at most 6 give two TNP-B parts of 6 filters,
    // plus a store and a load channel.
    struct Case {
        uint32_t filters, in_channels;
        size_t components;
        bool fails;
    };
    for (const Case& c : {Case{12, 8, 4, true},      // 6 of 8 channels, 4 components
                          Case{6, 8, 3, false},      // one part: only 3 components
                          Case{12, 6, 4, false}}) {  // each part reads all 6 channels
        MapperRig s(plain_nps(4), {skip_dma(1, 2)});
        s.rig.checker.split_params.filters = c.filters;
        s.rig.constraints.set_cnp_max_filters(6);
        auto btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B,
                              Shape({4, 4, c.in_channels}),
                              {{"filters", static_cast<int>(c.filters)}, {"fifo_size", 1}});
        btc->depthwise = true;
        const auto [components, status] = s.request(btc);
        ASSERT_EQ(components.size(), c.components);
        EXPECT_EQ(components[0].placement->filters, 6u);
        EXPECT_EQ(status.to_string(), c.fails ? "Cannot map layer 'btc'. The number of channels "
                                                "must be a multiple of 4 to be split by filter."
                                              : "Success.");
        // A failed request holds no NP.
        EXPECT_EQ(s.free(Type::TNP_B), c.fails ? 4u : 4u - (c.components - 2));
    }
}

// conv -> btc, where btc is a BufferTempConv, on `count` NPs.
struct ConvThenTnpB : MapperRig {
    ConvThenTnpB(uint32_t count, std::vector<np::Info> skips = {})
        : MapperRig(plain_nps(count), std::move(skips)) {
        rig.checker.split_params.filters = 4;
        conv = conv_layer("conv", Shape({4, 4, 4}), 4);
        btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B, Shape({4, 4, 4}),
                         {{"filters", 4}, {"fifo_size", 2}});
        link(conv, btc);
    }
    std::shared_ptr<FakeLayer> conv, btc;
};

TEST(MeshMapperTnpB, NextTnpBLayerNeedsRoomInThePass) {
    ConvThenTnpB fits(4, {skip_dma(1, 1)});
    EXPECT_FALSE(fits.request(fits.conv).second.error);
    EXPECT_FALSE(fits.new_group);

    ConvThenTnpB no_skip(4);
    no_skip.mapper.allocate_np({1, 1, 3}, Type::None);
    const auto [components, status] = no_skip.request(no_skip.conv);
    EXPECT_TRUE(no_skip.new_group);  // a new pass, opened once
    EXPECT_EQ(status.to_string(),
              "Cannot map layer 'conv'. The next BufferTempConv btc can't be mapped in the "
              "current pass.");
    // The repeated allocation ran in the released pass; the failed request
    // gives its NP back.
    EXPECT_EQ(components[0].ident, Ident(1, 1, 0));
    EXPECT_EQ(no_skip.free(Type::CNP1), 4u);

    ConvThenTnpB single(3);  // repeats until short, then releases
    EXPECT_EQ(single.request(single.conv, {}, false).second.message,
              "Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
              "available.");
    EXPECT_FALSE(single.new_group);
    EXPECT_EQ(single.free(Type::CNP1), 3u);

    ConvThenTnpB same(3);  // a repetition that takes nothing new stops
    same.rig.constraints.selector = [](const Idents&, size_t n, Type) {
        return Idents(n, Ident(1, 1, 0));
    };
    EXPECT_EQ(same.request(same.conv, {}, false).second.message,
              "The next BufferTempConv btc can't be mapped in the current pass.");
    EXPECT_EQ(same.free(Type::CNP1), 3u);

    auto gone = conv_layer("conv", Shape({4, 4, 4}));
    gone->outbound.push_back(std::weak_ptr<Layer>());  // a next layer that is gone
    EXPECT_THROW(same.mapper.sanitize_tnp_b(*gone, &same.new_group, true), std::runtime_error);
    EXPECT_THROW(same.mapper.sanitize_tnp_b(*gone, nullptr, true), std::invalid_argument);
}

TEST(MeshMapperSkipDma, PlaceholdersAndResidualBlockKinds) {
    const Shape s({8, 8, 4});
    auto btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B, s);
    std::vector<Component> list{Component(Type::TNP_B, Ident(1, 1, 0))};
    request_skipdma(list, {Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, btc);
    EXPECT_EQ(list, (std::vector<Component>{Component(Type::TNP_B, Ident(1, 1, 0)),
                                            Component(Type::SKIP_DMA_STORE, Ident()),
                                            Component(Type::SKIP_DMA_LOAD, Ident())}));
    EXPECT_EQ(required_extra_types(btc),
              (Types{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
    // A -> B -> E -> S(Add) -> M and A -> S.
    auto a = make_layer("A", LayerType::Conv2D, TargetComponent::CNP, s);
    auto b = make_layer("B", LayerType::Conv2D, TargetComponent::CNP, s);
    auto e = make_layer("E", LayerType::Conv2D, TargetComponent::CNP, s);
    auto add = make_layer("S", LayerType::Add, TargetComponent::SkipDMA, s);
    auto m = make_layer("M", LayerType::Conv2D, TargetComponent::CNP, s);
    auto y = make_layer("Y", LayerType::Conv2D, TargetComponent::CNP, s);
    link(a, b);
    link(a, add);
    link(b, e);
    link(e, add);
    link(add, m);
    link(a, y);
    EXPECT_EQ(required_extra_types(a), (Types{Type::CNP1, Type::SKIP_DMA_STORE}));
    EXPECT_EQ(required_extra_types(e), (Types{Type::CNP1}));
    EXPECT_EQ(required_extra_types(m), (Types{Type::CNP1, Type::SKIP_DMA_LOAD}));
    EXPECT_EQ(request_skipdma_store(a).size(), 1u);
    EXPECT_TRUE(request_skipdma_store(e).empty());
    // The packed-SRAM shift of a layer after an Add.
    EXPECT_EQ(v2::get_add_pksram_shift(*m), 512u);
    EXPECT_EQ(v2::get_add_pksram_shift(*y), 0u);
    EXPECT_EQ(v2::get_add_pksram_shift(*a), 0u);
    y->inbound = {nullptr};
    EXPECT_THROW(v2::get_add_pksram_shift(*y), std::runtime_error);
}

// ---------------------------------------------------------------------------
// Splitting by kind

class MeshMapperSplit : public ::testing::Test {
  protected:
    Rig rig{plain_nps(8)};
};

TEST_F(MeshMapperSplit, BordersAndGridOrder) {
    NpSplitParams p;
    p.border_left = p.border_right = 1;
    p.filters = 8;
    auto conv = conv_layer("conv", Shape({40, 10, 4}));
    const auto two = build_split_components(*conv, p, true, Type::CNP2, Split(40, 20, 1),
                                            Split(10, 256, 1), Split(8, 512, 1));
    const NpSpace l{0, 0, Shape({20, 10, 4})}, la{0, 0, Shape({21, 10, 4})};
    const NpSpace r{20, 0, Shape({20, 10, 4})}, ra{19, 0, Shape({21, 10, 4})};
    EXPECT_EQ(two,
              (std::vector<Component>{Component(Type::CNP2, Ident(), hw::Placement{0, 8, l, la}),
                                      Component(Type::CNP2, Ident(), hw::Placement{0, 8, r, ra})}));
    EXPECT_TRUE(two[0].placement->single_buffer);

    p.border_top = p.border_bottom = 1;
    p.filters = 10;
    auto grid = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({8, 9, 4}));
    const auto comps = build_split_components(*grid, p, false, Type::CNP1, Split(8, 4, 1),
                                              Split(9, 3, 1), Split(10, 6, 1));
    ASSERT_EQ(comps.size(), 2u * 3u * 2u);
    // Filters vary fastest, then height, then width; the middle height part
    // has both borders.
    EXPECT_EQ(comps[1], Component(Type::CNP1, Ident(),
                                  hw::Placement{5, 5, NpSpace{0, 0, Shape({4, 3, 4})},
                                                NpSpace{0, 0, Shape({5, 4, 4})}}));
    EXPECT_EQ(comps[2].placement->spatial_partition, (NpSpace{0, 3, Shape({4, 3, 4})}));
    EXPECT_EQ(comps[2].placement->aux_partition, (NpSpace{0, 2, Shape({5, 5, 4})}));
    EXPECT_EQ(comps[6].placement->spatial_partition, (NpSpace{4, 0, Shape({4, 3, 4})}));
    EXPECT_EQ(comps[6].placement->aux_partition, (NpSpace{3, 0, Shape({5, 4, 4})}));
    EXPECT_FALSE(comps[0].single_buffer());
}

// Input columns (or rows) each in exactly one component's own region.
std::vector<int> coverage(const std::vector<hw::Component>& comps, uint32_t width, bool rows) {
    std::vector<int> hits(width, 0);
    for (const auto& c : comps) {
        const NpSpace& s = c.placement->spatial_partition;
        const int32_t start = rows ? s.y : s.x;
        const uint32_t size = s.shape[rows ? 1 : 0];
        for (uint32_t i = 0; i < size; ++i) {
            if (start + i < width) ++hits[start + i];
        }
    }
    return hits;
}

TEST_F(MeshMapperSplit, PoolingPaddingShiftKeepsEveryColumnCovered) {
    // 3x3 max pooling with stride 1 pads one column and row before the
    // convolution output; the split follows the pooling width, 3.
    auto layer = std::make_shared<FakePooledLayer>(
        "conv", LayerType::Convolutional, std::map<std::string, int>{{"filters", 8}},
        TargetComponent::CNP, std::vector<Shape>{Shape({36, 36, 4})});
    layer->pool.stride_x = layer->pool.stride_y = 1;
    layer->pool.padding.left = layer->pool.padding.top = 1;
    layer->pool.padding.right = layer->pool.padding.bottom = 1;
    layer->pool.flag = 1;
    NpSplitParams p;
    p.border_left = p.border_right = p.border_top = p.border_bottom = 1;
    p.pool_type = static_cast<uint32_t>(PoolType::Max);
    p.pool_width = p.pool_height = 3;
    p.filters = 8;
    const Split width(36, 32, 3);  // two parts of 18
    ASSERT_EQ(width.num_chunks, 2u);
    ASSERT_EQ(width.chunk_size, 18u);
    const auto comps = build_split_components(*layer, p, false, Type::CNP1, width, Split(36, 32, 3),
                                              Split(8, 512, 1));
    // Two parts of 18 shifted by the padding would stop at column 34 and
    // leave column 35 to no NP; a third part takes it.
    EXPECT_EQ(coverage(comps, 36, false), std::vector<int>(36, 3));  // 3 height parts each
    EXPECT_EQ(coverage(comps, 36, true), std::vector<int>(36, 3));   // 3 width parts each
    ASSERT_EQ(comps.size(), 9u);
    EXPECT_EQ(comps[0].placement->spatial_partition, (NpSpace{0, 0, Shape({17, 17, 4})}));
    EXPECT_EQ(comps[3].placement->spatial_partition, (NpSpace{17, 0, Shape({18, 17, 4})}));
    EXPECT_EQ(comps[3].placement->aux_partition, (NpSpace{16, 0, Shape({20, 18, 4})}));
    EXPECT_EQ(comps[6].placement->spatial_partition, (NpSpace{35, 0, Shape({1, 17, 4})}));
    EXPECT_EQ(comps[6].placement->aux_partition, (NpSpace{34, 0, Shape({2, 18, 4})}));

    // Where the last part has room for the shift, the parts are unchanged.
    layer->inputs = {Shape({40, 8, 4})};
    const auto two = build_split_components(*layer, p, false, Type::CNP1, Split(40, 32, 3),
                                            Split(8, 32, 3), Split(8, 512, 1));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].placement->spatial_partition, (NpSpace{0, 0, Shape({20, 8, 4})}));
    EXPECT_EQ(two[1].placement->spatial_partition, (NpSpace{20, 0, Shape({20, 8, 4})}));
    EXPECT_EQ(coverage(two, 40, false), std::vector<int>(40, 1));
}

TEST_F(MeshMapperSplit, DepthwiseSplits) {
    // The checker gives no filters for a depthwise layer without them: the
    // split runs over the input channels.
    rig.checker.split_params.filters = 0;
    auto dw = make_layer("dw", LayerType::DepthwiseConv2D, TargetComponent::CNP, Shape({8, 8, 8}),
                         {{"kernel_size", 3}});
    dw->depthwise = true;
    const auto [comps, status] =
        split_depthwise_conv_layer(*dw, rig.checker, 256, 64, 4, Type::CNP1, false);
    ASSERT_FALSE(status.error) << status.to_string();
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].placement->filters, 4u);
    EXPECT_EQ(comps[0].placement->spatial_partition.shape[2], 4u);
    EXPECT_EQ(comps[1].placement->start_neuron, 4u);
    EXPECT_EQ(comps[1].placement->spatial_partition.shape[2], 4u);

    auto dwb = make_layer("dwb", LayerType::DepthwiseBufferTempConv, TargetComponent::TNP_B,
                          Shape({4, 4, 10}), {{"fifo_size", 2}});
    dwb->depthwise = true;
    const auto ten = split_depthwise_conv_layer(*dwb, rig.checker, 256, 64, 8, Type::TNP_B, false);
    EXPECT_TRUE(ten.first.empty());
    EXPECT_EQ(ten.second.to_string(), "Cannot map layer 'dwb'. Cannot split to fit inputs in ram.");
}

TEST_F(MeshMapperSplit, FailureMessagesInOrderAndSingleBuffer) {
    auto conv = conv_layer("c", Shape({8, 8, 4}));
    rig.checker.split_params.filters = 8;
    const auto message = [&](uint32_t h, uint32_t w, uint32_t f) {
        return split_conv_layer(*conv, rig.checker, h, w, f, Type::CNP1, false).second.message;
    };
    EXPECT_EQ(message(0, 64, 512), "Cannot split by height.");
    EXPECT_EQ(message(256, 0, 512), "Cannot split by width.");
    EXPECT_EQ(message(256, 64, 0), "Cannot split by neurons.");
    rig.checker.weights_fit = [](uint32_t) { return false; };
    EXPECT_EQ(message(256, 64, 512), "Cannot split to fit weights in ram.");
    rig.checker.weights_fit = [](uint32_t) { return true; };
    rig.checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    const auto r = split_conv_layer(*conv, rig.checker, 256, 64, 512, Type::CNP1, false);
    EXPECT_EQ(r.second, MappingStatus::failure("Cannot split to fit inputs in ram.", "c"));
    EXPECT_TRUE(r.first.empty());
    rig.checker.single_fit = [](uint32_t, uint32_t, uint32_t) { return true; };
    const auto single = split_conv_layer(*conv, rig.checker, 256, 64, 512, Type::CNP1, false);
    ASSERT_EQ(single.first.size(), 1u);
    EXPECT_TRUE(single.first[0].placement->single_buffer);
}

}  // namespace
}  // namespace vorna
