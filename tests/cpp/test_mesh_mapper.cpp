#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "backend/layer_split.h"
#include "backend/mesh_mapper.h"
#include "corelib/model.h"
#include "mapper_fakes.h"

namespace vorna {
namespace {

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

std::vector<Ident> idents_of(const std::vector<NpSlot>& slots) {
    std::vector<Ident> r;
    for (const auto& s : slots) r.push_back(s.ident);
    return r;
}

std::vector<Ident> idents_of(const std::vector<hw::Component>& components) {
    std::vector<Ident> r;
    for (const auto& c : components) r.push_back(c.ident);
    return r;
}

std::vector<Type> types_of(const std::vector<hw::Component>& components) {
    std::vector<Type> r;
    for (const auto& c : components) r.push_back(c.type);
    return r;
}

// A mesh whose nps list is deliberately out of order: node (2,1) holds an
// FNP3, (1,1,1) can be FNP2.
std::vector<np::Info> mixed_mesh() {
    return {
        np_info(2, 1, 2, {Type::CNP1, Type::CNP2}),
        np_info(1, 1, 1, {Type::CNP1, Type::CNP2, Type::FNP2}),
        np_info(2, 1, 1, {Type::FNP3}),
        np_info(1, 2, 0, {Type::CNP1}),
        np_info(2, 1, 0, {Type::CNP1, Type::CNP2}),
        np_info(1, 1, 0, {Type::CNP1, Type::CNP2}),
    };
}

TEST(MeshMapperPools, ComputePoolsAreOrderedLeastUsedFirst) {
    Rig rig(mixed_mesh(), {skip_dma(1, 2), skip_dma(2, 5)});
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    const auto& pools = mapper.pools();
    // Usage words: (1,1,0) 0, (1,2,0) 0, (2,1,0) 1, (2,1,2) 1, (1,1,1) 4.
    EXPECT_EQ(idents_of(pools.at(Type::CNP1)),
              (std::vector<Ident>{{1, 1, 0}, {1, 2, 0}, {2, 1, 0}, {2, 1, 2}, {1, 1, 1}}));
    EXPECT_EQ(idents_of(pools.at(Type::CNP2)),
              (std::vector<Ident>{{1, 1, 0}, {2, 1, 0}, {2, 1, 2}, {1, 1, 1}}));
    EXPECT_EQ(idents_of(pools.at(Type::FNP2)), (std::vector<Ident>{{1, 1, 1}}));
    EXPECT_EQ(idents_of(pools.at(Type::FNP3)), (std::vector<Ident>{{2, 1, 1}}));
    // Two channels per engine, from the first engine; channel 0 first, mesh order.
    const std::vector<Ident> channels{{1, 1, 3, 0}, {1, 1, 3, 1}, {2, 1, 3, 0}, {2, 1, 3, 1}};
    EXPECT_EQ(idents_of(pools.at(Type::SKIP_DMA_STORE)), channels);
    EXPECT_EQ(idents_of(pools.at(Type::SKIP_DMA_LOAD)), channels);
    EXPECT_EQ(pools.count(Type::HRC), 0u);
}

TEST(MeshMapperPools, FirstSkipEngineWithoutChannelsGivesNoSlots) {
    Rig rig(plain_nps(2), {skip_dma(1, 0), skip_dma(2, 4)});
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    EXPECT_EQ(mapper.max_nps(Type::SKIP_DMA_STORE), 0u);
    EXPECT_TRUE(mapper.available_nps(Type::SKIP_DMA_LOAD).empty());
}

TEST(MeshMapperPools, ReserveAllocateAndCount) {
    Rig rig(mixed_mesh(), {skip_dma(1, 2)});
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    mapper.reserve_nps({{1, 1, 0}});
    EXPECT_EQ(mapper.max_nps(Type::CNP1), 4u);
    mapper.allocate_np({1, 1, 1}, Type::None);  // taken in every pool
    EXPECT_EQ(mapper.available_nps(Type::CNP1),
              (std::vector<Ident>{{1, 2, 0}, {2, 1, 0}, {2, 1, 2}}));
    EXPECT_EQ(mapper.available_nps(Type::CNP2), (std::vector<Ident>{{2, 1, 0}, {2, 1, 2}}));
    EXPECT_TRUE(mapper.available_nps(Type::FNP2).empty());
    EXPECT_EQ(mapper.max_nps(Type::FNP2), 1u);  // allocated still counts
    mapper.allocate_np({2, 1, 0}, Type::CNP2);  // only in the CNP2 pool
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 3u);
    EXPECT_EQ(mapper.available_nps(Type::CNP2), (std::vector<Ident>{{2, 1, 2}}));
    // A store channel and the load channel of the same ident are separate.
    mapper.allocate_np({1, 1, 3, 1}, Type::SKIP_DMA_STORE);
    EXPECT_EQ(mapper.available_nps(Type::SKIP_DMA_STORE), (std::vector<Ident>{{1, 1, 3, 0}}));
    EXPECT_EQ(mapper.available_nps(Type::SKIP_DMA_LOAD).size(), 2u);
    // Reserving replaces the reservation; allocations stay.
    mapper.reserve_nps({});
    EXPECT_EQ(mapper.max_nps(Type::CNP1), 5u);
    EXPECT_EQ(mapper.available_nps(Type::CNP1),
              (std::vector<Ident>{{1, 1, 0}, {1, 2, 0}, {2, 1, 0}, {2, 1, 2}}));
    mapper.deallocate_nps();
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 5u);
    // Unknown idents and kinds change nothing; asking creates an empty pool.
    mapper.allocate_np({9, 9, 9}, Type::None);
    mapper.allocate_np({1, 1, 0}, Type::TNP_R);
    EXPECT_EQ(mapper.pools().count(Type::TNP_R), 0u);
    EXPECT_EQ(mapper.max_nps(Type::TNP_R), 0u);
    EXPECT_TRUE(mapper.available_nps(Type::TNP_B).empty());
    EXPECT_EQ(mapper.pools().count(Type::TNP_R), 1u);
    EXPECT_EQ(mapper.pools().count(Type::TNP_B), 1u);
}

