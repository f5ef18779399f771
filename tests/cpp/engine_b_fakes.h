#pragma once

// Test doubles for the map routine, passes, sequence assembly and hardware
// sequence: layers whose answers are set by hand (LayerImpl-derived, so that
// the back end can attach mappings to them), a per-version bundle of scripted
// doubles that log their calls, a fake hardware device, mesh builders and a
// checker of program bytes.

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "backend/backend_bundle.h"
#include "backend/hardware_sequence.h"
#include "backend/hw.h"
#include "backend/interfaces.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/map_routine.h"
#include "backend/mapping_status.h"
#include "corelib/hardware_device.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "devices/virtual_device.h"
#include "program/program_generated.h"
#include "program/record.h"
#include "test_support.h"

namespace vorna::engine_test {

using test_support::target_of;

class TLayer : public LayerImpl, public HasConvParams {
  public:
    TLayer(const std::string& name, LayerType type, const std::map<std::string, int>& params)
        : LayerImpl(*LayerParams::create(type, params), name), target(target_of(type)) {}

    std::vector<Shape> input_dimensions() const override { return inputs; }
    Shape output_dimensions() const override { return output; }
    uint8_t input_bits() const override { return in_bits; }
    uint8_t output_bits() const override { return out_bits; }
    bool output_signed() const override { return false; }
    int output_format() const override { return out_format; }
    bool is_target_component(TargetComponent t) const override { return t == target; }
    bool is_depthwise() const override { return false; }
    bool can_learn() const override { return learns; }
    bool activation_enabled() const override { return act; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbound; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override {
        std::vector<std::shared_ptr<Layer>> out;
        for (const auto& w : outbound) out.push_back(w.lock());
        return out;
    }
    const ConvCalculatedParams& conv_calculated_params() const override { return conv; }

    TargetComponent target;
    std::vector<Shape> inputs{Shape({8, 8, 4})};
    Shape output{Shape({8, 8, 4})};
    uint8_t in_bits = 8;
    uint8_t out_bits = 8;
    int out_format = 2;
    bool learns = false;
    bool act = true;
    ConvCalculatedParams conv;
    std::vector<std::shared_ptr<Layer>> inbound;
    std::vector<std::weak_ptr<Layer>> outbound;
};

using TPtr = std::shared_ptr<TLayer>;

inline TPtr layer(const std::string& name, LayerType type,
                  const std::map<std::string, int>& params = {}) {
    return std::make_shared<TLayer>(name, type, params);
}

inline TPtr conv(const std::string& name, Shape input = Shape({8, 8, 4}), int filters = 4) {
    auto l = layer(name, LayerType::Conv2D, {{"filters", filters}, {"kernel_size", 3}});
    l->inputs = {input};
    l->output = Shape({input[0], input[1], static_cast<uint32_t>(filters)});
    return l;
}

using test_support::link;

// Links the layers one after the other and returns them as a layer list.
inline std::vector<std::shared_ptr<Layer>> chain(std::initializer_list<TPtr> layers) {
    std::vector<std::shared_ptr<Layer>> out(layers.begin(), layers.end());
    const TPtr* prev = nullptr;
    for (const TPtr& l : layers) {
        if (prev) link(*prev, l);
        prev = &l;
    }
    return out;
}

// An Add layer with the three shift variables its merge planning reads.
inline TPtr add_layer(const std::string& name) {
    auto l = layer(name, LayerType::Add);
    for (const char* var : {"a_shift", "b_shift", "output_shift"}) {
        std::shared_ptr<Dense> t =
            Dense::create(TensorType::uint8, Shape({4}), Dense::Layout::RowMajor);
        l->variables()->set(var, t);
    }
    return l;
}

inline LayerMapping& mapping_of(const std::shared_ptr<Layer>& l) {
    auto* m = dynamic_cast<LayerMapping*>(l->mapping().get());
    if (!m) throw std::runtime_error("no LayerMapping on " + l->get_name());
    return *m;
}

// ---------------------------------------------------------------------------
// Meshes and devices.

constexpr HwVersion kV2{0xBC, 0xA2, 0, 1};
constexpr HwVersion kMote{0xBC, 0xB1, 0, 1};

inline const std::set<hw::Type> kConvKinds{hw::Type::CNP1, hw::Type::CNP2, hw::Type::TNP_B};

// The default mesh: HRC with a look-up table; NPs at columns 1-2, row 1,
// ids 0-3: (1,1,3) an FNP3, (2,1,3) CNP1/CNP2/FNP2, the others CNP1/CNP2/TNP_B;
// one skip DMA in column 1 with 4 channels; DMA event endpoint (1,1,0).
inline Mesh default_mesh(bool with_hrc = true) {
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= 2; ++col) {
        for (uint8_t id = 0; id < 4; ++id) {
            std::set<hw::Type> kinds = kConvKinds;
            if (col == 1 && id == 3) kinds = {hw::Type::FNP3};
            if (col == 2 && id == 3) kinds = {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP2};
            nps.emplace_back(hw::Ident(col, 1, id), kinds, true);
        }
    }
    std::optional<np::Info> hrc;
    if (with_hrc) hrc = np::Info(hw::Ident(0, 0, 0), {hw::Type::HRC}, true);
    std::vector<np::Info> skip{
        np::Info(hw::Ident(1, 1, 3, 4), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD})};
    return Mesh(IpVersion::v2, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), hrc, nps, skip);
}

