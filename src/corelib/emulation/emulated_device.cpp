// The emulated hardware device: runs on the emulated drivers, and HardwareDevice::create,
// which gives it.

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "corelib/emulation/emulation.h"
#include "corelib/hardware_device.h"
#include "corelib/program_info.h"
#include "devices/host_hooks.h"

namespace vorna {

namespace emu {

TensorType output_type(uint8_t output_bits, bool activation) {
    switch (output_bits) {
        case 1:
            return TensorType::bit;
        case 2:
            return TensorType::uint2;
        case 4:
            return activation ? TensorType::uint4 : TensorType::int4;
        case 8:
            return activation ? TensorType::uint8 : TensorType::int8;
        case 16:
            return TensorType::int16;
        default:
            return output_bits > 16 ? TensorType::int32 : TensorType::uint8;
    }
}

namespace {

enum class RunMode { forward, predict, fit };

bool is_signed(TensorType type) {
    return type == TensorType::int4 || type == TensorType::int8 || type == TensorType::int16 ||
           type == TensorType::int2;
}

// The raw output value of element i for a frame whose byte sum modulo 251 is s: (s + i)
// modulo 2^bits, folded into the signed range for signed types; int32 takes s + i.
int64_t output_value(uint64_t s, uint64_t i, TensorType type, uint8_t bits) {
    if (type == TensorType::int32) return static_cast<int64_t>(s + i);
    const uint32_t width = bits == 0 ? 8 : std::min<uint32_t>(bits, 16);
    const uint64_t modulus = uint64_t{1} << width;
    int64_t v = static_cast<int64_t>((s + i) % modulus);
    if (is_signed(type) && v >= static_cast<int64_t>(modulus / 2)) {
        v -= static_cast<int64_t>(modulus);
    }
    return v;
}

template <class T>
void fill(Dense& out, uint64_t s, TensorType type, uint8_t bits) {
    T* data = out.data<T>();
    for (size_t i = 0; i < out.size(); ++i) {
        data[i] = static_cast<T>(output_value(s, i, type, bits));
    }
}

class EmulatedHardwareDevice final : public HardwareDevice {
  public:
    EmulatedHardwareDevice(EmulatedDriver* driver, uint32_t creation)
        : driver_(driver), creation_(creation) {
        desc_ = "Emulated " + driver->spec().preset + " " +
                hw_version_to_string(driver->spec().version);
        if (driver->spec().clkwrap) clock_ = kClockCounterWrapStart;
    }

