// Register words of the v2 CNP kinds: the shared CNP/TNP-B words, the
// merge-layer and pooling words, and the register files of the Conv2D,
// Conv2DTranspose, DepthwiseConv2D and DepthwiseConv2DTranspose kinds.
// Golden values are laid out by hand from the field tables.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "backend/v2/cnp_registers.h"
#include "backend/v2/cnp_weights.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "v2_cnp_test_util.h"

namespace vorna {
namespace v2 {
namespace {

using namespace cnp_test;

// A split whose members a test sets directly.
struct TestSplit : NpSplitInterface {
    uint32_t icont = 0;
    uint32_t icont_size() const override { return icont; }
};

struct CommonArgs {
    TestSplit split;
    int kernel_size = 3;
    int kernel_stride = 1;
    ActivationType activation = ActivationType::ReLU;
    uint32_t first = 0;
    uint32_t neurons = 8;
    uint8_t weights_bits = 8;
    std::vector<hw::Component> components{cnp(2, 1, 0)};
    bool single_buffer = false;
    bool transposed = false;
    uint8_t input_bits = 8;
    uint8_t output_bits = 8;
    std::unique_ptr<MergeLayerMapInfo> merge;
    const hw::Component* load = nullptr;
    std::vector<hw::Component> others;
    bool last_flag = false;
    bool with_merge = false;