TEST(MeshMapperFnp, CompatibleFnpKind) {
    Rig rig(mixed_mesh());
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    auto dense = make_layer("dense", LayerType::Dense1D, TargetComponent::FNP, Shape({1, 1, 64}),
                            {{"units", 10}});
    EXPECT_EQ(mapper.get_compatible_fnp_type(*dense), Type::FNP3);  // both free, fits
    mapper.allocate_np({2, 1, 1}, Type::None);
    EXPECT_EQ(mapper.get_compatible_fnp_type(*dense), Type::FNP2);  // FNP3 taken
    mapper.allocate_np({1, 1, 1}, Type::None);
    EXPECT_EQ(mapper.get_compatible_fnp_type(*dense), Type::FNP3);  // unreserved FNP3 exists
    mapper.reserve_nps({{2, 1, 1}});
    EXPECT_EQ(mapper.get_compatible_fnp_type(*dense), Type::FNP2);
    mapper.reserve_nps({});
    mapper.deallocate_nps();
    rig.checker.fnp3_fits = false;
    EXPECT_EQ(mapper.get_compatible_fnp_type(*dense), Type::FNP2);
}

TEST(MeshMapperRequest, DenseLayerGetsOneFnpCovering) {
    Rig rig(mixed_mesh(), {skip_dma(1, 2)});
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    auto dense = make_layer("dense", LayerType::FullyConnected, TargetComponent::FNP,
                            Shape({2, 2, 16}), {{"units", 10}});
    mapper.allocate_np({2, 1, 1}, Type::None);  // the FNP3 is taken
    bool new_group = true;
    const auto [components, status] = mapper.np_request(dense, {}, false, &new_group, true);
    EXPECT_FALSE(status.error) << status.to_string();
    EXPECT_FALSE(new_group);
    ASSERT_EQ(components.size(), 1u);
    const hw::Component& c = components[0];
    EXPECT_EQ(c.type, Type::FNP2);
    EXPECT_EQ(c.ident, Ident(1, 1, 1));
    ASSERT_TRUE(c.placement.has_value());
    EXPECT_EQ(c.placement->start_neuron, 0u);
    EXPECT_EQ(c.placement->filters, 10u);
    EXPECT_EQ(c.placement->spatial_partition, (NpSpace{0, 0, Shape({2, 2, 16})}));
    EXPECT_EQ(c.placement->aux_partition, c.placement->spatial_partition);
    EXPECT_TRUE(c.placement->single_buffer);
    EXPECT_EQ(rig.constraints.announced, (std::vector<std::string>{"dense"}));
    // Taken in every pool it belongs to.
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 4u);
}

