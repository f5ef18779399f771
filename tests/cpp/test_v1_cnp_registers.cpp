// v1 CNP threshold blocks and register words, computed by hand.
#include <gtest/gtest.h>

#include <map>

#include "backend/v1/cnp_program.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/np_registers.h"
#include "v1_test_util.h"

namespace vorna::v1 {
namespace {

using v1_test::cnp;
using v1_test::error_text;
using v1_test::int32_values;
using v1_test::make_net;
using v1_test::map_layer;
using v1_test::space;

uint32_t bits(uint32_t word, uint32_t low, uint32_t width) {
    return (word >> low) & ((width >= 32 ? 0 : (1u << width)) - 1u);
}

// ---- thresholds --------------------------------------------------------

TEST(V1CnpRegisters, ThresholdWords) {
    auto th = int32_values({-1, 524287, 5, -524288});
    auto st = int32_values({16, 1048575, 0, 32});
    EXPECT_EQ(format_cnp_thresholds(*th, *st, true, 0, 4),
              (std::vector<uint32_t>{0xFFFFF, 16, 0x7FFFF, 1048575, 5, 0, 0x80000, 32}));
    EXPECT_EQ(format_cnp_thresholds(*th, *st, true, 1, 2),
              (std::vector<uint32_t>{0x7FFFF, 1048575, 5, 0}));
    EXPECT_TRUE(format_cnp_thresholds(*th, *st, true, 4, 0).empty());

    // Without activation the thresholds are not read, however large.
    auto huge = int32_values({10000000, -10000000});
    auto steps = int32_values({1, 2});
    EXPECT_EQ(format_cnp_thresholds(*huge, *steps, false, 0, 2),
              (std::vector<uint32_t>{0x80000, 1, 0x80000, 2}));
}

TEST(V1CnpRegisters, ThresholdFailures) {
    auto steps = int32_values({16});
    EXPECT_EQ(
        error_text([&] { format_cnp_thresholds(*int32_values({524288}), *steps, true, 0, 1); }),
        "524288 cannot fit in a 20 bits signed integer.");
    EXPECT_EQ(
        error_text([&] { format_cnp_thresholds(*int32_values({-524289}), *steps, true, 0, 1); }),
        "-524289 cannot fit in a 20 bits signed integer.");

    struct Step {
        int32_t value;
        const char* message;
    } bad_steps[] = {
        {1048576,
         "Backend hardware(CNP): act_step should be between 0 and 65535. Receives "
         "act_step 65536."},
        {-20,
         "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step "
         "-1."},
    };
    for (const Step& s : bad_steps) {
        try {
            format_cnp_thresholds(*int32_values({0}), *int32_values({s.value}), false, 0, 1);
            FAIL() << "no exception for " << s.value;
        } catch (const CnpError& e) {
            EXPECT_STREQ(e.what(), s.message);
        }
    }

    auto floats = v1_test::float_values({1.0f});
    EXPECT_EQ(error_text([&] { format_cnp_thresholds(*floats, *steps, true, 0, 0); }),
              "Wrong requested type i for a tensor of type float32.");
    EXPECT_EQ(error_text([&] { format_cnp_thresholds(*steps, *floats, true, 0, 0); }),
              "Wrong requested type i for a tensor of type float32.");
    EXPECT_THROW(format_cnp_thresholds(*steps, *steps, true, 1, 1), std::invalid_argument);
}

// ---- word 27 -----------------------------------------------------------

TEST(V1CnpRegisters, PoolPadWord) {
    const PaddingParams all{1, 1, 1, 1};
    struct Case {
        NpSpace part;
        PaddingParams pad;
        uint32_t edges;
    } cases[] = {
        {space(0, 0, 4, 4, 2), all, (1u << 15) | (1u << 13)},
        {space(0, 0, 4, 4, 2), PaddingParams{}, 0},
        {space(4, 4, 4, 4, 2), all, (1u << 14) | (1u << 12)},
        {space(0, 0, 8, 8, 2), PaddingParams{1, 0, 0, 1}, (1u << 15) | (1u << 12)},
        {space(2, 2, 4, 4, 2), all, 0},
    };
    for (const Case& c : cases) {
        auto r = default_np_regs();
        r[27] = 0xFFFFFFFFu;
        format_cnp_pool_pad_reg(&r, 8, 8, c.part, 2, 2, 1, c.pad);
        // Bits 3, 7, 9-11 and 16-31 keep their value.
        EXPECT_EQ(r[27], 0xFFFF0E88u | 0x122u | c.edges) << c.part.x << "," << c.part.y;
    }
    auto r = default_np_regs();
    EXPECT_EQ(error_text([&] {
                  format_cnp_pool_pad_reg(&r, 8, 8, space(0, 0, 8, 8, 1), 8, 1, 0, PaddingParams{});
              }),
              "Attempted to write value 8 into a 3-bit field, which will cause an overflow.");
}

// ---- geometry ----------------------------------------------------------

struct Geometry {
    Shape input{8, 8, 4};
    uint8_t input_bits = 4;
    int kernel = 3;
    int stride = 1;
    PaddingParams padding{1, 1, 1, 1};
    int act_bits = 2;
    NpSpace part = space(0, 4, 8, 4, 4);
    NpSpace aux = space(0, 3, 8, 5, 4);
    uint32_t filters = 16;
    uint32_t start = 16;

