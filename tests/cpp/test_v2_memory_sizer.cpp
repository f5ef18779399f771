#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <typeinfo>
#include <vector>

#include "backend/v2/memory_sizer.h"
#include "v2_fnp_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2regs_test::error_text;
using v2regs_test::FakeLayer;
using v2regs_test::link;
using v2regs_test::make_layer;

hw::Component np(hw::Type type, Shape spatial, Shape aux, uint32_t filters = 0) {
    hw::Placement pl;
    pl.filters = filters;
    pl.spatial_partition.shape = spatial;
    pl.aux_partition.shape = aux;
    return hw::Component(type, hw::Ident(1, 0, 0), pl);
}

std::shared_ptr<FakeLayer> conv(LayerType type, uint8_t bits) {
    auto l = make_layer(
        type, "c", {{"kernel_size", 3}, {"kernel_stride", 1}, {"weights_bits", 8}, {"filters", 8}});
    l->in_bits = bits;
    l->in_dims = {Shape{5, 4, 3}};
    return l;
}

const std::shared_ptr<Layer> kNoFirst;

TEST(V2SizerInput, CnpKinds) {
    const auto c = np(hw::Type::CNP1, Shape{5, 4, 3}, Shape{5, 4, 3});
    for (LayerType type : {LayerType::Conv2D, LayerType::DepthwiseConv2D,
                           LayerType::Conv2DTranspose, LayerType::DepthwiseConv2DTranspose}) {
        auto l = conv(type, 8);
        EXPECT_EQ(get_input_memory_size(l, c, kNoFirst), 96u) << int(type);
        auto add = make_layer(LayerType::Add, "add");
        link(add, l);
        EXPECT_EQ(get_input_memory_size(l, c, kNoFirst), 96u + 2048u) << int(type);
        EXPECT_EQ(
            get_input_memory_size(l, np(hw::Type::FNP3, Shape{5, 4, 3}, Shape{5, 4, 3}), kNoFirst),
            0u);
    }
    auto narrow = conv(LayerType::Conv2D, 4);
    EXPECT_EQ(get_input_memory_size(narrow, np(hw::Type::CNP2, Shape{13, 2, 5}, Shape{13, 2, 5}),
                                    kNoFirst),
              4u * 10u * 2u);
}

TEST(V2SizerInput, TnpBAndZeroKinds) {
    auto t = make_layer(LayerType::BufferTempConv, "t", {{"fifo_size", 3}});
    t->in_bits = 4;
    const auto tnp = np(hw::Type::TNP_B, Shape{2, 2, 5}, Shape{2, 2, 5});
    EXPECT_EQ(get_input_memory_size(t, tnp, kNoFirst), 1024u);
    auto no_fifo = make_layer(LayerType::DepthwiseBufferTempConv, "t2");
    no_fifo->in_bits = 4;
    EXPECT_EQ(get_input_memory_size(no_fifo, tnp, kNoFirst), 256u);
    EXPECT_EQ(
        get_input_memory_size(t, np(hw::Type::CNP1, Shape{2, 2, 5}, Shape{2, 2, 5}), kNoFirst), 0u);
    const hw::Component any(hw::Type::SKIP_DMA_STORE, hw::Ident());
    for (LayerType type :
         {LayerType::Add, LayerType::Concatenate, LayerType::InputConv2D, LayerType::Dequantizer,
          LayerType::StatefulRecurrent, LayerType::Quantizer})
        EXPECT_EQ(get_input_memory_size(make_layer(type, "z"), any, kNoFirst), 0u);
    EXPECT_EQ(error_text([&] {
                  get_input_memory_size(make_layer(LayerType::InputData, "in"), any, kNoFirst);
              }),
              "Invalid v2 layer type.");
    auto bare = std::make_shared<FakeLayer>(LayerType::Conv2D, std::map<std::string, int>{}, "b");
    EXPECT_THROW(
        get_input_memory_size(bare, np(hw::Type::CNP1, Shape{1, 1, 1}, Shape{1, 1, 1}), kNoFirst),
        std::bad_cast);
}

