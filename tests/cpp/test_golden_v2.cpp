// v2 program bytes of small models, one per path of the register and weight
// formatters, against the expected text in tests/data/golden/v2/.

#include <set>

#include "golden_program.h"

namespace vorna {
namespace {

using golden::L;
using golden::P;
using golden::Row;
using LT = LayerType;

P in(int x, int y, int c, int bits = 8) {
    return {{"input_width", x}, {"input_height", y}, {"input_channels", c}, {"input_bits", bits}};
}
P conv(int filters, int kernel, int activation, P more = {}) {
    P p{{"filters", filters}, {"kernel_size", kernel}, {"activation", activation},
        {"kernel_stride", 1}, {"output_bits", 8},      {"weights_bits", 8}};
    for (const auto& [k, v] : more) p[k] = v;
    return p;
}
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

}  // namespace
}  // namespace vorna
