#pragma once

// The named variables (weights, thresholds, ...) of one layer.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "corelib/tensor.h"

namespace vorna {

// "(8, 10)", "(70,)": the dimensions of a shape as a tuple, for messages.
std::string shape_text(const Shape& shape);

class Variables {
  public:
    virtual ~Variables();

    // Names in creation order.
    virtual std::vector<std::string> names() const = 0;
    // Replaces the named variable in place, or adds it at the end when
    // absent. A null tensor is an invalid argument. A row-major tensor with
    // the reversed dimensions of a first-dimension-fastest variable is taken
    // as that variable's bytes and gets its dimensions; for a layer's
    // variables, a tensor of other dimensions than the variable it replaces
    // is an invalid argument.
    virtual void set(const std::string& name, std::shared_ptr<Tensor> value) = 0;
    // Never null: a missing name throws std::invalid_argument
    // "Variable '<name>' not found.".
    virtual std::shared_ptr<Tensor> get(const std::string& name) const = 0;
    virtual bool has(const std::string& name) const = 0;
};

class VariablesImpl : public Variables {
  public:
    // Whether `set` keeps the shape of a variable it replaces. A layer's own variables do:
    // the layer sized them from its parameters and inputs.
    enum class Shapes { free, kept };

    VariablesImpl() = default;
    explicit VariablesImpl(Shapes shapes) : shapes_(shapes) {}
    ~VariablesImpl() override;

    std::vector<std::string> names() const override;
    void set(const std::string& name, std::shared_ptr<Tensor> value) override;
    std::shared_ptr<Tensor> get(const std::string& name) const override;
    bool has(const std::string& name) const override;
    // The layer's own declaration of a variable: adds it, or replaces it
    // whatever the dimensions of the tensor it had (a layer built again for
    // other inputs sizes its variables anew).
    void declare(const std::string& name, std::shared_ptr<Tensor> value);

    size_t count() const { return entries_.size(); }

  private:
    Shapes shapes_ = Shapes::free;
    std::vector<std::pair<std::string, std::shared_ptr<Tensor>>> entries_;
};

}  // namespace vorna
