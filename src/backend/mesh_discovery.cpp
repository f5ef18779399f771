#include "backend/mesh_discovery.h"

#include <algorithm>
#include <stdexcept>

#include "corelib/hardware_device.h"
#include "devices/hw_version.h"

namespace vorna {

namespace {

// Offsets of the layout registers from the IP register base.
constexpr uint32_t kMeshWord1 = 0x50;
constexpr uint32_t kMeshWord2 = 0x54;
constexpr uint32_t kMeshWord3 = 0x58;
constexpr uint32_t kSkipDma = 0x64;
constexpr uint32_t kHrc = 0x68;
constexpr uint32_t kSram0 = 0x70;
constexpr uint32_t kSram1 = 0x74;
constexpr uint32_t kSram2 = 0x78;
constexpr uint32_t kSram3 = 0x7C;

uint32_t bits(uint32_t word, unsigned low, unsigned width) {
    return (word >> low) & ((1u << width) - 1u);
}

uint32_t read_register(HardwareDriver& driver, uint32_t base, uint32_t offset) {
    uint32_t value = 0;
    driver.read(base + offset, &value, sizeof(value));
    return value;
}

bool is_tarn_v2(const HwVersion& v) {
    return v.vendor_id == 0xBC && v.product_id == 0x00 && v.major_rev == 0 && v.minor_rev == 2;
}

// The kinds an NP can take, from its configuration word.
std::set<hw::Type> np_types(uint32_t config, bool v2) {
    std::set<hw::Type> types;
    switch (bits(config, 4, 2)) {
        case 2:
            types.insert(hw::Type::FNP2);
            break;
        case 3:
            types.insert(hw::Type::FNP3);
            break;
        default:
            break;
    }
    switch (bits(config, 6, 2)) {
        case 1:
            types.insert(hw::Type::CNP1);
            break;
        case 2:
            types.insert(hw::Type::CNP1);
            types.insert(hw::Type::CNP2);
            break;
        default:
            break;
    }
    if (v2 && bits(config, 8, 1)) types.insert(hw::Type::TNP_B);
    if (v2 && bits(config, 9, 1)) types.insert(hw::Type::TNP_R);
    return types;
}

// Whether mesh position (col, row) holds NP `id`: the first rule that applies
// decides.
bool holds_np(const MeshInfo& m, uint32_t col, uint32_t row, uint32_t id) {
    if (row == m.dma_row && col == m.dma_col) {
        return !(m.dma_node_without_nps || id == m.dma_event_id || id == m.dma_conf_id);
    }
    if (row == m.extra_row && col == m.extra_col) return true;
    if (row == 1) {
        if (col < std::max(m.row1_first_col, 1u)) return false;
        if (m.rows > 1) return true;
    } else if (row == 2) {
        if (col < std::max(m.row2_first_col, 1u)) return false;
        if (row != m.rows) return true;
    } else if (row != m.rows) {
        return true;
    }
    // The last row ends at its last NP column.
    return col <= m.last_row_last_col;
}

}  // namespace

std::vector<np::Info> add_nps(const MeshInfo& info, HardwareDevice* device) {
    if (!device) throw std::invalid_argument("add_nps needs a hardware device.");
    const bool v2 = device->version().product_id == 0xA2;
    std::vector<np::Info> nps;
    for (uint32_t col = 1; col <= info.cols; ++col) {
        for (uint32_t row = 1; row <= info.rows; ++row) {
            for (uint32_t id = 0; id < info.nps_per_node; ++id) {
                if (!holds_np(info, col, row, id)) continue;
                const hw::Ident ident(static_cast<uint8_t>(col), static_cast<uint8_t>(row),
                                      static_cast<uint8_t>(id), 0);
                const uint32_t config = device->read_np_config(ident);
                // An NP without any kind bit is listed all the same.
                nps.emplace_back(ident, np_types(config, v2), bits(config, 10, 1) != 0);
            }
        }
    }
    return nps;
}

std::unique_ptr<Mesh> Mesh::discover(HardwareDevice* device) {
    if (!device) throw std::invalid_argument("Mesh discovery needs a hardware device.");
    const HwVersion version = device->version();
    HardwareDriver* driver = device->driver();
    if (!driver) throw std::runtime_error("Mesh discovery needs a device with a driver.");
    const uint32_t base = driver->ip_base_address();

    MeshInfo info;
    const uint32_t word1 = read_register(*driver, base, kMeshWord1);
    const uint32_t word2 = read_register(*driver, base, kMeshWord2);
    const uint32_t word3 = read_register(*driver, base, kMeshWord3);
    info.rows = bits(word1, 0, 8);
    info.cols = bits(word1, 8, 8);
    info.row1_first_col = bits(word1, 16, 8);
    info.row2_first_col = bits(word1, 24, 8);
    info.nps_per_node = bits(word2, 0, 3);
    info.dma_node_without_nps = bits(word2, 4, 1) != 0;
    info.dma_row = bits(word2, 8, 8);
    info.dma_col = bits(word2, 16, 8);
    info.dma_event_id = bits(word2, 24, 2);
    info.dma_conf_id = bits(word2, 28, 2);
    info.extra_row = bits(word3, 0, 8);
    info.extra_col = bits(word3, 8, 8);
    // This early version reports no last column: its last row is full.
    info.last_row_last_col = is_tarn_v2(version) ? info.cols : bits(word3, 24, 8);

    if (version.product_id == 0xA2) {
        const uint32_t hrc = read_register(*driver, base, kHrc);
        const uint32_t skip = read_register(*driver, base, kSkipDma);
        const uint32_t input_count = read_register(*driver, base, kSram0);
        const uint32_t weight_count = read_register(*driver, base, kSram1);
        // The HRC register is read a second time, as the hardware expects; its
        // value is not used.
        (void)read_register(*driver, base, kHrc);
        info.has_hrc = bits(hrc, 4, 1) != 0;
        info.hrc_has_lut = bits(hrc, 6, 1) != 0;
        info.skipdma_cols = bits(skip, 0, 16);
        info.skipdma_channel = bits(skip, 24, 8);
        if (input_count == 0 || weight_count == 0) {
            throw std::runtime_error("The mesh has no SRAM.");
        }
        // Counts of 32-bit and 100-bit words, in 16-byte units.
        info.input_bytes = (input_count * 32u) / 16u;
        info.weight_bytes = (weight_count * 100u) / 16u;
    } else if (version.product_id == 0xB1) {
        info.has_hrc = false;
        info.stsram_32b_size = read_register(*driver, base, kSram0);
        info.fsram_64b_size = read_register(*driver, base, kSram1);
        info.tsram_51b_size = read_register(*driver, base, kSram2);
        info.evsram_32b_size = read_register(*driver, base, kSram3);
    }

    const hw::Ident dma_event(static_cast<uint8_t>(info.dma_col),
                              static_cast<uint8_t>(info.dma_row),
                              static_cast<uint8_t>(info.dma_event_id), 0);
    const hw::Ident dma_conf(static_cast<uint8_t>(info.dma_col), static_cast<uint8_t>(info.dma_row),
                             static_cast<uint8_t>(info.dma_conf_id), 0);
    std::optional<np::Info> hrc;
    if (info.has_hrc) hrc = np::Info(hw::Ident(0, 0, 0, 0), {hw::Type::HRC}, info.hrc_has_lut);

    switch (device->version().product_id) {
        case 0xB1: {
            std::vector<np::Info> nps{np::Info(hw::Ident(0, 0, 0, 0), {hw::Type::TNP_R}, false)};
            auto mesh = std::make_unique<Mesh>(IpVersion::mote, dma_event, dma_conf, hrc,
                                               std::move(nps), std::vector<np::Info>{});
            mesh->np_sram_size.stsram_32b_size = info.stsram_32b_size;
            mesh->np_sram_size.fsram_64b_size = info.fsram_64b_size;
            mesh->np_sram_size.tsram_51b_size = info.tsram_51b_size;
            mesh->np_sram_size.evsram_32b_size = info.evsram_32b_size;
            return mesh;
        }
        case 0xA2: {
            std::vector<np::Info> nps = add_nps(info, device);
            std::vector<np::Info> skip_dmas;
            for (uint32_t k = 1; k <= 15; ++k) {
                if (!bits(info.skipdma_cols, k, 1)) continue;
                skip_dmas.emplace_back(
                    hw::Ident(static_cast<uint8_t>(k), 1, 3,
                              static_cast<uint8_t>(info.skipdma_channel)),
                    std::set<hw::Type>{hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false);
            }
            auto mesh = std::make_unique<Mesh>(IpVersion::v2, dma_event, dma_conf, hrc,
                                               std::move(nps), std::move(skip_dmas));
            mesh->np_sram_size.input_bytes = info.input_bytes;
            mesh->np_sram_size.weight_bytes = info.weight_bytes;
            return mesh;
        }
        case 0x00:
        case 0xA1: {
            std::vector<np::Info> nps = add_nps(info, device);
            return std::make_unique<Mesh>(IpVersion::v1, dma_event, dma_conf, hrc, std::move(nps),
                                          std::vector<np::Info>{});
        }
        default:
            throw std::runtime_error("Unknown IP version.");
    }
}

}  // namespace vorna
