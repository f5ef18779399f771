// BufferTempConv and DepthwiseBufferTempConv on v2 TNP-Bs: limits, sizes and refusals.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/layer_mapping.h"
#include "backend/v2/buffer_temp_conv.h"
#include "backend/v2/cnp_variables.h"
#include "backend/v2/dw_buffer_temp_conv.h"
#include "backend/v2/fnp_formats.h"
#include "backend/v2/memory_sizer.h"
#include "backend/v2/rules.h"
#include "backend/v2/shift_lut_formats.h"
#include "backend/v2/skipdma.h"
#include "backend/v2/tnp_b_constraints.h"
#include "v2_fnp_test_util.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2rec_test::decode;
using v2regs_test::error_text;
using v2regs_test::FakeLayer;
using v2regs_test::make_layer;
using v2regs_test::overflow_text;

std::shared_ptr<FakeLayer> checked_layer(LayerType type, Shape input, uint32_t shifts = 64) {
    auto layer = v2regs_test::make_layer(type, "tnp", {{"weights_bits", 8}, {"fifo_size", 2}});
    layer->in_dims = {input};
    layer->vars.set("input_shift", v2regs_test::u8(std::vector<uint8_t>(shifts, 1)));
    return layer;
}

struct TnpBLimitCase {
    Shape input;
    uint32_t shifts;
    int filters;  // 0: the parameter is left out
    bool four_bit;
    const char* message;
};

TEST(V2TnpBConstraints, LimitsAndMessages) {
    const std::string head = "Cannot map layer 'tnp'. ";
    const std::string channel = "The maximum input channel value is 2048 (got ";
    const std::string skip_row =
        " The skip DMA horizontal dimension must be smaller than 1024 (got 1024).";
    const std::string cases_msgs[] = {
        "Success.",
        head +
            "The maximum input width is 4096 (got 5000). The maximum input height is 4096 (got "
            "5000). " +
            channel + "4096). The maximum number of filters is 2048 (got 4096)." + skip_row,
        head + channel + "4092).",
        head + channel + "4093)." + skip_row,
        head + "The maximum number of filters is 2048 (got 4096).",
        head + "Input should be 8-bit. Output should be 8-bit. Only 8-bit weights are supported.",
        head + "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes).",
    };
    const TnpBLimitCase cases[] = {
        {Shape{32, 32, 64}, 64, 0, false, cases_msgs[0].c_str()},
        {Shape{5000, 5000, 4096}, 64, 0, false, cases_msgs[1].c_str()},
        {Shape{8, 8, 4092}, 64, 8, false, cases_msgs[2].c_str()},
        {Shape{8, 8, 4093}, 64, 8, false, cases_msgs[3].c_str()},
        {Shape{32, 32, 64}, 64, 4096, false, cases_msgs[4].c_str()},
        {Shape{32, 32, 64}, 64, 2048, false, cases_msgs[0].c_str()},
        {Shape{32, 32, 64}, 64, 0, true, cases_msgs[5].c_str()},
        {Shape{32, 32, 64}, 2048, 0, false, cases_msgs[0].c_str()},
        {Shape{32, 32, 64}, 2049, 0, false, cases_msgs[6].c_str()},
    };
    const HardwareConstraints constraints = HardwareConstraints::v2(SramSize_v2);
    for (const TnpBLimitCase& c : cases) {
        SCOPED_TRACE(c.message);
        std::shared_ptr<FakeLayer> layers[2];
        for (int k = 0; k < 2; ++k) {
            layers[k] =
                checked_layer(k ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv,
                              c.input, c.shifts);
            if (c.filters) layers[k]->set_param("filters", c.filters);
            if (c.four_bit) {
                layers[k]->in_bits = layers[k]->out_bits = 4;
                layers[k]->set_param("weights_bits", 4);
            }
        }
        const MappingStatus status = check_buffer_temp_conv_constraints(constraints, *layers[0]);
        EXPECT_EQ(status.to_string(), c.message);
        EXPECT_EQ(status.error, std::string(c.message) != "Success.");
        if (c.filters || c.four_bit) continue;
        EXPECT_EQ(check_depthwise_buffer_temp_conv_constraints(constraints, *layers[1]).to_string(),
                  c.message);
    }
}

