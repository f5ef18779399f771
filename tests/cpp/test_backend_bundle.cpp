#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "backend/backend_bundle.h"
#include "backend/hardware_backend.h"
#include "backend/interfaces.h"
#include "devices/hw_version.h"
#include "test_support.h"

namespace vorna {
namespace {

using test_support::MeshDevice;
using Words = std::array<uint32_t, 19>;

Words words_of(HwVersion version, IpVersion ip, std::optional<SramSize> sram = std::nullopt) {
    MeshDevice d(version, ip);
    if (sram) d.mutable_mesh().np_sram_size = *sram;
    return IpVersionSpecificHardwareBackend(d).constraints().words();
}

TEST(Bundle, ConstraintsFromTheMesh) {
    EXPECT_EQ(words_of(Selvo_v2, IpVersion::v2),
              (Words{12288, 4096, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 8192, 16384, 16384,
                     256, 0, 0, 0, 0}));
    // w = 44800: (358400 >> 5) * 48 / 50 = 10752, 358400 / 50 = 7168;
    // i = 43008: 344064 >> 6 = 5376, >> 5 = 10752.
    for (HwVersion version : {Tarn_v1, XVR2200_v1}) {
        EXPECT_EQ(words_of(version, IpVersion::v1),
                  (Words{10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 5376, 10752,
                         10752, 0, 0, 0, 0, 0}));
    }
    EXPECT_EQ(words_of(Mote_Selvo, IpVersion::mote, SramSize{9, 9, 1, 2, 3, 4}),
              (Words{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}));
    // 1000 bytes: (8000 >> 5) * 48 / 50 = 240, 8000 / 100 = 80, 8000 >> 6, >> 5.
    const Words small = words_of(Selvo_v2, IpVersion::v2, SramSize{1000, 1000, 0, 0, 0, 0});
    EXPECT_EQ((std::vector<uint32_t>{small[0], small[1], small[11], small[12], small[13]}),
              (std::vector<uint32_t>{240, 80, 125, 250, 250}));
    // Products are taken in 32 bits: 0x20000000 bytes times 8 wraps to 0.
    const Words wrapped =
        words_of(Selvo_v2, IpVersion::v2, SramSize{0x20000001, 0x20000000, 0, 0, 0, 0});
    EXPECT_EQ((std::vector<uint32_t>{wrapped[0], wrapped[1], wrapped[12]}),
              (std::vector<uint32_t>{0, 0, 0}));
}

// The virtual slot of a member function, from its pointer-to-member: under the Itanium C++ ABI
// of x86 a virtual member's pointer holds 1 + the slot's byte offset in the vtable.
template <typename Member>
long vtable_slot(Member member) {
    struct Representation {
        uintptr_t pointer;
        ptrdiff_t adjustment;
    } rep;
    static_assert(sizeof(Member) == sizeof(Representation));
    std::memcpy(&rep, &member, sizeof rep);
    if ((rep.pointer & 1) == 0) return -1;  // not virtual
    return static_cast<long>((rep.pointer - 1) / sizeof(void*));
}

// Slots 0 and 1 are the destructors; the checker's eight operations follow in their fixed
// order, and the engine's own operation comes after them.
TEST(Bundle, CheckerVirtualSlotOrder) {
#if !defined(__x86_64__) && !defined(__i386__)
    GTEST_SKIP() << "runs only on x86 processors: it reads virtual-function slot numbers as "
                    "the Itanium C++ ABI lays them out there";
#endif
    using C = CompatibilityChecker;
    EXPECT_EQ(vtable_slot(&C::check_layer_compatibility), 2);
    EXPECT_EQ(vtable_slot(&C::check_layer_sequence), 3);
    EXPECT_EQ(vtable_slot(&C::check_layer_mappings), 4);
    EXPECT_EQ(vtable_slot(&C::is_sram_input_fit_single_buffer), 5);
    EXPECT_EQ(vtable_slot(&C::is_sram_input_fit_dual_buffer), 6);
    EXPECT_EQ(vtable_slot(&C::is_weights_size_fit_np), 7);
    EXPECT_EQ(vtable_slot(&C::np_split_params), 8);
    EXPECT_EQ(vtable_slot(&C::check_fnp3_sram_size), 9);
    EXPECT_EQ(vtable_slot(&C::check_layer_sequence_prefixes), 10);
}

TEST(Bundle, UnsupportedProducts) {
    for (uint8_t product : {0x01, 0xA0, 0xA3, 0xB0, 0xB2}) {
        const MeshDevice d(HwVersion{0xBC, product, 1, 0}, IpVersion::v2);
        EXPECT_EQ(
            test_support::runtime_error_text([&] { IpVersionSpecificHardwareBackend bundle(d); }),
            "Unsupported IP version in IpVersionSpecificHardwareBackend.")
            << int(product);
    }
}

}  // namespace
}  // namespace vorna
