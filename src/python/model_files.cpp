#include "python/model_files.h"

#include <snappy.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <vector>

namespace vorna::python {

namespace {

// Snappy's densest element, a 3-byte copy of 64 bytes, expands about 21 times; a claimed
// length beyond this bound cannot come from the file's content and is not allocated.
constexpr uint64_t kMaxExpansion = 32;
constexpr uint64_t kExpansionSlack = 64;

}  // namespace

void save_model_file(const Model& model, const std::string& path) {
    std::ofstream file(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file.is_open()) {
        throw std::invalid_argument("Unable to open file for saving model: " + path);
    }
    const std::vector<uint8_t> bytes = model.serialize();
    std::vector<char> compressed(snappy::MaxCompressedLength(bytes.size()), 0);
    size_t compressed_length = 0;
    snappy::RawCompress(reinterpret_cast<const char*>(bytes.data()), bytes.size(),
                        compressed.data(), &compressed_length);
    file.write(compressed.data(), static_cast<std::streamsize>(compressed_length));
    file.close();
    // A full disk or a failed close would otherwise leave a damaged file reported as saved.
    if (file.fail()) throw std::runtime_error("Unable to write model file: " + path);
}

std::unique_ptr<Model> load_model_file(const std::string& path) {
    std::vector<char> content;
    {
        std::ifstream file(path, std::ios::binary | std::ios::in);
        // A directory opens as a stream but has no content to read.
        std::error_code ec;
        if (!file.good() || std::filesystem::is_directory(path, ec)) {
            throw std::runtime_error("File not found.");
        }
        file.seekg(0, std::ios::end);
        const std::streamoff end = file.tellg();
        // A stream that cannot tell its size (a pipe, for one) is not a model file.
        if (!file.good() || end < 0) throw std::runtime_error("File not found.");
        if (end == 0) throw std::runtime_error("File is empty.");
        if (end > std::numeric_limits<int32_t>::max()) {
            throw std::runtime_error("File is too large.");
        }
        content.assign(static_cast<size_t>(end), 0);
        file.seekg(0, std::ios::beg);
        file.read(content.data(), static_cast<std::streamsize>(content.size()));
        if (file.gcount() != static_cast<std::streamsize>(content.size())) {
            throw std::runtime_error("File not found.");
        }
    }

    size_t length = 0;
    if (!snappy::GetUncompressedLength(content.data(), content.size(), &length) ||
        length > content.size() * kMaxExpansion + kExpansionSlack) {
        throw std::invalid_argument("Cannot uncompress corrupted serialization buffer");
    }
    std::vector<char> buffer(length, 0);
    // The result is not consulted: bytes after the compressed block make the decompressor
    // report failure although the block itself is whole. A damaged block leaves the buffer
    // partly zero, which from_buffer refuses.
    if (length > 0) {
        (void)snappy::RawUncompress(content.data(), content.size(), buffer.data());
    }
    return Model::from_buffer(length > 0 ? buffer.data() : nullptr, length);
}

}  // namespace vorna::python
