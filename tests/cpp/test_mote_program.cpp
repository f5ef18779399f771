// Mote TNP-R registers, SRAM words and sizes, and the program recorder's refusals.

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/mote/memory_sizer.h"
#include "backend/mote/tnp_r_program.h"
#include "backend/mote/tnp_r_sram.h"
#include "graph_fakes.h"
#include "mote_test_util.h"

namespace vorna::mote {
namespace {

using mote_test::Chain;
using mote_test::rec;
using mote_test::Recurrent;
using mote_test::runtime_error_text;
using mote_test::set_var;
using Words = std::vector<uint32_t>;
using mote_test::matrix;
using mote_test::vec;

const hw::Ident kNp(2, 3, 1);
constexpr uint32_t kRegistersHeader = 0x00D10302;
constexpr uint32_t kFsramXlHeader = 0x00E90302;
constexpr uint32_t kTsramHeader = 0x00F10302;
constexpr uint32_t kTsramXlHeader = 0x00F90302;

template <class T>
std::vector<T> first_of(size_t n, T value) {
    std::vector<T> v(n, 0);
    v[0] = value;
    return v;
}

TEST(MoteRegisters, Overflows) {
    const auto base = [] {
        TnprRegisterParams p;
        p.layer_count = 1;
        p.subsample[0] = 1;
        return p;
    };
    const auto message = [](const std::string& value, int width) {
        return "Attempted to write value " + value + " into a " + std::to_string(width) +
               "-bit field, which will cause an overflow.";
    };
    struct Case {
        std::string name;
        void (*edit)(TnprRegisterParams&);
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no layer", [](TnprRegisterParams& p) { p.layer_count = 0; }, message("4294967295", 3)},
        {"nine layers", [](TnprRegisterParams& p) { p.layer_count = 9; }, message("8", 3)},
        {"row", [](TnprRegisterParams& p) { p.input_row_words = 256; }, message("256", 8)},
        {"timesteps", [](TnprRegisterParams& p) { p.timesteps = 256; }, message("256", 8)},
        {"shift start", [](TnprRegisterParams& p) { p.tsram_input_shift_start = 65536; },
         message("65536", 16)},
        {"output start", [](TnprRegisterParams& p) { p.tsram_output_start = 65536; },
         message("65536", 16)},
        {"subsample 0", [](TnprRegisterParams& p) { p.subsample[0] = 0; },
         message("4294967295", 2)},
        {"subsample 5", [](TnprRegisterParams& p) { p.subsample[0] = 5; }, message("4", 2)},
        {"states", [](TnprRegisterParams& p) { p.stateful_channels = 512; }, message("512", 9)},
        {"outputs", [](TnprRegisterParams& p) { p.output_channels[0] = 512; }, message("512", 9)},
        {"inputs", [](TnprRegisterParams& p) { p.input_channels[0] = 600; }, message("600", 9)},
    };
    for (const Case& c : cases) {
        TnprRegisterParams p = base();
        c.edit(p);
        EXPECT_EQ(runtime_error_text([&] { format_tnpr_registers(p); }), c.expected) << c.name;
    }
}

// Word 0: layer count - 1 in bits 0-2, post-processing in bits 17 and 20,
// 16-bit output in bit 18, 16-bit input in bit 19, wide output in bit 22.
TEST(MoteRegisters, WordZeroFlags) {
    TnprRegisterParams p;
    p.layer_count = 3;
    for (int i = 0; i < 3; ++i) p.subsample[i] = 1;
    p.has_post_processing = true;
    p.output_bits = 16;
    p.input_bits = 16;
    EXPECT_EQ(format_tnpr_registers(p)[0], 2u | 1u << 17 | 1u << 18 | 1u << 19 | 1u << 20);
    p.has_post_processing = false;
    p.output_bits = 32;
    p.input_bits = 8;
    EXPECT_EQ(format_tnpr_registers(p)[0], 2u | 1u << 22);
}

struct TwoLayerChain {
    Chain chain;

