// Dense1D on v2 FNPs: the layer check with its joined messages, and recorder failures.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/layer_mapping.h"
#include "backend/v2/compatibility_checker.h"
#include "backend/v2/dense1d_constraints.h"
#include "backend/v2/dense1d_program.h"
#include "backend/v2/fnp_formats.h"
#include "corelib/dma.h"
#include "devices/virtual_device.h"
#include "program/record.h"
#include "test_support.h"
#include "v2_fnp_test_util.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using namespace v2fnp_test;
using v2regs_test::error_text;
using v2regs_test::overflow_text;

HardwareConstraints v2_constraints() { return HardwareConstraints::v2(SramSize_v2); }

std::string check(const Layer& layer, const Layer* previous = nullptr,
                  const HardwareConstraints& c = v2_constraints()) {
    return check_fnp_constraints(c, layer, previous).to_string();
}

std::string failure(const std::string& message) { return "Cannot map layer 'dense'. " + message; }

constexpr HwVersion kV2Version{0xBC, 0xA2, 1, 0};

std::shared_ptr<Device> v2_device() {
    Mesh mesh(IpVersion::v2, hw::Ident(0, 0, 0), hw::Ident(0, 1, 0), std::nullopt,
              {np::Info(hw::Ident(3, 1, 0), {hw::Type::FNP2, hw::Type::FNP3})}, {});
    return make_virtual_device(kV2Version, mesh);
}

TEST(V2DenseCheck, OneInputTooManyFailsOnlyThePackingRule) {
    DenseSpec s;
    s.input = Shape{1, 1, 2049};
    auto layer = make_dense("dense", s);
    HardwareConstraints small = v2_constraints();
    small.fnp_input_sram_size = 1;
    EXPECT_EQ(
        check(*layer, nullptr, small),
        failure("Input dimensions are too large to fit in a FNP. The maximum value is 2048."));
}

TEST(V2DenseCheck, BitWidthRulesJoinTheirMessages) {
    struct Case {
        uint8_t in, out;
        int weights, activation;
        std::string message;
    };
    const std::vector<Case> cases = {
        {8, 2, 8, 1,
         "Output bits should be 4, 8 or > 8. With activation output bitwidth should be 4 or 8."},
        {8, 4, 8, 0, "Without activation output bitwidth should be 8, 28 or 32."},
        {8, 4, 8, 2, "4-bit activation is not supported with LUT."},
        {8, 16, 8, 0, "Without activation output bitwidth should be 8, 28 or 32."},
        {8, 8, 2, 1, "Weights bitwidth should be 4-bit or 8-bit."},
        {8, 8, 4, 1, "With 4-bit weights, output must be 4-bit or 32-bit."},
        {4, 8, 8, 1, "Input bits should be >= weights bits."},
        {2, 5, 8, 1,
         "Input should be 4-bit or 8-bit. Output bits should be 4, 8 or > 8. With activation "
         "output bitwidth should be 4 or 8. Input bits should be >= weights bits."},
    };
    for (const Case& c : cases) {
        DenseSpec s;
        s.in_bits = c.in;
        s.out_bits = c.out;
        s.weights_bits = c.weights;
        s.activation = c.activation;
        auto layer = make_dense("dense", s);
        EXPECT_EQ(check(*layer), failure(c.message))
            << int(c.in) << "/" << int(c.out) << "/" << c.weights << "/" << c.activation;
    }
}

