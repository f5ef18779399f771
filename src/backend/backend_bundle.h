#pragma once

#include <functional>
#include <memory>

#include "backend/hardware_constraints.h"
#include "backend/interfaces.h"

namespace vorna {

class Device;

// The per-IP-version back end of one map call: the version's constraints and
// one implementation of each of the four interfaces. Everything it hands out
// lives as long as the bundle.
class IpVersionSpecificHardwareBackend {
  public:
    // How the four implementations are created. The bundle calls them in the
    // order checker, memory sizer, input/output recorder, layer recorder; the
    // references it passes point into the bundle or to the device.
    struct Factory {
        std::function<std::unique_ptr<CompatibilityChecker>(const Device&,
                                                            const HardwareConstraints&)>
            checker;
        std::function<std::unique_ptr<MemorySizer>()> memory_sizer;
        std::function<std::unique_ptr<IoRecorder>(const Device&)> io_recorder;
        std::function<std::unique_ptr<LayerRecorder>(const Device&, const HardwareConstraints&)>
            layer_recorder;
    };

    // The implementations of each IP version's own back end.
    static Factory v1_factory();
    static Factory v2_factory();
    static Factory mote_factory();

    // Chooses the IP version by the device's product identifier (0x00 and 0xA1
    // v1, 0xA2 v2, 0xB1 mote), fills its constraints from the device's mesh and
    // creates that version's implementations. Any other product identifier is a
    // runtime error.
    explicit IpVersionSpecificHardwareBackend(const Device& device);

    // The same choice of constraints, with the implementations made by
    // `factory` instead of the version's own (used to put test doubles in place).
    IpVersionSpecificHardwareBackend(const Device& device, const Factory& factory);

    // Releases the layer recorder, the input/output recorder, the memory sizer
    // and the checker, in that order.
    ~IpVersionSpecificHardwareBackend();

    IpVersionSpecificHardwareBackend(const IpVersionSpecificHardwareBackend&) = delete;
    IpVersionSpecificHardwareBackend& operator=(const IpVersionSpecificHardwareBackend&) = delete;

    const HardwareConstraints& constraints() const { return constraints_; }
    const CompatibilityChecker& checker() const { return *checker_; }
    const MemorySizer& memory_sizer() const { return *memory_sizer_; }
    const IoRecorder& io_recorder() const { return *io_recorder_; }
    const LayerRecorder& layer_recorder() const { return *layer_recorder_; }

  private:
    enum class Kind { v1, v2, mote };
    static Kind kind_of(const Device& device);
    void create(const Device& device, Kind kind, const Factory& factory);

    HardwareConstraints constraints_;
    std::unique_ptr<CompatibilityChecker> checker_;
    std::unique_ptr<MemorySizer> memory_sizer_;
    std::unique_ptr<IoRecorder> io_recorder_;
    std::unique_ptr<LayerRecorder> layer_recorder_;
};

}  // namespace vorna
