// Register words of the v2 CNP kinds that no whole model reaches, and their refusals.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "backend/v2/cnp_recorders.h"
#include "backend/v2/cnp_registers.h"
#include "backend/v2/cnp_weights.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "program/record.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace vorna {
namespace v2 {
namespace {

using v2regs_test::FakeConvLayer;

std::string overflow(const std::string& value, int width) {
    return "Attempted to write value " + value + " into a " + std::to_string(width) +
           "-bit field, which will cause an overflow.";
}
template <class F>
std::string exception_text(F&& f) {
    return v2regs_test::error_text(std::forward<F>(f));
}
uint32_t bits(uint32_t word, int lo, int width) {
    return (word >> lo) & uint32_t((uint64_t(1) << width) - 1);
}
hw::Component cnp(uint8_t col, uint8_t row, uint8_t id, hw::Type type = hw::Type::CNP2) {
    return hw::Component(type, hw::Ident(col, row, id));
}
NpSpace space(int32_t x, int32_t y, uint32_t w, uint32_t h) {
    return NpSpace{x, y, Shape{w, h, 4}};
}

// Conv2D on one CNP reading a 10 x 5 x 3 input whole.
std::shared_ptr<FakeConvLayer> conv_layer(LayerType type = LayerType::Conv2D) {
    auto layer = std::make_shared<FakeConvLayer>(type,
                                                 std::map<std::string, int>{{"activation", 1},
                                                                            {"kernel_size", 3},
                                                                            {"kernel_stride", 1},
                                                                            {"pool_type", 0},
                                                                            {"pool_size", 0},
                                                                            {"weights_bits", 8}},
                                                 "c");
    layer->in_dims = {Shape{10, 5, 3}};
    layer->out_dims = Shape{10, 5, 3};
    layer->conv = ConvCalculatedParams{1, 1, 10, 5, PaddingParams{1, 1, 1, 1}};
    hw::Placement p;
    p.filters = 17;
    p.spatial_partition = p.aux_partition = NpSpace{0, 0, Shape{10, 5, 3}};
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>(
        std::vector<hw::Component>{hw::Component(hw::Type::CNP2, hw::Ident(2, 1, 0), p)});
    m->channel = 3;
    m->next_channel = 5;
    m->inbound_components.push_back(std::make_shared<ComponentList>(ComponentList{cnp(1, 2, 0)}));
    m->outbound_components.push_back(std::make_shared<ComponentList>(ComponentList{cnp(4, 2, 0)}));
    layer->layer_mapping = m;
    return layer;
}

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

// Word 3: input, weight and output width codes, activation and NP count.
// A weight width that is neither 4 nor 8 clears both weight flags and takes
// code 2; bits the formatter does not name (2, 6 and 8-11 here) are kept.
TEST(V2CnpCommonRegisters, WeightWidthCodesOfWordThree) {
    struct Case {
        uint8_t weights_bits;
        uint8_t input_bits;
        uint8_t output_bits;
        ActivationType activation;
        uint32_t word3;
    };
    for (const Case& c : {
             Case{8, 8, 8, ActivationType::ReLU, 0x0001BFF7u},          // bit 7, code 3
             Case{4, 8, 8, ActivationType::ReLU, 0x0001BF6Fu},          // bit 3, code 2
             Case{2, 8, 8, ActivationType::ReLU, 0x0001BF67u},          // neither flag, code 2
             Case{1, 4, 4, ActivationType::ReLU, 0x0001AF66u},          // 4-bit input and output
             Case{2, 8, 8, ActivationType::NoActivation, 0x00017F67u},  // bit 14, no bit 15
         }) {
        std::vector<uint32_t> regs(64, 0);
        regs[3] = 0x00000FCCu;  // bits 2, 3, 6, 7 and 8-11 set beforehand
        CommonArgs a;
        a.weights_bits = c.weights_bits;
        a.input_bits = c.input_bits;
        a.output_bits = c.output_bits;
        a.activation = c.activation;
        a.run(regs);
        EXPECT_EQ(regs[3], c.word3) << int(c.weights_bits) << " " << int(c.input_bits);
    }
}

// Words 9 and 10 of the split geometry: each field replaces its own bits and
// the bits between and above the fields keep their earlier value.
TEST(V2CnpCommonRegisters, SplitCutsKeepTheBitsTheyDoNotName) {
    std::vector<uint32_t> regs(64, 0xFFFFFFFFu);
    CommonArgs a;
    a.split.i_orig_cut = 5;
    a.split.j_orig_cut = 7;
    a.split.i_stride_phase = 1;
    a.split.j_stride_phase = 0;
    a.split.i_size_cut = 9;
    a.split.j_size_cut = 10;
    a.run(regs);
    // Bits 0-11 = 5, bit 12 = 1, bits 13-15 kept, bits 16-27 = 7, bit 28 = 0, bits 29-31 kept.
    EXPECT_EQ(regs[9], 0xE007F005u);
    // Bits 0-10 = 9, bits 16-26 = 10; bits 11-15 and 27-31 kept.
    EXPECT_EQ(regs[10], 0xF80AF809u);

    a.split.i_size_cut = 2047;
    a.run(regs);
    EXPECT_EQ(regs[10] & 0xFFFFu, 0xFFFFu);
    a.split.i_size_cut = 2048;
    EXPECT_EQ(exception_text([&] { a.run(regs); }), overflow("2048", 11));

    // The column origin has 12 bits (16-27); bit 28 above it is the stride phase.
    a.split.i_size_cut = 9;
    a.split.j_orig_cut = 4095;
    a.run(regs);
    EXPECT_EQ(bits(regs[9], 16, 13), 4095u);
    a.split.j_orig_cut = 4096;
    EXPECT_EQ(exception_text([&] { a.run(regs); }), overflow("4096", 12));
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

    std::vector<uint32_t> r2(64, 0);
    format_merge_layer_registers(&r2, {cnp(2, 1, 0)}, merge, &load, {cnp(6, 1, 2), cnp(3, 2, 0)});
    EXPECT_EQ(r2[48], 0x07400603u);
    EXPECT_EQ(r2[47], 0x06020000u);

    std::vector<uint32_t> r3(64, 0);
    format_merge_layer_registers(&r3, {}, merge, &load,
                                 {hw::Component(hw::Type::HRC, hw::Ident())});
    EXPECT_EQ(r3[47], 0x01010000u);
    EXPECT_EQ(r3[48], 0x07110000u);

    EXPECT_THROW(format_merge_layer_registers(&r3, {cnp(2, 1, 0)}, merge, &load, {}),
                 std::invalid_argument);
}

// Words 52 and 53 of a merge without a second output, over a file of set
// bits: word 52 bit 7 not-first, bit 2 from-add, bit 3 cleared, bits 0, 1
// and 4 set, bits 16-23 the load channel; word 53 addresses the load engine
// (column 1 in bits 8-15 with bit 0 set, id 2 one-hot in bits 20-23, bit 19
// cleared, bit 31 set). Every other bit is kept.
TEST(V2CnpMergeRegisters, LoadWordsOverSetBits) {
    const hw::Component load(hw::Type::SKIP_DMA_LOAD, hw::Ident(1, 1, 2));
    for (const bool from_add : {false, true}) {
        std::vector<uint32_t> regs(64, 0xFFFFFFFFu);
        auto merge = std::make_unique<MergeLayerMapInfo>();
        merge->not_first = false;
        merge->from_add = from_add;
        merge->load_channel = 5;
        format_merge_layer_registers(&regs, {cnp(2, 1, 0)}, merge, &load, {});
        EXPECT_EQ(regs[52], from_add ? 0xFF05FF77u : 0xFF05FF73u) << from_add;
        EXPECT_EQ(regs[53], 0xFF470101u) << from_add;
        EXPECT_EQ(regs[1], 0xFFFFFFFFu);
    }
}

// Word 2 bit 8 tells a CNP that its input comes max-pooled and not activated
// from the layer before; a layer without inbound layers leaves it clear.
TEST(V2CnpRegisterFiles, PooledInputFlagOfWordTwo) {
    struct Case {
        int inbound_pool;  // -1: no inbound layer
        int inbound_activation;
        uint32_t bit8;
    };
    for (const Case& c : {Case{-1, 0, 0}, Case{1, 0, 1}, Case{1, 1, 0}, Case{0, 0, 0}}) {
        auto layer = conv_layer();
        if (c.inbound_pool >= 0) {
            auto in = v2regs_test::make_layer(
                LayerType::Conv2D, "in",
                {{"pool_type", c.inbound_pool}, {"activation", c.inbound_activation}});
            v2regs_test::link(in, layer);
        }
        const auto regs = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false);
        EXPECT_EQ(bits(regs.at(hw::Ident(2, 1, 0))[2], 8, 1), c.bit8)
            << c.inbound_pool << " " << c.inbound_activation;
    }
}

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

// Word 27 keeps bits 3, 7, 10, 11 and 16-31, which no pooling field names; a
// stride above 7 overflows its 3-bit field like the size does.
TEST(V2CnpPoolingRegisters, UnnamedBitsAreKeptAndStrideIsThreeBits) {
    const Shape input{8, 6, 4};
    const PaddingParams pad{1, 1, 1, 1};
    std::vector<uint32_t> regs(64, 0xFFFFFFFFu);
    format_cnp_pooling_registers(&regs, input, space(4, 3, 4, 3), 3, 2, false, pad, false);
    // Size 3 | bit 3, stride 2 | bit 7, bits 8-9 clear, right and bottom edges (12, 14).
    EXPECT_EQ(regs[27], 0xFFFF5CABu);
    format_cnp_pooling_registers(&regs, input, space(4, 3, 4, 3), 7, 7, false, pad, false);
    EXPECT_EQ(regs[27], 0xFFFF5CFFu);
    EXPECT_EQ(exception_text([&] {
                  format_cnp_pooling_registers(&regs, input, space(0, 0, 8, 6), 1, 8, false, pad,
                                               false);
              }),
              overflow("8", 3));
}

TEST(V2CnpPoolingRegisters, NoPoolingParameters) {
    PoolingCalculatedParams p;
    p.stride_x = 3;
    p.stride_y = 2;
    p.padding = PaddingParams{1, 2, 3, 4};
    p.flag = 9;
    EXPECT_TRUE(get_no_pooling_params(&p, 12, 7));
    EXPECT_EQ(p.stride_x, 1);
    EXPECT_EQ(p.stride_y, 1);
    EXPECT_EQ(p.width, 12u);
    EXPECT_EQ(p.height, 7u);
    EXPECT_EQ(p.padding.top, 0);
    EXPECT_EQ(p.padding.bottom, 0);
    EXPECT_EQ(p.padding.left, 0);
    EXPECT_EQ(p.padding.right, 0);
    EXPECT_EQ(p.flag, 0);
}

// The pool size field of a convolution: 1 without pooling and for global
// average pooling (size -1), the pool size otherwise, whatever the pool type.
TEST(V2CnpRegisterFiles, PoolSizeFieldByPoolType) {
    struct Case {
        int pool_type;
        int pool_size;
        uint32_t field;
    };
    for (const Case& c : {Case{0, 0, 1}, Case{2, -1, 1}, Case{2, 2, 2}, Case{2, 3, 3},
                          Case{1, 2, 2}, Case{1, 4, 4}}) {
        auto layer = conv_layer();
        layer->set_param("pool_type", c.pool_type);
        layer->set_param("pool_size", c.pool_size);
        layer->pool.stride_x = 2;
        const auto regs = format_conv2d_registers(*layer, nullptr, false, false, {}, false, false);
        const auto& w27 = regs.at(hw::Ident(2, 1, 0))[27];
        EXPECT_EQ(bits(w27, 0, 3), c.field) << c.pool_type << " " << c.pool_size;
        EXPECT_EQ(bits(w27, 4, 3), c.pool_type == 0 ? 1u : 2u) << c.pool_type;
    }
}

TEST(V2CnpRegisterFiles, Failures) {
    auto unmapped = conv_layer();
    unmapped->layer_mapping = nullptr;
    EXPECT_EQ(exception_text([&] {
                  format_dwconv2d_registers(*unmapped, nullptr, false, false, {}, false, false);
              }),
              "Layer 'c': the layer has no layer mapping.");
    auto k6 = conv_layer();
    k6->set_param("kernel_size", 6);
    EXPECT_EQ(exception_text(
                  [&] { format_conv2d_registers(*k6, nullptr, false, false, {}, false, false); }),
              "ch_cont_size: Unexpected kernel size.");
    auto wide = conv_layer();
    wide->layer_mapping->nps->front().placement->filters = 1024;
    EXPECT_EQ(exception_text(
                  [&] { format_conv2d_registers(*wide, nullptr, false, false, {}, false, false); }),
              overflow("1024", 10));
}

template <class T, class F>
std::shared_ptr<Dense> filled(TensorType type, Shape dims, F f) {
    std::shared_ptr<Dense> t = Dense::create(type, dims, Dense::Layout::ColMajor);
    T* d = t->data<T>();
    for (size_t i = 0; i < t->size(); ++i) d[i] = T(f(i));
    return t;
}

// Weight (i, j, c, n) of the recorded convolution.
int8_t conv_weight(uint32_t i, uint32_t j, uint32_t c, uint32_t n) {
    return int8_t((i + 3 * j + 9 * n + 40 * c) % 120);
}

// Two NPs of 17 filters each over a 10 x 5 x 3 input, with the variables a
// recorder reads: with kernel 3 and 8-bit weights each NP's last group of
// eight filters holds one filter.
std::shared_ptr<FakeConvLayer> recorded_conv(LayerType type, bool lut, bool add_merge) {
    auto layer = conv_layer(type);
    auto& nps = *layer->layer_mapping->nps;
    nps.push_back(nps.front());
    nps.back().ident = hw::Ident(3, 1, 1);
    nps.back().placement->start_neuron = 17;
    auto weights = Dense::create(TensorType::int8, Shape{3, 3, 3, 34}, Dense::Layout::ColMajor);
    for (uint32_t i = 0; i < 3; ++i)
        for (uint32_t j = 0; j < 3; ++j)
            for (uint32_t c = 0; c < 3; ++c)
                for (uint32_t n = 0; n < 34; ++n)
                    weights->data<int8_t>()[weights->offset_of({i, j, c, n})] =
                        conv_weight(i, j, c, n);
    layer->vars.set("weights", std::shared_ptr<Dense>(std::move(weights)));
    auto u8 = [](size_t i) { return i; };
    layer->vars.set("input_shift", filled<uint8_t>(TensorType::uint8, Shape{3}, u8));
    layer->vars.set("bias", filled<int8_t>(TensorType::int8, Shape{34}, u8));
    layer->vars.set("output_scales", filled<uint8_t>(TensorType::uint8, Shape{34}, u8));
    if (lut) {
        layer->set_param("activation", 2);
        layer->vars.set("lut_values", filled<int32_t>(TensorType::int32, Shape{2048},
                                                      [](size_t i) { return i % 16; }));
    }
    if (add_merge) {
        auto m = std::dynamic_pointer_cast<LayerMapping>(layer->layer_mapping);
        m->merge_info = std::make_unique<MergeLayerMapInfo>();
        m->merge_info->from_add = true;
        m->merge_info->main_shift =
            filled<uint8_t>(TensorType::uint8, Shape{34}, [](size_t) { return 0; });
        m->merge_info->skip_shift = m->merge_info->main_shift;
        m->merge_info->out_shift =
            filled<int8_t>(TensorType::int8, Shape{34}, [](size_t) { return 0; });
        m->skipdma_load_components = {
            hw::Component(hw::Type::SKIP_DMA_LOAD, hw::Ident(1, 1, 0, 2))};
        m->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
        m->skipdma_load_channel->dma_channel = 2;
        m->skipdma_load_channel->channel = 1;
    }
    return layer;
}

std::vector<uint32_t> targets_of(const std::vector<test_support::Block>& blocks) {
    std::vector<uint32_t> t;
    for (const auto& b : blocks) t.push_back(b.target);
    return t;
}

uint8_t byte_at(const std::vector<uint32_t>& w, size_t pos) {
    return uint8_t(w.at(pos / 4) >> (8 * (pos % 4)));
}

TEST(V2CnpRecorders, Conv2dBlockOrder) {
    auto layer = recorded_conv(LayerType::Conv2D, true, true);
    const auto device = v2rec_test::v2_device();
    auto record =
        record_program_conv2d_layer(*device, *layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(record->hw_version().product_id, 0xA2);
    const auto blocks = v2rec_test::decode(*record);
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

    // Weights: per channel three groups of 18 words; the third group holds
    // the NP's last filter alone, at bytes 24j + i, the seven other slots 0.
    for (size_t np = 0; np < 2; ++np) {
        const auto& w = blocks[1 + 6 * np].payload;
        ASSERT_EQ(w.size(), 162u);
        const uint32_t first = 17 * uint32_t(np);
        for (uint32_t c = 0; c < 3; ++c) {
            for (uint32_t j = 0; j < 3; ++j) {
                const size_t row = 4 * (54 * c + 36) + 24 * j;
                for (uint32_t i = 0; i < 3; ++i)
                    EXPECT_EQ(byte_at(w, row + i), uint8_t(conv_weight(i, j, c, first + 16)))
                        << np << " " << c << " " << j << " " << i;
                for (size_t k = 3; k < 24; ++k) EXPECT_EQ(byte_at(w, row + k), 0) << np << " " << k;
                // The second filter of the first group.
                EXPECT_EQ(byte_at(w, 4 * 54 * c + 24 * j + 3 + 1),
                          uint8_t(conv_weight(1, j, c, first + 1)));
            }
        }
    }
    // Input shifts are the whole tensor for every NP; the merge shifts cover
    // every channel from 0.
    EXPECT_EQ(blocks[2].payload, blocks[8].payload);
    EXPECT_EQ(blocks[2].payload, (std::vector<uint32_t>{0x00020100, 0}));
    EXPECT_EQ(blocks[5].payload.size(), 9u);  // 34 neurons, 4 per word
    EXPECT_EQ(blocks[5].payload, blocks[11].payload);
    // Variables of the second NP start at neuron 17.
    EXPECT_EQ(blocks[9].payload.size(), 34u);
    EXPECT_EQ(blocks[9].payload[0], (17u << 8) | 17u);
    EXPECT_EQ(blocks[3].payload[2 * 16], (16u << 8) | 16u);
    EXPECT_EQ(blocks[4].payload.size(), 1024u);
}

// A tensor that is not dense: the recorders cannot read it.
struct NotDense : Tensor {
    NotDense() : Tensor(TensorType::uint8, Shape{34}) {}
};

// Variables a recorder needs and cannot read stop the record with the
// layer's name.
TEST(V2CnpRecorders, MissingOrUnreadableVariables) {
    const auto device = v2rec_test::v2_device();
    auto record = [&](const Layer& layer) {
        return exception_text([&] {
            record_program_conv2d_layer(*device, layer, nullptr, false, false, {}, false, false);
        });
    };
    auto bare = conv_layer();
    bare->vars.set("input_shift",
                   filled<uint8_t>(TensorType::uint8, Shape{3}, [](size_t i) { return i; }));
    EXPECT_EQ(record(*bare), "Layer 'c': the variable 'weights' is missing.");

    auto odd = recorded_conv(LayerType::Conv2D, false, false);
    odd->vars.set("max_value", std::make_shared<NotDense>());
    EXPECT_EQ(record(*odd),
              "Tensor::ensure_dense: conversion of this tensor kind is not implemented.");

    auto no_lut = recorded_conv(LayerType::Conv2D, false, false);
    no_lut->set_param("activation", 2);
    EXPECT_EQ(record(*no_lut), "Layer 'c': the variable 'lut_values' is missing.");

    auto merge = recorded_conv(LayerType::Conv2D, false, true);
    std::dynamic_pointer_cast<LayerMapping>(merge->layer_mapping)->merge_info->out_shift = nullptr;
    EXPECT_EQ(record(*merge), "Layer 'c': the Add merge has no shift variables.");
    // Registers alone need no merge shifts.
    EXPECT_NO_THROW(
        record_program_conv2d_layer(*device, *merge, nullptr, false, false, {}, true, false));
}

// Each recorder takes one layer type; any other is refused before anything
// is recorded.
TEST(V2CnpRecorders, InvalidLayerType) {
    using Recorder =
        std::unique_ptr<program::Record> (*)(const Device&, const Layer&, std::shared_ptr<Layer>,
                                             bool, bool, const std::vector<hw::Ident>&, bool, bool);
    struct Case {
        Recorder recorder;
        LayerType accepted;
    };
    const auto device = v2rec_test::v2_device();
    for (const Case& c :
         {Case{&record_program_conv2d_layer, LayerType::Conv2D},
          Case{&record_program_transposed_conv2d_layer, LayerType::Conv2DTranspose},
          Case{&record_program_dwconv2d_layer, LayerType::DepthwiseConv2D},
          Case{&record_program_transposed_dwconv2d_layer, LayerType::DepthwiseConv2DTranspose}}) {
        for (LayerType type : {LayerType::Conv2D, LayerType::Conv2DTranspose,
                               LayerType::DepthwiseConv2D, LayerType::DepthwiseConv2DTranspose}) {
            if (type == c.accepted) continue;
            auto layer = recorded_conv(type, false, false);
            EXPECT_EQ(exception_text([&] {
                          c.recorder(*device, *layer, nullptr, false, false, {}, false, false);
                      }),
                      "Invalid layer type for CNP recording.")
                << int(c.accepted) << " " << int(type);
        }
    }
}

}  // namespace
}  // namespace v2
}  // namespace vorna
