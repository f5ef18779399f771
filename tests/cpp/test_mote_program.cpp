#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/mote/tnp_r_program.h"
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

const hw::Ident kNp(2, 3, 1);
// Configuration headers for kNp with size 0: target in bits 20-23, the XL
// form flag in bit 19.
constexpr uint32_t kRegistersHeader = 0x00D10302;
constexpr uint32_t kFsramXlHeader = 0x00E90302;
constexpr uint32_t kTsramHeader = 0x00F10302;
constexpr uint32_t kTsramXlHeader = 0x00F90302;

// A vector of n zeros but for its first element.
template <class T>
std::vector<T> first_of(size_t n, T value) {
    std::vector<T> v(n, 0);
    v[0] = value;
    return v;
}

Words with_header(uint32_t header, const Words& payload) {
    Words w = {header, 0};
    w.insert(w.end(), payload.begin(), payload.end());
    return w;
}

TEST(MoteRegisters, SingleRecurrentLayer) {
    TnprRegisterParams p;
    p.layer_count = 1;
    p.relu_layers.set(0);
    p.input_bits = 8;
    p.output_bits = 32;
    p.input_row_words = 8;
    p.tsram_output_start = 64;
    p.tsram_input_shift_start = 96;
    p.subsample[0] = 1;
    p.stateful_channels = 64;
    p.output_channels[0] = 32;
    p.input_channels[0] = 32;
    EXPECT_EQ(format_tnpr_registers(p), (Words{0x00400000, 8, 0, 0x00400060, 0, 0, 64, 32, 0, 0, 0,
                                               32, 0, 0, 0, 0x00010000}));
}

TEST(MoteRegisters, EightLayersFillEveryPerLayerField) {
    TnprRegisterParams p;
    p.layer_count = 8;
    p.input_bits = 16;
    p.output_bits = 16;
    p.has_post_processing = true;
    p.input_row_words = 128;
    p.timesteps = 255;
    p.tsram_output_start = 0xFFFF;
    p.tsram_input_shift_start = 0x1234;
    p.post_processing_state_offset = 0xFFFF;
    p.stateful_channels = 511;
    for (uint32_t i = 0; i < 8; ++i) {
        p.subsample[i] = i % 4 + 1;
        p.output_channels[i] = 100 + i;
        p.input_channels[i] = 200 + i;
    }
    p.relu_layers = 0x55;
    const Words regs = format_tnpr_registers(p);
    EXPECT_EQ(regs[0], 0x001E0007u);  // bits 17, 18, 19, 20
    EXPECT_EQ(regs[1], 0x0000FF80u);
    EXPECT_EQ(regs[3], 0xFFFF1234u);
    EXPECT_EQ(regs[4], 0x0000FFFFu);
    EXPECT_EQ(regs[5], 0x0000E4E4u);  // 0,1,2,3,0,1,2,3 in 2-bit fields
    EXPECT_EQ(regs[6], 511u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(regs[7 + i], (100 + 2 * i) | ((101 + 2 * i) << 9)) << i;
        EXPECT_EQ(regs[11 + i], (200 + 2 * i) | ((201 + 2 * i) << 9)) << i;
    }
    EXPECT_EQ(regs[15], 0x0055C080u);  // 1 << 7, 3 << 6, ReLU flags
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
        // TSRAM addresses are refused, not wrapped.
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

// Two recurrent layers of 64 state and 32 output channels (8-bit inputs of 16
// and 32 channels, 100 timesteps), the second subsampling by 2, and a
// post-processing layer.
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
        sr1->variables()->set("in_proj", mote_test::matrix(64, 16, [](uint32_t r, uint32_t c) {
                                  return int8_t(r == 0 ? c + 1 : 0);
                              }));
        set_var<int8_t>(sr2, "bias", TensorType::int8, first_of<int8_t>(32, 5));
        set_var<uint8_t>(sr2, "bias_shift", TensorType::uint8, first_of<uint8_t>(32, 2));
        // The post-processing layer scales all 32 outputs of the last layer.
        set_var<uint8_t>(chain.tail, "input_scales", TensorType::uint8,
                         std::vector<uint8_t>(32, 1));
        set_var<int8_t>(chain.tail, "input_shift", TensorType::int8, std::vector<int8_t>(32, 0));
        set_var<uint16_t>(chain.tail, "threshold", TensorType::uint16, {7});
        mote_test::map_on_tnpr(sr1, kNp);
    }
};

TEST(MoteProgram, TwoRecurrentLayersAndPostProcessing) {
    const TwoLayerChain t;
    const mote_test::MoteDevice device;
    const auto record = record_program_tnpr_layers(device, t.chain.first());
    EXPECT_EQ(record->hw_version(), Mote_Selvo);
    ASSERT_EQ(record->tracks().size(), 5u);

    // layer_count 3; P = 4, 100 timesteps; TSRAM starts 193 and 128;
    // post-processing state offset 2 * 64; second layer subsamples by 2.
    const Words registers = {0x00160002, 0x00006404, 0, 0x008000C1, 0x80, 0x4, 64, 0x00004020,
                             1,          0,          0, 0x00004010, 1,    0,   0,  0x00010604};
    EXPECT_EQ(record->tracks()[0].data(), with_header(kRegistersHeader, registers));

    // 896 FSRAM words: too many for the normal header, so an empty track
    // stands in front of the XL track.
    EXPECT_TRUE(record->tracks()[1].empty());
    Words fsram(2 * (64 * 2 + 32 * 8 + 64 * 4 + 32 * 8), 0);
    fsram[0] = 0x04030201;
    fsram[1] = 0x08070605;
    fsram[128] = 0x0C0B0A09;  // column block 1 of row 0, after the 64 rows of block 0
    fsram[129] = 0x100F0E0D;
    EXPECT_EQ(record->tracks()[2].data(), with_header(kFsramXlHeader, fsram));

    // TSRAM: 128 state-updating words, 65 output words (32 + 32 + the
    // post-processing word), 2 + 4 + 1 input-shift words.
    EXPECT_TRUE(record->tracks()[3].empty());
    Words tsram(2 * (128 + 65 + 7), 0);
    tsram[0] = 0x0001FFFF;
    tsram[1] = 0x00041FFF;
    for (size_t w = 128; w < 192; ++w) tsram[2 * w] = 1;  // scale 1
    tsram[2 * 160] = 0x81400001;                          // bias 5, bias shift 2
    tsram[2 * 192] = 0x01FB0001;                          // 50 timesteps: shift -5, threshold 7
    tsram[2 * 193] = 0x00249249;                          // eight shifts of 1
    EXPECT_EQ(record->tracks()[4].data(), with_header(kTsramXlHeader, tsram));
}

