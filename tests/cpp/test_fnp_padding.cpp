#include <gtest/gtest.h>

#include <cctype>
#include <stdexcept>
#include <string>

#include "backend/fnp_padding.h"
#include "graph_fakes.h"

namespace vorna {
namespace {

using graph_test::FakePtr;
using graph_test::link;
using graph_test::make_layer;

struct PaddingCase {
    const char* what;
    LayerType source;  // the kind of the layer feeding the dense layer
    uint32_t d0, d1, d2;
    uint8_t bits;
    int weights_bits;
    bool standalone;
    v2::InputPadding expected;
};

class FnpPadding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(FnpPadding, Choice) {
    const PaddingCase& c = GetParam();
    FakePtr src = make_layer("src", c.source);
    FakePtr dense = make_layer("dense", LayerType::Dense1D, {{"weights_bits", c.weights_bits}});
    link(src, dense);
    dense->input_dims = {Shape{c.d0, c.d1, c.d2}};
    dense->in_bits = c.bits;
    EXPECT_EQ(v2::get_fnp_supported_padding(*dense, c.standalone), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FnpPadding,
    ::testing::Values(
        // One run: n = 2048, b = 256, a = 256 -> 2048 units.
        PaddingCase{"dense source, 2048 units", LayerType::Dense1D, 32, 32, 2, 1, 8, false, 1},
        // n = 3072 -> 3072 units, too many.
        PaddingCase{"dense source, 3072 units", LayerType::Dense1D, 32, 32, 3, 1, 8, false, 0},
        // u = 5, a = 8 -> 8 * 10 * 10 = 800.
        PaddingCase{"CNP source, 8-bit", LayerType::Conv2D, 5, 10, 10, 8, 8, false, 3},
        // Packing 3 is not tried: m = 50, b = 25, a = 28 -> 53 * 10 = 530.
        PaddingCase{"CNP source, 4-bit", LayerType::Conv2D, 5, 10, 10, 4, 8, false, 2},
        // 4-bit weights rule out packing 3 as well: m = 50, b = 50, a = 52 -> 520.
        PaddingCase{"CNP source, 4-bit weights", LayerType::Conv2D, 5, 10, 10, 8, 4, false, 2},
        // The HRC never yields 3: m = 50, b = 50, a = 52 -> 520.
        PaddingCase{"HRC source", LayerType::InputConv2D, 5, 10, 10, 8, 8, false, 2},
        // A TNP-B counts as a CNP source.
        PaddingCase{"TNP-B source", LayerType::BufferTempConv, 5, 10, 10, 8, 8, false, 3},
        // Packing 3 too large (8 * 16 * 17 = 2176) falls back to packing 2:
        // m = 80, b = 80, a = 80 -> 80 * 17 = 1360.
        PaddingCase{"packing 3 too large", LayerType::Conv2D, 5, 17, 16, 8, 8, false, 2},
        // Neither fits: m = 64, b = 64 -> 64 * 40 = 2560.
        PaddingCase{"nothing fits", LayerType::Conv2D, 4, 40, 16, 8, 8, false, 0},
        // Standalone: the source is not looked at. One run of 2048 1-bit
        // elements fits, where packing 2 would need (64 - 8 + 8) * 32.
        PaddingCase{"standalone", LayerType::Conv2D, 32, 32, 2, 1, 8, true, 1},
        PaddingCase{"not standalone", LayerType::Conv2D, 32, 32, 2, 1, 8, false, 2}),
    [](const ::testing::TestParamInfo<PaddingCase>& info) {
        std::string name = info.param.what;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

TEST(FnpPaddingErrors, NoInboundLayer) {
    FakePtr dense = make_layer("dense", LayerType::Dense1D, {{"weights_bits", 8}});
    dense->input_dims = {Shape{32, 32, 2}};
    dense->in_bits = 1;
    EXPECT_EQ(v2::get_fnp_supported_padding(*dense, true), 1);
    EXPECT_THROW(v2::get_fnp_supported_padding(*dense, false), std::runtime_error);
}

}  // namespace
}  // namespace vorna