TEST(MeshMapperRequest, ConvLayerTakesTheLeastUsedNp) {
    Rig rig(mixed_mesh());
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    rig.checker.split_params.filters = 16;
    auto conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({8, 8, 4}),
                           {{"filters", 16}, {"kernel_size", 3}});
    bool new_group = false;
    const auto [components, status] = mapper.np_request(conv, {{1, 1, 0}}, false, &new_group, true);
    ASSERT_FALSE(status.error) << status.to_string();
    ASSERT_EQ(components.size(), 1u);
    EXPECT_EQ(components[0].type, Type::CNP1);
    EXPECT_EQ(components[0].ident, Ident(1, 2, 0));  // (1,1,0) is reserved
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 3u);
}

// A Conv2D layer 6 columns wide that the checker lets fit only one column
// per NP: the split gives 6 CNP1 components.
std::shared_ptr<FakeLayer> six_column_conv(Rig& rig) {
    rig.checker.split_params.filters = 1;
    rig.checker.dual_fit = [](uint32_t, uint32_t w, uint32_t) { return w <= 1; };
    return make_layer("wide", LayerType::Conv2D, TargetComponent::CNP, Shape({6, 1, 4}),
                      {{"filters", 1}, {"kernel_size", 1}});
}

TEST(MeshMapperRequest, NewGroupWhenThePassIsFull) {
    Rig rig(plain_nps(6));
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    auto wide = six_column_conv(rig);
    mapper.allocate_np({1, 1, 0}, Type::None);
    mapper.allocate_np({1, 1, 1}, Type::None);
    bool new_group = false;
    const auto [components, status] = mapper.np_request(wide, {}, false, &new_group, true);
    ASSERT_FALSE(status.error) << status.to_string();
    EXPECT_TRUE(new_group);
    ASSERT_EQ(components.size(), 6u);
    EXPECT_EQ(
        idents_of(components),
        (std::vector<Ident>{{1, 1, 0}, {1, 1, 1}, {1, 1, 2}, {1, 1, 3}, {2, 1, 0}, {2, 1, 1}}));
    EXPECT_TRUE(mapper.available_nps(Type::CNP1).empty());
}

TEST(MeshMapperRequest, NotEnoughNpsInASinglePass) {
    Rig rig(plain_nps(6));
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    auto wide = six_column_conv(rig);
    mapper.allocate_np({1, 1, 0}, Type::None);
    mapper.allocate_np({1, 1, 1}, Type::None);
    bool new_group = false;
    const auto [components, status] = mapper.np_request(wide, {}, false, &new_group, false);
    EXPECT_TRUE(status.error);
    EXPECT_EQ(status.to_string(),
              "Cannot map layer 'wide'. Not enough hardware components of type CNP1 available. "
              "6 are needed but 4 are available.");
    EXPECT_FALSE(new_group);
    EXPECT_EQ(components.size(), 6u);
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 4u);  // nothing taken

    // With a new pass allowed the limit is the unreserved NPs of the mesh.
    mapper.deallocate_nps();
    const auto more = mapper.np_request(wide, {{2, 1, 1}}, false, &new_group, true);
    EXPECT_EQ(more.second.message,
              "Not enough hardware components of type CNP1 available. 6 are needed but 5 are "
              "available.");
}

TEST(MeshMapperRequest, SelectionOfAnotherLengthIsAShortage) {
    Rig rig(plain_nps(4));
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    rig.constraints.selector = [](const std::vector<Ident>&, size_t, Type) {
        return std::vector<Ident>{};
    };
    rig.checker.split_params.filters = 8;
    auto conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({8, 8, 4}),
                           {{"filters", 8}, {"kernel_size", 3}});
    bool new_group = false;
    const auto result = mapper.np_request(conv, {}, false, &new_group, true);
    EXPECT_EQ(result.second.message,
              "Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
              "available.");
}

