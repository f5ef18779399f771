#include "backend/v2/v2_placeholder.h"

#include <stdexcept>
#include <string>

#include "program/record.h"

namespace vorna::v2 {

namespace {

[[noreturn]] void not_implemented(const char* what) {
    throw std::runtime_error(std::string("v2 ") + what + " not implemented");
}

}  // namespace

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool, bool, bool, bool, bool,
                                                            const Shape&, const Shape&) const {
    not_implemented("record_scc");
}

std::vector<RegisterWrite> IoRecorderImpl::record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool,
                                                      bool, bool) const {
    not_implemented("record_epg");
}

fb::IoType IoRecorderImpl::get_input_type(const Layer&) const { not_implemented("get_input_type"); }

fb::IoType IoRecorderImpl::get_output_type(const Layer&, int8_t) const {
    not_implemented("get_output_type");
}

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer&, const Layer&,
                                                                 std::shared_ptr<Layer>, bool, bool,
                                                                 const std::vector<hw::Ident>&,
                                                                 bool, bool) const {
    not_implemented("record_layer");
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
    not_implemented("record_learning_layer");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
    not_implemented("sync_learning_vars");
}

}  // namespace vorna::v2
