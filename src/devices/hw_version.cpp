#include "devices/hw_version.h"

#include <cstdio>

namespace vorna {

std::string HwVersion::to_string() const {
    return std::to_string(vendor_id) + "." + std::to_string(product_id) + "." +
           std::to_string(major_rev) + "." + std::to_string(minor_rev);
}

bool hw_version_equal(const HwVersion& a, const HwVersion& b) {
    return a.vendor_id == b.vendor_id && a.product_id == b.product_id &&
           a.major_rev == b.major_rev && a.minor_rev == b.minor_rev;
}

std::string hw_version_to_string(const HwVersion& version) {
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "%02X.%02X.%03u.%03u", unsigned{version.vendor_id},
                  unsigned{version.product_id}, unsigned{version.major_rev},
                  unsigned{version.minor_rev});
    return buffer;
}

std::string incompatible_ip_versions_message(const HwVersion& version, IpVersion mesh_ip_version) {
    return "Incompatible hardware and Ip versions: HW Version is " + version.to_string() +
           " with product id = " + std::to_string(version.product_id) + " while IP version is " +
           ip_version_name(mesh_ip_version) + ".";
}

}  // namespace vorna
