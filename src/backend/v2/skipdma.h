#pragma once

// Programs of the skip-DMA engines around a v2 layer. A layer whose output
// waits in external memory (a skip connection, a layer feeding a merge, a
// buffered temporal convolution) has a skip-DMA store that writes its output
// out, possibly a second store for a dual output, and a skip-DMA load that
// reads a stored tensor back in. Each engine is programmed with short
// register blocks (DMA target 11) addressed to its component; most addresses
// are the component's channel * 256 plus an offset.

#include <cstdint>
#include <map>
#include <vector>

#include "backend/hw.h"

namespace vorna {

class Layer;
class LayerMapping;

namespace program {
class Record;
}  // namespace program

namespace v2 {

// Register blocks of one skip-DMA engine, by address. Blocks are sent in
// ascending address order; an address inserted twice keeps its first words.
using SkipDmaBlocks = std::map<uint16_t, std::vector<uint32_t>>;

// Appends the skip-DMA blocks of `layer` to `record`: for a TNP-B layer two
// start words to its load engine, then the store, the dual-output store and
// the load, each when the layer has it. The layer must carry its
// LayerMapping. A field too wide for its register panics with the overflow
// text; the blocks already added stay in the record.
void record_skipdma(program::Record* record, const Layer& layer);

// Records one store engine of `layer` (the dual-output store with `dual`).
// `tnp` says the layer runs on TNP-Bs, `fifo` is then its FIFO size.
void record_skipdma_store(program::Record* record, const Layer& layer, bool dual, bool tnp,
                          uint32_t fifo);

// Fills `blocks` with the words that make the load engine on channel `c`
// feed `components` (which must all carry a placement, else
// std::invalid_argument "Merging layer has no CNPs."): `lb` is the load's own
// channel, `mc` the channel of the merged data (8 bits) and `ld` the
// concatenation offset (12 bits).
void format_skipdma_load_words(SkipDmaBlocks* blocks, uint8_t c, uint8_t lb, uint32_t mc,
                               const std::vector<hw::Component>& components, uint32_t ld);

}  // namespace v2
}  // namespace vorna
