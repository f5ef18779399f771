// The run path on emulated hardware as a whole: discovery with the real HRC probe, models
// mapped onto discovered host devices and run through Model::forward, predict and fit, learned
// variables read back from the emulated learning memory, and hardware then software sequences.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backend/hardware_sequence.h"
#include "devices/discovery.h"
#include "e2e_test_util.h"
#include "golden_program.h"

namespace vorna {
namespace {

using e2e::fill;
using e2e::fill_i8;
using e2e::make_layer;
using e2e::runtime_error_of;
using e2e::var;
using DeviceList = std::vector<std::shared_ptr<Device>>;

// Discovery with the real probe; it prints nothing but failures.
DeviceList discover(const std::string& specs, const std::string& printed = "") {
    emu::set_driver_specs(specs);
    ::testing::internal::CaptureStdout();
    DeviceList devices = populate_devices();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), printed);
    return devices;
}

void map(Model& model, const std::shared_ptr<Device>& device, bool hw_only = true) {
    model.map(device, hw_only, std::make_shared<MapConstraints>(device));
}

// The emulator's output element i for a frame whose byte sum is `sum`.
int expected_value(uint64_t sum, size_t i, uint32_t bits) {
    return int((sum % 251 + i) % (uint64_t{1} << bits));
}

std::shared_ptr<Dense> frames(Shape shape, int first) {
    auto d = Dense::create(TensorType::uint8, shape, Dense::Layout::RowMajor);
    for (size_t i = 0; i < d->size(); ++i) d->data<uint8_t>()[i] = uint8_t((first + i * 7) % 2);
    return d;
}

uint64_t frame_sum(const Dense& in, uint32_t frame) {
    const size_t per = in.size() / in.dimensions()[0];
    uint64_t s = 0;
    for (size_t i = 0; i < per; ++i) s += in.data<uint8_t>()[frame * per + i];
    return s;
}

// input (1, 1, `inputs`) of 1 bit -> FullyConnected "fc" of `units` 1-bit units, neuron n
// connected to inputs (n + k * step) % inputs for k < `links`; with `classes`, compiled for
// on-chip learning.
std::unique_ptr<Model> v1_dense_model(int inputs, uint32_t units, uint32_t links, uint32_t step,
                                      double classes = 0) {
    auto model = Model::create();
    // clang-format off
    model->add(make_layer(LayerType::InputData, "input", {{"input_width", 1}, {"input_height", 1},
                                                          {"input_channels", inputs}, {"input_bits", 1}}), {});
    // clang-format on
    auto fc = make_layer(LayerType::FullyConnected, "fc",
                         {{"units", int(units)}, {"weights_bits", 1}, {"act_bits", 1}});
    model->add(fc, {});
    Dense& w = var(*fc, "weights");
    fill_i8(w, [](size_t) { return int8_t(0); });
    for (uint32_t n = 0; n < units; ++n)
        for (uint32_t k = 0; k < links; ++k)
            w.data<int8_t>()[w.offset_of({n, (n * 7 + k * step) % inputs})] = 1;
    fill<int32_t>(var(*fc, "threshold"), 1);
    if (classes > 0) {
        fill<int32_t>(var(*fc, "threshold_learning"), 3);
        fill<int32_t>(var(*fc, "thswap"), 2);
        // clang-format off
        model->compile(LearningParams::create(LearningType::Unsupervised,
            {{"initial_plasticity", 1.0}, {"learning_competition", 0.0},
             {"min_plasticity", 0.10000000149011612}, {"num_classes", classes},
             {"num_weights", double(links)}, {"plasticity_decay", 0.25}}));
        // clang-format on
    }
    return model;
}

std::shared_ptr<HardwareSequence> hardware_sequence(const Model& model) {
    return std::dynamic_pointer_cast<HardwareSequence>(model.sequences().front());
}

std::vector<uint32_t> learn_mem(const HardwareDevice& hw) {
    std::vector<uint32_t> words(hw.learn_mem_size());
    hw.read_learn_mem(words.data());
    return words;
}

