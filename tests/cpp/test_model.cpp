#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "test_support.h"

namespace vorna {
namespace {

using Params = std::map<std::string, int>;
using test_support::kinded_error_text;

using test_support::make_layer;

std::shared_ptr<Layer> input_layer(uint32_t x, uint32_t y, uint32_t c,
                                   const std::string& name = "input") {
    return make_layer(
        LayerType::InputData,
        {{"input_width", int(x)}, {"input_height", int(y)}, {"input_channels", int(c)}}, name);
}

std::shared_ptr<Layer> dense(const std::string& name, int units) {
    return make_layer(LayerType::Dense1D, {{"units", units}}, name);
}

std::vector<std::string> names_of(const std::vector<std::shared_ptr<Layer>>& layers) {
    std::vector<std::string> names;
    for (const auto& l : layers) names.push_back(l->get_name());
    return names;
}

std::shared_ptr<Device> v2_device() {
    Mesh mesh(IpVersion::v2, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), std::nullopt,
              {np::Info(hw::Ident(1, 2, 0), {hw::Type::CNP1, hw::Type::CNP2})}, {});
    return make_virtual_device(Selvo_v2, mesh);
}

// ------------------------------------------------------------ add

TEST(ModelAdd, BuildsAChainAndLinksToTheLastLayerByDefault) {
    auto model = Model::create();
    EXPECT_EQ(model->layer_count(), 0u);
    auto in = input_layer(4, 4, 2);
    auto a = dense("a", 8);
    auto b = dense("b", 3);
    model->add(in, {});
    model->add(a, {});
    model->add(b, {});
    EXPECT_EQ(names_of(model->layers()), (std::vector<std::string>{"input", "a", "b"}));
    EXPECT_EQ(model->layer_count(), 3u);
    EXPECT_EQ(b->inbound_layers(), std::vector<std::shared_ptr<Layer>>{a});
    EXPECT_EQ(a->inbound_layers(), std::vector<std::shared_ptr<Layer>>{in});
    EXPECT_EQ(in->outbound_layers(), std::vector<std::shared_ptr<Layer>>{a});
    EXPECT_EQ(b->input_dimensions()[0].to_vector(), (std::vector<uint32_t>{1, 1, 8}));
}

TEST(ModelAdd, ExplicitInboundLayersBranch) {
    auto model = Model::create();
    auto in = input_layer(4, 4, 2);
    model->add(in, {});
    auto left = make_layer(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}}, "left");
    auto right = make_layer(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 1}}, "right");
    model->add(left, {in});
    model->add(right, {in});
    auto cat = make_layer(LayerType::Concatenate, {}, "cat");
    model->add(cat, {left, right});
    EXPECT_EQ(names_of(in->outbound_layers()), (std::vector<std::string>{"left", "right"}));
    EXPECT_EQ(cat->output_dimensions().to_vector(), (std::vector<uint32_t>{4, 4, 8}));
    ASSERT_EQ(cat->input_dimensions().size(), 2u);
    EXPECT_EQ(cat->input_dimensions()[1].to_vector(), (std::vector<uint32_t>{4, 4, 5}));
}

TEST(ModelAdd, ErrorTexts) {
    auto model = Model::create();
    EXPECT_EQ(kinded_error_text([&] { model->add(nullptr, {}); }),
              "invalid_argument: Invalid layer.");
    EXPECT_EQ(kinded_error_text([&] { model->add(dense("d", 2), {}); }),
              "invalid_argument: The first layer of a model must be an input layer.");
    // A Quantizer opens a model only when it carries the input size.
    EXPECT_EQ(kinded_error_text([&] { model->add(make_layer(LayerType::Quantizer, {}, "q"), {}); }),
              "invalid_argument: The first layer of a model must be an input layer.");

    auto in = input_layer(4, 4, 2);
    model->add(in, {});
    EXPECT_EQ(kinded_error_text([&] { model->add(input_layer(1, 1, 1), {}); }),
              "invalid_argument: A layer named 'input' already exists in the model.");
    EXPECT_EQ(kinded_error_text([&] { model->add(in, {}); }),
              "invalid_argument: The layer already belongs to a model.");

    auto other = Model::create();
    auto foreign = input_layer(4, 4, 2, "foreign");
    other->add(foreign, {});
    EXPECT_EQ(kinded_error_text([&] { model->add(foreign, {}); }),
              "invalid_argument: The layer already belongs to a model.");
    EXPECT_EQ(kinded_error_text([&] { model->add(dense("d", 2), {foreign}); }),
              "invalid_argument: Inbound layer 'foreign' is not in the model.");
    auto loose = dense("loose", 2);
    EXPECT_EQ(kinded_error_text([&] { model->add(dense("d", 2), {loose}); }),
              "invalid_argument: Inbound layer 'loose' is not in the model.");
    EXPECT_EQ(kinded_error_text([&] { model->add(dense("d", 2), {nullptr}); }),
              "invalid_argument: Inbound layer '' is not in the model.");
    EXPECT_EQ(model->layer_count(), 1u);
    EXPECT_TRUE(in->outbound_layers().empty());
}

