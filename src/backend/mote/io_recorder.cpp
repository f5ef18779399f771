#include "backend/mote/io_recorder.h"

#include "corelib/device.h"
#include "program/record.h"

namespace vorna::mote {

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool, bool, bool, bool, bool,
                                                            const Shape&, const Shape&) const {
    return program::new_record(device_.version());
}

std::vector<RegisterWrite> IoRecorderImpl::record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool,
                                                      bool, bool) const {
    return {};
}

fb::IoType IoRecorderImpl::get_input_type(const Layer&) const { return static_cast<fb::IoType>(0); }

fb::IoType IoRecorderImpl::get_output_type(const Layer&, int8_t) const {
    return static_cast<fb::IoType>(0);
}

}  // namespace vorna::mote
