#include "backend/v1/learning.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "backend/v1/fnp_ram.h"
#include "backend/v1/fnp_registers.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/np_registers.h"
#include "corelib/device.h"
#include "corelib/hardware_device.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna::v1 {

namespace {

// Learning fields of a neuron block of the FNP RAM.
constexpr RegDetail LRN1_CLASS{20, 10};
constexpr RegDetail LRN2_NUM_WEIGHTS{0, 20};
constexpr RegDetail LRN2_THRESHOLD_HIGH{16, 4};  // bits 16-19 of threshold_learning
constexpr RegDetail LRN3_THRESHOLD_LOW{16, 16};  // bits 0-15 of threshold_learning
constexpr RegDetail LRN3_THSWAP{0, 16};

constexpr int32_t kThresholdMax = 524287;  // 20-bit signed

uint32_t groups_of(const Shape& weights_shape) {
    const uint64_t inputs = weights_shape.size() > 1 ? weights_shape[1] : 0;
    return uint32_t((inputs + 31) >> 5);
}

uint32_t dim(const Shape& shape, uint32_t i) { return i < shape.size() ? shape[i] : 0; }

// The value a real learning parameter takes as an integer field: truncated
// toward zero and read as unsigned 32-bit, so that a negative value fails the
// width test; reals outside that range give a value that fails every test.
uint64_t field_value(double x) {
    if (!(x > -2147483649.0 && x < 4294967296.0)) return std::numeric_limits<uint64_t>::max();
    if (x < 0) return uint64_t(uint32_t(int32_t(x)));
    return uint64_t(x);
}

// The learning memory of a hardware device, as many words as it holds.
std::vector<uint32_t> read_learning_memory(const HardwareDevice& device) {
    const uint32_t words = device.learn_mem_size();
    std::vector<uint32_t> memory(words, 0);
    if (words != 0) device.read_learn_mem(memory.data());
    return memory;
}

std::shared_ptr<Dense> dense_of(const VariablesImpl& variables, const char* name) {
    const auto dense = Tensor::ensure_dense(variables.get(name));
    return std::const_pointer_cast<Dense>(dense);
}

}  // namespace

program::LearnRecordsPtr record_program_learning_dense_layer(const Device& device,
                                                             const Layer& layer, bool pass_input) {
    const auto mapping = layer.mapping();
    if (!mapping || !mapping->nps) {
        throw std::out_of_range("The layer '" + layer.get_name() + "' has no mapped component.");
    }
    const hw::Component fnp = mapping->nps->at(0);
    const LayerParams& params = *layer.params();

    program::LearnRecordsPtr result;
    result.first = program::new_record(device.version());
    result.second = program::new_record(device.version());
    result.third = program::new_record(device.version());

    const auto enabled = format_fnp_regs(device, layer, true, nullptr, pass_input, false);
    result.first->add_np_track(fnp.ident, dma::NpRegisters, 0, enabled.at(fnp.ident), true, true);
    const auto disabled = format_fnp_regs(device, layer, false, nullptr, pass_input, false);
    result.second->add_np_track(fnp.ident, dma::NpRegisters, 0, disabled.at(fnp.ident), true, true);

    const Variables& variables = *layer.variables();
    const auto weights = Tensor::ensure_dense(variables.get("weights"));
    const auto threshold = Tensor::ensure_dense(variables.get("threshold"));
    const auto act_step = Tensor::ensure_dense(variables.get("act_step"));
    const auto steps = get_threshold_t16_from_act_steps(*act_step);
    const bool activation = params.get("activation") != 0;
    const int weights_bits = params.get("weights_bits");
    // The learning fields sit in the headers of 1-bit neuron blocks; wider
    // weights would put them in the middle of weight planes.
    if (weights_bits != 1) {
        throw FnpError("On-chip learning requires 1-bit weights (got " +
                       std::to_string(weights_bits) + " bits).");
    }
    std::vector<uint32_t> image =
        format_fnp_ram(*weights, *threshold, *steps, weights_bits, activation);

    const auto learning = layer.learning();
    if (!learning) throw FnpError("The learning layer has no learning parameters.");
    const auto threshold_learning = Tensor::ensure_dense(variables.get("threshold_learning"));
    const auto thswap = Tensor::ensure_dense(variables.get("thswap"));
    const double classes_real = learning->get("num_classes");
    const double weights_real = learning->get("num_weights");
    const uint32_t block = groups_of(weights->dimensions()) + 4;
    const int units = params.get("units");

    // Every neuron needs a class: at least one class, and no more classes than
    // neurons (otherwise the neurons per class would be 0).
    if (!(classes_real >= 1.0 && classes_real < 2147483648.0)) {
        throw FnpError("num_classes should be at least 1.");
    }
    const uint32_t classes = uint32_t(classes_real);
    if (units > 0) {
        if (classes > 1 && uint32_t(units) < classes) {
            throw FnpError("num_classes (" + std::to_string(classes) +
                           ") should not exceed the number of units (" + std::to_string(units) +
                           ").");
        }
        const uint32_t per_class = uint32_t(units) / classes;
        const uint64_t num_weights = field_value(weights_real);
        uint32_t probe = 0;  // tests num_weights against its field once, before any neuron
        put_field(&probe, LRN2_NUM_WEIGHTS, num_weights);

        for (uint32_t n = 0; n < uint32_t(units); ++n) {
            const uint64_t base = uint64_t(n) * block;
            if (base + 3 >= image.size()) {
                throw std::out_of_range(
                    "The learning layer has more units than neurons in its "
                    "weights.");
            }
            uint32_t* words = &image[size_t(base)];
            if (classes > 1) put_field(&words[1], LRN1_CLASS, n / per_class + 1);
            put_field(&words[2], LRN2_NUM_WEIGHTS, num_weights);
            const int32_t t = threshold_learning->at<int32_t>(n);
            if (t < 0) throw FnpError("Negative value for threshold_learning not supported.");
            if (t > kThresholdMax) {
                panic("%d cannot fit in a %d bits signed integer.", t, 20);
            }
            put_field(&words[2], LRN2_THRESHOLD_HIGH, (uint32_t(t) >> 16) & 0xF);
            put_field(&words[3], LRN3_THRESHOLD_LOW, uint32_t(t) & 0xFFFF);
            put_field(&words[3], LRN3_THSWAP, uint32_t(thswap->at<int32_t>(n)));
        }
    }

    if (fnp.type == hw::Type::FNP2) {
        result.third->add_fnp2_filters_track(fnp.ident, image);
    } else {
        result.third->add_np_track(fnp.ident, dma::FnpRam, 0, image, true, true);
    }
    result.fnp_sram_size = get_fnp_sram_size(layer);
    return result;
}

