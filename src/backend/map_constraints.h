#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backend/hw.h"

namespace vorna {

class Device;

// The caller's options for mapping a model onto one device: the device, the
// largest CNP tile a layer may be split into, the partial-reconfiguration loop
// option of IP v2, and two hooks a caller may override to watch the layers
// being mapped and to choose the NPs a layer gets.
class MapConstraints {
  public:
    // Defaults by the device's product identifier: v1 (0x00, 0xA1) 32/256/512,
    // with 504 filters on version BC.00.00.02; v2 (0xA2) 64/256/512; mote (0xB1)
    // 0/0/0. A null device or another product identifier is an invalid argument.
    explicit MapConstraints(const std::shared_ptr<Device>& device);
    virtual ~MapConstraints();

    std::shared_ptr<Device> device() const { return device_; }

    uint32_t cnp_max_width() const { return cnp_max_width_; }
    uint32_t cnp_max_height() const { return cnp_max_height_; }
    uint32_t cnp_max_filters() const { return cnp_max_filters_; }
    uint32_t cnp_max_width_default() const { return cnp_max_width_default_; }
    uint32_t cnp_max_height_default() const { return cnp_max_height_default_; }
    uint32_t cnp_max_filters_default() const { return cnp_max_filters_default_; }

    // A value above the default is refused (invalid argument) and the old limit
    // is kept; any other value, 0 included, is stored.
    void set_cnp_max_width(uint32_t value);
    void set_cnp_max_height(uint32_t value);
    void set_cnp_max_filters(uint32_t value);

    bool hwpr_loopitself() const { return hwpr_loopitself_; }
    // Setting the flag is only allowed on an IP v2 device; clearing it always is.
    void set_hwpr_loopitself(bool value);

    // Called once per layer that asks for NPs, before its NPs are chosen. The
    // default does nothing.
    virtual void next_layer_handler(const std::string& layer_name) const;

    // Chooses `num_nps` idents among the candidates (given least used first).
    // The default takes the first min(num_nps, candidates) in order; the type is
    // not used. An answer of another length counts as a shortage of components.
    virtual std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source_nps,
                                              size_t num_nps, hw::Type type) const;

  private:
    std::shared_ptr<Device> device_;
    uint32_t cnp_max_width_default_ = 0;
    uint32_t cnp_max_height_default_ = 0;
    uint32_t cnp_max_filters_default_ = 0;
    uint32_t cnp_max_width_ = 0;
    uint32_t cnp_max_height_ = 0;
    uint32_t cnp_max_filters_ = 0;
    bool hwpr_loopitself_ = false;
    IpVersion ip_version_ = IpVersion::none;
};

}  // namespace vorna
