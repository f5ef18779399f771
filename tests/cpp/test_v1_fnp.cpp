// v1 FullyConnected layers: FNP sizes, RAM images, register words, learning
// records and the read-back of learned variables.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "backend/v1/fnp_program.h"
#include "backend/v1/fnp_ram.h"
#include "backend/v1/fnp_registers.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/learning.h"
#include "backend/v1/np_registers.h"
#include "corelib/variables.h"
#include "v1_test_util.h"

namespace vorna {
namespace {

using namespace v1fnp_test;
using v1::fnp_sram_size;
using v1::format_fnp_ram;
using Words = std::vector<uint32_t>;

// ------------------------------------------------------------------ sizes

TEST(V1FnpSizes, HugeSizesSaturateInsteadOfWrapping) {
    // 2^16 neurons of 2^20 inputs with 4-bit weights: 2^16 x (2^15 x 6 + 4)
    // words does not fit 32 bits; it must not come back as a small number.
    EXPECT_EQ(fnp_sram_size(Shape{1u << 16, 1u << 20}, 4), std::numeric_limits<uint32_t>::max());
    EXPECT_EQ(fnp_sram_size(Shape{0xFFFFFFFFu, 0xFFFFFFFFu}, 4),
              std::numeric_limits<uint32_t>::max());
}

TEST(V1FnpSizes, WeightWidthBelowOneIsRefused) {
    EXPECT_THROW(fnp_sram_size(Shape{1, 1}, 0), std::invalid_argument);
    EXPECT_THROW(fnp_sram_size(Shape{1, 1}, -3), std::invalid_argument);
}

// ---------------------------------------------------------------- RAM image

std::shared_ptr<Dense> weights_of(TensorType type, uint32_t neurons, uint32_t inputs,
                                  Dense::Layout layout = Dense::Layout::ColMajor) {
    return Dense::create(type, Shape{neurons, inputs}, layout);
}

TEST(V1FnpRam, ThresholdRange) {
    auto w = weights_of(TensorType::bit, 1, 1);
    EXPECT_EQ(format_fnp_ram(*w, *int32s({-524288}), *int32s({0}), 1, true)[0], 0x80000u);
    EXPECT_EQ(format_fnp_ram(*w, *int32s({524287}), *int32s({0}), 1, true)[0], 0x7FFFFu);
    EXPECT_EQ(exception_text([&] { format_fnp_ram(*w, *int32s({524288}), *int32s({0}), 1, true); }),
              "524288 cannot fit in a 20 bits signed integer.");
    EXPECT_EQ(
        exception_text([&] { format_fnp_ram(*w, *int32s({-524289}), *int32s({0}), 1, true); }),
        "-524289 cannot fit in a 20 bits signed integer.");
}

TEST(V1FnpRam, StepRange) {
    auto w = weights_of(TensorType::bit, 1, 1);
    EXPECT_EQ(format_fnp_ram(*w, *int32s({0}), *int32s({0xFFFFF}), 1, true)[1], 0xFFFFFu);
    EXPECT_EQ(
        exception_text([&] { format_fnp_ram(*w, *int32s({0}), *int32s({0x100000}), 1, true); }),
        "Backend hardware(FullyConnected): act_step should be between 0 and 65535. "
        "Receives act_step 65536.");
    EXPECT_EQ(exception_text([&] { format_fnp_ram(*w, *int32s({0}), *int32s({-40}), 1, true); }),
              "Backend hardware(FullyConnected): act_step should be between 0 and 65535. "
              "Receives act_step -2.");
    EXPECT_THROW(format_fnp_ram(*w, *int32s({0}), *int32s({-1}), 1, true), v1::FnpError);
}

TEST(V1FnpRam, NegativeOneBitWeightIsRefused) {
    // A 1-bit neuron has no negative half: the bit would land in the next
    // neuron's block (or past the image).
    auto w = weights_of(TensorType::bit, 2, 4);
    set_weight(*w, 0, 1, -1);
    EXPECT_EQ(
        exception_text([&] { format_fnp_ram(*w, *int32s({0, 0}), *int32s({0, 0}), 1, true); }),
        "Backend hardware(FullyConnected): 1-bit weights should be 0 or 1. "
        "Receives weight -1.");
}

TEST(V1FnpRam, PlanesOfEveryLayout) {
    // 2-bit weights, 3 inputs: one plane per half, blocks of 1 x 1 x 2 + 4 = 6
    // words. Neuron 0 holds 1, -1, 0; neuron 1 holds 0, 1, -1.
    const Words expected{0xFFFFF, 16, 0, 0, 0x1, 0x2,  // threshold -1, step 16
                         5,       32, 0, 0, 0x2, 0x4};
    for (const auto layout : {Dense::Layout::RowMajor, Dense::Layout::ColMajor}) {
        auto w = weights_of(TensorType::int8, 2, 3, layout);
        set_weight(*w, 0, 0, 1);
        set_weight(*w, 0, 1, -1);
        set_weight(*w, 1, 1, 1);
        set_weight(*w, 1, 2, -1);
        EXPECT_EQ(format_fnp_ram(*w, *int32s({-1, 5}), *int32s({16, 32}), 2, true), expected)
            << int(layout);
    }
    // Neurons without a second dimension have no input: 4 words each.
    auto flat = tensor<int8_t>(TensorType::int8, Shape{2}, {0, 0});
    EXPECT_EQ(format_fnp_ram(*flat, *int32s({7, -2}), *int32s({1, 2}), 2, true),
              (Words{7, 1, 0, 0, 0xFFFFE, 2, 0, 0}));
}

TEST(V1FnpRam, WrongTypesAndShortVariables) {
    auto int32_weights = weights_of(TensorType::int32, 1, 4);
    const std::string wrong = exception_text(
        [&] { format_fnp_ram(*int32_weights, *int32s({0}), *int32s({0}), 2, true); });
    EXPECT_EQ(wrong.rfind("Wrong requested type ", 0), 0u) << wrong;

    auto w = weights_of(TensorType::bit, 3, 4);
    // Two thresholds for three neurons: refused, not read past the tensor.
    EXPECT_THROW(format_fnp_ram(*w, *int32s({0, 0}), *int32s({0, 0, 0}), 1, true),
                 std::runtime_error);
    EXPECT_THROW(format_fnp_ram(*w, *int32s({0, 0, 0}), *int32s({0}), 1, true), std::runtime_error);
}

Words regs_of(const FcModel& m, bool learning = false, const std::shared_ptr<Layer>& next = nullptr,
              bool pass_input = false, bool pass_output = false) {
    const auto device = fnp_device();
    const auto result =
        v1::format_fnp_regs(*device, *m.layer, learning, next, pass_input, pass_output);
    EXPECT_EQ(result.size(), 1u);
    EXPECT_EQ(result.begin()->first, m.mapping->nps->front().ident);
    return result.begin()->second;
}

TEST(V1FnpRegisters, FieldOverflows) {
    FcSpec spec;
    spec.x = 1, spec.y = 2048, spec.c = 1;  // d1 does not fit 11 bits
    const FcModel tall = make_fc(spec);
    EXPECT_EQ(exception_text([&] { regs_of(tall); }),
              "Attempted to write value 2048 into a 11-bit field, which will cause an overflow.");
    spec = FcSpec{};
    spec.act_bits = 8;  // 8 >> 1 = 4 does not fit 2 bits
    const FcModel act = make_fc(spec);
    EXPECT_EQ(exception_text([&] { regs_of(act); }),
              "Attempted to write value 4 into a 2-bit field, which will cause an overflow.");
    // Word 11 bits 12-29 hold d0 x d1: 511 x 512 fits, 512 x 512 does not.
    spec = FcSpec{};
    spec.x = 511, spec.y = 512, spec.c = 1, spec.units = 1;
    EXPECT_EQ(regs_of(make_fc(spec))[11], (511u * 512u) << 12);
    spec.x = 512;
    const FcModel plane = make_fc(spec);
    EXPECT_EQ(exception_text([&] { regs_of(plane); }),
              "Attempted to write value 262144 into a 18-bit field, which will cause an "
              "overflow.");
}

TEST(V1FnpRegisters, BufferMode) {
    FcSpec spec;
    spec.input_bits = 4;
    spec.single_buffer = false;
    const FcModel m = make_fc(spec);
    EXPECT_EQ(exception_text([&] { regs_of(m); }), "4-bit FNP inputs require single buffer mode.");
    EXPECT_THROW(regs_of(m), std::invalid_argument);

    spec.input_bits = 2;
    const Words dual = regs_of(make_fc(spec));
    EXPECT_EQ((dual[1] >> 22) & 1, 0u);
    spec.input_bits = 4;
    spec.single_buffer = true;
    const Words single = regs_of(make_fc(spec));
    EXPECT_EQ((single[1] >> 22) & 1, 1u);
    EXPECT_EQ(single[3] & 3, 2u);
}

TEST(V1FnpRegisters, PartialReconfigurationOnTheSameNp) {
    const FcModel m = make_fc(FcSpec{});
    const Words r = regs_of(m, false, m.layer);
    EXPECT_EQ(r[32], 0x05000007u);  // enable, FNP, reconfigure, 1-bit input, input channel 5
    EXPECT_EQ(r[33], 0u);
    EXPECT_EQ(r[34], 0x00040004u);  // d1, d0
    EXPECT_EQ(r[35], 16u);          // d0 x d1
    EXPECT_EQ(r[4], 2u);            // 48 inputs: 2 words, never below what word 14 holds
    EXPECT_EQ(r[14], 0x80000002u);

    // A next layer on another NP leaves words 32-35 at their defaults.
    const Words alone = regs_of(m);
    EXPECT_EQ((Words{alone[4], alone[32], alone[33], alone[34], alone[35]}),
              (Words{0, 0, 0, 0, 0}));
    FcSpec other;
    other.ident = hw::Ident{7, 1, 0, 0};
    const FcModel next = make_fc(other);
    EXPECT_EQ(regs_of(m, false, next.layer), alone);
    // The same col, row and id on another channel is another NP.
    other.ident = hw::Ident{kFnpIdent.col, kFnpIdent.row, kFnpIdent.id, 1};
    EXPECT_EQ(regs_of(m, false, make_fc(other).layer), alone);
}

TEST(V1FnpLearningRegisters, CnpRegisters) {
    Words r(50, 0xFFFFFFFF);
    v1::format_learning_cnp_regs(&r, 0x1234, 0x567);
    EXPECT_EQ(r[39], 0xFFFF1234u);
    EXPECT_EQ(r[41], 0xFFFFF567u);
    Words cleared(50, 0);
    v1::format_learning_cnp_regs(&cleared, 0xFFFF, 0xFFF);
    EXPECT_EQ(cleared, [] {
        Words w(50, 0);
        w[39] = 0xFFFF;
        w[41] = 0xFFF;
        return w;
    }());
    EXPECT_EQ(exception_text([&] { v1::format_learning_cnp_regs(&r, 0x10000, 0); }),
              "Attempted to write value 65536 into a 16-bit field, which will cause an "
              "overflow.");
    EXPECT_EQ(exception_text([&] { v1::format_learning_cnp_regs(&r, 0, 4096); }),
              "Attempted to write value 4096 into a 12-bit field, which will cause an "
              "overflow.");
    Words short_file(38, 0);
    EXPECT_THROW(v1::format_learning_cnp_regs(&short_file, 0, 0), std::out_of_range);
}

TEST(V1FnpLearningRegisters, NegativeCompetitionFails) {
    Words r(50, 0);
    auto p = LearningParams::create(LearningType::Unsupervised, {{"num_weights", 64},
                                                                 {"initial_plasticity", 0.5},
                                                                 {"learning_competition", 1.5},
                                                                 {"min_plasticity", 0.1},
                                                                 {"plasticity_decay", 0.25}});
    // (1 - 1.5) x 64 = -32, read as unsigned.
    EXPECT_EQ(exception_text([&] { v1::format_learning_common_regs(&r, p.get()); }),
              "Attempted to write value 4294967264 into a 20-bit field, which will cause an "
              "overflow.");
}

// Learning parameters whose word 36 field is nearest((1 - competition) x
// num_weights); the other register fields stay 0.
std::shared_ptr<LearningParams> competition_params(double num_weights, double competition = 0.0) {
    return LearningParams::create(LearningType::Unsupervised,
                                  {{"num_weights", num_weights},
                                   {"initial_plasticity", 0.0},
                                   {"learning_competition", competition},
                                   {"min_plasticity", 0.0},
                                   {"plasticity_decay", 0.0},
                                   {"num_classes", 1.0}});
}

std::string overflow_of(uint64_t value, int width) {
    return "Attempted to write value " + std::to_string(value) + " into a " +
           std::to_string(width) + "-bit field, which will cause an overflow.";
}

// `message(real)` writes the real into a 20-bit field. The ends of the 32-bit range are quoted
// as the unsigned value they become; every real outside it fails like a far one.
template <class Message>
void expect_reals_cut_to_32_bits(const Message& message) {
    EXPECT_EQ(message(4294967295.0), overflow_of(4294967295u, 20));
    EXPECT_EQ(message(-2147483648.0), overflow_of(2147483648u, 20));
    const std::string far = message(1e15);
    EXPECT_EQ(far.rfind("Attempted to write value ", 0), 0u) << far;
    EXPECT_EQ(message(4294967296.0), far);
    EXPECT_EQ(message(-2147483649.0), far);
    EXPECT_EQ(message(-1e15), far);
}

TEST(V1FnpLearningRegisters, RealsOutsideThirtyTwoBits) {
    // Reals are truncated to 32 bits and read unsigned; one just inside
    // either end shows that value, and every real outside the 32-bit range
    // (from 2^32 up, from -2^31 - 1 down) fails like a far one.
    const auto message = [](double nw) {
        Words r(50, 0);
        return exception_text(
            [&] { v1::format_learning_common_regs(&r, competition_params(nw).get()); });
    };
    expect_reals_cut_to_32_bits(message);
}

// Fills the layer's weights with a pattern of the given magnitude range.
void fill_weights(Layer& layer, int weights_bits) {
    Dense& w = dense_var(layer, "weights");
    const int limit = weights_bits == 1 ? 1 : (1 << (weights_bits - 1)) - 1;
    const int span = weights_bits == 1 ? 2 : 2 * limit + 1;
    const int low = weights_bits == 1 ? 0 : -limit;
    for (uint32_t n = 0; n < w.dimensions()[0]; ++n) {
        for (uint32_t j = 0; j < w.dimensions()[1]; ++j) {
            set_weight(w, n, j, int8_t(low + int((n * 5 + j * 3) % uint32_t(span))));
        }
    }
}

// ------------------------------------------------------------ dense program

TEST(V1FnpProgram, LeftOutAndUnusedNps) {
    const FcModel m = make_fc(FcSpec{});
    const auto device = fnp_device();
    const auto skipped = v1::record_program_dense_layer(*device, *m.layer, nullptr, false, false,
                                                        {hw::Ident{9, 9, 0, 0}, kFnpIdent}, false);
    EXPECT_TRUE(skipped->tracks().empty());
    EXPECT_EQ(skipped->fnp2_filters(), nullptr);
    // An ident that differs only by its channel byte is another endpoint.
    const auto other = v1::record_program_dense_layer(*device, *m.layer, nullptr, false, false,
                                                      {hw::Ident{2, 1, 1, 1}}, true);
    const auto blocks = decode(*other);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].target, 7u);
}

