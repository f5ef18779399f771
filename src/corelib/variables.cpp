#include "corelib/variables.h"

#include <stdexcept>
#include <string>

#include "corelib/tensor.h"

namespace vorna {

Variables::~Variables() = default;

VariablesImpl::~VariablesImpl() = default;

std::vector<std::string> VariablesImpl::names() const {
    std::vector<std::string> result;
    result.reserve(entries_.size());
    for (const auto& entry : entries_) result.push_back(entry.first);
    return result;
}

namespace {

// A first-dimension-fastest variable of dims (a, b, ...) is seen from Python as an array of
// dims (..., b, a) in row-major order: the same bytes. When such an array comes back, it is
// re-tagged with the variable's own dims and layout so the back ends keep reading the
// variable in its logical orientation. The element type of the new tensor is kept.
std::shared_ptr<Tensor> retag_reversed(const Tensor& current, std::shared_ptr<Tensor> value) {
    const auto* old_dense = dynamic_cast<const Dense*>(&current);
    auto new_dense = std::dynamic_pointer_cast<const Dense>(value);
    if (!old_dense || !new_dense) return value;
    if (old_dense->layout() != Dense::Layout::ColMajor ||
        new_dense->layout() != Dense::Layout::RowMajor) {
        return value;
    }
    const Shape& old_dims = old_dense->dimensions();
    const Shape& new_dims = new_dense->dimensions();
    if (old_dims.size() < 2 || old_dims.size() != new_dims.size()) return value;
    const uint32_t n = static_cast<uint32_t>(old_dims.size());
    for (uint32_t i = 0; i < n; ++i) {
        if (old_dims[i] != new_dims[n - 1 - i]) return value;
    }
    const auto& bytes = new_dense->buffer();
    return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), new_dense->type(),
                       old_dims, Dense::Layout::ColMajor);
}

}  // namespace

std::string shape_text(const Shape& shape) {
    std::string text = "(";
    for (uint32_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

void VariablesImpl::set(const std::string& name, std::shared_ptr<Tensor> value) {
    if (!value) throw std::invalid_argument("Cannot set variable '" + name + "' to a null tensor.");
    for (auto& entry : entries_) {
        if (entry.first == name) {
            // The layer sized its variables from its parameters and inputs; a tensor of
            // another shape would be read out of bounds or recorded at a size that was never
            // checked.
            std::shared_ptr<Tensor> retagged = retag_reversed(*entry.second, std::move(value));
            if (shapes_ == Shapes::kept && retagged->dimensions() != entry.second->dimensions()) {
                throw std::invalid_argument("Cannot set variable '" + name + "' of shape " +
                                            shape_text(entry.second->dimensions()) +
                                            " to a tensor of shape " +
                                            shape_text(retagged->dimensions()) + ".");
            }
            entry.second = std::move(retagged);
            return;
        }
    }
    entries_.emplace_back(name, std::move(value));
}

void VariablesImpl::declare(const std::string& name, std::shared_ptr<Tensor> value) {
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
