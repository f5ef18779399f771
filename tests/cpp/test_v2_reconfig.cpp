// Partial-reconfiguration words that describe the next pass's first layer: on a CNP its
// geometry, packing, sources, a max-pooled source and the channel group of a separable layer;
// on an FNP the packing of its input; the HRC and the refusals.

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

// A next-pass layer with its mapping: fed by CNPs in columns 2 and 5 and a
// skip-DMA load in column 7; a skip-DMA store in column 9 that is not routed
// as a source; two own components; input channel 9.
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

TEST(V2ReconfigCnp, GeometryPackingAndSources) {
    PrFixture f(LayerType::Conv2D);
    f.layer->in_bits = 4;
    f.layer->in_dims = {Shape{20, 12, 3}};
    const auto c = np(hw::Type::CNP1, 3, space(8, 3, Shape{5, 6, 3}), space(7, 3, Shape{5, 6, 3}));
    update_partial_reconfig_regs(&f.regs, *f.layer, c, true);
    EXPECT_EQ(f.regs[32], 0x09000025u);  // bits 0, 2; 4-bit code 2; input channel 9
    EXPECT_EQ(f.regs[33], 0x00070003u);
    EXPECT_EQ(f.regs[34], 0x00050006u);
    EXPECT_EQ(f.regs[35], 0x00040003u);  // A = 3 bytes rounded to 4, B = 4 * 3 / 4
    EXPECT_EQ(f.regs[40], 0u);
    EXPECT_EQ(f.regs[41], 0x02AB0702u);  // two components, sources in columns 2..7
    EXPECT_EQ(f.regs[42], 0u);
    EXPECT_EQ(f.regs[44], 0x8000u);

    // With the TNP-B routing flag, the store counts among the sources.
    f.mapping->tnp_b_skipdma = true;
    update_partial_reconfig_regs(&f.regs, *f.layer, c, false);
    EXPECT_EQ(f.regs[41] & 0xFFFFu, 0x0902u);
    EXPECT_EQ(f.regs[44], 0u);
}

// A max-pooled source that is not activated has its pooled rows kept in the
// packet SRAM: 32-bit words of d1'' rows of d2'' channels, each row padded to
// four bytes.
TEST(V2ReconfigCnp, MaxPoolingSourceAndMerge) {
    PrFixture f(LayerType::Conv2D);
    f.layer->in_bits = 4;
    auto pooled = make_layer(LayerType::Conv2D, "p", {{"pool_type", 1}});
    link(pooled, f.layer);
    f.mapping->merge_info = std::make_unique<MergeLayerMapInfo>();
    const auto c = np(hw::Type::CNP2, 3, space(0, 0, Shape{5, 6, 3}), space(0, 0, Shape{5, 6, 3}));
    update_partial_reconfig_regs(&f.regs, *f.layer, c, false);
    EXPECT_EQ(f.regs[32], 0x09000825u | (1u << 3) | (1u << 6));
    EXPECT_EQ(f.regs[40], 18u);  // 4-byte rows of 3 channels over 6 rows

    // 8-bit rows of 13 pixels: 16 bytes a row, 4 * 2 / 4 * 7 = 56 words.
    PrFixture wide(LayerType::Conv2D);
    link(pooled, wide.layer);
    const auto w =
        np(hw::Type::CNP2, 3, space(0, 0, Shape{13, 7, 2}), space(0, 0, Shape{13, 7, 2}));
    update_partial_reconfig_regs(&wide.regs, *wide.layer, w, false);
    EXPECT_EQ(wide.regs[32], 0x09000835u);
    EXPECT_EQ(wide.regs[40], 56u);
    EXPECT_EQ(wide.regs[35], 0x00100008u);  // A 16, B 16 * 2 / 4

    f.mapping->merge_info->from_add = true;
    pooled->set_param("activation", 1);  // an activated source does not pool into the SRAM
    std::vector<uint32_t> fresh(64, 0);
    update_partial_reconfig_regs(&fresh, *f.layer, c, false);
    EXPECT_EQ(fresh[32], 0x09000025u | (1u << 3));
    EXPECT_EQ(fresh[40], 0u);

    // Average pooling is not max pooling.
    auto average = make_layer(LayerType::Conv2D, "avg", {{"pool_type", 2}});
    PrFixture avg(LayerType::Conv2D);
    link(average, avg.layer);
    update_partial_reconfig_regs(&avg.regs, *avg.layer, c, false);
    EXPECT_EQ(avg.regs[32] & (1u << 11), 0u);
    EXPECT_EQ(avg.regs[40], 0u);
}

