#include "backend/v1/memory_sizer.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "backend/v1/cnp_sizes.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/hrc.h"
#include "corelib/layer.h"
#include "corelib/params.h"

namespace vorna::v1 {

namespace {

// Sizes that do not fit 32 bits saturate so that they fail every memory limit
// instead of wrapping to a small value.
uint32_t saturate(uint64_t bytes) {
    return bytes > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                        : static_cast<uint32_t>(bytes);
}

uint32_t bytes_of_words(uint32_t words) { return saturate(uint64_t{words} * 4); }

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v1 layer type."); }

const Layer& checked(const std::shared_ptr<Layer>& layer) {
    if (!layer) throw std::invalid_argument("A layer to size cannot be null.");
    return *layer;
}

// The placement of a CNP component, refused as an invalid argument when missing.
const hw::Placement& cnp_placement_of(const Layer& layer, const hw::Component& component) {
    if (!component.placement) {
        throw std::invalid_argument("The CNP component of layer '" + layer.get_name() +
                                    "' has no placement.");
    }
    return *component.placement;
}

// Input SRAM words of a CNP layer's part on one NP: the container of one
// input row times the channels of the NP's own region, times the rows it
// reads.
uint32_t cnp_input_words(const Layer& layer, const hw::Component& component) {
    const hw::Placement& placement = cnp_placement_of(layer, component);
    const Shape in = layer.input_dimensions().front();
    const uint32_t container = get_cnp_channel_container_size(in.dims[0], layer.input_bits());
    return get_cnp_input_sram_size(container, placement.spatial_partition.shape.dims[2],
                                   placement.aux_partition.shape.dims[1]);
}

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                const hw::Component& component,
                                                const std::shared_ptr<Layer>&) const {
    const Layer& layer = checked(layer_ptr);
    switch (layer.params()->layer_type()) {
        case LayerType::InputConvolutional:
        case LayerType::Add:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return 0;
        case LayerType::FullyConnected:
            return bytes_of_words(get_fnp_input_size(layer));
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
            return bytes_of_words(cnp_input_words(layer, component));
        default:
            invalid_type();
    }
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                 const hw::Component& component) const {
    const Layer& layer = checked(layer_ptr);
    switch (layer.params()->layer_type()) {
        case LayerType::InputConvolutional:
            return bytes_of_words(get_hrc_sram_size(layer));
        case LayerType::FullyConnected:
            return component.type == hw::Type::FNP3 ? bytes_of_words(get_fnp_sram_size(layer)) : 0;
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional: {
            // Weights sit in 50-bit rows, one per two DMA words.
            const uint64_t words =
                get_weights_size(layer, cnp_placement_of(layer, component).filters);
            return saturate(((words / 2) * 50 + 7) / 8);
        }
        case LayerType::Add:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return 0;
        default:
            invalid_type();
    }
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                                   const hw::Component& component, bool,
                                                   bool) const {
    if (component.type != hw::Type::FNP2) return 0;
    return bytes_of_words(get_fnp_sram_size(checked(layer)));
}

}  // namespace vorna::v1
