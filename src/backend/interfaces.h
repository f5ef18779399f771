#pragma once

// The four per-IP-version interfaces through which the mapping engine reaches
// the rules, memory sizes and program recorders of one IP version. The v1, v2
// and mote back ends implement them; the back-end bundle owns one of each for
// a map call.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "backend/mapping_status.h"
#include "backend/np_split_params.h"
#include "corelib/types.h"
#include "devices/hw_version.h"

namespace vorna {

class Device;
class Layer;
class LayerParams;

namespace program {
class Record;
struct LearnRecordsPtr;
}  // namespace program

namespace fb {
enum class IoType : int8_t;
}  // namespace fb

// A run of layers inside the caller's layer list: [begin, end).
using LayerListIterator = std::vector<std::shared_ptr<Layer>>::const_iterator;

// One register write of the event generator: (address, value).
using RegisterWrite = std::pair<uint32_t, uint32_t>;

// Which layers, runs of layers and component lists the hardware accepts, and
// the sizing predicates used while layers are split over NPs.
class CompatibilityChecker {
  public:
    CompatibilityChecker(const Device& device, const HardwareConstraints& constraints)
        : device_(device), constraints_(constraints) {}
    virtual ~CompatibilityChecker() = default;

    CompatibilityChecker(const CompatibilityChecker&) = delete;
    CompatibilityChecker& operator=(const CompatibilityChecker&) = delete;

    // Whether one layer can run on this IP version. `previous` may be null.
    virtual MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                                    const HwVersion& version) const = 0;
    // Rules over the run [begin, end), which starts at the first layer of the list.
    virtual MappingStatus check_layer_sequence(LayerListIterator begin, LayerListIterator end,
                                               const HwVersion& version) const = 0;
    // Rules on the components chosen for a layer; `new_pass` is true when the
    // layer starts a new pass.
    virtual MappingStatus check_layer_mappings(const Layer& layer,
                                               const std::vector<hw::Component>& components,
                                               bool new_pass) const = 0;
    virtual bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                 uint32_t channels, uint32_t fifo_depth,
                                                 uint8_t bits, uint32_t reserved_words) const = 0;
    virtual bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                               uint32_t channels, uint32_t fifo_depth, uint8_t bits,
                                               uint32_t reserved_words) const = 0;
    // Whether `filters` filters of the layer fit the weight memory of one NP.
    virtual bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const = 0;
    // The split parameters of a layer on one kind of NP.
    virtual NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const = 0;
    // Whether a dense layer fits an FNP3 under the given constraints.
    virtual bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                                      const Layer& layer) const = 0;

    // The engine's own operation, declared after the eight above so that theirs
    // keep the first virtual slots after the destructors, in this order.
    // What check_layer_sequence gives for each of the runs [begin, begin + 1),
    // ..., [begin, end), in that order. This one asks it run by run; a checker
    // may answer every run in one walk over the layers.
    virtual std::vector<MappingStatus> check_layer_sequence_prefixes(
        LayerListIterator begin, LayerListIterator end, const HwVersion& version) const {
        std::vector<MappingStatus> out;
        for (LayerListIterator position = begin; position != end;) {
            ++position;
            out.push_back(check_layer_sequence(begin, position, version));
        }
        return out;
    }

    // check_fnp3_sram_size with this checker's own constraints.
    bool is_fnp3_compatible(const Layer& layer) const;

    const Device& device() const { return device_; }
    const HardwareConstraints& constraints() const { return constraints_; }

  protected:
    const Device& device_;
    const HardwareConstraints& constraints_;
};

// How much memory a layer takes on a component. Sizes are bytes for the
// input, weight and external memories and words for the four TNP memories.
class MemorySizer {
  public:
    MemorySizer() = default;
    virtual ~MemorySizer() = default;

    MemorySizer(const MemorySizer&) = delete;
    MemorySizer& operator=(const MemorySizer&) = delete;

    virtual uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer,
                                           const hw::Component& component,
                                           const std::shared_ptr<Layer>& first_layer) const = 0;
    virtual uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                            const hw::Component& component) const = 0;
    virtual uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                              const hw::Component& component, bool dual_output,
                                              bool multipass) const = 0;
    virtual uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;
    virtual uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;
    virtual uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;
    virtual uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const = 0;

    // All seven sizes of a layer on a component, in MemoryInfo order. The sizes
    // are asked in the order input, weight, external, STSRAM, FSRAM, TSRAM,
    // EVSRAM.
    MemoryInfo get_memory_info(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                               const std::shared_ptr<Layer>& first_layer, bool dual_output,
                               bool multipass) const;
};

// The sizer of a version without TNP-R memories: their four sizes are 0 for
// every layer.
class MemorySizerWithoutTnpR : public MemorySizer {
  public:
    uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>&) const final { return 0; }
    uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>&) const final { return 0; }
    uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>&) const final { return 0; }
    uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>&) const final { return 0; }
};

// The program's input and output setup.
class IoRecorder {
  public:
    explicit IoRecorder(const Device& device) : device_(device) {}
    virtual ~IoRecorder() = default;

    IoRecorder(const IoRecorder&) = delete;
    IoRecorder& operator=(const IoRecorder&) = delete;

    // The input setup record.
    virtual std::unique_ptr<program::Record> record_scc(bool first_hrc, bool flag1, bool flag2,
                                                        bool flag3, bool small_output,
                                                        const Shape& input,
                                                        const Shape& output) const = 0;
    // The event-generator register writes.
    virtual std::vector<RegisterWrite> record_epg(const Layer& last_layer, uint8_t lowest,
                                                  uint8_t highest, uint8_t count, bool last_hrc,
                                                  bool flag1, bool flag2) const = 0;
    virtual fb::IoType get_input_type(const Layer& first_layer) const = 0;
    virtual fb::IoType get_output_type(const Layer& last_layer, int8_t input_type) const = 0;

    const Device& device() const { return device_; }

  protected:
    const Device& device_;
};

// One layer's program, the learning layer's records and the read-back of
// learned variables.
class LayerRecorder {
  public:
    LayerRecorder(const Device& device, const HardwareConstraints& constraints)
        : device_(device), constraints_(constraints) {}
    virtual ~LayerRecorder() = default;

    LayerRecorder(const LayerRecorder&) = delete;
    LayerRecorder& operator=(const LayerRecorder&) = delete;

    virtual std::unique_ptr<program::Record> record_layer(
        const Layer& layer, const Layer& second_layer, std::shared_ptr<Layer> layer_ptr,
        bool ib_spikes, bool pr_flag, const std::vector<hw::Ident>& nps, bool registers_only,
        bool last_flag) const = 0;
    virtual program::LearnRecordsPtr record_learning_layer(const Layer& layer,
                                                           bool starts_pass) const = 0;
    virtual void sync_learning_vars(std::shared_ptr<Layer> layer) const = 0;

    const Device& device() const { return device_; }
    const HardwareConstraints& constraints() const { return constraints_; }

  protected:
    const Device& device_;
    const HardwareConstraints& constraints_;
};

}  // namespace vorna