TEST(E2eHw, DiscoveryWithTheRealProbe) {
    const DeviceList devices = discover(
        "v2,tarn_v2,v1,mote,fail,tarn_v2+hrc_timeout,v1+hrc_timeout", "Emulated driver failure.\n");
    ASSERT_EQ(devices.size(), 6u);
    const std::vector<HwVersion> expected{Selvo_v2,   Tarn_v2, XVR2200_v1,
                                          Mote_Selvo, Tarn_v2, XVR2200_v1};
    // The probe ran on both Tarn_v2 devices; the one that timed out was created again.
    const std::vector<uint32_t> creations{1, 1, 1, 1, 2, 1};
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i]->version(), expected[i]) << i;
        EXPECT_EQ(devices[i]->hardware()->program().data, nullptr) << i;  // unprogrammed again
        auto& driver = dynamic_cast<emu::EmulatedDriver&>(*devices[i]->hardware()->driver());
        EXPECT_EQ(driver.count_creation(), creations[i] + 1) << i;
    }
    EXPECT_FALSE(hrc_check_timeout(devices[1]));
    EXPECT_FALSE(hrc_check_timeout(devices[4]));
    EXPECT_TRUE(hrc_check_timeout(devices[5]));  // never probed: it still times out
    // The probe's layer is a v1 kind: on v2 and mote its mapping fails.
    EXPECT_NE(runtime_error_of([&] { hrc_check_timeout(devices[0]); }), "");
    EXPECT_NE(runtime_error_of([&] { hrc_check_timeout(devices[3]); }), "");
    // The probe: an 8 x 8 x 1 frame, a padded 3 x 3 convolution of stride 2 (4 x 4), then a
    // 2 x 2 pooling of stride 2.
    std::shared_ptr<Device> tarn = devices[1];
    auto probe = make_hrc_test_model(tarn);
    EXPECT_EQ(probe->input_dimensions(), (Shape{8, 8, 1}));
    EXPECT_EQ(probe->output_dimensions(), (Shape{2, 2, 1}));
    // Its HRC register words 0 and 1: one channel (bit 12), max pooling 2 x 2 (bits 16 and 17),
    // 1-bit activation; stride y in bits 0-2, stride x in bits 4-6.
    const std::string dump = golden::dump_program(*probe);
    const std::string hrc_words = "track p0 r1 t0 n=36\n0x08800000\n0x00000008\n";
    const size_t at = dump.find(hrc_words);
    ASSERT_NE(at, std::string::npos) << dump;
    EXPECT_EQ(dump.substr(at + hrc_words.size(), 22), "0x00031001\n0x00000022\n");
}

TEST(E2eHw, ForwardOnAV1HostDeviceProgramsLazilyAndOnChange) {
    const DeviceList devices = discover("v1");
    HardwareDevice& hw = *devices[0]->hardware();
    auto model = v1_dense_model(64, 8, 6, 9, 2);
    map(*model, devices[0]);
    auto seq = hardware_sequence(*model);
    EXPECT_EQ(seq->name(), "HW/input-fc");
    EXPECT_EQ(hw.program().data, nullptr);
    auto in = frames(Shape{3, 1, 1, 64}, 0);
    auto result = Tensor::ensure_dense(model->forward(in, 0));
    EXPECT_EQ(hw.program().data, seq->program().data);  // the sequence's own buffer
    EXPECT_EQ(hw.program().size, seq->program().size);
    EXPECT_FALSE(hw.learn_enabled());
    ASSERT_EQ(result->dimensions(), (Shape{3, 1, 1, 8}));
    EXPECT_EQ(result->type(), TensorType::bit);
    for (uint32_t f = 0; f < 3; ++f)
        for (size_t i = 0; i < 8; ++i)
            EXPECT_EQ(int(result->data<int8_t>()[f * 8 + i]),
                      expected_value(frame_sum(*in, f), i, 1));
    EXPECT_EQ(Tensor::ensure_dense(model->forward(in, 2))->buffer(), result->buffer());

    // A change of the learning memory survives until another model programs the device.
    std::vector<uint32_t> mem = learn_mem(hw);
    const std::vector<uint32_t> programmed = mem;
    mem[5] ^= 0x10;
    hw.write_learn_mem(mem.data());
    model->forward(in, 0);
    EXPECT_EQ(learn_mem(hw), mem);
    auto other = v1_dense_model(64, 4, 6, 9);
    map(*other, devices[0]);
    other->forward(in, 0);
    EXPECT_EQ(hw.program().data, hardware_sequence(*other)->program().data);
    model->forward(in, 0);
    EXPECT_EQ(learn_mem(hw), programmed);
    seq.reset();
    map(*model, devices[0]);  // dropping the running sequence unprograms the device
    EXPECT_EQ(hw.program().data, nullptr);
}

