// Whole v1 models mapped through Model::map onto virtual devices whose meshes
// are the emulator's v1 presets: program bytes, program info, records and
// determinism.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backend/hardware_backend.h"
#include "e2e_test_util.h"
#include "v1_test_util.h"

namespace vorna {
namespace {

using e2e::fill;
using e2e::fill_i8;
using e2e::make_layer;
using e2e::var;

struct Target {
    const char* name;
    HwVersion version;
    const char* preset;
    uint64_t hash;  // of hrc_conv_fc() mapped on it
};

const Target kXvr{"XVR2200_v1", XVR2200_v1, "v1", 0x5f8b940e10f5b45full};
const Target kGemel{"Gemel_v1", Gemel_v1, "gemel", 0x2d9eeeecf1dfa4ceull};
const Target kTarnV2{"Tarn_v2", Tarn_v2, "tarn_v2", 0x32cb1c266c67e2c7ull};

std::shared_ptr<Layer> input(uint32_t x, uint32_t y, uint32_t c, int bits) {
    return make_layer(LayerType::InputData, "input",
                      {{"input_width", int(x)},
                       {"input_height", int(y)},
                       {"input_channels", int(c)},
                       {"input_bits", bits}});
}

std::shared_ptr<Layer> conv(const std::string& name, int filters, int act_bits,
                            const std::map<std::string, int>& extra = {},
                            LayerType type = LayerType::Convolutional) {
    std::map<std::string, int> p{{"filters", filters},
                                 {"kernel_width", 3},
                                 {"kernel_height", 3},
                                 {"weights_bits", 2},
                                 {"act_bits", act_bits}};
    for (const auto& [k, v] : extra) p[k] = v;
    return make_layer(type, name, p);
}

std::shared_ptr<Layer> fc(const std::string& name, int units, int weights_bits, int act_bits) {
    return make_layer(LayerType::FullyConnected, name,
                      {{"units", units}, {"weights_bits", weights_bits}, {"act_bits", act_bits}});
}

// Non-zero weights within the range of every v1 weight width, thresholds of 1.
void set_weights(const Layer& layer) {
    for (const char* name : {"weights", "weights_pw"}) {
        if (!layer.variables()->has(name)) continue;
        fill_i8(var(layer, name),
                [](size_t i) { return int8_t(i % 3 == 0 ? 1 : (i % 3 == 1 ? -1 : 0)); });
    }
    if (layer.variables()->has("threshold")) fill<int32_t>(var(layer, "threshold"), 1);
}

struct Built {
    std::unique_ptr<Model> model = Model::create();
    std::vector<std::shared_ptr<Layer>> layers;

    Built& add(std::shared_ptr<Layer> layer) {
        model->add(layer, {});
        set_weights(*layer);
        layers.push_back(std::move(layer));
        return *this;
    }
};

Built hrc_conv_fc() {
    Built b;
    b.add(input(16, 16, 3, 8));
    b.add(make_layer(LayerType::InputConvolutional, "hrc",
                     v1_test::hrc_params(v1_test::P("input_width=16 input_height=16 weights_bits=8 "
                                                    "act_bits=2 pooling_stride_x=1 "
                                                    "pooling_stride_y=1"))));
    b.add(conv("conv1", 32, 2, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}));
    b.add(conv("conv2", 16, 1));
    b.add(fc("fc", 10, 2, 2));
    return b;
}

// FNV-1a of the program bytes: pins every word of a whole-model map (the
// values come from the trusted code and change only with the program bytes).
uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

// Maps, checks the program as a whole and its hash, and returns it.
e2e::CheckedProgram map_and_check(Built& b, const std::shared_ptr<Device>& device, uint64_t hash,
                                  size_t passes = 1) {
    e2e::CheckedProgram program;
    b.model->map(device, false, std::make_shared<MapConstraints>(device));
    const auto sequences = b.model->sequences();
    EXPECT_EQ(sequences.size(), 1u);
    if (sequences.size() != 1) return program;
    const Sequence& seq = *sequences.front();
    EXPECT_EQ(seq.passes().size(), passes);
    e2e::check_program(seq, &program);
    if (program.data == nullptr) return program;
    e2e::expect_records_match(*device, seq, *program.data);
    EXPECT_EQ(fnv1a(program.bytes), hash) << std::hex << "0x" << fnv1a(program.bytes);

    // The same model mapped again gives the same bytes.
    b.model->map(device, false, std::make_shared<MapConstraints>(device));
    const ByteView again = b.model->sequences().front()->program();
    EXPECT_EQ(std::vector<uint8_t>(again.data, again.data + again.size), program.bytes);
    return program;
}

std::vector<hw::Type> types_of(const Layer& layer) {
    std::vector<hw::Type> out;
    for (const hw::Component& c : *layer_mapping_of(layer).nps) out.push_back(c.type);
    return out;
}

bool all_of_type(const Layer& layer, std::initializer_list<hw::Type> allowed) {
    const auto types = types_of(layer);
    if (types.empty()) return false;
    for (hw::Type t : types) {
        if (std::find(allowed.begin(), allowed.end(), t) == allowed.end()) return false;
    }
    return true;
}

// "XxYxC -> XxYxC, bits I -> O, passes N" of a program.
std::string summary(const ProgramInfo& info) {
    const auto dims = [](const std::vector<uint32_t>& d) {
        return std::to_string(d.at(0)) + "x" + std::to_string(d.at(1)) + "x" +
               std::to_string(d.at(2));
    };
    return dims(info.input_dims()) + " -> " + dims(info.output_dims()) + ", bits " +
           std::to_string(info.input_bits()) + " -> " + std::to_string(info.output_bits()) +
           ", passes " + std::to_string(info.pass_count());
}

void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }

