#include "corelib/model.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "backend/hardware_backend.h"
#include "backend/map_constraints.h"

namespace vorna {

namespace {

LayerImpl* as_impl(const std::shared_ptr<Layer>& layer) {
    return dynamic_cast<LayerImpl*>(layer.get());
}

// The layers a map call left to the host: one pass holding them in model
// order, and no program.
class SoftwareSequence final : public Sequence {
  public:
    explicit SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
        auto pass = std::make_shared<Pass>();
        pass->layers = std::move(layers);
        passes_.push_back(std::move(pass));
    }

    const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
    BackendType backend() const override { return BackendType::Software; }
    ByteView program() const override { return ByteView{}; }
    ProgramParts program_parts() const override { return ProgramParts{}; }
    std::string name() const override {
        const auto& layers = passes_.front()->layers;
        std::string text = "SW/" + layers.front()->get_name();
        if (layers.size() > 1) text += "-" + layers.back()->get_name();
        return text;
    }

  private:
    std::vector<std::shared_ptr<Pass>> passes_;
};

}  // namespace

std::unique_ptr<Model> Model::create() { return std::unique_ptr<Model>(new Model()); }

Model::~Model() {
    // Layers may outlive the model (shared with their users); they no
    // longer belong to it.
    for (auto& layer : layers_) layer->owner_ = nullptr;
}

LayerImpl* Model::find(const std::string& name) const {
    for (const auto& layer : layers_) {
        if (layer->get_name() == name) return layer.get();
    }
    return nullptr;
}

bool Model::contains(const Layer* layer) const {
    if (layer == nullptr) return false;
    return std::any_of(layers_.begin(), layers_.end(),
                       [layer](const auto& l) { return l.get() == layer; });
}

void Model::drop_mapping() {
    sequences_.clear();
    device_.reset();
    for (auto& layer : layers_) layer->set_mapping(nullptr);
}

void Model::unlink_inbound(LayerImpl& layer) {
    for (const auto& in : layer.inbound_) {
        LayerImpl* impl = as_impl(in);
        if (impl == nullptr) continue;
        auto& out = impl->outbound_;
        out.erase(std::remove_if(out.begin(), out.end(),
                                 [&layer](const std::weak_ptr<Layer>& w) {
                                     auto l = w.lock();
                                     return !l || l.get() == &layer;
                                 }),
                  out.end());
    }
    layer.inbound_.clear();
}

void Model::add(std::shared_ptr<Layer> layer, const std::vector<std::shared_ptr<Layer>>& inbound,
                EmptyOutput empty) {
    auto impl = std::dynamic_pointer_cast<LayerImpl>(layer);
    if (!impl) throw std::invalid_argument("Invalid layer.");
    if (impl->owner_ != nullptr) {
        throw std::invalid_argument("The layer already belongs to a model.");
    }
    if (find(impl->get_name()) != nullptr) {
        throw std::invalid_argument("A layer named '" + impl->get_name() +
                                    "' already exists in the model.");
    }
    for (const auto& in : inbound) {
        if (!contains(in.get())) {
            throw std::invalid_argument("Inbound layer '" + (in ? in->get_name() : std::string()) +
                                        "' is not in the model.");
        }
    }
    const bool input_layer = impl->is_input_layer();
    if (layers_.empty() && !input_layer) {
        throw std::invalid_argument("The first layer of a model must be an input layer.");
    }

    std::vector<std::shared_ptr<Layer>> links = inbound;
    if (links.empty() && !layers_.empty() && !input_layer) links.push_back(layers_.back());
    const size_t expected = impl->expected_inbound_count();
    if (links.size() != expected) {
        throw std::invalid_argument("Layer '" + impl->get_name() + "' expects " +
                                    std::to_string(expected) + " inbound layer(s).");
    }

    impl->build(links, empty);

    // Commit: nothing below throws except on allocation failure.
    unlink_inbound(*impl);
    impl->inbound_ = links;
    for (const auto& in : links) {
        auto& out = as_impl(in)->outbound_;
        const bool present = std::any_of(out.begin(), out.end(), [&impl](const auto& w) {
            return w.lock().get() == impl.get();
        });
        if (!present) out.push_back(impl);
    }
    impl->owner_ = this;
    layers_.push_back(impl);
    ++generation_;
    drop_mapping();
}

void Model::pop_layer() {
    if (layers_.empty()) throw std::runtime_error("The model has no layers.");
    std::shared_ptr<LayerImpl> last = layers_.back();
    drop_mapping();
    ++generation_;
    layers_.pop_back();
    unlink_inbound(*last);
    // Without its inbound layers the layer's dimensions no longer hold.
    last->built_.reset();
    last->owner_ = nullptr;
}

