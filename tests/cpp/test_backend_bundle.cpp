#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/backend_bundle.h"
#include "backend/hardware_backend.h"
#include "backend/v1/compatibility_checker.h"
#include "backend/v1/io_recorder.h"
#include "backend/v1/layer_recorder.h"
#include "backend/v1/memory_sizer.h"
#include "backend/v2/io_recorder.h"
#include "backend/v2/layer_recorder.h"
#include "corelib/device.h"
#include "devices/hw_version.h"
#include "graph_fakes.h"
#include "program/record.h"
#include "test_support.h"

namespace vorna {
namespace {

using test_support::runtime_error_text;

using Words = std::array<uint32_t, 19>;

using test_support::MeshDevice;

TEST(BundleConstraints, V2Preset) {
    const MeshDevice d(Selvo_v2, IpVersion::v2);
    const IpVersionSpecificHardwareBackend bundle(d);
    EXPECT_EQ(bundle.constraints().words(),
              (Words{12288, 4096, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 8192, 16384, 16384,
                     256, 0, 0, 0, 0}));
}

TEST(BundleConstraints, V1PresetForBothProducts) {
    for (HwVersion version : {Tarn_v1, XVR2200_v1}) {
        SCOPED_TRACE(hw_version_to_string(version));
        const MeshDevice d(version, IpVersion::v1);
        const IpVersionSpecificHardwareBackend bundle(d);
        // w = 44800: (358400 >> 5) * 48 / 50 = 10752, 358400 / 50 = 7168;
        // i = 43008: 344064 >> 6 = 5376, >> 5 = 10752.
        EXPECT_EQ(bundle.constraints().words(),
                  (Words{10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 5376, 10752,
                         10752, 0, 0, 0, 0, 0}));
    }
}

TEST(BundleConstraints, MotePreset) {
    const MeshDevice d(Mote_Selvo, IpVersion::mote);
    const IpVersionSpecificHardwareBackend bundle(d);
    EXPECT_EQ(bundle.constraints().words(),
              (Words{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 448, 8192, 892, 256}));
}

TEST(BundleConstraints, ComeFromTheDevicesMesh) {
    MeshDevice d(Selvo_v2, IpVersion::v2);
    d.mutable_mesh().np_sram_size.input_bytes = 1000;
    d.mutable_mesh().np_sram_size.weight_bytes = 1000;
    const IpVersionSpecificHardwareBackend bundle(d);
    const HardwareConstraints& c = bundle.constraints();
    EXPECT_EQ(c.fnp3_sram_size, 240u);  // (8000 >> 5) * 48 / 50
    EXPECT_EQ(c.weight_sram_size, 80u);
    EXPECT_EQ(c.input_sram_size_dual_buffer, 125u);
    EXPECT_EQ(c.input_sram_size_single_buffer, 250u);
    EXPECT_EQ(c.fnp_input_sram_size, 250u);

    // Products are taken in 32 bits: 0x20000000 bytes times 8 wraps to 0.
    d.mutable_mesh().np_sram_size.weight_bytes = 0x20000000;
    d.mutable_mesh().np_sram_size.input_bytes = 0x20000001;
    const IpVersionSpecificHardwareBackend wrapped(d);
    EXPECT_EQ(wrapped.constraints().fnp3_sram_size, 0u);
    EXPECT_EQ(wrapped.constraints().weight_sram_size, 0u);
    EXPECT_EQ(wrapped.constraints().input_sram_size_single_buffer, 0u);  // 8 >> 5

    MeshDevice m(Mote_Selvo, IpVersion::mote);
    m.mutable_mesh().np_sram_size = SramSize{9, 9, 1, 2, 3, 4};
    const IpVersionSpecificHardwareBackend mote(m);
    EXPECT_EQ(mote.constraints().words(),
              (Words{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}));
}

TEST(BundleErrors, UnsupportedProducts) {
    for (uint8_t product : {0xA0, 0xA3, 0xB0}) {
        const MeshDevice d(HwVersion{0xBC, product, 1, 0}, IpVersion::v2);
        EXPECT_EQ(runtime_error_text([&] { IpVersionSpecificHardwareBackend bundle(d); }),
                  "Unsupported IP version in IpVersionSpecificHardwareBackend.");
    }
}

TEST(BundleV1, CreatesTheV1Implementations) {
    for (HwVersion version : {Tarn_v1, XVR2200_v1}) {
        SCOPED_TRACE(hw_version_to_string(version));
        const MeshDevice d(version, IpVersion::v1);
        const IpVersionSpecificHardwareBackend bundle(d);
        EXPECT_NE(dynamic_cast<const v1::CompatibilityCheckerImpl*>(&bundle.checker()), nullptr);
        EXPECT_NE(dynamic_cast<const v1::MemorySizerImpl*>(&bundle.memory_sizer()), nullptr);
        EXPECT_NE(dynamic_cast<const v1::IoRecorderImpl*>(&bundle.io_recorder()), nullptr);
        EXPECT_NE(dynamic_cast<const v1::LayerRecorderImpl*>(&bundle.layer_recorder()), nullptr);
        // The v1 sizer answers without throwing: v1 has no TNP memories.
        EXPECT_EQ(bundle.memory_sizer().get_stsram_32b_memory_size({}), 0u);
    }
}

TEST(BundleErrors, V2BundleHoldsTheV2Recorders) {
    const MeshDevice d(Selvo_v2, IpVersion::v2);
    const IpVersionSpecificHardwareBackend bundle(d);
    EXPECT_NE(dynamic_cast<const v2::IoRecorderImpl*>(&bundle.io_recorder()), nullptr);
    EXPECT_NE(dynamic_cast<const v2::LayerRecorderImpl*>(&bundle.layer_recorder()), nullptr);
    EXPECT_EQ(
        bundle.io_recorder().record_scc(false, false, false, false, false, {}, {})->tracks().size(),
        1u);
}

TEST(BundleErrors, MoteBundleHoldsTheMoteImplementations) {
    const MeshDevice d(Mote_Selvo, IpVersion::mote);
    const IpVersionSpecificHardwareBackend bundle(d);
    const auto layer = graph_test::conv("conv");
    const MappingStatus status =
        bundle.checker().check_layer_compatibility(*layer, nullptr, Mote_Selvo);
    EXPECT_TRUE(status.error);
    EXPECT_EQ(status.message, "Unsupported layer type on Mote.");
    EXPECT_EQ(
        bundle.io_recorder().record_scc(false, false, false, false, false, {}, {})->tracks().size(),
        0u);
    EXPECT_EQ(runtime_error_text([&] { bundle.layer_recorder().sync_learning_vars({}); }),
              "Learning not implemented on mote.");
}

// --- Test doubles put in place through the factory ----------------------------

using Log = std::vector<std::string>;

class LoggingChecker : public CompatibilityChecker {
  public:
    LoggingChecker(const Device& d, const HardwareConstraints& c, Log* log)
        : CompatibilityChecker(d, c), log_(log) {
        log_->push_back("+checker");
    }
    ~LoggingChecker() override { log_->push_back("-checker"); }
    MappingStatus check_layer_compatibility(const Layer&, const Layer*,
                                            const HwVersion&) const override {
        return MappingStatus::success();
    }
    MappingStatus check_layer_sequence(LayerListIterator, LayerListIterator,
                                       const HwVersion&) const override {
        return MappingStatus::success();
    }
    MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&,
                                       bool) const override {
        return MappingStatus::success();
    }
    bool is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                         uint32_t) const override {
        return true;
    }
    bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                       uint32_t) const override {
        return true;
    }
    bool is_weights_size_fit_np(const Layer&, uint32_t) const override { return true; }
    NpSplitParams np_split_params(hw::Type, const LayerParams&) const override { return {}; }
    // Answers from the constraints it is given, and notes which ones they were.
    bool check_fnp3_sram_size(const HardwareConstraints& c, const Layer&) const override {
        asked_with = &c;
        return c.fnp3_sram_size == 12288;
    }
    mutable const HardwareConstraints* asked_with = nullptr;

  private:
    Log* log_;
};