class E2eV1Versions : public ::testing::TestWithParam<Target> {};

TEST_P(E2eV1Versions, HrcConvolutionalFullyConnected) {
    const Target target = GetParam();
    auto device = e2e::preset_device(target.version, target.preset);
    Built b = hrc_conv_fc();
    const e2e::CheckedProgram p = map_and_check(b, device, target.hash);
    ASSERT_NE(p.info, nullptr);
    EXPECT_EQ(types_of(*b.layers[1]), std::vector<hw::Type>{hw::Type::HRC});
    EXPECT_TRUE(all_of_type(*b.layers[2], {hw::Type::CNP1, hw::Type::CNP2}));
    EXPECT_TRUE(all_of_type(*b.layers[4], {hw::Type::FNP2, hw::Type::FNP3}));

    const ProgramInfo info(p.bytes.data(), p.bytes.size());
    EXPECT_EQ(summary(info), "16x16x3 -> 1x1x10, bits 8 -> 2, passes 1");
    EXPECT_TRUE(info.activation());
    EXPECT_EQ(info.dummy_desc_hdr(), 0u);
    const auto& i = info.info();
    // Product and revision; the HRC's strides; input type 0 for an HRC first
    // layer; the FullyConnected output type is 0 only from product 0xA1 on;
    // one pass: the event generator's word at 0x0C is 0x10.
    EXPECT_EQ((std::vector<uint32_t>{
                  i.device_version()->product_id(), i.device_version()->minor_rev(),
                  i.conv_param_0(), i.conv_param_1(), uint32_t(i.input_type()),
                  uint32_t(i.output_type()), i.epg_registers()->size(),
                  i.epg_registers()->Get(1)->address(), i.epg_registers()->Get(1)->value()}),
              (std::vector<uint32_t>{target.version.product_id, target.version.minor_rev, 1, 1, 0,
                                     target.version.product_id > 0xA0 ? 0u : 1u, 6, 0x0C, 0x10}));
}

INSTANTIATE_TEST_SUITE_P(E2eV1, E2eV1Versions, ::testing::Values(kXvr, kGemel, kTarnV2),
                         [](const ::testing::TestParamInfo<Target>& i) {
                             return std::string(i.param.name);
                         });

TEST(E2eV1, TarnV1IsRefused) {
    auto device = e2e::preset_device(Tarn_v1, "tarn_v1");
    Built b = hrc_conv_fc();
    EXPECT_EQ(e2e::runtime_error_of(
                  [&] { b.model->map(device, true, std::make_shared<MapConstraints>(device)); }),
              "Cannot map layer 'input'. Tarn_v1 is not supported on this version. Please "
              "install vorna 2.0.5 instead.");
    EXPECT_TRUE(b.model->sequences().empty());
}

