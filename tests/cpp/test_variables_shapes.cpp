// Replacing a layer's variables: tensors of another shape are refused and change nothing.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "test_support.h"

namespace vorna {
namespace {

using Layout = Dense::Layout;
using test_support::exception_text;
using test_support::make_layer;

std::shared_ptr<Tensor> int8_tensor(const Shape& dims, Layout layout) {
    const std::vector<char> bytes(dims.element_count(), 3);
    return Dense::copy(bytes.data(), bytes.size(), TensorType::int8, dims, layout);
}

// A FullyConnected layer of 8 units on 10 inputs: weights of dims (8, 10), first dimension
// fastest (read from numpy as (10, 8)).
std::shared_ptr<Layer> fc_8_by_10(const std::unique_ptr<Model>& model) {
    model->add(make_layer(LayerType::InputData,
                          {{"input_width", 1}, {"input_height", 1}, {"input_channels", 10}}, "in"),
               {});
    auto fc = make_layer(LayerType::FullyConnected, {{"units", 8}, {"weights_bits", 8}}, "fc");
    model->add(fc, {});
    return fc;
}

TEST(VariablesShapes, TensorsOfAnotherShapeAreRefusedAndChangeNothing) {
    struct Case {
        Shape dims;
        Layout layout;
        std::string error;  // empty: accepted
    };
    const std::string refused = "Cannot set variable 'weights' of shape (8, 10) to a tensor of ";
    const std::vector<Case> cases = {
        {Shape{3, 3}, Layout::RowMajor, refused + "shape (3, 3)."},
        {Shape{80}, Layout::RowMajor, refused + "shape (80,)."},
        {Shape{8, 10, 1}, Layout::RowMajor, refused + "shape (8, 10, 1)."},
        {Shape{10, 8}, Layout::ColMajor, refused + "shape (10, 8)."},
        // The variable's own dims, in either layout, and the row-major bytes of its storage
        // (reversed dims, re-tagged) are the same shape.
        {Shape{8, 10}, Layout::ColMajor, ""},
        {Shape{8, 10}, Layout::RowMajor, ""},
        {Shape{10, 8}, Layout::RowMajor, ""},
    };
    for (const Case& c : cases) {
        auto model = Model::create();
        auto fc = fc_8_by_10(model);
        const std::shared_ptr<Tensor> before = fc->variables()->get("weights");
        const std::shared_ptr<Tensor> value = int8_tensor(c.dims, c.layout);
        const std::string text = exception_text([&] { fc->variables()->set("weights", value); });
        if (!c.error.empty()) {
            EXPECT_EQ(text, c.error);
            EXPECT_EQ(fc->variables()->get("weights"), before);
        } else {
            EXPECT_EQ(text, "<no exception>");
            EXPECT_EQ(fc->variables()->get("weights")->dimensions(), (Shape{8, 10}));
        }
    }
}

TEST(VariablesShapes, ALayerBuiltAgainDeclaresItsVariablesAnew) {
    VariablesImpl variables(VariablesImpl::Shapes::kept);
    variables.declare("w", int8_tensor(Shape{4}, Layout::RowMajor));
    EXPECT_NE(exception_text([&] { variables.set("w", int8_tensor(Shape{5}, Layout::RowMajor)); }),
              "<no exception>");
    variables.declare("w", int8_tensor(Shape{5}, Layout::RowMajor));
    EXPECT_EQ(variables.get("w")->dimensions(), (Shape{5}));
    // A name the layer does not declare is added as it is.
    variables.set("extra", int8_tensor(Shape{2, 2}, Layout::RowMajor));
    EXPECT_EQ(variables.names(), (std::vector<std::string>{"w", "extra"}));
    EXPECT_EQ(shape_text(Shape{70}), "(70,)");
}

}  // namespace
}  // namespace vorna
