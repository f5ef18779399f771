#pragma once

// Model files: a model's serialization compressed as one raw snappy block, with no framing,
// header or checksum of its own. Reading, decoding, encoding and writing are separate steps so
// that each can be exercised on its own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corelib/model.h"

namespace vorna::model_file {

// The largest serialization a model file can hold: the block records the uncompressed length
// as a 32-bit count.
constexpr uint64_t kMaxSerializedSize = 0xFFFFFFFFu;

// The largest model file that can be read back: its size is read as a signed 32-bit count.
constexpr uint64_t kMaxFileSize = 0x7FFFFFFFu;

// Bytes held without being zero-filled first: a model file's content, read or to be written.
struct Bytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
};

// Throws std::runtime_error "Model too large to save: its serialization of <size> bytes exceeds
// the <limit> bytes a model file can hold" when `size` is above `limit`.
void check_serialized_size(uint64_t size, uint64_t limit = kMaxSerializedSize);

// Throws std::runtime_error "Model too large to save: its model file of <size> bytes exceeds
// the <limit> bytes that can be read back" when the compressed `size` is above `limit`: such a
// file could be written but never loaded.
void check_file_size(uint64_t size, uint64_t limit = kMaxFileSize);

// The content of a model file for `serialization`, after check_serialized_size, and refused by
// check_file_size when it is too large to be read back.
Bytes encode(const std::vector<uint8_t>& serialization, uint64_t limit = kMaxSerializedSize,
             uint64_t file_limit = kMaxFileSize);

// Rebuilds a model from the whole content of a model file. The uncompressed length is read
// from `data`, the output is sized from it and decoded from the same bytes, so the decoder
// never writes past the output whatever the bytes hold. Throws std::invalid_argument "Cannot
// uncompress corrupted serialization buffer" when the content does not start with a plausible
// uncompressed length, or when its block ends or breaks before giving that many bytes; bytes
// after a whole block are ignored, and Model::from_buffer refuses what is not a whole model.
std::unique_ptr<Model> decode(const char* data, size_t size);

// The whole content of the regular file at `path`, read once. Throws std::invalid_argument when
// the path holds a null byte, and std::runtime_error "File not found." when it cannot be opened
// or read, or is not a regular file (a directory, a pipe, which is not waited for, a device),
// "File is empty." for an empty file and "File is too large." for a file of 2^31 bytes or more.
Bytes read(const std::string& path);

// Writes `size` bytes to `path`. The path is opened for writing first, without truncating it,
// and refused with std::invalid_argument "Unable to open file for saving model: <path>" (a null
// byte in it shown as "\0") when that fails: a path holding a null byte, a missing directory, a
// directory, a symbolic-link loop, a file the caller may not write. Then:
// - a regular file with one name, or a missing one, is replaced: the bytes go to a temporary
//   file with a short name in the same directory, which is renamed over it, so a failed write
//   leaves the previous file byte for byte and no temporary file; the new file keeps the old
//   one's permissions;
// - a symbolic link is followed: the file it names is replaced and the link stays;
// - a file with several hard links, a device or a pipe, and a file that cannot be replaced (its
//   directory takes no new file, has no room or quota for a second copy, or refuses the rename)
//   are written in place through the descriptor opened first, so every name sees the new bytes.
//   A regular file is first made to hold the whole new length; when it cannot, the save is
//   refused with its bytes untouched. Writing in place cannot be atomic: a write that fails
//   later (an I/O error, a kill) leaves a file that is neither model.
// Throws std::runtime_error "Unable to write model file: <path>" when writing, reserving,
// closing or renaming fails.
void write(const std::string& path, const char* data, size_t size);

// Opens the path as write does, then serializes, checks the size against `limit`, compresses,
// checks the file size against `file_limit` and only then writes the file: a path that cannot
// be written is refused before anything is serialized, and a model that cannot be saved leaves
// the file untouched. The limits are parameters so that the refusals can be exercised without a
// model of several GiB.
void save(const Model& model, const std::string& path, uint64_t limit = kMaxSerializedSize,
          uint64_t file_limit = kMaxFileSize);

// read, then decode.
std::unique_ptr<Model> load(const std::string& path);

}  // namespace vorna::model_file
