#include "backend/backend_bundle.h"

#include <stdexcept>

#include "backend/mote/compatibility_checker.h"
#include "backend/mote/io_recorder.h"
#include "backend/mote/layer_recorder.h"
#include "backend/mote/memory_sizer.h"
#include "backend/v1/compatibility_checker.h"
#include "backend/v1/io_recorder.h"
#include "backend/v1/layer_recorder.h"
#include "backend/v1/memory_sizer.h"
#include "backend/v2/v2_backend.h"
#include "corelib/device.h"

namespace vorna {

bool CompatibilityChecker::is_fnp3_compatible(const Layer& layer) const {
    return check_fnp3_sram_size(constraints_, layer);
}

MemoryInfo MemorySizer::get_memory_info(const std::shared_ptr<Layer>& layer,
                                        const hw::Component& component,
                                        const std::shared_ptr<Layer>& first_layer, bool dual_output,
                                        bool multipass) const {
    // Each size is asked in its own statement: the order of the calls is part of
    // the contract (STSRAM before FSRAM, TSRAM and EVSRAM).
    MemoryInfo info;
    info.input_size = get_input_memory_size(layer, component, first_layer);
    info.weight_size = get_weight_memory_size(layer, component);
    info.external_size = get_external_memory_size(layer, component, dual_output, multipass);
    info.stsram_32b_size = get_stsram_32b_memory_size(layer);
    info.fsram_64b_size = get_fsram_64b_memory_size(layer);
    info.tsram_51b_size = get_tsram_51b_memory_size(layer);
    info.evsram_32b_size = get_evsram_32b_memory_size(layer);
    return info;
}

template <class Checker, class Sizer, class Io, class Recorder>
static IpVersionSpecificHardwareBackend::Factory make_factory() {
    IpVersionSpecificHardwareBackend::Factory f;
    f.checker = [](const Device& device, const HardwareConstraints& constraints) {
        return std::unique_ptr<CompatibilityChecker>(new Checker(device, constraints));
    };
    f.memory_sizer = []() { return std::unique_ptr<MemorySizer>(new Sizer()); };
    f.io_recorder = [](const Device& device) {
        return std::unique_ptr<IoRecorder>(new Io(device));
    };
    f.layer_recorder = [](const Device& device, const HardwareConstraints& constraints) {
        return std::unique_ptr<LayerRecorder>(new Recorder(device, constraints));
    };
    return f;
}

IpVersionSpecificHardwareBackend::Factory IpVersionSpecificHardwareBackend::v1_factory() {
    return make_factory<v1::CompatibilityCheckerImpl, v1::MemorySizerImpl, v1::IoRecorderImpl,
                        v1::LayerRecorderImpl>();
}

IpVersionSpecificHardwareBackend::Factory IpVersionSpecificHardwareBackend::v2_factory() {
    return make_factory<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl,
                        v2::LayerRecorderImpl>();
}

IpVersionSpecificHardwareBackend::Factory IpVersionSpecificHardwareBackend::mote_factory() {
    return make_factory<mote::CompatibilityCheckerImpl, mote::MemorySizerImpl, mote::IoRecorderImpl,
                        mote::LayerRecorderImpl>();
}

IpVersionSpecificHardwareBackend::Kind IpVersionSpecificHardwareBackend::kind_of(
    const Device& device) {
    switch (device.version().product_id) {
        case 0xA2:
            return Kind::v2;
        case 0x00:
        case 0xA1:
            return Kind::v1;
        case 0xB1:
            return Kind::mote;
        default:
            throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
    }
}

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device) {
    const Kind kind = kind_of(device);
    switch (kind) {
        case Kind::v1:
            create(device, kind, v1_factory());
            break;
        case Kind::v2:
            create(device, kind, v2_factory());
            break;
        case Kind::mote:
            create(device, kind, mote_factory());
            break;
    }
}

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device,
                                                                   const Factory& factory) {
    create(device, kind_of(device), factory);
}

void IpVersionSpecificHardwareBackend::create(const Device& device, Kind kind,
                                              const Factory& factory) {
    const SramSize& sram = device.mesh().np_sram_size;
    switch (kind) {
        case Kind::v1:
            constraints_ = HardwareConstraints::v1(sram);
            break;
        case Kind::v2:
            constraints_ = HardwareConstraints::v2(sram);
            break;
        case Kind::mote:
            constraints_ = HardwareConstraints::mote(sram);
            break;
    }
    if (!factory.checker || !factory.memory_sizer || !factory.io_recorder ||
        !factory.layer_recorder) {
        throw std::invalid_argument("Incomplete back-end factory.");
    }
    // Created in this order; should one of them throw, those already made are
    // released in reverse order as the constructor unwinds.
    checker_ = factory.checker(device, constraints_);
    memory_sizer_ = factory.memory_sizer();
    io_recorder_ = factory.io_recorder(device);
    layer_recorder_ = factory.layer_recorder(device, constraints_);
    if (!checker_ || !memory_sizer_ || !io_recorder_ || !layer_recorder_) {
        throw std::runtime_error("A back-end factory returned no implementation.");
    }
}

IpVersionSpecificHardwareBackend::~IpVersionSpecificHardwareBackend() {
    layer_recorder_.reset();
    io_recorder_.reset();
    memory_sizer_.reset();
    checker_.reset();
}

}  // namespace vorna
