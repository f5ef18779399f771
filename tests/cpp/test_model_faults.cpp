// Hostile inputs to the model: files that must not be lost, buffers that must be refused with
// a readable message, graphs refused when a layer is added, sums that must saturate.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/model.h"
#include "corelib/model_file.h"
#include "corelib/ops.h"
#include "test_support.h"

namespace vorna {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using test_support::make_layer;

// in (w, 1, 1) -> Dense1D of `units` units whose weights hold incompressible values.
std::unique_ptr<Model> dense_model(uint32_t inputs, uint32_t units) {
    auto m = Model::create();
    m->add(
        make_layer(
            LayerType::InputData,
            {{"input_width", static_cast<int>(inputs)}, {"input_height", 1}, {"input_channels", 1}},
            "in"),
        {});
    auto d = make_layer(LayerType::Dense1D, {{"units", static_cast<int>(units)}}, "d");
    m->add(d, {});
    auto& w = test_support::dense_var(*d, "weights");
    uint32_t state = 12345;
    int8_t* p = w.data<int8_t>();
    for (size_t i = 0; i < w.size(); ++i) {
        state = state * 1103515245u + 12345u;
        p[i] = static_cast<int8_t>(state >> 24);
    }
    return m;
}

Bytes file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    return names;
}

class SaveFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vorna-save-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        path_ = (dir_ / "model.fbz").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    std::string path_;
};

// A save cut short by the file-size limit leaves the previous file as it was and no
// temporary file.
TEST_F(SaveFile, AFailedSaveKeepsThePreviousFile) {
    model_file::save(*dense_model(4, 2), path_);
    const Bytes before = file_bytes(path_);
    auto big = dense_model(256, 512);  // 128 KiB of weights, compressed to more than the limit

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16384, 16384};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string text =
            test_support::runtime_error_text([&] { model_file::save(*big, path_); });
        ::_exit(text == "Unable to write model file: " + path_ ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(file_bytes(path_), before);
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"model.fbz"});
}

