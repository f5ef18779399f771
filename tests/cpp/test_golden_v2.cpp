// v2 program bytes of small models, one per path of the register and weight
// formatters, against the expected text in tests/data/golden/v2/.

#include <set>

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

P dense(int units, int activation, int output_bits = 8, int weights_bits = 8) {
    return {{"units", units},
            {"activation", activation},
            {"output_bits", output_bits},
            {"weights_bits", weights_bits}};
}

// Every per-neuron and per-channel variable but the weights gets a small
// pattern, so that a field written to the wrong place or not at all shows.
void vary(Model& model) {
    int seed = 0;
    for (const auto& layer : model.layers()) {
        ++seed;
        // The shifts of an Add are bounded together; they keep their zeros.
        if (layer->params()->layer_type() == LT::Add) continue;
        for (const auto& name : layer->variables()->names()) {
            if (name.rfind("weights", 0) == 0 || name == "lut_values") continue;
            // A wide output without activation keeps its shift and scale.
            if (name.rfind("output_s", 0) == 0 && layer->output_bits() > 8) continue;
            auto dense = std::dynamic_pointer_cast<Dense>(layer->variables()->get(name));
            if (!dense) continue;
            const size_t n = dense->size();
            switch (dense->type()) {
                case TensorType::uint8:
                    for (size_t i = 0; i < n; ++i)
                        dense->data<uint8_t>()[i] = uint8_t(1 + (i * 3 + seed) % 6);
                    break;
                case TensorType::int8:
                    for (size_t i = 0; i < n; ++i)
                        dense->data<int8_t>()[i] = int8_t(int((i * 5 + seed) % 7) - 3);
                    break;
                case TensorType::float32:
                    for (size_t i = 0; i < n; ++i)
                        dense->data<float>()[i] = 0.5f + 0.25f * float((i + seed) % 5);
                    break;
                default:
                    break;
            }
        }
    }
}

// The default constraints with at most `filters` filters on one NP: layers
// split over several NPs, and a model of few layers runs in several passes.
std::function<std::shared_ptr<MapConstraints>(const std::shared_ptr<Device>&)> max_filters(
    uint32_t filters) {
    return [filters](const std::shared_ptr<Device>& device) {
        auto c = std::make_shared<MapConstraints>(device);
        c->set_cnp_max_filters(filters);
        return c;
    };
}

// The v2 preset device with only the NPs named "col,row,id": a model of a
// few layers runs out of NPs and maps in several passes, each pass
// reconfiguring the NPs the next one starts on.
std::function<std::shared_ptr<Device>()> only(std::set<std::string> nps) {
    return [nps] {
        Mesh mesh = e2e::preset_mesh("v2");
        std::vector<np::Info> kept;
        for (const np::Info& np : mesh.nps) {
            const hw::Ident& i = np.ident;
            if (nps.count(std::to_string(i.col) + "," + std::to_string(i.row) + "," +
                          std::to_string(i.id)))
                kept.push_back(np);
        }
        mesh.nps = kept;
        return make_virtual_device(Selvo_v2, mesh);
    };
}

