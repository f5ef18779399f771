// Program records of the v2 CNP kinds: the order, targets and contents of
// the blocks recorded for each NP, decoded from the track headers.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/v2/cnp_recorders.h"
#include "backend/v2/cnp_registers.h"
#include "backend/v2/cnp_weights.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "devices/virtual_device.h"
#include "program/record.h"
#include "v2_cnp_test_util.h"

namespace vorna {
namespace v2 {
namespace {

using namespace cnp_test;

struct Block {
    hw::Ident np;
    uint32_t target;
    std::vector<uint32_t> payload;
};

// Splits every track of a record into its blocks, through the header fields.
std::vector<Block> blocks_of(const program::Record& record) {
    std::vector<Block> out;
    for (const auto& track : record.tracks()) {
        const auto& d = track.data();
        size_t i = 0;
        while (i < d.size()) {
            const uint32_t w0 = d.at(i), w1 = d.at(i + 1);
            const bool xl = dma::HDR0_XL.get(w0) != 0;
            const size_t size = xl ? size_t(dma::HDR1_XL_SIZE.get(w1)) * dma::XL_SIZE_UNIT_WORDS
                                   : dma::HDR0_SIZE.get(w0);
            Block b;
            b.np = hw::Ident(uint8_t(dma::HDR0_COL.get(w0)), uint8_t(dma::HDR0_ROW.get(w0)),
                             uint8_t(dma::HDR0_ID.get(w0)));
            b.target = dma::HDR0_TARGET.get(w0);
            b.payload.assign(d.begin() + long(i) + 2, d.begin() + long(i) + 2 + long(size));
            out.push_back(std::move(b));
            i += 2 + size;
        }
    }
    return out;
}

std::vector<uint32_t> targets_of(const std::vector<Block>& blocks) {
    std::vector<uint32_t> t;
    for (const auto& b : blocks) t.push_back(b.target);
    return t;
}

const Device& v2_device() {
    static const auto device = make_virtual_device(
        HwVersion{0xBC, 0xA2, 1, 0},
        Mesh(IpVersion::v2, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), std::nullopt, {}, {}));
    return *device;
}

template <class T>
std::shared_ptr<Dense> filled(TensorType type, Shape dims, const std::function<T(size_t)>& f) {
    std::shared_ptr<Dense> t = Dense::create(type, dims, Dense::Layout::ColMajor);
    T* d = t->data<T>();
    for (size_t i = 0; i < t->size(); ++i) d[i] = f(i);
    return t;
}

// Two NPs of 17 filters each over a 10 x 5 x 3 input, with the variables a
// recorder reads.
std::shared_ptr<FakeCnpLayer> recorded_conv(LayerType type, bool lut, bool add_merge) {
    auto layer = conv_layer(type);
    auto& nps = *layer->layer_mapping->nps;
    nps.front().placement->filters = 17;
    nps.push_back(nps.front());
    nps.back().ident = hw::Ident(3, 1, 1);
    nps.back().placement->start_neuron = 17;
    auto u8 = [](size_t i) { return uint8_t(i); };
    layer->vars.set("weights", filled<int8_t>(TensorType::int8, Shape{3, 3, 3, 34},
                                              [](size_t i) { return int8_t(i % 100); }));
    layer->vars.set("input_shift", filled<uint8_t>(TensorType::uint8, Shape{3}, u8));
    layer->vars.set(
        "bias", filled<int8_t>(TensorType::int8, Shape{34}, [](size_t i) { return int8_t(i); }));
    layer->vars.set("output_scales", filled<uint8_t>(TensorType::uint8, Shape{34}, u8));
    if (lut) {
        layer->params_->set("activation", 2);
        layer->vars.set("lut_values", filled<int32_t>(TensorType::int32, Shape{2048},
                                                      [](size_t i) { return int32_t(i % 16); }));
    }
    if (add_merge) {
        auto m = std::dynamic_pointer_cast<LayerMapping>(layer->layer_mapping);
        m->merge_info = std::make_unique<MergeLayerMapInfo>();
        m->merge_info->from_add = true;
        m->merge_info->main_shift =
            filled<uint8_t>(TensorType::uint8, Shape{34}, [](size_t) { return uint8_t(0); });
        m->merge_info->skip_shift = m->merge_info->main_shift;
        m->merge_info->out_shift =
            filled<int8_t>(TensorType::int8, Shape{34}, [](size_t) { return int8_t(0); });
        m->skipdma_load_components = {
            hw::Component(hw::Type::SKIP_DMA_LOAD, hw::Ident(1, 1, 0, 2))};
        m->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
        m->skipdma_load_channel->dma_channel = 2;
        m->skipdma_load_channel->channel = 1;
    }
    return layer;
}

TEST(V2CnpRecorders, Conv2dBlockOrder) {
    auto layer = recorded_conv(LayerType::Conv2D, true, true);
    auto record =
        record_program_conv2d_layer(v2_device(), *layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(record->hw_version().product_id, 0xA2);
    const auto blocks = blocks_of(*record);
    // Each NP's blocks, then the skip-DMA blocks of the merge's load engine.
    auto targets = targets_of(blocks);
    ASSERT_GT(targets.size(), 12u);
    EXPECT_EQ(std::vector<uint32_t>(targets.begin(), targets.begin() + 12),
              (std::vector<uint32_t>{7, 1, 2, 5, 12, 10, 7, 1, 2, 5, 12, 10}));
    for (size_t i = 12; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].target, 11u);
        EXPECT_EQ(blocks[i].np, hw::Ident(1, 1, 0));
    }
    const hw::Ident a(2, 1, 0), b(3, 1, 1);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(blocks[i].np, a);
        EXPECT_EQ(blocks[6 + i].np, b);
    }
    const auto regs = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(blocks[0].payload, regs.at(a));
    EXPECT_EQ(blocks[6].payload, regs.at(b));
    const auto& weights = static_cast<const Dense&>(*layer->vars.get("weights"));
    EXPECT_EQ(blocks[7].payload, format_conv2d_cnp_weights(weights, 17, 17, 8));
    // Input shifts are the whole tensor for every NP; the merge shifts cover
    // every channel from 0.
    EXPECT_EQ(blocks[2].payload, blocks[8].payload);
    EXPECT_EQ(blocks[2].payload, (std::vector<uint32_t>{0x00020100, 0}));
    EXPECT_EQ(blocks[5].payload.size(), 9u);  // 34 neurons, 4 per word
    EXPECT_EQ(blocks[5].payload, blocks[11].payload);
    // Variables of the second NP start at neuron 17.
    EXPECT_EQ(blocks[9].payload.size(), 34u);
    EXPECT_EQ(blocks[9].payload[0], (17u << 8) | 17u);
    EXPECT_EQ(blocks[4].payload.size(), 1024u);
}

