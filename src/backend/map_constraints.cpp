#include "backend/map_constraints.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "corelib/device.h"
#include "devices/hw_version.h"

namespace vorna {

namespace {

void check_limit(const char* what, uint32_t default_value, uint32_t value) {
    if (value > default_value) {
        throw std::invalid_argument(std::string("CNP max ") + what +
                                    " should be <= " + std::to_string(default_value) +
                                    ". Receives " + std::to_string(value) + ".");
    }
}

bool is_tarn_v2(const HwVersion& v) {
    return v.vendor_id == 0xBC && v.product_id == 0x00 && v.major_rev == 0 && v.minor_rev == 2;
}

}  // namespace

MapConstraints::MapConstraints(const std::shared_ptr<Device>& device) : device_(device) {
    if (!device_) {
        throw std::invalid_argument("Invalid device passed to MapConstraints.");
    }
    switch (device_->version().product_id) {
        case 0x00:
        case 0xA1:
            ip_version_ = IpVersion::v1;
            cnp_max_width_default_ = 32;
            cnp_max_height_default_ = 256;
            // One early v1 version has fewer filters per CNP.
            cnp_max_filters_default_ = is_tarn_v2(device_->version()) ? 504 : 512;
            break;
        case 0xA2:
            ip_version_ = IpVersion::v2;
            cnp_max_width_default_ = 64;
            cnp_max_height_default_ = 256;
            cnp_max_filters_default_ = 512;
            break;
        case 0xB1:
            ip_version_ = IpVersion::mote;
            break;
        default:
            throw std::invalid_argument("Unsupported IP version in MapConstraints constructor.");
    }
    cnp_max_width_ = cnp_max_width_default_;
    cnp_max_height_ = cnp_max_height_default_;
    cnp_max_filters_ = cnp_max_filters_default_;
}

MapConstraints::~MapConstraints() = default;

void MapConstraints::set_cnp_max_width(uint32_t value) {
    check_limit("width", cnp_max_width_default_, value);
    cnp_max_width_ = value;
}

void MapConstraints::set_cnp_max_height(uint32_t value) {
    check_limit("height", cnp_max_height_default_, value);
    cnp_max_height_ = value;
}

void MapConstraints::set_cnp_max_filters(uint32_t value) {
    check_limit("filters", cnp_max_filters_default_, value);
    cnp_max_filters_ = value;
}

void MapConstraints::set_hwpr_loopitself(bool value) {
    if (value && ip_version_ != IpVersion::v2) {
        throw std::invalid_argument("HWPR NP loopitself feature is only supported for IP v2.");
    }
    hwpr_loopitself_ = value;
}

void MapConstraints::next_layer_handler(const std::string& /*layer_name*/) const {}

std::vector<hw::Ident> MapConstraints::select_nps(const std::vector<hw::Ident>& source_nps,
                                                  size_t num_nps, hw::Type /*type*/) const {
    const size_t n = std::min(num_nps, source_nps.size());
    return std::vector<hw::Ident>(source_nps.begin(), source_nps.begin() + n);
}

}  // namespace vorna
