#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna {
namespace {

template <class F>
std::string invalid_argument_text(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "<no invalid_argument>";
}

// ---------------------------------------------------------------- LayerParams

TEST(ParamsTest, LayerParamsQueries) {
    auto p = LayerParams::create(
        LayerType::Conv2D,
        {{"kernel_size", 3}, {"filters", 16}, {"activation", 1}, {"padding", -1}});
    EXPECT_EQ(p->layer_type(), LayerType::Conv2D);
    EXPECT_EQ(p->get("filters"), 16);
    EXPECT_EQ(p->get("padding"), -1);
    EXPECT_TRUE(p->has("kernel_size"));
    EXPECT_FALSE(p->has("kernel_width"));
    EXPECT_FALSE(p->has(""));
    EXPECT_EQ(p->keys(),
              (std::vector<std::string>{"activation", "filters", "kernel_size", "padding"}));
    EXPECT_EQ(p->get_or("pool_type", 7), 7);
    EXPECT_EQ(p->get_or("filters", 7), 16);
    EXPECT_EQ(invalid_argument_text([&] { p->get("weights_bits"); }),
              "Parameter 'weights_bits' not found.");
}

TEST(ParamsTest, LayerParamsCloneIsIndependent) {
    auto p = LayerParams::create(LayerType::FullyConnected, {{"units", 10}});
    auto c = LayerParams::clone(p.get());
    ASSERT_NE(c.get(), p.get());
    EXPECT_EQ(c->layer_type(), LayerType::FullyConnected);
    c->set("units", 12);
    c->set("act_bits", 4);
    EXPECT_EQ(p->get("units"), 10);
    EXPECT_FALSE(p->has("act_bits"));
    p->set("weights_bits", 2);
    EXPECT_FALSE(c->has("weights_bits"));
    EXPECT_EQ(c->keys(), (std::vector<std::string>{"act_bits", "units"}));
    EXPECT_THROW(LayerParams::clone(nullptr), std::invalid_argument);
}

// ---------------------------------------------------------------- LearningParams

TEST(ParamsTest, LearningParamsQueries) {
    const double min_plasticity = static_cast<double>(0.1f);
    auto p = LearningParams::create(LearningType::Unsupervised, {{"num_weights", 64.0},
                                                                 {"num_classes", 1.0},
                                                                 {"min_plasticity", min_plasticity},
                                                                 {"plasticity_decay", 0.25}});
    EXPECT_EQ(p->learning_type(), LearningType::Unsupervised);
    EXPECT_EQ(p->get("num_weights"), 64.0);
    // Stored exactly: the single-precision 0.1 widened, not the double 0.1.
    EXPECT_EQ(p->get("min_plasticity"), 0.10000000149011612);
    EXPECT_TRUE(p->has("num_classes"));
    EXPECT_EQ(p->keys(), (std::vector<std::string>{"min_plasticity", "num_classes", "num_weights",
                                                   "plasticity_decay"}));
}

TEST(ParamsTest, LearningParamsCloneIsIndependent) {
    auto p = LearningParams::create(static_cast<LearningType>(3), {{"a", 1.5}});
    auto c = LearningParams::clone(p.get());
    ASSERT_NE(c.get(), p.get());
    EXPECT_EQ(c->learning_type(), static_cast<LearningType>(3));
    EXPECT_EQ(c->get("a"), 1.5);
    EXPECT_THROW(LearningParams::clone(nullptr), std::invalid_argument);
}

// ---------------------------------------------------------------- Variables

std::shared_ptr<Tensor> tensor(TensorType type, uint32_t n) {
    return Dense::create(type, Shape{n}, Dense::Layout::RowMajor);
}

// Names keep their creation order; replacing a variable keeps its place.
TEST(VariablesTest, NamesInCreationOrder) {
    VariablesImpl v;
    v.set("weights", tensor(TensorType::int8, 4));
    v.set("bias", tensor(TensorType::int8, 2));
    v.set("act_step", tensor(TensorType::float32, 2));
    auto replacement = tensor(TensorType::uint8, 3);
    v.set("weights", replacement);
    EXPECT_EQ(v.names(), (std::vector<std::string>{"weights", "bias", "act_step"}));
    EXPECT_EQ(v.get("weights"), replacement);
    EXPECT_EQ(v.count(), 3u);
}

TEST(VariablesTest, MissingAndNull) {
    VariablesImpl v;
    v.set("a", tensor(TensorType::int8, 1));
    Variables& base = v;
    EXPECT_EQ(invalid_argument_text([&] { base.get("threshold"); }),
              "Variable 'threshold' not found.");
    EXPECT_THROW(base.set("b", nullptr), std::invalid_argument);
    EXPECT_THROW(base.set("a", nullptr), std::invalid_argument);
    EXPECT_FALSE(base.has("b"));
    EXPECT_NE(base.get("a"), nullptr);
    EXPECT_EQ(base.names(), (std::vector<std::string>{"a"}));
}

}  // namespace
}  // namespace vorna

namespace {

// A first-dimension-fastest variable read out row-major with reversed dims and written back
// keeps its own dims and layout, and the same element values.
TEST(VariablesRetag, ReversedRowMajorReplacementKeepsLogicalDims) {
    using vorna::Dense;
    vorna::VariablesImpl vars;
    auto weights =
        Dense::create(vorna::TensorType::int8, vorna::Shape{2, 3}, Dense::Layout::ColMajor);
    for (uint32_t i = 0; i < 6; ++i) weights->data<int8_t>()[i] = static_cast<int8_t>(i + 1);
    vars.set("weights", std::shared_ptr<vorna::Tensor>(std::move(weights)));

    const auto& old_bytes = std::dynamic_pointer_cast<Dense>(vars.get("weights"))->buffer();
    auto back = Dense::copy(reinterpret_cast<const char*>(old_bytes.data()), old_bytes.size(),
                            vorna::TensorType::int4, vorna::Shape{3, 2}, Dense::Layout::RowMajor);
    vars.set("weights", std::shared_ptr<vorna::Tensor>(std::move(back)));

    auto now = std::dynamic_pointer_cast<Dense>(vars.get("weights"));
    ASSERT_TRUE(now);
    EXPECT_EQ(now->dimensions(), (vorna::Shape{2, 3}));
    EXPECT_EQ(now->layout(), Dense::Layout::ColMajor);
    EXPECT_EQ(now->type(), vorna::TensorType::int4);
    EXPECT_EQ(now->get<int8_t>({1, 2}), 6);  // element (1, 2) at 1 + 2 * 2
    EXPECT_EQ(now->get<int8_t>({0, 1}), 3);

    // Any other shape replaces the variable as given.
    vars.set("weights", std::shared_ptr<vorna::Tensor>(Dense::create(
                            vorna::TensorType::int8, vorna::Shape{4}, Dense::Layout::RowMajor)));
    EXPECT_EQ(vars.get("weights")->dimensions(), (vorna::Shape{4}));
}

}  // namespace
