#pragma once

// Placeholder v1 back end: the classes the back-end bundle creates for v1
// devices. Until the v1 back end is written, every operation throws a
// runtime error "... not implemented" so that nothing maps silently.

#include "backend/interfaces.h"

namespace vorna::v1 {

class CompatibilityCheckerImpl : public CompatibilityChecker {
public:
    using CompatibilityChecker::CompatibilityChecker;
    MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                            const HwVersion& version) const override;
    MappingStatus check_layer_sequence(LayerListIterator begin, LayerListIterator end,
                                       const HwVersion& version) const override;
    MappingStatus check_layer_mappings(const Layer& layer,
                                       const std::vector<hw::Component>& components,
                                       bool new_pass) const override;
    bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                         uint32_t channels, uint32_t fifo_depth, uint8_t bits,
                                         uint32_t reserved_words) const override;
    bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_depth, uint8_t bits,
                                       uint32_t reserved_words) const override;
    bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
    NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
    bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                              const Layer& layer) const override;
};

class MemorySizerImpl : public MemorySizer {
public:
    uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer,
                                   const hw::Component& component,
                                   const std::shared_ptr<Layer>& first_layer) const override;
    uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                    const hw::Component& component) const override;
    uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                      const hw::Component& component, bool dual_output,
                                      bool multipass) const override;
    uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const override;
    uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const override;
    uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
    uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
};

class IoRecorderImpl : public IoRecorder {
public:
    using IoRecorder::IoRecorder;
    std::unique_ptr<program::Record> record_scc(bool first_hrc, bool flag1, bool flag2, bool flag3,
                                                bool small_output, const Shape& input,
                                                const Shape& output) const override;
    std::vector<RegisterWrite> record_epg(const Layer& last_layer, uint8_t lowest, uint8_t highest,
                                          uint8_t count, bool last_hrc, bool flag1,
                                          bool flag2) const override;
    fb::IoType get_input_type(const Layer& first_layer) const override;
    fb::IoType get_output_type(const Layer& last_layer, int8_t input_type) const override;
};

class LayerRecorderImpl : public LayerRecorder {
public:
    using LayerRecorder::LayerRecorder;
    std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& second_layer,
                                                  std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
                                                  bool pr_flag, const std::vector<hw::Ident>& nps,
                                                  bool registers_only,
                                                  bool last_flag) const override;
    program::LearnRecordsPtr record_learning_layer(const Layer& layer,
                                                   bool starts_pass) const override;
    void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
};

}  // namespace vorna::v1
