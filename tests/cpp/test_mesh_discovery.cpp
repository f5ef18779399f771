#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
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

// "col.row.id" of every NP, space separated.
std::string ids(const std::vector<np::Info>& nps) {
    std::string out;
    for (const auto& np : nps) {
        out += (out.empty() ? "" : " ") + std::to_string(np.ident.col) + "." +
               std::to_string(np.ident.row) + "." + std::to_string(np.ident.id);
    }
    return out;
}

TEST(MeshDiscovery, V1Products) {
    for (HwVersion version : {Tarn_v1, Gemel_v1}) {
        SCOPED_TRACE(hw_version_to_string(version));
        FakeDriver driver;
        v2_layout(driver);
        driver.registers[0x54] = mesh_word2(2, true, 1, 1, 0, 1);  // the DMA position holds none
        FakeHardwareDevice device(version, &driver);
        device.default_config = 0x780;  // TNP bits mean nothing on v1
        const auto mesh = Mesh::discover(&device);
        EXPECT_EQ(driver.reads, (std::vector<uint32_t>{0x50, 0x54, 0x58}));
        EXPECT_EQ(mesh->ip_version, IpVersion::v1);
        ASSERT_TRUE(mesh->hrc.has_value());
        EXPECT_FALSE(mesh->hrc->has_lut);  // a v1 HRC never has one
        EXPECT_TRUE(mesh->skip_dmas.empty());
        EXPECT_EQ(mesh->np_sram_size, SramSize_v1);
        EXPECT_EQ(ids(mesh->nps), "1.2.0 1.2.1 2.1.0 2.1.1 2.2.0 2.2.1 3.1.0 3.1.1");
        EXPECT_EQ(mesh->nps[0],
                  np::Info(hw::Ident(1, 2, 0), {hw::Type::CNP1, hw::Type::CNP2}, true));
    }
}

Mesh layout(HwVersion version, uint32_t w1, uint32_t w2, uint32_t w3) {
    FakeDriver driver;
    driver.registers[0x50] = w1;
    driver.registers[0x54] = w2;
    driver.registers[0x58] = w3;
    FakeHardwareDevice device(version, &driver);
    return *Mesh::discover(&device);
}

TEST(MeshDiscovery, PositionRules) {
    // Word 3 says the last row ends at column 1; BC.00.00.02 ignores it and
    // fills the row up to the column count.
    const uint32_t w1 = mesh_word1(2, 3, 1, 1), w2 = mesh_word2(1, true, 1, 1, 0, 1);
    EXPECT_EQ(ids(layout(Tarn_v2, w1, w2, mesh_word3(0, 0, 1)).nps),
              "1.2.0 2.1.0 2.2.0 3.1.0 3.2.0");
    EXPECT_EQ(ids(layout(Tarn_v1, w1, w2, mesh_word3(0, 0, 1)).nps), "1.2.0 2.1.0 3.1.0");
    // Row 1 starts at column 2, row 2 at column 3, the last row ends at
    // column 2, and the extra position (row 3, column 4) always holds an NP.
    EXPECT_EQ(ids(layout(XVR2200_v1, mesh_word1(3, 4, 2, 3), w2, mesh_word3(3, 4, 2)).nps),
              "1.3.0 2.1.0 2.3.0 3.1.0 3.2.0 4.1.0 4.2.0 4.3.0");
    // A single row is also the last row.
    EXPECT_EQ(ids(layout(XVR2200_v1, mesh_word1(1, 3, 2, 0), mesh_word2(1, true, 9, 9, 0, 1),
                         mesh_word3(0, 0, 2))
                      .nps),
              "2.1.0");
}

TEST(MeshDiscovery, MoteAndUnknownProducts) {
    FakeDriver driver;
    v2_layout(driver);
    driver.registers[0x70] = 100;
    driver.registers[0x74] = 200;
    driver.registers[0x78] = 300;
    driver.registers[0x7C] = 400;
    FakeHardwareDevice device(Mote_Selvo, &driver);
    const auto mesh = Mesh::discover(&device);
    EXPECT_EQ(driver.reads, (std::vector<uint32_t>{0x50, 0x54, 0x58, 0x70, 0x74, 0x78, 0x7C}));
    EXPECT_EQ(mesh->ip_version, IpVersion::mote);
    EXPECT_FALSE(mesh->hrc.has_value());
    EXPECT_EQ(mesh->nps,
              (std::vector<np::Info>{np::Info(hw::Ident(0, 0, 0, 0), {hw::Type::TNP_R}, false)}));
    EXPECT_TRUE(mesh->skip_dmas.empty());
    EXPECT_TRUE(device.config_reads.empty());
    EXPECT_EQ(mesh->np_sram_size, (SramSize{0, 0, 100, 200, 300, 400}));

    FakeHardwareDevice unknown(HwVersion{0xBC, 0xA3, 1, 0}, &driver);
    EXPECT_EQ(runtime_error_text([&] { Mesh::discover(&unknown); }), "Unknown IP version.");
    EXPECT_THROW(Mesh::discover(nullptr), std::invalid_argument);
    FakeHardwareDevice no_driver(Selvo_v2, nullptr);
    EXPECT_THROW(Mesh::discover(&no_driver), std::runtime_error);
}

}  // namespace
}  // namespace vorna