// ------------------------------------------------------------ learning records

FcSpec learning_spec(int units, double classes, hw::Type type = hw::Type::FNP2) {
    FcSpec spec;
    spec.x = 40, spec.y = 1, spec.c = 1;  // 40 inputs: blocks of 2 + 4 words
    spec.units = units;
    spec.weights_bits = 1;
    spec.type = type;
    spec.learning = learning_params(64, classes);
    return spec;
}

TEST(V1FnpLearning, Failures) {
    const auto device = fnp_device();
    struct Case {
        const char* var;
        size_t index;
        int32_t value;
        const char* message;
    } cases[] = {
        {"threshold_learning", 4, -1,
         "Backend hardware(FullyConnected): Negative value for threshold_learning not supported."},
        {"threshold_learning", 4, 524288, "524288 cannot fit in a 20 bits signed integer."},
        {"thswap", 0, 65536,
         "Attempted to write value 65536 into a 16-bit field, which will cause an overflow."},
    };
    for (const Case& c : cases) {
        const FcModel m = make_fc(learning_spec(10, 1));
        dense_var(*m.layer, c.var).data<int32_t>()[c.index] = c.value;
        EXPECT_EQ(exception_text(
                      [&] { v1::record_program_learning_dense_layer(*device, *m.layer, false); }),
                  c.message);
    }
    {
        FcSpec spec = learning_spec(10, 1);
        // Parameters that keep the register words at 0, so that only the
        // per-neuron num_weights field is too narrow.
        spec.learning =
            LearningParams::create(LearningType::Unsupervised, {{"num_weights", 1 << 20},
                                                                {"initial_plasticity", 0.0},
                                                                {"learning_competition", 1.0},
                                                                {"min_plasticity", 0.0},
                                                                {"plasticity_decay", 0.0},
                                                                {"num_classes", 1.0}});
        const FcModel m = make_fc(spec);
        EXPECT_EQ(exception_text(
                      [&] { v1::record_program_learning_dense_layer(*device, *m.layer, false); }),
                  "Attempted to write value 1048576 into a 20-bit field, which will cause an "
                  "overflow.");
    }
    {
        // num_weights as the neurons' 20-bit field sees it: the same rule as
        // the register words (competition 1 keeps word 36 at 0).
        const auto message = [&](double nw) {
            FcSpec spec = learning_spec(10, 1);
            spec.learning = competition_params(nw, 1.0);
            const FcModel m = make_fc(spec);
            return exception_text(
                [&] { v1::record_program_learning_dense_layer(*device, *m.layer, false); });
        };
        expect_reals_cut_to_32_bits(message);
    }
    {
        // No mapped component.
        const FcModel unmapped = make_fc(learning_spec(10, 1));
        dynamic_cast<LayerImpl&>(*unmapped.layer).set_mapping(std::make_shared<LayerMapping>());
        EXPECT_EQ(exception_text([&] {
                      v1::record_program_learning_dense_layer(*device, *unmapped.layer, false);
                  }),
                  "The layer 'fc' has no mapped component.");
    }
    // Class counts that would divide by zero, and wider weights whose blocks
    // the learning fields do not fit: refused.
    for (const double classes : {0.0, 11.0}) {
        const FcModel m = make_fc(learning_spec(10, classes));
        EXPECT_THROW(v1::record_program_learning_dense_layer(*device, *m.layer, false),
                     v1::FnpError)
            << classes;
    }
    {
        FcSpec spec = learning_spec(10, 1);
        spec.weights_bits = 2;
        const FcModel m = make_fc(spec);
        EXPECT_THROW(v1::record_program_learning_dense_layer(*device, *m.layer, false),
                     v1::FnpError);
    }
}

