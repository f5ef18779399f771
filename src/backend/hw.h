#pragma once

// The hardware model: how the back end names NPs and DMA endpoints, what kinds
// of work a unit can take, how large its memories are, and which unit a mapped
// layer was given. Plain value types with comparison and naming only.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "corelib/types.h"

namespace vorna {

class HardwareDevice;

// The IP generation of a device, derived from the product identifier of its
// hardware version.
enum class IpVersion : uint32_t {
    none = 0,
    v1 = 1,
    v2 = 2,
    mote = 3,
};

// 0x00 and 0xA1 give v1, 0xA2 v2, 0xB1 mote, anything else none.
IpVersion ip_version_from_product_id(uint8_t product_id);

// "v1", "v2", "mote"; "none" for any other value.
const char* ip_version_name(IpVersion version);

namespace hw {

// The kind of a hardware component.
enum class Type : uint32_t {
    None = 0,
    HRC = 1,
    CNP1 = 2,
    CNP2 = 3,
    FNP2 = 4,
    FNP3 = 5,
    SKIP_DMA_STORE = 6,
    TNP_B = 7,
    TNP_R = 8,
    SKIP_DMA_LOAD = 9,
    DMA = 10,
};

// The name of a type ("None" .. "DMA"); "Unknown" for any value above 10.
std::string to_string(Type type);

// The core library's component kind that corresponds to a hardware type:
// layers are always asked with these, never with hw::Type. Values outside
// the enumeration give TargetComponent::None.
TargetComponent to_target_component(Type type);

// Names one NP or DMA endpoint: mesh column, row, index at that position and
// the channel of a skip DMA (0 for NPs). The HRC is 0.0.0.0.
struct Ident {
    uint8_t col = 0;
    uint8_t row = 0;
    uint8_t id = 0;
    uint8_t channel = 0;

    constexpr Ident() = default;
    constexpr Ident(uint8_t col_, uint8_t row_, uint8_t id_, uint8_t channel_ = 0)
        : col(col_), row(row_), id(id_), channel(channel_) {}
};

constexpr bool operator==(const Ident& a, const Ident& b) {
    return a.col == b.col && a.row == b.row && a.id == b.id && a.channel == b.channel;
}
constexpr bool operator!=(const Ident& a, const Ident& b) { return !(a == b); }
// Lexicographic on col, row, id, channel.
constexpr bool operator<(const Ident& a, const Ident& b) {
    if (a.col != b.col) return a.col < b.col;
    if (a.row != b.row) return a.row < b.row;
    if (a.id != b.id) return a.id < b.id;
    return a.channel < b.channel;
}

}  // namespace hw

// The part of a layer's input one NP handles. x and y are signed so that the
// offset between a partition and its border-widened partition is a plain
// subtraction.
struct NpSpace {
    int32_t x = 0;
    int32_t y = 0;
    Shape shape;
};

// Equal when x, y, the dimension count and the used dimensions are equal.
bool operator==(const NpSpace& a, const NpSpace& b);
inline bool operator!=(const NpSpace& a, const NpSpace& b) { return !(a == b); }

// Memory a mapped layer needs on one component: three byte sizes, then the
// four mote SRAM sizes in words of the width in their name.
struct MemoryInfo {
    uint32_t input_size = 0;
    uint32_t weight_size = 0;
    uint32_t external_size = 0;
    uint32_t stsram_32b_size = 0;
    uint32_t fsram_64b_size = 0;
    uint32_t tsram_51b_size = 0;
    uint32_t evsram_32b_size = 0;
};

bool operator==(const MemoryInfo& a, const MemoryInfo& b);
inline bool operator!=(const MemoryInfo& a, const MemoryInfo& b) { return !(a == b); }

namespace hw {

// Where an NP component sits in its layer's work: the first output neuron
// (filter) and the number of filters it handles, the input region it
// computes, that region widened by the kernel borders (what it reads), and
// whether it runs with a single input buffer.
struct Placement {
    uint32_t start_neuron = 0;
    uint32_t filters = 0;
    NpSpace spatial_partition;
    NpSpace aux_partition;
    bool single_buffer = false;
};

// One hardware unit given to a layer. NP components made by the mapping
// engine always carry a placement; HRC and skip-DMA components never do.
struct Component {
    Type type = Type::None;
    Ident ident;
    std::optional<Placement> placement;
    MemoryInfo mem_info;

