#include "python/model_files.h"

#include "corelib/model_file.h"

namespace vorna::python {

void save_model_file(const Model& model, const std::string& path) { model_file::save(model, path); }

std::unique_ptr<Model> load_model_file(const std::string& path) { return model_file::load(path); }

}  // namespace vorna::python