    void run(std::vector<uint32_t>& regs) const {
        format_cnp_tnp_common_config_registers(&regs, split, kernel_size, kernel_stride, activation,
                                               first, neurons, weights_bits, components,
                                               single_buffer, transposed, input_bits, output_bits,
                                               merge, load, others, last_flag, with_merge);
    }
};

// --- common words ------------------------------------------------------------

TEST(V2CnpCommonRegisters, Word3WidthCodes) {
    std::vector<uint32_t> regs(64, 0);
    regs[3] = 0x01000000;  // channel 1 from the defaults
    CommonArgs a;
    a.weights_bits = 4;
    a.output_bits = 4;
    a.components = {cnp(2, 1, 0), cnp(3, 1, 0)};
    a.run(regs);
    EXPECT_EQ(regs[3], 0x0102A02Bu);

    std::vector<uint32_t> r2(64, 0);
    r2[3] = 0x000004CC;  // bits 2, 3, 6, 7 and 10 set beforehand
    CommonArgs b;
    b.activation = ActivationType::NoActivation;
    b.input_bits = 4;
    b.run(r2);
    // Input code 2, 8-bit weights (bit 7, code 3), output code 3, bit 14 set,
    // no ReLU, one NP; bits 2, 6 and 10 kept.
    EXPECT_EQ(r2[3], 0x000174F6u);

    std::vector<uint32_t> r3(64, 0);
    CommonArgs c;
    c.weights_bits = 2;
    c.output_bits = 16;
    c.activation = ActivationType::LUT;
    c.run(r3);
    EXPECT_EQ(r3[3], 0x00013023u);
    EXPECT_EQ(r3[1], 1u << 20);
}

TEST(V2CnpCommonRegisters, GeometryAndNeuronWords) {
    std::vector<uint32_t> regs(64, 0);
    regs[1] = 0x20 | 0x90;
    regs[4] = 0x60000000;
    regs[11] = 0xFFFFF000;
    regs[20] = 0x07FF06FF;
    CommonArgs a;
    a.split.ii_size = 10;
    a.split.ii_offset = -1;
    a.split.jj_size = 12;
    a.split.jj_offset = -4;
    a.split.i_orig_cut = 19;
    a.split.i_stride_phase = 1;
    a.split.j_orig_cut = 5;
    a.split.j_stride_phase = 0;
    a.split.i_size_cut = 12;
    a.split.j_size_cut = 14;
    a.split.icont = 16;
    a.split.i_pool_start = 3;
    a.split.j_pool_start = 4;
    a.split.i_pool_offset = 6;
    a.split.j_pool_offset = 7;
    a.kernel_stride = 2;
    a.activation = ActivationType::LUT;
    a.first = 16;
    a.neurons = 17;
    a.single_buffer = true;
    a.last_flag = true;
    a.run(regs);
    EXPECT_EQ(regs[1], 0x20500020u);
    EXPECT_EQ(regs[4], 0x80000000u);
    EXPECT_EQ(regs[8], 0x400C700Au);
    EXPECT_EQ(regs[9], 0x00051013u);
    EXPECT_EQ(regs[10], 0x000E000Cu);
    EXPECT_EQ(regs[11], 0xFFFFF010u);
    EXPECT_EQ(regs[20], 0x300001FFu);
    EXPECT_EQ(regs[24], 0x00040003u);
    EXPECT_EQ(regs[25], 0x00070006u);
    EXPECT_EQ(regs[26], 0x00110010u);
    EXPECT_EQ(regs[52], 0u);  // no merge words without with_merge
}

TEST(V2CnpCommonRegisters, SignedOffsetsAndOverflows) {
    std::vector<uint32_t> regs(64, 0);
    CommonArgs a;
    a.split.ii_offset = -4;
    a.split.jj_offset = 3;
    a.run(regs);
    EXPECT_EQ(bits(regs[8], 12, 3), 4u);
    EXPECT_EQ(bits(regs[8], 28, 3), 3u);

    a.split.ii_offset = -5;
    EXPECT_EQ(exception_text([&] { a.run(regs); }), "-5 cannot fit in a 3 bits signed integer.");
    a.split.ii_offset = 0;
    a.split.jj_offset = 4;
    EXPECT_EQ(exception_text([&] { a.run(regs); }), "4 cannot fit in a 3 bits signed integer.");

    CommonArgs many;
    many.components.assign(256, cnp(2, 1, 0));
    EXPECT_EQ(exception_text([&] { many.run(regs); }), overflow("256", 8));

    CommonArgs neg;
    neg.kernel_size = -1;
    EXPECT_EQ(exception_text([&] { neg.run(regs); }), overflow("4294967295", 3));

    CommonArgs wide;
    wide.neurons = 1024;
    EXPECT_EQ(exception_text([&] { wide.run(regs); }), overflow("1024", 10));

    std::vector<uint32_t> short_regs(10, 0);
    EXPECT_THROW(a.run(short_regs), std::invalid_argument);
}

// --- merge-layer words -------------------------------------------------------

TEST(V2CnpMergeRegisters, NoMergeInfoSetsOnlyWord52Bit7) {
    std::vector<uint32_t> regs(64, 0x11111111);
    auto expected = regs;
    expected[52] |= 0x80;
    CommonArgs a;
    a.with_merge = true;
    std::vector<uint32_t> ref = regs;
    a.run(ref);  // with_merge and no merge info: word 52 bit 7 on top of the common words
    std::vector<uint32_t> ref_no_merge = regs;
    a.with_merge = false;
    a.run(ref_no_merge);
    ref_no_merge[52] |= 0x80;
    EXPECT_EQ(ref, ref_no_merge);

    format_merge_layer_registers(&regs, {cnp(2, 1, 0)}, nullptr, nullptr, {});
    EXPECT_EQ(regs, expected);
}

TEST(V2CnpMergeRegisters, AddMergeWords) {
    std::vector<uint32_t> regs(64, 0);
    regs[52] = 0x88;  // bit 7 and bit 3 set beforehand
    auto merge = std::make_unique<MergeLayerMapInfo>();
    merge->from_add = true;
    merge->load_channel = 9;
    merge->not_first = false;
    const hw::Component load(hw::Type::SKIP_DMA_LOAD, hw::Ident(3, 1, 2, 4));
    format_merge_layer_registers(&regs, {cnp(2, 1, 0)}, merge, &load, {});
    EXPECT_EQ(regs[52], 0x00090017u);
    EXPECT_EQ(regs[53], 0x80400301u);
    EXPECT_EQ(regs[1], 0u);

    EXPECT_EQ(exception_text([&] { format_merge_layer_registers(&regs, {}, merge, nullptr, {}); }),
              "Skip DMA load should not be null.");
    const hw::Component bad(hw::Type::SKIP_DMA_LOAD, hw::Ident(3, 1, 4));
    EXPECT_EQ(exception_text([&] { format_merge_layer_registers(&regs, {}, merge, &bad, {}); }),
              overflow("16", 4));
}

TEST(V2CnpMergeRegisters, DualOutputWords) {
    std::vector<uint32_t> regs(64, 0);
    regs[47] = 0x1234;
    regs[48] = 0x000E0000;  // bits 17-19 are kept
    auto merge = std::make_unique<MergeLayerMapInfo>();
    merge->dual_output = true;
    merge->dual_output_channel = 7;
    const hw::Component load(hw::Type::SKIP_DMA_LOAD, hw::Ident(1, 1, 0));
    format_merge_layer_registers(&regs, {cnp(2, 1, 0), cnp(4, 2, 3)}, merge, &load,
                                 {cnp(5, 2, 1, hw::Type::SKIP_DMA_STORE)});
    EXPECT_EQ(regs[1], 0x80000000u);
    EXPECT_EQ(regs[47], 0x05021234u);
    EXPECT_EQ(regs[48], 0x072F0502u);
    EXPECT_EQ(bits(regs[52], 7, 1), 1u);  // not_first defaults to true

    // Several other components: their column range, the first one's id.
    std::vector<uint32_t> r2(64, 0);
    format_merge_layer_registers(&r2, {cnp(2, 1, 0)}, merge, &load, {cnp(6, 1, 2), cnp(3, 2, 0)});
    EXPECT_EQ(r2[48], 0x07400603u);
    EXPECT_EQ(r2[47], 0x06020000u);

    // A single HRC stands for column 1.
    std::vector<uint32_t> r3(64, 0);
    format_merge_layer_registers(&r3, {}, merge, &load,
                                 {hw::Component(hw::Type::HRC, hw::Ident())});
    EXPECT_EQ(r3[47], 0x01010000u);
    EXPECT_EQ(r3[48], 0x07110000u);

    EXPECT_THROW(format_merge_layer_registers(&r3, {cnp(2, 1, 0)}, merge, &load, {}),
                 std::invalid_argument);
}

// --- pooling word ------------------------------------------------------------

TEST(V2CnpPoolingRegisters, EdgeBitsFollowTheSpace) {
    const Shape input{8, 6, 4};
    const PaddingParams pad{1, 1, 1, 1};
    std::vector<uint32_t> regs(64, 0);
    regs[27] = 0xF200;  // edge bits and bit 9 beforehand
    format_cnp_pooling_registers(&regs, input, space(0, 0, 4, 3), 2, 2, true, pad, false);
    EXPECT_EQ(regs[27], 0xA122u);
    EXPECT_EQ(regs[2], 0u);

    format_cnp_pooling_registers(&regs, input, space(0, 0, 8, 6), 1, 1, false, pad, true);
    EXPECT_EQ(regs[27], 0xF011u);
    EXPECT_EQ(regs[2], 0x100u);

    // Bottom-right part: right and bottom edges only; zero padding sets none.
    format_cnp_pooling_registers(&regs, input, space(4, 3, 4, 3), 3, 2, false, pad, false);
    EXPECT_EQ(regs[27], 0x5023u);
    format_cnp_pooling_registers(&regs, input, space(0, 0, 8, 6), 3, 2, false, PaddingParams{},
                                 false);
    EXPECT_EQ(regs[27], 0x0023u);

    EXPECT_EQ(exception_text([&] {
                  format_cnp_pooling_registers(&regs, input, space(0, 0, 8, 6), 8, 1, false, pad,
                                               false);
              }),
              overflow("8", 3));
}

TEST(V2CnpPoolingRegisters, NoPoolingRecordAndShiftSize) {
    PoolingCalculatedParams p;
    p.stride_x = 3;
    p.stride_y = 2;
    p.padding = PaddingParams{1, 2, 3, 4};
    p.flag = 1;
    EXPECT_TRUE(get_no_pooling_params(&p, 12, 9));
    EXPECT_EQ(p.stride_x, 1);
    EXPECT_EQ(p.stride_y, 1);
    EXPECT_EQ(p.width, 12u);
    EXPECT_EQ(p.height, 9u);
    EXPECT_EQ(p.padding, PaddingParams{});
    EXPECT_EQ(p.flag, 0);

    auto shifts9 = Dense::create(TensorType::uint8, Shape{9}, Dense::Layout::RowMajor);
    auto shifts8 = Dense::create(TensorType::uint8, Shape{8}, Dense::Layout::RowMajor);
    EXPECT_EQ(cnp_tnp_input_shift_24b_size(*shifts9), 2u);
    EXPECT_EQ(cnp_tnp_input_shift_24b_size(*shifts8), 1u);
}

// --- register files ----------------------------------------------------------

TEST(V2CnpRegisterFiles, Conv2dOwnWords) {
    auto layer = conv_layer();
    auto regs = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false);
    ASSERT_EQ(regs.size(), 1u);
    const auto& r = regs.at(hw::Ident(2, 1, 0));
    ASSERT_EQ(r.size(), 64u);
    EXPECT_EQ(bits(r[4], 0, 16), 45u);
    EXPECT_EQ(bits(r[4], 31, 1), 1u);
    EXPECT_EQ(r[28], 0x000C0009u);
    EXPECT_EQ(bits(r[29], 16, 8), 3u);
    EXPECT_EQ(r[21], 17u);
    EXPECT_EQ(bits(r[11], 12, 18), conv2d_ch_cont_100b_size(3, 17, 8));
    EXPECT_EQ(bits(r[11], 0, 8), 12u);  // icont: 10 rounded up to 4
    EXPECT_EQ(r[26], 17u << 16);
    EXPECT_EQ(r[27], 0x11u);           // no pooling: size 1, stride 1, no edge bits
    EXPECT_EQ(bits(r[3], 24, 8), 3u);  // the mapping's channel
    EXPECT_EQ(bits(r[3], 15, 1), 1u);  // ReLU
    EXPECT_EQ(bits(r[3], 16, 8), 1u);  // one NP
    EXPECT_EQ(bits(r[20], 28, 3), 3u);
    EXPECT_EQ(bits(r[20], 8, 2), 0u);
    EXPECT_EQ(bits(r[52], 7, 1), 1u);  // merge words requested, no merge info
    for (int w : {32, 33, 34, 35, 40, 41, 42}) EXPECT_EQ(r[w], 0u) << w;
    EXPECT_EQ(bits(r[2], 7, 2), 0u);  // no ib_spikes, no extra pooling flag
}

TEST(V2CnpRegisterFiles, Conv2dNeuronOffsetsAndFourBitInput) {
    auto layer = conv_layer();
    std::dynamic_pointer_cast<LayerMapping>(layer->layer_mapping)->output_shift =
        std::make_unique<uint32_t>(16);
    layer->in_bits = 4;
    auto& comp = layer->layer_mapping->nps->front();
    comp.placement->aux_partition.shape = Shape{3, 5, 3};
    comp.placement->spatial_partition.shape = Shape{3, 5, 3};
    auto r = format_conv2d_registers(*layer, nullptr, true, false, {}, false, true)
                 .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(r[26], (17u << 16) | 16u);
    EXPECT_EQ(bits(r[28], 16, 16), 4u);  // 4-bit row of 3 pixels: 2 bytes, rounded to 4
    EXPECT_EQ(bits(r[28], 0, 14), 3u);
    EXPECT_EQ(bits(r[2], 7, 1), 1u);   // ib_spikes
    EXPECT_EQ(bits(r[1], 29, 1), 1u);  // last_flag
}

TEST(V2CnpRegisterFiles, SkippedIdentsAndRegistersOnly) {
    auto layer = conv_layer();
    auto& nps = *layer->layer_mapping->nps;
    nps.push_back(nps.front());
    nps.back().ident = hw::Ident(3, 1, 1);
    auto both = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(bits(both.at(hw::Ident(2, 1, 0))[3], 16, 8), 2u);

    auto one =
        format_conv2d_registers(*layer, nullptr, false, false, {hw::Ident(2, 1, 0)}, false, false);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.at(hw::Ident(3, 1, 1)), both.at(hw::Ident(3, 1, 1)));

