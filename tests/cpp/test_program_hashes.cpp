// Program bytes of a set of models that together use every layer kind of v1, v2
// and mote, pinned by a 64-bit FNV-1a hash each: any change of any program byte
// of these models shows here.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "golden_program.h"

namespace vorna {
namespace {

using golden::L;
using golden::P;
using LT = LayerType;

struct Case {
    const char* name;
    const HwVersion* version;
    const char* preset;
    std::vector<L> layers;
    uint64_t hash;
    bool learning = false;
};

uint64_t fnv1a(const uint8_t* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// Maps the case's model and hashes its program bytes, every sequence's in order.
uint64_t program_hash(const Case& c) {
    auto device = e2e::preset_device(*c.version, c.preset);
    auto model = Model::create();
    const bool v1 = c.version->get_ip_version() == IpVersion::v1;
    int seed = 1;
    for (const L& l : c.layers) {
        std::vector<std::shared_ptr<Layer>> inbound;
        for (const auto& n : l.inbound) inbound.push_back(model->get_layer(n));
        auto layer = e2e::make_layer(l.type, l.name, l.params);
        model->add(layer, inbound);
        golden::fill_variables(*layer, seed++, v1);
    }
    if (c.learning) {
        // Every neuron of the learning layer has exactly six connections.
        const Layer& learner = *model->get_layer(c.layers.back().name);
        Dense& w = e2e::var(learner, "weights");
        e2e::fill<int8_t>(w, 0);
        const uint32_t units = learner.params()->get_or("units", 0);
        const uint32_t inputs = c.layers.front().params.at("input_channels");
        for (uint32_t n = 0; n < units; ++n) {
            for (uint32_t k = 0; k < 6; ++k)
                w.data<int8_t>()[w.offset_of({n, (n * 7 + k * 9) % inputs})] = 1;
        }
        e2e::fill<int32_t>(e2e::var(learner, "threshold_learning"), 3);
        e2e::fill<int32_t>(e2e::var(learner, "thswap"), 2);
        // clang-format off
        model->compile(LearningParams::create(LearningType::Unsupervised,
            {{"initial_plasticity", 1.0}, {"learning_competition", 0.0}, {"min_plasticity", 0.1},
             {"num_classes", 2.0}, {"num_weights", 6.0}, {"plasticity_decay", 0.25}}));
        // clang-format on
    }
    model->map(device, true, std::make_shared<MapConstraints>(device));
    uint64_t h = 0;
    for (const auto& seq : model->sequences()) {
        const ByteView program = seq->program();
        h = h * 31 + fnv1a(program.data, program.size);
    }
    return h;
}

// clang-format off
P conv(int filters, int kernel, int activation, P more = {}) {
    P p{{"filters", filters}, {"kernel_size", kernel}, {"activation", activation},
        {"kernel_stride", 1}, {"output_bits", 8}, {"weights_bits", 8}};
    for (const auto& [k, v] : more) p[k] = v;
    return p;
}
P in(int x, int y, int c, int bits = 8) {
    return {{"input_width", x}, {"input_height", y}, {"input_channels", c}, {"input_bits", bits}};
}
P v1conv(int filters, int act_bits, P more = {}) {
    P p{{"filters", filters}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2},
        {"act_bits", act_bits}};
    for (const auto& [k, v] : more) p[k] = v;
    return p;
}
P v1hrc(int x, int y, int c, int kernel, int filters, int act_bits) {
    return {{"input_width", x}, {"input_height", y}, {"input_channels", c}, {"kernel_width", kernel},
            {"kernel_height", kernel}, {"padding", 1}, {"stride_x", 1}, {"stride_y", 1},
            {"filters", filters}, {"weights_bits", 8}, {"padding_value", 0}, {"activation", 1},
            {"act_bits", act_bits}, {"pooling_width", 1}, {"pooling_height", 1}, {"pool_type", 0},
            {"pooling_stride_x", 1}, {"pooling_stride_y", 1}};
}
std::vector<L> chain(std::vector<L> head, LT type, const char* prefix, int n, const P& p,
                     const std::vector<L>& tail) {
    for (int i = 0; i < n; ++i) head.push_back({type, prefix + std::to_string(i), p});
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
P recurrent(int states, int outputs, int bits = 8, int activation = 0, int subsample = 1) {
    return {{"stateful_channels", states}, {"output_channels", outputs}, {"subsample", subsample},
            {"activation", activation}, {"output_bits", bits}};
}

// Expected hashes were recorded from the program bytes before any speed work;
// the v1 cases with a Convolutional or SeparableConvolutional layer hold v1 CNP
// register words.
std::vector<Case> cases() {
    const HwVersion *v2 = &Selvo_v2, *xvr = &XVR2200_v1, *gemel = &Gemel_v1, *mote = &Mote_Selvo;
    return {
        {"v2_hrc_lut_pool_dense", v2, "v2",
         {{LT::InputData, "input", in(32, 32, 3)},
          {LT::InputConv2D, "iconv", conv(16, 3, 2, {{"kernel_stride", 2}})},
          {LT::Conv2D, "conv", conv(16, 3, 2)},
          {LT::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"activation", 1}, {"pool_type", 1},
                                       {"pool_size", 2}, {"output_bits", 8}}},
          {LT::Conv2D, "pw", conv(24, 1, 1, {{"kernel_stride", 2}})},
          {LT::Dense1D, "d1", {{"units", 48}, {"activation", 1}}},
          {LT::Dense1D, "d2", {{"units", 32}, {"activation", 1}}},
          {LT::Dense1D, "d3", {{"units", 10}, {"activation", 0}}}},
         0xb164f49102e5f274ull},
        {"v2_hrc_k7_maxpool", v2, "v2",
         {{LT::InputData, "input", in(32, 32, 1)},
          {LT::InputConv2D, "iconv", conv(8, 7, 1, {{"kernel_stride", 2}, {"pool_type", 1},
                                                    {"pool_size", 2}, {"pool_stride", 2}})},
          {LT::Conv2D, "conv", conv(8, 5, 1)}},
         0x9b60ee35022c6401ull},
        {"v2_residual_concat_gap", v2, "v2",
         {{LT::InputData, "input", in(8, 8, 8)}, {LT::Conv2D, "A", conv(16, 3, 1)},
          {LT::Conv2D, "B", conv(16, 3, 1)}, {LT::Conv2D, "E", conv(16, 3, 1)},
          {LT::Add, "S", {}, {"E", "A"}}, {LT::Conv2D, "M", conv(8, 1, 1)},
          {LT::Conv2D, "L", conv(8, 3, 1), {"M"}},
          {LT::Conv2D, "R", conv(8, 1, 1, {{"output_bits", 4}}), {"M"}},
          {LT::Concatenate, "cat", {}, {"L", "R"}},
          {LT::DepthwiseConv2D, "gap", {{"kernel_size", 3}, {"activation", 1}, {"pool_type", 2},
                                        {"pool_size", -1}}},
          {LT::Dense1D, "dense", {{"units", 12}}}},
         0xa72c7fab126e8705ull},
        {"v2_transpose_tnp_b_4bit", v2, "v2",
         {{LT::InputData, "input", in(8, 8, 8, 4)},
          {LT::Conv2D, "conv", conv(16, 3, 1, {{"weights_bits", 4}})},
          {LT::DepthwiseConv2DTranspose, "dwt", {{"kernel_size", 4}, {"activation", 1}}},
          {LT::Conv2DTranspose, "convt", {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}}},
          {LT::BufferTempConv, "btc", {{"filters", 8}, {"fifo_size", 4}, {"activation", 1}}},
          {LT::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 3}, {"activation", 0}}},
          {LT::DepthwiseConv2D, "dw", {{"kernel_size", 5}, {"kernel_stride", 2},
                                       {"weights_bits", 4}, {"output_bits", 4}}}},
         0xb6a73c099b16b780ull},
        {"v2_quantizer_split_layers", v2, "v2",
         {{LT::Quantizer, "q", {{"input_width", 128}, {"input_height", 16}, {"input_channels", 8},
                                {"output_bits", 8}, {"output_signed", 1}}},
          {LT::Conv2D, "wide", conv(64, 3, 1)},
          {LT::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"activation", 1}}},
          {LT::Conv2D, "deep", conv(256, 3, 0)}, {LT::Dequantizer, "dq", {}}},
         0x971a776af7ecba6aull},
        {"v2_multi_pass_residual", v2, "v2",
         chain({{LT::InputData, "input", in(16, 16, 16)}}, LT::Conv2D, "c", 25, conv(16, 3, 1),
               {{LT::Conv2D, "A", conv(16, 3, 1)}, {LT::Conv2D, "B", conv(16, 3, 1)},
                {LT::Conv2D, "E", conv(16, 3, 1)}, {LT::Add, "S", {}, {"E", "A"}},
                {LT::Conv2D, "M", conv(16, 1, 1)},
                {LT::Conv2D, "N", conv(8, 3, 1, {{"kernel_stride", 2}})},
                {LT::Dense1D, "d", {{"units", 10}}}}),
         0x768b399d4cb05ccaull},
        {"v1_hrc_conv_fc", xvr, "v1",
         {{LT::InputData, "input", in(16, 16, 3)},
          {LT::InputConvolutional, "hrc", v1hrc(16, 16, 3, 3, 16, 2)},
          {LT::Convolutional, "conv1",
           v1conv(32, 2, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}})},
          {LT::SeparableConvolutional, "sep", v1conv(16, 1)},
          {LT::FullyConnected, "fc", {{"units", 10}, {"weights_bits", 2}, {"act_bits", 2}}}},
         0xb4d2a784d8998e2cull},
        {"v1_split_two_passes", xvr, "v1",
         chain({{LT::InputData, "input", in(64, 48, 1)},
                {LT::InputConvolutional, "hrc", v1hrc(64, 48, 1, 5, 32, 4)},
                {LT::Convolutional, "wide", v1conv(64, 2)},
                {LT::Convolutional, "s2", v1conv(32, 2, {{"stride_x", 2}, {"stride_y", 2}})}},
               LT::Convolutional, "c", 28, v1conv(8, 2),
               {{LT::FullyConnected, "fc", {{"units", 100}, {"weights_bits", 4}, {"act_bits", 4}}}}),
         0x170bd9e4f53f1872ull},
        {"v1_learning_fnp2", gemel, "gemel",
         {{LT::InputData, "input", in(1, 1, 2048, 1)},
          {LT::FullyConnected, "learner", {{"units", 400}, {"weights_bits", 1}, {"act_bits", 1}}}},
         0xc9faa0ab0bbac719ull, true},
        {"mote_recurrent_dequantizer", mote, "mote",
         {{LT::InputData, "input", in(1, 32, 16, 16)},
          {LT::StatefulRecurrent, "sr1", recurrent(32, 24, 8, 1)},
          {LT::StatefulRecurrent, "sr2", recurrent(32, 10, 32, 0, 2)},
          {LT::Dequantizer, "dequantizer", {}}},
         0xf9c58565e821ff59ull},
        {"mote_post_processing", mote, "mote",
         {{LT::InputData, "input", in(1, 16, 32)},
          {LT::StatefulRecurrent, "sr1", recurrent(64, 16)},
          {LT::StatefulRecurrent, "sr2", recurrent(64, 1)},
          {LT::MotePostProcessing, "post", {}}},
         0x783b2423fe716824ull},
    };
}
// clang-format on

TEST(ProgramHashes, EveryLayerKindKeepsItsBytes) {
    for (const Case& c : cases()) {
        uint64_t h = 0;
        try {
            h = program_hash(c);
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.name << ": " << e.what();
            continue;
        }
        EXPECT_EQ(h, c.hash) << c.name << ": 0x" << std::hex << h;
    }
}

}  // namespace
}  // namespace vorna