// The words of a track after its two-word configuration header.
Words payload(const Words& track) { return Words(track.begin() + 2, track.end()); }

TEST(MoteProgram, OutputWordsBeforePostProcessingUseItsInputScaling) {
    // One recurrent layer (64 states, 1 output, 32 channels at 8 bits, 10
    // timesteps) closed by post-processing: layer_count 2.
    Chain c(32, 10, 8, {rec(64, 1)}, LayerType::MotePostProcessing);
    const auto& sr = c.recurrent[0];
    // The layer's own output scaling is not used in front of post-processing.
    set_var<uint8_t>(sr, "output_scales", TensorType::uint8, {2});
    set_var<int8_t>(sr, "output_shift", TensorType::int8, {-1});
    set_var<int8_t>(sr, "bias", TensorType::int8, {-2});
    set_var<uint8_t>(sr, "bias_shift", TensorType::uint8, {5});
    std::vector<uint8_t> shifts(32, 0);
    for (uint8_t k = 0; k < 8; ++k) shifts[k] = static_cast<uint8_t>(k + 1) % 8;
    set_var<uint8_t>(sr, "input_shift", TensorType::uint8, shifts);
    set_var<uint8_t>(c.tail, "input_scales", TensorType::uint8, {3});
    set_var<int8_t>(c.tail, "input_shift", TensorType::int8, {2});
    set_var<uint16_t>(c.tail, "threshold", TensorType::uint16, {9});
    mote_test::map_on_tnpr(sr, kNp);
    const mote_test::MoteDevice device;
    const auto record = record_program_tnpr_layers(device, c.first());
    ASSERT_EQ(record->tracks().size(), 4u);

    // P = 8 and 10 timesteps; output region at 64, input-shift region at
    // 64 + 2; state offset 1 * 64; word 15: flag 1 << 1 and 3 << 0.
    EXPECT_EQ(payload(record->tracks()[0].data()),
              (Words{0x00160001, 0x00000A08, 0, 0x00400042, 64, 0, 64, 0x201, 0, 0, 0, 0x220, 0, 0,
                     0, 0x00000302}));

    Words tsram(2 * (64 + 2 + 5), 0);
    // Scale 3, shift 2, bias 0xFE, bias shift 5 (its top bit in the high half).
    tsram[2 * 64] = 0x7F820003;
    tsram[2 * 64 + 1] = 0x1;
    // Post-processing: scale 1, shift -3 (floor(log2 10)), threshold 9.
    tsram[2 * 65] = 0x027D0001;
    // Shifts 1..7 then 0 in 3-bit fields; three more words of zeros, then
    // the post-processing zero word.
    tsram[2 * 66] = 0x001F58D1;
    EXPECT_EQ(payload(record->tracks()[3].data()), tsram);
}

TEST(MoteProgram, SixteenBitInputDoublesTheInputShiftFields) {
    // 16 channels at 16 bits: P = 8, four values per input-shift word.
    Chain c(16, 10, 16, {rec(32, 1)}, LayerType::MotePostProcessing);
    std::vector<uint8_t> shifts(16, 0);
    for (uint8_t k = 0; k < 5; ++k) shifts[k] = static_cast<uint8_t>(k + 1);
    set_var<uint8_t>(c.recurrent[0], "input_shift", TensorType::uint8, shifts);
    mote_test::map_on_tnpr(c.recurrent[0], kNp);
    const mote_test::MoteDevice device;
    const auto record = record_program_tnpr_layers(device, c.first());
    // The 68 FSRAM words fit a normal block: three tracks.
    ASSERT_EQ(record->tracks().size(), 3u);

    const Words regs = payload(record->tracks()[0].data());
    ASSERT_EQ(regs.size(), 16u);
    EXPECT_EQ(regs[0], 0x001E0001u);  // bits 17 to 20: 16-bit input and output
    EXPECT_EQ(regs[1], 0x00000A08u);
    EXPECT_EQ(regs[3], 0x00200022u);  // output region at 32, input shift at 34
    EXPECT_EQ(regs[4], 32u);
    EXPECT_EQ(regs[11], 0x210u);  // 16 input channels, then 1

    Words tsram(2 * (32 + 2 + 5), 0);
    tsram[2 * 32] = 0x00000001;  // default scaling: scale 1
    tsram[2 * 33] = 0x003D0001;  // threshold 0
    tsram[2 * 34] = 0x0091B489;  // 1, 2, 3, 4, each in two fields
    tsram[2 * 35] = 0x0000002D;  // 5 twice
    EXPECT_EQ(payload(record->tracks()[2].data()), tsram);
}

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

    // Eight layers are recorded.
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

}  // namespace
}  // namespace vorna::mote