TEST(MeshMapperRequest, LayersWithoutHardwareKinds) {
    Rig rig(plain_nps(4));
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    bool new_group = false;
    auto input = make_layer("in", LayerType::InputData, TargetComponent::None, Shape({8, 8, 3}));
    try {
        mapper.np_request(input, {}, false, &new_group, true);
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Mapping a layer with HW backend should use HW components.");
    }
    // A convolution kind that targets neither a CNP nor a TNP-B fails before
    // its split.
    auto odd = make_layer("odd", LayerType::Conv2D, TargetComponent::FNP, Shape({8, 8, 3}),
                          {{"filters", 4}, {"kernel_size", 3}});
    EXPECT_THROW(mapper.np_request(odd, {}, false, &new_group, true), std::runtime_error);
    EXPECT_EQ(rig.checker.split_param_calls, 0);
    EXPECT_THROW(mapper.np_request(nullptr, {}, false, &new_group, true), std::invalid_argument);
    EXPECT_THROW(mapper.np_request(odd, {}, false, nullptr, true), std::invalid_argument);
}

TEST(MeshMapperRequest, SplitFailureComesBackUnchanged) {
    Rig rig(plain_nps(4));
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    rig.constraints.set_cnp_max_width(0);
    auto conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({8, 8, 4}),
                           {{"filters", 8}, {"kernel_size", 3}});
    bool new_group = false;
    const auto [components, status] = mapper.np_request(conv, {}, false, &new_group, true);
    EXPECT_TRUE(components.empty());
    EXPECT_EQ(status.to_string(), "Cannot map layer 'conv'. Cannot split by width.");
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 4u);
}

TEST(MeshMapperRequest, TransposedLayersUseHalfTheDefaultTile) {
    Rig rig(plain_nps(4));
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    auto tall = make_layer("up", LayerType::Conv2DTranspose, TargetComponent::CNP,
                           Shape({16, 129, 8}), {{"filters", 8}, {"kernel_size", 4}});
    bool new_group = false;
    auto result = mapper.np_request(tall, {}, false, &new_group, true);
    EXPECT_EQ(result.second.to_string(),
              "Cannot map layer 'up'. Split by height is not supported.");
    auto fits = make_layer("up2", LayerType::Conv2DTranspose, TargetComponent::CNP,
                           Shape({16, 128, 8}), {{"filters", 8}, {"kernel_size", 4}});
    result = mapper.np_request(fits, {}, false, &new_group, true);
    ASSERT_FALSE(result.second.error) << result.second.to_string();
    ASSERT_EQ(result.first.size(), 1u);
    EXPECT_EQ(result.first[0].type, Type::CNP1);
}

TEST(MeshMapperRequest, TnpBLayerGetsAStoreAndALoadChannel) {
    Rig rig(plain_nps(4), {skip_dma(1, 2)});
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    rig.checker.split_params.filters = 12;
    auto btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B,
                          Shape({4, 4, 8}), {{"filters", 12}, {"fifo_size", 3}});
    rig.constraints.set_cnp_max_filters(6);
    bool new_group = false;
    const auto [components, status] = mapper.np_request(btc, {}, false, &new_group, true);
    ASSERT_FALSE(status.error) << status.to_string();
    EXPECT_EQ(types_of(components), (std::vector<Type>{Type::TNP_B, Type::TNP_B,
                                                       Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
    EXPECT_EQ(idents_of(components),
              (std::vector<Ident>{{1, 1, 0}, {1, 1, 1}, {1, 1, 3, 0}, {1, 1, 3, 0}}));
    EXPECT_EQ(components[0].placement->filters, 6u);
    EXPECT_EQ(components[1].placement->start_neuron, 6u);
    EXPECT_FALSE(components[2].placement.has_value());
    EXPECT_EQ(rig.checker.last_fifo, 3u);
    // Each skip channel is taken in its own pool only.
    EXPECT_EQ(mapper.available_nps(Type::SKIP_DMA_STORE), (std::vector<Ident>{{1, 1, 3, 1}}));
    EXPECT_EQ(mapper.available_nps(Type::SKIP_DMA_LOAD), (std::vector<Ident>{{1, 1, 3, 1}}));
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
        SCOPED_TRACE(std::to_string(c.filters) + " filters, " + std::to_string(c.in_channels) +
                     " channels");
        Rig rig(plain_nps(4), {skip_dma(1, 2)});
        MeshMapper mapper(rig.checker, rig.constraints);
        mapper.reset();
        rig.checker.split_params.filters = c.filters;
        rig.constraints.set_cnp_max_filters(6);
        auto btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B,
                              Shape({4, 4, c.in_channels}),
                              {{"filters", static_cast<int>(c.filters)}, {"fifo_size", 1}});
        btc->depthwise = true;
        bool new_group = false;
        const auto [components, status] = mapper.np_request(btc, {}, false, &new_group, true);
        ASSERT_EQ(components.size(), c.components);
        EXPECT_EQ(components[0].placement->filters, 6u);
        if (c.fails) {
            EXPECT_EQ(status.to_string(),
                      "Cannot map layer 'btc'. The number of channels must be a multiple of 4 "
                      "to be split by filter.");
            // The failed request holds no NP.
            EXPECT_EQ(mapper.available_nps(Type::TNP_B).size(), 4u);
        } else {
            EXPECT_FALSE(status.error) << status.to_string();
            EXPECT_EQ(mapper.available_nps(Type::TNP_B).size(), 4u - (c.components - 2));
        }
    }
}