// A save replaces the file a link names, keeps its permissions and leaves nothing else behind.
TEST_F(SaveFile, ASaveReplacesTheLinkedFileAndKeepsItsMode) {
    model_file::save(*dense_model(4, 2), path_);
    ::chmod(path_.c_str(), 0640);
    fs::create_symlink("model.fbz", dir_ / "link.fbz");
    auto other = dense_model(8, 3);
    model_file::save(*other, (dir_ / "link.fbz").string());

    EXPECT_TRUE(fs::is_symlink(dir_ / "link.fbz"));
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms(0640));
    EXPECT_EQ(model_file::load(path_)->serialize(), other->serialize());
    EXPECT_EQ(entries(dir_).size(), 2u);
    EXPECT_EQ(test_support::kinded_error_text(
                  [&] { model_file::save(*other, (dir_ / "no" / "m.fbz").string()); }),
              "invalid_argument: Unable to open file for saving model: " +
                  (dir_ / "no" / "m.fbz").string());
}

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_text(Bytes& b, const std::string& s) {
    put32(b, static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}

// A one-layer model: an input layer of the given name and kind, 1 x 1 x 2.
Bytes input_layer_bytes(const std::string& name, LayerType kind = LayerType::InputData) {
    Bytes b = {'V', 'R', 'N', 'M', 'D', 'L', '0', '1'};
    put32(b, 1);
    put_text(b, name);
    put32(b, static_cast<uint32_t>(kind));
    put32(b, 3);
    for (const char* key : {"input_channels", "input_height", "input_width"}) {
        put_text(b, key);
        put32(b, key[6] == 'c' ? 2 : 1);
    }
    put32(b, 0);
    put32(b, 0);
    b.push_back(0);
    return b;
}

std::string load_error(const Bytes& b) {
    return test_support::kinded_error_text(
        [&] { Model::from_buffer(reinterpret_cast<const char*>(b.data()), b.size()); });
}

TEST(ModelFaults, LoadRefusesNamesThatAreNotTextAndQuotesThemEscaped) {
    const std::string prefix = "runtime_error: Invalid model serialization: ";
    // Names that Python could not decode: the bytes show as escapes.
    for (const auto& [name, shown] : std::map<std::string, std::string>{
             {"\xff\xfe", "\\xff\\xfe"},
             {"ok\xc0\xaf", "ok\\xc0\\xaf"},                // overlong '/'
             {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
             {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // above U+10FFFF
             {"cut\xe2\x82", "cut\\xe2\\x82"}}) {
        EXPECT_EQ(load_error(input_layer_bytes(name)),
                  prefix + "the name of layer 0 is not valid UTF-8: '" + shown + "'.");
    }
    // A NUL, a control character and a backslash of a valid name are escaped in full.
    EXPECT_EQ(load_error(input_layer_bytes(std::string("a\0b\n\\\xc3\xa9", 7), LayerType(7))),
              prefix + "layer 'a\\x00b\\x0a\\x5c\xc3\xa9' has the unknown layer type 7.");
    EXPECT_EQ(load_error(input_layer_bytes("\xc3\xa9t\xc3\xa9")), "<no exception>");
}

TEST(ModelFaults, RebuildErrorsCarryThePrefixOnce) {
    auto m = dense_model(2, 1);
    Bytes b = m->serialize();
    // Drop every variable of the Dense1D layer: its variable count, then all up to the
    // learning flag at the end.
    const std::string marker("\x07\x00\x00\x00weights", 11);
    auto at = std::search(b.begin(), b.end(), marker.begin(), marker.end());
    ASSERT_NE(at, b.end());
    Bytes cut(b.begin(), at - 4);
    put32(cut, 0);
    cut.push_back(0);
    EXPECT_EQ(load_error(cut),
              "runtime_error: Invalid model serialization: layer 'd' lacks the variable "
              "'weights'.");
}

// Layers that could only fail at inference are refused when they are added; the model, the
// layer and its inbound layers stay as they were.
TEST(ModelFaults, AddRefusesWhatCannotBeEvaluated) {
    struct Case {
        LayerType kind;
        std::map<std::string, int> params;
        std::vector<int> inbound;  // indices into the model's layers
        std::string error;
    };
    const std::string add =
        "Layer 'x': the inputs of an Add must have one shape, got [4, 4, 3] and ";
    // clang-format off
    const std::vector<Case> cases = {
        {LayerType::Add, {}, {1, 2}, add + "[4, 4, 5]."},
        {LayerType::Add, {}, {1, 3}, add + "[2, 2, 3]."},
        {LayerType::FullyConnected, {{"units", 0}, {"weights_bits", 2}}, {0},
         "Layer 'x': a FullyConnected layer needs at least one unit ('units' is 0, output "
         "shape [1, 1, 0])."},
    };
    // clang-format on
    for (const Case& c : cases) {
        auto m = Model::create();
        m->add(make_layer(LayerType::InputData,
                          {{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}}, "in"),
               {});
        auto in = m->get_layer("in");
        m->add(make_layer(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}}, "a"), {in});
        m->add(make_layer(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 3}}, "b"), {in});
        m->add(make_layer(LayerType::Conv2D,
                          {{"filters", 3}, {"kernel_size", 3}, {"kernel_stride", 2}}, "c"),
               {in});
        std::vector<std::shared_ptr<Layer>> inbound;
        std::vector<size_t> outbound;
        for (int i : c.inbound) {
            inbound.push_back(m->get_layer(static_cast<size_t>(i)));
            outbound.push_back(inbound.back()->outbound_layers().size());
        }
        auto layer = make_layer(c.kind, c.params, "x");
        EXPECT_EQ(test_support::kinded_error_text([&] { m->add(layer, inbound); }),
                  "invalid_argument: " + c.error);
        EXPECT_EQ(m->layer_count(), 4u);
        EXPECT_TRUE(layer->variables()->names().empty());
        EXPECT_TRUE(layer->inbound_layers().empty());
        for (size_t i = 0; i < inbound.size(); ++i) {
            EXPECT_EQ(inbound[i]->outbound_layers().size(), outbound[i]);
        }
    }
}