    HwVersion version() const override {
        uint32_t word = 0;
        driver_->read(kIpBase + kVersionReg, &word, sizeof(word));
        return HwVersion{static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                         static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    }
    HardwareDriver* driver() const override { return driver_; }
    uint32_t read_np_config(const hw::Ident& ident) const override {
        uint32_t word = 0;
        driver_->read(kIpBase + np_config_offset(ident.col, ident.row, ident.id), &word,
                      sizeof(word));
        return word;
    }
    const char* desc() const override { return desc_.c_str(); }

    int program(const uint8_t* data, size_t size) override {
        auto info = std::make_unique<ProgramInfo>(data, size);
        check_frame_dims(*info);
        std::vector<uint32_t> learn = learning_memory(*info);
        info_ = std::move(info);
        learn_mem_ = std::move(learn);
        program_ = ByteView{data, size};
        program_clock_ = kProgramBaseCycles + static_cast<uint32_t>(size / 4);
        note_memory();
        return 0;
    }

    int program_external(const uint8_t* data, size_t size, uint32_t /*address*/) override {
        auto info = std::make_unique<ProgramInfo>(data, size);
        check_frame_dims(*info);
        const size_t info_bytes = info->info_size();
        info_ = std::move(info);
        learn_mem_.clear();
        program_ = ByteView{data, info_bytes};
        program_clock_ = kProgramBaseCycles + static_cast<uint32_t>(info_bytes / 4);
        note_memory();
        return 0;
    }

    const ByteView& program() const override { return program_; }

    void unprogram() override {
        info_.reset();
        learn_mem_.clear();
        program_ = ByteView{nullptr, 0};
    }

    void set_batch_size(size_t frames, bool) override { batch_size_ = frames; }
    bool learn_enabled() const override { return learn_enabled_; }
    void set_learn_enabled(bool enabled) override { learn_enabled_ = enabled; }

    Outputs forward(const Frames& frames) override { return run(frames, RunMode::forward); }
    Outputs predict(const Frames& frames) override { return run(frames, RunMode::predict); }
    // Learning is not emulated: fit runs like forward and leaves the learning memory as it is.
    Outputs fit(const Frames& frames, const std::vector<int32_t>&) override {
        return run(frames, RunMode::fit);
    }

    uint32_t learn_mem_size() const override { return static_cast<uint32_t>(learn_mem_.size()); }
    void read_learn_mem(uint32_t* words) const override {
        if (!learn_mem_.empty()) std::memcpy(words, learn_mem_.data(), learn_mem_.size() * 4);
    }
    void write_learn_mem(const uint32_t* words) override {
        if (!learn_mem_.empty()) std::memcpy(learn_mem_.data(), words, learn_mem_.size() * 4);
    }

    void enable_clock_counter(bool enable) override { clock_enabled_ = enable; }
    uint32_t read_clock_counter() const override { return clock_; }
    uint32_t program_clock_count() const override { return program_clock_; }

    uint64_t memory() const override { return uint64_t{usage()} | uint64_t{top_} << 32; }
    void reset_top_memory() override { top_ = usage(); }

  private:
    // The learning layer's memory from the third learning record: its FNP2 filters, or the
    // payload of its first non-empty track after the two header words, behind two zero words
    // (an FNP3 has no filters track).
    static std::vector<uint32_t> learning_memory(const ProgramInfo& info) {
        const fb::LearningRecords* learning = info.learning();
        if (!learning || !learning->record3()) return {};
        const fb::RecordTracks* record = learning->record3();
        if (record->fnp2_filters() && record->fnp2_filters()->data() &&
            record->fnp2_filters()->data()->size() > 0) {
            const auto* words = record->fnp2_filters()->data();
            return std::vector<uint32_t>(words->begin(), words->end());
        }
        if (!record->tracks()) return {};
        for (const fb::NpTrack* track : *record->tracks()) {
            if (!track || !track->data() || track->data()->size() == 0) continue;
            std::vector<uint32_t> mem{0, 0};
            const auto* words = track->data();
            for (uint32_t i = 2; i < words->size(); ++i) mem.push_back(words->Get(i));
            return mem;
        }
        return {};
    }

    // The program's output shape with its last dimension cut to `first_byte` elements (at
    // least 1): the outputs of differing sizes that the ragged option gives.
    static Shape ragged_shape(const Shape& shape, uint8_t first_byte) {
        std::vector<uint32_t> dims = shape.to_vector();
        dims.back() = std::clamp<uint32_t>(first_byte, 1, dims.back());
        return Shape(dims);
    }

    uint32_t usage() const { return static_cast<uint32_t>(program_.size + 4 * learn_mem_.size()); }
    void note_memory() { top_ = std::max(top_, usage()); }

    Outputs run(const Frames& frames, RunMode mode) {
        if (!info_) throw std::runtime_error("The device is not programmed.");
        if (driver_->spec().hrc_timeout && creation_ == 1) {
            throw std::runtime_error("HRC time-out.");
        }
        kick_watchdog();
        // Both lists of dims were checked when the device was programmed.
        const size_t in_count = Shape(info_->input_dims()).element_count();
        const Shape out_shape(info_->output_dims());
        const uint8_t bits = info_->output_bits();
        const TensorType raw_type = output_type(bits, info_->activation());
        const std::vector<float> scales = info_->output_scales();
        const DriverSpec& spec = driver_->spec();

        Outputs outputs;
        for (const auto& frame : frames) {
            if (!frame) throw std::invalid_argument("Input dimensions do not match the program.");
            auto dense = Tensor::ensure_dense(frame);
            if (dense->size() != in_count) {
                throw std::invalid_argument("Input dimensions do not match the program.");
            }
            if (spec.nooutputs) continue;
            uint64_t sum = 0;
            for (uint8_t b : dense->buffer()) sum += b;
            const uint64_t s = sum % 251;
            const Shape shape =
                spec.ragged ? ragged_shape(out_shape, dense->buffer()[0]) : out_shape;
            if (mode == RunMode::predict) {
                auto out = Dense::create(TensorType::float32, shape, Dense::Layout::RowMajor);
                float* data = out->data<float>();
                const size_t channels = shape[shape.size() - 1];
                for (size_t i = 0; i < out->size(); ++i) {
                    const size_t ch = i % channels;
                    const float scale = ch < scales.size() ? scales[ch] : 1.0f;
                    data[i] = static_cast<float>(output_value(s, i, raw_type, bits)) * scale;
                }
                outputs.push_back(std::move(out));
                continue;
            }
            auto out = Dense::create(raw_type, shape, Dense::Layout::RowMajor);
            switch (raw_type) {
                case TensorType::int32:
                    fill<int32_t>(*out, s, raw_type, bits);
                    break;
                case TensorType::int16:
                    fill<int16_t>(*out, s, raw_type, bits);
                    break;
                case TensorType::int8:
                case TensorType::int4:
                case TensorType::bit:
                    fill<int8_t>(*out, s, raw_type, bits);
                    break;
                default:
                    fill<uint8_t>(*out, s, raw_type, bits);
                    break;
            }
            outputs.push_back(std::move(out));
        }
        if (clock_enabled_) {
            clock_ += kRunCyclesPerFrame * static_cast<uint32_t>(frames.size()) + kRunExtraCycles;
        }
        if (auto* soc = dynamic_cast<EmulatedSocDriver*>(driver_)) {
            const uint32_t voltage = spec.powerwrap ? kWrapVoltage : kRunVoltage;
            const uint32_t current = (spec.powerwrap ? kWrapCurrent : kRunCurrent) +
                                     static_cast<uint32_t>(frames.size() % 50);
            soc->log_power(voltage, current);
            soc->log_power(voltage, current);
        }
        return outputs;
    }

    EmulatedDriver* driver_;
    uint32_t creation_;
    std::string desc_;
    std::unique_ptr<ProgramInfo> info_;
    ByteView program_{nullptr, 0};
    std::vector<uint32_t> learn_mem_;
    uint32_t program_clock_ = 0;
    uint32_t clock_ = 0;
    bool clock_enabled_ = false;
    bool learn_enabled_ = false;
    size_t batch_size_ = 0;
    uint32_t top_ = 0;
};

}  // namespace
}  // namespace emu

std::shared_ptr<HardwareDevice> HardwareDevice::create(HardwareDriver* driver) {
    if (!driver) throw std::invalid_argument("A hardware device needs a driver.");
    auto* emulated = dynamic_cast<emu::EmulatedDriver*>(driver);
    if (!emulated) throw std::runtime_error("Unsupported hardware driver.");
    const uint32_t creation = emulated->count_creation();
    if (emulated->spec().fail) throw std::runtime_error("Emulated driver failure.");
    return std::make_shared<emu::EmulatedHardwareDevice>(emulated, creation);
}

}  // namespace vorna
