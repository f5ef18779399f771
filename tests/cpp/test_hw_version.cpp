#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "devices/hw_version.h"
#include "devices/virtual_device.h"

namespace {

using vorna::HwVersion;
using vorna::IpVersion;
using vorna::Mesh;
using vorna::hw::Ident;
using vorna::hw::Type;
using vorna::np::Info;

TEST(HwVersion, KnownVersionsAndTexts) {
    struct Case {
        HwVersion version;
        const char* python_text;
        const char* decimal_text;
        IpVersion ip;
    };
    const Case cases[] = {
        {vorna::Tarn_v1, "BC.00.000.001", "188.0.0.1", IpVersion::v1},
        {vorna::Tarn_v2, "BC.00.000.002", "188.0.0.2", IpVersion::v1},
        {vorna::Gemel_v1, "BC.A1.003.006", "188.161.3.6", IpVersion::v1},
        {vorna::XVR2200_v1, "BC.A1.003.009", "188.161.3.9", IpVersion::v1},
        {vorna::Selvo_v2, "BC.A2.001.000", "188.162.1.0", IpVersion::v2},
        {vorna::Mote_Selvo, "BC.B1.001.000", "188.177.1.0", IpVersion::mote},
        {{0x0A, 0x0B, 7, 7}, "0A.0B.007.007", "10.11.7.7", IpVersion::none},
        {{0xFF, 0xFF, 255, 255}, "FF.FF.255.255", "255.255.255.255", IpVersion::none},
        {{0, 0, 0, 0}, "00.00.000.000", "0.0.0.0", IpVersion::v1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vorna::hw_version_to_string(c.version), c.python_text);
        EXPECT_EQ(c.version.to_string(), c.decimal_text);
        EXPECT_EQ(c.version.get_ip_version(), c.ip) << c.python_text;
    }
}

TEST(HwVersion, IpVersionFromProductIdOnly) {
    struct Case {
        uint8_t product;
        IpVersion ip;
    };
    const Case cases[] = {
        {0x00, IpVersion::v1},   {0xA1, IpVersion::v1},   {0xA2, IpVersion::v2},
        {0xB1, IpVersion::mote}, {0xA0, IpVersion::none}, {0xA3, IpVersion::none},
        {0xB0, IpVersion::none}, {0xB2, IpVersion::none}, {0x01, IpVersion::none},
    };
    for (const auto& c : cases) {
        // The other three bytes never matter.
        EXPECT_EQ((HwVersion{0xBC, c.product, 1, 0}.get_ip_version()), c.ip) << int(c.product);
        EXPECT_EQ((HwVersion{0x00, c.product, 9, 9}.get_ip_version()), c.ip) << int(c.product);
    }
}

TEST(HwVersion, Equality) {
    EXPECT_TRUE(vorna::hw_version_equal(HwVersion{0xBC, 0xA1, 3, 9}, vorna::XVR2200_v1));
    EXPECT_EQ((HwVersion{0xBC, 0xA1, 3, 9}), vorna::XVR2200_v1);
    EXPECT_NE(vorna::Gemel_v1, vorna::XVR2200_v1);
    EXPECT_NE((HwVersion{0xBD, 0xA1, 3, 9}), vorna::XVR2200_v1);
    EXPECT_NE((HwVersion{0xBC, 0xA2, 3, 9}), vorna::XVR2200_v1);
    EXPECT_NE((HwVersion{0xBC, 0xA1, 4, 9}), vorna::XVR2200_v1);
}

Mesh mesh_of(IpVersion ip) {
    std::optional<Info> hrc;
    if (ip != IpVersion::mote) hrc = Info(Ident(), {Type::HRC}, ip == IpVersion::v2);
    return Mesh(ip, Ident(1, 1, 0), Ident(1, 1, 1), hrc,
                {Info(Ident(1, 2, 0), {Type::CNP1, Type::CNP2}, true)},
                {Info(Ident(1, 1, 3, 4), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD})});
}

std::string invalid_argument_text(HwVersion version, const Mesh& mesh) {
    try {
        vorna::make_virtual_device(version, mesh);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    ADD_FAILURE() << "no invalid_argument thrown";
    return {};
}

TEST(VirtualDevice, BuiltFromVersionAndMesh) {
    const Mesh mesh = mesh_of(IpVersion::v2);
    std::shared_ptr<vorna::Device> device = vorna::make_virtual_device(vorna::Selvo_v2, mesh);
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->desc(), "VirtualDevice/BC.A2.001.000");
    EXPECT_EQ(device->version(), vorna::Selvo_v2);
    EXPECT_EQ(device->get_ip_version(), IpVersion::v2);
    EXPECT_EQ(device->mesh(), mesh);
    EXPECT_EQ(device->hardware(), nullptr);
    EXPECT_EQ(device.use_count(), 1);
}

TEST(VirtualDevice, KeepsItsOwnCopyOfTheMesh) {
    Mesh mesh = mesh_of(IpVersion::v1);
    auto device = vorna::make_virtual_device(vorna::Tarn_v2, mesh);
    mesh.nps.clear();
    mesh.np_sram_size.input_bytes = 1;
    mesh.hrc.reset();
    EXPECT_EQ(device->mesh(), mesh_of(IpVersion::v1));
    EXPECT_EQ(device->mesh().nps.size(), 1u);
    EXPECT_EQ(device->mesh().np_sram_size, vorna::SramSize_v1);
}

TEST(VirtualDevice, KnownVersionsNeedTheirMesh) {
    const HwVersion versions[] = {vorna::Tarn_v1,    vorna::Tarn_v2,  vorna::Gemel_v1,
                                  vorna::XVR2200_v1, vorna::Selvo_v2, vorna::Mote_Selvo};
    const IpVersion ips[] = {IpVersion::v1, IpVersion::v2, IpVersion::mote};
    for (const HwVersion& v : versions) {
        for (IpVersion ip : ips) {
            if (v.get_ip_version() == ip) {
                EXPECT_NO_THROW(vorna::make_virtual_device(v, mesh_of(ip)));
            } else {
                EXPECT_THROW(vorna::make_virtual_device(v, mesh_of(ip)), std::invalid_argument);
            }
        }
    }
}

TEST(VirtualDevice, IncompatibleVersionsMessage) {
    EXPECT_EQ(invalid_argument_text(vorna::XVR2200_v1, mesh_of(IpVersion::v2)),
              "Incompatible hardware and Ip versions: HW Version is 188.161.3.9 with product id = "
              "161 while IP version is v2.");
    EXPECT_EQ(invalid_argument_text(vorna::Mote_Selvo, mesh_of(IpVersion::v1)),
              "Incompatible hardware and Ip versions: HW Version is 188.177.1.0 with product id = "
              "177 while IP version is v1.");
    EXPECT_EQ(invalid_argument_text(HwVersion{0xBC, 0xC0, 1, 2}, mesh_of(IpVersion::mote)),
              "Incompatible hardware and Ip versions: HW Version is 188.192.1.2 with product id = "
              "192 while IP version is mote.");
    EXPECT_EQ(vorna::incompatible_ip_versions_message(vorna::Tarn_v1, IpVersion::none),
              "Incompatible hardware and Ip versions: HW Version is 188.0.0.1 with product id = 0 "
              "while IP version is none.");
}

}  // namespace