TEST(V2CnpRecorders, RegistersOnlySkippedIdentsAndTargets) {
    auto layer = recorded_conv(LayerType::Conv2D, false, false);
    auto only =
        record_program_conv2d_layer(v2_device(), *layer, nullptr, false, false, {}, true, false);
    EXPECT_EQ(targets_of(blocks_of(*only)), (std::vector<uint32_t>{7, 7}));

    auto skipped = record_program_conv2d_layer(v2_device(), *layer, nullptr, false, false,
                                               {hw::Ident(2, 1, 0)}, false, false);
    const auto blocks = blocks_of(*skipped);
    EXPECT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5}));
    EXPECT_EQ(blocks[0].np, hw::Ident(3, 1, 1));

    layer->params_->set("weights_bits", 4);
    layer->vars.set("weights", filled<int8_t>(TensorType::int4, Shape{3, 3, 3, 34},
                                              [](size_t i) { return int8_t(i % 8); }));
    auto four =
        record_program_conv2d_layer(v2_device(), *layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(targets_of(blocks_of(*four)), (std::vector<uint32_t>{7, 0, 2, 5, 7, 0, 2, 5}));
}

TEST(V2CnpRecorders, TransposedConv2dAndTypeCheck) {
    auto t = recorded_conv(LayerType::Conv2DTranspose, false, false);
    t->built = false;
    auto record = record_program_transposed_conv2d_layer(v2_device(), *t, nullptr, false, false, {},
                                                         false, false);
    EXPECT_EQ(targets_of(blocks_of(*record)), (std::vector<uint32_t>{7, 1, 2, 5, 7, 1, 2, 5}));

    EXPECT_EQ(exception_text([&] {
                  record_program_conv2d_layer(v2_device(), *t, nullptr, false, false, {}, false,
                                              false);
              }),
              "Invalid layer type for CNP recording.");
    auto conv = recorded_conv(LayerType::Conv2D, false, false);
    EXPECT_EQ(exception_text([&] {
                  record_program_dwconv2d_layer(v2_device(), *conv, nullptr, false, false, {},
                                                false, false);
              }),
              "Invalid layer type for CNP recording.");
    conv->vars = VariablesImpl();
    EXPECT_EQ(exception_text([&] {
                  record_program_conv2d_layer(v2_device(), *conv, nullptr, false, false, {}, false,
                                              false);
              }),
              "Layer 'c': the variable 'input_shift' is missing.");
}

