#pragma once

// The v1 mapping rules that do not need the checker's state: the input
// convolution (HRC) rules, the CNP and FNP rules shared by the layer kinds,
// the layer-sequence rule and the rules on a layer's components. Each rule
// that fails becomes a failed MappingStatus naming the layer; statuses of
// several rules are added up, their messages joined by one space.

#include <cstdint>
#include <string>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "backend/interfaces.h"
#include "backend/mapping_status.h"
#include "corelib/layer.h"
#include "devices/hw_version.h"

namespace vorna::v1 {

// Failed status for `layer` with `message`.
MappingStatus make_layer_status_error(const Layer& layer, const std::string& message);

// The version that v1 refuses outright (vendor 0xBC, product 0x00, revision
// 0.1) and the one with the smaller FNP input and no 3 x 3 max pooling
// (revision 0.2).
bool is_tarn_v1(const HwVersion& version);
bool is_tarn_v2(const HwVersion& version);

// Input convolution rules, every failing rule reported.
MappingStatus check_input_conv_constraints(const Layer& layer);

// Input size limits: width and height 4096, channels 2048.
MappingStatus check_cnp_input_dims(const Layer& layer, uint32_t width, uint32_t height,
                                   uint32_t channels);

// Rules shared by Convolutional and SeparableConvolutional layers.
MappingStatus check_cnp_common_constraints(const Layer& layer, const ConvCalculatedParams& conv,
                                           const PoolingCalculatedParams& pool,
                                           const HwVersion& version);

// Fails when every byte of the tensor is 0. The tensor must be one of the
// signed 8-bit storage types (int8, int4, int2, bit).
MappingStatus check_sep_cnp_weights_nonzero(const Layer& layer, const Dense& weights);

// The whole Convolutional and SeparableConvolutional checks. The layer must
// be of the matching class (std::bad_cast otherwise) and built.
MappingStatus check_std_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                        const HwVersion& version);
MappingStatus check_sep_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                        const HwVersion& version);

// FullyConnected rules on input, bit widths and input memory.
MappingStatus check_fnp_common_constraints(const HardwareConstraints& constraints,
                                           const Layer& layer, const HwVersion& version);
// The whole FullyConnected check: the common rules, then the weight range and,
// for a layer that learns, the number of non-zero weights per neuron.
MappingStatus check_fnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                    const HwVersion& version);

// A max-pooling CNP layer must feed another CNP layer of the run, and cannot
// end the run.
MappingStatus check_layer_sequence_rules(LayerListIterator begin, LayerListIterator end);
// What check_layer_sequence_rules gives for each of the runs [begin, begin + 1),
// ..., [begin, end), in that order, found in one walk over the layers.
std::vector<MappingStatus> check_layer_sequence_rules_prefixes(LayerListIterator begin,
                                                               LayerListIterator end);

// Rules on the components given to a layer.
MappingStatus check_layer_mappings_rules(const Layer& layer,
                                         const std::vector<hw::Component>& components,
                                         const HwVersion& version);
MappingStatus check_std_cnp_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components,
                                     const HwVersion& version);
MappingStatus check_sep_cnp_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components);
MappingStatus check_pooling_split(const Layer& layer, const std::vector<hw::Component>& components);

}  // namespace vorna::v1