// A split that cannot be made, or a layer without input dimensions, stops
// the sizing with the split's or the layer's refusal.
TEST(V2SizerInput, SplitRefusals) {
    const auto c = np(hw::Type::CNP1, Shape{5, 4, 3}, Shape{5, 4, 3});
    auto zero_stride = conv(LayerType::Conv2D, 8);
    zero_stride->set_param("kernel_stride", 0);
    EXPECT_EQ(error_text([&] { get_input_memory_size(zero_stride, c, kNoFirst); }),
              "NpSplit: the kernel stride must be at least 1.");
    auto t = make_layer(LayerType::BufferTempConv, "t", {{"fifo_size", 1}});
    t->in_dims.clear();
    EXPECT_EQ(error_text([&] {
                  get_input_memory_size(t, np(hw::Type::TNP_B, Shape{2, 2, 5}, Shape{2, 2, 5}),
                                        kNoFirst);
              }),
              "Cannot get input size before it is set.");
}

TEST(V2SizerWeight, ByKind) {
    EXPECT_EQ(weights_100b_to_bytes(1), 13u);
    EXPECT_EQ(weights_100b_to_bytes(3), 38u);
    auto c = conv(LayerType::Conv2D, 8);
    c->in_dims = {Shape{8, 8, 2}};
    const auto cnp = np(hw::Type::CNP1, Shape{8, 8, 2}, Shape{8, 8, 2}, 8);
    EXPECT_EQ(get_weight_memory_size(c, cnp), 150u);  // 12 words
    auto dw = conv(LayerType::DepthwiseConv2D, 8);
    dw->set_param("kernel_size", 5);
    EXPECT_EQ(get_weight_memory_size(dw, np(hw::Type::CNP2, Shape{1, 1, 1}, Shape{1, 1, 1}, 10)),
              375u);  // 30 words
    EXPECT_EQ(get_weight_memory_size(c, np(hw::Type::TNP_B, Shape{1, 1, 1}, Shape{1, 1, 1}, 8)),
              0u);
    EXPECT_EQ(get_weight_memory_size(make_layer(LayerType::Add, "a"), cnp), 0u);
    EXPECT_EQ(
        error_text([&] { get_weight_memory_size(make_layer(LayerType::InputData, "i"), cnp); }),
        "Invalid v2 layer type.");
}

// A Dense1D layer sizes its FNP input, 4 bytes a word: as the first layer of
// the sequence its (3, 2, 2) 8-bit input is flattened and packed, 12 bytes in
// 3 words; after a CNP it takes 2 rows of 2 channel runs of 4 bytes, 4 words.
// Its FNP memory then holds 2 neurons of 6 words, on an FNP3 as weight
// memory and on an FNP2 as external memory.
TEST(V2SizerDense1D, InputWeightAndExternalSizes) {
    v2fnp_test::DenseSpec spec;
    spec.input = Shape{3, 2, 2};
    auto d = v2fnp_test::make_dense("d", spec);
    const hw::Component fnp3(hw::Type::FNP3, hw::Ident(1, 0, 0));
    const hw::Component fnp2(hw::Type::FNP2, hw::Ident(1, 0, 1));
    EXPECT_EQ(get_input_memory_size(d, fnp3, d), 12u);
    link(make_layer(LayerType::Conv2D, "conv"), d);
    EXPECT_EQ(get_input_memory_size(d, fnp3, d), 12u);
    EXPECT_EQ(get_input_memory_size(d, fnp3, kNoFirst), 16u);
    EXPECT_EQ(get_weight_memory_size(d, fnp3), 48u);
    EXPECT_EQ(get_weight_memory_size(d, fnp2), 0u);
    EXPECT_EQ(get_external_memory_size(d, fnp2, false, false), 48u);
    EXPECT_EQ(get_external_memory_size(d, fnp3, false, true), 0u);
}