// 64 channels on two NPs of 32: the second NP's blocks come from channels
// 32-63 of every per-channel tensor.
TEST(V2CnpRecorders, DepthwiseBlocksFollowTheChannelRange) {
    auto layer = dw_layer(LayerType::DepthwiseConv2D, 0, 32);
    layer->in_dims = {Shape{10, 4, 64}};
    auto& nps = *layer->layer_mapping->nps;
    nps.front().placement->spatial_partition.shape = Shape{10, 4, 64};
    nps.front().placement->aux_partition.shape = Shape{10, 4, 64};
    nps.push_back(nps.front());
    nps.back().ident = hw::Ident(3, 1, 1);
    nps.back().placement->start_neuron = 32;
    auto u8 = [](size_t i) { return uint8_t(i); };
    layer->vars.set("weights", filled<int8_t>(TensorType::int8, Shape{3, 3, 1, 64},
                                              [](size_t i) { return int8_t(i % 120); }));
    layer->vars.set("input_shift", filled<uint8_t>(TensorType::uint8, Shape{64}, u8));
    layer->vars.set("output_scales", filled<uint8_t>(TensorType::uint8, Shape{64}, u8));
    auto m = std::dynamic_pointer_cast<LayerMapping>(layer->layer_mapping);
    m->merge_info = std::make_unique<MergeLayerMapInfo>();
    m->merge_info->from_add = true;
    m->merge_info->main_shift =
        filled<uint8_t>(TensorType::uint8, Shape{64}, [](size_t i) { return uint8_t(i >= 32); });
    m->merge_info->skip_shift =
        filled<uint8_t>(TensorType::uint8, Shape{64}, [](size_t) { return uint8_t(0); });
    m->merge_info->out_shift =
        filled<int8_t>(TensorType::int8, Shape{64}, [](size_t) { return int8_t(0); });
    m->skipdma_load_components = {hw::Component(hw::Type::SKIP_DMA_LOAD, hw::Ident(1, 1, 0, 2))};
    m->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();

    auto record =
        record_program_dwconv2d_layer(v2_device(), *layer, nullptr, false, false, {}, false, false);
    const auto blocks = blocks_of(*record);
    auto targets = targets_of(blocks);
    ASSERT_GT(targets.size(), 10u);
    targets.resize(10);
    ASSERT_EQ(targets, (std::vector<uint32_t>{7, 1, 2, 5, 10, 7, 1, 2, 5, 10}));
    EXPECT_EQ(blocks.back().target, 11u);
    const auto& weights = static_cast<const Dense&>(*layer->vars.get("weights"));
    EXPECT_EQ(blocks[6].payload, format_depthwise_conv_cnp_weights(weights, 32, 32, 8));
    EXPECT_EQ(blocks[2].payload.size(), 8u);
    EXPECT_EQ(blocks[2].payload[0], 0x03020100u);
    EXPECT_EQ(blocks[7].payload[0], 0x23222120u);
    EXPECT_EQ(blocks[8].payload[0], 32u);
    EXPECT_EQ(blocks[8].payload.size(), 64u);
    // Merge byte: |B - A| + 128 when B >= A, + 16 x the 3-bit output shift.
    EXPECT_EQ(blocks[4].payload, std::vector<uint32_t>(8, 0x80808080u));
    EXPECT_EQ(blocks[9].payload, std::vector<uint32_t>(8, 0x11111111u));

    // 4-bit weights go to target 0.
    layer->params_->set("weights_bits", 4);
    layer->vars.set("weights", filled<int8_t>(TensorType::int4, Shape{3, 3, 1, 64},
                                              [](size_t i) { return int8_t(i % 8); }));
    auto four =
        record_program_dwconv2d_layer(v2_device(), *layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(blocks_of(*four).at(1).target, 0u);

    auto only =
        record_program_dwconv2d_layer(v2_device(), *layer, nullptr, false, false, {}, true, false);
    EXPECT_EQ(targets_of(blocks_of(*only)), (std::vector<uint32_t>{7, 7}));
}

// A model built by the core library: InputData (16 x 8 x 3) -> Conv2D with 8
// filters, kernel 3, same padding, ReLU and 2 x 2 max pooling, on one CNP
// that computes the whole input.
TEST(V2CnpRecorders, Conv2dOfABuiltModel) {
    auto model = Model::create();
    auto input = Layer::create(
        LayerParams::create(LayerType::InputData,
                            {{"input_width", 16}, {"input_height", 8}, {"input_channels", 3}})
            .get(),
        "in");
    model->add(input, {});
    auto conv = Layer::create(LayerParams::create(LayerType::Conv2D, {{"filters", 8},
                                                                      {"kernel_size", 3},
                                                                      {"padding", 1},
                                                                      {"pool_type", 1},
                                                                      {"pool_size", 2},
                                                                      {"activation", 1}})
                                  .get(),
                              "conv");
    model->add(conv, {});
    hw::Placement p;
    p.filters = 8;
    p.spatial_partition = NpSpace{0, 0, Shape{16, 8, 3}};
    p.aux_partition = p.spatial_partition;
    auto m = mapping_with({hw::Component(hw::Type::CNP1, hw::Ident(2, 1, 0), p)});
    std::dynamic_pointer_cast<LayerImpl>(conv)->set_mapping(m);

    auto record =
        record_program_conv2d_layer(v2_device(), *conv, nullptr, false, false, {}, false, false);
    const auto blocks = blocks_of(*record);
    ASSERT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5}));
    const auto& r = blocks[0].payload;
    EXPECT_EQ(bits(r[4], 0, 16), 96u);  // 12 words a row (3 x 16 bytes), 8 rows
    EXPECT_EQ(r[28], (16u << 16) | 12u);
    EXPECT_EQ(r[21], 8u);
    EXPECT_EQ(bits(r[29], 16, 8), 1u);
    EXPECT_EQ(bits(r[11], 12, 18), 6u);
    EXPECT_EQ(r[27], 0x122u);  // max pooling 2, stride 2, no pooling padding
    EXPECT_EQ(bits(r[3], 15, 1), 1u);
    EXPECT_EQ(blocks[1].payload.size(), 54u);  // 6 100-bit words a channel, 3 channels
    EXPECT_EQ(blocks[2].payload, (std::vector<uint32_t>{0, 0}));
    // The default variables: output scale 1, max value 127, its shift 31.
    ASSERT_EQ(blocks[3].payload.size(), 16u);
    EXPECT_EQ(blocks[3].payload[0], 0xF8000001u);
    EXPECT_EQ(blocks[3].payload[1], 127u);
}

}  // namespace
}  // namespace v2
}  // namespace vorna