TEST(E2eHw, FitReadsTheLearnedVariablesBackFromAnFnp3) {
    const DeviceList devices = discover("v1");
    HardwareDevice& hw = *devices[0]->hardware();
    auto model = v1_dense_model(64, 8, 6, 9, 2);
    map(*model, devices[0]);
    auto fc = model->get_layer("fc");
    ASSERT_EQ(layer_mapping_of(*fc).nps->at(0).type, hw::Type::FNP3);
    const auto before = std::dynamic_pointer_cast<Dense>(fc->variables()->get("weights"));
    auto in = frames(Shape{2, 1, 1, 64}, 0);
    model->forward(in, 0);
    // Two leading words, then per neuron 64 / 32 + 4 = 6 words: the learning fields in
    // words 2 and 3, the connections in words 4 and 5.
    std::vector<uint32_t> mem = learn_mem(hw);
    ASSERT_EQ(mem.size(), 2u + 8 * 6);
    const uint32_t n1 = 2 + 1 * 6;
    EXPECT_EQ(mem[n1 + 3], 0x00030002u);  // threshold_learning 3, thswap 2
    mem[n1 + 2] = (mem[n1 + 2] & ~0xF0000u) | 0x50000;
    mem[n1 + 3] = 0x12340007;
    // Neuron 1 moves its connection from input 7 to input 40.
    ASSERT_EQ(mem[n1 + 4] >> 7 & 1u, 1u);
    mem[n1 + 4] &= ~(1u << 7);
    mem[n1 + 5] |= 1u << 8;
    hw.write_learn_mem(mem.data());
    auto result = Tensor::ensure_dense(model->fit(in, {1, 0}, 0));
    EXPECT_TRUE(hw.learn_enabled());
    EXPECT_EQ(result->dimensions(), (Shape{2, 1, 1, 8}));
    const Dense& w = var(*fc, "weights");
    std::vector<int> changed;
    for (uint32_t n = 0; n < 8; ++n)
        for (uint32_t j = 0; j < 64; ++j)
            if (w.get<int8_t>({n, j}) != before->get<int8_t>({n, j})) changed.push_back(n * 64 + j);
    EXPECT_EQ(changed, (std::vector<int>{64 + 7, 64 + 40}));
    const Dense& t = var(*fc, "threshold_learning");
    const Dense& s = var(*fc, "thswap");
    for (uint32_t n = 0; n < 8; ++n) {
        EXPECT_EQ(t.data<int32_t>()[n], n == 1 ? 0x51234 : 3) << n;
        EXPECT_EQ(s.data<int32_t>()[n], n == 1 ? 7 : 2) << n;
    }
    model->forward(in, 0);  // without labels learning is off again
    EXPECT_FALSE(hw.learn_enabled());
    // Mapped again, the program carries what was learned.
    map(*model, devices[0]);
    model->forward(in, 0);
    EXPECT_EQ(learn_mem(hw), mem);
}

TEST(E2eHw, FitReadsBackFromAnFnp2) {
    const DeviceList devices = discover("gemel");
    HardwareDevice& hw = *devices[0]->hardware();
    // Neuron n connected to inputs (7n + 512k) % 2048: neuron 3 to 21, 533, 1045, 1557.
    auto model = v1_dense_model(2048, 400, 4, 512, 4);
    map(*model, devices[0]);
    auto fc = model->get_layer("fc");
    ASSERT_EQ(layer_mapping_of(*fc).nps->at(0).type, hw::Type::FNP2);
    auto in = frames(Shape{1, 1, 1, 2048}, 1);
    model->forward(in, 0);
    // The layout starts at word 0, 2048 / 32 + 4 = 68 words per neuron.
    std::vector<uint32_t> mem = learn_mem(hw);
    ASSERT_EQ(mem.size(), 400u * 68);
    ASSERT_EQ(mem[3 * 68 + 4] >> 21 & 1u, 1u);
    mem[3 * 68 + 4] &= ~(1u << 21);
    mem[3 * 68 + 6] |= 1u << 1;  // input 65
    hw.write_learn_mem(mem.data());
    model->fit(in, {2}, 0);
    const Dense& now = var(*fc, "weights");
    EXPECT_EQ(now.get<int8_t>({3, 21}), 0);
    EXPECT_EQ(now.get<int8_t>({3, 65}), 1);
    EXPECT_EQ(now.get<int8_t>({3, 533}), 1);
    map(*model, devices[0]);
    model->forward(in, 0);
    EXPECT_EQ(learn_mem(hw), mem);
}

