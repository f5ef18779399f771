#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "backend/hardware_pass.h"
#include "engine_b_fakes.h"

namespace vorna {
namespace {

using namespace engine_test;
using hw::Component;
using hw::Ident;
using hw::Type;

const Ident kPass(1, 1, 0);

TEST(HardwarePass, FirstPassLinksNothing) {
    auto in = layer("in", LayerType::InputData);
    auto a = conv("a");
    auto b = conv("b");
    const LayerList layers = chain({in, a, b});
    HardwarePass pass(
        layers, layers,
        {{},
         {Component(Type::CNP1, Ident(1, 1, 0))},
         {Component(Type::CNP2, Ident(1, 1, 1)), Component(Type::CNP2, Ident(1, 1, 2))}},
        kPass, nullptr);
    EXPECT_EQ(pass.size(), 3u);
    EXPECT_EQ(pass.layers, layers);
    EXPECT_TRUE(mapping_of(b).output_to_dma);
    EXPECT_EQ(mapping_of(b).nps->size(), 2u);
    EXPECT_EQ(mapping_of(a).input_channel, 0);
}

TEST(HardwarePass, SecondPassChainsToTheFirst) {
    auto a = conv("a");
    auto b = conv("b");
    auto c = conv("c");
    const LayerList all = chain({a, b, c});
    auto first =
        std::make_shared<HardwarePass>(LayerList{a, b}, all,
                                       ComponentsPerLayer{{Component(Type::CNP1, Ident(1, 1, 0))},
                                                          {Component(Type::CNP1, Ident(1, 1, 1))}},
                                       kPass, nullptr);
    HardwarePass second(LayerList{c}, all, {{Component(Type::CNP1, Ident(1, 1, 0))}}, kPass, first);
    const LayerMapping& mb = mapping_of(b);
    ASSERT_EQ(mb.outbound_components.size(), 1u);
    EXPECT_EQ(mb.outbound_components[0], mapping_of(c).nps);
    EXPECT_FALSE(mb.output_to_dma);
    EXPECT_EQ(mb.next_channel, 3);  // b is channel 2
    EXPECT_EQ(mapping_of(c).input_channel, 3);
}

TEST(HardwarePass, PassWithoutMappableLayerCannotBeChained) {
    auto a = conv("a");
    auto s = layer("s", LayerType::Add);
    const LayerList all = chain({a, s});
    auto first = std::make_shared<HardwarePass>(
        LayerList{a}, all, ComponentsPerLayer{{Component(Type::CNP1, Ident(1, 1, 0))}}, kPass,
        nullptr);
    EXPECT_THROW(HardwarePass(LayerList{s}, all, {{}}, kPass, first), std::runtime_error);
}

}  // namespace
}  // namespace vorna