struct StoreGraph {
    std::shared_ptr<FakeLayer> layer = make_layer(LayerType::Conv2D, "s");
    hw::Component store{hw::Type::SKIP_DMA_STORE, hw::Ident(0, 1, 0, 1)};
    StoreGraph() {
        layer->out_dims = Shape{16, 4, 3};
        layer->in_dims = {Shape{8, 2, 6}};
    }
};

TEST(V2SizerExternal, SkipDmaStores) {
    StoreGraph g;
    EXPECT_EQ(get_external_memory_size(g.layer, g.store, false, false), 48u * 3u * 4u);
    EXPECT_EQ(get_external_memory_size(g.layer, g.store, false, true), 48u * 8u);
    EXPECT_EQ(get_external_memory_size(g.layer, g.store, true, true), 24u * 8u);
    StoreGraph w;
    w.layer->out_dims = Shape{33, 1, 1};
    w.layer->in_dims = {Shape{33, 1, 1}};
    EXPECT_EQ(get_external_memory_size(w.layer, w.store, false, true), 9u * 8u);
    EXPECT_EQ(get_external_memory_size(w.layer, w.store, true, true), 9u * 8u);

    auto mid = make_layer(LayerType::Conv2D, "mid");
    auto far = make_layer(LayerType::Add, "far");
    auto deep = make_layer(LayerType::Conv2D, "deep");
    link(g.layer, mid);
    link(mid, deep);
    link(deep, far);
    g.layer->outbound.clear();
    g.layer->outbound.push_back(far);
    far->inbound = {deep, g.layer};
    EXPECT_EQ(get_external_memory_size(g.layer, g.store, false, false), 48u * 5u * 4u);

    EXPECT_EQ(
        get_external_memory_size(g.layer, hw::Component(hw::Type::CNP1, hw::Ident()), false, false),
        0u);
}

// Sizes are 32-bit byte counts: 2^29 - 1 words of 8 bytes fit, 2^29 do not.
// A null outbound layer is refused when the farthest consumer is looked for.
TEST(V2SizerExternal, SizesPastThirtyTwoBitsAndNullConsumers) {
    StoreGraph g;
    g.layer->out_dims = Shape{1, 1, (1u << 29) - 1};
    EXPECT_EQ(get_external_memory_size(g.layer, g.store, false, true), 4294967288u);
    g.layer->out_dims = Shape{1, 1, 1u << 29};
    EXPECT_EQ(error_text([&] { get_external_memory_size(g.layer, g.store, false, true); }),
              "Memory size of layer 's' exceeds 32 bits.");

    StoreGraph n;
    {
        auto gone = make_layer(LayerType::Conv2D, "gone");
        n.layer->outbound.push_back(gone);
    }
    EXPECT_EQ(error_text([&] { get_external_memory_size(n.layer, n.store, false, false); }),
              "Layer 's' has a null outbound layer.");
    // Multi-pass sizes never look at the consumers.
    EXPECT_EQ(get_external_memory_size(n.layer, n.store, false, true), 48u * 8u);
}

TEST(V2SizerExternal, TemporalStores) {
    auto t = make_layer(LayerType::BufferTempConv, "t", {{"fifo_size", 2}});
    t->in_bits = 4;
    t->in_dims = {Shape{3, 2, 10}};  // ceil(4 * 10 / 32) * 3 * 2 = 12 words
    const hw::Component store(hw::Type::SKIP_DMA_STORE, hw::Ident());
    EXPECT_EQ(get_external_memory_size(t, store, false, false), 12u * 3u * 4u);
    EXPECT_EQ(get_external_memory_size(t, store, true, true), 12u * 3u * 4u);
    auto no_fifo = make_layer(LayerType::DepthwiseBufferTempConv, "t2");
    EXPECT_EQ(get_external_memory_size(no_fifo, store, false, false), 0u);
}

}  // namespace

namespace {}  // namespace
