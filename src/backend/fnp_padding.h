#pragma once

#include <cstdint>

namespace vorna {
class Layer;
}

namespace vorna::v2 {

// How an FNP's input is packed into 32-bit words: 0 when no packing fits the
// FNP input packet memory (2048 units); 1 the whole input as one run; 2 each
// run of d2*d0 elements padded to whole words; 3 each run of d0 8-bit elements
// padded to a multiple of 4 bytes.
using InputPadding = uint8_t;

// The packing of a layer's FNP input. When `standalone` is false the source
// (the first inbound layer) is looked at: packing 1 is only tried for a source
// that is neither on a CNP, a TNP-B nor the HRC, and packing 3 only for 8-bit
// inputs and weights coming from a CNP or TNP-B.
InputPadding get_fnp_supported_padding(const Layer& layer, bool standalone);

}  // namespace vorna::v2
