#pragma once

// The result of one map call: the mapped layers, their hardware passes and
// the program bytes, bound to the device they were mapped for. Runs samples
// on the device's hardware and unprograms it on destruction when the device
// still runs this sequence's program.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/graph_utils.h"
#include "backend/hardware_constraints.h"
#include "corelib/sequence.h"
#include "export.h"

namespace vorna {

class Device;

// Its vtable and type information are visible: the core library runs and
// recognises the sequences it is handed.
class VORNA_EXPORT HardwareSequence : public ForwardableSequence {
  public:
    // The constraints are copied: the back-end bundle that owns them ends with
    // the map call.
    HardwareSequence(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                     LayerList layers, std::vector<std::shared_ptr<Sequence::Pass>> passes,
                     std::vector<uint8_t> program);
    ~HardwareSequence() override;

    const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
    BackendType backend() const override { return BackendType::Hardware; }
    ByteView program() const override;
    // The size-prefixed program-info buffer (its first word n, plus 4 bytes)
    // and the program-data buffer (the rest).
    ProgramParts program_parts() const override;
    // "HW/<first layer>", with "-<last layer>" when there is more than one.
    std::string name() const override;

    // Needs a hardware device. Programs it unless it already runs this
    // sequence's bytes, hands it the number of samples, sets its learning
    // flag from whether labels are given, and runs fit (then reads the
    // learned variables back), predict (a Dequantizer last layer) or forward.
    VORNA_EXPORT std::vector<std::shared_ptr<Tensor>> forward_samples(
        const std::vector<std::shared_ptr<const Tensor>>& inputs,
        const std::vector<int>* labels) override;

    // Reads learned variables back into the last mappable layer of the last
    // pass, through the layer recorder of the device's IP version.
    void sync_learning_vars();

    const std::shared_ptr<Device>& device() const { return device_; }
    const HardwareConstraints& constraints() const { return constraints_; }
    const LayerList& layers() const { return layers_; }

  private:
    std::shared_ptr<Device> device_;
    HardwareConstraints constraints_;
    LayerList layers_;
    std::vector<std::shared_ptr<Pass>> passes_;
    std::vector<uint8_t> program_;
};

}  // namespace vorna
