// Whole mote models mapped through Model::map, their programs pinned by hash.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_test_util.h"

namespace vorna {
namespace {

using e2e::fill;
using e2e::fill_i8;
using e2e::make_layer;
using e2e::var;

struct Chain {
    std::unique_ptr<Model> model = Model::create();
    std::vector<std::shared_ptr<Layer>> layers;

    void add(std::shared_ptr<Layer> layer) {
        model->add(layer, {});
        layers.push_back(std::move(layer));
    }
};

std::shared_ptr<Layer> recurrent(Chain& c, const std::string& name, int states, int outputs,
                                 int output_bits = 8, int activation = 0, int subsample = 1) {
    auto l = make_layer(LayerType::StatefulRecurrent, name,
                        {{"stateful_channels", states},
                         {"output_channels", outputs},
                         {"subsample", subsample},
                         {"activation", activation},
                         {"output_bits", output_bits}});
    c.add(l);
    fill_i8(var(*l, "in_proj"), [](size_t i) { return int8_t(int(i % 7) - 3); });
    fill_i8(var(*l, "out_proj"), [](size_t i) { return int8_t(int(i % 5) - 2); });
    int16_t* re = var(*l, "A_real").data<int16_t>();
    int16_t* im = var(*l, "A_imag").data<int16_t>();
    for (int i = 0; i < states; ++i) {
        re[i] = int16_t(100 + i);
        im[i] = int16_t(-50 + i);
    }
    fill<int8_t>(var(*l, "new_state_shift"), 3);
    fill<uint8_t>(var(*l, "new_state_scale"), 17);
    fill<int8_t>(var(*l, "internal_state_outputs_shift"), 2);
    fill<int8_t>(var(*l, "bias"), 1);
    fill<uint8_t>(var(*l, "bias_shift"), 1);
    return l;
}

Chain chain(uint32_t timesteps, bool post_processing) {
    Chain c;
    c.add(make_layer(LayerType::InputData, "input",
                     {{"input_width", 1},
                      {"input_height", int(timesteps)},
                      {"input_channels", 32},
                      {"input_bits", 8}}));
    recurrent(c, "sr1", 64, 16);
    if (post_processing) {
        recurrent(c, "sr2", 64, 1);
        auto post = make_layer(LayerType::MotePostProcessing, "post", {});
        c.add(post);
        fill<uint16_t>(var(*post, "threshold"), 300);
        fill<uint8_t>(var(*post, "input_scales"), 3);
        fill<int8_t>(var(*post, "input_shift"), 2);
    } else {
        recurrent(c, "sr2", 64, 10, 32);
        c.add(make_layer(LayerType::Dequantizer, "dequantizer", {}));
    }
    return c;
}

std::shared_ptr<Device> mote_device() { return e2e::preset_device(Mote_Selvo, "mote"); }

uint64_t hash_of(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

e2e::CheckedProgram map_and_check(Chain& c, const std::shared_ptr<Device>& device, uint64_t hash) {
    e2e::CheckedProgram program;
    c.model->map(device, false, std::make_shared<MapConstraints>(device));
    const auto sequences = c.model->sequences();
    EXPECT_EQ(sequences.size(), 1u);
    if (sequences.size() != 1) return program;
    const Sequence& seq = *sequences.front();
    EXPECT_EQ(seq.passes().size(), 1u);
    e2e::check_program(seq, &program);
    if (program.data == nullptr) return program;
    e2e::expect_records_match(*device, seq, *program.data);
    EXPECT_EQ(program.data->passes()->Get(0)->records()->size(), 3u);

    c.model->map(device, false, std::make_shared<MapConstraints>(device));
    const ByteView again = c.model->sequences().front()->program();
    EXPECT_EQ(std::vector<uint8_t>(again.data, again.data + again.size), program.bytes);
    EXPECT_EQ(hash_of(program.bytes), hash) << std::hex << hash_of(program.bytes);
    return program;
}

TEST(E2eMote, RecurrentChainWithDequantizer) {
    auto device = mote_device();
    Chain c = chain(16, false);
    const e2e::CheckedProgram p = map_and_check(c, device, 0xb0c6dd9e1f331913ull);
    ASSERT_NE(p.info, nullptr);
    const Sequence& seq = *c.model->sequences().front();
    EXPECT_EQ(e2e::layer_names(*seq.passes()[0]),
              (std::vector<std::string>{"input", "sr1", "sr2", "dequantizer"}));
    const auto& nps = *layer_mapping_of(*c.layers[1]).nps;
    ASSERT_EQ(nps.size(), 1u);
    EXPECT_EQ(nps[0].type, hw::Type::TNP_R);
    EXPECT_TRUE(layer_mapping_of(*c.layers[2]).nps->empty());
    EXPECT_EQ(nps[0].mem_info.input_size, 0u);
    EXPECT_EQ(nps[0].mem_info.weight_size, 0u);
    EXPECT_GT(nps[0].mem_info.fsram_64b_size, 0u);
    EXPECT_GT(nps[0].mem_info.tsram_51b_size, 0u);

    const ProgramInfo info(p.bytes.data(), p.bytes.size());
    EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{1, 16, 32}));
    EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{1, 16, 10}));
    EXPECT_EQ(info.input_bits(), 8);
    EXPECT_EQ(info.output_bits(), 32);
    EXPECT_FALSE(info.mote_post_processing());
    EXPECT_EQ(info.pass_count(), 1u);
    EXPECT_EQ(static_cast<int>(info.info().input_type()), 0);
    EXPECT_EQ(static_cast<int>(info.info().output_type()), 0);
    EXPECT_EQ(info.info().device_version()->product_id(), 0xB1);
    EXPECT_EQ(info.learning(), nullptr);
    EXPECT_TRUE(info.info().epg_registers() == nullptr || info.info().epg_registers()->size() == 0);

    const auto* records = p.data->passes()->Get(0)->records();
    EXPECT_EQ(records->Get(0)->tracks()->size(), 0u);
    EXPECT_EQ(records->Get(1)->tracks()->size(), 0u);
    size_t filled = 0;
    for (const auto* track : *records->Get(2)->tracks()) filled += track->data()->size() > 0;
    EXPECT_EQ(filled, 3u);
}

