#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "test_support.h"

namespace vorna {
namespace {

using Params = std::map<std::string, int>;
using Names = std::vector<std::string>;
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

Names names_of(const std::vector<std::shared_ptr<Layer>>& layers) {
    Names names;
    for (const auto& l : layers) names.push_back(l->get_name());
    return names;
}

void expect_unmapped(Model& model) {
    EXPECT_EQ(model.device(), nullptr);
    EXPECT_TRUE(model.sequences().empty());
    for (const auto& l : model.layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
}

TEST(ModelAdd, LinksBranchesAndDimensions) {
    auto model = Model::create();
    EXPECT_EQ(model->input_dimensions().count, 0u);
    auto in = input_layer(4, 4, 2);
    model->add(in, {});
    auto left = make_layer(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}}, "left");
    auto right = make_layer(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 1}}, "right");
    model->add(left, {in});
    model->add(right, {in});
    auto cat = make_layer(LayerType::Concatenate, {}, "cat");
    model->add(cat, {left, right});
    auto d = dense("d", 5);
    model->add(d, {});  // links to the last layer
    EXPECT_EQ(names_of(model->layers()), (Names{"input", "left", "right", "cat", "d"}));
    EXPECT_EQ(names_of(in->outbound_layers()), (Names{"left", "right"}));
    EXPECT_EQ(names_of(d->inbound_layers()), (Names{"cat"}));
    EXPECT_EQ(cat->input_dimensions()[1].to_vector(), (std::vector<uint32_t>{4, 4, 5}));
    EXPECT_EQ(d->input_dimensions()[0].to_vector(), (std::vector<uint32_t>{4, 4, 8}));
    EXPECT_EQ(model->input_dimensions().to_vector(), (std::vector<uint32_t>{4, 4, 2}));
    EXPECT_EQ(model->output_dimensions().to_vector(), (std::vector<uint32_t>{1, 1, 5}));
    // 16 positions: 3 filters · 9 · 2 channels, 5 filters · 2 channels; 128 inputs to 5 units.
    EXPECT_EQ(model->macs(), 16u * 3 * 9 * 2 + 16u * 5 * 2 + 128u * 5);
    EXPECT_EQ(model->get_layer(size_t{5}), nullptr);
    EXPECT_EQ(kinded_error_text([&] { model->get_layer("missing"); }),
              "invalid_argument: No layer named 'missing' in the model.");
    // A later input layer is a second input, linked to nothing.
    auto second = input_layer(2, 2, 1, "second");
    model->add(second, {});
    EXPECT_TRUE(second->inbound_layers().empty());
}

TEST(ModelAdd, RefusalsLeaveTheModelUnchanged) {
    auto model = Model::create();
    const std::string first =
        "invalid_argument: The first layer of a model must be an input layer.";
    EXPECT_EQ(kinded_error_text([&] { model->add(nullptr, {}); }),
              "invalid_argument: Invalid layer.");
    EXPECT_EQ(kinded_error_text([&] { model->add(dense("d", 2), {}); }), first);
    // A Quantizer opens a model only when it carries the input size.
    EXPECT_EQ(kinded_error_text([&] { model->add(make_layer(LayerType::Quantizer, {}, "q"), {}); }),
              first);
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
    EXPECT_EQ(kinded_error_text([&] { model->add(dense("d", 2), {nullptr}); }),
              "invalid_argument: Inbound layer '' is not in the model.");
    EXPECT_EQ(model->layer_count(), 1u);
    EXPECT_TRUE(in->outbound_layers().empty());
    // A layer of a destroyed model can join another.
    other.reset();
    model->add(foreign, {});
    EXPECT_EQ(model->get_layer(1), foreign);
}

TEST(ModelPopAndCompile, UnlinkAndAttachLearning) {
    auto model = Model::create();
    EXPECT_EQ(kinded_error_text([&] { model->pop_layer(); }),
              "runtime_error: The model has no layers.");
    auto params = LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2.0}});
    EXPECT_EQ(kinded_error_text([&] { model->compile(params); }),
              "invalid_argument: Cannot compile a model with no layers.");
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
    model->add(d, {});  // the name is free again
    EXPECT_EQ(d->output_dimensions().to_vector(), (std::vector<uint32_t>{1, 1, 3}));
    model->pop_layer();
    auto fc = make_layer(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 1}}, "fc");
    model->add(fc, {});
    EXPECT_THROW(model->compile(nullptr), std::invalid_argument);
    model->compile(params);
    EXPECT_EQ(fc->learning(), params);
}