TEST(V2TnpBConstraints, ReachedThroughTheChecker) {
    const Mesh mesh(IpVersion::v2, hw::Ident{}, hw::Ident{1, 0, 0, 0}, std::nullopt, {}, {});
    const HardwareConstraints constraints = HardwareConstraints::v2(SramSize_v2);
    for (LayerType type : {LayerType::BufferTempConv, LayerType::DepthwiseBufferTempConv}) {
        auto layer = checked_layer(type, Shape{32, 32, 64});
        layer->set_param("activation", 1);
        EXPECT_EQ(check_layer_compatibility(constraints, mesh, *layer, nullptr).to_string(),
                  "Success.");
        layer->out_bits = 4;
        EXPECT_EQ(check_layer_compatibility(constraints, mesh, *layer, nullptr).to_string(),
                  "Cannot map layer 'tnp'. Output should be 8-bit.");
    }
}

std::shared_ptr<Dense> tap_tensor(uint32_t rows, uint32_t neurons,
                                  Dense::Layout layout = Dense::Layout::RowMajor) {
    auto tensor =
        std::shared_ptr<Dense>(Dense::create(TensorType::int8, Shape{1, 1, rows, neurons}, layout));
    int8_t* data = tensor->data<int8_t>();
    for (uint32_t e = 0; e < rows; ++e) {
        for (uint32_t j = 0; j < neurons; ++j) {
            data[tensor->offset_of({0, 0, e, j})] = static_cast<int8_t>(16 * e + j + 1);
        }
    }
    return tensor;
}

TEST(V2TnpBWeights, Failures) {
    EXPECT_TRUE(format_tnp_b_buffer_temp_conv_weights(*tap_tensor(6, 12), 2, 0, 0).empty());
    EXPECT_EQ(
        error_text([] { format_tnp_b_buffer_temp_conv_weights(*tap_tensor(6, 12), 0, 0, 4); }),
        "The fifo_size of a BufferTempConv layer must be at least 1.");
    EXPECT_THROW(format_tnp_b_buffer_temp_conv_weights(*tap_tensor(6, 12), 0, 0, 4),
                 std::invalid_argument);
    EXPECT_EQ(
        error_text([] { format_tnp_b_buffer_temp_conv_weights(*tap_tensor(6, 12), 2, 8, 5); }),
        "Coordinates are out-of-range");
    const auto unsigned_weights = v2regs_test::u8({1, 2});
    EXPECT_EQ(
        error_text([&] { format_tnp_b_buffer_temp_conv_weights(*unsigned_weights, 1, 0, 1); }),
        std::string("Wrong requested type ") + typeid(int8_t).name() +
            " for a tensor of type uint8.");
}

TEST(V2TnpBDepthwiseWeights, MoreThanTwelveTapsAreRefused) {
    EXPECT_EQ(error_text([] {
                  format_tnp_b_depthwise_buffer_temp_conv_weights(*tap_tensor(13, 2), 0, 2);
              }),
              "A DepthwiseBufferTempConv neuron holds at most 12 taps (got 13).");
}

struct TnpBSetup {
    std::shared_ptr<FakeLayer> layer;
    std::shared_ptr<LayerMapping> mapping;
};

hw::Placement placement(uint32_t start, uint32_t filters, Shape own, Shape read,
                        bool single_buffer = false) {
    hw::Placement p;
    p.start_neuron = start;
    p.filters = filters;
    p.spatial_partition = NpSpace{0, 0, own};
    p.aux_partition = NpSpace{0, 0, read};
    p.single_buffer = single_buffer;
    return p;
}

hw::Component tnp_b(uint8_t col, uint8_t id, const hw::Placement& p) {
    return hw::Component(hw::Type::TNP_B, hw::Ident{col, 1, id, 0}, p);
}

