// v1 CNP register words, programs, weight images and sizes: hand-computed
// values and refusals.

#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "backend/v1/cnp_program.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/cnp_sizes.h"
#include "backend/v1/cnp_weights.h"
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
        // 4-bit rows 1024 wide fill a 512-byte container: one past word 28's 9-bit field.
        {"container 512",
         [](Geometry& g) {
             g.input = Shape{1024, 8, 4};
             g.aux = space(0, 3, 1024, 5, 4);
         },
         "Attempted to write value 512 into a 9-bit field, which will cause an overflow."},
        {"offset -9",
         [](Geometry& g) {
             g.aux = space(0, 0, 8, 5, 4);
             g.part = space(0, 9, 8, 4, 4);
             g.input = Shape{8, 16, 4};
         },
         "-9 cannot fit in a 4 bits signed integer."},
        {"offset 8",
         [](Geometry& g) {
             g.aux = space(0, 9, 8, 5, 4);
             g.part = space(0, 1, 8, 4, 4);
             g.input = Shape{8, 16, 4};
         },
         "8 cannot fit in a 4 bits signed integer."},
    };
    for (const Case& c : cases) {
        Geometry g;
        c.edit(g);
        EXPECT_EQ(error_text([&] { g.run(); }), c.message) << c.what;
    }
    Geometry fits;
    fits.filters = 2040;
    EXPECT_EQ(bits(fits.run()[29], 16, 8), 255u);
    Geometry widest;
    widest.input = Shape{1022, 8, 4};
    widest.aux = space(0, 3, 1022, 5, 4);
    EXPECT_EQ(bits(widest.run()[28], 16, 9), 511u);
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

TEST(V1CnpRegisters, GeometryReadRegionWords) {
    // 16 x 16 input, 3 x 3 kernel, stride 2, padding 1: the NP owns a
    // w 8 x h 4 block at (x, y) and reads a 10 x 6 region at (x - 1, y - 1)
    // or (x - 2, y - 2).
    // Word 8: i_size | i_offset << 12 | j_size << 16 | j_offset << 28.
    // Word 9: i_orig | (i_phase != 0) << 12 | j_orig << 16 | (j_phase != 0) << 28,
    //         phases (1 + y) mod 2 and (1 + x) mod 2.
    // Word 10: i_size_cut | j_size_cut << 16.
    struct Case {
        int32_t x, y, back;
        uint32_t w8, w9, w10;
    } cases[] = {
        {4, 4, 1, 0xF008F004u, 0x10031003u, 0x000A0006u},  // phases 1, offsets -1
        {5, 5, 2, 0xE008E004u, 0x00030003u, 0x000A0006u},  // phases 0, offsets -2
        {4, 7, 1, 0xF008F004u, 0x10030006u, 0x000A0006u},  // row phase 0 only
    };
    for (const Case& c : cases) {
        Geometry g;
        g.input = Shape{16, 16, 4};
        g.stride = 2;
        g.part = space(c.x, c.y, 8, 4, 4);
        g.aux = space(c.x - c.back, c.y - c.back, 10, 6, 4);
        const auto r = g.run();
        EXPECT_EQ(r[8], c.w8) << c.x << "," << c.y;
        EXPECT_EQ(r[9], c.w9) << c.x << "," << c.y;
        EXPECT_EQ(r[10], c.w10) << c.x << "," << c.y;
    }
}

