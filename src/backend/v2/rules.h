#pragma once

// The mapping rules of IP v2: what one layer must meet (its variables, its
// activation and the constraints of its kind), which runs of layers form a
// legal sequence, which components a layer may be given, and the sizing
// predicates used while layers are split over NPs. Every rule reports through
// a MappingStatus; per-layer checks join every broken rule, run and component
// checks stop at the first.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "backend/mapping_status.h"
#include "backend/np_split_params.h"
#include "corelib/types.h"

namespace vorna {

class Layer;
class LayerParams;

namespace v2 {

// Per-channel weight-memory limit of one NP, in 100-bit words.
constexpr uint32_t MAX_CH_CONT_100B_SIZE = 262143;
// Widest input slice, in pixels, a CNP accepts.
constexpr uint32_t MAX_CNP_INPUT_WIDTH = 64;
// Most components the first layer of a pass may have.
constexpr uint32_t MAX_FIRST_LAYER_COMPONENTS = 127;

// A failed status on the layer with the given message.
MappingStatus make_layer_status_error(const Layer& layer, const std::string& message);

// "NoActivation", "ReLU", "LUT", or "Unknown" for any other value.
const char* activation_type_name(int activation);

// --- Per-layer checks ---------------------------------------------------------

// The variable bit widths, the activation and the constraints of the layer's
// kind, joined into one status. A kind v2 does not know gives only
// "Unsupported layer type on Vorna v2.". `previous` may be null.
MappingStatus check_layer_compatibility(const HardwareConstraints& constraints, const Mesh& mesh,
                                        const Layer& layer, const Layer* previous);

// The activation types a layer may use: CNP and HRC layers accept any;
// others only ReLU. A look-up-table activation needs a table on every NP.
MappingStatus check_supported_activation(const Layer& layer, const Mesh& mesh);

// The four CNP kinds. Each reports every broken rule of its kind.
MappingStatus check_conv2d_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_dwconv2d_constraints(const HardwareConstraints& constraints,
                                         const Layer& layer);
MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& constraints,
                                                const Layer& layer);
MappingStatus check_dwconv2dtranspose_constraints(const HardwareConstraints& constraints,
                                                  const Layer& layer);

// Rule groups shared by the CNP kinds.
MappingStatus check_cnp_limits(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_cnp_padding(const Layer& layer);
MappingStatus check_cnp_activation(const Layer& layer, bool allow_4bit_output);
// Throws std::bad_cast for a layer without convolution or pooling parameters.
MappingStatus check_cnp_pooling(const HardwareConstraints& constraints, const Layer& layer);

// An Add layer: its shifts, what follows it and what feeds it. A layer fed
// twice by the same layer reports only that.
MappingStatus check_add_constraints(const Layer& layer);

// --- Runs of layers -------------------------------------------------------------

// The rules over the run [begin, end) of the caller's layer list, which must
// not be empty. The first broken rule is reported.
MappingStatus check_layer_sequence(std::vector<std::shared_ptr<Layer>>::const_iterator begin,
                                   std::vector<std::shared_ptr<Layer>>::const_iterator end);
// What check_layer_sequence gives for each of the runs [begin, begin + 1),
// ..., [begin, end), in that order, found in one walk over the layers.
std::vector<MappingStatus> check_layer_sequence_prefixes(
    std::vector<std::shared_ptr<Layer>>::const_iterator begin,
    std::vector<std::shared_ptr<Layer>>::const_iterator end);

// --- Components of a layer ----------------------------------------------------

// The components chosen for a layer; `new_pass` when it starts a pass. The
// first broken rule is reported.
MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                   bool new_pass);

// --- Sizing predicates ----------------------------------------------------------

// 32-bit words of NP input SRAM that a (height x width x channels) input of
// `bits`-bit values needs on a CNP, or on a TNP-B with a FIFO of `fifo_depth`
// frames. Any other NP type throws std::runtime_error "Type of NP not
// supported.".
uint64_t sram_input_words(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                          uint32_t fifo_depth, uint8_t bits);

// Whether that input fits `capacity` words of which `reserved_words` are kept
// for other use. Reserved words beyond the capacity never fit.
bool is_sram_input_fit(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                       uint32_t fifo_depth, uint8_t bits, uint32_t reserved_words,
                       uint32_t capacity);

// Weight memory, in 100-bit words, that `filters` filters of a CNP or TNP-B
// layer need on one NP. Other kinds throw std::invalid_argument "Unexpected
// layer type for CNP or TNP-B.".
uint32_t get_weights_100b_size(const Layer& layer, uint32_t filters);

// Whether `filters` filters of the layer fit one NP's weight memory, the
// per-channel limit included.
bool is_weights_size_fit_np(const HardwareConstraints& constraints, const Layer& layer,
                            uint32_t filters);

// Kernel borders (0 on a TNP-B), pooling and filters of a layer for the split.
NpSplitParams np_split_params(hw::Type type, const LayerParams& params);

}  // namespace v2
}  // namespace vorna