void Model::compile(std::shared_ptr<LearningParams> params) {
    if (!params) throw std::invalid_argument("Invalid learning parameters.");
    if (layers_.empty()) throw std::invalid_argument("Cannot compile a model with no layers.");
    layers_.back()->learning_ = std::move(params);
    ++generation_;
    drop_mapping();
}

std::shared_ptr<Layer> Model::get_layer(const std::string& name) const {
    for (const auto& layer : layers_) {
        if (layer->get_name() == name) return layer;
    }
    throw std::invalid_argument("No layer named '" + name + "' in the model.");
}

std::shared_ptr<Layer> Model::get_layer(size_t index) const {
    if (index >= layers_.size()) return nullptr;
    return layers_[index];
}

std::vector<std::shared_ptr<Layer>> Model::layers() const {
    return std::vector<std::shared_ptr<Layer>>(layers_.begin(), layers_.end());
}

std::shared_ptr<LearningParams> Model::learning() const {
    if (layers_.empty()) return nullptr;
    return layers_.back()->learning();
}

Shape Model::input_dimensions() const {
    if (layers_.empty()) return Shape();
    return layers_.front()->input_dimensions().front();
}

Shape Model::output_dimensions() const {
    if (layers_.empty()) return Shape();
    return layers_.back()->output_dimensions();
}

uint64_t Model::macs() const {
    SizeCount total = 0;
    for (const auto& layer : layers_) total = size_sum(total, layer->macs());
    return saturated64(total);
}

IpVersion Model::ip_version() const {
    for (const auto& layer : layers_) {
        switch (layer->params()->layer_type()) {
            case LayerType::InputData:
            case LayerType::Quantizer:
            case LayerType::Dequantizer:
                continue;
            case LayerType::InputConvolutional:
            case LayerType::FullyConnected:
            case LayerType::Convolutional:
            case LayerType::SeparableConvolutional:
                return IpVersion::v1;
            case LayerType::StatefulRecurrent:
            case LayerType::MotePostProcessing:
                return IpVersion::mote;
            default:
                return IpVersion::v2;
        }
    }
    return IpVersion::none;
}

void Model::map(std::shared_ptr<Device> device, bool hw_only,
                std::shared_ptr<MapConstraints> constraints) {
    if (!device) throw std::invalid_argument("Invalid device.");
    if (layers_.empty()) throw std::invalid_argument("Cannot map a model with no layers.");
    // A hardware-only map (the probe) may come without constraints: it gets
    // the device's defaults. Otherwise missing constraints reach the back end,
    // which refuses them.
    if (!constraints && hw_only) constraints = std::make_shared<MapConstraints>(device);
    if (constraints && constraints->device() != device) {
        throw std::invalid_argument(
            "The map constraints were made for another device than the one to map onto.");
    }

    drop_mapping();
    std::vector<std::shared_ptr<Layer>> remaining(layers_.begin(), layers_.end());
    std::vector<std::shared_ptr<Sequence>> sequences;
    MappingStatusGroup status;
    // The mapping hooks run caller code: a hook that edits the graph leaves
    // a result made for a graph that no longer exists. Nothing of it is kept.
    const uint64_t generation = generation_;
    const auto refuse_if_edited = [&] {
        if (generation_ == generation) return;
        drop_mapping();
        throw std::runtime_error("The model was changed while it was being mapped.");
    };
    try {
        HardwareBackend backend;
        status = backend.map(&remaining, &sequences, constraints);
    } catch (...) {
        // The back end may have attached mappings before it failed; the
        // model stays unmapped. The exception (a Python error from a hook
        // included) goes on unchanged, unless the graph was edited, which
        // is then the cause to report.
        drop_mapping();
        refuse_if_edited();
        throw;
    }
    refuse_if_edited();
    if (hw_only && status.error) {
        drop_mapping();
        throw std::runtime_error(status.to_string());
    }
    if (!remaining.empty()) {
        if (hw_only) {
            drop_mapping();
            std::string names;
            for (const auto& layer : remaining) {
                if (!names.empty()) names += ", ";
                names += layer->get_name();
            }
            throw std::runtime_error("Layers could not be mapped on hardware: " + names + ".");
        }
        // What the hardware could not take (the layer that failed and the
        // layers after it, in model order) is left to the host. The layers
        // mapped before the failure keep their hardware mapping.
        for (const auto& layer : remaining) {
            if (LayerImpl* impl = as_impl(layer)) impl->set_mapping(nullptr);
        }
        sequences.push_back(std::make_shared<SoftwareSequence>(std::move(remaining)));
    }
    sequences_ = std::move(sequences);
    device_ = std::move(device);
}

// forward, predict and fit are in model_software.cpp; serialize and from_buffer in
// model_serialize.cpp.

}  // namespace vorna