TEST(V1CnpRegisters, WrongSizedFileIsRefused) {
    std::vector<uint32_t> short_file(49, 0);
    EXPECT_THROW(format_cnp_pool_pad_reg(&short_file, 8, 8, space(0, 0, 8, 8, 1), 1, 1, 0, {}),
                 std::invalid_argument);
    Geometry g;
    EXPECT_THROW(format_cnp_geometry_regs(&short_file, g.input, 5, 4, 3, 1, g.padding, true, 2,
                                          g.part, g.aux, 1, 1, PaddingParams{}, 16, 0, 1, 1),
                 std::invalid_argument);
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

TEST(V1CnpRegisters, StandardPooling) {
    // Word 27: pooling window in bits 0-3 (width) and 4-7 (height), max
    // pooling flag in bit 8. Pool type 2 with a window of -1 pools nothing.
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

    // Word 22 bits 16-29 hold D >> 1 in 14 bits: 4-bit 3x3 depthwise weights
    // take two words a channel, so 16376 channels write 16376 and 16384
    // channels (D = 32768) overflow the field.
    auto most = make_net(LayerType::SeparableConvolutional, conv_params(3, 4), 8, 8, 16376);
    map_layer(*most.layer, two_nps());
    EXPECT_EQ(format_sep_cnp_regs(*most.layer, nullptr, false, false, {}).at(kNp0)[22],
              16376u << 16);
    auto deep = make_net(LayerType::SeparableConvolutional, conv_params(3, 4), 8, 8, 16384);
    map_layer(*deep.layer, two_nps());
    EXPECT_EQ(error_text([&] { format_sep_cnp_regs(*deep.layer, nullptr, false, false, {}); }),
              "Attempted to write value 16384 into a 14-bit field, which will cause an overflow.");
}

using v1_test::Block;
using v1_test::blocks_of;
using v1_test::Net;
using v1_test::set;

const hw::Ident kNps[3] = {{1, 2, 0, 0}, {1, 2, 1, 0}, {2, 2, 0, 0}};

std::map<std::string, int> params(int k, int wb) {
    return {{"filters", 12},
            {"kernel_width", k},
            {"kernel_height", k},
            {"weights_bits", wb},
            {"act_bits", 2}};
}

// Where a block goes: NP, target and offset.
std::tuple<hw::Ident, uint32_t, uint32_t> where(const Block& b) {
    return {b.np, b.target, b.offset};
}

std::tuple<hw::Ident, uint32_t, uint32_t> at(const hw::Ident& np, uint32_t target,
                                             uint32_t offset = 0) {
    return {np, target, offset};
}

// A layer of 12 filters on three NPs of four filters each, thresholds
// 100 x i - 500 and steps of 1.0 (16 in sixteenths).
Net three_np_layer(LayerType type, int k, int wb, uint32_t channels) {
    Net net = make_net(type, params(k, wb), 8, 8, channels);
    const NpSpace all = space(0, 0, 8, 8, channels);
    map_layer(*net.layer, {cnp(kNps[0], 0, 4, all, all), cnp(kNps[1], 4, 4, all, all),
                           cnp(kNps[2], 8, 4, all, all)});
    std::vector<int32_t> th;
    for (int i = 0; i < 12; ++i) th.push_back(100 * i - 500);
    net.layer->variables()->set("threshold", v1_test::int32_values(th));
    net.layer->variables()->set("act_step", v1_test::float_values(std::vector<float>(12, 1.0f)));
    return net;
}

TEST(V1CnpProgram, LeftOutNpStillGetsWeightsAndThresholds) {
    // Without the unused-NP flag an NP listed in `nps` gets an empty register
    // block, then its weight and threshold blocks as usual.
    Net net = three_np_layer(LayerType::Convolutional, 3, 2, 4);
    const v1_test::V1Device device;
    const auto record =
        record_program_conv_layer(device, *net.layer, nullptr, false, false, {kNps[1]}, false);
    const auto blocks = blocks_of(*record);
    ASSERT_EQ(blocks.size(), 9u);
    EXPECT_EQ(blocks[0].payload.size(), 50u);
    EXPECT_EQ(where(blocks[3]), at(kNps[1], 7));
    EXPECT_TRUE(blocks[3].payload.empty());
    EXPECT_EQ(where(blocks[4]), at(kNps[1], 0));
    // 4 filters, 2 planes: 8 kernels in ceil(8 / 5) = 2 rows, 8 rows = 16
    // words per input channel, 4 channels.
    EXPECT_EQ(blocks[4].payload.size(), 64u);
    EXPECT_EQ(where(blocks[5]), at(kNps[1], 4));
    // Thresholds 100 x i - 500 for filters 4..7: -100, 0, 100, 200; steps 16.
    EXPECT_EQ(blocks[5].payload, (std::vector<uint32_t>{0xFFF9C, 16, 0, 16, 100, 16, 200, 16}));
    EXPECT_EQ(blocks[6].payload.size(), 50u);
}

std::shared_ptr<Dense> dense(const Layer& layer, const char* name) {
    return std::dynamic_pointer_cast<Dense>(layer.variables()->get(name));
}

std::vector<uint32_t> expected_thresholds(uint32_t start) {
    std::vector<uint32_t> w;
    for (uint32_t i = start; i < start + 4; ++i) {
        w.push_back(static_cast<uint32_t>(100 * static_cast<int>(i) - 500) & 0xFFFFFu);
        w.push_back(16);
    }
    return w;
}

TEST(V1CnpProgram, SeparableBlocksAndPointwiseOffset) {
    // 17 channels of 4-bit 3x3 depthwise kernels: one row each, 34 words,
    // so the pointwise block starts at (34 + 15) / 16 = 3.
    Net net = three_np_layer(LayerType::SeparableConvolutional, 3, 4, 17);
    auto dw = dense(*net.layer, "weights");
    auto pw = dense(*net.layer, "weights_pw");
    v1_test::set<int8_t>(*dw, {0, 16, 2, 2}, -3);
    for (uint32_t f = 0; f < 12; ++f)
        v1_test::set<int8_t>(*pw, {f, 0, 0, 0}, static_cast<int8_t>(f % 8 - 4));
    const v1_test::V1Device device;

    const auto record =
        record_program_sep_conv_layer(device, *net.layer, nullptr, false, false, {}, false);
    const auto blocks = blocks_of(*record);
    ASSERT_EQ(blocks.size(), 12u);
    const auto dw_words = format_sep_cnp_dw_weights(*dw, 4);
    ASSERT_EQ(dw_words.size(), 34u);
    const auto regs = format_sep_cnp_regs(*net.layer, nullptr, false, false, {});
    for (uint32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        const Block* b = &blocks[4 * n];
        EXPECT_EQ(where(b[0]), at(kNps[n], 7));
        EXPECT_EQ(b[0].payload, regs.at(kNps[n]));
        EXPECT_EQ(where(b[1]), at(kNps[n], 0, 0));
        EXPECT_EQ(b[1].payload, dw_words);
        EXPECT_EQ(where(b[2]), at(kNps[n], 0, 3));
        EXPECT_EQ(b[2].payload, format_sep_cnp_pw_weights(*pw, 4, 4 * n, 4));
        EXPECT_EQ(where(b[3]), at(kNps[n], 4));
        EXPECT_EQ(b[3].payload, expected_thresholds(4 * n));
    }
    // Channel 16 is row 16: its last code (-3 -> 0xD) at bit 32.
    EXPECT_EQ(blocks[1].payload[33], 0xDu);
    // Pointwise, NP 1: filters 4..7 of channel 0 are 0, 1, 2, 3.
    EXPECT_EQ(blocks[6].payload[0], 0x3210u);

    const auto unused =
        record_program_sep_conv_layer(device, *net.layer, nullptr, false, false, {}, true);
    EXPECT_EQ(blocks_of(*unused).size(), 3u);
}

TEST(V1CnpProgram, Failures) {
    const v1_test::V1Device device;
    Net net = three_np_layer(LayerType::Convolutional, 3, 2, 4);
    std::vector<float> steps(12, 1.0f);
    steps[9] = 70000.0f;  // 1120000 sixteenths
    net.layer->variables()->set("act_step", v1_test::float_values(steps));
    try {
        record_program_conv_layer(device, *net.layer, nullptr, false, false, {}, false);
        FAIL() << "no exception";
    } catch (const CnpError& e) {
        EXPECT_STREQ(e.what(),
                     "Backend hardware(CNP): act_step should be between 0 and 65535. Receives "
                     "act_step 70000.");
    }
    // Registers only: the thresholds are not formatted.
    EXPECT_NO_THROW(record_program_conv_layer(device, *net.layer, nullptr, false, false, {}, true));

    Net sep = three_np_layer(LayerType::SeparableConvolutional, 3, 2, 4);
    EXPECT_THROW(record_program_conv_layer(device, *sep.layer, nullptr, false, false, {}, false),
                 std::bad_cast);
}

using v1_test::tensor;

// Standard weights (filters, channels, k, k), int8, first dimension fastest.
std::shared_ptr<Dense> std_weights(uint32_t f, uint32_t c, uint32_t k) {
    return tensor(TensorType::int8, {f, c, k, k});
}

TEST(V1CnpWeights, PointwiseWidthOutsideTheRowIsRefused) {
    auto pw = tensor(TensorType::int8, {8, 2});
    for (const int bits : {0, -2, 49}) {
        EXPECT_EQ(v1_test::exception_text([&] { format_sep_cnp_pw_weights(*pw, bits, 0, 8); }),
                  "CNP: unsupported pointwise weight width.")
            << bits;
    }
}

TEST(V1CnpWeights, PointwiseKernelRowHoldsTwentyFourFilters) {
    // A 1x1 kernel keeps both planes: two bits per filter, 48 bits per 64-bit row, so filter 24
    // opens row 1 (word 2). 25 filters round to 32: 64 plane bits, two rows, one 16-word block.
    auto w = std_weights(25, 1, 1);
    v1_test::set<int8_t>(*w, {0, 0, 0, 0}, -1);   // plane 1 of filter 0: row 0 bit 1
    v1_test::set<int8_t>(*w, {23, 0, 0, 0}, -1);  // row 0 bit 47
    v1_test::set<int8_t>(*w, {24, 0, 0, 0}, 1);   // row 1 bit 0
    std::vector<uint32_t> expected(16, 0);
    expected[0] = 0x2;
    expected[1] = 0x8000;
    expected[2] = 0x1;
    EXPECT_EQ(format_std_cnp_weights(w, false, 0, 25), expected);
}

TEST(V1CnpWeights, StandardFailures) {
    auto rect = tensor(TensorType::int8, {2, 1, 3, 5});
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(rect, true, 0, 2); }),
              "CNP: width and height must be equal.");
    auto w = std_weights(4, 1, 3);
    EXPECT_THROW(format_std_cnp_weights(w, true, 2, 3), std::invalid_argument);
    EXPECT_THROW(format_std_cnp_weights(nullptr, true, 0, 1), std::invalid_argument);
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(std_weights(1, 1, 2), true, 0, 1); }),
              "Unsupported kernel size");
    auto wide = tensor(TensorType::int32, {2, 1, 3, 3});
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(wide, true, 0, 2); }),
              "Wrong requested type a for a tensor of type int32.");
}

