// v1 CNP threshold blocks and register words, computed by hand.
#include <gtest/gtest.h>

#include <map>

#include "backend/v1/cnp_program.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/np_registers.h"
#include "v1_test_util.h"

namespace vorna::v1 {
namespace {

using v1_test::cnp;
using v1_test::error_text;
using v1_test::int32_values;
using v1_test::make_net;
using v1_test::map_layer;
using v1_test::space;

uint32_t bits(uint32_t word, uint32_t low, uint32_t width) {
    return (word >> low) & ((width >= 32 ? 0 : (1u << width)) - 1u);
}

// ---- thresholds --------------------------------------------------------

TEST(V1CnpRegisters, ThresholdFailures) {
    auto steps = int32_values({16});
    EXPECT_EQ(
        error_text([&] { format_cnp_thresholds(*int32_values({524288}), *steps, true, 0, 1); }),
        "524288 cannot fit in a 20 bits signed integer.");
    EXPECT_EQ(
        error_text([&] { format_cnp_thresholds(*int32_values({-524289}), *steps, true, 0, 1); }),
        "-524289 cannot fit in a 20 bits signed integer.");

    struct Step {
        int32_t value;
        const char* message;
    } bad_steps[] = {
        {1048576,
         "Backend hardware(CNP): act_step should be between 0 and 65535. Receives "
         "act_step 65536."},
        {-20,
         "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step "
         "-1."},
    };
    for (const Step& s : bad_steps) {
        try {
            format_cnp_thresholds(*int32_values({0}), *int32_values({s.value}), false, 0, 1);
            FAIL() << "no exception for " << s.value;
        } catch (const CnpError& e) {
            EXPECT_STREQ(e.what(), s.message);
        }
    }

    auto floats = v1_test::float_values({1.0f});
    EXPECT_EQ(error_text([&] { format_cnp_thresholds(*floats, *steps, true, 0, 0); }),
              "Wrong requested type i for a tensor of type float32.");
    EXPECT_EQ(error_text([&] { format_cnp_thresholds(*steps, *floats, true, 0, 0); }),
              "Wrong requested type i for a tensor of type float32.");
    EXPECT_THROW(format_cnp_thresholds(*steps, *steps, true, 1, 1), std::invalid_argument);
}

// ---- word 27 -----------------------------------------------------------

// ---- geometry ----------------------------------------------------------

struct Geometry {
    Shape input{8, 8, 4};
    uint8_t input_bits = 4;
    int kernel = 3;
    int stride = 1;
    PaddingParams padding{1, 1, 1, 1};
    int act_bits = 2;
    NpSpace part = space(0, 4, 8, 4, 4);
    NpSpace aux = space(0, 3, 8, 5, 4);
    uint32_t filters = 16;
    uint32_t start = 16;

    std::vector<uint32_t> run() const {
        auto r = default_np_regs();
        format_cnp_geometry_regs(&r, input, 5, input_bits, kernel, stride, padding, true, act_bits,
                                 part, aux, 1, 1, PaddingParams{}, filters, start, 2, 1);
        return r;
    }
};

TEST(V1CnpRegisters, GeometryOverflows) {
    struct Case {
        const char* what;
        std::function<void(Geometry&)> edit;
        std::string message;
    } cases[] = {
        {"8-bit input", [](Geometry& g) { g.input_bits = 8; },
         "Attempted to write value 4 into a 2-bit field, which will cause an overflow."},
        {"act bits 8", [](Geometry& g) { g.act_bits = 8; },
         "Attempted to write value 4 into a 2-bit field, which will cause an overflow."},
        {"2048 filters", [](Geometry& g) { g.filters = 2048; },
         "Attempted to write value 2048 into a 11-bit field, which will cause an overflow."},
        {"2041 filters", [](Geometry& g) { g.filters = 2041; },
         "Attempted to write value 256 into a 8-bit field, which will cause an overflow."},
        {"offset -9",
         [](Geometry& g) {
             g.aux = space(0, 0, 8, 5, 4);
             g.part = space(0, 9, 8, 4, 4);
             g.input = Shape{8, 16, 4};
         },
         "-9 cannot fit in a 4 bits signed integer."},
    };
    for (const Case& c : cases) {
        Geometry g;
        c.edit(g);
        EXPECT_EQ(error_text([&] { g.run(); }), c.message) << c.what;
    }
    Geometry fits;
    fits.filters = 2040;
    EXPECT_EQ(bits(fits.run()[29], 16, 8), 255u);
}

// ---- register sets -----------------------------------------------------

std::map<std::string, int> conv_params(int k, int wb, std::map<std::string, int> extra = {}) {
    std::map<std::string, int> p{{"filters", 16},
                                 {"kernel_width", k},
                                 {"kernel_height", k},
                                 {"weights_bits", wb},
                                 {"act_bits", 2}};
    for (const auto& [key, v] : extra) p[key] = v;
    return p;
}

const hw::Ident kNp0{1, 2, 0, 0};
const hw::Ident kNp1{1, 2, 1, 0};

std::vector<hw::Component> two_nps(uint32_t f0 = 8, uint32_t f1 = 8) {
    const NpSpace all = space(0, 0, 8, 8, 4);
    return {cnp(kNp0, 0, f0, all, all), cnp(kNp1, f0, f1, all, all)};
}

TEST(V1CnpRegisters, SetFailures) {
    auto p = LayerParams::create(LayerType::Convolutional, conv_params(3, 2));
    auto loose = Layer::create(p.get(), "loose");
    map_layer(*loose, two_nps());
    EXPECT_EQ(error_text([&] { format_std_cnp_regs(*loose, nullptr, false, false, {}); }),
              "The layer loose is not built.");

    // A component without placement is refused instead of being read.
    auto bare = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 4);
    map_layer(*bare.layer, {hw::Component(hw::Type::CNP1, kNp0)});
    EXPECT_THROW(format_std_cnp_regs(*bare.layer, nullptr, false, false, {}),
                 std::invalid_argument);

    // P2P output with two destinations.
    auto p2p = make_net(LayerType::Convolutional, conv_params(3, 2), 8, 8, 4);
    auto m = map_layer(*p2p.layer, two_nps());
    m->output_to_dma = true;
    m->outbound_components.push_back(m->outbound_components.front());
    EXPECT_EQ(error_text([&] { format_std_cnp_regs(*p2p.layer, nullptr, false, false, {}); }),
              "Cannot use P2P mode for multiple NPs.");
}

}  // namespace
}  // namespace vorna::v1