TEST(V2DenseCheck, PackingMustSuitTheFeedingLayer) {
    for (LayerType source :
         {LayerType::Conv2D, LayerType::BufferTempConv, LayerType::InputConv2D}) {
        for (int weights : {4, 8}) {
            DenseSpec s;
            s.input = Shape{5, 10, 10};
            s.weights_bits = weights;
            s.out_bits = weights == 4 ? 4 : 8;
            auto layer = make_dense("dense", s);
            auto prev = v2regs_test::make_layer(source, "prev");
            v2regs_test::link(prev, layer);
            EXPECT_EQ(check(*layer, prev.get()), "Success.") << int(source) << "/" << weights;
        }
    }
    for (LayerType source : {LayerType::Dense1D, LayerType::InputData}) {
        auto layer = make_dense("dense");
        auto prev = v2regs_test::make_layer(source, "prev");
        v2regs_test::link(prev, layer);
        EXPECT_EQ(check(*layer, prev.get()), "Success.");
    }
    DenseSpec wide;
    wide.input = Shape{64, 64, 2};
    auto layer = make_dense("dense", wide);
    auto prev = v2regs_test::make_layer(LayerType::Conv2D, "prev");
    v2regs_test::link(prev, layer);
    EXPECT_EQ(
        check(*layer, prev.get()),
        failure("Input dimensions are too large to fit in a FNP. The maximum value is 2048."));
    auto add_source = v2regs_test::make_layer(LayerType::Add, "add");
    auto after_add = make_dense("dense");
    v2regs_test::link(add_source, after_add);
    EXPECT_EQ(
        check(*after_add, add_source.get()),
        failure("Input dimensions are too large to fit in a FNP. The maximum value is 2048."));
}

TEST(V2DenseCheck, InputShiftMemoryReportsBytes) {
    DenseSpec s;
    s.input = Shape{1, 1, 2048};
    auto layer = make_dense("dense", s);
    layer->vars.set("input_shift", u8_fill(2056, 1));
    HardwareConstraints small = v2_constraints();
    small.fnp_input_sram_size = 100;
    EXPECT_EQ(check(*layer, nullptr, small),
              failure("Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes). "
                      "Input size exceeds memory. Maximum size is 400 bytes. (got 2048 bytes)."));
}

TEST(V2DenseCheck, Fnp3FitComparesTheXlRoundedSramSize) {
    auto device = v2_device();
    DenseSpec s;
    s.input = Shape{1, 1, 32};
    s.neurons = 100;
    auto layer = make_dense("dense", s);  // 1000 words, 1008 with the XL rounding
    HardwareConstraints c = v2_constraints();
    const CompatibilityCheckerImpl checker(*device, c);
    c.fnp3_sram_size = 1008;
    EXPECT_TRUE(checker.check_fnp3_sram_size(c, *layer));
    c.fnp3_sram_size = 1007;
    EXPECT_FALSE(checker.check_fnp3_sram_size(c, *layer));
    EXPECT_FALSE(checker.is_fnp3_compatible(*layer));
}

const hw::Ident kFnp(3, 1, 0);

hw::Component fnp_component(hw::Type type, const hw::Ident& ident = kFnp) {
    hw::Placement p;
    p.start_neuron = 0;
    p.filters = 2;
    return hw::Component(type, ident, p);
}

LayerMapping& map_on_fnp(const std::shared_ptr<FakeLayer>& layer, hw::Type type) {
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>(1, fnp_component(type));
    m->channel = 5;
    m->next_channel = 4;
    m->output_to_dma = true;
    m->inbound_components.push_back(
        std::make_shared<ComponentList>(1, hw::Component(hw::Type::CNP2, hw::Ident(2, 1, 0))));
    m->outbound_components.push_back(
        std::make_shared<ComponentList>(1, hw::Component(hw::Type::DMA, hw::Ident(6, 2, 1))));
    layer->layer_mapping = m;
    return *m;
}

struct Block {
    uint32_t target;
    uint32_t offset;
    std::vector<uint32_t> words;
};

std::unique_ptr<program::Record> record(const Device& device, const Layer& layer,
                                        const Layer& first, std::shared_ptr<Layer> next = nullptr,
                                        bool pass_input = false,
                                        const std::vector<hw::Ident>& nps = {},
                                        bool unused = false) {
    const HardwareConstraints c = v2_constraints();
    return record_program_dense1d_layer(device, c, layer, first, std::move(next), pass_input, false,
                                        nps, unused);
}

std::vector<uint32_t> register_block(const program::Record& rec) {
    const auto blocks = vorna::test_support::decode(rec);
    EXPECT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.at(0).target, 7u);
    return blocks.at(0).payload;
}

