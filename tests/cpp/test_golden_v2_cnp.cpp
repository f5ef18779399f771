// v2 program bytes of small CNP and HRC models, one per path of the register,
// weight-image, variable and look-up-table formatters, against the expected
// text in tests/data/golden/v2cnp/; a few words of them computed by hand.

#include <array>
#include <cstdint>
#include <tuple>
#include <vector>

#include "backend/v2/cnp_weights.h"
#include "golden_program.h"

namespace vorna {
namespace {

using golden::conv;
using golden::in;
using golden::L;
using golden::P;
using golden::Row;
using golden::with;
using LT = LayerType;

P dw(int kernel, int activation, const P& more = {}) {
    return with({{"kernel_size", kernel},
                 {"activation", activation},
                 {"kernel_stride", 1},
                 {"output_bits", 8},
                 {"weights_bits", 8}},
                more);
}
P hrc(int filters, int kernel, int activation, const P& more = {}) {
    return with({{"filters", filters},
                 {"kernel_size", kernel},
                 {"activation", activation},
                 {"kernel_stride", 1},
                 {"padding", 1},
                 {"output_bits", 8},
                 {"weights_bits", 8}},
                more);
}

// Per-neuron variables, shifts, padding values and look-up tables of every
// layer get distinct values inside their fields, so that each field and each
// word of a table shows in the bytes.
template <class T, class F>
void pattern(const Layer& layer, const char* name, F f) {
    if (!layer.variables()->has(name)) return;
    Dense& t = e2e::var(layer, name);
    T* d = t.data<T>();
    for (size_t i = 0; i < t.size(); ++i) d[i] = T(f(int(i)));
}
void vary_variables(Model& model) {
    for (const auto& layer : model.layers()) {
        const Layer& l = *layer;
        pattern<int8_t>(l, "bias", [](int i) { return 3 * i - 7; });
        pattern<uint8_t>(l, "bias_shift", [](int i) { return (i * 7 + 1) % 32; });
        pattern<uint8_t>(l, "output_scales", [](int i) { return 1 + (i * 29) % 255; });
        pattern<int8_t>(l, "output_shift", [](int i) { return (i * 5) % 13 - 6; });
        pattern<uint8_t>(l, "max_value", [](int i) { return 90 + i; });
        pattern<uint8_t>(l, "max_value_shift", [](int i) { return 20 + i % 11; });
        pattern<int8_t>(l, "activation_shift", [](int i) { return (i * 7) % 19 - 9; });
        pattern<uint8_t>(l, "activation_scales", [](int i) { return 130 + i * 3; });
        pattern<int32_t>(l, "lut_values", [](int i) { return (i * 37) % 16384 - 8192; });
        pattern<uint8_t>(l, "input_shift", [](int i) { return i % 3; });
        pattern<uint8_t>(l, "padding_value", [](int i) { return 17 + 40 * i; });
        // Add: the merged shift, output shift plus the larger input shift,
        // takes -4, 3, 2 and -1.
        pattern<uint8_t>(l, "a_shift", [](int i) { return i % 3; });
        pattern<uint8_t>(l, "b_shift", [](int i) { return (i + 1) % 3; });
        if (l.params()->layer_type() == LT::Add)
            pattern<int8_t>(l, "output_shift",
                            [](int i) { return std::array<int, 4>{-5, 1, 0, -2}[i % 4]; });
    }
}

// At most `filters` filters, `width` columns and `height` rows on one CNP
// (0: the default).
std::shared_ptr<MapConstraints> limits(const std::shared_ptr<Device>& d, uint32_t filters,
                                       uint32_t width, uint32_t height) {
    auto c = std::make_shared<MapConstraints>(d);
    if (filters) c->set_cnp_max_filters(filters);
    if (width) c->set_cnp_max_width(width);
    if (height) c->set_cnp_max_height(height);
    return c;
}

Row row(const char* name, std::vector<L> layers) {
    return Row{name, &Selvo_v2, "v2", std::move(layers), vary_variables};
}
Row split_row(const char* name, std::vector<L> layers, uint32_t filters, uint32_t width = 0,
              uint32_t height = 0) {
    Row r = row(name, std::move(layers));
    r.constraints = [filters, width, height](const std::shared_ptr<Device>& d) {
        return limits(d, filters, width, height);
    };
    return r;
}

// The last layer's potential leaves unscaled and unshifted.
Row potential_row(const char* name, std::vector<L> layers) {
    Row r = row(name, std::move(layers));
    r.prepare = [](Model& m) {
        vary_variables(m);
        const Layer& last = *m.layers().back();
        e2e::fill<int8_t>(e2e::var(last, "output_shift"), 0);
        e2e::fill<uint8_t>(e2e::var(last, "output_scales"), 1);
    };
    return r;
}

std::vector<Row> rows() {
    return {
        // HRC: kernels 3 (one channel, over 192 filters), 4, 5, 7; three
        // channels; ReLU and LUT; Valid, Same and SameUpper; max pooling.
        row("hrc_k3_c1_194f_relu",
            {{LT::InputData, "input", in(5, 5, 1)}, {LT::InputConv2D, "iconv", hrc(194, 3, 1)}}),
        row("hrc_k3_c3_lut_valid", {{LT::InputData, "input", in(6, 6, 3)},
                                    {LT::InputConv2D, "iconv", hrc(4, 3, 2, {{"padding", 0}})}}),
        row("hrc_k4_c1_relu4_pool3",
            {{LT::InputData, "input", in(8, 8, 1)},
             {LT::InputConv2D, "iconv",
              hrc(5, 4, 1,
                  {{"output_bits", 4}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}})},
             {LT::Conv2D, "conv", conv(2, 1, 1, {{"weights_bits", 4}, {"output_bits", 4}})}}),
        row("hrc_k5_c3_sameupper_s2",
            {{LT::InputData, "input", in(8, 8, 3)},
             {LT::InputConv2D, "iconv", hrc(4, 5, 1, {{"padding", 2}, {"kernel_stride", 2}})}}),
        row("hrc_k7_c1_s3_pool2",
            {{LT::InputData, "input", in(12, 12, 1)},
             {LT::InputConv2D, "iconv",
              hrc(7, 7, 1,
                  {{"kernel_stride", 3}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}})},
             {LT::Conv2D, "conv", conv(2, 1, 1)}}),

