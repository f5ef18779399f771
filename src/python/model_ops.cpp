#include "python/model_ops.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "backend/layer_mapping.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/types.h"
#include "corelib/variables.h"

namespace vorna::python {

namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

// An InputData layer that feeds `first` what it expects: its first input's width, height and
// channels, its input bits, and signed when its input is not unsigned and wider than 7 bits.
std::shared_ptr<Layer> input_layer_for(const Layer& first) {
    const std::vector<Shape> inputs = first.input_dimensions();
    if (inputs.empty() || inputs.front().size() < 3) {
        throw std::invalid_argument("Cannot build an input layer for layer '" + first.get_name() +
                                    "': its input does not have three dimensions.");
    }
    const Shape& in = inputs.front();
    for (uint32_t i = 0; i < 3; ++i) {
        if (in[i] > static_cast<uint32_t>(kInt32Max)) {
            throw std::invalid_argument("Cannot build an input layer for layer '" +
                                        first.get_name() + "': its input is too large.");
        }
    }
    const int bits = first.input_bits();
    const int is_signed = (first.input_format() != 1 && bits > 7) ? 1 : 0;
    const std::map<std::string, int> entries = {
        {"input_width", static_cast<int>(in[0])},
        {"input_height", static_cast<int>(in[1])},
        {"input_channels", static_cast<int>(in[2])},
        {"input_bits", bits},
        {"input_signed", is_signed},
    };
    const auto params = LayerParams::create(LayerType::InputData, entries);
    return Layer::create(params.get(), "InputData");
}

// A weights tensor seen in storage order: `rows` runs of `cols` contiguous elements. The
// column is the neuron: FullyConnected weights are kept neuron-fastest, either as (units,
// inputs) first-dimension-fastest (as the core creates them) or as (inputs, units) in numpy
// order (as Python sets them); both are the same bytes.
struct StorageGrid {
    size_t rows = 0;
    size_t cols = 0;
};

bool storage_grid(const Dense& t, StorageGrid* grid) {
    const Shape& d = t.dimensions();
    if (d.size() != 2) return false;
    if (t.layout() == Dense::Layout::RowMajor) {
        *grid = {d[0], d[1]};
    } else {
        *grid = {d[1], d[0]};
    }
    return true;
}

[[noreturn]] void cannot_carry_over(const std::string& name) {
    throw std::runtime_error("The variable " + name +
                             " cannot be carried over to the layer with the added classes.");
}

// A private copy of the new layer's variable `fresh` holding the old layer's values: for
// "weights", each old neuron's weights at the same neuron of the copy (added neurons keep the
// fresh weights); for any other variable, the old bytes at the start of the copy. Throws
// when the old values do not fit.
std::shared_ptr<Dense> carried_over(const std::string& name, const Dense& old, const Dense& fresh) {
    std::vector<uint8_t> bytes = fresh.buffer();
    if (name == "weights") {
        // Weights are copied one byte per element: both must be of an 8-bit signed storage.
        const int8_t* src = old.data<int8_t>();
        static_cast<void>(fresh.data<int8_t>());
        StorageGrid from, to;
        if (!storage_grid(old, &from) || !storage_grid(fresh, &to) || from.rows != to.rows ||
            from.cols > to.cols) {
            cannot_carry_over(name);
        }
        for (size_t i = 0; i < from.rows; ++i) {
            std::memcpy(bytes.data() + i * to.cols, src + i * from.cols, from.cols);
        }
    } else {
        const std::vector<uint8_t>& old_bytes = old.buffer();
        if (old_bytes.size() > bytes.size()) cannot_carry_over(name);
        std::memcpy(bytes.data(), old_bytes.data(), old_bytes.size());
    }
    return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), fresh.type(),
                       fresh.dimensions(), fresh.layout());
}

}  // namespace

std::unique_ptr<Model> model_from_layers(const std::vector<std::shared_ptr<Layer>>& layers) {
    std::unique_ptr<Model> model = Model::create();
    if (layers.empty()) return model;
    for (const auto& layer : layers) {
        if (!layer) throw std::runtime_error("Invalid layer received");
    }
    const Layer& first = *layers.front();
    if (!first.is_input_layer()) model->add(input_layer_for(first), {});

    for (size_t i = 0; i < layers.size(); ++i) {
        const Layer& source = *layers[i];
        std::shared_ptr<Layer> layer = Layer::create(source.params(), source.get_name());
        // Inbound layers are found by name among the layers already copied; the first copy is
        // linked by the model (to the prepended input layer, if any).
        std::vector<std::shared_ptr<Layer>> inbound;
        if (i > 0) {
            for (const auto& in : source.inbound_layers()) {
                if (!in) throw std::runtime_error("Invalid layer received");
                inbound.push_back(model->get_layer(in->get_name()));
            }
        }
        model->add(layer, inbound, EmptyOutput::refused);
        if (source.can_learn()) model->compile(source.learning());
        // The tensors are shared with the source: the core replaces variables, it never
        // changes one in place.
        const Variables* from = source.variables();
        Variables* to = layer->variables();
        for (const std::string& name : from->names()) to->set(name, from->get(name));
    }
    return model;
}

