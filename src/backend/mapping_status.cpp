#include "backend/mapping_status.h"

#include "corelib/layer.h"

namespace vorna {

MappingStatus::MappingStatus(bool error_, std::string message_, std::string layer_name_)
    : MappingStatusBase(error_, std::move(message_)), layer_name(std::move(layer_name_)) {}

MappingStatus::MappingStatus(const Layer& layer, std::string message_)
    : MappingStatus(true, std::move(message_), layer.get_name()) {}

MappingStatus MappingStatus::failure(std::string message, std::string layer_name) {
    return MappingStatus(true, std::move(message), std::move(layer_name));
}

MappingStatus::~MappingStatus() = default;

MappingStatus& MappingStatus::operator+=(const MappingStatus& other) {
    if (!other.error) return *this;
    if (error) {
        message += " ";
        message += other.message;
    } else {
        error = other.error;
        layer_name = other.layer_name;
        message = other.message;
    }
    return *this;
}

std::string MappingStatus::to_string() const {
    if (layer_name.empty()) return message;
    return "Cannot map layer '" + layer_name + "'. " + message;
}

MappingStatus MappingStatus::component_error(const Layer& layer, const std::string& type_name,
                                             size_t needed, size_t available) {
    const auto verb = [](size_t count) { return count == 1 ? "is" : "are"; };
    return MappingStatus(layer, "Not enough hardware components of type " + type_name +
                                    " available. " + std::to_string(needed) + " " + verb(needed) +
                                    " needed but " + std::to_string(available) + " " +
                                    verb(available) + " available.");
}

bool operator==(const MappingStatus& a, const MappingStatus& b) {
    return a.error == b.error && a.message == b.message && a.layer_name == b.layer_name;
}

MappingStatusGroup::~MappingStatusGroup() = default;

MappingStatusGroup& MappingStatusGroup::operator+=(const MappingStatusGroup& other) {
    if (!other.error) return *this;
    if (!error) {
        error = other.error;
        message = other.message;
    }
    statuses.insert(statuses.end(), other.statuses.begin(), other.statuses.end());
    return *this;
}

std::string MappingStatusGroup::to_string() const {
    if (statuses.empty()) return message;
    if (statuses.size() == 1) return statuses.front().to_string();
    std::string text = "Cannot map layer '" + statuses.front().layer_name + "':";
    for (const MappingStatus& status : statuses) {
        if (status.layer_name.empty()) {
            text += "\n  * " + status.message;
        } else {
            text += "\n  * Layer '" + status.layer_name + "': " + status.message;
        }
    }
    return text;
}

void add_status_once(MappingStatusGroup& group, const MappingStatus& status) {
    for (const MappingStatus& held : group.statuses) {
        if (held == status) return;
    }
    group.statuses.push_back(status);
    group.error = true;
}

}  // namespace vorna