    Component() = default;
    Component(Type type_, const Ident& ident_, std::optional<Placement> placement_ = std::nullopt,
              const MemoryInfo& mem_info_ = MemoryInfo{})
        : type(type_), ident(ident_), placement(std::move(placement_)), mem_info(mem_info_) {}

    // Present only with a placement.
    std::optional<uint32_t> filters() const;
    std::optional<uint32_t> start_neuron() const;
    std::optional<NpSpace> spatial_partition() const;
    // True without a placement or when the placement's flag is set.
    bool single_buffer() const;
};

// Type, ident, presence of the placement and, when both have one, start
// neuron, filters and both NP spaces, then the memory sizes. The
// single-buffer flag takes no part.
bool operator==(const Component& a, const Component& b);
inline bool operator!=(const Component& a, const Component& b) { return !(a == b); }

}  // namespace hw

namespace np {

// One unit of a mesh: its ident, every kind it can be configured as, and
// whether it has an activation look-up table.
struct Info {
    hw::Ident ident;
    std::set<hw::Type> types;
    bool has_lut = false;

    Info() = default;
    Info(const hw::Ident& ident_, std::set<hw::Type> types_, bool has_lut_ = false)
        : ident(ident_), types(std::move(types_)), has_lut(has_lut_) {}
};

bool operator==(const Info& a, const Info& b);
inline bool operator!=(const Info& a, const Info& b) { return !(a == b); }

}  // namespace np

// NP memory sizes of a mesh: input and weight memory in bytes (v1, v2), and
// the four mote SRAMs in words of the width in their name.
struct SramSize {
    uint32_t input_bytes = 0;
    uint32_t weight_bytes = 0;
    uint32_t stsram_32b_size = 0;
    uint32_t fsram_64b_size = 0;
    uint32_t tsram_51b_size = 0;
    uint32_t evsram_32b_size = 0;
};

constexpr bool operator==(const SramSize& a, const SramSize& b) {
    return a.input_bytes == b.input_bytes && a.weight_bytes == b.weight_bytes &&
           a.stsram_32b_size == b.stsram_32b_size && a.fsram_64b_size == b.fsram_64b_size &&
           a.tsram_51b_size == b.tsram_51b_size && a.evsram_32b_size == b.evsram_32b_size;
}
constexpr bool operator!=(const SramSize& a, const SramSize& b) { return !(a == b); }

// The SRAM sizes of each IP version.
inline constexpr SramSize SramSize_v1{43008, 44800, 0, 0, 0, 0};
inline constexpr SramSize SramSize_v2{65536, 51200, 0, 0, 0, 0};
inline constexpr SramSize SramSize_mote{0, 0, 448, 8192, 892, 256};

// The preset of an IP version; null for IpVersion::none or an unknown value.
const SramSize* sram_size_preset(IpVersion version);

// The NP layout of one device. Owned by its device; the back end only reads it.
struct Mesh {
    IpVersion ip_version;
    hw::Ident dma_event;
    hw::Ident dma_conf;
    std::optional<np::Info> hrc;
    std::vector<np::Info> nps;
    std::vector<np::Info> skip_dmas;
    SramSize np_sram_size;

    // Takes over the three containers and sets np_sram_size to the preset of
    // the IP version. Throws std::runtime_error "The mesh should have a valid
    // IP version." for any version other than v1, v2 or mote.
    Mesh(IpVersion ip_version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
         std::optional<np::Info> hrc, std::vector<np::Info> nps, std::vector<np::Info> skip_dmas);

    // Reads the NP layout of a hardware device from its IP registers.
    static std::unique_ptr<Mesh> discover(HardwareDevice* device);

    // False when there is an HRC without a look-up table; otherwise true when
    // every NP has one (true for no NPs). Skip DMAs are not considered.
    bool has_lut_on_all_nps() const;
};

// Every field compared: IP version, endpoints, HRC, NPs and skip DMAs in
// order, SRAM sizes.
bool operator==(const Mesh& a, const Mesh& b);
inline bool operator!=(const Mesh& a, const Mesh& b) { return !(a == b); }

}  // namespace vorna