std::vector<Row> rows() {
    const HwVersion* v2 = &Selvo_v2;
    return {
        {"hrc_k7_maxpool",
         v2,
         "v2",
         {{LT::InputData, "input", in(16, 16, 1)},
          {LT::InputConv2D, "iconv",
           conv(8, 7, 1,
                {{"kernel_stride", 2}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}})},
          {LT::Conv2D, "conv", conv(8, 3, 1)}}},
        // Packed input, 8- and 4-bit inputs and weights, 4-, 8- and 32-bit
        // outputs with and without activation; two FNP3 then an FNP2.
        {"dense_packed_fnp3_fnp2",
         v2,
         "v2",
         {{LT::InputData, "input", in(1, 1, 64)},
          {LT::Dense1D, "d1", dense(20, 1, 4)},
          {LT::Dense1D, "d2", dense(6, 1, 4, 4)},
          {LT::Dense1D, "d3", dense(5, 0, 32, 4)}},
         vary},
        // RowPadded with 4-bit input: x-runs and rows both padded.
        {"dense_row_padded_4bit",
         v2,
         "v2",
         {{LT::InputData, "input", in(5, 3, 2)},
          {LT::Conv2D, "conv", conv(3, 3, 1, {{"output_bits", 4}})},
          {LT::Dense1D, "d", dense(4, 1, 4, 4)}},
         vary},
        // RunPadded: 8-bit input and weights after a CNP, runs of 5 bytes.
        {"dense_run_padded",
         v2,
         "v2",
         {{LT::InputData, "input", in(5, 3, 2)},
          {LT::Conv2D, "conv", conv(3, 3, 1)},
          {LT::Dense1D, "d", dense(4, 0)}},
         vary},
        // BufferTempConv then DepthwiseBufferTempConv on TNP-B.
        {"tnp_b",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 4)},
          {LT::Conv2D, "conv", conv(8, 3, 1)},
          {LT::BufferTempConv, "btc", {{"filters", 8}, {"fifo_size", 2}, {"activation", 1}}},
          {LT::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 3}, {"activation", 0}}}},
         vary},
        {"residual_add",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 4)},
          {LT::Conv2D, "A", conv(4, 3, 1)},
          {LT::Conv2D, "B", conv(4, 3, 1)},
          {LT::Conv2D, "E", conv(4, 3, 1)},
          {LT::Add, "S", {}, {"E", "A"}},
          {LT::Conv2D, "M", conv(4, 1, 1)}},
         vary},
        {"concatenate",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 4)},
          {LT::Conv2D, "M", conv(4, 1, 1)},
          {LT::Conv2D, "L", conv(4, 3, 1), {"M"}},
          {LT::Conv2D, "R", conv(2, 1, 1), {"M"}},
          {LT::Concatenate, "cat", {}, {"L", "R"}},
          {LT::Conv2D, "D", conv(4, 1, 1)}},
         vary},
        // The Add's first input also feeds the next Add: the merge layer
        // after the first Add stores its input again (dual output).
        {"dual_output",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 4)},
          {LT::Conv2D, "A", conv(4, 1, 1)},
          {LT::Conv2D, "B", conv(4, 1, 1)},
          {LT::Add, "S1", {}, {"B", "A"}},
          {LT::Conv2D, "M", conv(4, 1, 1)},
          {LT::Conv2D, "N", conv(4, 1, 1)},
          {LT::Add, "S2", {}, {"N", "S1"}},
          {LT::Conv2D, "O", conv(4, 1, 1)}},
         vary},
        // The merge layers after an Add and after a Concatenate start the
        // second pass.
        {"multi_pass_add_merge",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 4)},
          {LT::Conv2D, "A", conv(4, 1, 1)},
          {LT::Conv2D, "B", conv(4, 1, 1)},
          {LT::Add, "S", {}, {"B", "A"}},
          {LT::Conv2D, "M", conv(4, 1, 1)}},
         vary,
         only({"2,1,0", "2,1,1"})},
        {"multi_pass_concat_merge",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 4)},
          {LT::Conv2D, "A", conv(4, 1, 1)},
          {LT::Conv2D, "B", conv(2, 1, 1)},
          {LT::Concatenate, "cat", {}, {"B", "A"}},
          {LT::Conv2D, "M", conv(4, 1, 1)}},
         vary,
         only({"2,1,0", "2,1,1"})},
        // A sequence of the HRC alone.
        {"hrc_only",
         v2,
         "v2",
         {{LT::InputData, "input", in(6, 6, 1)}, {LT::InputConv2D, "iconv", conv(4, 3, 1)}}},
        {"quantizer_dequantizer",
         v2,
         "v2",
         {{LT::Quantizer,
           "q",
           {{"input_width", 4},
            {"input_height", 4},
            {"input_channels", 3},
            {"output_bits", 8},
            {"output_signed", 1},
            {"channels_first", 1}}},
          {LT::Conv2D, "conv", conv(4, 3, 0)},
          {LT::Dequantizer, "dq", {}}},
         vary},
        // Five layers on four NPs: two passes, the first layer of the
        // second reconfigured by the last of the first.
        {"multi_pass_conv",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 2)},
          {LT::Conv2D, "c0", conv(4, 1, 1)},
          {LT::Conv2D, "c1", conv(4, 1, 1)},
          {LT::Conv2D, "c2", conv(4, 1, 1)},
          {LT::Conv2D, "c3", conv(4, 1, 1)},
          {LT::Conv2D, "c4", conv(4, 1, 1)}},
         vary,
         only({"2,1,0", "2,1,1", "2,1,2", "2,1,3"})},
        // One NP that is both a CNP and an FNP3: each layer its own pass,
        // the FNP input packings of the next pass in the reconfiguration.
        {"multi_pass_fnp_run_padded",
         v2,
         "v2",
         {{LT::InputData, "input", in(5, 3, 2)},
          {LT::Conv2D, "c", conv(3, 3, 1)},
          {LT::Conv2D, "c2", conv(3, 3, 1)},
          {LT::Dense1D, "d", dense(4, 1)}},
         vary,
         only({"4,1,0", "4,1,1"})},
        {"multi_pass_fnp_row_padded",
         v2,
         "v2",
         {{LT::InputData, "input", in(5, 3, 2)},
          {LT::Conv2D, "c", conv(3, 3, 1)},
          {LT::Conv2D, "c2", conv(3, 3, 1, {{"output_bits", 4}})},
          {LT::Dense1D, "d", dense(4, 1, 4, 4)}},
         vary,
         only({"4,1,0", "4,1,1"})},
        // A depthwise layer split by channels over two NPs.
        {"multi_pass_dw_split",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 2)},
          {LT::Conv2D, "c", conv(4, 1, 1)},
          {LT::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"activation", 1}}},
          {LT::DepthwiseConv2D, "dw2", {{"kernel_size", 3}, {"activation", 1}}}},
         vary,
         only({"2,1,0", "2,1,1", "2,1,2", "2,1,3"}),
         max_filters(2)},
        {"multi_pass_tnp_b",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 4)},
          {LT::Conv2D, "c", conv(4, 1, 1)},
          {LT::BufferTempConv, "btc", {{"filters", 4}, {"fifo_size", 2}, {"activation", 1}}},
          {LT::Conv2D, "c2", conv(4, 1, 1)},
          {LT::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 2}, {"activation", 1}}}},
         vary,
         only({"2,1,0", "2,1,2"})},
        {"tnp_b_channel_split",
         v2,
         "v2",
         {{LT::InputData, "input", in(4, 4, 8)},
          {LT::Conv2D, "c", conv(8, 1, 1)},
          {LT::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 2}, {"activation", 1}}}},
         vary,
         {},
         max_filters(4)},
    };
}

