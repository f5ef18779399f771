#pragma once

// Model files for the Python Model: `save` and the constructor from a file name. The reading,
// decoding, encoding and writing live in corelib/model_file.h, below the bindings.

#include <memory>
#include <string>

#include "corelib/model.h"

namespace vorna::python {

// Writes the model to `path` (model_file::save): refused with std::runtime_error before
// anything is written when the serialization is larger than a model file can record; otherwise
// written wherever opening the path for writing succeeds. Throws std::invalid_argument "Unable
// to open file for saving model: <path>" when the file cannot be opened or created and
// std::runtime_error "Unable to write model file: <path>" when writing it fails.
void save_model_file(const Model& model, const std::string& path);

// Reads a model written by save_model_file (model_file::load): the file is read once and
// decoded from that one copy. Throws std::runtime_error "File not found.", "File is empty." or
// "File is too large."; std::invalid_argument "Cannot uncompress corrupted serialization buffer"
// when the content does not start with a plausible uncompressed length; Model::from_buffer
// refuses a damaged serialization.
std::unique_ptr<Model> load_model_file(const std::string& path);

}  // namespace vorna::python
