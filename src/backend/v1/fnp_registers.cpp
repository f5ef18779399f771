#include "backend/v1/fnp_registers.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "backend/layer_mapping.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/np_registers.h"
#include "backend/v1/reconfig_registers.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/params.h"

namespace vorna::v1 {

namespace {

// FNP fields of the register file (bit 0 = least significant).
constexpr RegDetail REG1_FNP_MODE{4, 3};  // bits 4, 5 and 6, set on every FNP
constexpr RegDetail REG1_SINGLE_BUFFER{22, 1};
constexpr RegDetail REG2_NP2NP_CFG{20, 2};    // word 1: 3 on an FNP2, 1 on an FNP3
constexpr RegDetail REG2_CNP4FNP_NUM{24, 2};  // word 1: 1, FNP3 only
constexpr RegDetail REG3_INPUT_BITS{0, 2};    // input bits >> 1
constexpr RegDetail REG3_WEIGHT_BITS{4, 2};   // weights_bits - 2 (0 for 1-bit weights)
constexpr RegDetail REG3_MULTIBIT_WEIGHTS{7, 1};
constexpr RegDetail REG3_ACT_BITS{12, 2};  // act_bits >> 1
constexpr RegDetail REG3_ACTIVATION{15, 1};
constexpr RegDetail REG3_FNP{16, 1};
constexpr RegDetail REG3_RESERVED{17, 7};
constexpr RegDetail REG3_CHANNEL{24, 8};
constexpr RegDetail REG10_I_SIZE_CUT{0, 11};
constexpr RegDetail REG10_J_SIZE_CUT{16, 11};
constexpr RegDetail REG11_LOW{0, 8};
constexpr RegDetail REG11_CH_SIZE{12, 18};
constexpr RegDetail FNP1_FPKT_WSIZE{0, 18};   // word 14: FNP input words
constexpr RegDetail FNP1_ENABLE{31, 1};       // word 14
constexpr RegDetail FNP2_FN_TOTAL{0, 17};     // word 15: neuron count
constexpr RegDetail FNP3_LOW{0, 18};          // word 16
constexpr RegDetail FNP3_BIT28{28, 1};        // word 16
constexpr RegDetail FNP3_ACTIVATION{29, 1};   // word 16
constexpr RegDetail FNP4_W_SIZE_LAST{0, 16};  // word 17: FNP RAM words (FNP3)
constexpr RegDetail FNP4_W_BLK_COUNT{20, 4};  // word 17: FNP RAM blocks (FNP3)

// Learning fields.
constexpr RegDetail LRN36_ENABLE{28, 1};
constexpr RegDetail LRN36_COMPETITION{0, 20};
constexpr RegDetail LRN37_MIN_PLASTICITY{0, 16};
constexpr RegDetail LRN38_PLASTICITY_DECAY{0, 16};
constexpr RegDetail LRN39_CNP_A{0, 16};
constexpr RegDetail LRN41_CNP_B{0, 12};

// Word 12 bits 24-31: the FNP RAM block size in units of 256 words.
constexpr uint32_t REG12_BLOCK_SIZE_SHIFT = 24;

// An int parameter as the unsigned value its field is tested with: a negative
// value becomes a large one and fails the width test.
uint64_t as_field(int value) { return uint64_t(uint32_t(value)); }

// The value a learning field is tested with: the real truncated to a 32-bit
// integer, read as unsigned, so that a negative result fails the width test.
// Reals outside the 32-bit range (or NaN) give a value that fails every test.
uint64_t learning_value(double x) {
    if (!(x > -2147483649.0 && x < 4294967296.0)) return std::numeric_limits<uint64_t>::max();
    if (x < 0) return uint64_t(uint32_t(int32_t(x)));
    return uint64_t(x);
}

uint32_t& word_at(std::vector<uint32_t>* regs, size_t index) {
    if (regs == nullptr) throw std::invalid_argument("Null NP register file.");
    return regs->at(index);
}

}  // namespace

FnpError::FnpError(const std::string& text)
    : std::runtime_error(std::string("Backend hardware") + "(FullyConnected)" + ": " + text) {}

std::map<hw::Ident, std::vector<uint32_t>> format_fnp_regs(
    const Device& device, const Layer& layer, bool learning,
    const std::shared_ptr<Layer>& next_pass_first_layer, bool pass_input, bool pass_output) {
    const LayerMapping& mapping = layer_mapping_of<std::invalid_argument>(layer);
    const std::vector<hw::Component>& span = own_components(mapping);
    const hw::Component& fnp = span.at(0);
    const bool fnp2 = fnp.type == hw::Type::FNP2;
    const uint8_t input_bits = layer.input_bits();
    const LayerParams& params = *layer.params();
    const std::vector<Shape> inputs = layer.input_dimensions();
    const Shape& in = inputs.at(0);
    const uint64_t d0 = in.size() > 0 ? in[0] : 0;
    const uint64_t d1 = in.size() > 1 ? in[1] : 0;

    std::vector<uint32_t> regs = default_np_regs();

    const Shape weights_shape = layer.variables()->get("weights")->dimensions();
    const int units = params.get("units");
    const int act_bits = params.get("act_bits");
    const bool activation = params.get("activation") != 0;
    const int weights_bits = params.get("weights_bits");

    put_field(&regs[1], REG1_FNP_MODE, 7);
    put_field(&regs[1], REG2_NP2NP_CFG, fnp2 ? 3 : 1);
    if (!fnp2) put_field(&regs[1], REG2_CNP4FNP_NUM, 1);

    const bool single_buffer = fnp.single_buffer();
    if (input_bits == 4 && !single_buffer) {
        throw std::invalid_argument("4-bit FNP inputs require single buffer mode.");
    }
    put_field(&regs[1], REG1_SINGLE_BUFFER, single_buffer ? 1 : 0);

    put_field(&regs[3], REG3_INPUT_BITS, input_bits >> 1);
    put_field(&regs[3], REG3_WEIGHT_BITS, weights_bits == 1 ? 0 : as_field(weights_bits - 2));
    put_field(&regs[3], REG3_MULTIBIT_WEIGHTS, weights_bits != 1 ? 1 : 0);
    put_field(&regs[3], REG3_ACT_BITS, as_field(act_bits >> 1));
    put_field(&regs[3], REG3_ACTIVATION, activation ? 1 : 0);
    put_field(&regs[3], REG3_FNP, 1);
    put_field(&regs[3], REG3_RESERVED, 0);
    put_field(&regs[3], REG3_CHANNEL, mapping.channel);

    put_field(&regs[10], REG10_I_SIZE_CUT, d1);
    put_field(&regs[10], REG10_J_SIZE_CUT, d0);
    put_field(&regs[11], REG11_LOW, 0);
    put_field(&regs[11], REG11_CH_SIZE, d0 * d1);
    put_field(&regs[14], FNP1_ENABLE, 1);
    put_field(&regs[14], FNP1_FPKT_WSIZE, get_fnp_input_size(layer));
    put_field(&regs[15], FNP2_FN_TOTAL, as_field(units));
    put_field(&regs[16], FNP3_LOW, 0);
    put_field(&regs[16], FNP3_BIT28, 0);
    put_field(&regs[16], FNP3_ACTIVATION, activation ? 1 : 0);

    if (!fnp2) {
        // An FNP3 keeps its neurons in its own RAM, loaded in blocks whose size
        // word 12 gives in units of 256 words.
        const uint32_t words = fnp_sram_size(weights_shape, weights_bits);
        put_field(&regs[17], FNP4_W_SIZE_LAST, words);
        const uint32_t block = (regs[12] >> REG12_BLOCK_SIZE_SHIFT) * 256u;
        if (block == 0) {
            throw std::runtime_error("The FNP RAM block size of the register file is 0.");
        }
        put_field(&regs[17], FNP4_W_BLK_COUNT, (uint64_t(words) + block - 1) / block);
    }

    format_learning_common_regs(&regs, learning ? layer.learning().get() : nullptr);

    format_mesh_registers_set_output_to_NPs(&regs, source_components(mapping), span,
                                            destination_components(mapping), mapping.next_channel,
                                            mapping.p2p_input, mapping.output_to_dma, pass_output);

    if (fnp2) format_mesh_cfg_dma_reg(&regs, device.mesh().dma_conf);

    if (next_pass_first_layer) {
        if (const hw::Component* next = component_on(*next_pass_first_layer, fnp.ident)) {
            update_partial_reconfig_regs(&regs, *next_pass_first_layer, *next);
        }
    }

    if (pass_input) set_ib_spikes(&regs);

    std::map<hw::Ident, std::vector<uint32_t>> result;
    result.emplace(fnp.ident, std::move(regs));
    return result;
}

void format_learning_common_regs(std::vector<uint32_t>* regs, const LearningParams* params) {
    uint32_t& w36 = word_at(regs, 36);
    if (params == nullptr) {
        put_field(&w36, LRN36_ENABLE, 0);
        return;
    }
    const double nw = params->get("num_weights");
    const double ip = params->get("initial_plasticity");
    const double lc = params->get("learning_competition");
    const double mp = params->get("min_plasticity");
    const double pd = params->get("plasticity_decay");

    put_field(&w36, LRN36_ENABLE, 1);
    put_field(&w36, LRN36_COMPETITION, learning_value(std::round((1.0 - lc) * nw)));
    put_field(&word_at(regs, 37), LRN37_MIN_PLASTICITY, learning_value(std::ceil(mp * nw)));
    // The initial plasticity is first taken as a whole number of weights.
    const uint64_t initial = learning_value(std::round(nw * ip));
    const double initial_weights = initial > std::numeric_limits<uint32_t>::max()
                                       ? std::numeric_limits<double>::infinity()
                                       : double(uint32_t(initial));
    put_field(&word_at(regs, 38), LRN38_PLASTICITY_DECAY,
              learning_value(std::ceil(initial_weights * pd)));
}

void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t a, uint32_t b) {
    put_field(&word_at(regs, 39), LRN39_CNP_A, a);
    put_field(&word_at(regs, 41), LRN41_CNP_B, b);
}

}  // namespace vorna::v1
