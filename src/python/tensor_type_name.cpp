#include "corelib/tensor.h"

namespace vorna {

const char* Tensor::type_name(TensorType type) {
    switch (type) {
        case TensorType::int32:
            return "int32";
        case TensorType::float32:
            return "float32";
        case TensorType::uint8:
            return "uint8";
        case TensorType::int16:
            return "int16";
        case TensorType::int8:
            return "int8";
        case TensorType::int4:
            return "int4";
        case TensorType::int2:
            return "int2";
        case TensorType::uint4:
            return "uint4";
        case TensorType::uint2:
            return "uint2";
        case TensorType::bit:
            return "bit";
        case TensorType::uint16:
            return "uint16";
    }
    return "unknown";
}

}  // namespace vorna
