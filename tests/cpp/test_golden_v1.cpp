// v1 program bytes of small models, one per path of the register and weight
// formatters, against the expected text in tests/data/golden/v1/.

#include <set>

#include "backend/v1/cnp_registers.h"
#include "golden_program.h"
#include "v1_test_util.h"

namespace vorna {
namespace {

using golden::in;
using golden::L;
using golden::P;
using golden::Row;
using golden::with;
using LT = LayerType;

// Convolutional or SeparableConvolutional.
P cv(int filters, int kernel, int wb, int act_bits, const P& more = {}) {
    return with({{"filters", filters},
                 {"kernel_width", kernel},
                 {"kernel_height", kernel},
                 {"weights_bits", wb},
                 {"act_bits", act_bits}},
                more);
}
P fc(int units, int wb, int act_bits, const P& more = {}) {
    return with({{"units", units}, {"weights_bits", wb}, {"act_bits", act_bits}}, more);
}
P hrc(int x, int y, int c, int kernel, int filters, int act_bits, const P& more = {}) {
    return with({{"input_width", x},
                 {"input_height", y},
                 {"input_channels", c},
                 {"kernel_width", kernel},
                 {"kernel_height", kernel},
                 {"padding", 1},
                 {"stride_x", 1},
                 {"stride_y", 1},
                 {"filters", filters},
                 {"weights_bits", 8},
                 {"padding_value", 0},
                 {"activation", 1},
                 {"act_bits", act_bits},
                 {"pooling_width", 1},
                 {"pooling_height", 1},
                 {"pool_type", 0},
                 {"pooling_stride_x", -1},
                 {"pooling_stride_y", -1}},
                more);
}
P pool(int type, int size, int stride = -1) {
    return {{"pool_type", type},
            {"pooling_width", size},
            {"pooling_height", size},
            {"pooling_stride_x", stride},
            {"pooling_stride_y", stride}};
}

// The preset's device with only the NPs `keep` accepts, each without the
// kinds in `drop`: a small mesh makes several passes from a few layers.
std::function<std::shared_ptr<Device>()> mesh_of(HwVersion version, std::string preset,
                                                 std::function<bool(const hw::Ident&)> keep,
                                                 std::set<hw::Type> drop = {}) {
    return [=]() {
        const Mesh full = e2e::preset_mesh(preset);
        std::vector<np::Info> nps;
        for (np::Info info : full.nps) {
            if (!keep(info.ident)) continue;
            for (hw::Type t : drop) info.types.erase(t);
            nps.push_back(info);
        }
        return make_virtual_device(version, Mesh(full.ip_version, full.dma_event, full.dma_conf,
                                                 full.hrc, nps, full.skip_dmas));
    };
}
// Constraints with smaller CNP tiles: a layer split over several NPs.
std::function<std::shared_ptr<MapConstraints>(const std::shared_ptr<Device>&)> tiles(
    uint32_t width, uint32_t height, uint32_t filters) {
    return [=](const std::shared_ptr<Device>& device) {
        auto c = std::make_shared<MapConstraints>(device);
        c->set_cnp_max_width(width);
        c->set_cnp_max_height(height);
        c->set_cnp_max_filters(filters);
        return c;
    };
}

// Values that use every bit a field has: weights over the whole range of their
// width (0 and 1 for 1-bit FNP weights), thresholds of both signs, steps that
// differ by neuron.
void vary(Model& model) {
    for (const auto& layer : model.layers()) {
        const LayerType type = layer->params()->layer_type();
        Variables& v = *layer->variables();
        const int wb = layer->params()->get_or("weights_bits", 0);
        for (const char* name : {"weights", "weights_pw"}) {
            if (!v.has(name)) continue;
            Dense& w = e2e::var(*layer, name);
            if (type == LT::InputConvolutional) {
                e2e::fill_i8(w, [](size_t i) { return int8_t(int((i * 37 + 11) % 256) - 128); });
            } else if (type == LT::FullyConnected && wb == 1) {
                e2e::fill_i8(w, [](size_t i) { return int8_t((i * 5 + 1) % 3 == 0); });
            } else if (wb >= 3) {
                const int top = (1 << (wb - 1)) - 1;
                e2e::fill_i8(w, [top](size_t i) {
                    return int8_t(int((i * 7 + 3) % size_t(2 * top + 1)) - top);
                });
            }
        }
        if (v.has("threshold") && e2e::var(*layer, "threshold").type() == TensorType::int32) {
            Dense& t = e2e::var(*layer, "threshold");
            for (size_t i = 0; i < t.size(); ++i)
                t.data<int32_t>()[i] = int32_t((i * 97 + 13) % 2001) - 1000;
        }
        if (v.has("act_step") && e2e::var(*layer, "act_step").type() == TensorType::float32) {
            Dense& s = e2e::var(*layer, "act_step");
            for (size_t i = 0; i < s.size(); ++i) s.data<float>()[i] = 0.5f + float(i % 7) * 0.25f;
        }
    }
}

// A learning layer (the last one) whose neurons each have six connections.
void learning(Model& model, double classes) {
    vary(model);
    const Layer& learner = *model.layers().back();
    Dense& w = e2e::var(learner, "weights");
    e2e::fill<int8_t>(w, 0);
    const uint32_t units = w.dimensions()[0], inputs = w.dimensions()[1];
    for (uint32_t n = 0; n < units; ++n) {
        for (uint32_t k = 0; k < 6; ++k)
            w.data<int8_t>()[w.offset_of({n, (n * 7 + k * 9) % inputs})] = 1;
    }
    Dense& t = e2e::var(learner, "threshold_learning");
    for (size_t i = 0; i < t.size(); ++i) t.data<int32_t>()[i] = int32_t(0x12345 + i * 0x8101);
    Dense& swap = e2e::var(learner, "thswap");
    for (size_t i = 0; i < swap.size(); ++i) swap.data<int32_t>()[i] = int32_t(0x8001 + i * 3);
    model.compile(
        LearningParams::create(LearningType::Unsupervised, {{"initial_plasticity", 0.5},
                                                            {"learning_competition", 0.25},
                                                            {"min_plasticity", 0.1},
                                                            {"num_classes", classes},
                                                            {"num_weights", 6.0},
                                                            {"plasticity_decay", 0.25}}));
}

std::vector<Row> rows() {
    const HwVersion* xvr = &XVR2200_v1;
    const auto row = [&](const std::string& name, std::vector<L> layers) {
        return Row{name, xvr, "v1", std::move(layers), vary};
    };
    const auto split = [&](const std::string& name, auto constraints, std::vector<L> layers) {
        return Row{name, xvr, "v1", std::move(layers), vary, {}, constraints};
    };
    const auto tarn = [&](const std::string& name, std::vector<L> layers) {
        return Row{name, &Tarn_v2, "tarn_v2", std::move(layers), vary};
    };
    const auto two_nps = [](const hw::Ident& i) {
        return i.row == 1 && i.id == 0 && (i.col == 4 || i.col == 3);
    };
    const auto fnp3s = [](const hw::Ident& i) { return i.col == 4 && i.id == 0; };
    const auto three_cnps = [](const hw::Ident& i) { return i.col == 3 && i.row == 1 && i.id < 3; };
    const auto all = [](const hw::Ident&) { return true; };
    return {
        row("conv_k3_w2",
            {{LT::InputData, "input", in(8, 8, 4, 2)}, {LT::Convolutional, "c", cv(8, 3, 2, 2)}}),
        row("conv_k3_w1_in1",
            {{LT::InputData, "input", in(8, 8, 4, 1)}, {LT::Convolutional, "c", cv(8, 3, 1, 1)}}),
        row("conv_k3_w4_in4",
            {{LT::InputData, "input", in(8, 8, 4, 4)}, {LT::Convolutional, "c", cv(12, 3, 4, 4)}}),
        row("conv_k1_w4",
            {{LT::InputData, "input", in(8, 8, 4, 2)}, {LT::Convolutional, "c", cv(16, 1, 4, 2)}}),
        row("conv_k1_w2",
            {{LT::InputData, "input", in(8, 8, 4, 2)}, {LT::Convolutional, "c", cv(24, 1, 2, 2)}}),
        row("conv_k1_w1",
            {{LT::InputData, "input", in(8, 8, 4, 2)}, {LT::Convolutional, "c", cv(8, 1, 1, 2)}}),
        row("conv_k5_w1",
            {{LT::InputData, "input", in(8, 8, 4, 2)}, {LT::Convolutional, "c", cv(8, 5, 1, 2)}}),
        row("conv_k5_w4",
            {{LT::InputData, "input", in(8, 8, 2, 2)}, {LT::Convolutional, "c", cv(8, 5, 4, 2)}}),
        row("conv_k7_w2",
            {{LT::InputData, "input", in(8, 8, 2, 2)}, {LT::Convolutional, "c", cv(8, 7, 2, 2)}}),
        row("conv_k7_w4",
            {{LT::InputData, "input", in(8, 8, 2, 2)}, {LT::Convolutional, "c", cv(10, 7, 4, 4)}}),
        row("conv_stride2",
            {{LT::InputData, "input", in(8, 8, 4, 2)},
             {LT::Convolutional, "c", cv(8, 3, 2, 2, {{"stride_x", 2}, {"stride_y", 2}})}}),
        row("conv_no_activation", {{LT::InputData, "input", in(8, 8, 4, 2)},
                                   {LT::Convolutional, "c", cv(8, 3, 2, 2, {{"activation", 0}})}}),
        row("pool_max2", {{LT::InputData, "input", in(8, 8, 4, 2)},
                          {LT::Convolutional, "c", cv(8, 3, 2, 2, pool(1, 2))},
                          {LT::Convolutional, "d", cv(8, 3, 2, 2)}}),
        row("pool_max3_s2", {{LT::InputData, "input", in(9, 9, 4, 2)},
                             {LT::Convolutional, "c", cv(8, 3, 2, 2, pool(1, 3, 2))},
                             {LT::Convolutional, "d", cv(8, 3, 2, 2)}}),
        row("pool_global_avg", {{LT::InputData, "input", in(8, 8, 4, 2)},
                                {LT::Convolutional, "c", cv(8, 3, 2, 2, pool(2, -1))},
                                {LT::FullyConnected, "f", fc(4, 2, 2)}}),
        row("sep_k3_w2", {{LT::InputData, "input", in(8, 8, 4, 2)},
                          {LT::SeparableConvolutional, "s", cv(8, 3, 2, 2)}}),
        row("sep_one_row", {{LT::InputData, "input", in(8, 1, 4, 2)},
                            {LT::SeparableConvolutional, "s", cv(8, 3, 2, 2)}}),
        row("sep_global_avg", {{LT::InputData, "input", in(8, 8, 4, 2)},
                               {LT::SeparableConvolutional, "s", cv(8, 3, 2, 2, pool(2, -1))},
                               {LT::FullyConnected, "f", fc(4, 2, 2)}}),
        row("sep_k3_w4", {{LT::InputData, "input", in(8, 8, 5, 2)},
                          {LT::SeparableConvolutional, "s", cv(12, 3, 4, 4)}}),
        row("sep_k5_w2", {{LT::InputData, "input", in(8, 8, 4, 2)},
                          {LT::SeparableConvolutional, "s", cv(20, 5, 2, 1)}}),
        row("sep_k5_w4_pool", {{LT::InputData, "input", in(8, 8, 3, 2)},
                               {LT::SeparableConvolutional, "s", cv(10, 5, 4, 2, pool(1, 2))},
                               {LT::Convolutional, "d", cv(8, 3, 2, 2)}}),
        row("sep_k7_w4_stride", {{LT::InputData, "input", in(8, 8, 3, 2)},
                                 {LT::SeparableConvolutional, "s", cv(8, 7, 4, 2)}}),
        row("fc_flat_w2",
            {{LT::InputData, "input", in(1, 1, 64, 1)}, {LT::FullyConnected, "f", fc(10, 2, 2)}}),
        row("fc_flat_w1",
            {{LT::InputData, "input", in(1, 1, 40, 2)}, {LT::FullyConnected, "f", fc(6, 1, 1)}}),
        row("fc_w3_no_activation", {{LT::InputData, "input", in(1, 1, 70, 1)},
                                    {LT::FullyConnected, "f", fc(5, 3, 2, {{"activation", 0}})}}),
        row("conv_fc_w4", {{LT::InputData, "input", in(4, 4, 4, 2)},
                           {LT::Convolutional, "c", cv(8, 3, 2, 4)},
                           {LT::FullyConnected, "f", fc(6, 4, 4)}}),
        row("hrc_rgb_k3", {{LT::InputData, "input", in(8, 8, 3, 8)},
                           {LT::InputConvolutional, "h", hrc(8, 8, 3, 3, 8, 2)},
                           {LT::Convolutional, "c", cv(8, 3, 2, 2)}}),
        row("hrc_gray_k5_valid_s2",
            {{LT::InputData, "input", in(16, 16, 1, 8)},
             {LT::InputConvolutional, "h",
              hrc(16, 16, 1, 5, 8, 1, {{"padding", 0}, {"stride_x", 2}, {"stride_y", 2}})},
             {LT::Convolutional, "c", cv(8, 3, 2, 2)}}),
        row("hrc_gray_k7_maxpool",
            {{LT::InputData, "input", in(16, 16, 1, 8)},
             {LT::InputConvolutional, "h", hrc(16, 16, 1, 7, 8, 4, pool(1, 2, 2))},
             {LT::Convolutional, "c", cv(8, 3, 2, 2)}}),
        row("hrc_gray_k3_wide",
            {{LT::InputData, "input", in(8, 8, 1, 8)},
             {LT::InputConvolutional, "h", hrc(8, 8, 1, 3, 200, 2, {{"padding_value", 5}})},
             {LT::Convolutional, "c", cv(8, 3, 2, 2)}}),
        row("hrc_only", {{LT::InputData, "input", in(8, 8, 3, 8)},
                         {LT::InputConvolutional, "h", hrc(8, 8, 3, 3, 4, 2, {{"stride_x", 3}})}}),
        row("fc_in4",
            {{LT::InputData, "input", in(1, 1, 64, 4)}, {LT::FullyConnected, "f", fc(8, 4, 1)}}),
        row("fc_fc_grid", {{LT::InputData, "input", in(4, 4, 4, 2)},
                           {LT::FullyConnected, "f", fc(12, 2, 2)},
                           {LT::FullyConnected, "g", fc(5, 3, 4)}}),
        split("split_width_stride2", tiles(8, 256, 512),
              {{LT::InputData, "input", in(16, 8, 4, 2)},
               {LT::Convolutional, "c", cv(8, 3, 2, 2, {{"stride_x", 2}, {"stride_y", 2}})}}),
        split("split_height_pool", tiles(32, 4, 512),
              {{LT::InputData, "input", in(8, 16, 4, 2)},
               {LT::Convolutional, "c", cv(8, 3, 2, 2, pool(1, 2))},
               {LT::Convolutional, "d", cv(8, 3, 2, 2)}}),
        split(
            "split_filters_w4", tiles(32, 256, 8),
            {{LT::InputData, "input", in(8, 8, 4, 2)}, {LT::Convolutional, "c", cv(20, 3, 4, 2)}}),
        split("split_sep_filters", tiles(32, 256, 8),
              {{LT::InputData, "input", in(8, 8, 4, 2)},
               {LT::SeparableConvolutional, "s", cv(20, 3, 2, 2)}}),
        split("split_pool2_odd", tiles(5, 5, 512),
              {{LT::InputData, "input", in(9, 9, 4, 2)},
               {LT::Convolutional, "c", cv(8, 3, 2, 2, pool(1, 2))},
               {LT::Convolutional, "d", cv(8, 3, 2, 2)}}),
        split("split_sep_width_k5_w4", tiles(8, 256, 512),
              {{LT::InputData, "input", in(16, 8, 3, 2)},
               {LT::SeparableConvolutional, "s", cv(10, 5, 4, 2)}}),
        Row{"passes_reconfig_cnp_fnp",
            xvr,
            "v1",
            {{LT::InputData, "input", in(4, 4, 4, 2)},
             {LT::Convolutional, "c0", cv(8, 3, 2, 2)},
             {LT::Convolutional, "c1", cv(8, 3, 2, 2)},
             {LT::FullyConnected, "f", fc(6, 2, 2)}},
            vary,
            mesh_of(XVR2200_v1, "v1", fnp3s)},
        Row{"passes_reconfig_cnp_cnp",
            xvr,
            "v1",
            {{LT::InputData, "input", in(4, 4, 4, 2)},
             {LT::Convolutional, "c0", cv(8, 3, 2, 2)},
             {LT::Convolutional, "c1", cv(8, 3, 2, 2)},
             {LT::Convolutional, "c2", cv(8, 3, 2, 2)}},
            vary,
            mesh_of(XVR2200_v1, "v1", two_nps)},
        Row{"passes_fc_fc_fc",
            xvr,
            "v1",
            {{LT::InputData, "input", in(1, 1, 64, 2)},
             {LT::FullyConnected, "f", fc(16, 2, 2)},
             {LT::FullyConnected, "g", fc(8, 1, 1)},
             {LT::FullyConnected, "h", fc(4, 2, 2)}},
            vary,
            mesh_of(XVR2200_v1, "v1", fnp3s)},
        Row{"passes_unused_nps",
            xvr,
            "v1",
            {{LT::InputData, "input", in(8, 8, 4, 2)},
             {LT::Convolutional, "c0", cv(8, 3, 2, 2)},
             {LT::Convolutional, "c1", cv(8, 3, 2, 2)},
             {LT::Convolutional, "c2", cv(16, 3, 2, 2)},
             {LT::Convolutional, "c3", cv(8, 3, 2, 2)}},
            vary,
            mesh_of(XVR2200_v1, "v1", three_cnps),
            tiles(32, 256, 8)},
        Row{"learn_fnp3_second_pass",
            xvr,
            "v1",
            {{LT::InputData, "input", in(4, 4, 4, 2)},
             {LT::Convolutional, "c0", cv(8, 3, 2, 1)},
             {LT::Convolutional, "c1", cv(8, 3, 2, 1)},
             {LT::FullyConnected, "f", fc(8, 1, 1)}},
            [](Model& m) { learning(m, 2); },
            mesh_of(XVR2200_v1, "v1", fnp3s)},
        Row{"learn_fnp2_gemel",
            &Gemel_v1,
            "gemel",
            {{LT::InputData, "input", in(1, 1, 40, 1)}, {LT::FullyConnected, "f", fc(6, 1, 1)}},
            [](Model& m) { learning(m, 1); },
            mesh_of(Gemel_v1, "gemel", all, {hw::Type::FNP3})},
        row("conv_2048_filters", {{LT::InputData, "input", in(2, 2, 1, 2)},
                                  {LT::Convolutional, "c", cv(2048, 1, 1, 1)}}),
        row("quantizer_conv", {{LT::Quantizer,
                                "q",
                                {{"input_width", 8},
                                 {"input_height", 8},
                                 {"input_channels", 4},
                                 {"output_bits", 4},
                                 {"output_signed", 0}}},
                               {LT::Convolutional, "c", cv(8, 3, 2, 2, {{"activation", 0}})}}),
        Row{"fc_fnp2",
            xvr,
            "v1",
            {{LT::InputData, "input", in(4, 4, 3, 2)}, {LT::FullyConnected, "f", fc(7, 4, 2)}},
            vary,
            mesh_of(XVR2200_v1, "v1", all, {hw::Type::FNP3})},
        tarn("tarn_hrc_conv_fc", {{LT::InputData, "input", in(8, 8, 3, 8)},
                                  {LT::InputConvolutional, "h", hrc(8, 8, 3, 3, 8, 2)},
                                  {LT::Convolutional, "c", cv(8, 3, 2, 2)},
                                  {LT::FullyConnected, "f", fc(4, 2, 2)}}),
        tarn("tarn_fc_flat",
             {{LT::InputData, "input", in(1, 1, 64, 1)}, {LT::FullyConnected, "f", fc(4, 2, 2)}}),
        tarn("tarn_fc_grid",
             {{LT::InputData, "input", in(4, 4, 4, 2)}, {LT::FullyConnected, "f", fc(4, 2, 2)}}),
        tarn("tarn_conv",
             {{LT::InputData, "input", in(8, 8, 4, 2)}, {LT::Convolutional, "c", cv(8, 3, 2, 2)}}),
    };
}

TEST(GoldenV1, ProgramBytesOfEveryFormatterPath) {
    for (const Row& row : rows()) golden::expect_golden("v1", row);
}

// One DMA block of a mapped program: its target and payload.
struct Block {
    uint32_t target;
    std::vector<uint32_t> words;
};

std::vector<Block> blocks_of(const fb::RecordTracks* record) {
    std::vector<Block> out;
    for (const auto* track : *record->tracks()) {
        const auto& d = *track->data();
        for (size_t pos = 0; pos + 2 <= d.size();) {
            const uint32_t w0 = d[pos], w1 = d[pos + 1];
            const size_t n =
                dma::HDR0_XL.get(w0) ? dma::HDR1_XL_SIZE.get(w1) * 16 : dma::HDR0_SIZE.get(w0);
            out.push_back(
                {dma::HDR0_TARGET.get(w0), {d.begin() + pos + 2, d.begin() + pos + 2 + n}});
            pos += 2 + n;
        }
    }
    return out;
}

const fb::ProgramData& data_of(const Model& model) {
    const uint8_t* p = model.sequences().at(0)->program().data;
    return *flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(p + e2e::read_u32(p) + 4);
}

// Words computed by hand from the register and memory layouts, for rows whose
// path no unit test builds: the `nth` block of DMA target `target` in record
// `record` of pass `pass` (pass -1: learning record `record`), word `index`.
TEST(GoldenV1, HandComputedWords) {
    struct Word {
        const char* row;
        int pass;
        size_t record;
        uint32_t target;
        size_t nth, index;
        uint32_t value;
        const char* why;
    };
    const uint32_t R = dma::NpRegisters, RAM = dma::FnpRam, IP = dma::IpRegisters;
    const Word words[] = {
        {"conv_k3_w2", 0, 0, IP, 0, 0, 0x19, "input setup: not HRC, compact output, input type 0"},
        {"conv_k3_w2", 0, 0, IP, 2, 0, 0x00800040, "output size: 8 channels, 8 x 8 values"},
        {"hrc_only", 0, 0, IP, 0, 0, 0x110, "input setup: HRC first and last, input type 0"},
        {"sep_k5_w2", 0, 2, R, 0, 3, 0x01018115, "input 2 bits, separable, 2-bit codes, act"},
        {"sep_k5_w2", 0, 2, R, 0, 20, 0x50000002, "kernel 5; 20 filters x 2 bits: 2 rows"},
        {"sep_k5_w2", 0, 2, R, 0, 22, 0x00080000, "4 channels of 5x5x2 bits: 8 rows -> 16/2"},
        {"conv_k7_w4", 0, 2, R, 0, 11, 48u << 12 | 8, "2 x 2 x 96 words / 2 ch / 4; row 8"},
        {"conv_k7_w4", 0, 2, R, 0, 21, 10, "10 filters of a 4-bit kernel 7"},
        {"conv_k1_w4", 0, 2, R, 0, 20, 0x10100000, "kernel 1, 16 filters"},
        {"conv_k5_w1", 0, 2, R, 0, 21, 0x00080000, "8 filters of 1-bit kernel 5"},
        {"split_filters_w4", 0, 2, R, 2, 26, 0x0006000E, "third NP of 7, 7, 6: filters 14..19"},
        {"split_filters_w4", 0, 2, R, 2, 29, 1u << 16, "one group of 8"},
        {"split_filters_w4", 0, 2, R, 2, 11, 8u << 12 | 8, "2 x 4 x 16 words / 4 ch / 4"},
        {"fc_w3_no_activation", 0, 2, R, 0, 3, 0x01011090, "3-bit weights, act 2, FNP, ch 1"},
        {"fc_w3_no_activation", 0, 2, R, 0, 17, 0x00100050, "5 x (3 x 4 + 4) words, 1 block"},
        {"fc_w3_no_activation", 0, 2, RAM, 0, 0, 0x80000, "no activation: lowest threshold"},
        {"passes_reconfig_cnp_fnp", 0, 2, R, 0, 32, 0x03000017, "next FNP, 2-bit, channel 3"},
        {"passes_reconfig_cnp_fnp", 0, 2, R, 0, 34, 0x00040004, "4 x 4 input"},
        {"passes_reconfig_cnp_fnp", 0, 2, R, 0, 14, 0x2501, "CNP word 1 bit 4 clear: minimum"},
        {"passes_fc_fc_fc", 0, 2, R, 0, 32, 0x03000007, "next FNP, 1-bit, channel 3"},
        {"passes_fc_fc_fc", 0, 2, R, 0, 14, 0x80000002, "64 inputs: 2 words, kept"},
        {"passes_fc_fc_fc", 0, 3, R, 0, 44, 0xFF080004, "ends a pass: word 44 bit 2"},
        {"passes_fc_fc_fc", 1, 0, R, 0, 2, 0x80, "starts a pass: input spikes"},
        {"learn_fnp3_second_pass", -1, 1, R, 0, 36, 0x10000005, "round(0.75 x 6)"},
        {"learn_fnp3_second_pass", -1, 1, R, 0, 37, 0xFF000001, "ceil(0.1 x 6)"},
        {"learn_fnp3_second_pass", -1, 1, R, 0, 38, 1, "ceil(round(6 x 0.5) x 0.25)"},
        {"learn_fnp3_second_pass", -1, 1, R, 0, 2, 0x80, "starts a pass: input spikes"},
        {"learn_fnp3_second_pass", -1, 3, RAM, 0, 5 * 8 + 1, 2u << 20 | 28,
         "neuron 5: class 2, step 1.75"},
        {"hrc_gray_k5_valid_s2", 0, 2, IP, 0, 0, 0x00303011, "1 channel, valid, kernel 5"},
        {"hrc_gray_k5_valid_s2", 0, 2, IP, 0, 1, 0x22, "strides 2"},
        {"hrc_gray_k5_valid_s2", 0, 2, IP, 0, 4, 0x00070000, "8 filters"},
        {"hrc_gray_k7_maxpool", 0, 2, IP, 0, 0, 0x00031221, "kernel 7, pool 2 x 2, act 4"},
    };
    std::map<std::string, Row> by_name;
    for (const Row& row : rows()) by_name.emplace(row.name, row);
    for (const Word& w : words) {
        SCOPED_TRACE(std::string(w.row) + ": " + w.why);
        const auto model = golden::build_and_map(by_name.at(w.row));
        const fb::ProgramData& data = data_of(*model);
        const fb::RecordTracks* record = w.pass < 0
                                             ? (w.record == 1   ? data.learning()->record1()
                                                : w.record == 2 ? data.learning()->record2()
                                                                : data.learning()->record3())
                                             : data.passes()->Get(w.pass)->records()->Get(w.record);
        std::vector<Block> found;
        for (Block& b : blocks_of(record))
            if (b.target == w.target) found.push_back(std::move(b));
        ASSERT_LT(w.nth, found.size());
        ASSERT_LT(w.index, found[w.nth].words.size());
        EXPECT_EQ(found[w.nth].words[w.index], w.value)
            << std::hex << "0x" << found[w.nth].words[w.index];
    }
    // 2048 output channels do not fit the compact output type.
    const auto wide = golden::build_and_map(by_name.at("conv_2048_filters"));
    const ByteView bytes = wide->sequences().at(0)->program();
    EXPECT_EQ(int(ProgramInfo(bytes.data, bytes.size).info().output_type()), 2);
}

// Word 10 of an FNP keeps 11 bits of input width: a 2048-wide input is refused.
TEST(GoldenV1, FnpInputWidthFieldWidth) {
    const Row wide{
        "",
        &XVR2200_v1,
        "v1",
        {{LT::InputData, "input", in(2048, 1, 1, 1)}, {LT::FullyConnected, "f", fc(2, 2, 2)}}};
    const std::string error = e2e::runtime_error_of([&] { golden::build_and_map(wide); });
    EXPECT_NE(error.find("Attempted to write value 2048 into a 11-bit field"), std::string::npos)
        << error;
}

// Word 20 keeps 7 bits of pointwise rows: 1520 4-bit filters need 127 rows,
// 1536 need 128 and overflow.
TEST(GoldenV1, PointwiseRowsFieldWidth) {
    for (const uint32_t filters : {1520u, 1536u}) {
        auto net = v1_test::make_net(LayerType::SeparableConvolutional, cv(int(filters), 3, 4, 2),
                                     8, 8, 4);
        const NpSpace all = v1_test::space(0, 0, 8, 8, 4);
        v1_test::map_layer(*net.layer, {v1_test::cnp(hw::Ident{1, 2, 0, 0}, 0, filters, all, all)});
        if (filters == 1520) {
            const auto regs = v1::format_sep_cnp_regs(*net.layer, nullptr, false, false, {});
            EXPECT_EQ(regs.begin()->second[20] & 0xFFu, 127u);
        } else {
            EXPECT_EQ(v1_test::error_text(
                          [&] { v1::format_sep_cnp_regs(*net.layer, nullptr, false, false, {}); }),
                      "Attempted to write value 128 into a 7-bit field, which will cause an "
                      "overflow.");
        }
    }
}

}  // namespace
}  // namespace vorna
