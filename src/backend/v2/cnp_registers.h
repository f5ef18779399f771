#pragma once

// Register files of the v2 NPs that run convolution kinds (CNPs) and
// buffered temporal convolutions (TNP-Bs): the words every such NP shares
// (bit widths, activation, kernel, split geometry, neuron range, merge-layer
// words), the CNP pooling word, and the complete files of the Conv2D,
// Conv2DTranspose, DepthwiseConv2D and DepthwiseConv2DTranspose kinds.
//
// Every routine edits a register file of 64 words owned by the caller and
// keeps the bits it does not name. A value too wide for its field panics
// "Attempted to write value <v> into a <w>-bit field, which will cause an
// overflow.".

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"
#include "corelib/types.h"
#include "program/register.h"

namespace vorna {

class NpSplitInterface;
struct MergeLayerMapInfo;

namespace v2 {

// Fields of the shared words. The word a field lies in is fixed by the
// writer: REG4_ fields are in word 3, REG5_ in word 4, REG8_ in word 8,
// REG9_ in word 9, REG11_ in word 11, CNP2_ in word 21, CNP3_ in word 22,
// CNP8_ in word 28.
inline constexpr RegDetail REG4_IB_CH_GRP_EN{10, 1};
inline constexpr RegDetail REG4_EN_ACT{15, 1};
inline constexpr RegDetail REG4_NP_NUM{16, 8};
inline constexpr RegDetail REG5_CPKSRAM_SIZE{0, 16};
inline constexpr RegDetail REG8_II_SIZE{0, 11};
inline constexpr RegDetail REG8_II_OFFSET{12, 3};
inline constexpr RegDetail REG8_JJ_SIZE{16, 11};
inline constexpr RegDetail REG8_JJ_OFFSET{28, 3};
inline constexpr RegDetail REG9_I_ORIG_CUT{0, 12};
inline constexpr RegDetail REG11_CHCONT_SIZE{12, 18};
inline constexpr RegDetail CNP2_TF_TOTAL{0, 11};
inline constexpr RegDetail CNP3_CH_ORIG_CUT{0, 12};
inline constexpr RegDetail CNP3_CH_SIZE_CUT{16, 10};
inline constexpr RegDetail CNP8_CPK_CHCONT_SIZE{16, 16};

// The register files of a layer's NPs, by NP ident.
using RegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;

// Words 1, 3, 4, 8, 9, 10, 11, 20, 24, 25 and 26 of one CNP or TNP-B, then,
// with `with_merge`, the merge-layer words. `components` are all the
// layer's components (their count is the NP count); `first_neuron` and
// `neurons` the range of this NP; `single_buffer` its placement's flag as
// stored. The split offsets must fit 3 signed bits ("%d cannot fit in a %d
// bits signed integer.").
void format_cnp_tnp_common_config_registers(
    std::vector<uint32_t>* regs, const NpSplitInterface& split, int kernel_size, int kernel_stride,
    ActivationType activation, uint32_t first_neuron, uint32_t neurons, uint8_t weights_bits,
    const std::vector<hw::Component>& components, bool single_buffer, bool transposed,
    uint8_t input_bits, uint8_t output_bits, const std::unique_ptr<MergeLayerMapInfo>& merge_info,
    const hw::Component* skipdma_load, const std::vector<hw::Component>& other_components,
    bool last_flag, bool with_merge);

// Merge-layer words 52 and 53 and, for a dual output, words 1, 47 and 48.
// Without merge information only word 52 bit 7 is set. A merge without a
// skip-DMA load component throws std::runtime_error "Skip DMA load should
// not be null."; a dual output without other components throws
// std::invalid_argument.
void format_merge_layer_registers(std::vector<uint32_t>* regs,
                                  const std::vector<hw::Component>& components,
                                  const std::unique_ptr<MergeLayerMapInfo>& merge_info,
                                  const hw::Component* skipdma_load,
                                  const std::vector<hw::Component>& other_components);

// Pooling word 27 of a CNP (and word 2 bit 8 for `extra_flag`). An edge bit
// is set when the NP's space touches that edge of the input and the matching
// padding value is positive.
void format_cnp_pooling_registers(std::vector<uint32_t>* regs, const Shape& input_shape,
                                  const NpSpace& space, uint8_t pool_size, uint8_t pool_stride,
                                  bool pool_flag, const PaddingParams& padding, bool extra_flag);

// The pooling record of a layer without pooling: strides 1, the given size,
// zero padding and flag. Always true.
bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height);

// 24-bit words of an input-shift block: eight 3-bit shifts per word.
uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift);

// The register files of every NP of a Conv2D, Conv2DTranspose,
// DepthwiseConv2D or DepthwiseConv2DTranspose layer. `layer_ptr` (may be
// null) is the layer whose mapping supplies the partial-reconfiguration
// words of an NP it shares; `skip_idents` lists NPs that get no entry;
// `registers_only` records the registers of NPs left unused (no merge-layer
// words); `last_flag` goes to word 1 bit 29. The layer must carry a
// LayerMapping whose components have placements (std::runtime_error naming
// the layer otherwise).
RegisterMap format_conv2d_registers(const Layer& layer, std::shared_ptr<Layer> layer_ptr,
                                    bool ib_spikes, bool pr_flag,
                                    const std::vector<hw::Ident>& skip_idents, bool registers_only,
                                    bool last_flag);
RegisterMap format_transposed_conv2d_registers(const Layer& layer, std::shared_ptr<Layer> layer_ptr,
                                               bool ib_spikes, bool pr_flag,
                                               const std::vector<hw::Ident>& skip_idents,
                                               bool registers_only, bool last_flag);
RegisterMap format_dwconv2d_registers(const Layer& layer, std::shared_ptr<Layer> layer_ptr,
                                      bool ib_spikes, bool pr_flag,
                                      const std::vector<hw::Ident>& skip_idents,
                                      bool registers_only, bool last_flag);
RegisterMap format_transposed_dwconv2d_registers(const Layer& layer,
                                                 std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
                                                 bool pr_flag,
                                                 const std::vector<hw::Ident>& skip_idents,
                                                 bool registers_only, bool last_flag);

}  // namespace v2
}  // namespace vorna
