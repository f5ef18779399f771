#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/sequence.h"
#include "corelib/tensor.h"
#include "python/model_ops.h"
#include "test_support.h"

namespace vorna::python {
namespace {

using Counts = std::map<hw::Type, uint64_t>;

using test_support::make_layer;

hw::Component component(hw::Type type, uint32_t external_size = 0, uint8_t id = 1) {
    MemoryInfo mem;
    mem.external_size = external_size;
    return hw::Component(type, hw::Ident(1, 1, id), std::nullopt, mem);
}

// A layer carrying a back-end mapping with the given NPs and skip-DMA components. With
// `dual_output`, the last store component is the store of the layer's second output.
std::shared_ptr<Layer> mapped(const std::string& name, std::vector<hw::Component> nps,
                              std::vector<hw::Component> loads = {},
                              std::vector<hw::Component> stores = {}, bool dual_output = false) {
    auto layer = make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, name);
    auto mapping = std::make_shared<LayerMapping>();
    mapping->nps = std::make_shared<std::vector<hw::Component>>(std::move(nps));
    mapping->skipdma_load_components = std::move(loads);
    mapping->skipdma_store_components = std::move(stores);
    if (dual_output) {
        mapping->merge_info = std::make_unique<MergeLayerMapInfo>();
        mapping->merge_info->dual_output = true;
    }
    std::dynamic_pointer_cast<LayerImpl>(layer)->set_mapping(mapping);
    return layer;
}

class FakeSequence : public Sequence {
  public:
    explicit FakeSequence(std::vector<std::vector<std::shared_ptr<Layer>>> passes) {
        for (auto& layers : passes) {
            auto pass = std::make_shared<Pass>();
            pass->layers = std::move(layers);
            passes_.push_back(pass);
        }
    }
    const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
    BackendType backend() const override { return BackendType::Hardware; }
    ByteView program() const override { return {}; }
    ProgramParts program_parts() const override { return {}; }
    std::string name() const override { return "HW/fake"; }

  private:
    std::vector<std::shared_ptr<Pass>> passes_;
};

TEST(ModelOpsSummary, CountsNpsLoadAndStoreButNotTheSecondOutputStore) {
    using T = hw::Type;
    const auto two_cnps = mapped("a", {component(T::CNP2), component(T::CNP2, 0, 2)}, {},
                                 {component(T::SKIP_DMA_STORE)});
    EXPECT_EQ(count_components({two_cnps}), (Counts{{T::CNP2, 2}, {T::SKIP_DMA_STORE, 1}}));

    // Store and second-output store: only the first counts.
    const auto dual =
        mapped("b", {component(T::FNP3)}, {component(T::SKIP_DMA_LOAD)},
               {component(T::SKIP_DMA_STORE), component(T::SKIP_DMA_STORE, 0, 2)}, true);
    EXPECT_EQ(count_components({dual}),
              (Counts{{T::FNP3, 1}, {T::SKIP_DMA_STORE, 1}, {T::SKIP_DMA_LOAD, 1}}));
    // Only a second-output store: nothing for it.
    const auto dual_only =
        mapped("c", {component(T::CNP1)}, {}, {component(T::SKIP_DMA_STORE)}, true);
    EXPECT_EQ(count_components({dual_only}), (Counts{{T::CNP1, 1}}));
    // Layers without a back-end mapping are skipped.
    auto unmapped = make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "d");
    EXPECT_EQ(count_components({two_cnps, unmapped, nullptr, dual_only}),
              (Counts{{T::CNP1, 1}, {T::CNP2, 2}, {T::SKIP_DMA_STORE, 1}}));
}

