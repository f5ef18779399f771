#pragma once

// The named 64-bit counts of a model or a hardware device, shown in Python as Metrics.

#include <cstdint>
#include <string>
#include <unordered_map>

namespace vorna::python {

struct PyMetrics {
    std::unordered_map<std::string, int64_t> values;

    // Inserts or overwrites.
    void set(const std::string& name, int64_t value) { values[name] = value; }
};

}  // namespace vorna::python