class LoggingSizer : public MemorySizer {
  public:
    explicit LoggingSizer(Log* log) : log_(log) { log_->push_back("+sizer"); }
    ~LoggingSizer() override { log_->push_back("-sizer"); }
    uint32_t get_input_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                   const std::shared_ptr<Layer>&) const override {
        return note("input", 1);
    }
    uint32_t get_weight_memory_size(const std::shared_ptr<Layer>&,
                                    const hw::Component&) const override {
        return note("weight", 2);
    }
    uint32_t get_external_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                      bool dual_output, bool multipass) const override {
        return note("external", 30 + (dual_output ? 1 : 0) + (multipass ? 2 : 0));
    }
    uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>&) const override {
        return note("fsram", 5);
    }
    uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>&) const override {
        return note("tsram", 6);
    }
    uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>&) const override {
        return note("evsram", 7);
    }
    uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>&) const override {
        return note("stsram", 4);
    }
    mutable Log calls;

  private:
    uint32_t note(const char* what, uint32_t value) const {
        calls.push_back(what);
        return value;
    }
    Log* log_;
};

class LoggingIo : public IoRecorder {
  public:
    LoggingIo(const Device& d, Log* log, bool fail) : IoRecorder(d), log_(log) {
        if (fail) throw std::runtime_error("io recorder failed");
        log_->push_back("+io");
    }
    ~LoggingIo() override { log_->push_back("-io"); }
    std::unique_ptr<program::Record> record_scc(bool, bool, bool, bool, bool, const Shape&,
                                                const Shape&) const override {
        return nullptr;
    }
    std::vector<RegisterWrite> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                          bool) const override {
        return {};
    }
    fb::IoType get_input_type(const Layer&) const override { return fb::IoType{}; }
    fb::IoType get_output_type(const Layer&, int8_t) const override { return fb::IoType{}; }

  private:
    Log* log_;
};

