// v2 program bytes of small models, one per path of the register and weight
// formatters, against the expected text in tests/data/golden/v2/.

#include "golden_program.h"

namespace vorna {
namespace {

using golden::L;
using golden::P;
using golden::Row;
using LT = LayerType;

P in(int x, int y, int c, int bits = 8) {
    return {{"input_width", x}, {"input_height", y}, {"input_channels", c}, {"input_bits", bits}};
}
P conv(int filters, int kernel, int activation, P more = {}) {
    P p{{"filters", filters}, {"kernel_size", kernel}, {"activation", activation},
        {"kernel_stride", 1}, {"output_bits", 8},      {"weights_bits", 8}};
    for (const auto& [k, v] : more) p[k] = v;
    return p;
}

std::vector<Row> rows() {
    const HwVersion* v2 = &Selvo_v2;
    return {
        {"hrc_k7_maxpool",
         v2,
         "v2",
         {{LT::InputData, "input", in(16, 16, 1)},
          {LT::InputConv2D, "iconv",
           conv(8, 7, 1,
                {{"kernel_stride", 2}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}})},
          {LT::Conv2D, "conv", conv(8, 3, 1)}}},
    };
}

TEST(GoldenV2, ProgramBytesOfEveryFormatterPath) {
    for (const Row& row : rows()) golden::expect_golden("v2", row);
}

}  // namespace
}  // namespace vorna