std::vector<uint32_t> with_words(size_t n, std::map<size_t, uint32_t> nonzero) {
    std::vector<uint32_t> w(n, 0);
    for (const auto& [i, v] : nonzero) w[i] = v;
    return w;
}

TEST(V1CnpWeights, SmallSignedFields) {
    EXPECT_EQ(int32_to_intN<2>(-2), 2u);
    EXPECT_EQ(int32_to_intN<2>(-1), 3u);
    EXPECT_EQ(int32_to_intN<2>(0), 0u);
    EXPECT_EQ(int32_to_intN<2>(1), 1u);
    EXPECT_EQ(int32_to_intN<4>(-8), 8u);
    EXPECT_EQ(int32_to_intN<4>(-1), 15u);
    EXPECT_EQ(int32_to_intN<4>(7), 7u);
    EXPECT_EQ(error_text([] { int32_to_intN<2>(2); }), "2 cannot fit in a 2 bits signed integer.");
    EXPECT_EQ(error_text([] { int32_to_intN<2>(-3); }),
              "-3 cannot fit in a 2 bits signed integer.");
    EXPECT_EQ(error_text([] { int32_to_intN<4>(8); }), "8 cannot fit in a 4 bits signed integer.");
    EXPECT_EQ(error_text([] { int32_to_intN<4>(-9); }),
              "-9 cannot fit in a 4 bits signed integer.");
}

