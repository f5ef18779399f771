#include "corelib/tensor.h"

namespace vorna {

const char* Tensor::type_name(TensorType type) {
    // Indexed by the enumeration's values, int32 (0) to uint16 (10).
    static const char* const kNames[] = {"int32", "float32", "uint8", "int16", "int8",  "int4",
                                         "int2",  "uint4",   "uint2", "bit",   "uint16"};
    const auto index = static_cast<uint32_t>(type);
    return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "unknown";
}

}  // namespace vorna