        // Conv2D: every 8-bit kernel, 4-bit and 2-bit weights, input and
        // output widths, strides, pooling kinds and activations.
        row("conv_k1_in4_relu",
            {{LT::InputData, "input", in(4, 4, 3, 4)},
             {LT::Conv2D, "conv", conv(30, 1, 1, {{"weights_bits", 4}, {"output_bits", 4}})}}),
        row("conv_k3_w4_out4_s2",
            {{LT::InputData, "input", in(6, 6, 2)},
             {LT::Conv2D, "conv",
              conv(10, 3, 1, {{"weights_bits", 4}, {"output_bits", 4}, {"kernel_stride", 2}})}}),
        row("conv_k3_lut",
            {{LT::InputData, "input", in(4, 4, 2)}, {LT::Conv2D, "conv", conv(10, 3, 2)}}),
        row("conv_k5_maxpool",
            {{LT::InputData, "input", in(6, 6, 2)},
             {LT::Conv2D, "a",
              conv(9, 5, 1, {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}})},
             {LT::Conv2D, "b", conv(2, 1, 1)}}),
        row("conv_k7_gap",
            {{LT::InputData, "input", in(7, 7, 2)},
             {LT::Conv2D, "conv", conv(9, 7, 1, {{"pool_type", 2}, {"pool_size", -1}})}}),
        row("conv_w4_k1_k5_k7", {{LT::InputData, "input", in(7, 7, 2)},
                                 {LT::Conv2D, "a", conv(25, 1, 1, {{"weights_bits", 4}})},
                                 {LT::Conv2D, "b", conv(9, 5, 1, {{"weights_bits", 4}})},
                                 {LT::Conv2D, "c", conv(9, 7, 1, {{"weights_bits", 4}})}}),
        row("conv_k3_c72",
            {{LT::InputData, "input", in(3, 3, 72)}, {LT::Conv2D, "conv", conv(2, 3, 1)}}),
        // A 28-bit potential out of the last layer, without activation.
        potential_row("conv_out28", {{LT::InputData, "input", in(4, 4, 2)},
                                     {LT::Conv2D, "conv", conv(3, 3, 0, {{"output_bits", 28}})}}),
        // A max-pooling layer without activation ahead of the next one.
        row("conv_pool_noact_then_conv",
            {{LT::InputData, "input", in(8, 8, 2)},
             {LT::Conv2D, "a",
              conv(4, 3, 0, {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}})},
             {LT::Conv2D, "b", conv(4, 3, 1)}}),

        // Depthwise: 8-bit kernels 3, 4, 5, 7 and 4-bit 3, 5, 7, each over
        // two NPs by channel ranges.
        split_row("dw_k3_lut_split",
                  {{LT::InputData, "input", in(5, 5, 4)}, {LT::DepthwiseConv2D, "a", dw(3, 2)}}, 2),
        split_row("dw_k5_k7_split",
                  {{LT::InputData, "input", in(7, 7, 4)},
                   {LT::DepthwiseConv2D, "a", dw(5, 1)},
                   {LT::DepthwiseConv2D, "b", dw(7, 0)}},
                  2),
        split_row("dw_w4_k3_k5_k7_split",
                  {{LT::InputData, "input", in(7, 7, 4, 4)},
                   {LT::DepthwiseConv2D, "a", dw(3, 1, {{"weights_bits", 4}, {"output_bits", 4}})},
                   {LT::DepthwiseConv2D, "b",
                    dw(5, 1, {{"weights_bits", 4}, {"output_bits", 4}, {"kernel_stride", 2}})},
                   {LT::DepthwiseConv2D, "c", dw(7, 1, {{"weights_bits", 4}, {"output_bits", 4}})}},
                  2),
        // A residual Add ahead of a depthwise layer over two NPs: merge
        // shifts cut to each NP's channels.
        split_row("add_dw_split",
                  {{LT::InputData, "input", in(5, 5, 4)},
                   {LT::Conv2D, "a", conv(4, 1, 1)},
                   {LT::Conv2D, "b", conv(4, 1, 1)},
                   {LT::Add, "add", {}, {"b", "a"}},
                   {LT::DepthwiseConv2D, "c", dw(3, 1)}},
                  2),
        // Columns over several NPs: the padding edges of the pooling word on
        // the first and last tile only.
        split_row("conv_width_split_pool",
                  {{LT::InputData, "input", in(9, 5, 2)},
                   {LT::Conv2D, "a",
                    conv(4, 3, 1, {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}})},
                   {LT::Conv2D, "b", conv(2, 1, 1)}},
                  0, 4),
        // Stride 2 over row and column tiles that start at odd positions.
        split_row("conv_s2_tiles",
                  {{LT::InputData, "input", in(9, 9, 2)},
                   {LT::Conv2D, "conv", conv(2, 3, 1, {{"kernel_stride", 2}})}},
                  0, 3, 3),
        // Separable: a depthwise layer followed by a pointwise one.
        row("separable", {{LT::InputData, "input", in(6, 6, 4)},
                          {LT::DepthwiseConv2D, "dw", dw(3, 0)},
                          {LT::Conv2D, "pw", conv(26, 1, 1)}}),

        // Transposed kinds, the depthwise one over two NPs.
        split_row("transposed_split",
                  {{LT::InputData, "input", in(4, 4, 4)},
                   {LT::Conv2DTranspose,
                    "convt",
                    {{"filters", 4}, {"kernel_size", 3}, {"activation", 1}}},
                   {LT::DepthwiseConv2DTranspose, "dwt", {{"kernel_size", 4}, {"activation", 2}}}},
                  2),
    };
}