TEST(E2eV1, InputDataFullyConnected) {
    for (const Target& target : {kXvr, kTarnV2}) {
        SCOPED_TRACE(target.name);
        auto device = e2e::preset_device(target.version, target.preset);
        Built b;
        b.add(input(1, 1, 128, 1));
        b.add(fc("fc", 10, 2, 4));
        const bool a1 = target.version.product_id == 0xA1;
        const e2e::CheckedProgram p =
            map_and_check(b, device, a1 ? 0x64ffd7219f5c7e63ull : 0xf1c7ed4ded3127f8ull);
        ASSERT_NE(p.info, nullptr);
        const ProgramInfo info(p.bytes.data(), p.bytes.size());
        EXPECT_EQ(summary(info), "1x1x128 -> 1x1x10, bits 1 -> 4, passes 1");
        // A flat single input is type 1 on product 0x00 (type 0 from 0xA1 on),
        // and the output follows the input type.
        EXPECT_EQ(static_cast<int>(info.info().input_type()), a1 ? 0 : 1);
        EXPECT_EQ(static_cast<int>(info.info().output_type()), a1 ? 0 : 1);
        // The flat-input bit of the event generator's first word.
        EXPECT_EQ(info.info().epg_registers()->Get(0)->value(), a1 ? 0x21202u : 0x20202u);
    }
}

// One layer behind a 16 x 16 x 8 2-bit input on XVR2200: weight widths,
// kernels, strides, pooling and activation that each take their own path
// through the CNP and FNP formats.
TEST(E2eV1, LayerVariants) {
    struct Row {
        LayerType type;
        const char* params;
        uint64_t hash;
        uint32_t channels = 8;
    };
    const LayerType C = LayerType::Convolutional, S = LayerType::SeparableConvolutional,
                    F = LayerType::FullyConnected;
    const Row rows[] = {
        {C, "filters=16 weights_bits=1 act_bits=1", 0xc2829622d5af7e9dull},
        {C, "filters=32 weights_bits=4 act_bits=4 kernel_width=1 kernel_height=1",
         0xd1498ef1c0bb1080ull},
        {C, "filters=16 weights_bits=1 act_bits=2 kernel_width=7 kernel_height=7",
         0x7cdc07b5979e3376ull},
        {C,
         "filters=40 weights_bits=1 act_bits=4 kernel_width=5 kernel_height=5 pool_type=1 "
         "pooling_width=3 pooling_height=3 pooling_stride_x=2 pooling_stride_y=2",
         0x809b82c97a5e4e4ull},
        {S, "filters=16 weights_bits=4 act_bits=4", 0x83ae52ffedaa46c9ull},
        {S, "filters=16 weights_bits=4 act_bits=2", 0xf26df822d5d4f7dcull, 16},
        {C, "filters=40 weights_bits=1 act_bits=1", 0x9beeabfe44a6d5eaull},
        {S,
         "filters=8 weights_bits=2 act_bits=2 kernel_width=7 kernel_height=7 pool_type=1 "
         "pooling_width=2 pooling_height=2",
         0x3dbe2cbf38e8ddabull},
        {F, "units=32 weights_bits=4 act_bits=1", 0xd64f8ede8070a159ull},
        {F, "units=20 weights_bits=4 act_bits=2", 0xfde713a33c81e2b3ull},
        {F, "units=10 weights_bits=2 activation=0", 0x40976d904841b8ddull},
    };
    auto device = e2e::preset_device(XVR2200_v1, "v1");
    for (const Row& r : rows) {
        SCOPED_TRACE(r.params);
        Built b;
        b.add(input(16, 16, r.channels, 2));
        v1_test::Params p = v1_test::P(r.params);
        if (r.type != F) p = v1_test::conv_params(p);
        b.add(make_layer(r.type, "l", p));
        if (p.count("pool_type") && p.at("pool_type") == 1) b.add(conv("after", 8, 2));
        map_and_check(b, device, r.hash);
    }
}

// The run checks of every prefix: [input, conv] ends in max pooling, and
// [input, conv, fc] puts a FullyConnected layer behind it.
TEST(E2eV1, MaxPoolingBeforeFullyConnectedIsRefused) {
    auto device = e2e::preset_device(XVR2200_v1, "v1");
    Built b;
    b.add(input(16, 16, 8, 2));
    b.add(conv("conv", 8, 2, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}));
    b.add(fc("fc", 10, 2, 2));
    EXPECT_EQ(e2e::runtime_error_of(
                  [&] { b.model->map(device, true, std::make_shared<MapConstraints>(device)); }),
              "Cannot map layer 'conv':\n"
              "  * Layer 'conv': A convolutional or separable convolutional layer with max "
              "pooling cannot be the last layer of a sequence.\n"
              "  * Layer 'fc': A convolutional or separable convolutional layer with max "
              "pooling must be followed by another convolutional or separable convolutional "
              "layer. Layer 'conv' has max pooling.");
    EXPECT_TRUE(b.model->sequences().empty());
}

