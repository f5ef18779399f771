// HRC register block, SRAM select framing and SRAM size of the v2 back end.

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "backend/v2/hrc.h"
#include "program/hrc_formats.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2rec_test::decode;
using v2regs_test::error_text;
using v2regs_test::overflow_text;

struct HrcArgs {
    int kernel_size = 3;
    uint8_t output_bits = 8;
    int activation = 1;
    uint32_t channels = 3;
    int padding = 1;
    int pool_type = 0;
    int pool_size = 0;
    int pool_stride = 0;
    int kernel_stride = 2;
    std::vector<uint8_t> padding_value{0, 0, 0};
    PaddingParams pad{1, 1, 1, 1};
    int filters = 16;
};

std::vector<uint32_t> hrc_regs(const HrcArgs& a) {
    std::vector<uint32_t> regs{1, 0, 0, 0, 0};
    ConvCalculatedParams conv;
    conv.padding = a.pad;
    const auto padding_value = v2regs_test::u8(a.padding_value);
    format_hrc_registers(&regs, a.kernel_size, a.output_bits, a.activation,
                         Shape{32, 32, a.channels}, a.padding, a.pool_type, a.pool_size,
                         a.pool_stride, a.kernel_stride, *padding_value, conv, a.filters);
    return regs;
}

TEST(V2HrcRegisters, MaxPoolingSizeThreeStrideTwo) {
    HrcArgs a;
    a.pool_type = 1;
    a.pool_size = 3;
    a.pool_stride = 2;
    const auto regs = hrc_regs(a);
    EXPECT_EQ(regs[0], 0x33030701u);
    EXPECT_EQ(regs[1], 0x02020202u);
}

TEST(V2HrcRegisters, PaddingValueBytesAndAmounts) {
    HrcArgs a;
    a.padding_value = {0xAB};
    EXPECT_EQ(hrc_regs(a)[2], 0xABu);
    a.padding_value = {1, 2, 3, 4};
    EXPECT_EQ(hrc_regs(a)[2], 0x00030201u);
    a.pad = PaddingParams{1, 2, 3, 0};
    EXPECT_EQ(hrc_regs(a)[3], 0x00002103u);
}

TEST(V2HrcRegisters, NegativePoolValuesAreZero) {
    HrcArgs a;
    a.pool_size = -1;
    a.pool_stride = -3;
    const auto regs = hrc_regs(a);
    EXPECT_EQ(regs[0] >> 24, 0u);
    EXPECT_EQ(regs[1] >> 16, 0u);
}

TEST(V2HrcRegisters, KeepsBitsItDoesNotName) {
    std::vector<uint32_t> regs{0x00004001, 0x90000000, 0xFF000000, 0xFFFF0000, 0x0000FE00};
    ConvCalculatedParams conv;
    conv.padding = PaddingParams{1, 1, 1, 1};
    format_hrc_registers(&regs, 3, 8, 1, Shape{32, 32, 3}, 1, 0, 0, 0, 2,
                         *v2regs_test::u8({0, 0, 0}), conv, 16);
    EXPECT_EQ(regs,
              (std::vector<uint32_t>{0x00004701, 0x90000202, 0xFF000000, 0xFFFF1111, 0x000FFE00}));
}

TEST(V2HrcRegisters, Failures) {
    struct Case {
        const char* name;
        void (*edit)(HrcArgs&);
        std::string text;
    };
    const std::vector<Case> cases{
        {"kernel 6", [](HrcArgs& a) { a.kernel_size = 6; }, "Wrong kernel size at HRC recording."},
        {"kernel before width",
         [](HrcArgs& a) {
             a.kernel_size = 2;
             a.output_bits = 2;
         },
         "Wrong kernel size at HRC recording."},
        {"output 2", [](HrcArgs& a) { a.output_bits = 2; },
         "Wrong output bitwidth when programming HRC: 2-bit found\nonly 8-bit and 4-bit are "
         "supported."},
        {"2 channels", [](HrcArgs& a) { a.channels = 2; },
         "Wrong number of channles at HRC recording."},
        {"padding 3", [](HrcArgs& a) { a.padding = 3; }, "Wrong padding at HRC recording."},
        {"average pooling", [](HrcArgs& a) { a.pool_type = 2; }, "Wrong pooling at HRC recording."},
        {"pool size 16", [](HrcArgs& a) { a.pool_size = 16; }, overflow_text(16, 4)},
        {"pool size before pool type",
         [](HrcArgs& a) {
             a.pool_size = 16;
             a.pool_type = 2;
         },
         overflow_text(16, 4)},
        {"kernel stride 32", [](HrcArgs& a) { a.kernel_stride = 32; }, overflow_text(32, 5)},
        {"kernel stride -1", [](HrcArgs& a) { a.kernel_stride = -1; },
         overflow_text(4294967295u, 5)},
        {"pool stride 16", [](HrcArgs& a) { a.pool_stride = 16; }, overflow_text(16, 4)},
        {"padding amount 4", [](HrcArgs& a) { a.pad.bottom = 4; }, overflow_text(4, 2)},
        {"negative padding amount", [](HrcArgs& a) { a.pad.left = -1; },
         overflow_text(4294967295u, 2)},
        {"513 filters", [](HrcArgs& a) { a.filters = 513; }, overflow_text(512, 9)},
        {"0 filters", [](HrcArgs& a) { a.filters = 0; }, overflow_text(4294967295u, 9)},
    };
    for (const Case& c : cases) {
        HrcArgs a;
        c.edit(a);
        EXPECT_EQ(error_text([&] { hrc_regs(a); }), c.text) << c.name;
    }
}

