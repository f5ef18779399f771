// FNP sizes, payloads, RAM images and register words no whole model reaches.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/v2/fnp_formats.h"
#include "corelib/dma.h"
#include "v2_fnp_test_util.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using namespace v2fnp_test;
using v2regs_test::error_text;
using v2regs_test::overflow_text;

Shape shape3(uint32_t x, uint32_t y, uint32_t c) { return Shape{x, y, c}; }

// Runs `error` in a child process and expects its text to be `expected`: a
// guard that let the call through would divide by zero or write past a
// buffer, which must fail this test rather than end the suite. The child
// leaves through exit() so that what it ran is counted.
void expect_error_in_child(const std::function<void()>& call, const std::string& expected) {
    EXPECT_EXIT(
        {
            const std::string text = error_text(call);
            if (text != expected) std::cerr << "got: " << text << std::endl;
            std::exit(text == expected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << expected;
}

struct PackingCase {
    const char* name;
    Shape shape;
    uint8_t bits;
    InputPadding packing;
    uint8_t weight_bits;
    uint32_t input_words;
    uint32_t shift_24b;
    uint32_t payload_words;
    uint32_t neuron_words;
};

void PrintTo(const PackingCase& c, std::ostream* os) { *os << c.name; }

class V2FnpPacking : public ::testing::TestWithParam<PackingCase> {};

TEST_P(V2FnpPacking, SizesAgree) {
    const PackingCase& c = GetParam();
    const uint32_t count = c.shape[0] * c.shape[1] * c.shape[2];
    const auto shifts = u8_ramp(count);
    EXPECT_EQ(get_fpksram_size(c.shape[1], c.shape[0], c.shape[2], c.bits, c.packing),
              c.input_words);
    EXPECT_EQ(fnp_input_shift_24b_size(*shifts, c.shape, c.packing, c.bits), c.shift_24b);
    const auto payload = format_input_shift_fnp(*shifts, c.shape, c.packing, c.bits);
    EXPECT_EQ(payload.size(), c.payload_words);
    // Two payload words per eight positions of the 24-bit count.
    EXPECT_EQ(payload.size(), 2u * c.shift_24b);
    EXPECT_EQ(get_neuron_word_size(c.shape, c.packing, c.bits, c.weight_bits), c.neuron_words);
}

INSTANTIATE_TEST_SUITE_P(
    V2FnpWorkedExamples, V2FnpPacking,
    ::testing::Values(
        // pad_x 1, r 18, pad_r 6: rows of 24 nibbles; weights 4-bit: 192 bits/neuron.
        PackingCase{"RowPadded_5x2x3_4bit", Shape{5, 2, 3}, 4, fnp::RowPadded, 4, 6, 6, 12, 8},
        // Runs of 3 bytes padded to 4.
        PackingCase{"RunPadded_3x2x2_8bit", Shape{3, 2, 2}, 8, fnp::RunPadded, 8, 4, 2, 4, 6},
        PackingCase{"Packed_2048_8bit", Shape{1, 1, 2048}, 8, fnp::Packed, 8, 512, 256, 512, 514}),
    [](const ::testing::TestParamInfo<PackingCase>& info) { return info.param.name; });

TEST(V2FnpSizes, InputPacketPerPacking) {
    // 4-bit, x 5: 3 bytes per run; 8-bit runs of 5 take 8 bytes.
    EXPECT_EQ(get_fpksram_size(2, 5, 3, 4, fnp::Packed), 4u);      // 120 bits
    EXPECT_EQ(get_fpksram_size(2, 5, 3, 4, fnp::RowPadded), 6u);   // 9 bytes a row, 3 words
    EXPECT_EQ(get_fpksram_size(2, 5, 3, 8, fnp::RunPadded), 12u);  // 24 bytes a row
    EXPECT_EQ(get_fpksram_size(2, 5, 3, 8, fnp::RowPadded), 8u);   // 15 bytes a row, 4 words
    for (InputPadding p : {fnp::NoFit, InputPadding{7}}) {
        EXPECT_EQ(error_text([&] { get_fpksram_size(1, 1, 1, 8, p); }), "Unsupported padding.");
        EXPECT_EQ(error_text([&] { get_neuron_word_size(shape3(1, 1, 1), p, 8, 8); }),
                  "Unsupported padding.");
    }
}

TEST(V2FnpPayload, RefusesOtherPackingsAndSignedShifts) {
    const auto shifts = u8_ramp(4);
    for (InputPadding p : {fnp::NoFit, InputPadding{4}}) {
        EXPECT_EQ(error_text([&] { format_input_shift_fnp(*shifts, shape3(2, 2, 1), p, 8); }),
                  "Unsupported padding.");
        EXPECT_EQ(error_text([&] { fnp_input_shift_24b_size(*shifts, shape3(2, 2, 1), p, 8); }),
                  "Unsupported padding.");
    }
    const auto signed_shifts = v2regs_test::i8({1, 2, 3, 4});
    EXPECT_EQ(error_text([&] {
                  format_input_shift_fnp(*signed_shifts, shape3(2, 2, 1), fnp::RowPadded, 8);
              }),
              std::string("Wrong requested type ") + typeid(unsigned char).name() +
                  " for a tensor of type int8.");
}

TEST(V2FnpPayload, ShiftTensorTooSmallForTheShapeIsRefused) {
    const auto shifts = u8_ramp(5);
    EXPECT_EQ(
        error_text([&] { format_input_shift_fnp(*shifts, shape3(3, 2, 1), fnp::RowPadded, 8); }),
        "Coordinates are out-of-range");
}

TEST(V2FnpSizes, InputSizeOfAFirstLayerIsFlattenedAndPacked) {
    auto layer = make_dense("d", {Shape{2, 3, 4}});
    EXPECT_EQ(get_fnp_input_size(*layer, true), (24u * 8 + 31) / 32);
    EXPECT_EQ(get_fnp_input_size(*layer, false), (3u * 4 * 2 * 8 + 31) / 32);
}

TEST(V2FnpSizes, SramSizeOfAnUnflattenedFirstLayerCountsEveryInput) {
    DenseSpec spec;
    spec.input = Shape{2, 2, 8};
    auto layer = make_dense("d", spec);
    EXPECT_EQ(get_fnp_sram_size(*layer), 20u);
    EXPECT_EQ(get_neuron_word_size(get_fnp_input_dim(*layer, true), fnp::Packed, 8, 8), 10u);
}

TEST(V2FnpSizes, SramSizeAfterACnpUsesTheRowLayout) {
    DenseSpec spec;
    spec.input = Shape{3, 2, 2};
    auto layer = make_dense("d", spec);
    auto conv = v2regs_test::make_layer(LayerType::Conv2D, "conv");
    v2regs_test::link(conv, layer);
    EXPECT_EQ(fnp_input_packing(*layer, false), fnp::RunPadded);
    EXPECT_EQ(get_fnp_sram_size(*layer), 12u);
}

TEST(V2FnpRam, MaxValuesAreIndependentAndOptional) {
    DenseSpec spec;
    spec.max_values = false;
    auto layer = make_dense("d", spec);
    auto ram = format_fnp_ram(*layer, true, fnp::Packed, 8, 8);
    EXPECT_EQ(ram[0], 0x000002FFu);
    EXPECT_EQ(ram[3], 0x000003FEu);

    layer->vars.set("max_value", v2regs_test::u8({9, 8}));
    ram = format_fnp_ram(*layer, true, fnp::Packed, 8, 8);
    EXPECT_EQ(ram[0], 0x000902FFu);
    EXPECT_EQ(ram[3], 0x000803FEu);

    auto only_shift = make_dense("e", spec);
    only_shift->vars.set("max_value_shift", v2regs_test::u8({5, 6}));
    ram = format_fnp_ram(*only_shift, true, fnp::Packed, 8, 8);
    EXPECT_EQ(ram[0], 0x050002FFu);
    EXPECT_EQ(ram[3], 0x060003FEu);
}

TEST(V2FnpRam, WrongStorageTypesAreFatal) {
    auto layer = make_dense("d");
    layer->vars.set("bias_shift", v2regs_test::i8({1, 2}));
    EXPECT_EQ(error_text([&] { format_fnp_ram(*layer, true, fnp::Packed, 8, 8); }),
              std::string("Wrong requested type ") + typeid(unsigned char).name() +
                  " for a tensor of type int8.");
}

TEST(V2FnpNeuronWords, FourBitRowPaddedLeavesRunAndRowPaddingZero) {
    auto w = weights_tensor(
        3, 1, [](uint32_t k, uint32_t) { return k == 1 ? -2 : int(k + 1); },
        Dense::Layout::ColMajor, TensorType::int4);
    std::vector<uint32_t> ram(3, 0);
    write_fnp_neuron_words(ram.data(), 0, *w, 4, shape3(3, 1, 1), fnp::RowPadded, 4);
    EXPECT_EQ(ram, (std::vector<uint32_t>{0, 0, 0x000003E1}));
}

TEST(V2FnpNeuronWords, RunPaddedNeedsEightBitInput) {
    auto w = weights_tensor(12, 1, [](uint32_t k, uint32_t) { return int(k); });
    std::vector<uint32_t> ram(16, 0);
    EXPECT_THROW(write_fnp_neuron_words(ram.data(), 0, *w, 8, shape3(3, 2, 2), fnp::RunPadded, 4),
                 std::invalid_argument);
    EXPECT_EQ(error_text([&] {
                  write_fnp_neuron_words(ram.data(), 0, *w, 8, shape3(3, 2, 2), fnp::NoFit, 8);
              }),
              "Unsupported padding.");
}

// The pad counts hold for any width from 1 to 8 bits. At 1 bit, x = 5, c = 3:
// pad_x = 3, r = 24, pad_r = 8, so a row of 32 positions; 8-bit weights over
// two rows take 512 bits. Widths of 0 and above 8 are refused.
TEST(V2FnpSizes, RowPaddedInputWidthsFromOneToEightBits) {
    EXPECT_EQ(get_neuron_word_size(shape3(5, 2, 3), fnp::RowPadded, 1, 8), 16u + 2u);
    // 2 bits: pad_x = 3, r = 24, pad_r = 8 (16 per word): 32 positions a row.
    EXPECT_EQ(get_neuron_word_size(shape3(5, 2, 3), fnp::RowPadded, 2, 4), 8u + 2u);
    for (uint8_t b : {0, 9}) {
        expect_error_in_child([b] { get_neuron_word_size(shape3(5, 2, 3), fnp::RowPadded, b, 8); },
                              "FNP input bit width must be 1 to 8, got " + std::to_string(b) + ".");
        const auto shifts = u8_ramp(30);
        expect_error_in_child(
            [&] { format_input_shift_fnp(*shifts, shape3(5, 2, 3), fnp::RowPadded, b); },
            "FNP input bit width must be 1 to 8, got " + std::to_string(b) + ".");
    }
}

// A payload whose byte count wraps 32 bits sizes to no word at all: the
// first byte is refused instead of written past the buffer.
TEST(V2FnpPayload, SizeThatWrapsIsRefusedAtTheFirstByte) {
    const auto shifts = u8_ramp(1);
    for (InputPadding p : {fnp::RowPadded, fnp::RunPadded}) {
        expect_error_in_child(
            [&] { format_input_shift_fnp(*shifts, shape3(1u << 29, 1, 1), p, 8); },
            "FNP input-shift payload exceeds its computed size.");
    }
}

TEST(V2FnpNeuronWords, WeightWidthOutsideOneToEightIsRefused) {
    auto w = weights_tensor(3, 1, [](uint32_t k, uint32_t) { return int(k); });
    std::vector<uint32_t> ram(8, 0);
    for (uint8_t bits : {0, 9}) {
        EXPECT_EQ(error_text([&] {
                      write_fnp_neuron_words(ram.data(), 0, *w, bits, shape3(1, 1, 3), fnp::Packed,
                                             8);
                  }),
                  "FNP weight bit width must be 1 to 8, got " + std::to_string(bits) + ".");
    }
    EXPECT_EQ(ram, std::vector<uint32_t>(8, 0));
}

// A shape without dimensions has no element: no weight field is written and
// no weight is read.
TEST(V2FnpNeuronWords, EmptyShapeWritesNothing) {
    auto w = weights_tensor(1, 2, [](uint32_t, uint32_t) { return 5; });
    for (InputPadding p : {fnp::Packed, fnp::RowPadded, fnp::RunPadded}) {
        std::vector<uint32_t> ram(8, 0xA5A5A5A5u);
        EXPECT_EQ(get_neuron_word_size(Shape(), p, 8, 8), 2u) << int(p);
        write_fnp_neuron_words(ram.data(), 1, *w, 8, Shape(), p, 8);
        EXPECT_EQ(ram, std::vector<uint32_t>(8, 0xA5A5A5A5u)) << int(p);
    }
}

// A shape of more than 2^32 elements (x = 2^31 + 1, y = 2) reads its weights
// one by one through the checked access: the first weight, at k = 0, is
// written, and a tensor of one row is refused at the next index (k = 1 when
// packed, k = y * c = 2 for the padded layouts) instead of being read past.
TEST(V2FnpNeuronWords, ShapePastThirtyTwoBitsReadsThroughTheCheckedAccess) {
    auto w = weights_tensor(1, 1, [](uint32_t, uint32_t) { return -3; });
    for (InputPadding p : {fnp::Packed, fnp::RowPadded, fnp::RunPadded}) {
        std::vector<uint32_t> ram(8, 0);
        EXPECT_EQ(error_text([&] {
                      write_fnp_neuron_words(ram.data(), 0, *w, 8, shape3((1u << 31) + 1, 2, 1), p,
                                             8);
                  }),
                  "Coordinates are out-of-range")
            << int(p);
        EXPECT_EQ(ram, (std::vector<uint32_t>{0, 0, 0xFD, 0, 0, 0, 0, 0})) << int(p);
    }
}

HardwareConstraints fnp_constraints(uint32_t fnp3_sram = 1000) {
    HardwareConstraints c = HardwareConstraints::v2(SramSize_v2);
    c.fnp3_sram_size = fnp3_sram;
    return c;
}

std::vector<uint32_t> regs_with_defaults() {
    std::vector<uint32_t> r(64, 0);
    r[1] = 0x20;
    r[3] = 0x05000000;
    r[17] = 0x01000000;  // a bit no field names: kept
    return r;
}

struct RegsArgs {
    hw::Type type = hw::Type::FNP3;
    uint8_t in = 8, out = 8, w = 8;
    bool activation = true;
    Shape shape{1, 1, 3};
    bool buffer = false;
    uint32_t neurons = 2;
    InputPadding packing = fnp::Packed;
    uint32_t fnp3 = 1000;
};

std::vector<uint32_t> dense_regs(const RegsArgs& a) {
    const uint32_t inputs = a.shape[0] * a.shape[1] * a.shape[2];
    auto weights = weights_tensor(inputs, a.neurons, [](uint32_t, uint32_t) { return 1; });
    auto regs = regs_with_defaults();
    format_dense1d_registers(fnp_constraints(a.fnp3), &regs, a.type, a.in, a.out, a.activation,
                             a.shape, a.buffer, *weights, a.w, a.packing);
    return regs;
}

TEST(V2FnpRegisters, RowPaddedAndRunPaddedRowFields) {
    RegsArgs row;
    row.shape = Shape{5, 2, 3};
    row.in = 4;
    row.w = 4;
    row.out = 4;
    row.packing = fnp::RowPadded;
    auto r = dense_regs(row);
    EXPECT_EQ(r[3] & 0xFFFF, 0xA0A2u);  // codes 2, 2, 2; bit 7; activation
    EXPECT_EQ(r[10], 0x00050002u);
    EXPECT_EQ(r[11], 3u << 12);
    EXPECT_EQ(r[28], 0x00030003u);
    EXPECT_EQ(r[14], 0xA0000006u);
    EXPECT_EQ(r[15], 0x00080002u);

    RegsArgs run;
    run.shape = Shape{3, 2, 2};
    run.packing = fnp::RunPadded;
    r = dense_regs(run);
    EXPECT_EQ(r[11], 4u << 12);
    EXPECT_EQ(r[28], 0x00040002u);
    EXPECT_EQ(r[14], 0xA0000004u);
    EXPECT_EQ(r[15], 0x00060002u);
    EXPECT_EQ(r[17], 0x0110000Cu);
}

// Every field replaces its own bits only: over a file of all ones, an FNP2
// with 8-bit widths, activation, a packed (1, 1, 3) input and 2 neurons.
TEST(V2FnpRegisters, FieldsKeepEveryOtherBit) {
    auto weights = weights_tensor(3, 2, [](uint32_t, uint32_t) { return 1; });
    std::vector<uint32_t> r(64, 0xFFFFFFFFu);
    format_dense1d_registers(fnp_constraints(), &r, hw::Type::FNP2, 8, 8, true, Shape{1, 1, 3},
                             false, *weights, 8, fnp::Packed);
    std::vector<uint32_t> expected(64, 0xFFFFFFFFu);
    expected[1] = 0xFCAFFFFFu;   // bits 20, 22, 24, 25 clear, bit 4 set
    expected[3] = 0xFF01BFF7u;   // codes 3, 3, 3; bit 3 and 14 clear; bits 16-23 = 1
    expected[10] = 0xF801F801u;  // y = 1, x = 1
    expected[11] = 0xC0000FFFu;  // no row bytes
    expected[14] = 0xBFFF8001u;  // one input word; bits 29 and 31 set, 30 clear
    expected[15] = 0x80030002u;  // 2 neurons of 3 words; bit 31 kept
    expected[16] = 0xFFFC0000u;  // bits 0-17 clear
    expected[17] = 0xFF0F0005u;  // FNP2: 5 words, bits 20-23 clear
    expected[28] = 0x0000C000u;  // row bytes and row words 0; bits 14-15 kept
    EXPECT_EQ(r, expected);
}

TEST(V2FnpRegisters, Fnp3SramWordsWrapModuloTheSramSize) {
    RegsArgs a;
    a.shape = Shape{1, 1, 32};
    a.neurons = 100;
    a.fnp3 = 600;
    EXPECT_EQ(dense_regs(a)[17], 0x01100190u);
    a.fnp3 = 0;
    EXPECT_THROW(dense_regs(a), std::runtime_error);
}

TEST(V2FnpRegisters, WidthCodesFailInOrderKeepingEarlierFields) {
    auto weights = weights_tensor(3, 2, [](uint32_t, uint32_t) { return 1; });
    auto run = [&](uint8_t in, uint8_t w, uint8_t out, std::vector<uint32_t>* regs) {
        return error_text([&] {
            format_dense1d_registers(fnp_constraints(), regs, hw::Type::FNP3, in, out, true,
                                     Shape{1, 1, 3}, false, *weights, w, fnp::Packed);
        });
    };
    auto regs = regs_with_defaults();
    EXPECT_EQ(run(2, 2, 5, &regs), "Wrong input_bits at FNP recording.");
    EXPECT_EQ(regs[1], 0x01000030u);
    regs = regs_with_defaults();
    EXPECT_EQ(run(8, 2, 5, &regs), "Wrong weight bitwidth at FNP recording.");
    EXPECT_EQ(regs[3], 0x05000003u);
    regs = regs_with_defaults();
    EXPECT_EQ(run(8, 8, 5, &regs), "Wrong output bitwidth at FNP recording.");
    EXPECT_EQ(run(8, 8, 33, &regs), "Wrong output bitwidth at FNP recording.");
    EXPECT_EQ(run(8, 8, 32, &regs), "");
}

TEST(V2FnpRegisters, InputWidthOverflowsWord10) {
    RegsArgs a;
    a.shape = Shape{2048, 1, 1};
    EXPECT_EQ(error_text([&] { dense_regs(a); }), overflow_text(2048, 11));
    a.shape = Shape{1, 2048, 1};
    EXPECT_EQ(error_text([&] { dense_regs(a); }), overflow_text(2048, 11));
}

}  // namespace
