#pragma once

// Collects the hardware passes of one sequence during a map call, keeps the
// descriptor budget, and turns the passes into program bytes and a
// HardwareSequence.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "backend/graph_utils.h"
#include "backend/hardware_constraints.h"
#include "backend/hardware_pass.h"
#include "backend/hardware_sequence.h"
#include "backend/hw.h"
#include "backend/interfaces.h"
#include "backend/mapping_status.h"

namespace vorna {

class Device;

class HardwareSequenceBuilder {
  public:
    // The largest number of descriptors a pass may use, times the passes.
    static constexpr uint64_t kMaxDescriptors = 254;

    // The references must outlive the builder.
    HardwareSequenceBuilder(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                            const IoRecorder& io_recorder, const LayerRecorder& layer_recorder);

    // Adds one pass made of `layers` (components parallel to them). A
    // skip-DMA layer left over at the end of the previous call goes in front;
    // a skip-DMA layer at the end of this one is held back for the next call.
    void add_layers(LayerList layers, const LayerList& all_layers, ComponentsPerLayer components);

    // Pass i as a HardwarePass (null when it is not one); i must be below the
    // pass count.
    std::shared_ptr<HardwarePass> hardware_pass(size_t i) const;
    std::shared_ptr<HardwarePass> first_pass() const { return hardware_pass(0); }
    std::shared_ptr<HardwarePass> last_pass() const;

    // Drops every layer, pass and program byte; a held-back skip-DMA layer
    // stays.
    void clear();

    // Success when a x b descriptors fit the budget; otherwise clears the
    // builder and returns "Model is too big. ..." on the layer.
    MappingStatus check_num_descriptors(const std::shared_ptr<Layer>& layer, size_t a, size_t b);

    // The lowest and highest NP column used by the first mappable layer of a
    // pass; for an HRC first layer, those of the layer it feeds, or (0, 0)
    // when the HRC is also the last layer.
    std::pair<uint8_t, uint8_t> first_layer_col_range(const HardwarePass& pass,
                                                      bool hrc_is_last) const;

    // Writes the program bytes of the collected passes and wraps them in a
    // HardwareSequence. A descriptor budget overrun gives its status and a
    // null sequence. The builder is cleared on every return; an exception
    // leaves it as it was.
    std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> build_sequence();

    const LayerList& layers() const { return layers_; }
    const std::vector<std::shared_ptr<Sequence::Pass>>& passes() const { return passes_; }
    const std::vector<uint8_t>& program() const { return program_; }
    bool has_carried_layer() const { return carried_layer_.has_value(); }
    // The held-back skip-DMA layer, or null.
    std::shared_ptr<Layer> carried_layer() const;

  private:
    std::shared_ptr<Device> device_;
    const HardwareConstraints& constraints_;
    const IoRecorder& io_recorder_;
    const LayerRecorder& layer_recorder_;
    LayerList layers_;
    std::vector<std::shared_ptr<Sequence::Pass>> passes_;
    std::vector<uint8_t> program_;
    std::optional<std::pair<std::shared_ptr<Layer>, std::vector<hw::Component>>> carried_layer_;
};

}  // namespace vorna
