#pragma once

// The model operations behind the Python class Model that the core model does not offer
// itself: building a model from copies of layers of other models, growing the last
// classification layer by whole classes, and the two summaries read from a mapping (the
// components used and the external memory).

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/sequence.h"

namespace vorna::python {

// A new model holding copies of `layers` (same parameters and names, same learning parameters,
// the source's variable tensors), linked by name in the new model. When the first layer is not
// an input layer, an InputData layer built from its input side is added first. A null entry
// throws std::runtime_error "Invalid layer received" before anything is built.
std::unique_ptr<Model> model_from_layers(const std::vector<std::shared_ptr<Layer>>& layers);

// Grows the last FullyConnected layer of a compiled model by `num_add_classes` classes of
// trunc(units / num_classes) neurons each, keeping the learned variables of the existing
// neurons. Every argument and model check runs before the model changes; when carrying the
// variables over fails, the old layer is put back with its variables and learning.
void add_classes(Model& model, int32_t num_add_classes);

// Components used by the layers the hardware back end mapped: each NP component, the skip-DMA
// load and the skip-DMA store (not the store of a second output), by type.
std::map<hw::Type, uint64_t> count_components(const std::vector<std::shared_ptr<Layer>>& layers);

// External memory in bytes of the components of the mapped layers of every pass of the
// sequences, counted as count_components counts components; the sum wraps modulo 2^32.
uint32_t external_memory_size(const std::vector<std::shared_ptr<Sequence>>& sequences);

}  // namespace vorna::python