TEST(V2HrcRegisters, PaddingValueMustBeUnsignedBytes) {
    std::vector<uint32_t> regs{1, 0, 0, 0, 0};
    ConvCalculatedParams conv;
    const auto value = v2regs_test::i8({1});
    const std::string expected = std::string("Wrong requested type ") + typeid(uint8_t).name() +
                                 " for a tensor of type int8.";
    EXPECT_EQ(error_text([&] {
                  format_hrc_registers(&regs, 3, 8, 1, Shape{32, 32, 3}, 1, 0, 0, 0, 2, *value,
                                       conv, 16);
              }),
              expected);
}

TEST(V2HrcSram, EmptyDataAppendsNothing) {
    auto record = program::new_record(v2rec_test::kV2RecVersion);
    record_hrc_sram_tracks(record.get(), HRC_SRAM_SELECT_R, {});
    EXPECT_TRUE(record->tracks().empty());
}

TEST(V2HrcSram, ContinuesTheCurrentTrack) {
    auto record = program::new_record(v2rec_test::kV2RecVersion);
    record->add_np_track(hw::Ident{}, dma::IpRegisters, 8, {1, 2, 3, 4, 5}, true, true);
    record_hrc_sram_tracks(record.get(), HRC_SRAM_SELECT_G, {7});
    ASSERT_EQ(record->tracks().size(), 1u);
    EXPECT_EQ(decode(*record).size(), 3u);
}

TEST(V2HrcSram, ZeroWidthSelectOverflows) {
    auto record = program::new_record(v2rec_test::kV2RecVersion);
    EXPECT_EQ(error_text([&] { record_hrc_sram_tracks(record.get(), RegDetail{3, 0}, {1}); }),
              overflow_text(1, 0));
    EXPECT_TRUE(record->tracks().empty());
}

std::shared_ptr<Dense> kernel(uint32_t k, uint32_t channels, uint32_t filters) {
    std::vector<int8_t> values(size_t{k} * k * channels * filters);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int8_t>(i % 7 + 1);
    return std::shared_ptr<Dense>(
        Dense::copy(reinterpret_cast<const char*>(values.data()), values.size(), TensorType::int8,
                    Shape{k, k, channels, filters}, Dense::Layout::RowMajor));
}

std::shared_ptr<v2regs_test::FakeLayer> sized_layer(uint32_t channels, uint32_t filters) {
    auto layer = v2regs_test::make_layer(LayerType::InputConv2D, "conv");
    auto& vars = layer->vars;
    vars.set("weights", kernel(3, channels, filters));
    const std::vector<uint8_t> ones(filters, 1);
    vars.set("output_shift", v2regs_test::i8(std::vector<int8_t>(filters, 1)));
    vars.set("output_scales", v2regs_test::u8(ones));
    vars.set("bias_shift", v2regs_test::u8(ones));
    vars.set("bias", v2regs_test::i8(std::vector<int8_t>(filters, -2)));
    return layer;
}

TEST(V2HrcSram, SizeAtTheXlThreshold) {
    EXPECT_EQ(get_hrc_sram_size(*sized_layer(1, 51)), 255u);
    EXPECT_EQ(get_hrc_sram_size(*sized_layer(1, 52)), 272u);
}

}  // namespace
