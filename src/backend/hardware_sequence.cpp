#include "backend/hardware_sequence.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "backend/backend_bundle.h"
#include "backend/layer_mapping_builder.h"
#include "corelib/device.h"
#include "corelib/hardware_device.h"
#include "corelib/tensor.h"

namespace vorna {

HardwareSequence::HardwareSequence(std::shared_ptr<Device> device,
                                   const HardwareConstraints& constraints, LayerList layers,
                                   std::vector<std::shared_ptr<Sequence::Pass>> passes,
                                   std::vector<uint8_t> program)
    : device_(std::move(device)),
      constraints_(constraints),
      layers_(std::move(layers)),
      passes_(std::move(passes)),
      program_(std::move(program)) {
    if (!device_) throw std::invalid_argument("A hardware sequence needs a device.");
}

HardwareSequence::~HardwareSequence() {
    // Unprogram only when the device still runs this very buffer; a device
    // programmed with another sequence is left alone.
    try {
        HardwareDevice* hw = device_->hardware();
        if (hw != nullptr && !program_.empty() && hw->program().data == program_.data()) {
            hw->unprogram();
        }
    } catch (...) {
        // A destructor must not throw; the device keeps whatever state it has.
    }
}

ByteView HardwareSequence::program() const { return ByteView{program_.data(), program_.size()}; }

Sequence::ProgramParts HardwareSequence::program_parts() const {
    if (program_.size() < 4) throw std::runtime_error("The program bytes are malformed.");
    const uint64_t n = uint64_t{program_[0]} | uint64_t{program_[1]} << 8 |
                       uint64_t{program_[2]} << 16 | uint64_t{program_[3]} << 24;
    if (n + 4 > program_.size()) throw std::runtime_error("The program bytes are malformed.");
    const size_t info_size = static_cast<size_t>(n) + 4;
    ProgramParts parts;
    parts.program_info = ByteView{program_.data(), info_size};
    parts.program_data = ByteView{program_.data() + info_size, program_.size() - info_size};
    return parts;
}

std::string HardwareSequence::name() const {
    std::string text = "HW/";
    if (layers_.empty()) return text;
    text += layers_.front()->get_name();
    if (layers_.size() > 1) text += "-" + layers_.back()->get_name();
    return text;
}

std::vector<std::shared_ptr<Tensor>> HardwareSequence::forward_samples(
    const std::vector<std::shared_ptr<const Tensor>>& inputs, const std::vector<int>* labels) {
    HardwareDevice* hw = device_->hardware();
    if (hw == nullptr) throw std::runtime_error("An actual hardware device is required.");

    const ByteView current = hw->program();
    const bool loaded = current.data != nullptr && current.size == program_.size() &&
                        std::memcmp(current.data, program_.data(), program_.size()) == 0;
    if (!loaded) hw->program(program_.data(), program_.size());

    hw->set_batch_size(inputs.size(), true);
    const bool learn = labels != nullptr;
    if (hw->learn_enabled() != learn) hw->set_learn_enabled(learn);

    std::vector<std::unique_ptr<Tensor>> outputs;
    if (learn) {
        const std::vector<int32_t> label_values(labels->begin(), labels->end());
        outputs = hw->fit(inputs, label_values);
        sync_learning_vars();
    } else if (!layers_.empty() && layers_.back()->params() != nullptr &&
               layers_.back()->params()->layer_type() == LayerType::Dequantizer) {
        outputs = hw->predict(inputs);
    } else {
        outputs = hw->forward(inputs);
    }

    std::vector<std::shared_ptr<Tensor>> result;
    result.reserve(outputs.size());
    for (auto& output : outputs) result.push_back(std::shared_ptr<Tensor>(std::move(output)));
    return result;
}

void HardwareSequence::sync_learning_vars() {
    if (passes_.empty() || !passes_.back()) {
        throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP.");
    }
    const std::shared_ptr<Layer> layer = last_mappable_layer(passes_.back()->layers);
    const LayerMapping* mapping =
        layer ? dynamic_cast<const LayerMapping*>(layer->mapping().get()) : nullptr;
    if (mapping == nullptr || !mapping->nps || mapping->nps->size() != 1) {
        throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP.");
    }

    IpVersionSpecificHardwareBackend::Factory factory;
    switch (device_->version().product_id) {
        case 0x00:
        case 0xA1:
            factory = IpVersionSpecificHardwareBackend::v1_factory();
            break;
        case 0xA2:
        case 0xB1:
            // The mote has no learning of its own; it shares the v2 answer.
            factory = IpVersionSpecificHardwareBackend::v2_factory();
            break;
        default:
            throw std::runtime_error("Unsupported IP version in sync_learning_vars.");
    }
    const std::unique_ptr<LayerRecorder> recorder = factory.layer_recorder(*device_, constraints_);
    recorder->sync_learning_vars(layer);
}

}  // namespace vorna
