// Mote program bytes of small recurrent chains, one per path of the TNP-R
// register block and of the FSRAM and TSRAM images, against the expected text
// in tests/data/golden/mote/. A few words of each path are also computed by
// hand from the field layouts, so that the table pins checked bytes.

#include "golden_program.h"

namespace vorna {
namespace {

using golden::L;
using golden::P;
using golden::Row;
using LT = LayerType;

constexpr int kRelu = 1;

P in(int timesteps, int channels, int bits) {
    return {{"input_width", 1},
            {"input_height", timesteps},
            {"input_channels", channels},
            {"input_bits", bits}};
}
P sr(int states, int outputs, int bits = 8, int activation = 0, int subsample = 1) {
    return {{"stateful_channels", states},
            {"output_channels", outputs},
            {"output_bits", bits},
            {"activation", activation},
            {"subsample", subsample}};
}

template <class T>
void fill_by_index(Layer& layer, const std::string& name, int (*f)(int)) {
    auto& d = dynamic_cast<Dense&>(*layer.variables()->get(name));
    for (size_t i = 0; i < d.size(); ++i) d.data<T>()[i] = static_cast<T>(f(int(i)));
}

// Every per-channel variable of the chain gets a pattern of in-range values
// (negative ones included for the signed fields; the ends of the ranges too:
// state output shift 15 at channel 4, new state shift -32 at channel 1, bias
// shift 31 at channel 2), so that a field moved, widened or dropped, or a range
// bound moved by one, changes the words or the mapping. The last recurrent layer before a
// post-processing layer keeps scale 1 and shift 0 (the checks ask for them):
// its output words take the post-processing layer's input scale and shift.
void vary(Model& model) {
    for (const auto& layer : model.layers()) {
        const LayerType type = layer->params()->layer_type();
        if (type == LT::MotePostProcessing) {
            fill_by_index<uint8_t>(*layer, "input_scales", [](int) { return 3; });
            fill_by_index<int8_t>(*layer, "input_shift", [](int) { return -2; });
            fill_by_index<uint16_t>(*layer, "threshold", [](int) { return 0x9a5c; });
            continue;
        }
        if (type != LT::StatefulRecurrent) continue;
        fill_by_index<int8_t>(*layer, "internal_state_outputs_shift",
                              [](int i) { return (i * 7 + 3) % 32 - 16; });
        fill_by_index<uint8_t>(*layer, "new_state_scale",
                               [](int i) { return (i * 29 + 200) % 256; });
        fill_by_index<int8_t>(*layer, "new_state_shift",
                              [](int i) { return (i * 59 + 5) % 64 - 32; });
        fill_by_index<int8_t>(*layer, "bias", [](int i) { return (i * 37 + 90) % 256 - 128; });
        fill_by_index<uint8_t>(*layer, "bias_shift", [](int i) { return (i * 7 + 17) % 32; });
        fill_by_index<uint8_t>(*layer, "input_shift", [](int i) { return (i * 3 + 5) % 8; });
        const auto next = layer->outbound_layers();
        if (!next.empty() && next[0]->params()->layer_type() == LT::MotePostProcessing) continue;
        fill_by_index<uint8_t>(*layer, "output_scales", [](int i) { return (i * 23 + 129) % 256; });
        fill_by_index<int8_t>(*layer, "output_shift", [](int i) { return (i * 13 + 7) % 64 - 32; });
    }
}

// Output scales stored on 16 bits fill the whole 16-bit scale field.
void wide_scales(Model& model) {
    vary(model);
    auto layer = model.get_layer("sr0");
    const auto& old = dynamic_cast<Dense&>(*layer->variables()->get("output_scales"));
    auto wide = Dense::create(TensorType::uint16, old.dimensions(), Dense::Layout::RowMajor);
    for (size_t i = 0; i < wide->size(); ++i)
        wide->data<uint16_t>()[i] = uint16_t(0x8001 + 0x1234 * i);
    layer->variables()->set("output_scales", std::shared_ptr<Dense>(std::move(wide)));
}

// A chain of recurrent layers "sr0", "sr1", ... after an input, closed by
// `closing` unless it is InputData (then the chain just ends).
std::vector<L> chain(const L& input, const std::vector<P>& layers, LT closing) {
    std::vector<L> out{input};
    for (size_t i = 0; i < layers.size(); ++i)
        out.push_back({LT::StatefulRecurrent, "sr" + std::to_string(i), layers[i]});
    if (closing == LT::Dequantizer) out.push_back({closing, "dequantizer", {}});
    if (closing == LT::MotePostProcessing) out.push_back({closing, "post", {}});
    return out;
}

Row row(const std::string& name, std::vector<L> layers,
        std::function<void(Model&)> prepare = vary) {
    return {name, &Mote_Selvo, "mote", std::move(layers), std::move(prepare)};
}

std::vector<Row> rows() {
    const L in8_4{LT::InputData, "input", in(10, 4, 8)};
    return {
        // One layer, no closing layer: 32-bit output, ReLU, 4 states (partial
        // FSRAM blocks), 16-bit output scales, a one-word input row.
        row("single_relu_o32_wide_scales", chain(in8_4, {sr(4, 3, 32, kRelu)}, LT::InputData),
            wide_scales),
        // 16-bit input of 8 channels (a 4-word row, doubled input-shift
        // fields), 28-bit output into a Dequantizer.
        row("i16_o28_dequantizer",
            chain({LT::InputData, "input", in(12, 8, 16)}, {sr(8, 10, 28)}, LT::Dequantizer)),
        // Three layers, subsample 2, 3 and 4, ReLU on the first and last, 13
        // input channels (two FSRAM column blocks, two input-shift words).
        row("three_layers_subsample",
            chain({LT::InputData, "input", in(48, 13, 8)},
                  {sr(8, 9, 8, kRelu, 2), sr(8, 5, 8, 0, 3), sr(8, 2, 8, kRelu, 4)},
                  LT::Dequantizer)),
        // A Quantizer feeding 16-bit input, two layers and post-processing.
        row("quantizer_i16_post_processing",
            chain({LT::Quantizer,
                   "quantizer",
                   {{"input_width", 1},
                    {"input_height", 40},
                    {"input_channels", 2},
                    {"output_bits", 16}}},
                  {sr(4, 6, 8, 0, 2), sr(4, 1, 8, kRelu)}, LT::MotePostProcessing)),
        // Seven layers and post-processing: all eight positions of the
        // per-layer fields, the post-processing flags at position 7.
        row("seven_layers_post_processing",
            chain({LT::InputData, "input", in(16, 5, 8)},
                  {sr(4, 3), sr(4, 5, 8, kRelu, 2), sr(4, 6), sr(4, 7), sr(4, 9, 8, kRelu),
                   sr(4, 10, 8, 0, 2), sr(4, 1, 8, kRelu)},
                  LT::MotePostProcessing)),
        // Eight layers into a Dequantizer: the ReLU flag and the channel
        // fields of position 7 without post-processing.
        row("eight_layers_dequantizer",
            chain(in8_4,
                  {sr(4, 3, 8, kRelu), sr(4, 5), sr(4, 6, 8, 0, 4), sr(4, 7), sr(4, 9), sr(4, 10),
                   sr(4, 11, 8, 0, 3), sr(4, 2, 8, kRelu)},
                  LT::Dequantizer)),
    };
}

TEST(GoldenMote, ProgramBytesOfEveryFormatterPath) {
    for (const Row& r : rows()) golden::expect_golden("mote", r);
}

// Words worked out from the field layouts. Track 0 is the register block,
// track 1 the FSRAM image, track 2 the TSRAM image, each after a two-word
// block header; a 64-bit or 51-bit memory word is two entries, low half first.
// Variables follow `vary` and the harness's fill (element 0 of a first layer:
// A_real = A_imag = -18, weights (r, c) = -128 + (37 * (r + rows * c) + 27) % 256).
TEST(GoldenMote, HandComputedWords) {
    struct Word {
        const char* row;
        size_t track, index;
        uint32_t value;
    };
    const Word words[] = {
        // Registers. Word 0: 28-bit output (bit 22) from 16-bit input (bit 19).
        {"i16_o28_dequantizer", 0, 0, 1u << 22 | 1u << 19},
        // Word 1: a row of 8 x 16 bits padded to 4 words; no timesteps.
        {"i16_o28_dequantizer", 0, 1, 4},
        // Word 3: input shift at 8 + 10 = 18, outputs at 8 (the states).
        {"i16_o28_dequantizer", 0, 3, 8u << 16 | 18},
        // Post-processing: count 3, bits 17-20 (16-bit in and out), 40
        // timesteps, a one-word row, state offset 2 * 4.
        {"quantizer_i16_post_processing", 0, 0, 2u | 0xfu << 17},
        {"quantizer_i16_post_processing", 0, 1, 40u << 8 | 1},
        {"quantizer_i16_post_processing", 0, 4, 8},
        // Eight positions: subsample 2 at positions 1 and 5.
        {"seven_layers_post_processing", 0, 5, 1u << 2 | 1u << 10},
        // Output channels of positions 6 (1) and 7 (the post-processing 1),
        // input channels of positions 6 (10) and 7 (1).
        {"seven_layers_post_processing", 0, 10, 1u | 1u << 9},
        {"seven_layers_post_processing", 0, 14, 10u | 1u << 9},
        // Post-processing flag at position 7, flags of 6 and 7, ReLU at 1, 4, 6.
        {"seven_layers_post_processing", 0, 15, 0x80u | 0xc0u << 8 | 0x52u << 16},
        // Subsample 4 at position 2, 3 at position 6; ReLU at 0 and 7.
        {"eight_layers_dequantizer", 0, 5, 3u << 4 | 2u << 12},
        {"eight_layers_dequantizer", 0, 14, 10u | 11u << 9},
        {"eight_layers_dequantizer", 0, 15, 0x81u << 16},
        // FSRAM: in_proj row 0 of 4 columns: bytes 0x9b 0x2f 0xc3 0x57, the
        // upper half of the short block left 0.
        {"single_relu_o32_wide_scales", 1, 0, 0x57c32f9b},
        {"single_relu_o32_wide_scales", 1, 1, 0},
        // 13 columns: block 1 of row 0 (columns 8-12) comes after the eight
        // rows of block 0: bytes 0xdb 0x03 0x2b 0x53 | 0x7b.
        {"three_layers_subsample", 1, 16, 0x532b03db},
        {"three_layers_subsample", 1, 17, 0x7b},
        // TSRAM state word 0: real and imag -18; iso -13 (5 bits 0x13),
        // scale 200, nss -27 (6 bits 0x25) from bit 32 on.
        {"single_relu_o32_wide_scales", 2, 0, 0xffeeffee},
        {"single_relu_o32_wide_scales", 2, 1, 0x13u | 200u << 5 | 0x25u << 13},
        // Output word 0: 16-bit scale 0x8001, shift -25 (0x27), bias -38
        // (0xda), bias shift 17 across bit 32.
        {"single_relu_o32_wide_scales", 2, 8, 0x8001u | 0x27u << 16 | 0xdau << 22 | 1u << 30},
        {"single_relu_o32_wide_scales", 2, 9, 17u >> 2},
        // Input shift of 4 channels at 8 bits: 5, 0, 3, 6 in 3-bit fields.
        {"single_relu_o32_wide_scales", 2, 14, 5u | 3u << 6 | 6u << 9},
        // Before post-processing: its input scale 3 and shift -2 (0x3e).
        {"quantizer_i16_post_processing", 2, 28, 3u | 0x3eu << 16 | 0xdau << 22 | 1u << 30},
        // Post-processing word: scale 1, shift -floor(log2(20)) = -4 (0x3c),
        // threshold 0x9a5c from bit 22.
        {"quantizer_i16_post_processing", 2, 30, 1u | 0x3cu << 16 | 0x25cu << 22},
        {"quantizer_i16_post_processing", 2, 31, 0x9a5cu >> 10},
        // 16-bit input: each shift value twice (5 5 | 0 0).
        {"quantizer_i16_post_processing", 2, 32, 5u | 5u << 3},
        {"i16_o28_dequantizer", 2, 36, 0x2du | 3u << 12 | 3u << 15 | 6u << 18 | 6u << 21},
    };
    std::map<std::string, std::shared_ptr<Model>> models;
    for (const Row& r : rows()) models[r.name] = golden::build_and_map(r);
    for (const Word& w : words) {
        // Record 2 holds the chain's tracks (the input and the chain's other
        // layers record none).
        EXPECT_EQ(golden::track_word(*models.at(w.row), 0, 0, 2, w.track, 2 + w.index), w.value)
            << w.row << " track " << w.track << " word " << w.index;
    }
}

}  // namespace
}  // namespace vorna