TEST(E2eHw, DequantizerLastLayerPredictsOnTheMote) {
    const DeviceList devices = discover("mote");
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData, "input",
                          {{"input_width", 1}, {"input_height", 16}, {"input_channels", 32}}),
               {});
    for (auto [name, outputs, bits] : {std::tuple{"sr1", 16, 8}, {"sr2", 10, 32}}) {
        auto sr = make_layer(
            LayerType::StatefulRecurrent, name,
            {{"stateful_channels", 64}, {"output_channels", outputs}, {"output_bits", bits}});
        model->add(sr, {});
        fill_i8(var(*sr, "in_proj"), [](size_t i) { return int8_t(int(i % 3) - 1); });
    }
    model->add(make_layer(LayerType::Dequantizer, "dequantizer", {}), {});
    map(*model, devices[0]);
    auto seq = hardware_sequence(*model);
    const ProgramInfo info(seq->program().data, seq->program().size);
    const std::vector<float> scales = info.output_scales();
    ASSERT_EQ(info.output_dims(), (std::vector<uint32_t>{1, 16, 10}));
    auto in = Dense::create(TensorType::uint8, Shape{2, 1, 16, 32}, Dense::Layout::RowMajor);
    for (size_t i = 0; i < in->size(); ++i) in->data<uint8_t>()[i] = uint8_t(i % 13);
    std::shared_ptr<Dense> input = std::move(in);
    for (int kind = 0; kind < 2; ++kind) {
        // forward and predict both reach the device's predict: float outputs.
        auto r =
            Tensor::ensure_dense(kind == 0 ? model->predict(input, 0) : model->forward(input, 0));
        ASSERT_EQ(r->type(), TensorType::float32);
        ASSERT_EQ(r->size(), 2u * 160);
        for (uint32_t f = 0; f < 2; ++f)
            for (size_t i = 0; i < 160; ++i) {
                const float scale = i % 10 < scales.size() ? scales[i % 10] : 1.0f;
                EXPECT_FLOAT_EQ(r->data<float>()[f * 160 + i],
                                float(frame_sum(*input, f) % 251 + i) * scale);
            }
    }
    // The mote does not learn: the read-back refuses on the NP count.
    EXPECT_EQ(runtime_error_of([&] { model->fit(input, {1, 0}, 0); }),
              "Learning is not supported for layers mapped on more than 1 NP.");
}

TEST(E2eHw, HardwareSequenceThenSoftwareSequence) {
    const DeviceList devices = discover("v1");
    auto model = v1_dense_model(64, 8, 6, 9);
    // Dense1D is no v1 kind: the host sums the hardware's outputs times its weights.
    auto dense = make_layer(LayerType::Dense1D, "dense",
                            {{"units", 3}, {"activation", 0}, {"output_bits", 8}});
    model->add(dense, {});
    Dense& w = var(*dense, "weights");  // (inputs, units)
    for (uint32_t i = 0; i < 8; ++i)
        for (uint32_t u = 0; u < 3; ++u)
            w.data<int8_t>()[w.offset_of({i, u})] = int8_t(int(i) * (u == 1 ? -1 : 1) + int(u));
    EXPECT_NE(runtime_error_of([&] { map(*model, devices[0]); }).find("dense"), std::string::npos);
    map(*model, devices[0], false);
    const auto sequences = model->sequences();
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_EQ(sequences[0]->name(), "HW/input-fc");
    EXPECT_EQ(sequences[1]->name(), "SW/dense");
    EXPECT_EQ(sequences[1]->backend(), BackendType::Software);
    auto in = frames(Shape{2, 1, 1, 64}, 1);
    auto r = Tensor::ensure_dense(model->forward(in, 0));
    EXPECT_EQ(devices[0]->hardware()->program().data, sequences[0]->program().data);
    ASSERT_EQ(r->type(), TensorType::int32);
    ASSERT_EQ(r->dimensions(), (Shape{2, 1, 1, 3}));
    for (uint32_t f = 0; f < 2; ++f)
        for (uint32_t u = 0; u < 3; ++u) {
            int32_t sum = 0;
            for (uint32_t i = 0; i < 8; ++i)
                sum += expected_value(frame_sum(*in, f), i, 1) * w.get<int8_t>({i, u});
            EXPECT_EQ(r->data<int32_t>()[f * 3 + u], sum) << f << " " << u;
        }
    auto p = Tensor::ensure_dense(model->predict(in, 0));
    ASSERT_EQ(p->type(), TensorType::float32);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(p->data<float>()[i], float(r->data<int32_t>()[i]));
}