    auto unused = format_conv2d_registers(*layer, nullptr, false, false, {}, true, false);
    const auto& u = unused.at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(u[3], 24, 8), 0xFEu);
    EXPECT_EQ(u[52], 0u);  // no merge words
}

// The skip-DMA store counts among the outputs, or among the inputs when
// the layer's store feeds a TNP-B (`tnp_b_skipdma`): the column ranges of
// routing words 45 (outputs) and 46 (inputs) follow.
TEST(V2CnpRegisterFiles, SkipDmaStoreJoinsOutputsOrInputs) {
    auto layer = conv_layer();
    auto m = std::dynamic_pointer_cast<LayerMapping>(layer->layer_mapping);
    m->skipdma_store_components = {hw::Component(hw::Type::SKIP_DMA_STORE, hw::Ident(6, 1, 0, 1))};
    auto r = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false)
                 .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(r[45], 0, 16), 0x0604u);
    EXPECT_EQ(bits(r[46], 0, 16), 0x0101u);

    m->tnp_b_skipdma = true;
    auto t = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false)
                 .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(t[45], 0, 16), 0x0404u);
    EXPECT_EQ(bits(t[46], 0, 16), 0x0601u);
}

TEST(V2CnpRegisterFiles, PoolingAndExtraFlag) {
    auto layer = conv_layer();
    layer->params_->set("pool_type", 1);
    layer->params_->set("pool_size", 2);
    layer->pool = PoolingCalculatedParams{2, 2, 5, 3, PaddingParams{0, 1, 0, 0}, 1};
    auto prev = conv_layer();
    prev->params_->set("pool_type", 1);
    prev->params_->set("activation", 0);
    layer->inbound = {prev};
    auto r = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false)
                 .at(hw::Ident(2, 1, 0));
    // Size 2, stride 2, max flag, bottom edge (the NP covers the whole height).
    EXPECT_EQ(r[27], 0x4122u);
    EXPECT_EQ(bits(r[2], 8, 1), 1u);

    prev->params_->set("activation", 1);
    auto r2 = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false)
                  .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(r2[2], 8, 1), 0u);

    // Global average pooling writes pool value 1.
    layer->params_->set("pool_type", 2);
    layer->params_->set("pool_size", -1);
    layer->pool = PoolingCalculatedParams{1, 1, 1, 1, PaddingParams{}, 0};
    auto r3 = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false)
                  .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(r3[27], 0x11u);
}

