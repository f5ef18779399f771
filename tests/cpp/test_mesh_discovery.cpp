// Mesh discovery from the IP registers of a hardware device: the register
// map, which positions hold NPs, the NP kinds and the refusals.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "backend/mesh_discovery.h"
#include "corelib/hardware_device.h"
#include "devices/hw_version.h"
#include "test_support.h"

namespace vorna {
namespace {

using test_support::runtime_error_text;

constexpr uint32_t kBase = 0x40000000;

// A register map that logs the offsets it is read at.
class FakeDriver : public HardwareDriver {
  public:
    void read(uint32_t address, void* buffer, size_t length) override {
        reads.push_back(address - kBase);
        uint32_t value = 0;
        const auto it = registers.find(address - kBase);
        if (it != registers.end()) value = it->second;
        std::memcpy(buffer, &value, std::min(length, sizeof(value)));
    }
    void write(uint32_t, const void*, size_t) override {}
    uint32_t ip_base_address() const override { return kBase; }

    std::map<uint32_t, uint32_t> registers;  // by offset from the base
    std::vector<uint32_t> reads;
};

// A hardware device with a fixed version and NP configuration words.
class FakeHardwareDevice : public HardwareDevice {
  public:
    FakeHardwareDevice(HwVersion version, FakeDriver* driver)
        : version_(version), driver_(driver) {}
    HwVersion version() const override { return version_; }
    HardwareDriver* driver() const override { return driver_; }
    uint32_t read_np_config(const hw::Ident& ident) const override {
        config_reads.push_back(ident);
        const auto it = configs.find(ident);
        return it == configs.end() ? default_config : it->second;
    }

    std::map<hw::Ident, uint32_t> configs;
    uint32_t default_config = 0x480;  // CNP1 and CNP2, with a look-up table
    mutable std::vector<hw::Ident> config_reads;

  private:
    HwVersion version_;
    FakeDriver* driver_;
};

uint32_t mesh_word1(uint32_t rows, uint32_t cols, uint32_t row1_first, uint32_t row2_first) {
    return rows | cols << 8 | row1_first << 16 | row2_first << 24;
}

uint32_t mesh_word2(uint32_t nps, bool dma_without_nps, uint32_t dma_row, uint32_t dma_col,
                    uint32_t event_id, uint32_t conf_id) {
    return nps | (dma_without_nps ? 1u : 0u) << 4 | dma_row << 8 | dma_col << 16 | event_id << 24 |
           conf_id << 28;
}

uint32_t mesh_word3(uint32_t extra_row, uint32_t extra_col, uint32_t last_row_last_col) {
    return extra_row | extra_col << 8 | last_row_last_col << 24;
}

// Two rows, three columns, four NPs per position; the DMA position (1, 1)
// keeps the NPs other than its two endpoint ids; the last row ends at
// column 2.
void v2_layout(FakeDriver& d) {
    d.registers[0x50] = mesh_word1(2, 3, 1, 1);
    d.registers[0x54] = mesh_word2(4, false, 1, 1, 0, 1);
    d.registers[0x58] = mesh_word3(0, 0, 2);
    d.registers[0x68] = 0x50;        // HRC with a look-up table
    d.registers[0x64] = 0x04000006;  // skip DMAs in columns 1 and 2, 4 channels
    d.registers[0x70] = 0x8000;
    d.registers[0x74] = 0x2000;
}

std::vector<hw::Ident> idents(const std::vector<np::Info>& nps) {
    std::vector<hw::Ident> out;
    for (const auto& np : nps) out.push_back(np.ident);
    return out;
}

TEST(MeshDiscovery, V2RegisterMap) {
    FakeDriver driver;
    v2_layout(driver);
    FakeHardwareDevice device(Selvo_v2, &driver);
    device.configs[hw::Ident(2, 1, 2)] = 0x180;  // CNPs and TNP_B
    device.configs[hw::Ident(2, 2, 0)] = 0x2C0;  // TNP_R; CNP field 3 is neither
    device.configs[hw::Ident(3, 1, 0)] = 0x070;  // FNP3 beside CNP1
    device.configs[hw::Ident(3, 1, 1)] = 0x420;  // FNP2 with a table
    device.configs[hw::Ident(3, 1, 2)] = 0x010;  // no kind at all
    device.configs[hw::Ident(3, 1, 3)] = 0x040;  // CNP1 only

    const auto mesh = Mesh::discover(&device);
    EXPECT_EQ(driver.reads,
              (std::vector<uint32_t>{0x50, 0x54, 0x58, 0x68, 0x64, 0x70, 0x74, 0x68}));
    EXPECT_EQ(mesh->ip_version, IpVersion::v2);
    EXPECT_EQ(mesh->dma_event, hw::Ident(1, 1, 0, 0));
    EXPECT_EQ(mesh->dma_conf, hw::Ident(1, 1, 1, 0));
    ASSERT_TRUE(mesh->hrc.has_value());
    EXPECT_EQ(*mesh->hrc, np::Info(hw::Ident(0, 0, 0, 0), {hw::Type::HRC}, true));
    EXPECT_EQ(mesh->np_sram_size, SramSize_v2);  // 0x8000 * 32 / 16 and 0x2000 * 100 / 16

    const std::vector<hw::Ident> expected{
        {1, 1, 2}, {1, 1, 3},                        // DMA position without its endpoints
        {1, 2, 0}, {1, 2, 1}, {1, 2, 2}, {1, 2, 3},  // last row, column 1
        {2, 1, 0}, {2, 1, 1}, {2, 1, 2}, {2, 1, 3},  //
        {2, 2, 0}, {2, 2, 1}, {2, 2, 2}, {2, 2, 3},  // last row ends at column 2
        {3, 1, 0}, {3, 1, 1}, {3, 1, 2}, {3, 1, 3}};
    EXPECT_EQ(idents(mesh->nps), expected);
    EXPECT_EQ(device.config_reads, expected);  // one configuration read per NP, in order

    const std::set<hw::Type> cnps{hw::Type::CNP1, hw::Type::CNP2};
    EXPECT_EQ(mesh->nps[0], np::Info(hw::Ident(1, 1, 2), cnps, true));
    EXPECT_EQ(mesh->nps[8].types,
              (std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2, hw::Type::TNP_B}));
    EXPECT_EQ(mesh->nps[10].types, std::set<hw::Type>{hw::Type::TNP_R});
    EXPECT_EQ(mesh->nps[14], np::Info(hw::Ident(3, 1, 0), {hw::Type::FNP3, hw::Type::CNP1}, false));
    EXPECT_EQ(mesh->nps[15], np::Info(hw::Ident(3, 1, 1), {hw::Type::FNP2}, true));
    EXPECT_TRUE(mesh->nps[16].types.empty());  // listed all the same
    EXPECT_EQ(mesh->nps[17].types, std::set<hw::Type>{hw::Type::CNP1});