    std::vector<uint32_t> run() const {
        auto r = default_np_regs();
        format_cnp_geometry_regs(&r, input, 5, input_bits, kernel, stride, padding, true, act_bits,
                                 part, aux, 1, 1, PaddingParams{}, filters, start, 2, 1);
        return r;
    }
};

TEST(V1CnpRegisters, GeometryOfABottomHalf) {
    // Bottom half of an 8x8x4 4-bit input, read with one row above it:
    // container (8 x 4 + 7) >> 3 = 4 bytes, 4 words per row, 5 rows.
    const auto r = Geometry{}.run();
    std::vector<uint32_t> expected = default_np_regs();
    // Word 8: i_size 4, offset -1, j_size 8; 24: pooled rows from 4; 25: 4
    // rows, 8 columns.
    const std::map<size_t, uint32_t> words{
        {1, 0x00400060},  {3, 0x05029002},  {4, 0x80000014},  {8, 0x0008F004}, {9, 3},
        {10, 0x00080005}, {11, 8},          {20, 0x30000000}, {24, 4},         {25, 0x00080004},
        {26, 0x00100010}, {28, 0x00040004}, {29, 0x00020000}};
    for (const auto& [w, v] : words) expected[w] = v;
    EXPECT_EQ(r, expected);
}

TEST(V1CnpRegisters, GeometryStrideAndPhases) {
    Geometry g;
    g.stride = 2;
    g.part = space(3, 3, 5, 5, 4);
    g.aux = space(2, 2, 6, 6, 4);
    const auto r = g.run();
    EXPECT_EQ(bits(r[20], 8, 1), 1u);
    // (1 + 3) % 2 = 0 on both axes.
    EXPECT_EQ(bits(r[9], 12, 1), 0u);
    EXPECT_EQ(bits(r[9], 28, 1), 0u);
    g.part = space(2, 2, 6, 6, 4);
    const auto odd = g.run();
    EXPECT_EQ(bits(odd[9], 12, 1), 1u);
    EXPECT_EQ(bits(odd[9], 28, 1), 1u);
    EXPECT_EQ(bits(odd[11], 0, 8), 8u);  // (6 + 3) rounded down to 8
}

TEST(V1CnpRegisters, GeometryPooledOutputBlock) {
    // 8x8 input, 3x3 kernel, stride 1, padding 1. Rows of the bottom half
    // (y 4, height 4): first centre 5, last 8, so outputs 4 to 7; columns of
    // the full width: outputs 0 to 7. Words 24 (origins) and 25 (sizes).
    struct Case {
        const char* what;
        NpSpace part;
        uint32_t pool_width;
        uint8_t pool_stride;
        PaddingParams pool_padding;
        uint32_t w24, w25;
    } cases[] = {
        // Pool 2, stride 2: rows from (4 + 0) / 2 = 2, size 1 - 2 + (2 - 2 + 7) / 2 = 2;
        // columns from 0, size 1 + 7 / 2 = 4.
        {"bottom, pool 2", space(0, 4, 8, 4, 4), 2, 2, PaddingParams{}, 2, 0x00040002},
        // Top half: outputs 0 to 3, rows from 0, size 1 + 3 / 2 = 2.
        {"top, pool 2", space(0, 0, 8, 4, 4), 2, 2, PaddingParams{}, 0, 0x00040002},
        // Pool 3, stride 2, pool padding 1 all round: rows from (4 + 1) / 2 = 2,
        // R = 7 + 1 + 1 = 9, size 1 - 2 + (2 - 3 + 9) / 2 = 3; columns
        // R = 7 + 1 + 1, size 1 + 4 = 5.
        {"bottom, pool 3 padded", space(0, 4, 8, 4, 4), 3, 2, PaddingParams{1, 1, 1, 1}, 2,
         0x00050003},
    };
    for (const Case& c : cases) {
        auto r = default_np_regs();
        format_cnp_geometry_regs(&r, Shape{8, 8, 4}, 0, 4, 3, 1, PaddingParams{1, 1, 1, 1}, true, 2,
                                 c.part, c.part, c.pool_width, c.pool_stride, c.pool_padding, 8, 0,
                                 1, 0);
        EXPECT_EQ(r[24], c.w24) << c.what;
        EXPECT_EQ(r[25], c.w25) << c.what;
    }
}

TEST(V1CnpRegisters, GeometryOverflows) {
    struct Case {
        const char* what;
        std::function<void(Geometry&)> edit;
        std::string message;
    } cases[] = {
        {"8-bit input", [](Geometry& g) { g.input_bits = 8; },
         "Attempted to write value 4 into a 2-bit field, which will cause an overflow."},
        {"act bits 8", [](Geometry& g) { g.act_bits = 8; },
         "Attempted to write value 4 into a 2-bit field, which will cause an overflow."},
        {"2048 filters", [](Geometry& g) { g.filters = 2048; },
         "Attempted to write value 2048 into a 11-bit field, which will cause an overflow."},
        {"2041 filters", [](Geometry& g) { g.filters = 2041; },
         "Attempted to write value 256 into a 8-bit field, which will cause an overflow."},
        {"offset -9",
         [](Geometry& g) {
             g.aux = space(0, 0, 8, 5, 4);
             g.part = space(0, 9, 8, 4, 4);
             g.input = Shape{8, 16, 4};
         },
         "-9 cannot fit in a 4 bits signed integer."},
    };
    for (const Case& c : cases) {
        Geometry g;
        c.edit(g);
        EXPECT_EQ(error_text([&] { g.run(); }), c.message) << c.what;
    }
    Geometry fits;
    fits.filters = 2040;
    EXPECT_EQ(bits(fits.run()[29], 16, 8), 255u);
}

// ---- register sets -----------------------------------------------------

std::map<std::string, int> conv_params(int k, int wb, std::map<std::string, int> extra = {}) {
    std::map<std::string, int> p{{"filters", 16},
                                 {"kernel_width", k},
                                 {"kernel_height", k},
                                 {"weights_bits", wb},
                                 {"act_bits", 2}};
    for (const auto& [key, v] : extra) p[key] = v;
    return p;
}

const hw::Ident kNp0{1, 2, 0, 0};
const hw::Ident kNp1{1, 2, 1, 0};

std::vector<hw::Component> two_nps(uint32_t f0 = 8, uint32_t f1 = 8) {
    const NpSpace all = space(0, 0, 8, 8, 4);
    return {cnp(kNp0, 0, f0, all, all), cnp(kNp1, f0, f1, all, all)};
}

TEST(V1CnpRegisters, StandardWeightLayoutWords) {
    struct Case {
        int k, wb;
        uint32_t rows_per_channel;  // word 11 bits 12-21
        uint32_t w20, w21_lo, w21_hi;
        uint32_t four_bit;
    } cases[] = {
        {3, 2, 4, 0, 8, 0, 0},                         // 16 words per channel / 4
        {3, 1, 4, 0, 0, 8, 0}, {3, 4, 8, 0, 8, 0, 1},  // 32 words per channel
        {1, 2, 4, 8, 0, 0, 0}, {1, 1, 4, 8, 0, 0, 0}, {5, 2, 4, 0, 8, 0, 0}, {7, 2, 8, 0, 8, 0, 0},
    };
    for (const Case& c : cases) {
        auto net = make_net(LayerType::Convolutional, conv_params(c.k, c.wb), 8, 8, 4);
        map_layer(*net.layer, two_nps());
        const CnpRegisterMap regs = format_std_cnp_regs(*net.layer, nullptr, false, false, {});
        ASSERT_EQ(regs.size(), 2u);
        for (const auto& [ident, r] : regs) {
            SCOPED_TRACE(::testing::Message() << "k " << c.k << " wb " << c.wb);
            EXPECT_EQ(bits(r[11], 12, 10), c.rows_per_channel);
            EXPECT_EQ(bits(r[11], 0, 8), 8u);
            EXPECT_EQ(bits(r[3], 2, 1), 0u);
            EXPECT_EQ(bits(r[3], 3, 1), c.four_bit);
            EXPECT_EQ(bits(r[20], 16, 11), c.w20);
            EXPECT_EQ(bits(r[20], 28, 3), static_cast<uint32_t>(c.k));
            EXPECT_EQ(bits(r[21], 0, 11), c.w21_lo);
            EXPECT_EQ(bits(r[21], 16, 11), c.w21_hi);
            EXPECT_EQ(r[22], 0u);
        }
    }
}

TEST(V1CnpRegisters, StandardSetPerNp) {
    auto net = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 4);
    map_layer(*net.layer, two_nps(), 5, 7);
    const CnpRegisterMap regs = format_std_cnp_regs(*net.layer, nullptr, false, false, {});
    const auto& r0 = regs.at(kNp0);
    const auto& r1 = regs.at(kNp1);
    // Neuron ranges; NP count, channel, 4-bit input, act_bits 2 and bit 15;
    // dual buffer.
    EXPECT_EQ(r0[26], 8u << 16);
    EXPECT_EQ(r1[26], (8u << 16) | 8u);
    EXPECT_EQ((std::vector<uint32_t>{bits(r0[3], 16, 8), bits(r0[3], 24, 8), bits(r0[3], 0, 2),
                                     bits(r0[3], 12, 2), bits(r0[3], 15, 1), bits(r0[1], 22, 1)}),
              (std::vector<uint32_t>{2, 5, 2, 1, 1, 1}));
    // Whole 8x8x4 input: 4 words per row, 8 rows; no pooling: window 1,
    // stride 1, no flag; routing from and to the DMA at col 0, span col 1,
    // route byte 7; no spikes, no reconfiguration.
    EXPECT_EQ((std::vector<uint32_t>{r0[4], r0[27], r0[44], r0[45], r0[46], r0[47], r0[2], r0[32]}),
              (std::vector<uint32_t>{0x80000020, 0x11, 0xFF080000, 0x07000000, 0, 0x100, 0, 0}));