TEST(V2CnpRegisterFiles, TransposedConv2dSharesTheOwnWords) {
    auto conv = conv_layer();
    auto conv_regs = format_conv2d_registers(*conv, nullptr, false, false, {}, false, false)
                         .at(hw::Ident(2, 1, 0));
    auto t = conv_layer(LayerType::Conv2DTranspose);
    t->params_->set("kernel_stride", 2);  // not read
    t->params_->set("weights_bits", 4);   // not read
    t->built = false;                     // no computed parameters are read
    auto r = format_transposed_conv2d_registers(*t, nullptr, false, false, {}, false, false)
                 .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(r[20], 8, 2), 2u);  // bit 9 set, bit 8 clear
    EXPECT_EQ(r[27], 0x11u);
    EXPECT_EQ(bits(r[3], 4, 2), 3u);  // 8-bit weights
    for (int w : {4, 11, 21, 28, 29}) {
        if (w == 11) {
            EXPECT_EQ(bits(r[11], 12, 18), bits(conv_regs[11], 12, 18));
        } else {
            EXPECT_EQ(r[w], conv_regs[w]) << w;
        }
    }
    // icont of the transposed split: twice the width, rounded up to 4.
    EXPECT_EQ(bits(r[11], 0, 8), 20u);
}

TEST(V2CnpRegisterFiles, DepthwiseWords) {
    auto all = dw_layer(LayerType::DepthwiseConv2D, 0, 16);
    auto r = format_dwconv2d_registers(*all, nullptr, false, false, {}, false, false)
                 .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(r[4], 0, 16), 192u);
    EXPECT_EQ(r[28], (48u << 16) | 3u);
    EXPECT_EQ(bits(r[29], 16, 8), 1u);
    EXPECT_EQ(bits(r[3], 2, 1), 1u);
    EXPECT_EQ(bits(r[3], 10, 1), 0u);
    EXPECT_EQ(r[22], 0u);
    EXPECT_EQ(bits(r[11], 12, 18), 16u);

    auto part = dw_layer(LayerType::DepthwiseConv2D, 8, 8);
    std::dynamic_pointer_cast<LayerMapping>(part->layer_mapping)->output_shift =
        std::make_unique<uint32_t>(16);
    auto p = format_dwconv2d_registers(*part, nullptr, false, false, {}, false, false)
                 .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(p[3], 10, 1), 1u);
    EXPECT_EQ(p[22], (8u << 16) | 8u);   // plain start neuron
    EXPECT_EQ(bits(p[26], 0, 11), 24u);  // start neuron + output shift
    EXPECT_EQ(bits(p[11], 12, 18), dwc_ch_cont_100b_size(3, 8, 8));
}