TEST(ModelOpsSummary, ExternalMemorySumsMappedPassLayersAndWraps) {
    using T = hw::Type;
    const auto a = mapped("a", {component(T::CNP2, 100), component(T::CNP2, 20, 2)},
                          {component(T::SKIP_DMA_LOAD, 3)}, {component(T::SKIP_DMA_STORE, 4)});
    // The second-output store's 1000 bytes are not counted.
    const auto b =
        mapped("b", {component(T::FNP2, 5)}, {},
               {component(T::SKIP_DMA_STORE, 6), component(T::SKIP_DMA_STORE, 1000, 2)}, true);
    auto unmapped = make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "u");
    std::vector<std::shared_ptr<Sequence>> sequences = {
        std::make_shared<FakeSequence>(
            std::vector<std::vector<std::shared_ptr<Layer>>>{{a}, {b, unmapped}}),
        nullptr,
    };
    EXPECT_EQ(external_memory_size(sequences), 100u + 20 + 3 + 4 + 5 + 6);
    EXPECT_EQ(external_memory_size({}), 0u);

    const auto big = mapped("big", {component(T::CNP1, 0xFFFFFFF0u)});
    const auto more = mapped("more", {component(T::CNP1, 0x20)});
    sequences = {
        std::make_shared<FakeSequence>(std::vector<std::vector<std::shared_ptr<Layer>>>{{big}}),
        std::make_shared<FakeSequence>(std::vector<std::vector<std::shared_ptr<Layer>>>{{more}})};
    EXPECT_EQ(external_memory_size(sequences), 0x10u);
}

// Input (2, 1, 3) -> FullyConnected "fc" of `units`, compiled with `classes` classes.
std::unique_ptr<Model> fc_model(int units, double classes) {
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData,
                          {{"input_width", 2}, {"input_height", 1}, {"input_channels", 3}}, "in"),
               {});
    model->add(make_layer(LayerType::FullyConnected, {{"units", units}, {"weights_bits", 8}}, "fc"),
               {});
    model->compile(LearningParams::create(LearningType::Unsupervised,
                                          {{"num_classes", classes}, {"num_weights", 6}}));
    return model;
}

TEST(ModelOpsAddClasses, KeepsEachNeuronsWeightsInTheCoreLayout) {
    auto model = fc_model(4, 2);
    auto old = model->get_layer(1);
    // Weights as the core keeps them: (units, inputs), first dimension fastest.
    auto weights = Dense::create(TensorType::int8, Shape{4, 6}, Dense::Layout::ColMajor);
    int8_t* w = weights->data<int8_t>();
    for (size_t i = 0; i < weights->size(); ++i) w[i] = static_cast<int8_t>(i + 1);
    old->variables()->set("weights", std::shared_ptr<Dense>(std::move(weights)));
    auto old_weights = Tensor::ensure_dense(old->variables()->get("weights"));

    add_classes(*model, 1);

    auto layer = model->get_layer(1);
    ASSERT_NE(layer, old);
    EXPECT_EQ(layer->params()->get("units"), 6);
    EXPECT_EQ(model->learning()->get("num_classes"), 3.0);
    EXPECT_EQ(model->learning()->get("num_weights"), 6.0);
    auto grown = Tensor::ensure_dense(layer->variables()->get("weights"));
    ASSERT_EQ(grown->dimensions(), (Shape{6, 6}));
    for (uint32_t neuron = 0; neuron < 6; ++neuron) {
        for (uint32_t input = 0; input < 6; ++input) {
            const int8_t expected = neuron < 4 ? old_weights->get<int8_t>({neuron, input}) : 0;
            EXPECT_EQ(grown->get<int8_t>({neuron, input}), expected) << neuron << "," << input;
        }
    }
}

TEST(ModelOpsAddClasses, WeightsOfAnotherStorageTypeFailBeforeTheModelChanges) {
    auto model = fc_model(4, 2);
    auto old = model->get_layer(1);
    old->variables()->set("weights", std::shared_ptr<Dense>(Dense::create(
                                         TensorType::uint8, Shape{4, 6}, Dense::Layout::ColMajor)));
    try {
        add_classes(*model, 1);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Wrong requested type a for a tensor of type uint8.");
    }
    EXPECT_EQ(model->get_layer(1), old);
    EXPECT_EQ(old->params()->get("units"), 4);
    EXPECT_EQ(model->learning()->get("num_classes"), 2.0);
}

TEST(ModelOpsFromLayers, NullEntryFailsBeforeAnythingIsBuilt) {
    auto source = fc_model(4, 2);
    try {
        model_from_layers({source->get_layer(1), nullptr});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid layer received");
    }
    EXPECT_EQ(model_from_layers({})->layer_count(), 0u);
}

}  // namespace
}  // namespace vorna::python