// ------------------------------------------------------------ read-back

struct LearnVars {
    VariablesImpl vars;
    LearnVars(uint32_t neurons, uint32_t inputs) {
        std::shared_ptr<Dense> w =
            Dense::create(TensorType::bit, Shape{neurons, inputs}, Dense::Layout::ColMajor);
        for (uint32_t n = 0; n < neurons; ++n) set_weight(*w, n, 0, 1);  // replaced by 0/1
        vars.set("weights", w);
        vars.set("threshold_learning", int32s(std::vector<int32_t>(neurons, 99)));
        vars.set("thswap", int32s(std::vector<int32_t>(neurons, 99)));
    }
    const Dense& get(const char* name) const { return dynamic_cast<const Dense&>(*vars.get(name)); }
};

TEST(V1FnpReadBack, ShortMemoryIsRefusedBeforeAnyChange) {
    LearnVars v(10, 100);
    const auto before = v.vars.get("weights");
    EXPECT_THROW(v1::fnp_update_learn_vars_from_memory(Words(79, 0), &v.vars, false),
                 std::runtime_error);
    // An FNP3 memory needs the two leading words as well.
    EXPECT_THROW(v1::fnp_update_learn_vars_from_memory(Words(81, 0), &v.vars, true),
                 std::runtime_error);
    EXPECT_EQ(v.vars.get("weights"), before);
    EXPECT_EQ(v.get("thswap").at<int32_t>(0), 99);
}

