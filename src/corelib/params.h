#pragma once

// Layer parameters (a layer type and named integers) and learning parameters
// (a learning rule and named reals).

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corelib/types.h"

namespace vorna {

class LayerParams {
  public:
    static std::unique_ptr<LayerParams> create(LayerType type,
                                               const std::map<std::string, int>& entries);
    // An independent copy; a null source is an invalid argument.
    static std::unique_ptr<LayerParams> clone(const LayerParams* source);

    // A missing key throws std::invalid_argument "Parameter '<key>' not found.".
    int get(const std::string& key) const;
    // The value of `key`, or `fallback` when it is absent.
    int get_or(const std::string& key, int fallback) const;
    bool has(const std::string& key) const;
    // Key names, sorted.
    std::vector<std::string> keys() const;
    LayerType layer_type() const { return type_; }

    // Adds or replaces one entry (used to fill in defaults).
    void set(const std::string& key, int value);

  private:
    LayerParams(LayerType type, const std::map<std::string, int>& entries);

    LayerType type_;
    std::map<std::string, int> entries_;
};

class LearningParams {
  public:
    static std::shared_ptr<LearningParams> create(LearningType type,
                                                  const std::map<std::string, double>& entries);
    // An independent copy; a null source is an invalid argument.
    static std::shared_ptr<LearningParams> clone(const LearningParams* source);

    // A missing key throws std::invalid_argument "Parameter '<key>' not found.".
    double get(const std::string& key) const;
    bool has(const std::string& key) const;
    // Key names, sorted.
    std::vector<std::string> keys() const;
    LearningType learning_type() const { return type_; }

  private:
    LearningParams(LearningType type, const std::map<std::string, double>& entries);

    LearningType type_;
    std::map<std::string, double> entries_;
};

}  // namespace vorna