// conv -> btc, where btc is a BufferTempConv.
struct ConvThenTnpB {
    explicit ConvThenTnpB(Rig& rig) {
        rig.checker.split_params.filters = 4;
        conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({4, 4, 4}),
                          {{"filters", 4}, {"kernel_size", 3}});
        btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B, Shape({4, 4, 4}),
                         {{"filters", 4}, {"fifo_size", 2}});
        link(conv, btc);
    }
    std::shared_ptr<FakeLayer> conv, btc;
};

TEST(MeshMapperTnpB, NextTnpBLayerFits) {
    Rig rig(plain_nps(4), {skip_dma(1, 1)});
    ConvThenTnpB g(rig);
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    bool new_group = false;
    const auto result = mapper.np_request(g.conv, {}, false, &new_group, true);
    EXPECT_FALSE(result.second.error) << result.second.to_string();
    EXPECT_FALSE(new_group);
}

TEST(MeshMapperTnpB, NoSkipChannelOpensANewPassOnce) {
    Rig rig(plain_nps(4));
    ConvThenTnpB g(rig);
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    mapper.allocate_np({1, 1, 3}, Type::None);
    bool new_group = false;
    const auto [components, status] = mapper.np_request(g.conv, {}, false, &new_group, true);
    EXPECT_TRUE(new_group);
    EXPECT_EQ(status.to_string(),
              "Cannot map layer 'conv'. The next BufferTempConv btc can't be mapped in the "
              "current pass.");
    // The repeated allocation ran in the released pass; the failed request
    // gives its NP back.
    EXPECT_EQ(components[0].ident, Ident(1, 1, 0));
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 4u);
}

TEST(MeshMapperTnpB, SinglePassRepeatsUntilShortAndReleases) {
    Rig rig(plain_nps(3));
    ConvThenTnpB g(rig);
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    bool new_group = false;
    const auto [components, status] = mapper.np_request(g.conv, {}, false, &new_group, false);
    EXPECT_FALSE(new_group);
    EXPECT_EQ(status.message,
              "Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
              "available.");
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 3u);
}

TEST(MeshMapperTnpB, RepetitionThatTakesNothingNewStops) {
    Rig rig(plain_nps(3));
    ConvThenTnpB g(rig);
    rig.constraints.selector = [](const std::vector<Ident>&, size_t n, Type) {
        return std::vector<Ident>(n, Ident(1, 1, 0));  // always the same NP
    };
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    bool new_group = false;
    const auto [components, status] = mapper.np_request(g.conv, {}, false, &new_group, false);
    EXPECT_EQ(status.message, "The next BufferTempConv btc can't be mapped in the current pass.");
    EXPECT_EQ(mapper.available_nps(Type::CNP1).size(), 3u);
}

