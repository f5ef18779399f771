#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/v2/np_registers.h"
#include "backend/v2/reconfig_registers.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2regs_test::error_text;
using v2regs_test::FakeLayer;
using v2regs_test::link;
using v2regs_test::make_layer;
using v2regs_test::overflow_text;

hw::Component np(hw::Type type, uint8_t col, NpSpace spatial, NpSpace aux, uint32_t start = 0,
                 uint32_t filters = 0) {
    hw::Placement pl;
    pl.start_neuron = start;
    pl.filters = filters;
    pl.spatial_partition = spatial;
    pl.aux_partition = aux;
    return hw::Component(type, hw::Ident(col, 0, 0), pl);
}

NpSpace space(int32_t x, int32_t y, Shape shape) {
    NpSpace s;
    s.x = x;
    s.y = y;
    s.shape = shape;
    return s;
}

struct PrFixture {
    std::shared_ptr<FakeLayer> layer;
    std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>();
    std::vector<uint32_t> regs = std::vector<uint32_t>(64, 0);

    explicit PrFixture(LayerType type) : layer(make_layer(type, "next", {{"activation", 1}})) {
        mapping->input_channel = 9;
        mapping->inbound_components.push_back(std::make_shared<ComponentList>(
            ComponentList{hw::Component(hw::Type::CNP1, hw::Ident(2, 0, 0)),
                          hw::Component(hw::Type::CNP1, hw::Ident(5, 1, 0))}));
        mapping->skipdma_load_components = {
            hw::Component(hw::Type::SKIP_DMA_LOAD, hw::Ident(7, 0, 0, 1))};
        mapping->skipdma_store_components = {
            hw::Component(hw::Type::SKIP_DMA_STORE, hw::Ident(9, 0, 0, 2))};
        mapping->nps = std::make_shared<std::vector<hw::Component>>(2);
        layer->layer_mapping = mapping;
        regs[41] = 0x80AB0000u;
    }
};

TEST(V2ReconfigFnp, PackingOfTheInput) {
    struct Case {
        const char* title;
        LayerType source;  // the layer that feeds the FNP layer
        int source_weights;
        uint32_t word35;
    };
    for (const Case& k : {Case{"whole run (1)", LayerType::InputData, 8, 0x000C0009u},
                          Case{"padded runs (2)", LayerType::Conv2D, 4, 0x000A0008u},
                          Case{"padded rows (3)", LayerType::Conv2D, 8, 0x000C0009u}}) {
        PrFixture f(LayerType::Dense1D);
        f.layer->set_param("weights_bits", k.source_weights);
        f.layer->in_dims = {Shape{10, 1, 3}};
        auto source = make_layer(k.source, "src");
        link(source, f.layer);
        const auto c =
            np(hw::Type::FNP3, 3, space(0, 0, Shape{10, 1, 3}), space(0, 0, Shape{10, 1, 3}));
        update_partial_reconfig_regs(&f.regs, *f.layer, c, false);
        EXPECT_EQ(f.regs[32], 0x09000037u) << k.title;  // FNP mode, 8-bit code 3
        EXPECT_EQ(f.regs[33], 0u) << k.title;
        EXPECT_EQ(f.regs[34], 0x000A0001u) << k.title;
        EXPECT_EQ(f.regs[35], k.word35) << k.title;
    }

    PrFixture none(LayerType::Dense1D);
    none.layer->set_param("weights_bits", 8);
    none.layer->in_dims = {Shape{1, 1, 3000}};
    auto input = make_layer(LayerType::InputData, "in");
    link(input, none.layer);
    EXPECT_EQ(error_text([&] {
                  update_partial_reconfig_regs(
                      &none.regs, *none.layer,
                      np(hw::Type::FNP3, 3, space(0, 0, Shape{1, 1, 3000}), NpSpace{}), false);
              }),
              "Unsupported padding.");
}

TEST(V2ReconfigOther, OtherKindsAndFailures) {
    PrFixture f(LayerType::InputConv2D);
    f.regs[33] = 0x11111111u;
    f.regs[35] = 0xFFFFFFFFu;
    f.regs[32] = 0x2u;
    update_partial_reconfig_regs(&f.regs, *f.layer, hw::Component(hw::Type::HRC, hw::Ident()),
                                 false);
    EXPECT_EQ(f.regs[33], 0x11111111u);
    EXPECT_EQ(f.regs[35], 0x0000C000u);
    EXPECT_EQ(f.regs[32], 0x09000037u);  // bit 1 untouched, 8-bit code 3

    PrFixture wide(LayerType::Conv2D);
    wide.layer->in_bits = 16;
    EXPECT_EQ(error_text([&] {
                  update_partial_reconfig_regs(&wide.regs, *wide.layer,
                                               np(hw::Type::CNP1, 1, NpSpace{}, NpSpace{}), false);
              }),
              overflow_text(6, 2));

    PrFixture many(LayerType::InputConv2D);
    many.mapping->nps->resize(128);
    EXPECT_EQ(error_text([&] {
                  update_partial_reconfig_regs(&many.regs, *many.layer,
                                               hw::Component(hw::Type::HRC, hw::Ident()), false);
              }),
              overflow_text(128, 7));

    auto unmapped = make_layer(LayerType::Conv2D, "u");
    std::vector<uint32_t> regs(64, 0);
    EXPECT_EQ(error_text([&] {
                  update_partial_reconfig_regs(&regs, *unmapped,
                                               np(hw::Type::CNP1, 1, NpSpace{}, NpSpace{}), false);
              }),
              "Layer 'u' has no mapping.");
}

}  // namespace
