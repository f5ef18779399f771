// FNP input packings, sizes, input-shift payloads, RAM images and register
// words of v2 Dense1D layers, against values worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
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

// ---------------------------------------------------------------------------
// The three worked examples of the packings.

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

TEST(V2FnpPayload, RowPaddedPutsShiftsInRowChannelRunOrder) {
    // Element xi*(y*c) + yi*c + ci holds k + 1; each run of 5 is followed by
    // one padding byte and each row of 18 by six.
    const auto shifts = u8_ramp(30);
    const std::vector<uint32_t> expected = {0x130D0701, 0x08020019, 0x001A140E, 0x150F0903,
                                            0x0000001B, 0,          0x16100A04, 0x0B05001C,
                                            0x001D1711, 0x18120C06, 0x0000001E, 0};
    EXPECT_EQ(format_input_shift_fnp(*shifts, shape3(5, 2, 3), fnp::RowPadded, 4), expected);
}

TEST(V2FnpPayload, RunPaddedEndsEachRunWithAZeroByte) {
    const auto shifts = u8_ramp(12);
    const std::vector<uint32_t> expected = {0x00090501, 0x000A0602, 0x000B0703, 0x000C0804};
    EXPECT_EQ(format_input_shift_fnp(*shifts, shape3(3, 2, 2), fnp::RunPadded, 8), expected);
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

// ---------------------------------------------------------------------------
// Sizes.

TEST(V2FnpSizes, InputPacketPerPacking) {
    // 4-bit, x 5: 3 bytes per run.
    EXPECT_EQ(get_fpksram_size(2, 5, 3, 4, fnp::Packed), (2u * 3 * 5 * 4 + 31) / 32);
    EXPECT_EQ(get_fpksram_size(2, 5, 3, 4, fnp::RowPadded), 2u * ((3 * 3 + 3) / 4));
    EXPECT_EQ(get_fpksram_size(2, 5, 3, 8, fnp::RunPadded), 2u * ((8 * 3 * 8 + 31) / 32));
    for (InputPadding p : {fnp::NoFit, InputPadding{7}}) {
        EXPECT_EQ(error_text([&] { get_fpksram_size(1, 1, 1, 8, p); }), "Unsupported padding.");
        EXPECT_EQ(error_text([&] { get_neuron_word_size(shape3(1, 1, 1), p, 8, 8); }),
                  "Unsupported padding.");
    }
}

TEST(V2FnpSizes, FlattenedInputDimension) {
    auto layer = make_dense("d", {Shape{2, 3, 4}});
    const Shape flat = get_fnp_input_dim(*layer, true);
    EXPECT_EQ(flat.count, 3u);
    EXPECT_EQ(flat[0], 1u);
    EXPECT_EQ(flat[1], 1u);
    EXPECT_EQ(flat[2], 24u);
    EXPECT_EQ(get_fnp_input_dim(*layer, false), (Shape{2, 3, 4}));

    Shape zero;
    zero.dims[0] = 2;
    zero.dims[1] = 0;
    zero.dims[2] = 4;
    zero.count = 3;
    layer->in_dims = {zero};
    EXPECT_EQ(error_text([&] { get_fnp_input_dim(*layer, true); }),
              "Cannot have a shape with a dimension set to 0");
}

TEST(V2FnpSizes, InputSizeOfAFirstLayerIsFlattenedAndPacked) {
    auto layer = make_dense("d", {Shape{2, 3, 4}});
    EXPECT_EQ(get_fnp_input_size(*layer, true), (24u * 8 + 31) / 32);
    // Not first, no inbound layer: the same packed path on the (2, 3, 4) rows.
    EXPECT_EQ(get_fnp_input_size(*layer, false), (3u * 4 * 2 * 8 + 31) / 32);
}

TEST(V2FnpSizes, NeuronWordsRowPaddedAndPacked) {
    // (3, 1, 1) at 4 bits: pad_x 1, pad_r 4, one weight word.
    EXPECT_EQ(get_neuron_word_size(shape3(3, 1, 1), fnp::RowPadded, 4, 4), 3u);
    // 8-bit weights over the same positions take 64 bits.
    EXPECT_EQ(get_neuron_word_size(shape3(3, 1, 1), fnp::RowPadded, 4, 8), 4u);
    // Packed counts every x*y*c input, not only the channels.
    EXPECT_EQ(get_neuron_word_size(shape3(1, 1, 5), fnp::Packed, 8, 4), 3u);
    EXPECT_EQ(get_neuron_word_size(shape3(2, 2, 8), fnp::Packed, 8, 8), 10u);
}

TEST(V2FnpSizes, LayerWordsAndSramSizeWithXlRounding) {
    // (1, 1, 3), 2 neurons: 3 words each, no XL header.
    auto small = make_dense("small");
    EXPECT_EQ(get_fnp_sram_size(*small), 6u);
    // (1, 1, 32), 100 neurons: 10 words each, 1000 words need the XL header.
    DenseSpec spec;
    spec.input = Shape{1, 1, 32};
    spec.neurons = 100;
    auto big = make_dense("big", spec);
    const auto weights = Tensor::ensure_dense(big->vars.get("weights"));
    EXPECT_EQ(get_layer_word_size(*weights, 8, Shape{1, 1, 32}, fnp::Packed, 8), 1000u);
    ASSERT_TRUE(dma::config_block_size_needs_xl(1000));
    EXPECT_EQ(get_fnp_sram_size(*big), 1008u);
}

TEST(V2FnpSizes, SramSizeOfAnUnflattenedFirstLayerCountsEveryInput) {
    // A first layer recorded flattened to (1, 1, 32) needs 10 words per
    // neuron; sizing it from the unflattened (2, 2, 8) shape must agree.
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
    // 8-bit input and weights after a CNP: RunPadded, 6 words per neuron.
    EXPECT_EQ(fnp_input_packing(*layer, false), fnp::RunPadded);
    EXPECT_EQ(get_fnp_sram_size(*layer), 12u);
}

// ---------------------------------------------------------------------------
// Neuron weight streams and RAM images.

TEST(V2FnpRam, PackedEightBitImage) {
    // Neuron n: word 0 bias | bias_shift | max_value | max_value_shift,
    // word 1 output_scales | output_shift, word 2 the three weight bytes.
    auto layer = make_dense("d");
    const std::vector<uint32_t> expected = {
        0x1F7F02FF, 0x0000FE01, 0x00030201,  // bias -1, shift 2, max 127/31, scale 1, out -2
        0x1E7E03FE, 0x0000FF02, 0x00131211,  // bias -2, shift 3, max 126/30, scale 2, out -1
    };
    EXPECT_EQ(format_fnp_ram(*layer, true, fnp::Packed, 8, 8), expected);
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

TEST(V2FnpNeuronWords, FourBitPackedFieldsFromTheLowBit) {
    auto w = weights_tensor(
        5, 1, [](uint32_t k, uint32_t) { return k == 1 ? -2 : int(k + 1); },
        Dense::Layout::ColMajor, TensorType::int4);
    std::vector<uint32_t> ram(3, 0);
    write_fnp_neuron_words(ram.data(), 0, *w, 4, shape3(1, 1, 5), fnp::Packed, 8);
    // Fields 1, 0xE, 3, 4, 5 in bits 0-19.
    EXPECT_EQ(ram, (std::vector<uint32_t>{0, 0, 0x000543E1}));
    // Packed counts every x * y * c input, not only the channels.
    std::fill(ram.begin(), ram.end(), 0);
    write_fnp_neuron_words(ram.data(), 0, *w, 4, shape3(1, 5, 1), fnp::Packed, 8);
    EXPECT_EQ(ram, (std::vector<uint32_t>{0, 0, 0x000543E1}));
}

TEST(V2FnpNeuronWords, FourBitRowPaddedLeavesRunAndRowPaddingZero) {
    auto w = weights_tensor(
        3, 1, [](uint32_t k, uint32_t) { return k == 1 ? -2 : int(k + 1); },
        Dense::Layout::ColMajor, TensorType::int4);
    std::vector<uint32_t> ram(3, 0);
    write_fnp_neuron_words(ram.data(), 0, *w, 4, shape3(3, 1, 1), fnp::RowPadded, 4);
    EXPECT_EQ(ram, (std::vector<uint32_t>{0, 0, 0x000003E1}));
}

TEST(V2FnpNeuronWords, RowPaddedReadsTheInputXMajor) {
    // 2 x 2 x 2 input: rows yi, then channels ci, then xi; index xi*4 + yi*2 + ci.
    auto w = weights_tensor(8, 2, [](uint32_t k, uint32_t n) { return int(k + 1 + 8 * n); });
    std::vector<uint32_t> ram(8, 0);
    write_fnp_neuron_words(ram.data(), 1, *w, 8, shape3(2, 2, 2), fnp::RowPadded, 8);
    EXPECT_EQ(ram, (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 0x0E0A0D09, 0x100C0F0B}));

    // The same positions at 4 bits: each row of 4 nibbles is padded to a word.
    auto w4 = weights_tensor(
        8, 1, [](uint32_t k, uint32_t) { return int(k + 1); }, Dense::Layout::ColMajor,
        TensorType::int4);
    std::vector<uint32_t> ram4(4, 0);
    write_fnp_neuron_words(ram4.data(), 0, *w4, 4, shape3(2, 2, 2), fnp::RowPadded, 4);
    EXPECT_EQ(ram4, (std::vector<uint32_t>{0, 0, 0x6251, 0x8473}));
}

TEST(V2FnpNeuronWords, RunPaddedRunsOfBytes) {
    auto w = weights_tensor(12, 1, [](uint32_t k, uint32_t) { return int(k + 1); });
    std::vector<uint32_t> ram(6, 0);
    write_fnp_neuron_words(ram.data(), 0, *w, 8, shape3(3, 2, 2), fnp::RunPadded, 8);
    EXPECT_EQ(ram, (std::vector<uint32_t>{0, 0, 0x00090501, 0x000A0602, 0x000B0703, 0x000C0804}));
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

// ---------------------------------------------------------------------------
// Register words.

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

TEST(V2FnpRegisters, PackedFnp3GoldenWords) {
    const auto r = dense_regs({});
    EXPECT_EQ(r[1], 0x01000030u);
    EXPECT_EQ(r[3], 0x0501B0B3u);
    EXPECT_EQ(r[10], 0x00010001u);
    EXPECT_EQ(r[11], 0u);
    EXPECT_EQ(r[14], 0xA0000001u);
    EXPECT_EQ(r[15], 0x00030002u);
    EXPECT_EQ(r[16], 0u);
    EXPECT_EQ(r[17], 0x01100006u);
    EXPECT_EQ(r[28], 0u);
}

TEST(V2FnpRegisters, BufferFlagAndFnp2) {
    RegsArgs a;
    a.type = hw::Type::FNP2;
    a.buffer = true;
    const auto r = dense_regs(a);
    EXPECT_EQ(r[1], 0x00400030u);
    EXPECT_EQ(r[17], 0x01000005u);
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

TEST(V2FnpRegisters, OutputWidthBits) {
    RegsArgs a;
    a.activation = false;
    a.out = 28;
    auto r = dense_regs(a);
    EXPECT_EQ(r[3] & 0xF000, 0x3000u);
    a.out = 8;
    r = dense_regs(a);
    EXPECT_EQ(r[3] & 0xF000, 0x7000u);
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
