#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "test_support.h"

namespace vorna {
namespace {

using Params = std::map<std::string, int>;
using Bytes = std::vector<uint8_t>;

using test_support::make_layer;

const char* chars(const Bytes& b) { return reinterpret_cast<const char*>(b.data()); }

// in (4, 4, 2) -> conv a, conv b (both on in) -> add -> dense1d "d", compiled, with weights
// of recognisable values and one extra variable.
std::unique_ptr<Model> mixed_model() {
    auto m = Model::create();
    m->add(make_layer(LayerType::InputData,
                      {{"input_width", 4},
                       {"input_height", 4},
                       {"input_channels", 2},
                       {"input_bits", 4},
                       {"input_signed", 1}},
                      "in"),
           {});
    auto in = m->get_layer("in");
    auto a =
        make_layer(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}, {"activation", 2}}, "a");
    auto b =
        make_layer(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}, {"padding", 2}}, "b");
    m->add(a, {in});
    m->add(b, {in});
    m->add(make_layer(LayerType::Add, {}, "add"), {a, b});
    auto d = make_layer(LayerType::Dense1D, {{"units", 5}, {"weights_bits", 4}}, "d");
    m->add(d, {});
    m->compile(LearningParams::create(LearningType::Unsupervised,
                                      {{"num_classes", 5.0}, {"learning_competition", 0.125}}));

    auto weights = Tensor::ensure_dense(a->variables()->get("weights"));
    std::vector<int8_t> values(weights->size());
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int8_t>(i % 251 - 125);
    a->variables()->set("weights",
                        Dense::copy(reinterpret_cast<const char*>(values.data()), values.size(),
                                    TensorType::int8, weights->dimensions(), weights->layout()));
    std::vector<float> extra = {1.5f, -2.25f};
    d->variables()->set(
        "extra", Dense::copy(reinterpret_cast<const char*>(extra.data()), 8, TensorType::float32,
                             Shape{2, 1}, Dense::Layout::RowMajor));
    return m;
}

// A parse that dropped or changed anything would serialize to other bytes.
TEST(ModelSerialize, RoundTripOfAMixedModelWithLearning) {
    auto m = mixed_model();
    const Bytes bytes = m->serialize();
    auto back = Model::from_buffer(chars(bytes), bytes.size());
    EXPECT_EQ(back->serialize(), bytes);
    EXPECT_EQ(back->get_layer("add")->inbound_layers()[1]->get_name(), "b");
    EXPECT_EQ(back->learning()->get("learning_competition"), 0.125);
    auto w = Tensor::ensure_dense(back->get_layer("a")->variables()->get("weights"));
    EXPECT_EQ(w->layout(), Dense::Layout::ColMajor);
    EXPECT_EQ(w->get<int8_t>({0, 1, 0, 0}), -122);  // element 3, first dimension fastest
    auto extra = Tensor::ensure_dense(back->get_layer("d")->variables()->get("extra"));
    EXPECT_EQ(extra->dimensions(), (Shape{2, 1}));
    EXPECT_EQ(extra->at<float>(1), -2.25f);
}