TEST(GoldenV2Cnp, ProgramBytesOfEveryFormatterPath) {
    for (const Row& r : rows()) golden::expect_golden("v2cnp", r);
}

// One DMA block of a mapped program: the NP, target and offset of its header
// and its payload.
struct Block {
    uint32_t col, row, id, target, offset;
    std::vector<uint32_t> words;
};

// Every block of every record of the first sequence, in order.
std::vector<Block> blocks_of(const Model& model) {
    const ByteView program = model.sequences().at(0)->program();
    const uint32_t info_size = e2e::read_u32(program.data) + 4;
    const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(program.data + info_size);
    std::vector<Block> out;
    for (const auto* pass : *data->passes()) {
        for (const auto* record : *pass->records()) {
            if (!record->tracks()) continue;
            for (const auto* track : *record->tracks()) {
                const std::vector<uint32_t> w = e2e::words(track->data());
                for (size_t i = 0; i + 2 <= w.size();) {
                    const bool xl = (w[i] >> 19) & 1u;
                    const size_t n = xl ? (w[i + 1] >> 16) * 16 : w[i] >> 24;
                    out.push_back(
                        {w[i] & 0xFFu, (w[i] >> 8) & 0xFFu, (w[i] >> 16) & 7u, (w[i] >> 20) & 0xFu,
                         w[i + 1] & 0xFFFFu,
                         std::vector<uint32_t>(w.begin() + i + 2, w.begin() + i + 2 + n)});
                    i += 2 + n;
                }
            }
        }
    }
    return out;
}