// `count` NPs that are CNP1/CNP2/TNP_B, at column 1 + i/4, row 1, id i%4.
inline Mesh cnp_mesh(uint32_t count, IpVersion ip = IpVersion::v2) {
    return Mesh(ip, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), std::nullopt,
                test_support::plain_nps(count), {});
}

// ---------------------------------------------------------------------------
// The per-version doubles, driven by one shared script.

struct Script {
    // Checker.
    std::function<MappingStatus(const Layer&)> compat;
    // Answer of check_layer_sequence by the length of the run.
    std::function<MappingStatus(size_t)> sequence;
    // Width a CNP may take before the layer is split (0: no limit).
    uint32_t max_np_width = 0;
    bool fnp3_fits = true;
    std::vector<size_t> sequence_calls;

    // Layer recorder: tracks per recorded layer (default 1); a layer whose
    // recording throws.
    std::map<std::string, size_t> tracks;
    std::string throw_on;
    std::string throw_text = "boom";
    // Learning recording: the track counts of the three records (none: the
    // recording throws) and whether the third has a filters track.
    std::vector<size_t> learn_tracks;
    bool learn_filters = false;
    uint32_t learn_fnp_sram_size = 0;
    struct Recorded {
        std::string layer;
        std::string second_layer;
        std::string shared_layer;
        bool starts_pass;
        bool ends_pass;
        std::vector<hw::Ident> idents;
        bool registers_only;
        bool fnp_flag;
        uint8_t channel;  // the mapping's channel while recording
    };
    std::vector<Recorded> recorded;
    std::vector<std::pair<std::string, bool>> learned;

    // IO recorder.
    size_t epg_registers = 6;
};

class ScriptChecker : public CompatibilityChecker {
  public:
    ScriptChecker(const Device& d, const HardwareConstraints& c, std::shared_ptr<Script> s)
        : CompatibilityChecker(d, c), s_(std::move(s)) {}
    MappingStatus check_layer_compatibility(const Layer& l, const Layer*,
                                            const HwVersion&) const override {
        return s_->compat ? s_->compat(l) : MappingStatus::success();
    }
    MappingStatus check_layer_sequence(LayerListIterator begin, LayerListIterator end,
                                       const HwVersion&) const override {
        const size_t n = static_cast<size_t>(end - begin);
        s_->sequence_calls.push_back(n);
        return s_->sequence ? s_->sequence(n) : MappingStatus::success();
    }
    MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&,
                                       bool) const override {
        return MappingStatus::success();
    }
    bool is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t w, uint32_t, uint32_t,
                                         uint8_t, uint32_t) const override {
        return s_->max_np_width == 0 || w <= s_->max_np_width;
    }
    bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t w, uint32_t, uint32_t, uint8_t,
                                       uint32_t) const override {
        return s_->max_np_width == 0 || w <= s_->max_np_width;
    }
    bool is_weights_size_fit_np(const Layer&, uint32_t) const override { return true; }
    NpSplitParams np_split_params(hw::Type, const LayerParams& params) const override {
        NpSplitParams p;
        p.filters = params.has("filters") ? static_cast<uint32_t>(params.get("filters")) : 1;
        return p;
    }
    bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override {
        return s_->fnp3_fits;
    }

  private:
    std::shared_ptr<Script> s_;
};

class ScriptSizer : public MemorySizer {
  public:
    explicit ScriptSizer(std::shared_ptr<Script> s) : s_(std::move(s)) {}
    uint32_t get_input_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                   const std::shared_ptr<Layer>&) const override {
        return 100;
    }
    uint32_t get_weight_memory_size(const std::shared_ptr<Layer>&,
                                    const hw::Component&) const override {
        return 200;
    }
    // 1 in a single pass, 2 in several; 10 more for a dual-output store.
    uint32_t get_external_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                      bool dual_output, bool multi) const override {
        return (multi ? 2 : 1) + (dual_output ? 10 : 0);
    }
    uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>&) const override { return 0; }
    uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>&) const override { return 0; }
    uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>&) const override { return 0; }
    uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>&) const override { return 0; }

  private:
    std::shared_ptr<Script> s_;
};