std::shared_ptr<LearningParams> unsupervised(double num_weights, double num_classes) {
    return LearningParams::create(LearningType::Unsupervised,
                                  {{"initial_plasticity", 1.0},
                                   {"learning_competition", 0.0},
                                   {"min_plasticity", 0.10000000149011612},
                                   {"num_classes", num_classes},
                                   {"num_weights", num_weights},
                                   {"plasticity_decay", 0.25}});
}

TEST(E2eV1, LearningFullyConnectedLastLayer) {
    auto device = e2e::preset_device(XVR2200_v1, "v1");
    Built b;
    b.add(input(1, 1, 64, 1));
    auto learner = fc("learner", 8, 1, 1);
    b.add(learner);
    // Every neuron has exactly 6 connections.
    Dense& w = var(*learner, "weights");
    fill_i8(w, [](size_t) { return int8_t(0); });
    for (uint32_t n = 0; n < 8; ++n) {
        for (uint32_t k = 0; k < 6; ++k)
            w.data<int8_t>()[w.offset_of({n, (n * 7 + k * 9) % 64})] = 1;
    }
    fill<int32_t>(var(*learner, "threshold_learning"), 3);
    fill<int32_t>(var(*learner, "thswap"), 2);
    b.model->compile(unsupervised(6, 2));

    const e2e::CheckedProgram p = map_and_check(b, device, 0xc83a4305694a1facull);
    ASSERT_NE(p.info, nullptr);
    const ProgramInfo info(p.bytes.data(), p.bytes.size());
    EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{1, 1, 8}));
    // The learning layer has no ordinary record: input setup and input only.
    EXPECT_EQ(p.data->passes()->Get(0)->records()->size(), 2u);
    const fb::LearningRecords* learning = info.learning();
    ASSERT_NE(learning, nullptr);
    const hw::Component& np = layer_mapping_of(*learner).nps->at(0);
    EXPECT_EQ(learning->np()->col() * 1000 + learning->np()->row() * 10 + learning->np()->id(),
              np.ident.col * 1000 + np.ident.row * 10 + np.ident.id);
}

// A learning layer too large for an FNP3 learns on an FNP2: its RAM image is
// the third learning record's filters track.
TEST(E2eV1, LearningOnAnFnp2) {
    auto device = e2e::preset_device(Gemel_v1, "gemel");
    Built b;
    b.add(input(1, 1, 2048, 1));
    auto learner = fc("learner", 400, 1, 1);
    b.add(learner);
    Dense& w = var(*learner, "weights");
    fill_i8(w, [](size_t) { return int8_t(0); });
    for (uint32_t n = 0; n < 400; ++n) {
        for (uint32_t k = 0; k < 4; ++k)
            w.data<int8_t>()[w.offset_of({n, (n + k * 512) % 2048})] = 1;
    }
    b.model->compile(unsupervised(4, 4));
    const e2e::CheckedProgram p = map_and_check(b, device, 0x3af125849025ae1aull);
    ASSERT_NE(p.info, nullptr);
    EXPECT_EQ(types_of(*learner), std::vector<hw::Type>{hw::Type::FNP2});
    const ProgramInfo info(p.bytes.data(), p.bytes.size());
    ASSERT_NE(info.learning(), nullptr);
    ASSERT_NE(info.learning()->record3()->fnp2_filters(), nullptr);
    EXPECT_EQ(info.learning()->fnp_sram_size(), 400u * (2048 / 32 + 4));
    // The filters track counts towards the extra program memory.
    EXPECT_GE(extra_program_memory_required(info), 4u * 400 * (2048 / 32 + 4));
}

// More one-NP convolutions than the mesh has NPs.
Built long_conv_chain(int count) {
    Built b;
    b.add(input(8, 8, 8, 2));
    for (int i = 0; i < count; ++i) b.add(conv("c" + std::to_string(i), 8, 2));
    return b;
}

