#include <gtest/gtest.h>

#include <stdexcept>

#include "backend/fnp_padding.h"
#include "graph_fakes.h"

namespace vorna {
namespace {

using graph_test::FakePtr;
using graph_test::make_layer;

TEST(FnpPadding, Choice) {
    struct Case {
        LayerType source;  // the kind of the layer feeding the dense layer
        uint32_t d0, d1, d2;
        uint8_t bits;
        int weights_bits;
        bool standalone;
        v2::InputPadding expected;
    };
    const LayerType conv = LayerType::Conv2D, dense1d = LayerType::Dense1D;
    const Case cases[] = {
        {dense1d, 32, 32, 2, 1, 8, false, 1},  // one run: n = 2048, b = 256, a = 256
        {dense1d, 32, 32, 3, 1, 8, false, 0},  // n = 3072 units, too many
        // Wider than a byte: the word padding itself overflows the memory.
        {dense1d, 2047, 1, 1, 16, 8, false, 0},  // b = 4094, a = 4096 -> 2049
        {dense1d, 2046, 1, 1, 12, 8, false, 0},  // b = 3069, a = 3072 -> 2049
        {dense1d, 2046, 1, 1, 16, 8, false, 1},  // b = a = 4092 -> 2046
        {conv, 5, 10, 10, 8, 8, false, 3},       // u = 5, a = 8 -> 8 * 10 * 10 = 800
        {conv, 5, 10, 10, 4, 8, false, 2},       // 4-bit: m = 50, b = 25, a = 28 -> 530
        {conv, 5, 10, 10, 8, 4, false, 2},       // 4-bit weights: m = b = 50, a = 52 -> 520
        {LayerType::InputConv2D, 5, 10, 10, 8, 8, false, 2},     // the HRC never yields 3
        {LayerType::BufferTempConv, 5, 10, 10, 8, 8, false, 3},  // a TNP-B counts as a CNP
        {conv, 5, 17, 16, 8, 8, false, 2},  // packing 3 too large (8 * 16 * 17 = 2176)
        {conv, 4, 40, 16, 8, 8, false, 0},  // nothing fits: m = 64, b = 64 -> 2560
        // 1-bit: m = 680, b = 85, a = 88 -> 683 units per row; 3 rows are
        // 2049 units, one above the memory, 2 rows fit.
        {conv, 68, 3, 10, 1, 8, false, 0},
        {conv, 68, 2, 10, 1, 8, false, 2},
        // Standalone: the source is not looked at; one run of 2048 1-bit
        // elements fits, where packing 2 would need (64 - 8 + 8) * 32.
        {conv, 32, 32, 2, 1, 8, true, 1},
        {conv, 32, 32, 2, 1, 8, false, 2}};
    for (const Case& c : cases) {
        FakePtr src = make_layer("src", c.source);
        FakePtr dense = make_layer("dense", LayerType::Dense1D, {{"weights_bits", c.weights_bits}});
        graph_test::link(src, dense);
        dense->input_dims = {Shape{c.d0, c.d1, c.d2}};
        dense->in_bits = c.bits;
        EXPECT_EQ(v2::get_fnp_supported_padding(*dense, c.standalone), c.expected)
            << c.d0 << "x" << c.d1 << "x" << c.d2 << " bits " << int(c.bits);
    }
    FakePtr alone = make_layer("dense", LayerType::Dense1D, {{"weights_bits", 8}});
    alone->input_dims = {Shape{32, 32, 2}};
    alone->in_bits = 1;
    EXPECT_EQ(v2::get_fnp_supported_padding(*alone, true), 1);
    EXPECT_THROW(v2::get_fnp_supported_padding(*alone, false), std::runtime_error);
    alone->input_dims.clear();
    EXPECT_EQ(
        test_support::runtime_error_text([&] { v2::get_fnp_supported_padding(*alone, true); }),
        "Cannot choose the FNP input padding of layer 'dense': it has no input dimensions.");
}

}  // namespace
}  // namespace vorna