// A Dequantizer stores a single variable: each stored variable is matched by its name.
TEST(ModelSerialize, RoundTripOfALayerWithOneVariable) {
    auto m = Model::create();
    m->add(make_layer(LayerType::Quantizer,
                      {{"input_width", 1}, {"input_height", 1}, {"input_channels", 2}}, "q"),
           {});
    m->add(make_layer(LayerType::Dequantizer, {}, "dq"), {});
    const std::vector<float> scales = {0.5f, 4.0f};
    m->get_layer("dq")->variables()->set(
        "scales", Dense::copy(reinterpret_cast<const char*>(scales.data()), 8, TensorType::float32,
                              Shape{2}, Dense::Layout::RowMajor));
    const Bytes bytes = m->serialize();
    auto back = Model::from_buffer(chars(bytes), bytes.size());
    EXPECT_EQ(back->serialize(), bytes);
    auto dq = back->get_layer("dq")->variables();
    EXPECT_EQ(dq->names(), (std::vector<std::string>{"scales"}));
    EXPECT_EQ(Tensor::ensure_dense(dq->get("scales"))->at<float>(1), 4.0f);
}

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_text(Bytes& b, const std::string& s) {
    put32(b, static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}

// The bytes of a one-layer model, written out field by field.
Bytes input_only_bytes() {
    Bytes b = {'V', 'R', 'N', 'M', 'D', 'L', '0', '1'};
    put32(b, 1);
    put_text(b, "in");
    put32(b, 1);  // InputData
    put32(b, 5);
    const std::vector<std::pair<std::string, int>> params = {{"input_bits", 8},
                                                             {"input_channels", 3},
                                                             {"input_height", 2},
                                                             {"input_signed", 0},
                                                             {"input_width", 7}};
    for (const auto& [k, v] : params) {
        put_text(b, k);
        put32(b, static_cast<uint32_t>(v));
    }
    put32(b, 0);  // inbound layers
    put32(b, 0);  // variables
    b.push_back(0);
    return b;
}

TEST(ModelSerialize, ExactBytesOfAnInputLayer) {
    auto m = Model::create();
    m->add(make_layer(LayerType::InputData,
                      {{"input_width", 7}, {"input_height", 2}, {"input_channels", 3}}, "in"),
           {});
    EXPECT_EQ(m->serialize(), input_only_bytes());

    // A Dense1D variable: name, type, layout, rank, dims, byte count, bytes.
    m->add(make_layer(LayerType::Dense1D, {{"units", 1}, {"activation", 0}}, "d"), {});
    const Bytes all = m->serialize();
    // The variable name with its length (the parameter "weights_bits" comes earlier).
    const std::string marker("\x07\x00\x00\x00weights", 11);
    auto at = std::search(all.begin(), all.end(), marker.begin(), marker.end());
    ASSERT_NE(at, all.end());
    Bytes expected;
    put32(expected, static_cast<uint32_t>(TensorType::int8));
    put32(expected, 1);   // ColMajor
    put32(expected, 2);   // rank
    put32(expected, 42);  // 7 * 2 * 3 inputs
    put32(expected, 1);   // units
    put32(expected, 42);
    put32(expected, 0);  // high word of the byte count
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), at + marker.size()));
}