TEST(ModelIpVersion, DecidedByTheFirstDecisiveKind) {
    const Params conv{{"filters", 1}, {"kernel_size", 1}};
    const Params fc{{"units", 1}, {"weights_bits", 1}};
    const Params sr{{"stateful_channels", 2}, {"output_channels", 2}};
    const std::vector<std::pair<std::vector<std::pair<LayerType, Params>>, IpVersion>> cases = {
        {{}, IpVersion::none},
        {{{LayerType::Quantizer, {}}, {LayerType::Dequantizer, {}}}, IpVersion::none},
        {{{LayerType::Quantizer, {}}, {LayerType::Dense1D, {{"units", 2}}}}, IpVersion::v2},
        {{{LayerType::FullyConnected, fc}}, IpVersion::v1},
        {{{LayerType::Conv2D, conv}, {LayerType::FullyConnected, fc}}, IpVersion::v2},
        {{{LayerType::StatefulRecurrent, sr}, {LayerType::MotePostProcessing, {}}},
         IpVersion::mote},
    };
    for (const auto& [rest, expected] : cases) {
        auto model = Model::create();
        model->add(input_layer(1, 4, 2), {});
        for (const auto& [type, params] : rest)
            model->add(make_layer(type, params, "l" + std::to_string(model->layer_count())), {});
        EXPECT_EQ(model->ip_version(), expected) << model->layer_count();
    }
    EXPECT_EQ(Model::create()->ip_version(), IpVersion::none);
}

std::shared_ptr<Device> v2_device() {
    Mesh mesh(IpVersion::v2, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), std::nullopt,
              {np::Info(hw::Ident(1, 2, 0), {hw::Type::CNP1, hw::Type::CNP2})}, {});
    return make_virtual_device(Selvo_v2, mesh);
}

// input -> conv -> dense on a mesh with one CNP and no FNP: the dense layer cannot be placed.
std::unique_ptr<Model> conv_dense_model() {
    auto model = Model::create();
    model->add(input_layer(8, 8, 4), {});
    model->add(make_layer(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "conv"), {});
    model->add(dense("dense", 4), {});
    return model;
}

TEST(ModelMap, LayersTheHardwareCannotTakeGoToASoftwareSequence) {
    auto model = Model::create();
    auto device = v2_device();
    EXPECT_EQ(kinded_error_text([&] { model->map(nullptr, false, nullptr); }),
              "invalid_argument: Invalid device.");
    EXPECT_EQ(kinded_error_text([&] { model->map(device, true, nullptr); }),
              "invalid_argument: Cannot map a model with no layers.");
    model->add(input_layer(4, 4, 2), {});
    EXPECT_THROW(model->map(device, true, nullptr), std::runtime_error);  // nothing to run
    expect_unmapped(*model);

    model = conv_dense_model();
    model->map(device, false, std::make_shared<MapConstraints>(device));
    const auto sequences = model->sequences();
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_EQ(sequences[0]->name(), "HW/input-conv");
    EXPECT_EQ(names_of(sequences[1]->passes()[0]->layers), (Names{"dense"}));
    EXPECT_EQ(model->get_layer("dense")->mapping(), nullptr);

    // With hw_only, the failure is raised and the model left unmapped.
    const std::string error = kinded_error_text(
        [&] { model->map(device, true, std::make_shared<MapConstraints>(device)); });
    EXPECT_EQ(error.rfind("runtime_error: ", 0), 0u) << error;
    EXPECT_NE(error.find("dense"), std::string::npos) << error;
    expect_unmapped(*model);
}

// Hands out one NP less than asked for; throws from the hook on "dense".
class OddConstraints : public MapConstraints {
  public:
    OddConstraints(std::shared_ptr<Device> device, bool short_selection)
        : MapConstraints(device), short_(short_selection) {}
    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source_nps, size_t num_nps,
                                      hw::Type type) const override {
        auto chosen = MapConstraints::select_nps(source_nps, num_nps, type);
        if (short_ && !chosen.empty()) chosen.pop_back();
        return chosen;
    }
    void next_layer_handler(const std::string& name) const override {
        if (!short_ && name == "dense") throw std::logic_error("hook: " + name);
    }

  private:
    bool short_;
};

TEST(ModelMap, ShortSelectionsAndHookExceptions) {
    auto model = conv_dense_model();
    auto device = v2_device();
    model->map(device, false, std::make_shared<OddConstraints>(device, true));
    const auto sequences = model->sequences();
    ASSERT_EQ(sequences.size(), 1u);
    EXPECT_EQ(sequences[0]->backend(), BackendType::Software);
    EXPECT_EQ(sequences[0]->name(), "SW/input-dense");
    EXPECT_EQ(names_of(sequences[0]->passes()[0]->layers), (Names{"input", "conv", "dense"}));
    for (const auto& l : model->layers()) EXPECT_EQ(l->mapping(), nullptr) << l->get_name();
    // A hook exception passes unchanged and leaves the model unmapped.
    EXPECT_EQ(test_support::exception_text([&] {
                  model->map(device, false, std::make_shared<OddConstraints>(device, false));
              }),
              "hook: dense");
    EXPECT_THROW(model->map(device, false, std::make_shared<OddConstraints>(device, false)),
                 std::logic_error);
    expect_unmapped(*model);
}

}  // namespace
}  // namespace vorna
