// DMA configuration headers, register field writers and panic, the version
// gate, tensor type names, hardware versions and virtual devices.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "corelib/dma.h"
#include "corelib/tensor.h"
#include "corelib/version.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/register.h"
#include "python/version_gate.h"
#include "test_support.h"

namespace vorna {
namespace {

using hw::Ident;
using test_support::exception_text;

TEST(Dma, HeaderWordsByHand) {
    struct Case {
        Ident np;
        dma::Target target;
        uint32_t size;
        uint16_t offset;
        bool xl;
        uint32_t w0, w1;
    };
    // clang-format off
    const Case cases[] = {
        {Ident(0, 0, 0), dma::CnpWeights, 0, 0, false, 0, 0},
        {Ident(1, 2, 3, 9), dma::NpRegisters, 64, 0x1234, false, 0x40730201u, 0x1234u},
        {Ident(255, 255, 7), dma::Tsram, 255, 0xFFFF, false, 0xFFF7FFFFu, 0xFFFFu},
        {Ident(4, 1, 1), dma::FnpRam, 256, 0, true, 0x00690104u, 0x00100000u},
        {Ident(1, 1, 2), dma::Fsram, 65535u * 16u, 1, true, 0x00EA0101u, 0xFFFF0001u},
        {Ident(), dma::IpRegisters, 1, 0, false, 0x01800000u, 0},  // the dummy descriptor
    };
    // clang-format on
    for (const auto& c : cases) {
        uint32_t out[3] = {0xDEADBEEF, 0xDEADBEEF, 0xCAFEF00D};
        dma::format_config_header(out, c.np, c.target, c.size, c.offset, c.xl);
        EXPECT_EQ(out[0], c.w0) << c.size;
        EXPECT_EQ(out[1], c.w1) << c.size;
        EXPECT_EQ(out[2], 0xCAFEF00Du);
    }
    EXPECT_FALSE(dma::config_block_size_needs_xl(255));
    EXPECT_TRUE(dma::config_block_size_needs_xl(256));
    // Target above 15, id above 7, normal size above 255, XL size not a
    // multiple of 16 or beyond 16 bits of units: refused, nothing written.
    uint32_t out[2] = {0x11111111, 0x22222222};
    for (auto [id, target, size, xl] : {std::tuple{Ident(1, 1, 0), 16u, 1u, false},
                                        {Ident(1, 1, 8), 7u, 1u, false},
                                        {Ident(1, 1, 0), 7u, 256u, false},
                                        {Ident(1, 1, 0), 7u, 17u, true},
                                        {Ident(1, 1, 0), 7u, 65536u * 16u, true}}) {
        EXPECT_THROW(dma::format_config_header(out, id, dma::Target(target), size, 0, xl),
                     std::invalid_argument)
            << target << " " << size;
    }
    EXPECT_EQ(out[0], 0x11111111u);
    EXPECT_EQ(out[1], 0x22222222u);
    EXPECT_THROW(dma::format_config_header(nullptr, Ident(1, 1, 0), dma::NpRegisters, 1, 0, false),
                 std::invalid_argument);
}

TEST(Register, SetFieldWritesOnlyTheFieldOrPanics) {
    struct Case {
        uint32_t word;
        RegDetail field;
        uint32_t value, expected;
    };
    const Case cases[] = {
        {0x12345678u, {0, 32}, 0xCAFEBABEu, 0xCAFEBABEu},
        {0xFFFFFFFFu, {4, 4}, 0, 0xFFFFFF0Fu},
        {0xFFFFFFFFu, {8, 8}, 0x5Au, 0xFFFF5AFFu},
        {0, {36, 4}, 3, 0x30u},  // shift mod 32
        {0, {31, 1}, 1, 0x80000000u},
        {0xFFFFFFFFu, {28, 8}, 0, 0x0FFFFFFFu},  // bits lost
        {0xAAAAu, {0, 0}, 0, 0xAAAAu},
        {0, {0, 40}, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {0xFFFFFFFEu, {0, 65}, 1, 0xFFFFFFFFu},  // the width counts modulo 64: a 1-bit field
    };
    for (const auto& c : cases) {
        uint32_t word = c.word;
        set_field(&word, c.field, c.value);
        EXPECT_EQ(word, c.expected) << c.field.shift << " " << c.field.width;
    }
    const std::string tail = "-bit field, which will cause an overflow.";
    const std::tuple<RegDetail, uint32_t, std::string> bad[] = {
        {{0, 1}, 2, "2 into a 1"},
        {{3, 0}, 1, "1 into a 0"},
        {{0, 31}, 0x80000000u, "2147483648 into a 31"},
        {{0, 64}, 1, "1 into a 64"},
        {{0, 65}, 2, "2 into a 65"}};
    for (const auto& [field, value, text] : bad) {
        uint32_t word = 0x5A5A5A5Au;
        EXPECT_EQ(exception_text([&] { set_field(&word, field, value); }),
                  "Attempted to write value " + text + tail);
        EXPECT_EQ(word, 0x5A5A5A5Au);
    }
    // The 64-bit writers quote the full value; the one-hot writer 1 << id.
    uint32_t word = 0xFFFFFFFFu;
    put_field(&word, {4, 4}, 0x3);
    set_bit(&word, 31, false);
    EXPECT_EQ(word, 0x7FFFFF3Fu);
    set_one_hot_field(&word, {20, 4}, 2);
    set_bit(&word, 0, false);
    EXPECT_EQ(word, 0x7F4FFF3Eu);
    EXPECT_EQ(checked_field_value(4095, 12), 4095u);
    EXPECT_EQ(exception_text([&] { put_field(&word, {0, 8}, 0x100000000ull); }),
              "Attempted to write value 4294967296 into a 8" + tail);
    EXPECT_EQ(exception_text([] { checked_field_value(4096, 12); }),
              "Attempted to write value 4096 into a 12" + tail);
    EXPECT_EQ(exception_text([&] { set_one_hot_field(&word, {20, 4}, 40); }),
              "Attempted to write value 1099511627776 into a 4" + tail);
    EXPECT_EQ(exception_text([&] { set_one_hot_field(&word, {20, 4}, 64); }),
              "Attempted to write value 18446744073709551615 into a 4" + tail);
    EXPECT_EQ(word, 0x7F4FFF3Eu);
}

// panic formats printf-style, cuts at 256 characters and never terminates.
TEST(Register, Panic) {
    EXPECT_EQ(exception_text([] { panic("%d cannot fit in a %d bits signed integer.", 300, 8); }),
              "300 cannot fit in a 8 bits signed integer.");
    EXPECT_EQ(exception_text([] { panic("Wrong type %s for %s.", "a", "int32"); }),
              "Wrong type a for int32.");
    std::string text(300, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(exception_text([&] { panic("%s", text.c_str()); }), text.substr(0, 256));
    const std::string fallback = "panic: the error message could not be formatted.";
    EXPECT_EQ(exception_text([] { panic("%s", ""); }), fallback);
    EXPECT_EQ(exception_text([] {
                  const char* none = nullptr;
                  panic(none, 0);
              }),
              fallback);
}

TEST(VersionGate, AcceptsOnly311) {
    for (const char* yes :
         {"3.11.7", "3.11.7 (main, Dec 1 2023) [GCC 12.2.0]", "3.11", "3.11.0rc1"})
        EXPECT_TRUE(python::python_version_accepted(yes)) << yes;
    for (const char* no : {"3.1", "3.110", "3.12.0", "3.111.0", "2.7.18", ""})
        EXPECT_FALSE(python::python_version_accepted(no)) << no;
    EXPECT_FALSE(python::python_version_accepted(nullptr));
    EXPECT_EQ(python::python_version_mismatch_message("3.12.0 (main)"),
              "Python version mismatch: module was compiled for Python 3.11, but the "
              "interpreter version is incompatible: 3.12.0 (main).");
    EXPECT_GT(std::string(version()).size(), 0u);
}

TEST(HwVersion, TextsAndIpVersions) {
    const std::tuple<HwVersion, const char*, const char*, IpVersion> cases[] = {
        {Tarn_v1, "BC.00.000.001", "188.0.0.1", IpVersion::v1},
        {XVR2200_v1, "BC.A1.003.009", "188.161.3.9", IpVersion::v1},
        {Selvo_v2, "BC.A2.001.000", "188.162.1.0", IpVersion::v2},
        {Mote_Selvo, "BC.B1.001.000", "188.177.1.0", IpVersion::mote},
        {{0xFF, 0xA3, 255, 255}, "FF.A3.255.255", "255.163.255.255", IpVersion::none},
        {{0, 0xB2, 0, 0}, "00.B2.000.000", "0.178.0.0", IpVersion::none}};
    for (const auto& [version, python_text, decimal_text, ip] : cases) {
        EXPECT_EQ(hw_version_to_string(version), python_text);
        EXPECT_EQ(version.to_string(), decimal_text);
        EXPECT_EQ(version.get_ip_version(), ip) << python_text;
    }
    EXPECT_TRUE(hw_version_equal(HwVersion{0xBC, 0xA1, 3, 9}, XVR2200_v1));
    for (HwVersion other : {HwVersion{0xBD, 0xA1, 3, 9}, HwVersion{0xBC, 0xA2, 3, 9},
                            HwVersion{0xBC, 0xA1, 4, 9}, HwVersion{0xBC, 0xA1, 3, 8}}) {
        EXPECT_FALSE(hw_version_equal(other, XVR2200_v1));
        EXPECT_NE(other, XVR2200_v1);
    }
}

Mesh mesh_of(IpVersion ip) {
    std::optional<np::Info> hrc;
    if (ip != IpVersion::mote) hrc = np::Info(Ident(), {hw::Type::HRC}, ip == IpVersion::v2);
    return Mesh(ip, Ident(1, 1, 0), Ident(1, 1, 1), hrc,
                {np::Info(Ident(1, 2, 0), {hw::Type::CNP1, hw::Type::CNP2}, true)},
                {np::Info(Ident(1, 1, 3, 4), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD})});
}

TEST(VirtualDevice, KeepsItsMeshAndChecksTheIpVersion) {
    Mesh mesh = mesh_of(IpVersion::v2);
    auto device = make_virtual_device(Selvo_v2, mesh);
    EXPECT_STREQ(device->desc(), "VirtualDevice/BC.A2.001.000");
    mesh.nps.clear();
    mesh.hrc.reset();
    EXPECT_EQ(device->mesh(), mesh_of(IpVersion::v2));
    EXPECT_NO_THROW(make_virtual_device(Tarn_v2, mesh_of(IpVersion::v1)));
    EXPECT_NO_THROW(make_virtual_device(Mote_Selvo, mesh_of(IpVersion::mote)));
    const std::string head = "Incompatible hardware and Ip versions: HW Version is ";
    EXPECT_EQ(exception_text([] { make_virtual_device(XVR2200_v1, mesh_of(IpVersion::v2)); }),
              head + "188.161.3.9 with product id = 161 while IP version is v2.");
    EXPECT_EQ(exception_text([] { make_virtual_device(Selvo_v2, mesh_of(IpVersion::mote)); }),
              head + "188.162.1.0 with product id = 162 while IP version is mote.");
    EXPECT_THROW(make_virtual_device(HwVersion{0xBC, 0xC0, 1, 2}, mesh_of(IpVersion::mote)),
                 std::invalid_argument);
}

}  // namespace
}  // namespace vorna