class ScriptIo : public IoRecorder {
  public:
    ScriptIo(const Device& d, std::shared_ptr<Script> s) : IoRecorder(d), s_(std::move(s)) {}
    std::unique_ptr<program::Record> record_scc(bool, bool, bool, bool, bool, const Shape&,
                                                const Shape&) const override {
        auto r = program::new_record(device_.version());
        r->add_np_track(hw::Ident(1, 1, 1), dma::IpRegisters, 0, {0x5CC}, true, false);
        return r;
    }
    std::vector<RegisterWrite> record_epg(const Layer&, uint8_t lo, uint8_t hi, uint8_t, bool, bool,
                                          bool) const override {
        std::vector<RegisterWrite> regs;
        for (size_t i = 0; i < s_->epg_registers; ++i) {
            regs.emplace_back(0x100 + 4 * static_cast<uint32_t>(i), lo << 8 | hi);
        }
        return regs;
    }
    fb::IoType get_input_type(const Layer&) const override { return fb::IoType(0); }
    fb::IoType get_output_type(const Layer&, int8_t) const override { return fb::IoType(0); }

  private:
    std::shared_ptr<Script> s_;
};

class ScriptRecorder : public LayerRecorder {
  public:
    ScriptRecorder(const Device& d, const HardwareConstraints& c, std::shared_ptr<Script> s)
        : LayerRecorder(d, c), s_(std::move(s)) {}
    std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& second,
                                                  std::shared_ptr<Layer> shared, bool starts,
                                                  bool ends, const std::vector<hw::Ident>& idents,
                                                  bool registers_only,
                                                  bool fnp_flag) const override {
        if (layer.get_name() == s_->throw_on) throw std::runtime_error(s_->throw_text);
        const auto* m = dynamic_cast<const LayerMapping*>(layer.mapping().get());
        s_->recorded.push_back({layer.get_name(), second.get_name(),
                                shared ? shared->get_name() : "", starts, ends, idents,
                                registers_only, fnp_flag, m ? m->channel : uint8_t{0}});
        auto r = program::new_record(device_.version());
        const auto it = s_->tracks.find(layer.get_name());
        const size_t n = it == s_->tracks.end() ? 1 : it->second;
        for (size_t i = 0; i < n; ++i) {
            r->add_np_track(hw::Ident(1, 1, static_cast<uint8_t>(i % 4)), dma::NpRegisters, 0,
                            {static_cast<uint32_t>(s_->recorded.size()), static_cast<uint32_t>(i)},
                            true, false);
        }
        return r;
    }
    program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool starts) const override {
        if (s_->learn_tracks.size() != 3) throw std::runtime_error("no learning here");
        s_->learned.push_back({layer.get_name(), starts});
        program::LearnRecordsPtr out;
        std::unique_ptr<program::Record>* records[3] = {&out.first, &out.second, &out.third};
        for (uint32_t r = 0; r < 3; ++r) {
            *records[r] = program::new_record(device_.version());
            for (uint32_t t = 0; t < s_->learn_tracks[r]; ++t) {
                (*records[r])
                    ->add_np_track(hw::Ident(1, 1, 0), dma::NpRegisters, 0, {0x1000 * (r + 1) + t},
                                   true, false);
            }
        }
        if (s_->learn_filters) out.third->add_fnp2_filters_track(hw::Ident(2, 1, 3), {7, 8, 9});
        out.fnp_sram_size = s_->learn_fnp_sram_size;
        return out;
    }
    void sync_learning_vars(std::shared_ptr<Layer>) const override {}

  private:
    std::shared_ptr<Script> s_;
};

inline IpVersionSpecificHardwareBackend::Factory script_factory(const std::shared_ptr<Script>& s) {
    IpVersionSpecificHardwareBackend::Factory f;
    f.checker = [s](const Device& d, const HardwareConstraints& c) {
        return std::unique_ptr<CompatibilityChecker>(new ScriptChecker(d, c, s));
    };
    f.memory_sizer = [s]() { return std::unique_ptr<MemorySizer>(new ScriptSizer(s)); };
    f.io_recorder = [s](const Device& d) {
        return std::unique_ptr<IoRecorder>(new ScriptIo(d, s));
    };
    f.layer_recorder = [s](const Device& d, const HardwareConstraints& c) {
        return std::unique_ptr<LayerRecorder>(new ScriptRecorder(d, c, s));
    };
    return f;
}

// A device with a mesh and, optionally, hardware behind it.
class FakeDevice : public Device {
  public:
    FakeDevice(HwVersion v, Mesh mesh, HardwareDevice* hw = nullptr)
        : version_(v), mesh_(std::move(mesh)), hw_(hw) {}
    HwVersion version() const override { return version_; }
    const char* desc() const override { return "FakeDevice"; }
    const Mesh& mesh() const override { return mesh_; }
    HardwareDevice* hardware() const override { return hw_; }