TEST(MeshMapperSkipDma, Placeholders) {
    auto btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B,
                          Shape({4, 4, 4}), {{"filters", 4}, {"fifo_size", 2}});
    const auto stores = request_skipdma_store(btc);
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(stores[0], hw::Component(Type::SKIP_DMA_STORE, Ident()));
    EXPECT_FALSE(stores[0].placement.has_value());
    EXPECT_EQ(request_skipdma_load(),
              (std::vector<hw::Component>{hw::Component(Type::SKIP_DMA_LOAD, Ident())}));

    std::vector<hw::Component> list{hw::Component(Type::TNP_B, Ident(1, 1, 0))};
    request_skipdma(list, {Type::TNP_B}, btc);
    EXPECT_EQ(list.size(), 1u);
    request_skipdma(list, {}, btc);
    EXPECT_EQ(list.size(), 1u);
    request_skipdma(list, {Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, btc);
    EXPECT_EQ(types_of(list),
              (std::vector<Type>{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
}

TEST(MeshMapperSkipDma, ResidualBlockKinds) {
    // A -> B -> E -> S(Add) -> M and A -> S.
    const Shape s({8, 8, 4});
    auto a = make_layer("A", LayerType::Conv2D, TargetComponent::CNP, s);
    auto b = make_layer("B", LayerType::Conv2D, TargetComponent::CNP, s);
    auto e = make_layer("E", LayerType::Conv2D, TargetComponent::CNP, s);
    auto add = make_layer("S", LayerType::Add, TargetComponent::SkipDMA, s);
    auto m = make_layer("M", LayerType::Conv2D, TargetComponent::CNP, s);
    link(a, b);
    link(a, add);
    link(b, e);
    link(e, add);
    link(add, m);
    EXPECT_EQ(required_extra_types(a), (std::vector<Type>{Type::CNP1, Type::SKIP_DMA_STORE}));
    EXPECT_EQ(required_extra_types(e), (std::vector<Type>{Type::CNP1}));
    EXPECT_EQ(required_extra_types(m), (std::vector<Type>{Type::CNP1, Type::SKIP_DMA_LOAD}));
    EXPECT_EQ(request_skipdma_store(a).size(), 1u);
    EXPECT_TRUE(request_skipdma_store(e).empty());
    auto btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B, s);
    EXPECT_EQ(required_extra_types(btc),
              (std::vector<Type>{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
}

// ---------------------------------------------------------------------------
// Splitting by kind

class MeshMapperSplit : public ::testing::Test {
  protected:
    Rig rig{plain_nps(8)};
};

TEST_F(MeshMapperSplit, TwoWidthPartsWithBorders) {
    rig.checker.split_params.border_left = rig.checker.split_params.border_right = 1;
    rig.checker.split_params.filters = 8;
    auto conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({40, 10, 4}),
                           {{"filters", 8}, {"kernel_size", 3}});
    const auto comps =
        build_split_components(*conv, rig.checker.split_params, true, Type::CNP2, Split(40, 20, 1),
                               Split(10, 256, 1), Split(8, 512, 1));
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].type, Type::CNP2);
    EXPECT_EQ(comps[0].placement->spatial_partition, (NpSpace{0, 0, Shape({20, 10, 4})}));
    EXPECT_EQ(comps[0].placement->aux_partition, (NpSpace{0, 0, Shape({21, 10, 4})}));
    EXPECT_EQ(comps[1].placement->spatial_partition, (NpSpace{20, 0, Shape({20, 10, 4})}));
    EXPECT_EQ(comps[1].placement->aux_partition, (NpSpace{19, 0, Shape({21, 10, 4})}));
    EXPECT_TRUE(comps[0].placement->single_buffer);
    EXPECT_EQ(comps[0].placement->filters, 8u);
}

TEST_F(MeshMapperSplit, GridOrderAndMiddleHeightPart) {
    NpSplitParams p;
    p.border_left = p.border_right = p.border_top = p.border_bottom = 1;
    p.filters = 10;
    auto conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({8, 9, 4}));
    const auto comps = build_split_components(*conv, p, false, Type::CNP1, Split(8, 4, 1),
                                              Split(9, 3, 1), Split(10, 6, 1));
    ASSERT_EQ(comps.size(), 2u * 3u * 2u);
    // Filters vary fastest, then height, then width.
    EXPECT_EQ(comps[0].placement->start_neuron, 0u);
    EXPECT_EQ(comps[0].placement->filters, 5u);
    EXPECT_EQ(comps[1].placement->start_neuron, 5u);
    EXPECT_EQ(comps[1].placement->filters, 5u);
    EXPECT_EQ(comps[2].placement->spatial_partition, (NpSpace{0, 3, Shape({4, 3, 4})}));
    // The middle height part has both borders.
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

TEST_F(MeshMapperSplit, ConvolutionalWithStrideOnePoolingIsFullyCovered) {
    // A first-generation convolution with 3x3 max pooling of stride 1: its
    // pooling pads one column before the convolution output.
    auto model = Model::create();
    auto input = Layer::create(
        LayerParams::create(LayerType::InputData,
                            {{"input_width", 36}, {"input_height", 8}, {"input_channels", 4}})
            .get(),
        "input");
    model->add(input, {});
    auto conv =
        Layer::create(LayerParams::create(LayerType::Convolutional, {{"filters", 8},
                                                                     {"kernel_width", 3},
                                                                     {"kernel_height", 3},
                                                                     {"pool_type", 1},
                                                                     {"pooling_width", 3},
                                                                     {"pooling_height", 3},
                                                                     {"pooling_stride_x", 1},
                                                                     {"pooling_stride_y", 1},
                                                                     {"weights_bits", 2}})
                          .get(),
                      "conv");
    model->add(conv, {input});
    const auto* pooled = dynamic_cast<const HasPoolParams*>(conv.get());
    ASSERT_NE(pooled, nullptr);
    ASSERT_EQ(pooled->pool_calculated_params().padding.left, 1);

    NpSplitParams& p = rig.checker.split_params;
    p.border_left = p.border_right = p.border_top = p.border_bottom = 1;
    p.pool_type = static_cast<uint32_t>(PoolType::Max);
    p.pool_width = p.pool_height = 3;
    p.filters = 8;
    rig.checker.dual_fit = [](uint32_t, uint32_t w, uint32_t) { return w <= 20; };
    const auto [comps, status] =
        split_conv_layer(*conv, rig.checker, 256, 32, 512, Type::CNP1, false);
    ASSERT_FALSE(status.error) << status.to_string();
    // Width parts of 18 (multiples of the pooling width): 0-16, 17-34, and
    // the column left over by the shift, 35.
    ASSERT_EQ(comps.size(), 3u);
    EXPECT_EQ(coverage(comps, 36, false), std::vector<int>(36, 1));
    EXPECT_EQ(comps[2].placement->spatial_partition, (NpSpace{35, 0, Shape({1, 8, 4})}));
}

TEST_F(MeshMapperSplit, DepthwiseWithoutFiltersSplitsOverChannels) {
    // The checker gives no filters for a depthwise layer without them.
    rig.checker.split_params.filters = 0;
    auto dw = make_layer("dw", LayerType::DepthwiseConv2D, TargetComponent::CNP, Shape({8, 8, 8}),
                         {{"kernel_size", 3}});
    dw->depthwise = true;
    rig.constraints.set_cnp_max_filters(4);
    const auto [comps, status] =
        split_depthwise_conv_layer(*dw, rig.checker, 256, 64, 4, Type::CNP1, false);
    ASSERT_FALSE(status.error) << status.to_string();
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].placement->filters, 4u);
    EXPECT_EQ(comps[0].placement->spatial_partition.shape[2], 4u);
    EXPECT_EQ(comps[1].placement->start_neuron, 4u);
    EXPECT_EQ(comps[1].placement->spatial_partition.shape[2], 4u);
}