TEST(V1CnpWeights, StandardSizes) {
    struct Case {
        uint32_t k, ch, f, b, words;
    } cases[] = {
        {3, 1, 8, 1, 16},    // ceil(8 / 5) = 2 rows -> 8 rows
        {3, 1, 8, 2, 16},    // ceil(16 / 5) = 4 rows
        {1, 1, 24, 1, 16},   // k = 1 counts two planes: 48 bits, 1 row
        {1, 1, 200, 2, 32},  // ceil(400 / 48) = 9 rows -> 16 rows
        {7, 3, 8, 2, 96},    // 16 rows -> 32 words per channel
        {1, 2, 8, 4, 64},    // u = ceil(32 / 48) = 1 -> 16; 2 x 2 x 16
        {3, 2, 16, 4, 64},   // u = 16 x 6 / 8 = 12 -> 16
        {5, 3, 8, 4, 96},    // u = 16
        {7, 1, 9, 4, 192},   // u = 16 x 42 / 8 = 84 -> 96
        {3, 1, 8, 8, 0xFFFFFFFFu}, {3, 1, 8, 3, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(get_std_cnp_sram_size(c.k, c.ch, c.f, c.b), c.words)
            << "k " << c.k << " ch " << c.ch << " F " << c.f << " b " << c.b;
    }
    for (uint32_t b : {1u, 2u, 4u}) {
        EXPECT_EQ(error_text([&] { get_std_cnp_sram_size(2, 1, 8, b); }), "Unsupported kernel size")
            << b;
    }
}

TEST(V1CnpWeights, SeparableSizes) {
    EXPECT_EQ(get_dw_weights_sram_size(3, 10, 4), 32u);  // 4 kernel rows per row < 6: 20 -> 32
    EXPECT_EQ(get_dw_weights_sram_size(3, 4, 2), 16u);   // 2 channels per row: 4 -> 16
    EXPECT_EQ(get_dw_weights_sram_size(5, 3, 4), 32u);   // 3 rows per channel: 18 -> 32
    EXPECT_EQ(get_dw_weights_sram_size(1, 30, 2), 16u);  // 25 channels per row: 4 -> 16
    EXPECT_THROW(get_dw_weights_sram_size(7, 1, 8), std::invalid_argument);  // 56-bit kernel row
    EXPECT_THROW(get_dw_weights_sram_size(3, 1, 0), std::invalid_argument);

    struct Pw {
        uint32_t f, b, rows;
    } pw[] = {{8, 4, 1}, {10, 4, 2}, {12, 4, 2}, {16, 4, 2}, {24, 2, 1}, {3, 2, 1}, {13, 4, 2}};
    for (const Pw& c : pw) {
        EXPECT_EQ(get_nb_words_per_pw_channel(c.f, c.b), c.rows) << c.f << " x " << c.b;
    }
    EXPECT_EQ(get_sep_cnp_sram_size(3, 10, 8, 4), 32u + 2 * 10 * 1);
}

TEST(V1CnpWeights, FourBitKernel3Stream) {
    auto w = std_weights(5, 1, 3);
    set<int8_t>(*w, {0, 0, 0, 0}, 1);   // row 0 bit 0
    set<int8_t>(*w, {0, 0, 1, 2}, -5);  // stream bit 96 + 8: row 2 bit 8
    set<int8_t>(*w, {0, 0, 2, 1}, 6);   // stream bit 192 + 4: row 4 bit 4
    set<int8_t>(*w, {3, 0, 0, 2}, 7);   // stream bit 36 + 8 = 44: row 0 bit 44
    set<int8_t>(*w, {4, 0, 0, 0}, 1);   // stream bit 48: row 1 bit 0
    EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 5),
              with_words(32, {{0, 9}, {1, 0xF000}, {2, 9}, {4, 0x500}, {8, 0xE0}}));

    // A slice starts at slot 0 with its own first filter.
    auto ten = std_weights(10, 1, 3);
    set<int8_t>(*ten, {8, 0, 0, 0}, 1);
    EXPECT_EQ(format_4bits_std_cnp_weights(*ten, 8, 2), with_words(32, {{0, 9}}));
}

