#pragma once

// The named variables (weights, thresholds, ...) of one layer.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "corelib/tensor.h"

namespace vorna {

class Variables {
  public:
    virtual ~Variables();

    // Names in creation order.
    virtual std::vector<std::string> names() const = 0;
    // Replaces the named variable in place, or adds it at the end when
    // absent. A null tensor is an invalid argument.
    virtual void set(const std::string& name, std::shared_ptr<Tensor> value) = 0;
    // Never null: a missing name throws std::invalid_argument
    // "Variable '<name>' not found.".
    virtual std::shared_ptr<Tensor> get(const std::string& name) const = 0;
    virtual bool has(const std::string& name) const = 0;
};

class VariablesImpl : public Variables {
  public:
    VariablesImpl() = default;
    ~VariablesImpl() override;

    std::vector<std::string> names() const override;
    void set(const std::string& name, std::shared_ptr<Tensor> value) override;
    std::shared_ptr<Tensor> get(const std::string& name) const override;
    bool has(const std::string& name) const override;

    size_t count() const { return entries_.size(); }

  private:
    std::vector<std::pair<std::string, std::shared_ptr<Tensor>>> entries_;
};

}  // namespace vorna