TEST_F(MeshMapperSplit, DepthwiseTnpBWithTenChannelsCannotSplit) {
    rig.checker.split_params.filters = 0;
    auto dw = make_layer("dwb", LayerType::DepthwiseBufferTempConv, TargetComponent::TNP_B,
                         Shape({4, 4, 10}), {{"fifo_size", 2}});
    dw->depthwise = true;
    const auto [comps, status] =
        split_depthwise_conv_layer(*dw, rig.checker, 256, 64, 8, Type::TNP_B, false);
    EXPECT_TRUE(comps.empty());
    EXPECT_EQ(status.to_string(), "Cannot map layer 'dwb'. Cannot split to fit inputs in ram.");
}

TEST_F(MeshMapperSplit, FailureMessagesInOrder) {
    auto conv = make_layer("c", LayerType::Conv2D, TargetComponent::CNP, Shape({8, 8, 4}),
                           {{"filters", 8}, {"kernel_size", 3}});
    rig.checker.split_params.filters = 8;
    EXPECT_EQ(split_conv_layer(*conv, rig.checker, 0, 64, 512, Type::CNP1, false).second.message,
              "Cannot split by height.");
    EXPECT_EQ(split_conv_layer(*conv, rig.checker, 256, 0, 512, Type::CNP1, false).second.message,
              "Cannot split by width.");
    EXPECT_EQ(split_conv_layer(*conv, rig.checker, 256, 64, 0, Type::CNP1, false).second.message,
              "Cannot split by neurons.");
    rig.checker.weights_fit = [](uint32_t) { return false; };
    EXPECT_EQ(split_conv_layer(*conv, rig.checker, 256, 64, 512, Type::CNP1, false).second.message,
              "Cannot split to fit weights in ram.");
    rig.checker.weights_fit = [](uint32_t) { return true; };
    rig.checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    const auto r = split_conv_layer(*conv, rig.checker, 256, 64, 512, Type::CNP1, false);
    EXPECT_EQ(r.second.message, "Cannot split to fit inputs in ram.");
    EXPECT_EQ(r.second.layer_name, "c");
    EXPECT_TRUE(r.first.empty());
}