TEST(V1CnpWeights, FourBitKernel5CodeAcrossRows) {
    auto w = std_weights(3, 1, 5);
    // Slot 2, column 2: stream bit 40 + 8 = 48; code 0b0111 puts two bits
    // at row bits 48-49 and its third bit at bit 0 of row 1.
    set<int8_t>(*w, {2, 0, 0, 2}, -7);
    EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 3), with_words(32, {{1, 0x30000}, {2, 1}}));
}

TEST(V1CnpWeights, FourBitKernel7RowBreaks) {
    // Seven filters: u = 8 x 42 / 8 = 42 -> 48 rows, 96 words.
    auto w = std_weights(7, 1, 7);
    set<int8_t>(*w, {2, 0, 0, 6}, 1);   // stream bit 80: row 1 bits 30-33
    set<int8_t>(*w, {3, 0, 0, 0}, 1);   // after three slots the stream moves to row 2
    set<int8_t>(*w, {5, 0, 0, 0}, 1);   // slots 3-4 take 56 bits: row 3 bit 6
    set<int8_t>(*w, {6, 0, 0, 0}, -1);  // after six slots: row 4
    set<int8_t>(*w, {0, 0, 1, 0}, 2);   // kernel row 1 starts at row 6
    EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 7),
              with_words(96, {{2, 1u << 30}, {3, 2}, {4, 9}, {6, 0x240}, {8, 1}, {12, 0xA}}));
}

