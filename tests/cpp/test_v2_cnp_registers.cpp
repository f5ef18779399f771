// Register words of the v2 CNP kinds that no whole model reaches, and their refusals.

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
std::shared_ptr<FakeConvLayer> conv_layer() {
    auto layer = std::make_shared<FakeConvLayer>(LayerType::Conv2D,
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

}  // namespace
}  // namespace v2
}  // namespace vorna
