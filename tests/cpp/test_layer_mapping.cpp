#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/layer_mapping_builder.h"
#include "engine_b_fakes.h"

namespace vorna {
namespace {

using namespace engine_test;
using hw::Component;
using hw::Ident;
using hw::Type;

const Ident kPass(1, 1, 0);

Component np(Type t, uint8_t col, uint8_t id, uint8_t channel = 0) {
    return Component(t, Ident(col, 1, id, channel));
}

TEST(LayerMappingStandalone, TnpBChannelWrapsAsAByte) {
    LayerList layers;
    ComponentsPerLayer components;
    for (int i = 0; i < 128; ++i) {
        layers.push_back(layer("b" + std::to_string(i), LayerType::BufferTempConv));
        components.push_back({np(Type::TNP_B, 1, 0)});
    }
    LayerMappingBuilder::map_standalone(layers, components, kPass);
    EXPECT_EQ(mapping_of(layers[126]).channel, 254);
    EXPECT_EQ(mapping_of(layers[127]).channel, 0);  // 256 wraps
}

TEST(LayerMappingLink, ChainInOnePass) {
    auto in = layer("in", LayerType::InputData);
    auto a = conv("a");
    auto b = conv("b");
    const LayerList layers = chain({in, a, b});
    LayerMappingBuilder::build_layer_mapping(
        layers, layers, {{}, {np(Type::CNP1, 2, 0)}, {np(Type::CNP1, 2, 1)}}, kPass);
    LayerMapping& ma = mapping_of(a);
    LayerMapping& mb = mapping_of(b);
    ASSERT_EQ(mb.inbound_components.size(), 1u);
    EXPECT_EQ(mb.inbound_components[0], ma.nps);  // shared, not copied
    ASSERT_EQ(ma.outbound_components.size(), 1u);
    EXPECT_EQ(ma.outbound_components[0], mb.nps);
    EXPECT_EQ(ma.next_channel, mb.channel);
    EXPECT_FALSE(ma.output_to_dma);
    // A later edit of b's components shows in a's outbound list.
    (*mb.nps)[0].mem_info.input_size = 7;
    EXPECT_EQ((*ma.outbound_components[0])[0].mem_info.input_size, 7u);
}

TEST(LayerMappingLink, LinkToPreviousPass) {
    auto a = conv("a");
    auto b = conv("b");
    chain({a, b});
    LayerMappingBuilder::build_layer_mapping(LayerList{a}, LayerList{a, b},
                                             {{np(Type::CNP1, 2, 0)}}, kPass);
    LayerMappingBuilder::build_layer_mapping(LayerList{b}, LayerList{a, b},
                                             {{np(Type::CNP1, 2, 0)}}, kPass);
    mapping_of(a).channel = 255;
    LayerMappingBuilder::link_to_previous_pass(b, a);
    LayerMapping& ma = mapping_of(a);
    LayerMapping& mb = mapping_of(b);
    ASSERT_EQ(ma.outbound_components.size(), 1u);
    EXPECT_EQ(ma.outbound_components[0], mb.nps);
    EXPECT_FALSE(ma.output_to_dma);
    EXPECT_EQ(ma.next_channel, 0);  // 255 + 1 wraps
    EXPECT_EQ(mb.input_channel, 0);
    ASSERT_EQ(mb.inbound_components.size(), 2u);
    EXPECT_EQ((*mb.inbound_components[0])[0].type, Type::DMA);
    EXPECT_EQ(mb.inbound_components[1], ma.nps);
    EXPECT_THROW(LayerMappingBuilder::link_to_previous_pass(nullptr, a), std::runtime_error);
}

// S4: a residual block A -> B -> E -> S(Add) -> M, and A -> S.
TEST(LayerMappingResidual, AddThroughSkipDma) {
    Rig rig(kV2, default_mesh());
    auto in = layer("in", LayerType::InputData);
    in->output = Shape({8, 8, 4});
    auto a = conv("A");
    auto b = conv("B");
    auto e = conv("E");
    auto s = add_layer("S");
    auto m = conv("M");
    link(in, a);
    link(a, b);
    link(b, e);
    link(e, s);
    link(a, s);
    link(s, m);
    LayerList layers{in, a, b, e, s, m};
    const MappingStatusGroup result = rig.map(&layers);
    ASSERT_FALSE(result.error) << result.to_string();
    EXPECT_TRUE(layers.empty());

    LayerMapping& ma = mapping_of(a);
    LayerMapping& ms = mapping_of(s);
    LayerMapping& mm = mapping_of(m);
    ASSERT_EQ(ma.nps->size(), 1u);
    EXPECT_EQ((*ma.nps)[0].type, Type::CNP1);
    ASSERT_EQ(ma.skipdma_store_components.size() + mm.skipdma_load_components.size(), 2u);
    EXPECT_EQ(ma.skipdma_store_components[0].type, Type::SKIP_DMA_STORE);
    EXPECT_EQ(mm.skipdma_load_components[0].type, Type::SKIP_DMA_LOAD);
    EXPECT_TRUE(ms.nps->empty());
    EXPECT_EQ(ms.channel, 255);
    ASSERT_TRUE(mm.merge_info && ma.skipdma_store_channel && mm.skipdma_load_channel);
    EXPECT_TRUE(mm.merge_info->from_add);
    EXPECT_EQ(ma.skipdma_store_channel->channel, 3);  // 1 + 2 x its index in the list
    EXPECT_EQ(mm.skipdma_load_channel->channel, ma.skipdma_store_channel->channel);
    // The store is sized like a plain component; the load keeps zero sizes.
    EXPECT_EQ(ma.skipdma_store()->mem_info.input_size, 100u);
    EXPECT_EQ(mm.skipdma_load()->mem_info, MemoryInfo{});

    ProgramView view = check_program(rig.sequence()->program());
    ASSERT_NE(view.info, nullptr);
    const fb::PassSpans* spans = view.info->passes()->Get(0);
    ASSERT_TRUE(spans->skipdma_stores() && spans->skipdma_loads());
    ASSERT_EQ(spans->skipdma_stores()->size() + spans->skipdma_loads()->size(), 2u);
    const fb::SKipDmaInfoTrack* store = spans->skipdma_stores()->Get(0);
    EXPECT_EQ(store->np().col(), ma.skipdma_store()->ident.col);
    EXPECT_EQ(store->np().channel(), ma.skipdma_store()->ident.channel);
    EXPECT_FALSE(store->tnp_b());
    EXPECT_EQ(store->channel(), ma.skipdma_store_channel->channel);
    EXPECT_EQ(store->skip_param(), ma.skipdma_store_channel->skip_param);
    // A's output 8 x 8 x 4 at 8 bits: d1 * d2 * ceil(8 * d0 / 32) = 8 * 4 * 2.
    EXPECT_EQ(store->size(), 64u);
    EXPECT_EQ(spans->skipdma_loads()->Get(0)->size(), 0u);
    EXPECT_EQ(spans->skipdma_loads()->Get(0)->channel(), mm.skipdma_load_channel->channel);
}

}  // namespace
}  // namespace vorna