class LoggingRecorder : public LayerRecorder {
  public:
    LoggingRecorder(const Device& d, const HardwareConstraints& c, Log* log)
        : LayerRecorder(d, c), log_(log) {
        log_->push_back("+recorder");
    }
    ~LoggingRecorder() override { log_->push_back("-recorder"); }
    std::unique_ptr<program::Record> record_layer(const Layer&, const Layer&,
                                                  std::shared_ptr<Layer>, bool, bool,
                                                  const std::vector<hw::Ident>&, bool,
                                                  bool) const override {
        return nullptr;
    }
    program::LearnRecordsPtr record_learning_layer(const Layer&, bool) const override { return {}; }
    void sync_learning_vars(std::shared_ptr<Layer>) const override {}

  private:
    Log* log_;
};

IpVersionSpecificHardwareBackend::Factory logging_factory(Log* log, bool io_fails = false) {
    IpVersionSpecificHardwareBackend::Factory f;
    f.checker = [log](const Device& d, const HardwareConstraints& c) {
        return std::make_unique<LoggingChecker>(d, c, log);
    };
    f.memory_sizer = [log] { return std::make_unique<LoggingSizer>(log); };
    f.io_recorder = [log, io_fails](const Device& d) {
        return std::make_unique<LoggingIo>(d, log, io_fails);
    };
    f.layer_recorder = [log](const Device& d, const HardwareConstraints& c) {
        return std::make_unique<LoggingRecorder>(d, c, log);
    };
    return f;
}

TEST(BundleLifecycle, CreationAndReleaseOrder) {
    Log log;
    const MeshDevice d(Selvo_v2, IpVersion::v2);
    {
        const IpVersionSpecificHardwareBackend bundle(d, logging_factory(&log));
        EXPECT_EQ(log, (Log{"+checker", "+sizer", "+io", "+recorder"}));
        // The implementations hold the device and the bundle's own constraints.
        EXPECT_EQ(&bundle.checker().device(), &d);
        EXPECT_EQ(&bundle.checker().constraints(), &bundle.constraints());
        EXPECT_EQ(&bundle.layer_recorder().constraints(), &bundle.constraints());
        EXPECT_EQ(&bundle.io_recorder().device(), &d);
    }
    EXPECT_EQ(log, (Log{"+checker", "+sizer", "+io", "+recorder", "-recorder", "-io", "-sizer",
                        "-checker"}));
}

TEST(BundleLifecycle, FailedCreationReleasesWhatWasMade) {
    Log log;
    const MeshDevice d(Selvo_v2, IpVersion::v2);
    EXPECT_EQ(runtime_error_text(
                  [&] { IpVersionSpecificHardwareBackend bundle(d, logging_factory(&log, true)); }),
              "io recorder failed");
    EXPECT_EQ(log, (Log{"+checker", "+sizer", "-sizer", "-checker"}));

    // An unsupported product fails before anything is created.
    log.clear();
    const MeshDevice bad(HwVersion{0xBC, 0xA3, 1, 0}, IpVersion::v2);
    EXPECT_THROW(IpVersionSpecificHardwareBackend(bad, logging_factory(&log)), std::runtime_error);
    EXPECT_TRUE(log.empty());
}

TEST(BundleInterfaces, Fnp3CompatibilityUsesTheBundlesConstraints) {
    Log log;
    const MeshDevice d(Selvo_v2, IpVersion::v2);
    const IpVersionSpecificHardwareBackend bundle(d, logging_factory(&log));
    const auto& checker = static_cast<const LoggingChecker&>(bundle.checker());
    EXPECT_TRUE(checker.is_fnp3_compatible(*graph_test::conv("conv")));
    EXPECT_EQ(checker.asked_with, &bundle.constraints());
}

TEST(BundleInterfaces, MemoryInfoOrder) {
    Log log;
    const LoggingSizer sizer(&log);
    const hw::Component component(hw::Type::CNP1, hw::Ident(1, 1, 0));
    const MemoryInfo info = sizer.get_memory_info(nullptr, component, nullptr, true, false);
    EXPECT_EQ(sizer.calls,
              (Log{"input", "weight", "external", "stsram", "fsram", "tsram", "evsram"}));
    EXPECT_EQ(info.input_size, 1u);
    EXPECT_EQ(info.weight_size, 2u);
    EXPECT_EQ(info.external_size, 31u);  // dual_output passed on, multipass clear
    EXPECT_EQ(info.stsram_32b_size, 4u);
    EXPECT_EQ(info.fsram_64b_size, 5u);
    EXPECT_EQ(info.tsram_51b_size, 6u);
    EXPECT_EQ(info.evsram_32b_size, 7u);
    EXPECT_EQ(sizer.get_memory_info(nullptr, component, nullptr, false, true).external_size, 32u);
}

TEST(BundleBackend, HardwareBackendType) {
    HardwareBackend backend;
    EXPECT_EQ(backend.type(), BackendType::Hardware);
    EXPECT_EQ(static_cast<int>(backend.type()), 1);
}

}  // namespace
}  // namespace vorna
