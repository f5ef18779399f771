#pragma once

// Model files: the model's serialization compressed as one raw snappy block, with no framing,
// header or checksum of its own.

#include <memory>
#include <string>

#include "corelib/model.h"

namespace vorna::python {

// Writes the model to `path`. The model is serialized and compressed first, then written to a
// temporary file in the target's directory, written out whole and renamed over the target, so a
// failed save leaves the previous file byte for byte as it was and no temporary file behind.
// A symbolic link is followed (the file it names is replaced); a device or pipe is written in
// place. Throws std::invalid_argument "Unable to open file for saving model: <path>" when the
// file cannot be created, and std::runtime_error "Unable to write model file: <path>" when
// writing, flushing, closing or renaming it fails.
void save_model_file(const Model& model, const std::string& path);

// Reads a model written by save_model_file. Throws std::runtime_error "File not found." when
// the file cannot be opened or read, "File is empty." for an empty file and "File is too
// large." for a file of 2^31 bytes or more; std::invalid_argument "Cannot uncompress corrupted
// serialization buffer" when the content does not start with a plausible uncompressed length.
// Bytes after the compressed block are ignored. The file is decompressed as it is read, in
// pieces, into the one buffer that goes to Model::from_buffer, which refuses a damaged
// serialization.
std::unique_ptr<Model> load_model_file(const std::string& path);

}  // namespace vorna::python
