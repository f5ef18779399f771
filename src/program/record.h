// Program records: the recorded program of one layer, as DMA tracks of 32-bit words.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/dma.h"
#include "devices/hw_version.h"

namespace vorna::program {

// One DMA track: a run of blocks, each made of a two-word configuration header, the payload,
// and (for blocks in the XL header form) zero words up to a multiple of 16 payload words.
// The configuration DMA streams a track with one descriptor, so a track never holds more
// than kMaxTrackWords words, headers and padding included.
class NpTrack {
  public:
    static constexpr size_t kMaxTrackWords = 0xFFFF;
    static constexpr size_t kHeaderWords = dma::HEADER_WORDS;

    // Appends one block addressed to `np`/`target` at `offset`. Returns false and leaves the
    // track unchanged when the block is refused: it needs the XL header and `allow_xl` is
    // false, or it would take the track past kMaxTrackWords. The header carries the block's
    // (padded) size when `with_size` is true, else 0.
    bool append(const hw::Ident& np, dma::Target target, uint16_t offset,
                const std::vector<uint32_t>& words, bool allow_xl, bool with_size);

    const std::vector<uint32_t>& data() const { return data_; }
    size_t size() const { return data_.size(); }
    bool empty() const { return data_.empty(); }

  private:
    std::vector<uint32_t> data_;
};

// The extra track of a record that carries FNP2 filter words, without DMA headers.
struct Fnp2FiltersTrack {
    hw::Ident np;
    std::vector<uint32_t> data;
};

// The recorded program of one layer, tagged with the hardware version it was made for.
class Record {
  public:
    explicit Record(const HwVersion& version);
    virtual ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    // Appends one block. With `append_to_last` and at least one track, the block first tries
    // the last track; otherwise it tries a new empty track. A block that needs the XL header
    // is always refused by that first try and goes to a further new track. When the first try
    // was made on a new track, that track stays in the record, empty, in front of the XL track
    // (it is part of the format: it gets a descriptor of its own).
    // Throws std::runtime_error "Error generating NP program." when even an empty track
    // cannot take the block; the tracks added so far stay.
    void add_np_track(const hw::Ident& np, dma::Target target, uint16_t offset,
                      const std::vector<uint32_t>& words, bool with_size, bool append_to_last);

    // Replaces the filters track with one holding `np` and a copy of `words`.
    void add_fnp2_filters_track(const hw::Ident& np, const std::vector<uint32_t>& words);

    const std::vector<NpTrack>& tracks() const { return tracks_; }
    const Fnp2FiltersTrack* fnp2_filters() const { return fnp2_filters_.get(); }
    const HwVersion& hw_version() const { return hw_version_; }

  private:
    std::vector<NpTrack> tracks_;
    std::unique_ptr<Fnp2FiltersTrack> fnp2_filters_;
    HwVersion hw_version_;
};

std::unique_ptr<Record> new_record(const HwVersion& version);

// The three records of a learning layer's recording and the learning layer's FNP SRAM size.
// Destroys the third record first, then the second, then the first.
struct LearnRecordsPtr {
    std::unique_ptr<Record> first;
    std::unique_ptr<Record> second;
    std::unique_ptr<Record> third;
    uint32_t fnp_sram_size = 0;

    LearnRecordsPtr() = default;
    LearnRecordsPtr(LearnRecordsPtr&&) = default;
    LearnRecordsPtr& operator=(LearnRecordsPtr&&) = default;
    ~LearnRecordsPtr();
};

}  // namespace vorna::program