    const std::set<hw::Type> skip{hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD};
    EXPECT_EQ(mesh->skip_dmas, (std::vector<np::Info>{{hw::Ident(1, 1, 3, 4), skip, false},
                                                      {hw::Ident(2, 1, 3, 4), skip, false}}));
}

TEST(MeshDiscovery, MiddleRowsOfTallMeshes) {
    // Four rows and three columns, one NP per position: row 1 starts at
    // column 2, row 2 at column 3, the last row ends at column 1, and rows
    // other than the first two and the last hold an NP at every column.
    FakeDriver driver;
    driver.registers[0x50] = mesh_word1(4, 3, 2, 3);
    driver.registers[0x54] = mesh_word2(1, true, 9, 9, 0, 1);
    driver.registers[0x58] = mesh_word3(0, 0, 1);
    FakeHardwareDevice device(XVR2200_v1, &driver);
    EXPECT_EQ(idents(Mesh::discover(&device)->nps),
              (std::vector<hw::Ident>{
                  {1, 3, 0}, {1, 4, 0}, {2, 1, 0}, {2, 3, 0}, {3, 1, 0}, {3, 2, 0}, {3, 3, 0}}));
}

TEST(MeshDiscovery, MoteHasOneRecurrentNpAndFourWordSizes) {
    FakeDriver driver;
    driver.registers[0x50] = mesh_word1(2, 3, 1, 1);  // the layout is not looked at
    driver.registers[0x54] = mesh_word2(4, false, 1, 2, 3, 1);
    driver.registers[0x70] = 11;
    driver.registers[0x74] = 22;
    driver.registers[0x78] = 33;
    driver.registers[0x7C] = 44;
    FakeHardwareDevice device(Mote_Selvo, &driver);
    const auto mesh = Mesh::discover(&device);
    EXPECT_EQ(driver.reads, (std::vector<uint32_t>{0x50, 0x54, 0x58, 0x70, 0x74, 0x78, 0x7C}));
    EXPECT_TRUE(device.config_reads.empty());
    EXPECT_EQ(mesh->ip_version, IpVersion::mote);
    EXPECT_EQ(mesh->dma_event, hw::Ident(2, 1, 3, 0));
    EXPECT_EQ(mesh->dma_conf, hw::Ident(2, 1, 1, 0));
    EXPECT_FALSE(mesh->hrc.has_value());
    EXPECT_EQ(mesh->nps,
              (std::vector<np::Info>{{hw::Ident(0, 0, 0, 0), {hw::Type::TNP_R}, false}}));
    EXPECT_TRUE(mesh->skip_dmas.empty());
    SramSize sizes;
    sizes.stsram_32b_size = 11;
    sizes.fsram_64b_size = 22;
    sizes.tsram_51b_size = 33;
    sizes.evsram_32b_size = 44;
    EXPECT_EQ(mesh->np_sram_size, sizes);
}

TEST(MeshDiscovery, Refusals) {
    // A zero input or weight SRAM count on v2, after all six reads.
    for (uint32_t reg : {0x70u, 0x74u}) {
        FakeDriver driver;
        v2_layout(driver);
        driver.registers[reg] = 0;
        FakeHardwareDevice device(Selvo_v2, &driver);
        EXPECT_EQ(runtime_error_text([&] { Mesh::discover(&device); }), "The mesh has no SRAM.");
        EXPECT_EQ(driver.reads,
                  (std::vector<uint32_t>{0x50, 0x54, 0x58, 0x68, 0x64, 0x70, 0x74, 0x68}));
    }
    // A product of no IP version reads the three mesh words only.
    for (uint8_t product : {0x01, 0xA0, 0xA3, 0xB0, 0xB2}) {
        FakeDriver driver;
        v2_layout(driver);
        FakeHardwareDevice device(HwVersion{0xBC, product, 1, 0}, &driver);
        EXPECT_EQ(runtime_error_text([&] { Mesh::discover(&device); }), "Unknown IP version.")
            << int(product);
        EXPECT_EQ(driver.reads, (std::vector<uint32_t>{0x50, 0x54, 0x58}));
        EXPECT_TRUE(device.config_reads.empty());
    }
}

}  // namespace
}  // namespace vorna