TnpBSetup mapped(LayerType type, std::vector<hw::Component> components, uint32_t channels = 3,
                 int fifo_size = 2) {
    TnpBSetup s;
    s.layer = v2regs_test::make_layer(
        type, "tnp", {{"activation", 1}, {"fifo_size", fifo_size}, {"weights_bits", 8}});
    s.layer->in_dims = {Shape{4, 4, channels}};
    s.mapping = std::make_shared<LayerMapping>();
    s.mapping->nps = std::make_shared<std::vector<hw::Component>>(std::move(components));
    s.mapping->inbound_components.push_back(std::make_shared<ComponentList>(
        ComponentList{hw::Component(hw::Type::CNP1, hw::Ident{1, 1, 0, 0})}));
    s.mapping->outbound_components.push_back(std::make_shared<ComponentList>(
        ComponentList{hw::Component(hw::Type::CNP1, hw::Ident{3, 1, 0, 0})}));
    s.mapping->channel = 5;
    s.mapping->next_channel = 2;
    s.layer->layer_mapping = s.mapping;
    return s;
}

TnpBSetup golden(uint8_t id = 1, int fifo_size = 2) {
    return mapped(LayerType::BufferTempConv,
                  {tnp_b(2, id, placement(0, 12, Shape{4, 4, 3}, Shape{4, 4, 3}))}, 3, fifo_size);
}

std::vector<uint32_t> regs_of(const TnpBSetup& s, bool ib_spikes = false, bool pass_output = false,
                              bool unused = false, bool last_flag = false) {
    const auto map = format_buffer_temp_conv_registers(*s.layer, nullptr, ib_spikes, pass_output,
                                                       {}, unused, last_flag);
    EXPECT_EQ(map.size(), 1u);
    return map.begin()->second;
}

TEST(V2TnpBRegisters, FifoSizeLimits) {
    EXPECT_EQ(regs_of(golden(1, 0))[30], 0x00010002u);
    const auto regs = regs_of(golden(1, 14));
    EXPECT_EQ(regs[4] & 0xFFFFu, 14u);
    EXPECT_EQ(regs[30], 0x000F0E02u);
    EXPECT_EQ(error_text([] { regs_of(golden(1, 15)); }), overflow_text(16, 4));
    EXPECT_EQ(error_text([] { regs_of(golden(1, 16)); }), overflow_text(16, 4));
    EXPECT_EQ(error_text([] { regs_of(golden(1, 65536)); }), overflow_text(65536, 16));
}

// The neuron run N of a TNP-B: word 11 bits 12-29 hold its 100-bit channel-content words (N
// rounded up to 8, then to 24, 12 per word), word 26 bits 16-25 N itself and word 29 bits 16-23
// its groups of eight, (N + 7) / 8. The common words take N into a 10-bit field first, so 1023
// is the largest run: 128 groups, far from the 255 the 8-bit field of word 29 could hold.
TEST(V2TnpBRegisters, NeuronRunUpToTheTenBitField) {
    auto neurons = [](uint32_t n) {
        return regs_of(mapped(LayerType::BufferTempConv,
                              {tnp_b(2, 1, placement(0, n, Shape{4, 4, 3}, Shape{4, 4, 3}))}));
    };
    struct Case {
        uint32_t n, ch_cont, groups;
    };
    for (const Case& c : {Case{24, 2, 3}, Case{25, 4, 4}, Case{1023, 86, 128}}) {
        const auto regs = neurons(c.n);
        EXPECT_EQ((regs[11] >> 12) & 0x3FFFFu, c.ch_cont) << c.n;
        EXPECT_EQ((regs[26] >> 16) & 0x3FFu, c.n) << c.n;
        EXPECT_EQ((regs[29] >> 16) & 0xFFu, c.groups) << c.n;
    }
    EXPECT_EQ(error_text([&] { neurons(1024); }), overflow_text(1024, 10));
}