// When the FNP also runs the first layer of the next pass, its register file
// describes that layer: a Dense1D fed by the input, 10 x 1 x 3 packed, on
// input channel 6.
TEST(V2DenseRecord, PassInputAndPartialReconfiguration) {
    auto device = v2_device();
    auto layer = make_dense("dense");
    map_on_fnp(layer, hw::Type::FNP3);

    auto source = v2regs_test::make_layer(LayerType::InputData, "input");
    DenseSpec spec;
    spec.input = Shape{10, 1, 3};
    auto next = make_dense("next", spec);
    v2regs_test::link(source, next);
    LayerMapping& nm = map_on_fnp(next, hw::Type::FNP3);
    nm.input_channel = 6;
    (*nm.nps)[0].placement->spatial_partition = NpSpace{0, 0, Shape{10, 1, 3}};

    const HardwareConstraints c = v2_constraints();
    const auto regs = register_block(
        *record_program_dense1d_layer(*device, c, *layer, *layer, next, true, true, {}, false));
    EXPECT_EQ(regs[2], 0x00000088u);   // input-buffer spikes
    EXPECT_EQ(regs[32], 0x06000037u);  // bits 0 and 2, FNP mode, 8-bit code 3, channel 6
    EXPECT_EQ(regs[33], 0u);
    EXPECT_EQ(regs[34], 0x000A0001u);  // 1 row of 10
    EXPECT_EQ(regs[35], 0x000C0009u);  // A: 10 bytes rounded to 12; B: 12 * 3 / 4
    EXPECT_EQ(regs[40], 0u);
    EXPECT_EQ(regs[41], 0x01000202u);  // one component, fed from column 2
    EXPECT_EQ(regs[42], 0u);
    EXPECT_EQ(regs[44], 0xFF08800Du);  // pass output: bits 2 and 15

    const auto quiet = register_block(*record(*device, *layer, *layer, next));
    EXPECT_EQ(quiet[2], 0x00000008u);
    EXPECT_EQ(quiet[32], 0x06000037u);
    EXPECT_EQ(quiet[44], 0xFF080009u);

    // A next layer on another NP leaves the words alone.
    (*nm.nps)[0].ident = hw::Ident(4, 1, 0);
    const auto elsewhere = register_block(*record(*device, *layer, *layer, next));
    const auto alone = register_block(*record(*device, *layer, *layer));
    EXPECT_EQ(elsewhere, alone);
    for (size_t w : {32u, 33u, 34u, 35u, 40u, 41u, 42u}) EXPECT_EQ(alone[w], 0u) << w;
}

TEST(V2DenseRecord, FailuresPassThrough) {
    auto device = v2_device();
    auto layer = make_dense("dense");
    EXPECT_THROW(record(*device, *layer, *layer), std::runtime_error);  // no mapping

    LayerMapping& m = map_on_fnp(layer, hw::Type::FNP3);
    m.nps->clear();
    EXPECT_THROW(record(*device, *layer, *layer), std::out_of_range);

    map_on_fnp(layer, hw::Type::FNP3);
    layer->in_bits = 2;
    EXPECT_EQ(error_text([&] { record(*device, *layer, *layer); }),
              "Wrong input_bits at FNP recording.");
    layer->in_bits = 8;
    layer->set_param("weights_bits", 2);
    EXPECT_EQ(error_text([&] { record(*device, *layer, *layer); }),
              "Wrong weight bitwidth at FNP recording.");
    layer->set_param("weights_bits", 8);
    layer->out_bits = 5;
    EXPECT_EQ(error_text([&] { record(*device, *layer, *layer); }),
              "Wrong output bitwidth at FNP recording.");

    DenseSpec s;
    s.input = Shape{2048, 1, 1};
    auto wide = make_dense("wide", s);
    map_on_fnp(wide, hw::Type::FNP3);
    auto first = make_dense("first");
    EXPECT_EQ(error_text([&] { record(*device, *wide, *first); }), overflow_text(2048, 11));
}

}  // namespace