TEST(E2eV1, TwoPassesOnXvr2200) {
    auto device = e2e::preset_device(XVR2200_v1, "v1");
    Built b = long_conv_chain(32);
    const e2e::CheckedProgram p = map_and_check(b, device, 0x7ecbd9fefa6cb471ull, 2);
    ASSERT_NE(p.info, nullptr);
    const auto& seq = *b.model->sequences().front();
    const size_t first = seq.passes()[0]->layers.size();
    EXPECT_EQ(first, 29u);  // the input and one convolution per NP of the mesh
    EXPECT_EQ(seq.passes()[1]->layers.size(), 4u);
    const ProgramInfo info(p.bytes.data(), p.bytes.size());
    EXPECT_EQ(summary(info), "8x8x8 -> 8x8x8, bits 2 -> 2, passes 2");
    EXPECT_NE(info.dummy_desc_hdr(), 0u);
    // Two passes: the event generator's word at 0x0C says so.
    EXPECT_EQ(info.info().epg_registers()->Get(1)->value(), 0x012C0010u);
}

// Two passes closed by a FullyConnected layer: its FNP must be free in the
// second pass.
TEST(E2eV1, TwoPassesEndingInAFullyConnectedLayer) {
    auto device = e2e::preset_device(XVR2200_v1, "v1");
    Built b = long_conv_chain(30);
    b.add(fc("fc", 10, 2, 2));
    const e2e::CheckedProgram p = map_and_check(b, device, 0x5c4a3d4626592438ull, 2);
    ASSERT_NE(p.info, nullptr);
    const auto& seq = *b.model->sequences().front();
    EXPECT_EQ(seq.passes()[1]->layers.back()->get_name(), "fc");
    EXPECT_TRUE(all_of_type(*b.layers.back(), {hw::Type::FNP2, hw::Type::FNP3}));
    EXPECT_EQ(summary(ProgramInfo(p.bytes.data(), p.bytes.size())),
              "8x8x8 -> 1x1x10, bits 2 -> 2, passes 2");
}

TEST(E2eV1, NoSecondPassBeforeProductA1) {
    auto device = e2e::preset_device(Tarn_v2, "tarn_v2");
    Built b = long_conv_chain(32);
    const std::string error = e2e::runtime_error_of(
        [&] { b.model->map(device, true, std::make_shared<MapConstraints>(device)); });
    // The 28 NPs of the mesh hold the first 28 convolutions; product 0x00 has
    // no second pass for the rest.
    EXPECT_EQ(error,
              "Cannot map layer 'c28'. Not enough hardware components of type CNP1 available. 1 "
              "is needed but 0 are available.");
    EXPECT_TRUE(b.model->sequences().empty());
}

// A larger model: a strided HRC layer, convolutions wider than one NP's input
// (split over NPs), and a FullyConnected layer whose weights are large.
TEST(E2eV1, SplitConvolutionsAndLargeFullyConnected) {
    auto device = e2e::preset_device(XVR2200_v1, "v1");
    Built b;
    b.add(input(64, 48, 1, 8));
    b.add(make_layer(
        LayerType::InputConvolutional, "hrc",
        v1_test::hrc_params(v1_test::P("input_width=64 input_height=48 input_channels=1 "
                                       "kernel_width=5 kernel_height=5 filters=32 weights_bits=8 "
                                       "pooling_stride_x=1 pooling_stride_y=1"))));
    b.add(conv("conv1", 64, 2));
    b.add(conv("conv2", 64, 2, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}));
    b.add(conv("conv3", 32, 2, {{"stride_x", 2}, {"stride_y", 2}}));
    b.add(fc("fc", 100, 4, 4));
    const e2e::CheckedProgram p = map_and_check(b, device, 0xb1b18ef664d47339ull);
    ASSERT_NE(p.info, nullptr);
    EXPECT_GT(layer_mapping_of(*b.layers[2]).nps->size(), 1u);
    // The FullyConnected weights do not fit an FNP3: an FNP2 takes them from
    // external memory, through the record's filters track.
    const auto& fc_nps = *layer_mapping_of(*b.layers[5]).nps;
    ASSERT_EQ(fc_nps.size(), 1u);
    EXPECT_EQ(fc_nps[0].type, hw::Type::FNP2);
    EXPECT_GT(fc_nps[0].mem_info.external_size, 0u);
    EXPECT_EQ(fc_nps[0].mem_info.weight_size, 0u);
    const auto* records = p.data->passes()->Get(0)->records();
    EXPECT_NE(records->Get(records->size() - 1)->fnp2_filters(), nullptr);
    EXPECT_EQ(summary(ProgramInfo(p.bytes.data(), p.bytes.size())),
              "64x48x1 -> 1x1x100, bits 8 -> 4, passes 1");
}

}  // namespace
}  // namespace vorna