TEST(V2CnpRegisterFiles, TransposedDepthwiseWords) {
    auto t = dw_layer(LayerType::DepthwiseConv2DTranspose, 0, 16);
    t->params_->set("kernel_size", 4);
    t->params_->set("weights_bits", 4);  // not read: always 8-bit
    t->built = false;
    auto r = format_transposed_dwconv2d_registers(*t, nullptr, false, false, {}, false, false)
                 .at(hw::Ident(2, 1, 0));
    EXPECT_EQ(bits(r[11], 12, 18), 32u);  // 2 x filters for kernel 4
    EXPECT_EQ(bits(r[20], 8, 2), 2u);
    EXPECT_EQ(r[27], 0x11u);
    EXPECT_EQ(bits(r[4], 0, 16), 192u);
    EXPECT_EQ(r[28], (48u << 16) | 3u);
}

TEST(V2CnpRegisterFiles, Failures) {
    auto unbuilt = conv_layer();
    unbuilt->built = false;
    EXPECT_EQ(exception_text([&] {
                  format_conv2d_registers(*unbuilt, nullptr, false, false, {}, false, false);
              }),
              "The layer c is not built.");
    auto no_input = conv_layer();
    no_input->in_dims.clear();
    EXPECT_EQ(exception_text([&] {
                  format_conv2d_registers(*no_input, nullptr, false, false, {}, false, false);
              }),
              "Cannot get input size before it is set.");
    auto unmapped = conv_layer();
    unmapped->layer_mapping = nullptr;
    EXPECT_EQ(exception_text([&] {
                  format_dwconv2d_registers(*unmapped, nullptr, false, false, {}, false, false);
              }),
              "Layer 'c': the layer has no layer mapping.");
    auto k6 = conv_layer();
    k6->params_->set("kernel_size", 6);
    EXPECT_EQ(exception_text(
                  [&] { format_conv2d_registers(*k6, nullptr, false, false, {}, false, false); }),
              "ch_cont_size: Unexpected kernel size.");
    auto wide = conv_layer();
    wide->layer_mapping->nps->front().placement->filters = 1024;
    EXPECT_EQ(exception_text(
                  [&] { format_conv2d_registers(*wide, nullptr, false, false, {}, false, false); }),
              overflow("1024", 10));
}

}  // namespace
}  // namespace v2
}  // namespace vorna