// The channel count K of the TNP-B's region: word 21 bits 0-10 hold K, word
// 28 bits 16-31 K rounded up to 4 and bits 0-13 the row words K4 * 4 / 4. A
// count of 2048 is one past the 11-bit field and is refused.
TEST(V2TnpBRegisters, ChannelFieldsOfWordsTwentyOneAndTwentyEight) {
    auto channels = [](uint32_t k) {
        const Shape own{4, 4, k};
        return regs_of(
            mapped(LayerType::BufferTempConv, {tnp_b(2, 1, placement(0, 12, own, own))}, k));
    };
    struct Case {
        uint32_t k, word21, word28;
    };
    for (const Case& c : {Case{5, 5, 0x00080008u}, Case{2047, 2047, 0x08000800u}}) {
        const auto regs = channels(c.k);
        EXPECT_EQ(regs[21] & 0x7FFu, c.word21) << c.k;
        EXPECT_EQ(regs[28], c.word28) << c.k;
    }
    EXPECT_EQ(error_text([&] { channels(2048); }), overflow_text(2048, 11));
}

TEST(V2TnpBRegisters, LeftOutAndDuplicateNps) {
    const hw::Placement p = placement(0, 12, Shape{4, 4, 3}, Shape{4, 4, 3});
    hw::Placement later = p;
    later.start_neuron = 7;
    auto s =
        mapped(LayerType::BufferTempConv, {tnp_b(2, 1, p), tnp_b(4, 0, p), tnp_b(2, 1, later)});
    auto map = format_buffer_temp_conv_registers(*s.layer, nullptr, false, false, {}, false, false);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at(hw::Ident{2, 1, 1, 0})[26] & 0x7FFu, 7u);

    map = format_buffer_temp_conv_registers(*s.layer, nullptr, false, false,
                                            {hw::Ident{2, 1, 1, 0}}, false, false);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.begin()->first, (hw::Ident{4, 1, 0, 0}));
    map = format_buffer_temp_conv_registers(*s.layer, nullptr, false, false,
                                            {hw::Ident{2, 1, 1, 0}, hw::Ident{4, 1, 0, 0}}, false,
                                            false);
    EXPECT_TRUE(map.empty());
}

TEST(V2TnpBRegisters, PartialReconfigurationOnlyOnSharedNps) {
    auto s = golden();
    const auto plain = regs_of(s);
    auto next = golden();
    (*next.mapping->nps)[0].ident = hw::Ident{9, 1, 1, 0};
    auto map =
        format_buffer_temp_conv_registers(*s.layer, next.layer, false, true, {}, false, false);
    const auto elsewhere = map.begin()->second;
    auto same = golden();
    map = format_buffer_temp_conv_registers(*s.layer, same.layer, false, true, {}, false, false);
    const auto shared = map.begin()->second;
    for (size_t w : {32u, 33u, 34u, 35u, 40u, 41u, 42u}) {
        EXPECT_EQ(elsewhere[w], plain[w]) << w;
    }
    EXPECT_NE(shared, elsewhere);
    EXPECT_EQ(shared[34], 0x00040004u);  // the next layer's 4 x 4 input region
}

