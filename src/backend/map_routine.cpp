#include "backend/map_routine.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "backend/graph_utils_internal.h"
#include "backend/hardware_backend.h"
#include "backend/map_constraints.h"
#include "backend/mesh_mapper.h"
#include "backend/sequence_builder.h"
#include "corelib/device.h"

namespace vorna {

namespace {

bool targets(const Layer& layer, TargetComponent target) {
    return layer.is_target_component(target);
}

constexpr size_t kMaxGroupsBeforeLast = 254;

bool is_mappable(const Layer& layer) {
    return !targets(layer, TargetComponent::None) && !targets(layer, TargetComponent::SkipDMA);
}

// The input of a sequence reaches only its first mapped layer (through the
// DMA endpoint, or the HRC). A later layer whose input comes from a layer
// that is not mapped on hardware (the model's input layer feeding two
// branches, say) would be given no source at all.
MappingStatus check_unmapped_source(const std::shared_ptr<Layer>& layer) {
    const std::shared_ptr<Layer> source = previous_mappable_layer(layer);
    if (!source || !targets(*source, TargetComponent::None)) return MappingStatus::success();
    return MappingStatus(*layer, "Layer '" + source->get_name() +
                                     "' is not mapped on hardware: only the first mapped layer "
                                     "of a sequence can read its output.");
}

bool listed(const LayerList& layers, const std::shared_ptr<Layer>& layer) {
    return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

// Removes every element of `list` that is one of `layers` (same object).
void remove_listed(LayerList* list, const LayerList& layers) {
    list->erase(
        std::remove_if(list->begin(), list->end(),
                       [&layers](const std::shared_ptr<Layer>& l) { return listed(layers, l); }),
        list->end());
}

// Writes the memory sizes of every component of the sequence's layers.
void size_memories(const HardwareSequence& sequence, const MemorySizer& sizer) {
    const auto& passes = sequence.passes();
    if (passes.empty() || passes.front()->layers.empty()) return;
    const bool multi = passes.size() > 1;
    const std::shared_ptr<Layer> base = passes.front()->layers.front();
    for (const auto& pass : passes) {
        for (const auto& layer : pass->layers) {
            LayerMapping& mapping = layer_mapping_of(*layer);
            for (hw::Component& c : *mapping.nps) {
                c.mem_info = sizer.get_memory_info(layer, c, base, false, multi);
            }
            if (hw::Component* dual = mapping.skipdma_store_dual_output()) {
                dual->mem_info = sizer.get_memory_info(layer, *dual, base, true, multi);
            }
            if (hw::Component* store = mapping.skipdma_store()) {
                store->mem_info = sizer.get_memory_info(layer, *store, base, false, multi);
            }
        }
    }
}

// One list per group holding one member of each of the group's layers, in order.
template <class List, class Member>
std::vector<List> member_per_group(const std::vector<PassGroup>& groups,
                                   Member MappableLayer::* member) {
    std::vector<List> out;
    out.reserve(groups.size());
    for (const PassGroup& group : groups) {
        List list;
        for (const MappableLayer& m : group) list.push_back(m.*member);
        out.push_back(std::move(list));
    }
    return out;
}

}  // namespace

std::vector<LayerList> MappableLayers::build_mappable_layers() const {
    return member_per_group<LayerList>(groups_, &MappableLayer::layer);
}

std::vector<ComponentsPerLayer> MappableLayers::build_mappable_components() const {
    return member_per_group<ComponentsPerLayer>(groups_, &MappableLayer::components);
}

std::vector<hw::Ident> collect_request_nps(const std::vector<hw::Ident>& fnp2_idents,
                                           const Layer& layer,
                                           const ComponentsPerLayer& last_group_components,
                                           bool placed_multipass, bool hwpr) {
    std::vector<hw::Ident> reserved;
    if (targets(layer, TargetComponent::FNP)) reserved = fnp2_idents;
    if (!placed_multipass) return reserved;
    auto it = std::find_if(last_group_components.rbegin(), last_group_components.rend(),
                           [](const std::vector<hw::Component>& c) { return !c.empty(); });
    if (it == last_group_components.rend() || hwpr) return reserved;
    for (const hw::Component& c : *it) {
        if (c.type != hw::Type::SKIP_DMA_STORE && c.type != hw::Type::SKIP_DMA_LOAD) {
            reserved.push_back(c.ident);
        }
    }
    return reserved;
}

MappingStatusGroup check_sequence_prefixes(LayerListIterator end,
                                           const CompatibilityChecker& checker,
                                           const Device& device, const LayerList& layers,
                                           LayerList* rejected) {
    MappingStatusGroup out;
    const std::vector<MappingStatus> statuses =
        checker.check_layer_sequence_prefixes(layers.begin(), end, device.version());
    if (statuses.size() != static_cast<size_t>(end - layers.begin())) {
        throw std::logic_error("The run checks gave a wrong number of statuses.");
    }
    LayerListIterator position = layers.begin();
    for (const MappingStatus& status : statuses) {
        ++position;
        if (status.error) {
            rejected->push_back(*(position - 1));
            add_status_once(out, status);
        } else {
            rejected->clear();
            out = MappingStatusGroup();
        }
    }
    return out;
}

void erase_listed_layers(PassGroup* group, const LayerList& layers) {
    group->erase(
        std::remove_if(group->begin(), group->end(),
                       [&layers](const MappableLayer& m) { return listed(layers, m.layer); }),
        group->end());
}

MappingStatusGroup map_on_hardware(const IpVersionSpecificHardwareBackend& bundle,
                                   const std::shared_ptr<MapConstraints>& constraints,
                                   LayerList* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences,
                                   bool multipass) {
    if (!constraints) throw std::runtime_error("Map constraints must be specified.");
    if (layers == nullptr || sequences == nullptr) {
        throw std::invalid_argument("The map routine needs a layer list and a sequence list.");
    }
    for (const auto& layer : *layers) {
        if (!layer) throw std::invalid_argument("A null layer cannot be mapped.");
    }
    // A layer's depth depends on its inbound layers only, which mapping never
    // changes: the depth queries of the whole map share one depth map. Each pass
    // plans in a scope of its own.
    const graph_detail::PlanningScope scope;
    const std::shared_ptr<Device> device = constraints->device();
    const CompatibilityChecker& checker = bundle.checker();

    // First half: the walk.
    MappingStatusGroup result;
    HardwareSequenceBuilder builder(device, bundle.constraints(), bundle.io_recorder(),
                                    bundle.layer_recorder());
    MeshMapper mapper(checker, *constraints);
    mapper.reset();

    std::vector<PassGroup> groups;
    std::vector<hw::Ident> fnp2_idents;
    bool placed = false;
    bool placed_mappable = false;
    MappingStatus last_status = MappingStatus::success();
    size_t end = layers->size();

    for (size_t i = 0; i < layers->size(); ++i) {
        const std::shared_ptr<Layer>& layer = (*layers)[i];
        bool new_group = false;
        std::shared_ptr<Layer> previous;
        if (i > 0) {
            const LayerList inbound = layer->inbound_layers();
            if (!inbound.empty()) previous = inbound.front();
        }
        last_status = checker.check_layer_compatibility(*layer, previous.get(), device->version());
        if (!last_status.error && placed_mappable && is_mappable(*layer)) {
            last_status = check_unmapped_source(layer);
        }
        if (last_status.error) {
            end = i;
            break;
        }

        std::vector<hw::Component> components;
        if (targets(*layer, TargetComponent::HRC)) {
            if (!device->mesh().hrc) {
                // No pass can hold this layer: the call ends with this one failure.
                last_status = MappingStatus(
                    *layer,
                    "Layer should be mapped on HRC but the device does not have this hardware "
                    "component.");
                add_status_once(result, last_status);
                return result;
            }
            components.emplace_back(hw::Type::HRC, hw::Ident{0, 0, 0, 0});
        } else if (targets(*layer, TargetComponent::None) ||
                   targets(*layer, TargetComponent::SkipDMA)) {
            // No components of its own.
        } else {
            std::vector<hw::Ident> reserved;
            if (!groups.empty()) {
                ComponentsPerLayer last_components;
                for (const MappableLayer& m : groups.back())
                    last_components.push_back(m.components);
                reserved = collect_request_nps(fnp2_idents, *layer, last_components,
                                               placed && multipass, constraints->hwpr_loopitself());
            }
            const bool hwpr = multipass && constraints->hwpr_loopitself();
            const bool allow_new_pass = multipass && groups.size() <= kMaxGroupsBeforeLast;
            auto request = mapper.np_request(layer, reserved, hwpr, &new_group, allow_new_pass);
            if (request.second.error) {
                last_status = request.second;
                end = i;
                break;
            }
            components = std::move(request.first);
            last_status = checker.check_layer_mappings(*layer, components, new_group);
            if (last_status.error) {
                end = i;
                break;
            }
            for (const hw::Component& c : components) {
                if (c.type == hw::Type::FNP2) fnp2_idents.push_back(c.ident);
            }
        }

        if (groups.empty() || (placed && new_group)) groups.emplace_back();
        groups.back().push_back(MappableLayer{layer, std::move(components)});
        placed = true;
        if (is_mappable(*layer)) placed_mappable = true;

        if (targets(*layer, TargetComponent::TNP_R)) {
            // A recurrent layer takes every later layer along, unchecked.
            for (size_t j = i + 1; j < layers->size(); ++j) {
                groups.back().push_back(MappableLayer{(*layers)[j], {}});
            }
            end = layers->size();
            break;
        }
    }

    // Second half: run checks, passes, sequence, removal, memory sizes.
    LayerList rejected;
    result += check_sequence_prefixes(layers->begin() + static_cast<std::ptrdiff_t>(end), checker,
                                      *device, *layers, &rejected);
    if (!rejected.empty()) {
        for (PassGroup& group : groups) erase_listed_layers(&group, rejected);
        groups.erase(std::remove_if(groups.begin(), groups.end(),
                                    [](const PassGroup& g) { return g.empty(); }),
                     groups.end());
    }

    const MappableLayers mappable(groups);
    const std::vector<LayerList> group_layers = mappable.build_mappable_layers();
    std::shared_ptr<Layer> first;
    if (!group_layers.empty()) first = first_mappable_layer(group_layers.front());

    if (first) {
        const std::vector<ComponentsPerLayer> group_components =
            mappable.build_mappable_components();
        // The passes see the caller's whole list as it was before any removal.
        const LayerList all_layers = *layers;
        // Faults of the builder and the per-version code pass through unchanged.
        for (size_t g = 0; g < group_layers.size(); ++g) {
            builder.add_layers(group_layers[g], all_layers, group_components[g]);
        }
        // A skip-DMA layer held back for a pass that never comes was not
        // mapped: it stays in the caller's list.
        const std::shared_ptr<Layer> unmapped = builder.carried_layer();
        const std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> built =
            builder.build_sequence();
        if (built.first.error) {
            add_status_once(result, built.first);
            return result;
        }
        for (const LayerList& group : group_layers) {
            LayerList mapped;
            for (const auto& layer : group) {
                if (layer != unmapped) mapped.push_back(layer);
            }
            remove_listed(layers, mapped);
        }
        if (targets(*first, TargetComponent::TNP_R)) layers->clear();

        size_memories(*built.second, bundle.memory_sizer());
        sequences->push_back(built.second);
    }

    if (last_status.error) add_status_once(result, last_status);
    return result;
}

MappingStatusGroup HardwareBackend::map(std::vector<std::shared_ptr<Layer>>* layers,
                                        std::vector<std::shared_ptr<Sequence>>* sequences,
                                        std::shared_ptr<MapConstraints> constraints) {
    if (!constraints) throw std::runtime_error("Map constraints must be specified.");
    const std::shared_ptr<Device> device = constraints->device();
    const bool multipass = device->version().product_id > 0xA0;
    const IpVersionSpecificHardwareBackend bundle(*device);
    return map_on_hardware(bundle, constraints, layers, sequences, multipass);
}

BackendType HardwareBackend::type() const { return BackendType::Hardware; }

}  // namespace vorna