TEST(E2eMote, RecurrentChainWithPostProcessing) {
    auto device = mote_device();
    Chain c = chain(16, true);
    const e2e::CheckedProgram p = map_and_check(c, device, 0x3b911027a255c9d4ull);
    ASSERT_NE(p.info, nullptr);
    const ProgramInfo info(p.bytes.data(), p.bytes.size());
    EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{1, 16, 32}));
    EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{1, 1, 1}));
    EXPECT_EQ(info.output_bits(), 16);
    EXPECT_TRUE(info.mote_post_processing());
    EXPECT_TRUE(c.model->layers().size() == 4u);
    EXPECT_TRUE(layer_mapping_of(*c.layers[3]).nps->empty());
}

TEST(E2eMote, SixteenBitInputReluAndSubsample) {
    auto device = mote_device();
    Chain c;
    c.add(make_layer(
        LayerType::InputData, "input",
        {{"input_width", 1}, {"input_height", 32}, {"input_channels", 16}, {"input_bits", 16}}));
    recurrent(c, "sr1", 32, 24, 8, static_cast<int>(ActivationType::ReLU));
    recurrent(c, "sr2", 32, 8, 8, 0, 2);
    c.add(make_layer(LayerType::Dequantizer, "dequantizer", {}));
    const e2e::CheckedProgram p = map_and_check(c, device, 0xa686c58629cd9c8aull);
    ASSERT_NE(p.info, nullptr);
    const ProgramInfo info(p.bytes.data(), p.bytes.size());
    EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{1, 32, 16}));
    EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{1, 16, 8}));
    EXPECT_EQ(info.input_bits(), 16);
    EXPECT_EQ(info.output_bits(), 8);
}

TEST(E2eMote, PostProcessingNeedsThreeTimesteps) {
    auto device = mote_device();
    Chain c = chain(2, true);
    EXPECT_EQ(e2e::runtime_error_of(
                  [&] { c.model->map(device, true, std::make_shared<MapConstraints>(device)); }),
              "Cannot map layer 'post'. Timesteps dimension must be at least 3 (got 2).");
    EXPECT_TRUE(c.model->sequences().empty());
}

TEST(E2eMote, ConvolutionIsRefused) {
    auto device = mote_device();
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData, "input",
                          {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}}),
               {});
    model->add(make_layer(LayerType::Conv2D, "conv", {{"filters", 4}, {"kernel_size", 3}}), {});
    EXPECT_EQ(e2e::runtime_error_of(
                  [&] { model->map(device, true, std::make_shared<MapConstraints>(device)); }),
              "Cannot map layer 'conv'. Unsupported layer type on Mote.");
}

}  // namespace
}  // namespace vorna