void fnp_update_learn_vars(HardwareDevice* device, VariablesImpl* variables, bool fnp3) {
    if (device == nullptr) throw std::runtime_error("An actual hardware device is required.");
    if (variables == nullptr) {
        throw std::invalid_argument("The learning layer has no variables to update.");
    }
    fnp_update_learn_vars_from_memory(read_learning_memory(*device), variables, fnp3);
}

void fnp_update_learn_vars_from_memory(std::vector<uint32_t> memory, VariablesImpl* variables,
                                       bool fnp3) {
    if (variables == nullptr) {
        throw std::invalid_argument("The learning layer has no variables to update.");
    }
    const auto old_weights = dense_of(*variables, "weights");
    const auto old_threshold = dense_of(*variables, "threshold_learning");
    const auto old_thswap = dense_of(*variables, "thswap");
    const Shape shape = old_weights->dimensions();
    const uint32_t neurons = dim(shape, 0);
    const uint32_t inputs = dim(shape, 1);
    const uint32_t block = groups_of(shape) + 4;

    // The whole image must be there: neurons x block words after the two
    // leading words of an FNP3.
    const uint64_t needed = uint64_t(neurons) * block + (fnp3 ? 2 : 0);
    if (neurons > 0 && memory.size() < needed) {
        throw std::runtime_error("The learning memory holds " + std::to_string(memory.size()) +
                                 " words; the learning layer needs " + std::to_string(needed) +
                                 ".");
    }
    if (old_threshold->size() < neurons || old_thswap->size() < neurons) {
        throw std::runtime_error(
            "The learning layer has fewer threshold_learning or thswap values than neurons.");
    }
    // Element types are checked before anything is replaced.
    (void)old_weights->data<int8_t>();
    (void)old_threshold->data<int32_t>();
    (void)old_thswap->data<int32_t>();

    if (fnp3 && memory.size() > 2) {
        // Drop the two leading words; the last two keep their values.
        std::copy(memory.begin() + 2, memory.end(), memory.begin());
    }

    std::shared_ptr<Dense> weights =
        Dense::create(old_weights->type(), shape, Dense::Layout::ColMajor);
    int8_t* w = weights->data<int8_t>();
    const std::vector<uint32_t>& strides = weights->strides();
    for (uint32_t n = 0; n < neurons; ++n) {
        const size_t base = size_t(n) * block + 4;
        for (uint32_t j = 0; j < inputs; ++j) {
            const uint32_t bit = (memory[base + (j >> 5)] >> (j & 31)) & 1u;
            w[size_t(n) * strides[0] + size_t(j) * strides[1]] += int8_t(bit);
        }
    }
    variables->set("weights", weights);

    std::shared_ptr<Dense> threshold =
        Dense::create(old_threshold->type(), old_threshold->dimensions(), Dense::Layout::ColMajor);
    std::shared_ptr<Dense> swap =
        Dense::create(old_thswap->type(), old_thswap->dimensions(), Dense::Layout::ColMajor);
    int32_t* t = threshold->data<int32_t>();
    int32_t* s = swap->data<int32_t>();
    for (uint32_t n = 0; n < neurons; ++n) {
        const size_t base = size_t(n) * block + 2;
        t[n] = int32_t((memory[base] & 0xF0000u) | (memory[base + 1] >> 16));
        s[n] = int32_t(memory[base + 1] & 0xFFFFu);
    }
    variables->set("threshold_learning", threshold);
    variables->set("thswap", swap);
}

}  // namespace vorna::v1
