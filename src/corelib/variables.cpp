#include "corelib/variables.h"

#include <stdexcept>

namespace vorna {

Variables::~Variables() = default;

VariablesImpl::~VariablesImpl() = default;

std::vector<std::string> VariablesImpl::names() const {
    std::vector<std::string> result;
    result.reserve(entries_.size());
    for (const auto& entry : entries_) result.push_back(entry.first);
    return result;
}

void VariablesImpl::set(const std::string& name, std::shared_ptr<Tensor> value) {
    if (!value) throw std::invalid_argument("Cannot set variable '" + name + "' to a null tensor.");
    for (auto& entry : entries_) {
        if (entry.first == name) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(name, std::move(value));
}

std::shared_ptr<Tensor> VariablesImpl::get(const std::string& name) const {
    for (const auto& entry : entries_) {
        if (entry.first == name) return entry.second;
    }
    throw std::invalid_argument("Variable '" + name + "' not found.");
}

bool VariablesImpl::has(const std::string& name) const {
    for (const auto& entry : entries_) {
        if (entry.first == name) return true;
    }
    return false;
}

}  // namespace vorna