TEST(GoldenV2, ProgramBytesOfEveryFormatterPath) {
    for (const Row& row : rows()) golden::expect_golden("v2", row);
}

// Words computed by hand from the register and memory layouts, at their place
// in the first track of a record: `at` is the index of the block's two-word
// header, `word` the index within the block, `mask` the bits checked (the
// mesh channel and routing fields are left to the expected text).
struct Word {
    const char* row;
    size_t pass, record, at, word;
    uint32_t mask, value;
    const char* what;
};

const Word kWords[] = {
    // Dense1D after a CNP, 5x3x3 8-bit input, RunPadded runs of 8 bytes, 4
    // neurons of 20 words, no activation, 8-bit output.
    {"dense_run_padded", 0, 3, 0, 3, 0x00FFFFFF, 0x000170B3, "codes 8/8/8, no activation"},
    {"dense_run_padded", 0, 3, 0, 10, ~0u, 0x00050003, "x 5, y 3"},
    {"dense_run_padded", 0, 3, 0, 11, ~0u, 0x00008000, "row bytes 8"},
    {"dense_run_padded", 0, 3, 0, 14, ~0u, 0xA0000012, "18 input words"},
    {"dense_run_padded", 0, 3, 0, 15, ~0u, 0x00140004, "4 neurons of 20 words"},
    {"dense_run_padded", 0, 3, 0, 17, ~0u, 0x00100050, "FNP3, 80 words"},
    {"dense_run_padded", 0, 3, 0, 28, ~0u, 0x00080006, "row bytes 8, row words 6"},
    // The same input at 4 bits, RowPadded (pad_x 1, pad_r 6), 4-bit weights
    // and output with activation: 11 words a neuron.
    {"dense_row_padded_4bit", 0, 3, 0, 3, 0x00FFFFFF, 0x0001A0A2, "codes 4/4/4, activation"},
    {"dense_row_padded_4bit", 0, 3, 0, 11, ~0u, 0x00003000, "row bytes 3"},
    {"dense_row_padded_4bit", 0, 3, 0, 14, ~0u, 0xA0000009, "9 input words"},
    {"dense_row_padded_4bit", 0, 3, 0, 15, ~0u, 0x000B0004, "4 neurons of 11 words"},
    {"dense_row_padded_4bit", 0, 3, 0, 17, ~0u, 0x0010002C, "FNP3, 44 words"},
    {"dense_row_padded_4bit", 0, 3, 0, 28, ~0u, 0x00030003, "row bytes 3, row words 3"},
    // Packed: 64 inputs, 20 neurons of 18 words in an XL block of 368 words;
    // the last layer on the FNP2.
    {"dense_packed_fnp3_fnp2", 0, 2, 0, 15, ~0u, 0x00120014, "20 neurons of 18 words"},
    {"dense_packed_fnp3_fnp2", 0, 2, 0, 17, ~0u, 0x00100168, "FNP3, 360 words"},
    {"dense_packed_fnp3_fnp2", 0, 4, 0, 1, 0x01000000, 0, "not an FNP3"},
    {"dense_packed_fnp3_fnp2", 0, 4, 0, 17, ~0u, 0x00000005, "FNP2"},
    // The next pass starts with the Dense1D on the CNP's NP: FNP mode, the
    // packet and row sizes of its packing.
    {"multi_pass_fnp_run_padded", 0, 2, 0, 32, 0x00FFFFFF, 0x00000037, "FNP, 8-bit input"},
    {"multi_pass_fnp_run_padded", 0, 2, 0, 34, ~0u, 0x00050003, "y 3, x 5"},
    {"multi_pass_fnp_run_padded", 0, 2, 0, 35, ~0u, 0x00080006, "packet 8, row 6"},
    {"multi_pass_fnp_row_padded", 0, 2, 0, 32, 0x00FFFFFF, 0x00000027, "FNP, 4-bit input"},
    {"multi_pass_fnp_row_padded", 0, 2, 0, 35, ~0u, 0x00030003, "packet 3, row 3"},
    // A depthwise layer split into channels 0-1 and 2-3 starts the next pass.
    {"multi_pass_dw_split", 0, 2, 0, 32, 0x00FFFFFF, 0x00000435, "channel groups"},
    {"multi_pass_dw_split", 0, 2, 0, 35, ~0u, 0x00108001, "separable, packet 16, row 1"},
    {"multi_pass_dw_split", 0, 2, 0, 42, ~0u, 0x00020000, "channels 0-1"},
    {"multi_pass_dw_split", 0, 2, 90, 42, ~0u, 0x00020002, "channels 2-3"},
    {"multi_pass_tnp_b", 0, 2, 0, 35, ~0u, 0x00040004, "CNP: packet 4, row 4"},
    {"multi_pass_add_merge", 0, 2, 0, 32, 0x000000FF, 0x3D, "merge after an Add"},
    {"multi_pass_concat_merge", 0, 2, 0, 32, 0x000000FF, 0x7D, "merge after a Concatenate"},
    // DepthwiseBufferTempConv, FIFO 2, 8 channels split 4 and 4 over two
    // TNP-Bs; its skip-DMA blocks come first.
    {"tnp_b_channel_split", 0, 3, 41, 3, 0x00000404, 0x00000404, "depthwise, channel split"},
    {"tnp_b_channel_split", 0, 3, 41, 4, 0xFFFF, 2, "FIFO 2"},
    {"tnp_b_channel_split", 0, 3, 41, 22, ~0u, 0x00040000, "neurons 0-3"},
    {"tnp_b_channel_split", 0, 3, 159, 22, ~0u, 0x00040004, "neurons 4-7"},
    {"tnp_b_channel_split", 0, 3, 41, 28, ~0u, 0x00040004, "4 channels, 4 words a row"},
    {"tnp_b_channel_split", 0, 3, 41, 29, 0x00FF0000, 0x00010000, "one neuron group"},
    {"tnp_b_channel_split", 0, 3, 41, 30, ~0u, 0x00030202, "FIFO 2, 3 slots"},
    {"tnp_b_channel_split", 0, 3, 41, 56, 0x81FF0000, 0x00010000, "one input block"},
    {"tnp_b_channel_split", 0, 3, 0, 0, ~0u, 0x83000601, "load start"},
    {"tnp_b_channel_split", 0, 3, 9, 1, ~0u, 3, "store slots: FIFO + 1"},
    {"tnp_b_channel_split", 0, 3, 13, 2, ~0u, 8, "stored words: 2 a pixel, 4 pixels"},
    {"tnp_b_channel_split", 0, 3, 27, 0, ~0u, 0x00020002, "load mode, FIFO 2"},
};