TEST(V1CnpWeights, FourBitSecondGroupAndChannelBlocks) {
    // Nine filters over two input channels: filter 8 is slot 0 of group 1,
    // which starts 2m words into its channel block (m = 6, 16, 42 rows); a
    // channel block is 2u words, u = 16 x m / 8 rounded up to 16.
    struct Case {
        uint32_t k, group_words, block_words;
    } cases[] = {{3, 12, 32}, {5, 32, 64}, {7, 84, 192}};
    for (const Case& c : cases) {
        auto w = std_weights(9, 2, c.k);
        set<int8_t>(*w, {8, 0, 0, 0}, 1);   // code 0x9
        set<int8_t>(*w, {0, 1, 0, 0}, -3);  // code 0x3, channel 1 block
        set<int8_t>(*w, {8, 1, 0, 1}, 5);   // code 0xD at bit 4 of group 1
        EXPECT_EQ(format_4bits_std_cnp_weights(*w, 0, 9),
                  with_words(2 * c.block_words, {{c.group_words, 9},
                                                 {c.block_words, 3},
                                                 {c.block_words + c.group_words, 0xD0}}))
            << "k " << c.k;
    }
}

TEST(V1CnpWeights, FourBitFailures) {
    EXPECT_EQ(error_text([] { format_4bits_std_cnp_weights(*std_weights(2, 1, 4), 0, 2); }),
              "Unsupported kernel size");
    auto tall = tensor(TensorType::int8, {2, 1, 5, 3});
    EXPECT_EQ(error_text([&] { format_4bits_std_cnp_weights(*tall, 0, 2); }),
              "CNP: width and height must be equal.");
    EXPECT_THROW(format_4bits_std_cnp_weights(*std_weights(2, 1, 1), 1, 2), std::invalid_argument);
}

std::map<std::string, int> sized_conv(int k, int bits, int filters = 8) {
    return {
        {"filters", filters}, {"kernel_width", k}, {"kernel_height", k}, {"weights_bits", bits}};
}

HardwareConstraints with_weight_sram(uint32_t rows) {
    HardwareConstraints c;
    c.weight_sram_size = rows;
    return c;
}

TEST(V1CnpSizes, ContainersAndInputWords) {
    EXPECT_EQ(get_cnp_channel_container_size(3, 4), 2u);
    EXPECT_EQ(get_cnp_channel_container_size(8, 1), 1u);
    EXPECT_EQ(get_cnp_channel_container_size(0, 8), 0u);
    EXPECT_EQ(get_cnp_input_sram_size(3, 5, 2), 8u);  // 120 bits -> 4 words per row
    EXPECT_EQ(get_cnp_input_sram_size(4, 4, 5), 20u);
    EXPECT_EQ(get_cnp_input_sram_size(1, 1, 0), 0u);
    // Sizes too large for 32 bits saturate instead of wrapping to small values.
    EXPECT_EQ(get_cnp_channel_container_size(0xFFFFFFFFu, 8), 0xFFFFFFFFu);
    EXPECT_EQ(get_cnp_input_sram_size(0x10000, 0x10000, 4), 0xFFFFFFFFu);
    EXPECT_EQ(get_cnp_input_sram_size(0x100000, 0x10000, 1), 0xFFFFFFFFu);
    EXPECT_EQ(get_cnp_input_sram_size(4, 8, 0x40000000), 0xFFFFFFFFu);
}

