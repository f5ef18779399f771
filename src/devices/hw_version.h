#pragma once

// The four-byte hardware version of a device, its two text forms and the
// IP-version rule.

#include <cstdint>
#include <string>

#include "backend/hw.h"

namespace vorna {

struct HwVersion {
    uint8_t vendor_id = 0;
    uint8_t product_id = 0;
    uint8_t major_rev = 0;
    uint8_t minor_rev = 0;

    // From product_id alone: 0x00 and 0xA1 give v1, 0xA2 v2, 0xB1 mote,
    // anything else none.
    IpVersion get_ip_version() const { return ip_version_from_product_id(product_id); }

    // The four fields in decimal joined by ".", e.g. "188.0.0.2".
    std::string to_string() const;
};

// True when all four fields are equal.
bool hw_version_equal(const HwVersion& a, const HwVersion& b);

inline bool operator==(const HwVersion& a, const HwVersion& b) { return hw_version_equal(a, b); }
inline bool operator!=(const HwVersion& a, const HwVersion& b) { return !hw_version_equal(a, b); }

// "%02X.%02X.%03u.%03u", e.g. "BC.00.000.002": the form shown in Python and
// in device descriptions.
std::string hw_version_to_string(const HwVersion& version);

// The message given when a device's hardware version and its mesh disagree
// on the IP version.
std::string incompatible_ip_versions_message(const HwVersion& version, IpVersion mesh_ip_version);

// The known hardware versions.
inline constexpr HwVersion Tarn_v1{0xBC, 0x00, 0, 1};
inline constexpr HwVersion Tarn_v2{0xBC, 0x00, 0, 2};
inline constexpr HwVersion Gemel_v1{0xBC, 0xA1, 3, 6};
inline constexpr HwVersion XVR2200_v1{0xBC, 0xA1, 3, 9};
inline constexpr HwVersion Selvo_v2{0xBC, 0xA2, 1, 0};
inline constexpr HwVersion Mote_Selvo{0xBC, 0xB1, 1, 0};

}  // namespace vorna