// Hardware that hands each output back with the dims `shape` (same values, same count): a
// device whose output buffer is not a 3-dimensional frame.
class ReshapingHardware : public HardwareDevice {
  public:
    ReshapingHardware(HardwareDevice& inner, Shape shape) : inner_(inner), shape_(shape) {}
    HwVersion version() const override { return inner_.version(); }
    HardwareDriver* driver() const override { return inner_.driver(); }
    uint32_t read_np_config(const hw::Ident& id) const override {
        return inner_.read_np_config(id);
    }
    int program(const uint8_t* data, size_t size) override { return inner_.program(data, size); }
    const ByteView& program() const override { return inner_.program(); }
    void unprogram() override { inner_.unprogram(); }
    void set_batch_size(size_t n, bool dense) override { inner_.set_batch_size(n, dense); }
    bool learn_enabled() const override { return inner_.learn_enabled(); }
    void set_learn_enabled(bool on) override { inner_.set_learn_enabled(on); }
    Outputs forward(const Frames& frames) override {
        Outputs outs = inner_.forward(frames);
        for (auto& out : outs) {
            const auto d = Tensor::ensure_dense(std::shared_ptr<Tensor>(std::move(out)));
            out = Dense::copy(reinterpret_cast<const char*>(d->buffer().data()), d->buffer().size(),
                              d->type(), shape_, Dense::Layout::RowMajor);
        }
        return outs;
    }

  private:
    HardwareDevice& inner_;
    Shape shape_;
};

class ReshapingDevice : public Device {
  public:
    ReshapingDevice(std::shared_ptr<Device> inner, Shape shape)
        : inner_(std::move(inner)), hw_(*inner_->hardware(), shape) {}
    HwVersion version() const override { return inner_->version(); }
    const char* desc() const override { return inner_->desc(); }
    const Mesh& mesh() const override { return inner_->mesh(); }
    HardwareDevice* hardware() const override { return &hw_; }

  private:
    std::shared_ptr<Device> inner_;
    mutable ReshapingHardware hw_;
};

// A sequence output of 1, 2 or 4 dimensions is read as an (x, y, c) frame: missing leading
// dimensions are 1, the last two of four are joined.
TEST(E2eHw, SequenceOutputsOfAnyRankAreFrames) {
    const DeviceList devices = discover("v1");
    auto in = frames(Shape{2, 1, 1, 64}, 1);
    for (const auto& [shape, frame] : {std::pair{Shape{8}, Shape{1, 1, 8}},
                                       {Shape{2, 4}, Shape{1, 2, 4}},
                                       {Shape{2, 1, 2, 2}, Shape{2, 1, 4}}}) {
        auto device = std::make_shared<ReshapingDevice>(devices[0], shape);
        auto model = v1_dense_model(64, 8, 6, 9);
        map(*model, device);
        auto r = Tensor::ensure_dense(model->forward(in, 0));
        ASSERT_EQ(r->dimensions(), (Shape{2, frame[0], frame[1], frame[2]}));
        for (uint32_t f = 0; f < 2; ++f)
            for (size_t i = 0; i < 8; ++i)
                EXPECT_EQ(int(r->data<int8_t>()[f * 8 + i]),
                          expected_value(frame_sum(*in, f), i, 1));
    }
}

}  // namespace
}  // namespace vorna