// An input layer added later is a second input, not linked to anything.
TEST(ModelAdd, LaterInputLayerIsNotLinked) {
    auto model = Model::create();
    model->add(input_layer(4, 4, 2), {});
    auto second = input_layer(2, 2, 1, "second");
    model->add(second, {});
    EXPECT_TRUE(second->inbound_layers().empty());
    EXPECT_EQ(model->layer_count(), 2u);
}

TEST(ModelAdd, LayerOfADestroyedModelCanJoinAnother) {
    auto in = input_layer(2, 2, 1);
    {
        auto first = Model::create();
        first->add(in, {});
    }
    auto second = Model::create();
    second->add(in, {});
    EXPECT_EQ(second->get_layer(0), in);
}

// ------------------------------------------------------------ pop_layer

TEST(ModelPopLayer, RemovesAndUnlinksTheLastLayer) {
    auto model = Model::create();
    EXPECT_EQ(kinded_error_text([&] { model->pop_layer(); }),
              "runtime_error: The model has no layers.");
    auto in = input_layer(4, 4, 2);
    auto d = dense("d", 3);
    model->add(in, {});
    model->add(d, {});
    model->pop_layer();
    EXPECT_EQ(model->layer_count(), 1u);
    EXPECT_TRUE(in->outbound_layers().empty());
    EXPECT_TRUE(d->inbound_layers().empty());
    EXPECT_EQ(kinded_error_text([&] { d->output_dimensions(); }),
              "runtime_error: Cannot get output size before it is set.");
    // The name is free again, and the popped layer can be added back.
    model->add(d, {});
    EXPECT_EQ(model->get_layer(1), d);
    EXPECT_EQ(d->output_dimensions().to_vector(), (std::vector<uint32_t>{1, 1, 3}));
    model->pop_layer();
    model->pop_layer();
    EXPECT_EQ(model->layer_count(), 0u);
}

// ------------------------------------------------------------ compile

TEST(ModelCompile, AttachesLearningToTheLastLayer) {
    auto model = Model::create();
    auto params = LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2.0}});
    EXPECT_EQ(kinded_error_text([&] { model->compile(params); }),
              "invalid_argument: Cannot compile a model with no layers.");
    EXPECT_EQ(model->learning(), nullptr);
    model->add(input_layer(4, 4, 2), {});
    auto fc = make_layer(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 1}}, "fc");
    model->add(fc, {});
    EXPECT_THROW(model->compile(nullptr), std::invalid_argument);
    EXPECT_FALSE(fc->can_learn());
    model->compile(params);
    EXPECT_TRUE(fc->can_learn());
    EXPECT_EQ(fc->learning(), params);
    EXPECT_EQ(model->learning(), params);
    EXPECT_FALSE(model->get_layer(0)->can_learn());
}

// ------------------------------------------------------------ queries

TEST(ModelGetLayer, ByNameAndIndex) {
    auto model = Model::create();
    auto in = input_layer(4, 4, 2);
    auto d = dense("d", 3);
    model->add(in, {});
    model->add(d, {});
    EXPECT_EQ(model->get_layer("d"), d);
    EXPECT_EQ(model->get_layer("input"), in);
    EXPECT_EQ(kinded_error_text([&] { model->get_layer("missing"); }),
              "invalid_argument: No layer named 'missing' in the model.");
    EXPECT_EQ(model->get_layer(size_t{0}), in);
    EXPECT_EQ(model->get_layer(size_t{1}), d);
    EXPECT_EQ(model->get_layer(size_t{2}), nullptr);
    EXPECT_EQ(model->get_layer(static_cast<size_t>(-1)), nullptr);
}

TEST(ModelDimensions, FirstInputAndLastOutput) {
    auto model = Model::create();
    EXPECT_EQ(model->input_dimensions().count, 0u);
    EXPECT_EQ(model->output_dimensions().count, 0u);
    model->add(input_layer(32, 32, 3), {});
    model->add(make_layer(LayerType::Conv2D,
                          {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}}, "c"),
               {});
    EXPECT_EQ(model->input_dimensions().to_vector(), (std::vector<uint32_t>{32, 32, 3}));
    EXPECT_EQ(model->output_dimensions().to_vector(), (std::vector<uint32_t>{16, 16, 8}));
}

