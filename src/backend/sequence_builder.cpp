#include "backend/sequence_builder.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/fnp_padding.h"
#include "backend/program_serializer.h"
#include "corelib/device.h"
#include "corelib/version.h"
#include "program/io_formats.h"
#include "program/register.h"

namespace vorna {

namespace {

// A generous estimate of the program data's bytes: formatted weights take less
// than twice the bytes of the weight tensors. Builder pages that are never
// written cost nothing, and a short estimate only lets the builder grow.
size_t program_size_hint(const LayerList& layers) {
    size_t bytes = 0;
    for (const auto& layer : layers) {
        const Variables* vars = layer ? layer->variables() : nullptr;
        if (!vars || !vars->has("weights")) continue;
        const auto weights = vars->get("weights");
        if (weights) bytes += weights->size() * element_size(weights->type());
    }
    return std::min<size_t>(2 * bytes + (size_t{1} << 16), size_t{1} << 30);
}

bool targets(const Layer& layer, TargetComponent target) {
    return layer.is_target_component(target);
}

LayerType type_of(const Layer& layer) {
    const LayerParams* params = layer.params();
    return params ? params->layer_type() : LayerType::Unknown;
}

bool contains(const LayerList& layers, const std::shared_ptr<Layer>& layer) {
    return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

// first(p) and last(p): the pass's first and last mappable layers, which a
// pass of valid layers always has.
std::shared_ptr<Layer> first_of(const Sequence::Pass& pass) {
    auto layer = first_mappable_layer(pass.layers);
    if (!layer) throw std::runtime_error("A hardware pass has no mappable layer.");
    return layer;
}

std::shared_ptr<Layer> last_of(const Sequence::Pass& pass) {
    auto layer = last_mappable_layer(pass.layers);
    if (!layer) throw std::runtime_error("A hardware pass has no mappable layer.");
    return layer;
}

Shape first_input_shape(const Layer& layer) {
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return inputs.front();
}

// Whether the layer's output goes to the next layer in the packed form that a
// TNP-B, or an FNP reading 4-bit or padding-2 inputs, expects.
bool compute_fnp_flag(const Layer& layer, const std::shared_ptr<Layer>& next) {
    if (layer.output_format() != 2 || !next) return false;
    if (targets(*next, TargetComponent::TNP_B)) return true;
    return targets(layer, TargetComponent::CNP) && targets(*next, TargetComponent::FNP) &&
           (layer.output_bits() == 4 || v2::get_fnp_supported_padding(*next, false) == 2);
}

}  // namespace

HardwareSequenceBuilder::HardwareSequenceBuilder(std::shared_ptr<Device> device,
                                                 const HardwareConstraints& constraints,
                                                 const IoRecorder& io_recorder,
                                                 const LayerRecorder& layer_recorder)
    : device_(std::move(device)),
      constraints_(constraints),
      io_recorder_(io_recorder),
      layer_recorder_(layer_recorder) {
    if (!device_) throw std::invalid_argument("The sequence builder needs a device.");
}

void HardwareSequenceBuilder::add_layers(LayerList layers, const LayerList& all_layers,
                                         ComponentsPerLayer components) {
    if (layers.size() != components.size()) {
        throw std::invalid_argument("A pass needs one component list per layer.");
    }
    for (const auto& layer : layers) {
        if (!layer) throw std::invalid_argument("A null layer was given to the sequence builder.");
    }
    if (carried_layer_) {
        layers.insert(layers.begin(), carried_layer_->first);
        components.insert(components.begin(), carried_layer_->second);
        carried_layer_.reset();
    }
    if (!layers.empty() && targets(*layers.back(), TargetComponent::SkipDMA)) {
        carried_layer_.emplace(layers.back(), components.back());
        layers.pop_back();
        components.pop_back();
    }
    layers_.insert(layers_.end(), layers.begin(), layers.end());
    auto pass = std::make_shared<HardwarePass>(layers, all_layers, components,
                                               device_->mesh().dma_event, last_pass());
    passes_.push_back(std::move(pass));
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::hardware_pass(size_t i) const {
    return std::dynamic_pointer_cast<HardwarePass>(passes_.at(i));
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::last_pass() const {
    if (passes_.empty()) return nullptr;
    return hardware_pass(passes_.size() - 1);
}

std::shared_ptr<Layer> HardwareSequenceBuilder::carried_layer() const {
    return carried_layer_ ? carried_layer_->first : nullptr;
}

void HardwareSequenceBuilder::clear() {
    layers_.clear();
    passes_.clear();
    program_.clear();
}

MappingStatus HardwareSequenceBuilder::check_num_descriptors(const std::shared_ptr<Layer>& layer,
                                                             size_t a, size_t b) {
    const uint64_t needed = uint64_t{a} * uint64_t{b};
    if (needed <= kMaxDescriptors) return MappingStatus::success();
    clear();
    const std::string message =
        "Model is too big. The maximum number of descriptors is more than allowed. " +
        std::to_string(needed) + " are needed but " + std::to_string(kMaxDescriptors) +
        " are available.";
    if (!layer) return MappingStatus::failure(message);
    return MappingStatus(*layer, message);
}

std::pair<uint8_t, uint8_t> HardwareSequenceBuilder::first_layer_col_range(const HardwarePass& pass,
                                                                           bool hrc_is_last) const {
    const std::shared_ptr<Layer> first = first_of(pass);
    std::shared_ptr<std::vector<hw::Component>> nps;
    if (targets(*first, TargetComponent::HRC)) {
        if (hrc_is_last) return {0, 0};
        const std::shared_ptr<Layer> next = first->outbound_layers().at(0);
        if (!next) throw std::runtime_error("The HRC layer feeds a null layer.");
        nps = layer_mapping_of(*next).nps;
    } else {
        nps = layer_mapping_of(*first).nps;
    }
    if (!nps || nps->empty()) {
        throw std::runtime_error("Layer '" + first->get_name() +
                                 "' starts a pass without NP components.");
    }
    if (nps->size() == 1 && nps->front().type == hw::Type::HRC) return {1, 1};
    uint8_t lowest = nps->front().ident.col;
    uint8_t highest = lowest;
    for (const hw::Component& c : *nps) {
        lowest = std::min(lowest, c.ident.col);
        highest = std::max(highest, c.ident.col);
    }
    return {lowest, highest};
}

std::pair<MappingStatus, std::shared_ptr<HardwareSequence>>
HardwareSequenceBuilder::build_sequence() {
    if (passes_.empty()) throw std::runtime_error("A sequence needs at least one hardware pass.");
    // Local copies: a failed descriptor check clears the builder while the
    // passes are still being walked.
    const LayerList L = layers_;
    const std::vector<std::shared_ptr<Sequence::Pass>> P = passes_;
    const size_t n = P.size();
    for (const auto& pass : P) {
        if (!pass) throw std::runtime_error("The sequence builder holds a null pass.");
    }
    if (L.empty()) throw std::runtime_error("A sequence needs at least one layer.");

    // Step 1: buffer modes. With several passes every placed NP runs with one
    // input buffer, except those shared by the last layer of a pass and the
    // first layer of the next.
    if (n != 1) {
        for (const auto& pass : P) {
            for (const auto& layer : pass->layers) {
                for (hw::Component& c : *layer_mapping_of(*layer).nps) {
                    if (c.placement) c.placement->single_buffer = true;
                }
            }
        }
        for (size_t i = 0; i + 1 < n; ++i) {
            auto& last_nps = *layer_mapping_of(*last_of(*P[i])).nps;
            auto& next_nps = *layer_mapping_of(*first_of(*P[i + 1])).nps;
            for (hw::Component& c : last_nps) {
                if (!c.placement) continue;
                auto d = std::find_if(next_nps.begin(), next_nps.end(),
                                      [&c](const hw::Component& x) { return x.ident == c.ident; });
                if (d == next_nps.end()) continue;
                c.placement->single_buffer = false;
                if (d->placement) d->placement->single_buffer = false;
            }
        }
    }

    // Step 2: sequence-wide values.
    SequenceSerializer serializer(layer_recorder_, io_recorder_, program_size_hint(L));
    serializer.serialize_version(device_->version());

    const std::shared_ptr<Layer> F = first_mappable_layer(L);
    if (!F) throw std::runtime_error("A sequence needs a mappable layer.");
    const std::shared_ptr<Layer>& Z = L.back();
    const int8_t in_type = static_cast<int8_t>(io_recorder_.get_input_type(*F));
    const int8_t out_type = static_cast<int8_t>(io_recorder_.get_output_type(*Z, in_type));
    const bool z_dequantizer = type_of(*Z) == LayerType::Dequantizer;
    const uint8_t out_bits = z_dequantizer ? Z->input_bits() : Z->output_bits();
    const bool first_hrc = targets(*F, TargetComponent::HRC);
    const bool last_hrc = targets(*last_mappable_layer(L), TargetComponent::HRC);

    Shape in_shape = first_input_shape(*F);
    if (type_of(*F) == LayerType::Dense1D) {
        const uint32_t flat = in_shape[0] * in_shape[1] * in_shape[2];
        if (flat == 0) panic("Cannot have a shape with a dimension set to 0");
        in_shape = Shape{1, 1, flat};
    }
    const Shape out_shape = Z->output_dimensions();

    uint32_t conv0 = 0;
    uint32_t conv1 = 0;
    if (first_hrc) {
        const auto& conv = dynamic_cast<const HasConvParams&>(*F).conv_calculated_params();
        conv0 = conv.stride_x;
        conv1 = conv.stride_y;
    }
    const bool z_act = Z->activation_enabled();
    const std::shared_ptr<Layer> F1 = first_of(*P[0]);

    // Step 3: the passes. Counts are kept wide so that the budget check sees
    // the true number of descriptors.
    uint64_t max_t = 0;
    for (size_t i = 0; i < n; ++i) {
        const Sequence::Pass& pass = *P[i];
        const std::shared_ptr<Layer> pass_first = first_of(pass);
        const std::shared_ptr<Layer> pass_last = last_of(pass);
        const std::shared_ptr<Layer> next_first = i + 1 < n ? first_of(*P[i + 1]) : nullptr;
        uint64_t t = 0;
        if (i == 0) {
            bool small_output;
            if (z_dequantizer) {
                small_output = Z->input_bits() <= 8;
            } else if (z_act) {
                small_output = false;
            } else {
                small_output = Z->output_bits() <= 8;
            }
            t = serializer.serialize_scc_program(first_hrc, in_type == 0, last_hrc, out_type == 0,
                                                 small_output, in_shape, out_shape);
            MappingStatus status = check_num_descriptors(F, 1, t);
            if (status.error) return {status, nullptr};
        }
        for (size_t x = 0; x < pass.layers.size(); ++x) {
            const std::shared_ptr<Layer>& X = pass.layers[x];
            const bool starts_pass = X == pass_first && i > 0;
            const bool ends_pass = X == pass_last && i + 1 < n;
            std::shared_ptr<Layer> next = next_mappable_layer(X);
            if (next && !contains(pass.layers, next)) next = nullptr;
            const bool fnp_flag = compute_fnp_flag(*X, next);

            uint64_t k;
            if (X->can_learn()) {
                k = serializer.serialize_learning_layer_program(*X, starts_pass);
            } else {
                k = serializer.serialize_layer_program(*X, *F1, next_first, starts_pass, ends_pass,
                                                       {}, false, fnp_flag);
                // A recurrent layer runs the rest of the pass itself.
                if (targets(*X, TargetComponent::TNP_R)) break;
                if (n > 1) {
                    const LayerMapping& m = layer_mapping_of(*X);
                    if (m.skipdma_store_channel) k += 4;
                    if (m.skipdma_store_dual_output_channel) k += 4;
                    if (m.skipdma_load_channel) k += 1;
                }
            }
            t += k;
            MappingStatus status = check_num_descriptors(X, i + 1, t);
            if (status.error) return {status, nullptr};
        }
        if (next_first) {
            std::vector<hw::Ident> idents;
            for (const auto& layer : pass.layers) {
                for (const hw::Component& c : *layer_mapping_of(*layer).nps) {
                    idents.push_back(c.ident);
                }
            }
            t += serializer.serialize_unused_nps_program(next_first, F1, idents);
            MappingStatus status = check_num_descriptors(pass_last, i + 1, t);
            if (status.error) return {status, nullptr};
        }
        max_t = std::max(max_t, t);
        serializer.finalize_pass();
    }

    // Step 4: closing.
    const uint64_t tracks_per_pass = max_t + 1;
    {
        MappingStatus status = check_num_descriptors(last_of(*P[n - 1]), n, tracks_per_pass);
        if (status.error) return {status, nullptr};
    }
    const bool multi_pass = n > 1;
    if (out_type != 3) {
        auto range = first_layer_col_range(dynamic_cast<const HardwarePass&>(*P[0]), last_hrc);
        for (size_t k = 1; k < n; ++k) {
            const auto r = first_layer_col_range(dynamic_cast<const HardwarePass&>(*P[k]), false);
            range.first = std::min(range.first, r.first);
            range.second = std::max(range.second, r.second);
        }
        serializer.serialize_epg_tracks(*F, range.first, range.second, 1, last_hrc, multi_pass,
                                        in_type == 0);
    }
    const Layer& A = *L.front();
    const std::vector<float> input_scales = io::format_input_scales(A);
    const std::vector<uint8_t> zero_points = io::format_input_zero_points(A);
    const std::vector<int32_t> output_shift = io::format_output_shift(*Z);
    const std::vector<float> output_scales = io::format_output_scales(*Z);
    const uint8_t in_bits = io::input_bits(A);
    const bool in_sign = io::input_sign(A);
    const bool channels_first = io::input_channels_first(A);
    serializer.record_dummy_desc_hdr(multi_pass);

    std::vector<uint8_t> program;
    serializer.finalize(version(), in_shape, out_shape, in_type, out_type, out_bits, z_act, conv1,
                        conv0, output_shift, output_scales, static_cast<uint8_t>(tracks_per_pass),
                        &program, P, in_bits, in_sign, channels_first, input_scales, zero_points,
                        type_of(*Z) == LayerType::MotePostProcessing);
    auto sequence =
        std::make_shared<HardwareSequence>(device_, constraints_, L, P, std::move(program));
    clear();
    return {MappingStatus::success(), sequence};
}

}  // namespace vorna