TEST(V1FnpReadBack, FewerLearningValuesThanNeurons) {
    for (const char* name : {"threshold_learning", "thswap"}) {
        LearnVars v(10, 100);
        v.vars.set(name, int32s(std::vector<int32_t>(9, 0)));
        EXPECT_EQ(exception_text(
                      [&] { v1::fnp_update_learn_vars_from_memory(Words(80, 0), &v.vars, false); }),
                  "The learning layer has fewer threshold_learning or thswap values than neurons.")
            << name;
        EXPECT_EQ(v.get("weights").at<int8_t>(0), 1);  // nothing replaced
    }
}

TEST(V1FnpReadBack, DeviceAndVariablesRequired) {
    LearnVars v(1, 1);
    EXPECT_EQ(exception_text([&] { v1::fnp_update_learn_vars(nullptr, &v.vars, false); }),
              "An actual hardware device is required.");
    EXPECT_THROW(v1::fnp_update_learn_vars_from_memory(Words(5, 0), nullptr, false),
                 std::invalid_argument);
}

TEST(V1FnpReadBack, RoundTripOfTheLearningImage) {
    const FcModel m = make_fc(learning_spec(12, 3));
    fill_weights(*m.layer, 1);
    for (int32_t n = 0; n < 12; ++n) {
        dense_var(*m.layer, "threshold_learning").data<int32_t>()[n] = 0x7FFFF - n * 4099;
        dense_var(*m.layer, "thswap").data<int32_t>()[n] = n * 5003;
    }
    const auto records = v1::record_program_learning_dense_layer(*fnp_device(), *m.layer, false);
    Words memory = records.third->fnp2_filters()->data;

    auto* vars = dynamic_cast<VariablesImpl*>(m.layer->variables());
    ASSERT_NE(vars, nullptr);
    const auto original_weights = vars->get("weights");
    const Dense& original = dynamic_cast<const Dense&>(*original_weights);
    v1::fnp_update_learn_vars_from_memory(memory, vars, false);
    const Dense& weights = dense_var(*m.layer, "weights");
    EXPECT_NE(&weights, &original);
    for (uint32_t n = 0; n < 12; ++n) {
        for (uint32_t j = 0; j < 40; ++j) {
            EXPECT_EQ(weights.get<int8_t>({n, j}), original.get<int8_t>({n, j}));
        }
        EXPECT_EQ(dense_var(*m.layer, "threshold_learning").at<int32_t>(n),
                  0x7FFFF - int32_t(n) * 4099);
        EXPECT_EQ(dense_var(*m.layer, "thswap").at<int32_t>(n), int32_t(n) * 5003);
    }
}

}  // namespace
}  // namespace vorna