// A model whose input has a zero dimension still builds; its shape shows it.
TEST(ModelDimensions, ZeroInputDimensionIsKept) {
    auto model = Model::create();
    model->add(input_layer(8, 0, 1), {});
    EXPECT_EQ(model->input_dimensions().to_vector(), (std::vector<uint32_t>{8, 0, 1}));
}

TEST(ModelMacs, SumOfTheLayers) {
    auto model = Model::create();
    EXPECT_EQ(model->macs(), 0u);
    model->add(input_layer(4, 4, 2), {});
    // 4·4 outputs, 3 filters, 3·3 kernel, 2 channels.
    model->add(make_layer(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}}, "c"), {});
    // 4·4·3 inputs to 5 units.
    model->add(dense("d", 5), {});
    EXPECT_EQ(model->macs(), 16u * 3 * 9 * 2 + 48u * 5);
}

TEST(ModelIpVersion, DecidedByTheFirstDecisiveKind) {
    struct Case {
        std::string label;
        std::vector<std::pair<LayerType, Params>> rest;
        IpVersion expected;
    };
    const Params conv{{"filters", 1}, {"kernel_size", 1}};
    const Params fc{{"units", 1}, {"weights_bits", 1}};
    const Params sr{{"stateful_channels", 2}, {"output_channels", 2}};
    const std::vector<Case> cases = {
        {"input only", {}, IpVersion::none},
        {"quantizers only",
         {{LayerType::Quantizer, {}}, {LayerType::Dequantizer, {}}},
         IpVersion::none},
        {"v2 convolution", {{LayerType::Conv2D, conv}}, IpVersion::v2},
        {"v2 after a quantizer",
         {{LayerType::Quantizer, {}}, {LayerType::Dense1D, {{"units", 2}}}},
         IpVersion::v2},
        {"v1 fully connected", {{LayerType::FullyConnected, fc}}, IpVersion::v1},
        {"v2 decides before v1",
         {{LayerType::Conv2D, conv}, {LayerType::FullyConnected, fc}},
         IpVersion::v2},
        {"mote",
         {{LayerType::StatefulRecurrent, sr}, {LayerType::MotePostProcessing, {}}},
         IpVersion::mote},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto model = Model::create();
        model->add(input_layer(1, 4, 2), {});
        int i = 0;
        for (const auto& [type, params] : c.rest) {
            model->add(make_layer(type, params, "l" + std::to_string(i++)), {});
        }
        EXPECT_EQ(model->ip_version(), c.expected);
    }
    auto v1 = Model::create();
    v1->add(make_layer(LayerType::InputConvolutional,
                       {{"input_width", 8},
                        {"input_height", 8},
                        {"input_channels", 1},
                        {"kernel_width", 3},
                        {"kernel_height", 3},
                        {"padding", 1},
                        {"stride_x", 1},
                        {"stride_y", 1},
                        {"filters", 1},
                        {"weights_bits", 1},
                        {"padding_value", 0},
                        {"activation", 1},
                        {"act_bits", 1},
                        {"pooling_width", 1},
                        {"pooling_height", 1},
                        {"pool_type", 0},
                        {"pooling_stride_x", 1},
                        {"pooling_stride_y", 1}},
                       "inputconv"),
            {});
    EXPECT_EQ(v1->ip_version(), IpVersion::v1);
    EXPECT_EQ(Model::create()->ip_version(), IpVersion::none);
}

// ------------------------------------------------------------ edits and mapping