// The depthwise register file is the BufferTempConv one of the same mapping
// but for words 3, 11, 22 and 29: the depthwise flag, one 100-bit word of
// channel content, one neuron group, and the channel range of a TNP-B that
// holds only some of the channels.
TEST(V2TnpBRegisters, DepthwiseWordsOnTopOfTheBufferTempConvOnes) {
    const Shape own{4, 4, 12};
    auto split = mapped(
        LayerType::DepthwiseBufferTempConv,
        {tnp_b(4, 1, placement(0, 12, own, own)), tnp_b(2, 1, placement(12, 12, own, own))}, 24);
    const auto plain =
        format_buffer_temp_conv_registers(*split.layer, nullptr, false, false, {}, false, false);
    const auto depthwise = format_depthwise_buffer_temp_conv_registers(*split.layer, nullptr, false,
                                                                       false, {}, false, false);
    ASSERT_EQ(depthwise.size(), 2u);
    for (const auto& [ident, dw] : depthwise) {
        const auto& bt = plain.at(ident);
        const uint32_t first = ident.col == 4 ? 0u : 12u;
        for (size_t w = 0; w < 64; ++w) {
            if (w == 3 || w == 11 || w == 22 || w == 29) continue;
            EXPECT_EQ(dw[w], bt[w]) << w;
        }
        EXPECT_EQ(dw[3], bt[3] | 0x404u);  // bits 2 and 10
        EXPECT_EQ(bt[3] & 0x404u, 0u);
        EXPECT_EQ((bt[11] >> 12) & 0x3FFFFu, 2u);  // 12 neurons: 24 slots, two words
        EXPECT_EQ(dw[11], (bt[11] & ~(0x3FFFFu << 12)) | (1u << 12));
        EXPECT_EQ(bt[22], 0u);
        EXPECT_EQ(dw[22], 0x000C0000u | first);
        EXPECT_EQ((bt[29] >> 16) & 0xFFu, 2u);
        EXPECT_EQ(dw[29], (bt[29] & ~(0xFFu << 16)) | (1u << 16));
        // Shared TNP-B words of 12 channels, a 4 x 4 region of 8 bits, FIFO 2.
        EXPECT_EQ(dw[4] & 0xFFFFu, 2u);
        EXPECT_EQ(dw[21] & 0x7FFu, 12u);
        EXPECT_EQ(dw[28], 0x000C000Cu);
        EXPECT_EQ(dw[30], 0x00030202u);
        EXPECT_EQ((dw[56] >> 16) & 0x1FFu, 1u);
        EXPECT_EQ(dw[56] >> 31, 0u);
    }

    // One TNP-B with every channel: no channel range, whatever its first neuron.
    auto whole =
        mapped(LayerType::DepthwiseBufferTempConv, {tnp_b(4, 1, placement(5, 12, own, own))}, 12);
    const auto one = format_depthwise_buffer_temp_conv_registers(*whole.layer, nullptr, false,
                                                                 false, {}, false, false);
    const auto& regs = one.begin()->second;
    EXPECT_EQ(regs[3] & 0x404u, 0x004u);
    EXPECT_EQ(regs[22], 0u);
    EXPECT_EQ((regs[11] >> 12) & 0x3FFFFu, 1u);
}

TEST(V2TnpBRegisters, ComponentWithoutPlacement) {
    auto s =
        mapped(LayerType::BufferTempConv, {hw::Component(hw::Type::TNP_B, hw::Ident{2, 1, 1, 0})});
    EXPECT_EQ(error_text([&] { regs_of(s); }), "TNP-B component of layer 'tnp' has no placement.");
}

void add_variables(FakeLayer& layer, uint32_t neurons, uint32_t rows) {
    layer.vars.set("weights", tap_tensor(rows, neurons));
    std::vector<uint8_t> shifts(neurons);
    for (uint32_t i = 0; i < neurons; ++i) shifts[i] = static_cast<uint8_t>(i % 8);
    layer.vars.set("input_shift", v2regs_test::u8(shifts));
    layer.vars.set("output_scales", v2regs_test::u8(std::vector<uint8_t>(neurons, 3)));
    std::vector<int8_t> bias(neurons);
    for (uint32_t i = 0; i < neurons; ++i) bias[i] = static_cast<int8_t>(i);
    layer.vars.set("bias", v2regs_test::i8(bias));
}

void add_fifo_skipdma(LayerMapping& m) {
    m.skipdma_store_components = {hw::Component(hw::Type::SKIP_DMA_STORE, hw::Ident{7, 0, 0, 3})};
    m.skipdma_load_components = {hw::Component(hw::Type::SKIP_DMA_LOAD, hw::Ident{6, 0, 0, 4})};
    m.tnp_b_skipdma = true;
    m.skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();
    m.skipdma_store_channel->store_flag = 1;
    m.skipdma_store_channel->channel = 3;
    m.skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
    m.skipdma_load_channel->dma_channel = 4;
    m.skipdma_load_channel->channel = 3;
}