    const auto opening = format_std_cnp_regs(*net.layer, nullptr, true, true, {});
    EXPECT_EQ(bits(opening.at(kNp0)[2], 7, 1), 1u);
    EXPECT_EQ(bits(opening.at(kNp0)[44], 2, 1), 1u);

    const auto without = format_std_cnp_regs(*net.layer, nullptr, false, false, {kNp0});
    ASSERT_EQ(without.size(), 1u);
    EXPECT_EQ(without.at(kNp1), r1);
}

TEST(V1CnpRegisters, StandardPooling) {
    struct Case {
        std::map<std::string, int> extra;
        uint32_t word27;
    } cases[] = {
        {{{"pool_type", 0}, {"pooling_width", 3}}, 0x11},
        {{{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}, 0x122},
        {{{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}}, 0x11},
        {{{"pool_type", 2}, {"pooling_width", 2}, {"pooling_height", 2}}, 0x22},
    };
    for (const Case& c : cases) {
        auto net = make_net(LayerType::Convolutional, conv_params(3, 2, c.extra), 8, 8, 4);
        map_layer(*net.layer, two_nps());
        const auto regs = format_std_cnp_regs(*net.layer, nullptr, false, false, {});
        EXPECT_EQ(regs.at(kNp0)[27], c.word27) << c.word27;
    }
}

TEST(V1CnpRegisters, PartialReconfigurationOnlyOnSharedNps) {
    auto net = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 4);
    auto next = v1_test::add_layer(net, LayerType::Convolutional, conv_params(3, 2), "next");
    map_layer(*net.layer, two_nps());
    const NpSpace all = space(0, 0, 8, 8, 16);
    map_layer(*next, {cnp(kNp1, 0, 16, all, all), cnp(hw::Ident{2, 2, 0, 0}, 0, 0, all, all)});
    const auto regs = format_std_cnp_regs(*net.layer, next, false, false, {});
    EXPECT_EQ(regs.at(kNp0)[32], 0u);
    EXPECT_EQ(bits(regs.at(kNp1)[32], 0, 1), 1u);
    EXPECT_EQ(bits(regs.at(kNp1)[32], 1, 1), 0u);  // a CNP
}

TEST(V1CnpRegisters, PartialReconfigurationWordsByHand) {
    auto net = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 4);
    auto next = v1_test::add_layer(net, LayerType::Convolutional, conv_params(3, 2), "next");
    map_layer(*net.layer, two_nps());
    const NpSpace all = space(0, 0, 8, 8, 16);
    auto next_mapping = map_layer(*next, {cnp(kNp1, 0, 16, all, space(0, 2, 8, 6, 16))});
    next_mapping->input_channel = 9;
    // The next layer reads the 8 x 8 x 16 output of this one, in 2 bits.
    ASSERT_EQ(next->input_dimensions().front(), (Shape{8, 8, 16}));
    ASSERT_EQ(next->input_bits(), 2u);

