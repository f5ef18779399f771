#include "corelib/params.h"

#include <stdexcept>

namespace vorna {

namespace {

[[noreturn]] void missing_key(const std::string& key) {
    throw std::invalid_argument("Parameter '" + key + "' not found.");
}

template <class Map>
std::vector<std::string> sorted_keys(const Map& entries) {
    // std::map iterates in key order.
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    for (const auto& entry : entries) keys.push_back(entry.first);
    return keys;
}

}  // namespace

LayerParams::LayerParams(LayerType type, const std::map<std::string, int>& entries)
    : type_(type), entries_(entries) {}

std::unique_ptr<LayerParams> LayerParams::create(LayerType type,
                                                 const std::map<std::string, int>& entries) {
    return std::unique_ptr<LayerParams>(new LayerParams(type, entries));
}

std::unique_ptr<LayerParams> LayerParams::clone(const LayerParams* source) {
    if (source == nullptr) throw std::invalid_argument("LayerParams::clone: null parameters.");
    return std::unique_ptr<LayerParams>(new LayerParams(source->type_, source->entries_));
}

int LayerParams::get(const std::string& key) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) missing_key(key);
    return it->second;
}

int LayerParams::get_or(const std::string& key, int fallback) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? fallback : it->second;
}

bool LayerParams::has(const std::string& key) const { return entries_.count(key) != 0; }

std::vector<std::string> LayerParams::keys() const { return sorted_keys(entries_); }

void LayerParams::set(const std::string& key, int value) { entries_[key] = value; }

LearningParams::LearningParams(LearningType type, const std::map<std::string, double>& entries)
    : type_(type), entries_(entries) {}

std::shared_ptr<LearningParams> LearningParams::create(
    LearningType type, const std::map<std::string, double>& entries) {
    return std::shared_ptr<LearningParams>(new LearningParams(type, entries));
}

std::shared_ptr<LearningParams> LearningParams::clone(const LearningParams* source) {
    if (source == nullptr) throw std::invalid_argument("LearningParams::clone: null parameters.");
    return std::shared_ptr<LearningParams>(new LearningParams(source->type_, source->entries_));
}

double LearningParams::get(const std::string& key) const {
    auto it = entries_.find(key);
    if (it == entries_.end()) missing_key(key);
    return it->second;
}

bool LearningParams::has(const std::string& key) const { return entries_.count(key) != 0; }

std::vector<std::string> LearningParams::keys() const { return sorted_keys(entries_); }

}  // namespace vorna
