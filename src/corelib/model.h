#pragma once

// The model graph: an ordered list of layers, each linked to the layers
// that feed it, plus the sequences and the device of the last mapping.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "corelib/layer.h"
#include "corelib/sequence.h"
#include "corelib/tensor.h"
#include "corelib/types.h"

namespace vorna {

class Device;
class MapConstraints;

class Model {
  public:
    static std::unique_ptr<Model> create();

    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Builds the layer and appends it. With an empty inbound list, a layer
    // other than an input layer is linked to the current last layer.
    // Throws std::invalid_argument for a null layer, a layer of another
    // model, a duplicate name, an inbound layer not in this model, a first
    // layer that is not an input layer, a wrong number of inbound layers and
    // a missing or invalid parameter; with EmptyOutput::refused, also for a layer whose output
    // has a dimension of 0.
    void add(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbound,
             EmptyOutput empty = EmptyOutput::kept);
    // Removes the last layer; std::runtime_error on an empty model.
    void pop_layer();
    // Attaches learning parameters to the last layer.
    void compile(std::shared_ptr<LearningParams> params);

    // std::invalid_argument when no layer has that name.
    std::shared_ptr<Layer> get_layer(const std::string& name) const;
    // Null when the index is out of range.
    std::shared_ptr<Layer> get_layer(size_t index) const;
    std::vector<std::shared_ptr<Layer>> layers() const;
    size_t layer_count() const { return layers_.size(); }
    // The learning parameters of the last layer; null when there are none.
    std::shared_ptr<LearningParams> learning() const;
    // The input of the first layer and the output of the last; an empty
    // shape for an empty model.
    Shape input_dimensions() const;
    Shape output_dimensions() const;
    // The sum of the layers' operation counts; a sum past 64 bits sticks at the largest value.
    uint64_t macs() const;
    // The IP version the layer kinds of the model belong to.
    IpVersion ip_version() const;
    std::vector<std::shared_ptr<Sequence>> sequences() const { return sequences_; }
    std::shared_ptr<Device> device() const { return device_; }

    // Maps the model onto the device.
    void map(std::shared_ptr<Device> device, bool hw_only,
             std::shared_ptr<MapConstraints> constraints);

    // Inference, learning and serialization. Layers not run by a hardware sequence are
    // evaluated in software, which computes only InputData, Quantizer, Dequantizer,
    // FullyConnected, Dense1D, Add and Concatenate: a run that needs any other kind there
    // throws std::runtime_error naming the layer and its kind before anything runs.
    std::shared_ptr<Tensor> forward(std::shared_ptr<Dense> inputs, uint32_t batch);
    std::shared_ptr<Tensor> predict(std::shared_ptr<Dense> inputs, uint32_t batch);
    std::shared_ptr<Tensor> fit(std::shared_ptr<Dense> inputs, const std::vector<int32_t>& labels,
                                uint32_t batch);
    std::vector<uint8_t> serialize() const;
    static std::unique_ptr<Model> from_buffer(const char* data, size_t size);

  private:
    Model() = default;

    // A layer of this model, or null.
    LayerImpl* find(const std::string& name) const;
    bool contains(const Layer* layer) const;
    // Forgets the result of the last mapping; called by every graph edit.
    void drop_mapping();
    // Removes the layer from the outbound lists of its inbound layers and
    // clears its inbound list.
    static void unlink_inbound(LayerImpl& layer);

    std::vector<std::shared_ptr<LayerImpl>> layers_;
    std::vector<std::shared_ptr<Sequence>> sequences_;
    std::shared_ptr<Device> device_;
    // Counts the graph edits (add, pop_layer, compile), so that a map call
    // can tell that the graph changed under it (from a mapping hook).
    uint64_t generation_ = 0;
};

}  // namespace vorna
