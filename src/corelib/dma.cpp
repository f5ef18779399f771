#include "corelib/dma.h"

#include <stdexcept>
#include <string>

#include "backend/hw.h"

namespace vorna {
namespace dma {

void format_config_header(uint32_t* out, const hw::Ident& np, Target target, uint32_t size,
                          uint16_t offset, bool xl) {
    if (out == nullptr) throw std::invalid_argument("format_config_header: null output.");
    const uint32_t code = static_cast<uint32_t>(target);
    if (code > HDR0_TARGET.max()) {
        throw std::invalid_argument("format_config_header: invalid DMA target " +
                                    std::to_string(code) + ".");
    }
    if (np.id > HDR0_ID.max()) {
        throw std::invalid_argument("format_config_header: invalid NP id " + std::to_string(np.id) +
                                    ".");
    }
    uint32_t normal_size = 0;
    uint32_t xl_units = 0;
    if (xl) {
        if (size % XL_SIZE_UNIT_WORDS != 0 || size / XL_SIZE_UNIT_WORDS > HDR1_XL_SIZE.max()) {
            throw std::invalid_argument("format_config_header: invalid XL block size " +
                                        std::to_string(size) + ".");
        }
        xl_units = size / XL_SIZE_UNIT_WORDS;
    } else {
        if (size > HDR0_SIZE.max()) {
            throw std::invalid_argument("format_config_header: block size " + std::to_string(size) +
                                        " needs the XL form.");
        }
        normal_size = size;
    }
    out[0] = HDR0_COL.put(np.col) | HDR0_ROW.put(np.row) | HDR0_ID.put(np.id) |
             HDR0_XL.put(xl ? 1 : 0) | HDR0_TARGET.put(code) | HDR0_SIZE.put(normal_size);
    out[1] = HDR1_OFFSET.put(offset) | HDR1_XL_SIZE.put(xl_units);
}

}  // namespace dma
}  // namespace vorna
