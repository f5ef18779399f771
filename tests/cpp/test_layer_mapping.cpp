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

}  // namespace
}  // namespace vorna