const Row& row_named(const std::vector<Row>& all, const std::string& name) {
    for (const Row& r : all)
        if (r.name == name) return r;
    throw std::out_of_range("no row " + name);
}

TEST(GoldenV2, HandComputedWords) {
    const std::vector<Row> all = rows();
    std::map<std::string, std::shared_ptr<Model>> models;
    for (const Word& w : kWords) {
        auto& model = models[w.row];
        if (!model) model = golden::build_and_map(row_named(all, w.row));
        const uint32_t got = golden::track_word(*model, 0, w.pass, w.record, 0, w.at + 2 + w.word);
        EXPECT_EQ(got & w.mask, w.value)
            << w.row << " p" << w.pass << " r" << w.record << " block @" << w.at << " word "
            << w.word << " (" << w.what << "): 0x" << std::hex << got;
    }
}

// The FNP RAM of neuron 0: its two variable words, then the weights in the
// order of the packing, read from the layer's own tensors.
TEST(GoldenV2, FnpRamLayouts) {
    const std::vector<Row> all = rows();
    const auto model_of = [&](const char* name) {
        return golden::build_and_map(row_named(all, name));
    };
    const auto s8 = [](const Layer& l, const char* var) {
        return uint32_t(uint8_t(e2e::var(l, var).at<int8_t>(0)));
    };
    const auto u8 = [](const Layer& l, const char* var) {
        return uint32_t(e2e::var(l, var).at<uint8_t>(0));
    };
    const auto weight = [](const Layer& l, uint32_t k, uint32_t bits) {
        return uint32_t(uint8_t(e2e::var(l, "weights").get<int8_t>({k, 0}))) & ((1u << bits) - 1);
    };
    {
        // RunPadded, 5x3x3: run r of neuron 0 holds inputs r + 9 xi, then 3 zero bytes.
        auto m = model_of("dense_run_padded");
        const Layer& d = *m->get_layer("d");
        const size_t ram = 86 + 2;
        EXPECT_EQ(golden::track_word(*m, 0, 0, 3, 0, ram),
                  s8(d, "bias") | (u8(d, "bias_shift") << 8));
        EXPECT_EQ(golden::track_word(*m, 0, 0, 3, 0, ram + 1),
                  u8(d, "output_scales") | (s8(d, "output_shift") << 8));
        uint32_t w2 = 0;
        for (uint32_t xi = 0; xi < 4; ++xi) w2 |= weight(d, 9 * xi, 8) << (8 * xi);
        EXPECT_EQ(golden::track_word(*m, 0, 0, 3, 0, ram + 2), w2);
        EXPECT_EQ(golden::track_word(*m, 0, 0, 3, 0, ram + 3), weight(d, 36, 8));
    }
    {
        // RowPadded at 4 bits: the run of channel 0 (inputs 0, 9, .. 36), one
        // padding nibble, then channel 1 (inputs 1, 10, ..).
        auto m = model_of("dense_row_padded_4bit");
        const Layer& d = *m->get_layer("d");
        const size_t ram = 86 + 2;
        EXPECT_EQ(golden::track_word(*m, 0, 0, 3, 0, ram),
                  s8(d, "bias") | u8(d, "bias_shift") << 8 | u8(d, "max_value") << 16 |
                      u8(d, "max_value_shift") << 24);
        uint32_t w2 = 0;
        for (uint32_t xi = 0; xi < 5; ++xi) w2 |= weight(d, 9 * xi, 4) << (4 * xi);
        w2 |= weight(d, 1, 4) << 24 | weight(d, 10, 4) << 28;
        EXPECT_EQ(golden::track_word(*m, 0, 0, 3, 0, ram + 2), w2);
    }
}

// A program whose data buffer passes 64 KiB (the FNP2 weights of 80 neurons
// of 1024 inputs) is read back with both size prefixes whole.
TEST(GoldenV2, ProgramInfoReadsSizePrefixesPast64KiB) {
    const Row row{"",
                  &Selvo_v2,
                  "v2",
                  {{LT::InputData, "input", in(1, 1, 1024)}, {LT::Dense1D, "d", dense(80, 1)}}};
    const auto model = golden::build_and_map(row);
    const ByteView bytes = model->sequences().at(0)->program();
    const size_t info = e2e::read_u32(bytes.data) + 4;
    ASSERT_GT(bytes.size - info, 0x10000u);
    const ProgramInfo program(bytes.data, bytes.size);
    EXPECT_EQ(program.info_size(), info);
    EXPECT_EQ(program.data_size(), bytes.size - info);
    EXPECT_EQ(extra_program_memory_required(program), 4u * 80 * (1024 / 4 + 2));
}

}  // namespace
}  // namespace vorna