// The payload of the first block for NP (col, row, id) and `target` whose
// size is `size` (any size when 0).
std::vector<uint32_t> payload(const std::vector<Block>& blocks, uint32_t col, uint32_t row,
                              uint32_t id, uint32_t target, size_t size = 0) {
    for (const Block& b : blocks) {
        if (b.col == col && b.row == row && b.id == id && b.target == target &&
            (size == 0 || b.words.size() == size))
            return b.words;
    }
    ADD_FAILURE() << "no block of target " << target << " for NP " << col << "," << row << ","
                  << id;
    return {};
}

std::shared_ptr<Model> mapped(const char* name) {
    for (const Row& r : rows())
        if (r.name == name) return golden::build_and_map(r);
    throw std::runtime_error(std::string("no row ") + name);
}

uint8_t byte_of(const std::vector<uint32_t>& words, size_t i) {
    return uint8_t(words.at(i / 4) >> (8 * (i % 4)));
}

// A depthwise layer over two NPs of two channels each: the channel-group bit,
// the cut words, the cut input shifts and the per-neuron words of the NP's
// channels, with the activation shift straddling the two words.
TEST(GoldenV2Cnp, DepthwiseChannelRangesByHand) {
    const auto model = mapped("dw_k3_lut_split");
    const auto blocks = blocks_of(*model);
    const auto regs0 = payload(blocks, 1, 2, 0, dma::NpRegisters);
    const auto regs1 = payload(blocks, 1, 2, 1, dma::NpRegisters);
    ASSERT_EQ(regs1.size(), 64u);
    ASSERT_EQ(regs0.size(), 64u);
    EXPECT_EQ(regs0[22], 0x00020000u);  // channels 0-1: cut at 0, two channels
    EXPECT_EQ(regs1[22], 0x00020002u);  // channels 2-3: cut at 2, two channels
    EXPECT_EQ(regs1[23], regs0[23]);
    EXPECT_EQ((regs1[3] >> 10) & 1u, 1u);
    EXPECT_EQ((regs1[3] >> 2) & 1u, 1u);
    EXPECT_EQ((regs1[1] >> 20) & 1u, 1u);         // look-up table
    EXPECT_EQ((regs1[11] >> 12) & 0x3FFFFu, 2u);  // one 100-bit word per channel
    EXPECT_EQ(payload(blocks, 1, 2, 1, dma::InputShift), (std::vector<uint32_t>{2, 0}));

    // Neuron 0: scale 1, bias -7, bias shift 1, output shift -6, activation
    // shift -9 (0b110111), activation scale 130.
    const auto vars0 = payload(blocks, 1, 2, 0, dma::NeuronVariables);
    ASSERT_EQ(vars0.size(), 4u);
    EXPECT_EQ(vars0[0], 0x01u | 0xF9u << 8 | 1u << 16 | 0x3Au << 21 | 0x17u << 27);
    EXPECT_EQ(vars0[1], 1u | 130u << 1);
    // Neuron 2: scale 59, bias -1, bias shift 15, output shift 4, activation
    // shift 5, activation scale 136.
    const auto vars1 = payload(blocks, 1, 2, 1, dma::NeuronVariables);
    ASSERT_EQ(vars1.size(), 4u);
    EXPECT_EQ(vars1[0], 59u | 0xFFu << 8 | 15u << 16 | 4u << 21 | 5u << 27);
    EXPECT_EQ(vars1[1], 136u << 1);

    // Entries 2 and 3 of the table, -8118 and -8081, as 14-bit fields.
    const auto lut = payload(blocks, 1, 2, 1, dma::CnpLut);
    ASSERT_EQ(lut.size(), 1024u);
    EXPECT_EQ(lut[1], 0x206F204Au);
    EXPECT_EQ(lut[1023], uint32_t((2047 * 37 % 16384 - 8192) & 0x3FFF) << 16 |
                             uint32_t((2046 * 37 % 16384 - 8192) & 0x3FFF));
}