// A depthwise next layer uses the separable sizes; a component that holds
// only some of the channels also gets its channel group.
TEST(V2ReconfigCnp, SeparableChannelGroup) {
    PrFixture f(LayerType::DepthwiseConv2D);
    f.layer->in_dims = {Shape{20, 6, 16}};
    const auto c =
        np(hw::Type::CNP1, 3, space(0, 0, Shape{10, 6, 4}), space(0, 0, Shape{10, 6, 4}), 4, 4);
    update_partial_reconfig_regs(&f.regs, *f.layer, c, false);
    EXPECT_EQ(f.regs[35], 0x00488003u);  // B 3, separable, A 72
    EXPECT_EQ(f.regs[32], 0x09000435u);  // channel group enabled
    EXPECT_EQ(f.regs[42], 0x00040004u);

    std::vector<uint32_t> all(64, 0);
    const auto whole =
        np(hw::Type::CNP1, 3, space(0, 0, Shape{10, 6, 16}), space(0, 0, Shape{10, 6, 16}), 0, 16);
    update_partial_reconfig_regs(&all, *f.layer, whole, false);
    EXPECT_EQ(all[32], 0x09000035u);
    EXPECT_EQ(all[35], 0x00488003u);
    EXPECT_EQ(all[42], 0u);

    // 4-bit rows of 9 pixels: B = ceil(36 / 32) = 2 words, A = 4 * 2 * 5 = 40,
    // whatever the channel count of the first space.
    PrFixture four(LayerType::DepthwiseConv2D);
    four.layer->in_bits = 4;
    four.layer->in_dims = {Shape{9, 5, 8}};
    const auto part =
        np(hw::Type::CNP1, 3, space(0, 0, Shape{9, 5, 7}), space(0, 0, Shape{9, 5, 7}), 1, 7);
    update_partial_reconfig_regs(&four.regs, *four.layer, part, false);
    EXPECT_EQ(four.regs[35], 0x00288002u);
    EXPECT_EQ(four.regs[42], 0x00070001u);

    // A max-pooled, unactivated source of a depthwise layer: both blocks.
    auto pooled = make_layer(LayerType::Conv2D, "p", {{"pool_type", 1}});
    link(pooled, four.layer);
    std::vector<uint32_t> both(64, 0);
    update_partial_reconfig_regs(&both, *four.layer, part, false);
    EXPECT_EQ(both[32], 0x09000C25u);
    EXPECT_EQ(both[40], 70u);  // 8-byte rows of 7 channels over 5 rows
    EXPECT_EQ(both[35], 0x00288002u);
}

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

    PrFixture sourceless(LayerType::Conv2D);
    sourceless.mapping->inbound_components.clear();
    sourceless.mapping->skipdma_load_components.clear();
    EXPECT_EQ(error_text([&] {
                  update_partial_reconfig_regs(&sourceless.regs, *sourceless.layer,
                                               np(hw::Type::CNP1, 1, NpSpace{}, NpSpace{}), false);
              }),
              "Layer 'next' has no input components.");
    // The store is a source only with the TNP-B routing flag.
    sourceless.mapping->tnp_b_skipdma = true;
    update_partial_reconfig_regs(&sourceless.regs, *sourceless.layer,
                                 np(hw::Type::CNP1, 1, NpSpace{}, NpSpace{}), false);
    EXPECT_EQ(sourceless.regs[41] & 0xFFFFu, 0x0909u);

    for (size_t size : {size_t{0}, size_t{63}}) {
        std::vector<uint32_t> odd(size, 0);
        EXPECT_EQ(error_text([&] {
                      update_partial_reconfig_regs(
                          &odd, *f.layer, hw::Component(hw::Type::HRC, hw::Ident()), false);
                  }),
                  "A v2 NP register file must hold 64 words.");
    }

    auto unmapped = make_layer(LayerType::Conv2D, "u");
    std::vector<uint32_t> regs(64, 0);
    EXPECT_EQ(error_text([&] {
                  update_partial_reconfig_regs(&regs, *unmapped,
                                               np(hw::Type::CNP1, 1, NpSpace{}, NpSpace{}), false);
              }),
              "Layer 'u' has no mapping.");
}

}  // namespace
