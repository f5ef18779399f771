#include "backend/hw.h"

#include <stdexcept>

namespace vorna {

IpVersion ip_version_from_product_id(uint8_t product_id) {
    switch (product_id) {
        case 0x00:
        case 0xA1:
            return IpVersion::v1;
        case 0xA2:
            return IpVersion::v2;
        case 0xB1:
            return IpVersion::mote;
        default:
            return IpVersion::none;
    }
}

const char* ip_version_name(IpVersion version) {
    switch (version) {
        case IpVersion::v1:
            return "v1";
        case IpVersion::v2:
            return "v2";
        case IpVersion::mote:
            return "mote";
        default:
            return "none";
    }
}

namespace hw {

namespace {

struct TypeEntry {
    const char* name;
    TargetComponent target;
};

// Indexed by the value of hw::Type.
constexpr TypeEntry kTypes[] = {
    {"None", TargetComponent::None},
    {"HRC", TargetComponent::HRC},
    {"CNP1", TargetComponent::CNP},
    {"CNP2", TargetComponent::CNP},
    {"FNP2", TargetComponent::FNP},
    {"FNP3", TargetComponent::FNP},
    {"SKIP_DMA_STORE", TargetComponent::SkipDMA},
    {"TNP_B", TargetComponent::TNP_B},
    {"TNP_R", TargetComponent::TNP_R},
    {"SKIP_DMA_LOAD", TargetComponent::SkipDMA},
    {"DMA", TargetComponent::DMA},
};
constexpr uint32_t kTypeCount = sizeof(kTypes) / sizeof(kTypes[0]);

}  // namespace

std::string to_string(Type type) {
    const auto value = static_cast<uint32_t>(type);
    return value < kTypeCount ? kTypes[value].name : "Unknown";
}

TargetComponent to_target_component(Type type) {
    const auto value = static_cast<uint32_t>(type);
    return value < kTypeCount ? kTypes[value].target : TargetComponent::None;
}

std::optional<uint32_t> Component::filters() const {
    if (!placement) return std::nullopt;
    return placement->filters;
}

std::optional<uint32_t> Component::start_neuron() const {
    if (!placement) return std::nullopt;
    return placement->start_neuron;
}

std::optional<NpSpace> Component::spatial_partition() const {
    if (!placement) return std::nullopt;
    return placement->spatial_partition;
}

bool Component::single_buffer() const { return !placement || placement->single_buffer; }

bool operator==(const Component& a, const Component& b) {
    if (a.type != b.type || a.ident != b.ident) return false;
    if (a.placement.has_value() != b.placement.has_value()) return false;
    if (a.placement) {
        const Placement& p = *a.placement;
        const Placement& q = *b.placement;
        if (p.start_neuron != q.start_neuron || p.filters != q.filters ||
            p.spatial_partition != q.spatial_partition || p.aux_partition != q.aux_partition) {
            return false;
        }
    }
    return a.mem_info == b.mem_info;
}

}  // namespace hw

bool operator==(const NpSpace& a, const NpSpace& b) {
    if (a.x != b.x || a.y != b.y || a.shape.count != b.shape.count) return false;
    for (uint32_t i = 0; i < a.shape.count && i < Shape::MAX_DIMS; ++i) {
        if (a.shape.dims[i] != b.shape.dims[i]) return false;
    }
    return true;
}

bool operator==(const MemoryInfo& a, const MemoryInfo& b) {
    return a.input_size == b.input_size && a.weight_size == b.weight_size &&
           a.external_size == b.external_size && a.stsram_32b_size == b.stsram_32b_size &&
           a.fsram_64b_size == b.fsram_64b_size && a.tsram_51b_size == b.tsram_51b_size &&
           a.evsram_32b_size == b.evsram_32b_size;
}

namespace np {

bool operator==(const Info& a, const Info& b) {
    return a.ident == b.ident && a.types == b.types && a.has_lut == b.has_lut;
}

}  // namespace np

const SramSize* sram_size_preset(IpVersion version) {
    switch (version) {
        case IpVersion::v1:
            return &SramSize_v1;
        case IpVersion::v2:
            return &SramSize_v2;
        case IpVersion::mote:
            return &SramSize_mote;
        default:
            return nullptr;
    }
}

namespace {

const SramSize& checked_preset(IpVersion version) {
    const SramSize* preset = sram_size_preset(version);
    if (preset == nullptr) throw std::runtime_error("The mesh should have a valid IP version.");
    return *preset;
}

}  // namespace

Mesh::Mesh(IpVersion ip_version_, const hw::Ident& dma_event_, const hw::Ident& dma_conf_,
           std::optional<np::Info> hrc_, std::vector<np::Info> nps_,
           std::vector<np::Info> skip_dmas_)
    : ip_version(ip_version_),
      dma_event(dma_event_),
      dma_conf(dma_conf_),
      hrc(std::move(hrc_)),
      nps(std::move(nps_)),
      skip_dmas(std::move(skip_dmas_)),
      np_sram_size(checked_preset(ip_version_)) {}

bool Mesh::has_lut_on_all_nps() const {
    if (hrc && !hrc->has_lut) return false;
    for (const np::Info& np : nps) {
        if (!np.has_lut) return false;
    }
    return true;
}

bool operator==(const Mesh& a, const Mesh& b) {
    return a.ip_version == b.ip_version && a.dma_event == b.dma_event && a.dma_conf == b.dma_conf &&
           a.hrc == b.hrc && a.nps == b.nps && a.skip_dmas == b.skip_dmas &&
           a.np_sram_size == b.np_sram_size;
}

}  // namespace vorna