// Merge shifts of an Add cut to a depthwise NP's channels 2 and 3; the
// pooling word of three column tiles, the right padding edge on the last.
TEST(GoldenV2Cnp, MergeSliceAndPoolingEdgesByHand) {
    // Channel 0: A 0, B 1, T -5: sum -4 (4 in three bits), 1 + 128 + 64.
    // Channel 1: A 1, B 2, T 1: sum 3, 1 + 128 + 48. Channel 2: A 2, B 0,
    // T 0: sum 2, 2 + 32. Channel 3: A 0, B 1, T -2: sum -1, 1 + 128 + 112.
    const auto merged = blocks_of(*mapped("add_dw_split"));
    EXPECT_EQ(payload(merged, 2, 1, 0, dma::MergeShift), (std::vector<uint32_t>{0xB1C1u}));
    EXPECT_EQ(payload(merged, 2, 1, 1, dma::MergeShift), (std::vector<uint32_t>{0xF122u}));

    const auto blocks = blocks_of(*mapped("conv_width_split_pool"));
    // Pool size 2, stride 2, pooling on, bottom padding edge (five rows).
    const uint32_t inner = 2u | 2u << 4 | 1u << 8 | 1u << 14;
    for (uint32_t id = 0; id < 3; ++id)
        EXPECT_EQ(payload(blocks, 1, 2, id, dma::NpRegisters).at(27), inner | (id == 2) << 12)
            << "tile " << id;
}

// The first block of `size` words, whatever its NP and target.
std::vector<uint32_t> sized(const std::vector<Block>& blocks, size_t size) {
    for (const Block& b : blocks)
        if (b.words.size() == size) return b.words;
    ADD_FAILURE() << "no block of " << size << " words";
    return {};
}

// Conv2D images: 8-bit kernel 7 keeps a filter row in 16 bytes with the
// seventh weight split over bytes 6 and 8, groups of 8 filters 224 words
// apart; 4-bit kernel 1 puts 12 nibbles in each 48-bit half.
TEST(GoldenV2Cnp, ConvImagesByHand) {
    {
        const auto model = mapped("conv_k7_gap");
        const Dense& w = e2e::var(*model->get_layer("conv"), "weights");
        auto weight = [&](uint32_t i, uint32_t j, uint32_t c, uint32_t f) {
            return uint8_t(w.data<int8_t>()[w.offset_of({i, j, c, f})]);
        };
        // 9 filters: 2 groups of 56 100-bit words, 448 words per channel.
        const auto image = sized(blocks_of(*model), 896);
        ASSERT_EQ(image.size(), 896u);
        for (const auto& [c, f, j] :
             {std::tuple<uint32_t, uint32_t, uint32_t>{0, 0, 0}, {0, 3, 6}, {1, 8, 1}}) {
            const size_t at = c * 448 * 4 + (f / 8) * 224 * 4 + j * 128 + (f % 8) * 16;
            for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(byte_of(image, at + i), weight(i, j, c, f));
            EXPECT_EQ(byte_of(image, at + 6), weight(6, j, c, f) & 3);
            EXPECT_EQ(byte_of(image, at + 7), 0);
            EXPECT_EQ(byte_of(image, at + 8), weight(6, j, c, f) >> 2);
        }
    }
    const auto model = mapped("conv_k1_in4_relu");
    const Dense& w = e2e::var(*model->get_layer("conv"), "weights");
    // 30 filters: two 100-bit words (8 words) per channel, 3 channels.
    const auto image = sized(blocks_of(*model), 24);
    std::vector<uint32_t> want(24, 0);
    for (uint32_t c = 0; c < 3; ++c)
        for (uint32_t f = 0; f < 30; ++f) {
            const uint32_t nibble = uint8_t(w.data<int8_t>()[w.offset_of({0, 0, c, f})]) & 0xFu;
            const uint32_t bit = 4 * (f % 12);
            want[8 * c + 2 * (f / 12) + bit / 32] |= nibble << (bit % 32);
        }
    EXPECT_EQ(image, want);
}

