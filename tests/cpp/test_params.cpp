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
    auto p = LayerParams::create(LayerType::Conv2D,
                                 {{"kernel_size", 3}, {"filters", 16}, {"activation", 1},
                                  {"padding", -1}});
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
}

TEST(ParamsTest, LayerParamsMissingKeyText) {
    auto p = LayerParams::create(LayerType::Dense1D, {{"units", 10}});
    EXPECT_EQ(invalid_argument_text([&] { p->get("weights_bits"); }),
              "Parameter 'weights_bits' not found.");
    EXPECT_EQ(invalid_argument_text([&] { p->get(""); }), "Parameter '' not found.");
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
    auto p = LearningParams::create(LearningType::Unsupervised,
                                    {{"num_weights", 64.0},
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
    EXPECT_EQ(invalid_argument_text([&] { p->get("initial_plasticity"); }),
              "Parameter 'initial_plasticity' not found.");
}

TEST(ParamsTest, LearningParamsCloneIsIndependent) {
    auto p = LearningParams::create(static_cast<LearningType>(3), {{"a", 1.5}});
    auto c = LearningParams::clone(p.get());
    ASSERT_NE(c.get(), p.get());
    EXPECT_EQ(c->learning_type(), static_cast<LearningType>(3));
    EXPECT_EQ(c->get("a"), 1.5);
    EXPECT_EQ(c.use_count(), 1);
    EXPECT_THROW(LearningParams::clone(nullptr), std::invalid_argument);
}

// ---------------------------------------------------------------- Variables

std::shared_ptr<Tensor> tensor(TensorType type, uint32_t n) {
    return Dense::create(type, Shape{n}, Dense::Layout::RowMajor);
}

TEST(VariablesTest, NamesInCreationOrder) {
    VariablesImpl v;
    EXPECT_TRUE(v.names().empty());
    v.set("weights", tensor(TensorType::int8, 4));
    v.set("bias", tensor(TensorType::int8, 2));
    v.set("act_step", tensor(TensorType::float32, 2));
    EXPECT_EQ(v.names(), (std::vector<std::string>{"weights", "bias", "act_step"}));
    EXPECT_TRUE(v.has("bias"));
    EXPECT_FALSE(v.has("threshold"));
}

TEST(VariablesTest, SetReplacesInPlace) {
    VariablesImpl v;
    v.set("a", tensor(TensorType::int8, 1));
    v.set("b", tensor(TensorType::int8, 1));
    auto replacement = tensor(TensorType::uint8, 3);
    v.set("a", replacement);
    EXPECT_EQ(v.names(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(v.get("a"), replacement);
    EXPECT_EQ(v.get("a")->type(), TensorType::uint8);
    EXPECT_EQ(v.count(), 2u);
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
