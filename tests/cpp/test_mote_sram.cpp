#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/mote/memory_sizer.h"
#include "backend/mote/tnp_r_sram.h"
#include "mote_test_util.h"

namespace vorna::mote {
namespace {

using mote_test::matrix;
using mote_test::runtime_error_text;
using mote_test::vec;
using Words = std::vector<uint32_t>;

TEST(MoteFsram, RefusesNonInt8Storage) {
    const auto t = Dense::create(TensorType::int16, Shape{1, 2}, Dense::Layout::RowMajor);
    EXPECT_EQ(runtime_error_text([&] { pack_fsram_rows(*t); }).rfind("Wrong requested type", 0),
              0u);
}

struct StateVars {
    std::vector<int16_t> real, imag;
    std::vector<int8_t> iso;
    std::vector<uint8_t> scale;
    std::vector<int8_t> nss;
};

void format_state(Words& out, const StateVars& v) {
    format_tsram_state_updating_var(out, *vec(TensorType::int16, v.imag),
                                    *vec(TensorType::int16, v.real), *vec(TensorType::int8, v.iso),
                                    *vec(TensorType::uint8, v.scale),
                                    *vec(TensorType::int8, v.nss));
}

TEST(MoteTsram, StateUpdatingRangeErrorsAppendNothing) {
    struct Case {
        int8_t iso, nss;
        const char* message;
    };
    for (const Case& c : {Case{16, 0, "16 cannot fit in a 5 bits signed integer."},
                          Case{-17, 0, "-17 cannot fit in a 5 bits signed integer."},
                          Case{0, 32, "32 cannot fit in a 6 bits signed integer."},
                          Case{0, -33, "-33 cannot fit in a 6 bits signed integer."},
                          Case{16, 32, "16 cannot fit in a 5 bits signed integer."}}) {
        Words out = {7, 7};
        EXPECT_EQ(runtime_error_text(
                      [&] { format_state(out, {{0, 0}, {0, 0}, {0, c.iso}, {0, 0}, {0, c.nss}}); }),
                  c.message);
        EXPECT_EQ(out, (Words{7, 7}));
    }
}

TEST(MoteTsram, StateUpdatingStorageAndLengthErrors) {
    Words out;
    EXPECT_EQ(runtime_error_text([&] {
                  format_tsram_state_updating_var(
                      out, *vec<int16_t>(TensorType::int16, {0}),
                      *vec<int8_t>(TensorType::int8, {0}), *vec<int8_t>(TensorType::int8, {0}),
                      *vec<uint8_t>(TensorType::uint8, {0}), *vec<int8_t>(TensorType::int8, {0}));
              }).rfind("Wrong requested type", 0),
              0u);
    EXPECT_EQ(runtime_error_text([&] { format_state(out, {{0, 0}, {0}, {0, 0}, {0, 0}, {0, 0}}); }),
              "Coordinates are out-of-range");
    EXPECT_TRUE(out.empty());
}

TEST(MoteTsram, OutputRangeErrors) {
    struct Case {
        int8_t shift;
        uint8_t bias_shift;
        const char* message;
    };
    for (const Case& c : {Case{32, 0, "32 cannot fit in a 6 bits signed integer."},
                          Case{-33, 0, "-33 cannot fit in a 6 bits signed integer."},
                          Case{0, 32, "32 cannot fit in a 5 bits unsigned integer."},
                          Case{32, 32, "32 cannot fit in a 6 bits signed integer."}}) {
        Words out;
        EXPECT_EQ(runtime_error_text([&] {
                      format_tsram_output_var(out, *vec<uint8_t>(TensorType::uint8, {1}),
                                              *vec<int8_t>(TensorType::int8, {c.shift}),
                                              *vec<int8_t>(TensorType::int8, {0}),
                                              *vec<uint8_t>(TensorType::uint8, {c.bias_shift}));
                  }),
                  c.message);
        EXPECT_TRUE(out.empty());
    }
}

TEST(MoteTsram, InputShiftValuesAreOredUnmasked) {
    Words out;
    format_tsram_input_shift(out, *vec<uint8_t>(TensorType::uint8, {9, 2}), 8);
    EXPECT_EQ(out, (Words{0x00000019, 0}));
}

TEST(MoteTsram, InputShiftFieldsBeyondThirtyTwoBitsAreDropped) {
    Words out;
    format_tsram_input_shift(out, *vec<uint8_t>(TensorType::uint8, {7, 7, 7, 7}), 32);
    EXPECT_EQ(out, (Words{0xFFFFFFFF, 0}));
}

using mote_test::Chain;
using mote_test::rec;
using mote_test::Recurrent;

TEST(MoteSizes, ChainWithPostProcessing) {
    Chain c(24, 100, 8, {rec(64, 32), rec(64, 16)}, LayerType::MotePostProcessing);
    EXPECT_EQ(get_tnpr_tsram_51b_size(c.first()), 185u);   // (64+32+3) + (64+16+4) + 2
    EXPECT_EQ(get_tnpr_stsram_32b_size(c.first()), 138u);  // 2*64 + 2*ceil(log2(25))
    EXPECT_EQ(get_tnpr_fsram_64b_size(c.first()), 192u + 256 + 256 + 128);
    EXPECT_EQ(get_tnpr_evsram_32b_size(c.first()), 8u + 6 + 8 + 1);

    EXPECT_EQ(get_tnpr_tsram_51b_size(*c.recurrent[1]), 86u);
    EXPECT_EQ(get_tnpr_fsram_64b_size(*c.recurrent[1]), 384u);
}

TEST(MoteSizes, ChainClosedByDequantizer) {
    Chain c(24, 100, 8, {rec(64, 32), rec(64, 16)}, LayerType::Dequantizer);
    EXPECT_EQ(get_tnpr_tsram_51b_size(c.first()), 183u);
    EXPECT_EQ(get_tnpr_stsram_32b_size(c.first()), 128u);
    EXPECT_EQ(get_tnpr_evsram_32b_size(c.first()), 22u);
    EXPECT_EQ(get_tnpr_fsram_64b_size(c.first()), 832u);
}

TEST(MoteSizes, SixteenBitInputAndWideOutputs) {
    Recurrent r = rec(32, 1);
    r.output_bits = 32;
    Chain c(16, 64, 16, {r}, LayerType::MotePostProcessing);
    EXPECT_EQ(get_tnpr_tsram_51b_size(c.first()), 32u + 1 + 4 + 2);
    EXPECT_EQ(get_tnpr_evsram_32b_size(c.first()), 8u + 8 + 1);
    EXPECT_EQ(get_tnpr_stsram_32b_size(c.first()), 32u + 2 * 5);  // ceil(64 / 2) = 32 -> 5
}

TEST(MoteSizes, WidthsTheChecksRefuseDoNotDivideByZero) {
    Recurrent r = rec(64, 1);
    r.output_bits = 64;
    Chain c(24, 0, 0, {r}, LayerType::MotePostProcessing);
    EXPECT_EQ(get_tnpr_evsram_32b_size(c.first()), 1u + 24 + 1);
    EXPECT_EQ(get_tnpr_stsram_32b_size(c.first()), 64u);
}

TEST(MoteSizes, MemorySizerReportsTheChain) {
    Chain c(24, 100, 8, {rec(64, 32), rec(64, 16)}, LayerType::MotePostProcessing);
    const MemorySizerImpl sizer;
    const MemoryInfo info = sizer.get_memory_info(
        c.recurrent[0], hw::Component(hw::Type::TNP_R, hw::Ident(1, 1, 0)), c.input, true, true);
    EXPECT_EQ(info.input_size, 0u);
    EXPECT_EQ(info.weight_size, 0u);
    EXPECT_EQ(info.external_size, 0u);
    EXPECT_EQ(info.stsram_32b_size, 138u);
    EXPECT_EQ(info.fsram_64b_size, 832u);
    EXPECT_EQ(info.tsram_51b_size, 185u);
    EXPECT_EQ(info.evsram_32b_size, 23u);
}

}  // namespace
}  // namespace vorna::mote
