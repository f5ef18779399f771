// Helpers of the end-to-end mapping tests: meshes decoded from the emulator's
// presets, virtual devices, a checked reader of program bytes and the
// comparison of recorded programs with what a layer recorder produces.
#pragma once

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend_bundle.h"
#include "backend/graph_utils.h"
#include "backend/hw.h"
#include "backend/interfaces.h"
#include "backend/layer_mapping.h"
#include "backend/layer_mapping_builder.h"
#include "backend/map_constraints.h"
#include "corelib/emulation/emulation.h"
#include "corelib/hardware_device.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/program_info.h"
#include "corelib/sequence.h"
#include "corelib/tensor.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/program_generated.h"
#include "program/record.h"

namespace vorna::e2e {

// The mesh the emulator's preset `name` ("v1", "gemel", "tarn_v1", "mote", ...)
// reports, decoded by mesh discovery.
inline Mesh preset_mesh(const std::string& name) {
    auto driver = emu::make_driver(emu::parse_driver_spec(name));
    auto device = HardwareDevice::create(driver.get());
    return *Mesh::discover(device.get());
}

inline std::shared_ptr<Device> preset_device(const HwVersion& version, const std::string& preset) {
    return make_virtual_device(version, preset_mesh(preset));
}

inline std::shared_ptr<Layer> make_layer(LayerType type, const std::string& name,
                                         const std::map<std::string, int>& params) {
    auto p = LayerParams::create(type, params);
    return Layer::create(p.get(), name);
}

inline Dense& var(const Layer& layer, const std::string& name) {
    return dynamic_cast<Dense&>(*layer.variables()->get(name));
}

// Fills every element of an 8-bit signed tensor (int8, int4, int2, bit) by its
// storage index.
inline void fill_i8(Dense& t, const std::function<int8_t(size_t)>& f) {
    int8_t* d = t.data<int8_t>();
    for (size_t i = 0; i < t.size(); ++i) d[i] = f(i);
}

template <class T>
void fill(Dense& t, T value) {
    T* d = t.data<T>();
    for (size_t i = 0; i < t.size(); ++i) d[i] = value;
}

// The text of the std::runtime_error `f` throws; "" when nothing is thrown.
inline std::string runtime_error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// Program bytes checked as a whole: two size-prefixed buffers that verify,
// the info buffer at the start and the data buffer right after it, ending the
// bytes, and the sequence's parts pointing at exactly those two buffers.
struct CheckedProgram {
    std::vector<uint8_t> bytes;
    const fb::ProgramInfo* info = nullptr;
    const fb::ProgramData* data = nullptr;
};

inline uint32_t read_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void check_program(const Sequence& sequence, CheckedProgram* out) {
    const ByteView program = sequence.program();
    ASSERT_NE(program.data, nullptr);
    ASSERT_GE(program.size, 8u);
    out->bytes.assign(program.data, program.data + program.size);
    const uint8_t* bytes = out->bytes.data();
    const size_t info_size = size_t{read_u32(bytes)} + 4;
    ASSERT_LE(info_size + 4, program.size);
    const size_t data_size = size_t{read_u32(bytes + info_size)} + 4;
    ASSERT_EQ(info_size + data_size, program.size);

    const Sequence::ProgramParts parts = sequence.program_parts();
    EXPECT_EQ(parts.program_info.data, program.data);
    EXPECT_EQ(parts.program_info.size, info_size);
    EXPECT_EQ(parts.program_data.data, program.data + info_size);
    EXPECT_EQ(parts.program_data.size, data_size);

    flatbuffers::Verifier info_verifier(bytes, info_size);
    ASSERT_TRUE(fb::VerifySizePrefixedProgramInfoBuffer(info_verifier));
    flatbuffers::Verifier data_verifier(bytes + info_size, data_size);
    ASSERT_TRUE(data_verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
    out->info = fb::GetSizePrefixedProgramInfo(bytes);
    out->data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(bytes + info_size);
}

inline std::vector<uint32_t> words(const flatbuffers::Vector<uint32_t>* v) {
    return v ? std::vector<uint32_t>(v->begin(), v->end()) : std::vector<uint32_t>{};
}

// The stored tracks of a record equal the tracks of `expected`.
inline void expect_same_record(const fb::RecordTracks* stored, const program::Record& expected,
                               const std::string& what) {
    ASSERT_NE(stored, nullptr) << what;
    const size_t n = stored->tracks() ? stored->tracks()->size() : 0;
    ASSERT_EQ(n, expected.tracks().size()) << what;
    for (size_t t = 0; t < n; ++t) {
        EXPECT_EQ(words(stored->tracks()->Get(t)->data()), expected.tracks()[t].data())
            << what << ", track " << t;
    }
    const program::Fnp2FiltersTrack* filters = expected.fnp2_filters();
    if (filters == nullptr) {
        EXPECT_EQ(stored->fnp2_filters(), nullptr) << what;
    } else {
        ASSERT_NE(stored->fnp2_filters(), nullptr) << what;
        EXPECT_EQ(stored->fnp2_filters()->np()->col(), filters->np.col) << what;
        EXPECT_EQ(stored->fnp2_filters()->np()->row(), filters->np.row) << what;
        EXPECT_EQ(stored->fnp2_filters()->np()->id(), filters->np.id) << what;
        EXPECT_EQ(words(stored->fnp2_filters()->data()), filters->data) << what;
    }
}

inline std::vector<std::string> layer_names(const Sequence::Pass& pass) {
    std::vector<std::string> out;
    for (const auto& l : pass.layers) out.push_back(l->get_name());
    return out;
}

// The records of every pass equal what the device's own layer recorder gives
// for the mapped layers, called as the sequence builder calls it: after the
// input setup record (first pass only), one record per layer (the learning
// layer and the layers a recurrent layer runs excepted), then the record of
// the NPs the pass leaves unused when another pass follows.
inline void expect_records_match(const Device& device, const Sequence& sequence,
                                 const fb::ProgramData& data) {
    IpVersionSpecificHardwareBackend bundle(device);
    const LayerRecorder& recorder = bundle.layer_recorder();
    const auto& passes = sequence.passes();
    ASSERT_NE(data.passes(), nullptr);
    ASSERT_EQ(data.passes()->size(), passes.size());
    const std::shared_ptr<Layer> f1 = first_mappable_layer(passes.front()->layers);
    ASSERT_NE(f1, nullptr);
    for (size_t i = 0; i < passes.size(); ++i) {
        const auto* records = data.passes()->Get(static_cast<flatbuffers::uoffset_t>(i))->records();
        ASSERT_NE(records, nullptr);
        const Sequence::Pass& pass = *passes[i];
        const std::shared_ptr<Layer> pass_first = first_mappable_layer(pass.layers);
        const std::shared_ptr<Layer> pass_last = last_mappable_layer(pass.layers);
        const std::shared_ptr<Layer> next_first =
            i + 1 < passes.size() ? first_mappable_layer(passes[i + 1]->layers) : nullptr;
        flatbuffers::uoffset_t index = i == 0 ? 1 : 0;
        for (const auto& layer : pass.layers) {
            if (layer->can_learn()) continue;
            const std::string what = "pass " + std::to_string(i) + ", layer " + layer->get_name();
            const auto expected = recorder.record_layer(
                *layer, *f1, next_first, layer == pass_first && i > 0,
                layer == pass_last && i + 1 < passes.size(), {}, false, false);
            ASSERT_LT(index, records->size()) << what;
            EXPECT_EQ(expected->hw_version(), device.version()) << what;
            expect_same_record(records->Get(index++), *expected, what);
            if (layer->is_target_component(TargetComponent::TNP_R)) break;
        }
        if (next_first) {
            std::vector<hw::Ident> used;
            for (const auto& layer : pass.layers) {
                for (const hw::Component& c : *layer_mapping_of(*layer).nps)
                    used.push_back(c.ident);
            }
            LayerMapping& mapping = layer_mapping_of(*next_first);
            const auto channel = mapping.channel;
            mapping.channel = mapping.input_channel;
            const auto expected = recorder.record_layer(*next_first, *f1, next_first, false, false,
                                                        used, true, false);
            mapping.channel = channel;
            ASSERT_LT(index, records->size()) << "unused NPs of pass " << i;
            expect_same_record(records->Get(index++), *expected,
                               "unused NPs of pass " + std::to_string(i));
        }
        EXPECT_EQ(index, records->size()) << "pass " << i;
    }
}

}  // namespace vorna::e2e