// The HRC register words of a kernel-4 single-channel ReLU layer with 4-bit
// output and 3x3 max pooling of stride 2, and the look-up-table and
// activation words of a LUT layer.
TEST(GoldenV2Cnp, HrcWordsByHand) {
    {
        const auto blocks = blocks_of(*mapped("hrc_k4_c1_relu4_pool3"));
        const auto regs = payload(blocks, 0, 0, 0, dma::IpRegisters, 5);
        const uint32_t w0 = 1u | 1u << 4 | 2u << 8 | 1u << 10 | 1u << 12 | 1u << 16 | 1u << 17 |
                            3u << 24 | 3u << 28;
        // Same padding of kernel 4: one column or row before, two after.
        EXPECT_EQ(regs, (std::vector<uint32_t>{w0, 0x02020101u, 17u, 0x2121u, 4u << 16}));
    }
    const auto blocks = blocks_of(*mapped("hrc_k3_c3_lut_valid"));
    const auto regs = payload(blocks, 0, 0, 0, dma::IpRegisters, 5);
    EXPECT_EQ(regs[0], 1u | 3u << 8 | 1u << 11 | 1u << 13 | 1u << 15 | 1u << 20 | 1u << 21);
    EXPECT_EQ(regs[2], 17u | 57u << 8 | 97u << 16);  // padding values of the three channels
    const auto lut = payload(blocks, 0, 0, 0, dma::HrcSram, 2048);
    ASSERT_EQ(lut.size(), 2048u);
    EXPECT_EQ(lut[0], 0x2000u);
    EXPECT_EQ(lut[1], 0x2025u);
    EXPECT_EQ(lut[2047], uint32_t(2047 * 37 % 16384 - 8192));
    // Neuron 0: scale 1, bias -7, bias shift 1, output shift -6, activation
    // shift -9, activation scale 130.
    const auto act = payload(blocks, 0, 0, 0, dma::HrcSram, 8);
    EXPECT_EQ(act[0], 1u | 0xF9u << 8 | 1u << 16);
    EXPECT_EQ(act[1], 130u << 13 | 55u << 7 | 58u << 1);
    // Neuron 3: scale 88, bias 2, bias shift 22 (bit 4 in the second word),
    // output shift -4, activation shift -7, activation scale 139.
    EXPECT_EQ(act[6], 6u << 16 | 2u << 8 | 88u);
    EXPECT_EQ(act[7], 139u << 13 | 57u << 7 | 60u << 1 | 1u);
}

// The 8-bit kernel-5 depthwise image: five weights and a gap byte a row,
// channels 30 bytes apart, and the layout table behind it.
TEST(GoldenV2Cnp, DepthwiseKernel5ImageByHand) {
    const auto model = mapped("dw_k5_k7_split");
    const auto blocks = blocks_of(*model);
    const Dense& w = e2e::var(*model->get_layer("a"), "weights");
    auto weight = [&](uint32_t x, uint32_t y, uint32_t c) {
        return uint8_t(w.data<int8_t>()[w.offset_of({x, y, 0, c})]);
    };
    std::vector<uint32_t> image;
    for (const Block& b : blocks)
        if (b.target == dma::CnpWeightsAlt && b.words.size() == 18) {
            image = b.words;
            break;
        }
    ASSERT_EQ(image.size(), 18u);
    std::vector<uint8_t> want(72, 0);
    for (uint32_t c = 0; c < 2; ++c)
        for (uint32_t y = 0; y < 5; ++y)
            for (uint32_t x = 0; x < 5; ++x) want[30 * c + 6 * y + x] = weight(x, y, c);
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(byte_of(image, i), want[i]) << "byte " << i;

    struct Layout {
        uint32_t k, before_gap, in_row, after_row, per_channel, words, last;
    };
    for (const Layout& l : {Layout{3, 3, 0, 0, 12, 3, 1}, Layout{4, 4, 0, 2, 24, 3, 1},
                            Layout{5, 5, 0, 1, 30, 3, 1}, Layout{7, 4, 2, 3, 84, 3, 1}}) {
        const v2::DwcWeightLayout& d = v2::dwc_weight_layout(l.k);
        EXPECT_EQ((std::vector<uint32_t>{d.row_bytes_before_gap, d.gap_in_row, d.gap_after_row,
                                         d.bytes_per_channel, d.words_per_100b, d.last}),
                  (std::vector<uint32_t>{l.before_gap, l.in_row, l.after_row, l.per_channel,
                                         l.words, l.last}))
            << "kernel " << l.k;
    }
}

}  // namespace
}  // namespace vorna
