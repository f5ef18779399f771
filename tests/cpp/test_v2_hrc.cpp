// HRC registers and SRAM framing, input/output recorder fields, shift and LUT formats.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "backend/v2/hrc.h"
#include "backend/v2/io_recorder.h"
#include "backend/v2/shift_lut_formats.h"
#include "program/hrc_formats.h"
#include "program/program_generated.h"
#include "program/record.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2rec_test::decode;
using v2rec_test::kV2RecVersion;
using v2rec_test::offsets_and_words;
using v2rec_test::OffsetWords;
using v2rec_test::v2_device;
using v2regs_test::error_text;
using v2regs_test::f32;
using v2regs_test::i32;
using v2regs_test::i8;
using v2regs_test::make_layer;
using v2regs_test::overflow_text;
using v2regs_test::u8;

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

// Word 0 bits 4-6: kernel 3, 4, 5, 7 and 16 give codes 0 to 4; nothing else
// in the block depends on the kernel.
TEST(V2HrcRegisters, KernelSizeCodes) {
    const std::vector<std::pair<int, uint32_t>> codes{
        {3, 0x00000701u}, {4, 0x00000711u}, {5, 0x00000721u}, {7, 0x00000731u}, {16, 0x00000741u}};
    for (const auto& [kernel, word0] : codes) {
        HrcArgs a;
        a.kernel_size = kernel;
        EXPECT_EQ(hrc_regs(a),
                  (std::vector<uint32_t>{word0, 0x00000202u, 0u, 0x00001111u, 0x000F0000u}))
            << kernel;
    }
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

struct SccCase {
    bool first_hrc;
    bool small_output;
    uint32_t word4;
};

class V2IoRecScc : public ::testing::TestWithParam<SccCase> {};

struct OutputCase {
    Shape output;
    uint32_t word68;
};

// "Output4x4x10"
std::string output_case_name(const OutputCase& c) {
    std::string name = "Output";
    for (uint32_t i = 0; i < c.output.size(); ++i) {
        name += (i ? "x" : "") + std::to_string(c.output[i]);
    }
    return name;
}

void PrintTo(const OutputCase& c, std::ostream* os) { *os << output_case_name(c); }

class V2IoRecSccOutput : public ::testing::TestWithParam<OutputCase> {};

// Address 68: 0 only for a 1 x 1 output; else dims[1] x dims[2] in bits 0-19 and, below 2048
// channels, the channel count in bits 20-31.
TEST_P(V2IoRecSccOutput, OutputSizeWord) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    const Shape& output = GetParam().output;
    const auto blocks =
        decode(*io.record_scc(true, false, false, false, false, Shape{4, 4, 3}, output));
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[2].offset, 68u);
    EXPECT_EQ(blocks[2].payload, (std::vector<uint32_t>{GetParam().word68}));
}

INSTANTIATE_TEST_SUITE_P(V2IoRecSccFields, V2IoRecSccOutput,
                         ::testing::Values(OutputCase{Shape{1, 1, 8}, 0u},
                                           OutputCase{Shape{4, 4, 10}, 0x00A00028u},
                                           OutputCase{Shape{1, 5, 8}, 0x00800028u},
                                           OutputCase{Shape{5, 1, 8}, 0x00800008u},
                                           OutputCase{Shape{2, 2, 2047}, 0x7FF00FFEu},
                                           OutputCase{Shape{2, 2, 2048}, 0x00001000u}),
                         [](const ::testing::TestParamInfo<OutputCase>& info) {
                             return output_case_name(info.param);
                         });

TEST(V2IoRecSccFields, TooWideValuesAreRefused) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    EXPECT_EQ(error_text([&] {
                  io.record_scc(false, true, true, true, true, Shape{1, 1, 262144}, Shape{1, 1, 1});
              }),
              overflow_text(262144, 18));
    EXPECT_NO_THROW(
        io.record_scc(false, true, true, true, true, Shape{1, 1, 262143}, Shape{1, 1, 1}));
    EXPECT_EQ(error_text([&] {
                  io.record_scc(false, true, true, true, true, Shape{1, 1, 1},
                                Shape{2, 1024, 1024});
              }),
              overflow_text(1048576, 20));
    EXPECT_EQ(error_text([&] {
                  io.record_scc(false, true, true, true, true, Shape{1, 1, 1},
                                Shape{2, 65536, 65536});
              }),
              overflow_text(4294967296ull, 20));
}

