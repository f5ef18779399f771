#pragma once

// Fills every variable of a v2 end-to-end layer with a pattern.

#include <cstdint>
#include <string>

#include "corelib/layer.h"
#include "corelib/tensor.h"

namespace vorna::v2_e2e {

inline void fill_variables(Layer& layer, int seed) {
    Variables* vars = layer.variables();
    for (const std::string& name : vars->names()) {
        auto t = std::dynamic_pointer_cast<Dense>(vars->get(name));
        if (!t || (t->type() != TensorType::int8 && t->type() != TensorType::uint8 &&
                   t->type() != TensorType::int4)) {
            continue;
        }
        const bool w4 = layer.params()->get_or("weights_bits", 8) == 4;
        for (size_t i = 0; i < t->size(); ++i) {
            const int v = int((i * 5 + name.size() + seed) % 4);
            if (t->type() == TensorType::uint8) {
                t->data<uint8_t>()[i] = uint8_t(v);
            } else if (name == "weights") {
                t->data<int8_t>()[i] =
                    int8_t((w4 ? -8 : -128) + int((i * 37 + seed * 11 + 5) % (w4 ? 16 : 256)));
            } else {
                t->data<int8_t>()[i] = int8_t(v - 2);
            }
        }
    }
}

}  // namespace vorna::v2_e2e
