#include "backend/mote/mote_placeholder.h"

#include <stdexcept>
#include <string>

#include "program/record.h"

namespace vorna::mote {

namespace {

[[noreturn]] void not_implemented(const char* what) {
    throw std::runtime_error(std::string("mote ") + what + " not implemented");
}

}  // namespace

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer&, const Layer*,
                                                                  const HwVersion&) const {
    not_implemented("check_layer_compatibility");
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerListIterator, LayerListIterator,
                                                             const HwVersion&) const {
    not_implemented("check_layer_sequence");
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer&,
                                                             const std::vector<hw::Component>&,
                                                             bool) const {
    not_implemented("check_layer_mappings");
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t,
                                                               uint32_t, uint32_t, uint8_t,
                                                               uint32_t) const {
    not_implemented("is_sram_input_fit_single_buffer");
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t,
                                                             uint32_t, uint8_t, uint32_t) const {
    not_implemented("is_sram_input_fit_dual_buffer");
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer&, uint32_t) const {
    not_implemented("is_weights_size_fit_np");
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, const LayerParams&) const {
    not_implemented("np_split_params");
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints&,
                                                    const Layer&) const {
    not_implemented("check_fnp3_sram_size");
}

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                                const std::shared_ptr<Layer>&) const {
    not_implemented("get_input_memory_size");
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>&,
                                                 const hw::Component&) const {
    not_implemented("get_weight_memory_size");
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>&,
                                                   const hw::Component&, bool, bool) const {
    not_implemented("get_external_memory_size");
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const std::shared_ptr<Layer>&) const {
    not_implemented("get_fsram_64b_memory_size");
}

uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const std::shared_ptr<Layer>&) const {
    not_implemented("get_tsram_51b_memory_size");
}

uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const std::shared_ptr<Layer>&) const {
    not_implemented("get_evsram_32b_memory_size");
}

uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const std::shared_ptr<Layer>&) const {
    not_implemented("get_stsram_32b_memory_size");
}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool, bool, bool, bool, bool,
                                                            const Shape&, const Shape&) const {
    not_implemented("record_scc");
}

std::vector<RegisterWrite> IoRecorderImpl::record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool,
                                                      bool, bool) const {
    not_implemented("record_epg");
}

fb::IoType IoRecorderImpl::get_input_type(const Layer&) const { not_implemented("get_input_type"); }

fb::IoType IoRecorderImpl::get_output_type(const Layer&, int8_t) const {
    not_implemented("get_output_type");
}

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer&, const Layer&,
                                                                 std::shared_ptr<Layer>, bool, bool,
                                                                 const std::vector<hw::Ident>&,
                                                                 bool, bool) const {
    not_implemented("record_layer");
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
    not_implemented("record_learning_layer");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
    not_implemented("sync_learning_vars");
}

}  // namespace vorna::mote
