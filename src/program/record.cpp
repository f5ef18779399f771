#include "program/record.h"

#include <algorithm>
#include <stdexcept>

namespace vorna::program {

bool NpTrack::append(const hw::Ident& np, dma::Target target, uint16_t offset,
                     const std::vector<uint32_t>& words, bool allow_xl, bool with_size) {
    const size_t n = words.size();
    const size_t old = data_.size();
    // A payload that cannot fit an empty track is refused before its size is narrowed to the
    // 32 bits of the header functions.
    if (n > kMaxTrackWords) return false;

    size_t block = n;
    bool xl = false;
    if (dma::config_block_size_needs_xl(static_cast<uint32_t>(n))) {
        if (!allow_xl) return false;
        block = (n + 15) / 16 * 16;
        xl = true;
    }
    if (old + kHeaderWords + block > kMaxTrackWords) return false;

    // The track grows by the block at once, with room for the smaller blocks
    // that usually follow a large one (shifts, variables) so that those do not
    // move it again, and geometrically across blocks.
    const size_t needed = old + kHeaderWords + block;
    if (data_.capacity() < needed) {
        data_.reserve(std::max(needed + needed / 4, 2 * data_.capacity()));
    }
    data_.resize(old + kHeaderWords);
    try {
        dma::format_config_header(&data_[old], np, target,
                                  with_size ? static_cast<uint32_t>(block) : 0u, offset, xl);
    } catch (...) {
        data_.resize(old);
        throw;
    }
    data_.insert(data_.end(), words.begin(), words.end());
    data_.resize(old + kHeaderWords + block, 0u);
    return true;
}

Record::Record(const HwVersion& version) : hw_version_(version) {}

Record::~Record() = default;

void Record::add_np_track(const hw::Ident& np, dma::Target target, uint16_t offset,
                          const std::vector<uint32_t>& words, bool with_size, bool append_to_last) {
    if (!append_to_last || tracks_.empty()) tracks_.emplace_back();
    if (tracks_.back().append(np, target, offset, words, false, with_size)) return;
    tracks_.emplace_back();
    if (tracks_.back().append(np, target, offset, words, true, with_size)) return;
    throw std::runtime_error("Error generating NP program.");
}

void Record::add_fnp2_filters_track(const hw::Ident& np, const std::vector<uint32_t>& words) {
    fnp2_filters_ = std::make_unique<Fnp2FiltersTrack>(Fnp2FiltersTrack{np, words});
}

std::unique_ptr<Record> new_record(const HwVersion& version) {
    return std::make_unique<Record>(version);
}

LearnRecordsPtr::~LearnRecordsPtr() {
    third.reset();
    second.reset();
    first.reset();
}

}  // namespace vorna::program