// The end-of-program words: mode (bit 1 for a last layer on an FNP, bit 16
// after a last HRC), the column range, and the NP count in two words.
TEST(V2IoRecEpg, SixWritesInOrder) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    const auto dense = v2regs_test::make_layer(LayerType::Dense1D, "d");
    const auto conv = v2regs_test::make_layer(LayerType::Conv2D, "c");
    using W = std::vector<RegisterWrite>;
    EXPECT_EQ(io.record_epg(*dense, 3, 9, 0xAB, true, false, false), (W{{0x00, 0x00031202u},
                                                                        {0x0C, 0x10u},
                                                                        {0x10, 0x09030001u},
                                                                        {0x14, 0x0000AB00u},
                                                                        {0x18, 0xABFE0001u},
                                                                        {0x1C, 0x027FFFFFu}}));
    const W plain = io.record_epg(*conv, 0, 255, 1, false, true, true);
    EXPECT_EQ(plain, (W{{0x00, 0x00021200u},
                        {0x0C, 0x10u},
                        {0x10, 0xFF000001u},
                        {0x14, 0x00000100u},
                        {0x18, 0x01FE0001u},
                        {0x1C, 0x027FFFFFu}}));
}

std::string wrong_type(const char* requested, const char* actual) {
    return std::string("Wrong requested type ") + requested + " for a tensor of type " + actual +
           ".";
}

TEST(V2ShiftLutInputShift, RangeOfElements) {
    const auto shifts = u8({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(format_input_shift(*shifts, 3, 2), (std::vector<uint32_t>{0x0504u, 0u}));
    EXPECT_EQ(format_input_shift(*shifts, 0, 0), format_input_shift(*shifts));
    EXPECT_EQ(error_text([&] { format_input_shift(*shifts, 5, 2); }),
              "Coordinates are out-of-range");
    EXPECT_EQ(error_text([&] { format_input_shift(*i8({1})); }),
              wrong_type(typeid(uint8_t).name(), "int8"));
}

TEST(V2ShiftLutMerge, BytesOfTheWorkedExamples) {
    const auto a = u8({2, 5, 0, 7, 9});
    const auto b = u8({5, 2, 0, 7, 9});
    const auto t = i8({-3, -2, -4, -4, -9});
    const auto words = format_merge_layer_shift(a, b, t, 0, 4);
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words[0], 0xB0C033A3u);
    const auto tail = format_merge_layer_shift(a, b, t, 1, 4);
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0] & 0xFFu, 0x33u);
    EXPECT_EQ(tail[0] >> 24, 0x80u);  // element 4: M 9, s 0
    EXPECT_EQ(format_merge_layer_shift(a, b, t, 0, 5).size(), 2u);
    EXPECT_TRUE(format_merge_layer_shift(a, b, t, 0, 0).empty());
}

TEST(V2ShiftLutMerge, Failures) {
    const auto a = u8({1, 0});
    const auto b = u8({3, 0});
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, i8({1, 0}), 0, 1); }),
              "4 cannot fit in a 3 bits signed integer.");
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, i8({0, -5}), 1, 1); }),
              "-5 cannot fit in a 3 bits signed integer.");
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, i8({0}), 0, 2); }),
              "Coordinates are out-of-range");
    EXPECT_EQ(error_text([&] { format_merge_layer_shift(a, b, u8({0, 0}), 0, 1); }),
              wrong_type(typeid(int8_t).name(), "uint8"));
    EXPECT_THROW(format_merge_layer_shift(a, nullptr, i8({0, 0}), 0, 1), std::invalid_argument);
}

std::vector<int32_t> lut_values(size_t n) {
    std::vector<int32_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int32_t>(i % 100) - 50;
    return v;
}

TEST(V2ShiftLutCnpLut, SizesAndFailures) {
    auto v = lut_values(2049);
    v[2048] = 100000;  // never read
    EXPECT_EQ(format_lut_values_for_cnp(i32(v).get()).size(), 1024u);
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(i32(lut_values(2047)).get()); }),
              "Wrong size for LUT.");
    auto bad = lut_values(2048);
    bad[7] = 8192;
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(i32(bad).get()); }),
              "8192 cannot fit in a 14 bits signed integer.");
    bad[7] = -8193;
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(i32(bad).get()); }),
              "-8193 cannot fit in a 14 bits signed integer.");
    EXPECT_EQ(error_text([&] { format_lut_values_for_cnp(f32(std::vector<float>(2048)).get()); }),
              wrong_type(typeid(int32_t).name(), "float32"));
    EXPECT_THROW(format_lut_values_for_cnp(nullptr), std::invalid_argument);
}

}  // namespace
