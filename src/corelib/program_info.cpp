#include "corelib/program_info.h"

#include <flatbuffers/flatbuffers.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorna {

namespace {

// The values of a stored vector; none when the field is absent.
template <class T, class Stored>
std::vector<T> copy_of(const Stored* stored) {
    return stored ? std::vector<T>(stored->begin(), stored->end()) : std::vector<T>{};
}

constexpr size_t kPrefixBytes = sizeof(flatbuffers::uoffset_t);
constexpr size_t kDescriptorBytes = 16;

[[noreturn]] void invalid() { throw std::invalid_argument("Invalid program."); }

uint32_t read_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Copies one size-prefixed buffer starting at `p` (with `available` bytes left) into aligned
// storage; returns its length, prefix included.
size_t copy_buffer(const uint8_t* p, size_t available, std::vector<uint32_t>* storage) {
    if (available < kPrefixBytes) invalid();
    const size_t length = kPrefixBytes + size_t{read_le32(p)};
    if (length > available) invalid();
    storage->assign((length + 3) / 4, 0u);
    std::memcpy(storage->data(), p, length);
    return length;
}

size_t checked_mul(size_t a, size_t b) {
    if (a != 0 && b > std::numeric_limits<size_t>::max() / a) invalid();
    return a * b;
}

size_t checked_add(size_t a, size_t b) {
    if (b > std::numeric_limits<size_t>::max() - a) invalid();
    return a + b;
}

size_t product(const flatbuffers::Vector<uint32_t>* dims) {
    if (!dims || dims->size() == 0) return 0;
    size_t n = 1;
    for (uint32_t d : *dims) n = checked_mul(n, d);
    return n;
}

std::string dims_text(const flatbuffers::Vector<uint32_t>* dims) {
    std::string text = "[";
    if (dims) {
        for (uint32_t i = 0; i < dims->size(); ++i) {
            if (i > 0) text += ", ";
            text += std::to_string(dims->Get(i));
        }
    }
    return text + "]";
}

// One list of dims: 1 to 4 dimensions, none 0, and a frame of `element_bits`-bit elements
// within kMaxFrameBytes. The product is formed in bits and stops once past the limit, so it
// cannot overflow.
void check_dims(const char* field, const flatbuffers::Vector<uint32_t>* dims, size_t element_bits) {
    const std::string prefix = std::string("Invalid program: ") + field + " " + dims_text(dims);
    const size_t count = dims ? dims->size() : 0;
    if (count == 0) throw std::invalid_argument(prefix + " has no dimension.");
    if (count > 4) {
        throw std::invalid_argument(prefix + " has " + std::to_string(count) +
                                    " dimensions; at most 4 are allowed.");
    }
    const size_t limit_bits = kMaxFrameBytes * 8;
    size_t bits = element_bits;
    for (uint32_t d : *dims) {
        if (d == 0) throw std::invalid_argument(prefix + " has a dimension of 0.");
        bits = bits > limit_bits / d ? limit_bits + 1 : bits * d;
    }
    if (bits > limit_bits) {
        throw std::invalid_argument(prefix + " takes more than " + std::to_string(kMaxFrameBytes) +
                                    " bytes per frame.");
    }
}

size_t filter_words(const fb::RecordTracks* record) {
    if (!record || !record->fnp2_filters() || !record->fnp2_filters()->data()) return 0;
    return record->fnp2_filters()->data()->size();
}

}  // namespace

ProgramInfo::ProgramInfo(const uint8_t* data, size_t size) {
    if (!data) invalid();
    info_bytes_ = copy_buffer(data, size, &info_storage_);
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(info_storage_.data());
        flatbuffers::Verifier verifier(bytes, info_bytes_);
        if (!fb::VerifySizePrefixedProgramInfoBuffer(verifier)) invalid();
        info_ = fb::GetSizePrefixedProgramInfo(bytes);
    }
    if (size > info_bytes_) {
        data_bytes_ = copy_buffer(data + info_bytes_, size - info_bytes_, &data_storage_);
        if (info_bytes_ + data_bytes_ != size) invalid();  // nothing may follow the data
        const auto* bytes = reinterpret_cast<const uint8_t*>(data_storage_.data());
        flatbuffers::Verifier verifier(bytes, data_bytes_);
        if (!verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr)) invalid();
        data_ = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(bytes);
    }
}

std::vector<uint32_t> ProgramInfo::input_dims() const {
    return copy_of<uint32_t>(info_->input_dims());
}

std::vector<uint32_t> ProgramInfo::output_dims() const {
    return copy_of<uint32_t>(info_->output_dims());
}

std::vector<float> ProgramInfo::output_scales() const {
    return copy_of<float>(info_->output_scales());
}

std::vector<int32_t> ProgramInfo::output_shift() const {
    return copy_of<int32_t>(info_->output_shift());
}

size_t ProgramInfo::pass_count() const { return info_->passes() ? info_->passes()->size() : 0; }

uint64_t ProgramInfo::dummy_desc_hdr() const {
    if (!data_ || !data_->dummy_desc_hdr()) return 0;
    const fb::DescriptorHeader* h = data_->dummy_desc_hdr();
    return static_cast<uint64_t>(h->word0()) | static_cast<uint64_t>(h->word1()) << 32;
}

const fb::LearningRecords* ProgramInfo::learning() const {
    return data_ ? data_->learning() : nullptr;
}

size_t input_memory_required(const ProgramInfo& program) {
    const size_t elements = product(program.info().input_dims());
    const size_t bits = program.input_bits() == 0 ? 8 : program.input_bits();
    const size_t total_bits = checked_mul(elements, bits);
    return total_bits / 8 + (total_bits % 8 != 0 ? 1 : 0);
}

size_t input_descriptor_memory_required(const ProgramInfo& /*program*/) { return kDescriptorBytes; }

size_t output_memory_required(const ProgramInfo& program) {
    const uint8_t bits = program.output_bits();
    const size_t element_bytes = bits <= 8 ? 1 : bits <= 16 ? 2 : 4;
    return checked_mul(product(program.info().output_dims()), element_bytes);
}

size_t program_data_memory_required(const ProgramInfo& program) { return program.data_size(); }

size_t extra_program_memory_required(const ProgramInfo& program) {
    const fb::ProgramData* data = program.data();
    if (!data) return 0;
    size_t words = 0;
    if (const auto* passes = data->passes()) {
        for (const fb::PassRecords* pass : *passes) {
            if (!pass->records()) continue;
            for (const fb::RecordTracks* record : *pass->records()) {
                words = checked_add(words, filter_words(record));
            }
        }
    }
    if (const fb::LearningRecords* learning = data->learning()) {
        words = checked_add(words, filter_words(learning->record1()));
        words = checked_add(words, filter_words(learning->record2()));
        words = checked_add(words, filter_words(learning->record3()));
    }
    return checked_mul(words, 4);
}

size_t program_descriptors_memory_required(const ProgramInfo& program) {
    size_t descriptors = checked_mul(program.max_descriptors(), program.pass_count());
    if (program.dummy_desc_hdr() != 0) descriptors = checked_add(descriptors, 1);
    return checked_mul(descriptors, kDescriptorBytes);
}

void check_frame_dims(const ProgramInfo& program) {
    check_dims("input_dims", program.info().input_dims(),
               program.input_bits() == 0 ? 8 : program.input_bits());
    const uint8_t bits = program.output_bits();
    check_dims("output_dims", program.info().output_dims(), bits <= 8 ? 8 : bits <= 16 ? 16 : 32);
}

}  // namespace vorna