std::string error_of(const Bytes& bytes) {
    try {
        Model::from_buffer(chars(bytes), bytes.size());
    } catch (const std::runtime_error& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "<no exception>";
}

TEST(ModelSerialize, RefusesDamagedBuffers) {
    const std::string prefix = "Invalid model serialization: ";
    EXPECT_EQ(error_of({}), prefix + "empty buffer.");
    EXPECT_EQ(test_support::exception_text([] { Model::from_buffer(nullptr, 0); }),
              prefix + "empty buffer.");
    EXPECT_EQ(error_of(Bytes(64, 0)), prefix + "bad header.");
    Bytes good = input_only_bytes();
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(error_of(trailing), prefix + "1 bytes after the last layer.");

    Bytes huge_count = good;
    huge_count[8] = 0xFF;
    huge_count[11] = 0x7F;
    EXPECT_EQ(error_of(huge_count), prefix + "the layer count 2130706687 exceeds the data.");

    Bytes unknown_type = good;
    unknown_type[8 + 4 + 4 + 2] = 7;  // layer type 7 does not exist
    EXPECT_EQ(error_of(unknown_type), prefix + "layer 'in' has the unknown layer type 7.");

    // A model whose first layer is not an input layer is refused by the rebuild.
    auto m = Model::create();
    m->add(make_layer(LayerType::InputData,
                      {{"input_width", 1}, {"input_height", 1}, {"input_channels", 2}}, "in"),
           {});
    m->add(make_layer(LayerType::Dense1D, {{"units", 2}}, "d"), {});
    Bytes two = m->serialize();
    Bytes swapped_kind = two;
    swapped_kind[8 + 4 + 4 + 2] = static_cast<uint8_t>(LayerType::Dense1D);
    EXPECT_EQ(error_of(swapped_kind).rfind(prefix, 0), 0u) << error_of(swapped_kind);
}

// Inbound indices must name an earlier layer; a variable entry takes at least 28 bytes (name
// length, type, layout, rank, one dimension, 64-bit byte count); stored variables may be at
// most 4096 elements smaller than those the parameters create.
TEST(ModelSerialize, LimitsOfInboundIndicesAndVariableSizes) {
    const std::string prefix = "Invalid model serialization: ";
    auto with_dense = [](uint32_t inbound) {
        Bytes b = input_only_bytes();
        b[8] = 2;
        put_text(b, "d");
        put32(b, static_cast<uint32_t>(LayerType::Dense1D));
        put32(b, 1);
        put_text(b, "units");
        put32(b, 1);
        put32(b, 1);
        put32(b, inbound);
        put32(b, 0);
        b.push_back(0);
        return b;
    };
    EXPECT_EQ(error_of(with_dense(1)), prefix + "layer 'd' names the inbound layer 1.");
    EXPECT_EQ(error_of(with_dense(0)), prefix + "layer 'd' lacks the variable 'weights'.");

    // One variable announced with 27 and with 28 bytes left.
    Bytes one_variable = input_only_bytes();
    one_variable.resize(one_variable.size() - 5);  // variable count and learning flag
    put32(one_variable, 1);
    Bytes short_entry = one_variable;
    short_entry.resize(short_entry.size() + 27, 0);
    EXPECT_EQ(error_of(short_entry), prefix + "the variable count 1 exceeds the data.");
    Bytes full_entry = one_variable;
    full_entry.resize(full_entry.size() + 28, 0);
    const std::string full_error = error_of(full_entry);
    EXPECT_EQ(full_error.rfind(prefix, 0), 0u) << full_error;
    EXPECT_EQ(full_error.find("variable count"), std::string::npos) << full_error;

    // The smallest layer entry takes 21 bytes (name length, type, parameter, inbound and
    // variable counts, learning flag); a learning parameter 12 (name length, 64-bit value).
    // Each count is announced with one byte too few and with just enough.
    Bytes layer_count = {'V', 'R', 'N', 'M', 'D', 'L', '0', '1'};
    put32(layer_count, 1);
    Bytes learning_count = input_only_bytes();
    learning_count.back() = 1;  // learning flag
    put32(learning_count, static_cast<uint32_t>(LearningType::Unsupervised));
    put32(learning_count, 2);
    for (const auto& [head, entry, what] :
         {std::tuple{layer_count, 21, "layer"}, {learning_count, 2 * 12, "learning parameter"}}) {
        const std::string count_error =
            prefix + "the " + what + " count " + (entry == 21 ? "1" : "2") + " exceeds the data.";
        Bytes short_data = head;
        short_data.resize(head.size() + entry - 1, 0);
        EXPECT_EQ(error_of(short_data), count_error);
        Bytes full_data = head;
        full_data.resize(head.size() + entry, 0);
        const std::string error = error_of(full_data);
        EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
        EXPECT_NE(error, count_error);
    }

    // Input (1, 1, c) and Dense1D of one unit storing a one-element weights tensor.
    auto stored = [](int c) {
        auto m = Model::create();
        m->add(make_layer(LayerType::InputData,
                          {{"input_width", 1}, {"input_height", 1}, {"input_channels", c}}, "in"),
               {});
        auto d = make_layer(LayerType::Dense1D, {{"units", 1}, {"activation", 0}}, "d");
        m->add(d, {});
        test_support::set_any_shape(
            d->variables(), "weights",
            Dense::create(TensorType::int8, Shape{1, 1}, Dense::Layout::ColMajor));
        return m->serialize();
    };
    const std::string refused =
        prefix + "the parameters of layer 'd' do not match its stored variables.";
    EXPECT_NE(error_of(stored(4097)), refused);  // 4097 created, 1 stored
    EXPECT_EQ(error_of(stored(4098)), refused);
}

// Every truncation and every single damaged byte of a valid buffer is either refused with the
// serialization error or read as some valid model; nothing else happens.
TEST(ModelSerialize, TruncatedAndCorruptedBuffersNeverCrash) {
    const Bytes bytes = mixed_model()->serialize();
    const std::string prefix = "Invalid model serialization: ";
    for (size_t n = 0; n < bytes.size(); n += (n < 600 ? 1 : 97)) {
        Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        const std::string error = error_of(cut);
        ASSERT_EQ(error.rfind(prefix, 0), 0u) << "length " << n << ": " << error;
    }
    for (size_t i = 0; i < bytes.size(); i += (i < 600 ? 1 : 53)) {
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x7F}}) {
            Bytes damaged = bytes;
            if (damaged[i] == value) continue;
            damaged[i] = value;
            const std::string error = error_of(damaged);
            if (error == "<no exception>") continue;
            ASSERT_EQ(error.rfind(prefix, 0), 0u) << "byte " << i << ": " << error;
        }
    }
}

}  // namespace
}  // namespace vorna