    const auto regs = format_std_cnp_regs(*net.layer, next, false, false, {});
    const auto& r0 = regs.at(kNp0);
    const auto& r1 = regs.at(kNp1);
    const auto words = [](const std::vector<uint32_t>& r) {
        return std::vector<uint32_t>{r[32], r[33], r[34], r[35], r[4], r[14]};
    };
    EXPECT_EQ(words(r0), (std::vector<uint32_t>{0, 0, 0, 0, 0x80000020, 0}));
    // Word 32: enable, CNP, reconfigure, 2-bit input (1 in bits 4-5), channel 9;
    // word 33: y 2 of the region read, x 0; word 34: its height 6 and width 8;
    // container of 8 2-bit values: 2 bytes, (16 x 2 + 3) / 4 = 8. Needed:
    // max(8 x 8 x 16 / 32 = 32, 8 words per row x 6 rows = 48) = 48, above the
    // 32 words this layer needs: words 4 and 14 grow to 48.
    EXPECT_EQ(words(r1),
              (std::vector<uint32_t>{0x09000015, 2, 0x00080006, 0x00020008, 0x80000030, 48}));
}

TEST(V1CnpRegisters, SeparableWeightLayoutWords) {
    auto net = make_net(LayerType::SeparableConvolutional, conv_params(3, 4), 8, 8, 4);
    map_layer(*net.layer, two_nps(10, 6));
    const auto regs = format_sep_cnp_regs(*net.layer, nullptr, false, false, {});
    ASSERT_EQ(regs.size(), 2u);
    // Depthwise: 4 channels of one row each = 8 words -> 16; 8 rows.
    for (const auto& [ident, r] : regs) {
        EXPECT_EQ(r[3] & 0x33Cu, 0x224u);  // separable, 4-bit code twice, bit 3 clear
        EXPECT_EQ(r[22], 8u << 16);
        EXPECT_EQ(bits(r[11], 12, 10), 0u);
        EXPECT_EQ(r[21], 0u);
        EXPECT_EQ(bits(r[20], 16, 11), 0u);
    }
    EXPECT_EQ(bits(regs.at(kNp0)[20], 0, 7), 2u);  // 10 filters: 2 rows per channel
    EXPECT_EQ(bits(regs.at(kNp1)[20], 0, 7), 1u);  // 6 filters: 1 row

    auto two_bit = make_net(LayerType::SeparableConvolutional, conv_params(3, 2), 8, 8, 4);
    map_layer(*two_bit.layer, two_nps());
    EXPECT_EQ(format_sep_cnp_regs(*two_bit.layer, nullptr, false, false, {}).at(kNp0)[3] & 0x33Cu,
              0x114u);

    auto wide = make_net(LayerType::SeparableConvolutional, conv_params(1, 8), 8, 8, 4);
    map_layer(*wide.layer, two_nps());
    EXPECT_EQ(error_text([&] { format_sep_cnp_regs(*wide.layer, nullptr, false, false, {}); }),
              "Attempted to write value 4 into a 2-bit field, which will cause an overflow.");
}

TEST(V1CnpRegisters, SetFailures) {
    auto p = LayerParams::create(LayerType::Convolutional, conv_params(3, 2));
    auto loose = Layer::create(p.get(), "loose");
    map_layer(*loose, two_nps());
    EXPECT_EQ(error_text([&] { format_std_cnp_regs(*loose, nullptr, false, false, {}); }),
              "The layer loose is not built.");

    // A component without placement is refused instead of being read.
    auto bare = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 4);
    map_layer(*bare.layer, {hw::Component(hw::Type::CNP1, kNp0)});
    EXPECT_THROW(format_std_cnp_regs(*bare.layer, nullptr, false, false, {}),
                 std::invalid_argument);

    // P2P output with two destinations.
    auto p2p = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 4);
    auto m = map_layer(*p2p.layer, two_nps());
    m->output_to_dma = true;
    m->outbound_components.push_back(m->outbound_components.front());
    EXPECT_EQ(error_text([&] { format_std_cnp_regs(*p2p.layer, nullptr, false, false, {}); }),
              "Cannot use P2P mode for multiple NPs.");
}

}  // namespace
}  // namespace vorna::v1