void add_classes(Model& model, int32_t num_add_classes) {
    if (num_add_classes <= 0) {
        throw std::invalid_argument("The number of classes to add must be positive.");
    }
    // Tested first: an index of count - 1 on an empty model is no layer at all.
    if (model.layer_count() == 0) {
        throw std::runtime_error("The model must have at least one layer.");
    }
    const std::shared_ptr<Layer> last = model.get_layer(model.layer_count() - 1);
    if (!last) throw std::runtime_error("The model must have at least one layer.");
    const LayerParams& params = *last->params();
    if (params.layer_type() != LayerType::FullyConnected) {
        throw std::runtime_error("The last layer must be a FullyConnected layer.");
    }
    const std::shared_ptr<LearningParams> learning = model.learning();
    if (!learning) throw std::runtime_error("The last layer must be compiled.");

    std::map<std::string, double> settings;
    for (const std::string& key : learning->keys()) settings[key] = learning->get(key);
    const int32_t units = params.get("units");
    const double old_classes = settings["num_classes"];
    // Neurons per class divide by the class count: a missing, zero, negative or NaN count
    // cannot be grown.
    if (!(old_classes > 0)) {
        throw std::invalid_argument("The learning parameter num_classes must be positive.");
    }
    settings["num_classes"] = old_classes + num_add_classes;
    const double per_class = std::trunc(static_cast<double>(units) / old_classes);
    const double grown = static_cast<double>(units) + per_class * num_add_classes;
    if (!(grown >= 1 && grown <= kInt32Max)) {
        throw std::invalid_argument("The number of units after adding classes is out of range.");
    }
    const int32_t new_units = static_cast<int32_t>(grown);

    const std::shared_ptr<LearningParams> new_learning =
        LearningParams::create(learning->learning_type(), settings);
    const std::map<std::string, int> entries = {
        {"units", new_units},
        {"weights_bits", params.get("weights_bits")},
        {"activation", params.get("activation")},
        {"act_bits", params.get("act_bits")},
    };
    const auto new_params = LayerParams::create(LayerType::FullyConnected, entries);
    const std::shared_ptr<Layer> layer = Layer::create(new_params.get(), last->get_name());

    // What is needed to put the old layer back. Its weights are checked now, so that a wrong
    // storage type is reported before the model changes.
    const std::vector<std::shared_ptr<Layer>> old_inbound = last->inbound_layers();
    struct OldVariable {
        std::string name;
        std::shared_ptr<Tensor> tensor;
        std::shared_ptr<const Dense> dense;
    };
    std::vector<OldVariable> old_vars;
    for (const std::string& name : last->variables()->names()) {
        std::shared_ptr<Tensor> tensor = last->variables()->get(name);
        std::shared_ptr<const Dense> dense = Tensor::ensure_dense(tensor);
        if (name == "weights") static_cast<void>(dense->data<int8_t>());
        old_vars.push_back({name, std::move(tensor), std::move(dense)});
    }

    // The new layer takes the old one's inbound layers, so that the graph keeps its shape
    // even when the old layer did not read the layer before it.
    model.pop_layer();
    try {
        model.add(layer, old_inbound);
        model.compile(new_learning);
        std::vector<std::pair<std::string, std::shared_ptr<Dense>>> copies;
        for (const OldVariable& old : old_vars) {
            const auto fresh = Tensor::ensure_dense(layer->variables()->get(old.name));
            copies.emplace_back(old.name, carried_over(old.name, *old.dense, *fresh));
        }
        for (auto& [name, copy] : copies) layer->variables()->set(name, std::move(copy));
    } catch (...) {
        // Put the old layer back as it was: same inbound layers, learning and variables. A
        // failure while doing so leaves the model as it then is; the first error is reported.
        try {
            if (model.layer_count() > 0 && model.get_layer(model.layer_count() - 1) == layer) {
                model.pop_layer();
            }
            model.add(last, old_inbound);
            model.compile(learning);
            for (const OldVariable& old : old_vars) last->variables()->set(old.name, old.tensor);
        } catch (...) {
        }
        throw;
    }
}

std::map<hw::Type, uint64_t> count_components(const std::vector<std::shared_ptr<Layer>>& layers) {
    std::map<hw::Type, uint64_t> counts;
    for (const auto& layer : layers) {
        if (!layer) continue;
        const auto mapping = std::dynamic_pointer_cast<const LayerMapping>(layer->mapping());
        if (!mapping) continue;
        if (const hw::Component* load = mapping->skipdma_load()) ++counts[load->type];
        if (const hw::Component* store = mapping->skipdma_store()) ++counts[store->type];
        if (mapping->nps) {
            for (const hw::Component& np : *mapping->nps) ++counts[np.type];
        }
    }
    return counts;
}

uint32_t external_memory_size(const std::vector<std::shared_ptr<Sequence>>& sequences) {
    uint32_t total = 0;
    for (const auto& sequence : sequences) {
        if (!sequence) continue;
        for (const auto& pass : sequence->passes()) {
            if (!pass) continue;
            for (const auto& layer : pass->layers) {
                if (!layer) continue;
                const auto mapping =
                    std::dynamic_pointer_cast<const LayerMapping>(layer->mapping());
                if (!mapping) continue;
                if (const hw::Component* load = mapping->skipdma_load()) {
                    total += load->mem_info.external_size;
                }
                if (const hw::Component* store = mapping->skipdma_store()) {
                    total += store->mem_info.external_size;
                }
                if (mapping->nps) {
                    for (const hw::Component& np : *mapping->nps) {
                        total += np.mem_info.external_size;
                    }
                }
            }
        }
    }
    return total;
}

}  // namespace vorna::python