// Weights of a dense kind hold one row per flattened input and one column per unit: a size no
// tensor can hold is refused when the layer is added, before anything is allocated.
TEST(ModelFaults, AddRefusesDenseWeightsNoTensorCanHold) {
    struct Case {
        uint32_t x, y, c;
        int units;
        std::string sizes;
    };
    const std::vector<Case> cases = {
        // 7,590,758,400 inputs: the 32-bit product gave 3,295,791,104.
        {5440, 2720, 513, 1,
         "7590758400 values (input shape [5440, 2720, 513]) by 1 units needs 7590758400"},
        // 2^32 inputs: the 32-bit product gave 0, and no weights at all.
        {65536, 65536, 1, 3,
         "4294967296 values (input shape [65536, 65536, 1]) by 3 units needs 12884901888"},
        // 2^64 inputs: a 64-bit product wraps to 0 as well.
        {1u << 30, 1u << 30, 16, 3,
         "18446744073709551616 values (input shape [1073741824, 1073741824, 16]) by 3 units "
         "needs 55340232221128654848"},
        // The input fits; the weights do not.
        {65536, 256, 1, 256,
         "16777216 values (input shape [65536, 256, 1]) by 256 units needs "
         "4294967296"},
    };
    for (const Case& c : cases) {
        for (const LayerType kind : {LayerType::Dense1D, LayerType::FullyConnected}) {
            SCOPED_TRACE(c.sizes);
            auto m = Model::create();
            m->add(make_layer(LayerType::InputData,
                              {{"input_width", static_cast<int>(c.x)},
                               {"input_height", static_cast<int>(c.y)},
                               {"input_channels", static_cast<int>(c.c)}},
                              "in"),
                   {});
            auto layer = make_layer(kind, {{"units", c.units}, {"weights_bits", 2}}, "x");
            EXPECT_EQ(test_support::kinded_error_text([&] { m->add(layer, {}); }),
                      "invalid_argument: Layer 'x': the flattened input of " + c.sizes +
                          " weights, more than a tensor can hold (4294967295).");
            EXPECT_EQ(m->layer_count(), 1u);
            EXPECT_TRUE(layer->variables()->names().empty());
        }
    }
}

// Sums of products saturate at every addition: two products of 2^62 make INT32_MAX, not a
// signed overflow.
TEST(ModelFaults, MatmulSaturatesAtEveryAddition) {
    const int32_t lo = std::numeric_limits<int32_t>::min(),
                  hi = std::numeric_limits<int32_t>::max();
    const auto i32 = [](std::vector<int32_t> v, uint32_t rows, uint32_t cols) {
        return Dense::copy(reinterpret_cast<const char*>(v.data()), v.size() * 4, TensorType::int32,
                           Shape{rows, cols}, Dense::Layout::RowMajor);
    };
    struct Case {
        std::vector<int32_t> a, b;
        int bits;
        int32_t expected;
    };
    for (const Case& c : std::vector<Case>{{{lo, lo}, {lo, lo}, 0, hi},
                                           {{lo, lo, lo}, {lo, lo, hi}, 0, hi},
                                           {{lo, lo}, {hi, hi}, 0, lo},
                                           {{lo, lo}, {lo, lo}, 8, 127}}) {
        const uint32_t k = static_cast<uint32_t>(c.a.size());
        auto out = ops::matmul(*i32(c.a, 1, k), *i32(c.b, k, 1), c.bits, false);
        EXPECT_EQ(out->data<int32_t>()[0], c.expected);
    }
}

}  // namespace
}  // namespace vorna