TEST_F(MeshMapperSplit, SingleBufferModeReachesTheComponents) {
    auto conv = make_layer("c", LayerType::Conv2D, TargetComponent::CNP, Shape({8, 8, 4}),
                           {{"filters", 8}, {"kernel_size", 3}});
    rig.checker.split_params.filters = 8;
    rig.checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    rig.checker.single_fit = [](uint32_t, uint32_t, uint32_t) { return true; };
    const auto r = split_conv_layer(*conv, rig.checker, 256, 64, 512, Type::CNP1, false);
    ASSERT_EQ(r.first.size(), 1u);
    EXPECT_TRUE(r.first[0].placement->single_buffer);
}

TEST_F(MeshMapperSplit, LayerThatFitsNowhereFailsFast) {
    rig.checker.split_params.border_left = rig.checker.split_params.border_right = 1;
    rig.checker.split_params.border_top = rig.checker.split_params.border_bottom = 1;
    rig.checker.split_params.filters = 2048;
    rig.checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    auto conv = make_layer("big", LayerType::Conv2D, TargetComponent::CNP,
                           Shape({4096, 4096, 2048}), {{"filters", 2048}, {"kernel_size", 3}});
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    bool new_group = false;
    const auto start = std::chrono::steady_clock::now();
    const auto result = mapper.np_request(conv, {}, false, &new_group, true);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(result.second.to_string(),
              "Cannot map layer 'big'. Cannot split to fit inputs in ram.");
    EXPECT_LT(ms,
              20000);  // generous: sanitizers and a loaded CI machine; unbounded would take hours
}

TEST(MeshMapperPkShift, AfterAnAddLayer) {
    const Shape s({4, 4, 4});
    auto a = make_layer("a", LayerType::Conv2D, TargetComponent::CNP, s);
    auto add = make_layer("add", LayerType::Add, TargetComponent::SkipDMA, s);
    auto after_add = make_layer("x", LayerType::Conv2D, TargetComponent::CNP, s);
    auto after_conv = make_layer("y", LayerType::Conv2D, TargetComponent::CNP, s);
    link(a, add);
    link(add, after_add);
    link(a, after_conv);
    EXPECT_EQ(v2::get_add_pksram_shift(*after_add), 512u);
    EXPECT_EQ(v2::get_add_pksram_shift(*after_conv), 0u);
    EXPECT_EQ(v2::get_add_pksram_shift(*a), 0u);
    after_conv->inbound = {nullptr};
    EXPECT_THROW(v2::get_add_pksram_shift(*after_conv), std::runtime_error);
}

TEST(MeshMapperTnpBGuards, NullNextLayerIsAnError) {
    Rig rig(plain_nps(2));
    MeshMapper mapper(rig.checker, rig.constraints);
    mapper.reset();
    auto conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({4, 4, 4}));
    conv->outbound.push_back(std::weak_ptr<Layer>());  // a next layer that is gone
    bool new_group = false;
    EXPECT_THROW(mapper.sanitize_tnp_b(*conv, &new_group, true), std::runtime_error);
    EXPECT_THROW(mapper.sanitize_tnp_b(*conv, nullptr, true), std::invalid_argument);
}

}  // namespace
}  // namespace vorna