TEST(V1CnpSizes, WeightWordsByKind) {
    auto conv = make_net(LayerType::Convolutional, sized_conv(3, 1), 8, 8, 1);
    EXPECT_EQ(get_weights_size(*conv.layer, 8), 16u);
    EXPECT_EQ(get_weights_size(*conv.layer, 0), 0u);

    // 32 + 2 x 10 x 1 = 52 words: below the XL size, kept as it is.
    auto small = make_net(LayerType::SeparableConvolutional, sized_conv(3, 4), 8, 8, 10);
    EXPECT_EQ(get_weights_size(*small.layer, 8), 52u);
    // 208 + 200 = 408 words need the XL header: rounded up to 416.
    auto large = make_net(LayerType::SeparableConvolutional, sized_conv(3, 4), 8, 8, 100);
    EXPECT_EQ(get_weights_size(*large.layer, 8), 416u);

    auto fc = make_net(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 1}}, 1, 1, 8);
    try {
        get_weights_size(*fc.layer, 4);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unexpected layer type for CNP");
    }
    EXPECT_THROW(check_weights_size_fit_cnp(with_weight_sram(1000), *fc.layer, 4),
                 std::invalid_argument);
}

TEST(V1CnpSizes, UnsupportedWidthNeverLooksSmall) {
    // The size of a width without a layout is 0xFFFFFFFF; rounding it up for
    // the XL header must not wrap it to 0.
    auto conv = make_net(LayerType::Convolutional, sized_conv(3, 3), 8, 8, 2);
    EXPECT_EQ(get_weights_size(*conv.layer, 8), 0xFFFFFFFFu);
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(0xFFFFFFFFu), *conv.layer, 8));
}

TEST(V1CnpSizes, ConvolutionalWordsPerChannelLimit) {
    auto conv = make_net(LayerType::Convolutional, sized_conv(1, 4), 4, 4, 8);
    // k = 1, 4 bits: u = 4F / 48. F = 24384 gives u = 2032, w = 16u = 32512:
    // 32512 / 8 >> 2 = 1016 rows per channel.
    EXPECT_EQ(get_weights_size(*conv.layer, 24384), 32512u);
    EXPECT_TRUE(check_weights_size_fit_cnp(with_weight_sram(16256), *conv.layer, 24384));
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(16255), *conv.layer, 24384));
    // F = 24576: u = 2048, w = 32768: 1024 rows per channel fail at any SRAM size.
    EXPECT_EQ(get_weights_size(*conv.layer, 24576), 32768u);
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(0xFFFFFFFFu), *conv.layer, 24576));

    // The separable kind has no per-channel limit.
    auto sep = make_net(LayerType::SeparableConvolutional, sized_conv(1, 4), 4, 4, 8);
    const uint32_t w = get_weights_size(*sep.layer, 24576);
    EXPECT_GT(w / 8 >> 2, 1023u);
    EXPECT_TRUE(check_weights_size_fit_cnp(with_weight_sram(w / 2), *sep.layer, 24576));
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(w / 2 - 1), *sep.layer, 24576));
}

TEST(V1CnpSizes, NoInputChannelNeverFits) {
    auto conv = make_net(LayerType::Convolutional, sized_conv(3, 2), 8, 8, 0);
    EXPECT_FALSE(check_weights_size_fit_cnp(with_weight_sram(0xFFFFFFFFu), *conv.layer, 8));
}

TEST(V1CnpSizes, UnbuiltLayer) {
    auto p = LayerParams::create(LayerType::Convolutional, sized_conv(3, 2));
    auto layer = Layer::create(p.get(), "loose");
    EXPECT_EQ(v1_test::error_text([&] { get_weights_size(*layer, 8); }),
              "Cannot get input size before it is set.");
}

}  // namespace
}  // namespace vorna::v1