TEST(ModelEdits, DropTheLayerMappings) {
    auto model = Model::create();
    auto in = input_layer(4, 4, 2);
    model->add(in, {});
    auto d = dense("d", 2);
    model->add(d, {});
    auto mapping = std::make_shared<Layer::Mapping>();
    auto mark = [&] {
        for (auto& l : model->layers()) dynamic_cast<LayerImpl&>(*l).set_mapping(mapping);
    };

    mark();
    model->add(dense("e", 2), {});
    for (auto& l : model->layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();

    mark();
    auto popped = model->get_layer(2);
    model->pop_layer();
    EXPECT_EQ(popped->mapping(), nullptr);
    for (auto& l : model->layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();

    mark();
    model->compile(LearningParams::create(LearningType::Unsupervised, {}));
    for (auto& l : model->layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
    EXPECT_TRUE(model->sequences().empty());
    EXPECT_EQ(model->device(), nullptr);
}

TEST(ModelMap, ChecksItsArgumentsFirst) {
    auto model = Model::create();
    auto device = v2_device();
    EXPECT_EQ(kinded_error_text([&] { model->map(nullptr, false, nullptr); }),
              "invalid_argument: Invalid device.");
    EXPECT_EQ(kinded_error_text([&] { model->map(device, true, nullptr); }),
              "invalid_argument: Cannot map a model with no layers.");
    model->add(input_layer(4, 4, 2), {});
    EXPECT_EQ(kinded_error_text([&] { model->map(nullptr, true, nullptr); }),
              "invalid_argument: Invalid device.");
    // An InputData alone gives the hardware nothing to run.
    EXPECT_THROW(model->map(device, true, nullptr), std::runtime_error);
    EXPECT_EQ(model->device(), nullptr);
    EXPECT_TRUE(model->sequences().empty());
}

// input -> conv -> dense on a mesh with one CNP and no FNP: the dense layer
// cannot be placed.
std::unique_ptr<Model> conv_dense_model() {
    auto model = Model::create();
    model->add(input_layer(8, 8, 4), {});
    model->add(make_layer(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "conv"), {});
    model->add(dense("dense", 4), {});
    return model;
}

TEST(ModelMap, LayersTheHardwareCannotTakeGoToASoftwareSequence) {
    auto model = conv_dense_model();
    auto device = v2_device();
    model->map(device, false, std::make_shared<MapConstraints>(device));
    EXPECT_EQ(model->device(), device);
    const auto sequences = model->sequences();
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_EQ(sequences[0]->backend(), BackendType::Hardware);
    EXPECT_EQ(sequences[0]->name(), "HW/input-conv");
    EXPECT_NE(sequences[0]->program().data, nullptr);

    const auto& sw = *sequences[1];
    EXPECT_EQ(sw.backend(), BackendType::Software);
    EXPECT_EQ(sw.name(), "SW/dense");
    ASSERT_EQ(sw.passes().size(), 1u);
    EXPECT_EQ(names_of(sw.passes()[0]->layers), (std::vector<std::string>{"dense"}));
    EXPECT_EQ(sw.program().data, nullptr);
    EXPECT_EQ(sw.program().size, 0u);
    EXPECT_EQ(sw.program_parts().program_info.data, nullptr);
    EXPECT_EQ(sw.program_parts().program_data.data, nullptr);

    auto conv = std::dynamic_pointer_cast<LayerMapping>(model->get_layer("conv")->mapping());
    ASSERT_NE(conv, nullptr);
    ASSERT_EQ(conv->nps->size(), 1u);
    EXPECT_EQ((*conv->nps)[0].ident, hw::Ident(1, 2, 0));
    EXPECT_EQ(model->get_layer("dense")->mapping(), nullptr);
}

// Hands out one NP less than asked for.
class ShortSelection : public MapConstraints {
  public:
    using MapConstraints::MapConstraints;
    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source_nps, size_t num_nps,
                                      hw::Type type) const override {
        auto chosen = MapConstraints::select_nps(source_nps, num_nps, type);
        if (!chosen.empty()) chosen.pop_back();
        return chosen;
    }
};

TEST(ModelMap, AShortSelectionLeavesTheLayersUnmapped) {
    auto model = conv_dense_model();
    auto device = v2_device();
    model->map(device, false, std::make_shared<ShortSelection>(device));
    const auto sequences = model->sequences();
    ASSERT_EQ(sequences.size(), 1u);
    EXPECT_EQ(sequences[0]->backend(), BackendType::Software);
    EXPECT_EQ(sequences[0]->name(), "SW/input-dense");
    EXPECT_EQ(names_of(sequences[0]->passes()[0]->layers),
              (std::vector<std::string>{"input", "conv", "dense"}));
    for (const auto& l : model->layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
}

TEST(ModelMap, HardwareOnlyFailureLeavesTheModelUnmapped) {
    auto model = conv_dense_model();
    auto device = v2_device();
    model->map(device, false, std::make_shared<MapConstraints>(device));
    const std::string error = kinded_error_text(
        [&] { model->map(device, true, std::make_shared<MapConstraints>(device)); });
    EXPECT_EQ(error.rfind("runtime_error: ", 0), 0u) << error;
    EXPECT_NE(error.find("dense"), std::string::npos) << error;
    EXPECT_EQ(model->device(), nullptr);
    EXPECT_TRUE(model->sequences().empty());
    for (const auto& l : model->layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
}

class ThrowingHook : public MapConstraints {
  public:
    using MapConstraints::MapConstraints;
    void next_layer_handler(const std::string& name) const override {
        if (name == "dense") throw std::logic_error("hook: " + name);
    }
};

TEST(ModelMap, HookExceptionsPassUnchangedAndLeaveTheModelUnmapped) {
    auto model = conv_dense_model();
    auto device = v2_device();
    try {
        model->map(device, false, std::make_shared<ThrowingHook>(device));
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "hook: dense");
    }
    EXPECT_EQ(model->device(), nullptr);
    EXPECT_TRUE(model->sequences().empty());
    for (const auto& l : model->layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
}

}  // namespace
}  // namespace vorna