    TwoLayerChain()
        : chain(16, 100, 8,
                {[] {
                     Recurrent r = rec(64, 32);
                     r.activation = 1;
                     return r;
                 }(),
                 [] {
                     Recurrent r = rec(64, 32);
                     r.subsample = 2;
                     return r;
                 }()},
                LayerType::MotePostProcessing) {
        const auto& sr1 = chain.recurrent[0];
        const auto& sr2 = chain.recurrent[1];
        set_var<int16_t>(sr1, "A_real", TensorType::int16, first_of<int16_t>(64, -1));
        set_var<int16_t>(sr1, "A_imag", TensorType::int16, first_of<int16_t>(64, 1));
        set_var<int8_t>(sr1, "internal_state_outputs_shift", TensorType::int8,
                        first_of<int8_t>(64, -1));
        set_var<uint8_t>(sr1, "new_state_scale", TensorType::uint8, first_of<uint8_t>(64, 255));
        set_var<int8_t>(sr1, "new_state_shift", TensorType::int8, first_of<int8_t>(64, -32));
        set_var<uint8_t>(sr1, "input_shift", TensorType::uint8,
                         {1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0});
        test_support::set_any_shape(sr1->variables(), "in_proj",
                                    mote_test::matrix(64, 16, [](uint32_t r, uint32_t c) {
                                        return int8_t(r == 0 ? c + 1 : 0);
                                    }));
        set_var<int8_t>(sr2, "bias", TensorType::int8, first_of<int8_t>(32, 5));
        set_var<uint8_t>(sr2, "bias_shift", TensorType::uint8, first_of<uint8_t>(32, 2));
        set_var<uint8_t>(chain.tail, "input_scales", TensorType::uint8,
                         std::vector<uint8_t>(32, 1));
        set_var<int8_t>(chain.tail, "input_shift", TensorType::int8, std::vector<int8_t>(32, 0));
        set_var<uint16_t>(chain.tail, "threshold", TensorType::uint16, {7});
        mote_test::map_on_tnpr(sr1, kNp);
    }
};

TEST(MoteProgram, FirstLayerNotOnTnprGivesNoLayer) {
    auto fake = std::make_shared<graph_test::FakeLayer>(
        "fake", LayerType::StatefulRecurrent, TargetComponent::None,
        std::map<std::string, int>{{"stateful_channels", 64}});
    fake->input_dims = {Shape{1, 10, 32}};
    graph_test::attach_mapping(fake, 0);
    const mote_test::MoteDevice device;
    EXPECT_EQ(runtime_error_text([&] { record_program_tnpr_layers(device, *fake); }),
              "Attempted to write value 4294967295 into a 3-bit field, which will cause an "
              "overflow.");
}

TEST(MoteProgram, ChainPositionBeyondSeven) {
    Chain c(16, 10, 8, std::vector<Recurrent>(9, rec(16, 16)));
    mote_test::map_on_tnpr(c.recurrent[0], kNp);
    const mote_test::MoteDevice device;
    EXPECT_THROW(record_program_tnpr_layers(device, c.first()), std::out_of_range);

    Chain eight(16, 10, 8, std::vector<Recurrent>(8, rec(16, 16)));
    mote_test::map_on_tnpr(eight.recurrent[0], kNp);
    const auto record = record_program_tnpr_layers(device, eight.first());
    EXPECT_EQ(record->tracks()[0].data()[2], 7u);
}

TEST(MoteProgram, MappingErrors) {
    Chain c(32, 10, 8, {rec(64, 32)});
    const mote_test::MoteDevice device;
    EXPECT_EQ(runtime_error_text([&] { record_program_tnpr_layers(device, c.first()); }),
              "Layer 'sr1' has no mapping.");
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>();
    std::dynamic_pointer_cast<LayerImpl>(c.recurrent[0])->set_mapping(m);
    EXPECT_THROW(record_program_tnpr_layers(device, c.first()), std::out_of_range);
}

TEST(MoteProgram, FormattingErrorsEndTheRecording) {
    Chain c(32, 10, 8, {rec(64, 32)});
    mote_test::map_on_tnpr(c.recurrent[0], kNp);
    set_var<uint8_t>(c.recurrent[0], "output_scales", TensorType::uint4,
                     std::vector<uint8_t>(32, 1));
    const mote_test::MoteDevice device;
    EXPECT_EQ(runtime_error_text([&] { record_program_tnpr_layers(device, c.first()); }),
              "Error when formattting output scale : Unsupported output scales type in TSRAM "
              "formatting.");

    Chain post(32, 10, 8, {rec(64, 1)}, LayerType::MotePostProcessing);
    mote_test::map_on_tnpr(post.recurrent[0], kNp);
    set_var<uint8_t>(post.tail, "threshold", TensorType::uint8, {7});
    EXPECT_EQ(runtime_error_text([&] {
                  record_program_tnpr_layers(device, post.first());
              }).rfind("Wrong requested type", 0),
              0u);
}

// The post-processing layer's timesteps are read on 16 bits before the 8-bit
// register field refuses them.
TEST(MoteProgram, PostProcessingTimestepsBeyondSixteenBits) {
    const mote_test::MoteDevice device;
    for (const auto& [timesteps, message] :
         {std::pair<uint32_t, std::string>{65535,
                                           "Attempted to write value 65535 into a 8-bit "
                                           "field, which will cause an overflow."},
          {65536, "65536 cannot fit in a 16 bits unsigned integer."}}) {
        Chain c(16, timesteps, 8, {rec(16, 1)}, LayerType::MotePostProcessing);
        mote_test::map_on_tnpr(c.recurrent[0], kNp);
        EXPECT_EQ(runtime_error_text([&] { record_program_tnpr_layers(device, c.first()); }),
                  message);
    }
}

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

TEST(MoteTsram, PostProcessingOutputWord) {
    // Scale 1, shift -floor(log2(timesteps)) in bits 16-21, threshold in bits
    // 22-37: one TSRAM word, low half then high half.
    struct Case {
        uint16_t timesteps, threshold;
        Words word;
    };
    for (const Case& c : {Case{100, 5, {0x017A0001, 0}}, Case{1, 0, {0x00000001, 0}},
                          Case{2, 0, {0x003F0001, 0}}, Case{65535, 0xFFFF, {0xFFF10001, 0x3F}}}) {
        Words out{7};
        format_tsram_post_processing_output_var(out, c.timesteps, c.threshold);
        Words expected{7};
        expected.insert(expected.end(), c.word.begin(), c.word.end());
        EXPECT_EQ(out, expected) << c.timesteps;
    }
    Words out{7};
    EXPECT_EQ(test_support::kinded_error_text(
                  [&] { format_tsram_post_processing_output_var(out, 0, 5); }),
              "invalid_argument: Cannot format a post-processing output for 0 timesteps.");
    EXPECT_EQ(out, Words{7});
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