  private:
    HwVersion version_;
    Mesh mesh_;
    HardwareDevice* hw_;
};

// A device, map constraints and a bundle of scripted doubles; map() runs the
// map routine through its test seam.
struct Rig {
    Rig(HwVersion version, Mesh mesh)
        : Rig(std::make_shared<FakeDevice>(version, std::move(mesh))) {}
    explicit Rig(std::shared_ptr<Device> d)
        : device(std::move(d)),
          constraints(std::make_shared<MapConstraints>(device)),
          bundle(*device, script_factory(script)) {}

    MappingStatusGroup map(LayerList* layers, bool multipass = true) {
        return map_on_hardware(bundle, constraints, layers, &sequences, multipass);
    }
    std::shared_ptr<HardwareSequence> sequence(size_t i = 0) const {
        return std::dynamic_pointer_cast<HardwareSequence>(sequences.at(i));
    }

    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::shared_ptr<Device> device;
    std::shared_ptr<MapConstraints> constraints;
    IpVersionSpecificHardwareBackend bundle;
    std::vector<std::shared_ptr<Sequence>> sequences;
};

// ---------------------------------------------------------------------------
// Program bytes: both buffers verify, both size prefixes hold, every span of
// the info buffer resolves to the words of its track in the data buffer.

struct ProgramView {
    const fb::ProgramInfo* info = nullptr;
    const fb::ProgramData* data = nullptr;
    const uint8_t* data_begin = nullptr;
};

// The view points into `program`, which must outlive it.
inline ProgramView check_program(const ByteView& program) {
    const struct {
        const uint8_t* ptr;
        size_t n;
        const uint8_t* data() const { return ptr; }
        size_t size() const { return n; }
    } bytes{program.data, program.size};
    ProgramView view;
    EXPECT_GE(bytes.size(), 8u);
    if (bytes.size() < 8) return view;
    uint32_t n1 = 0;
    std::memcpy(&n1, bytes.data(), 4);
    EXPECT_LE(size_t{n1} + 8, bytes.size());
    if (size_t{n1} + 8 > bytes.size()) return view;
    uint32_t n2 = 0;
    std::memcpy(&n2, bytes.data() + 4 + n1, 4);
    EXPECT_EQ(size_t{n1} + 4 + n2 + 4, bytes.size()) << "size prefixes do not cover the bytes";

    flatbuffers::Verifier vi(bytes.data(), n1 + 4);
    EXPECT_TRUE(vi.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr));
    const uint8_t* data_begin = bytes.data() + 4 + n1;
    flatbuffers::Verifier vd(data_begin, n2 + 4);
    EXPECT_TRUE(vd.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
    view.info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(bytes.data());
    view.data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(data_begin);
    view.data_begin = data_begin;

    const auto* pass_spans = view.info->passes();
    const auto* pass_records = view.data->passes();
    EXPECT_TRUE(pass_spans && pass_records);
    if (!pass_spans || !pass_records) return view;
    EXPECT_EQ(pass_spans->size(), pass_records->size());
    for (flatbuffers::uoffset_t p = 0; p < pass_spans->size() && p < pass_records->size(); ++p) {
        const auto* spans = pass_spans->Get(p)->records();
        const auto* records = pass_records->Get(p)->records();
        EXPECT_EQ(spans->size(), records->size());
        for (flatbuffers::uoffset_t r = 0; r < spans->size() && r < records->size(); ++r) {
            const auto* tspans = spans->Get(r)->tracks();
            const auto* tracks = records->Get(r)->tracks();
            EXPECT_EQ(tspans->size(), tracks->size());
            for (flatbuffers::uoffset_t t = 0; t < tspans->size() && t < tracks->size(); ++t) {
                const fb::TrackSpan* span = tspans->Get(t);
                const auto* words = tracks->Get(t)->data();
                EXPECT_EQ(span->offset() % 4, 0u);
                EXPECT_EQ(span->size(), words->size());
                EXPECT_LE(span->offset() + 4ull * span->size(), size_t{n2} + 4);
                EXPECT_EQ(data_begin + span->offset(),
                          reinterpret_cast<const uint8_t*>(words->Data()));
            }
        }
    }
    const fb::TrackSpan* dummy = view.info->dummy_desc_hdr();
    EXPECT_NE(dummy, nullptr);
    if (dummy) {
        EXPECT_EQ(dummy->size(), 2u);
        EXPECT_EQ(data_begin + dummy->offset(),
                  reinterpret_cast<const uint8_t*>(view.data->dummy_desc_hdr()));
    }
    return view;
}

}  // namespace vorna::engine_test