TnpBSetup two_nps(LayerType type) {
    const uint32_t channels = type == LayerType::BufferTempConv ? 3 : 12;
    auto s = mapped(type,
                    {tnp_b(4, 1, placement(0, 6, Shape{4, 4, channels}, Shape{4, 4, channels})),
                     tnp_b(2, 1, placement(6, 6, Shape{4, 4, channels}, Shape{4, 4, channels}))},
                    channels);
    add_variables(*s.layer, 12, type == LayerType::BufferTempConv ? 6 : 3);
    add_fifo_skipdma(*s.mapping);
    return s;
}

TEST(V2TnpBProgram, LayerWithoutSkipDmaLoadIsRefused) {
    auto device = v2rec_test::v2_device();
    auto s = two_nps(LayerType::BufferTempConv);
    s.mapping->skipdma_load_components.clear();
    EXPECT_EQ(error_text([&] {
                  record_program_buffer_temp_conv_layer(*device, *s.layer, nullptr, false, false,
                                                        {}, false, false);
              }),
              "Layer 'tnp' has no skip-DMA load.");
}

TEST(V2TnpBProgram, WrongLayerType) {
    auto device = v2rec_test::v2_device();
    auto plain = two_nps(LayerType::BufferTempConv);
    auto depthwise = two_nps(LayerType::DepthwiseBufferTempConv);
    EXPECT_EQ(error_text([&] {
                  record_program_depthwise_buffer_temp_conv_layer(*device, *plain.layer, nullptr,
                                                                  false, false, {}, false, false);
              }),
              "Invalid layer type for TNP-B recording.");
    EXPECT_EQ(error_text([&] {
                  record_program_buffer_temp_conv_layer(*device, *depthwise.layer, nullptr, false,
                                                        false, {}, false, false);
              }),
              "Invalid layer type for TNP-B recording.");
}

TEST(V2TnpBProgram, MissingWeightsNameTheLayer) {
    auto device = v2rec_test::v2_device();
    auto s = mapped(LayerType::BufferTempConv,
                    {tnp_b(2, 1, placement(0, 12, Shape{4, 4, 3}, Shape{4, 4, 3}))});
    s.layer->vars.set("input_shift", v2regs_test::u8({1}));
    add_fifo_skipdma(*s.mapping);
    EXPECT_EQ(error_text([&] {
                  record_program_buffer_temp_conv_layer(*device, *s.layer, nullptr, false, false,
                                                        {}, false, false);
              }),
              "Layer 'tnp' has no variable 'weights'.");
    EXPECT_EQ(decode(*record_program_buffer_temp_conv_layer(*device, *s.layer, nullptr, false,
                                                            false, {}, true, false))
                  .size(),
              1u);
}

std::shared_ptr<v2regs_test::FakeLayer> tnp_b(LayerType type, int fifo, uint32_t channels) {
    auto layer = make_layer(type, "tnp", {{"fifo_size", fifo}, {"weights_bits", 8}});
    layer->in_dims = {Shape{4, 4, channels}};
    return layer;
}

TEST(V2BackendBSizes, TnpBWeightsFitOneNp) {
    const HardwareConstraints c = HardwareConstraints::v2(SramSize_v2);
    ASSERT_EQ(c.weight_sram_size, 4096u);
    EXPECT_TRUE(is_weights_size_fit_np(c, *tnp_b(LayerType::BufferTempConv, 2, 682), 6));
    EXPECT_FALSE(is_weights_size_fit_np(c, *tnp_b(LayerType::BufferTempConv, 2, 683), 6));
    EXPECT_TRUE(is_weights_size_fit_np(c, *tnp_b(LayerType::DepthwiseBufferTempConv, 2, 8), 1365));
    EXPECT_FALSE(is_weights_size_fit_np(c, *tnp_b(LayerType::DepthwiseBufferTempConv, 2, 8), 1366));
}

}  // namespace
