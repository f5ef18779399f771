// The run path on emulated hardware as a whole: discovery with the real HRC probe, models
// mapped onto discovered host devices and run through Model::forward, predict and fit, learned
// variables read back from the emulated learning memory, and hardware then software sequences.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hardware_sequence.h"
#include "devices/discovery.h"
#include "e2e_test_util.h"

namespace vorna {
namespace {

using e2e::fill;
using e2e::fill_i8;
using e2e::make_layer;
using e2e::runtime_error_of;
using e2e::var;
using DeviceList = std::vector<std::shared_ptr<Device>>;

// Discovery with the real probe, and what it printed.
DeviceList discover(const std::string& specs, std::string* out) {
    emu::set_driver_specs(specs);
    ::testing::internal::CaptureStdout();
    DeviceList devices;
    try {
        devices = populate_devices();
    } catch (...) {
        *out = ::testing::internal::GetCapturedStdout();
        throw;
    }
    *out = ::testing::internal::GetCapturedStdout();
    return devices;
}

emu::EmulatedDriver& driver_of(const Device& device) {
    return dynamic_cast<emu::EmulatedDriver&>(*device.hardware()->driver());
}

// The emulator's output element i for a frame whose byte sum is `sum`, for 1-bit or 8-bit
// unsigned outputs.
int expected_value(uint64_t sum, size_t i, uint32_t bits) {
    return int((sum % 251 + i) % (uint64_t{1} << bits));
}

std::shared_ptr<Dense> frames(uint32_t n, uint32_t x, uint32_t y, uint32_t c, int first) {
    auto d = Dense::create(TensorType::uint8, Shape{n, x, y, c}, Dense::Layout::RowMajor);
    uint8_t* p = d->data<uint8_t>();
    for (size_t i = 0; i < d->size(); ++i) p[i] = uint8_t((first + i * 7) % 2);
    return d;
}

uint64_t frame_sum(const Dense& in, uint32_t frame) {
    const size_t per = in.size() / in.dimensions()[0];
    uint64_t s = 0;
    for (size_t i = 0; i < per; ++i) s += in.data<uint8_t>()[frame * per + i];
    return s;
}

std::shared_ptr<LearningParams> unsupervised(double num_weights, double num_classes) {
    return LearningParams::create(LearningType::Unsupervised,
                                  {{"initial_plasticity", 1.0},
                                   {"learning_competition", 0.0},
                                   {"min_plasticity", 0.10000000149011612},
                                   {"num_classes", num_classes},
                                   {"num_weights", num_weights},
                                   {"plasticity_decay", 0.25}});
}

// input (1, 1, 64) of 1 bit -> FullyConnected "fc" of `units` 1-bit units, every neuron with 6
// connections, and with `learning` compiled for on-chip learning.
std::unique_ptr<Model> v1_dense_model(uint32_t units, bool learning) {
    auto model = Model::create();
    model->add(
        make_layer(
            LayerType::InputData, "input",
            {{"input_width", 1}, {"input_height", 1}, {"input_channels", 64}, {"input_bits", 1}}),
        {});
    auto fc = make_layer(LayerType::FullyConnected, "fc",
                         {{"units", int(units)}, {"weights_bits", 1}, {"act_bits", 1}});
    model->add(fc, {});
    Dense& w = var(*fc, "weights");
    fill_i8(w, [](size_t) { return int8_t(0); });
    for (uint32_t n = 0; n < units; ++n) {
        for (uint32_t k = 0; k < 6; ++k) {
            w.data<int8_t>()[w.offset_of({n, (n * 7 + k * 9) % 64})] = 1;
        }
    }
    if (fc->variables()->has("threshold")) fill<int32_t>(var(*fc, "threshold"), 1);
    if (learning) {
        fill<int32_t>(var(*fc, "threshold_learning"), 3);
        fill<int32_t>(var(*fc, "thswap"), 2);
        model->compile(unsupervised(6, 2));
    }
    return model;
}

std::shared_ptr<HardwareSequence> hardware_sequence(const Model& model) {
    auto seq = std::dynamic_pointer_cast<HardwareSequence>(model.sequences().front());
    EXPECT_NE(seq, nullptr);
    return seq;
}

std::vector<uint32_t> learn_mem(const HardwareDevice& hw) {
    std::vector<uint32_t> words(hw.learn_mem_size());
    hw.read_learn_mem(words.data());
    return words;
}

// ---- Discovery ------------------------------------------------------------------------------

TEST(E2eHw, DiscoveryWithTheRealProbe) {
    std::string out;
    const DeviceList devices =
        discover("v2,tarn_v2,v1,mote,fail,tarn_v2+hrc_timeout,v1+hrc_timeout", &out);
    EXPECT_EQ(out, "Emulated driver failure.\n");
    ASSERT_EQ(devices.size(), 6u);
    const std::vector<HwVersion> expected{Selvo_v2,   Tarn_v2, XVR2200_v1,
                                          Mote_Selvo, Tarn_v2, XVR2200_v1};
    const std::vector<IpVersion> ips{IpVersion::v2,   IpVersion::v1, IpVersion::v1,
                                     IpVersion::mote, IpVersion::v1, IpVersion::v1};
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i]->version(), expected[i]) << i;
        EXPECT_EQ(devices[i]->mesh().ip_version, ips[i]) << i;
        ASSERT_NE(devices[i]->hardware(), nullptr) << i;
        // The probe's model is gone and has unprogrammed the device it ran on.
        EXPECT_EQ(devices[i]->hardware()->program().data, nullptr) << i;
    }
    EXPECT_STREQ(devices[1]->desc(), "Emulated tarn_v2 BC.00.000.002");

    // The probe ran on both Tarn_v2 devices: the first kept its device, the one that timed out
    // was created a second time. The other presets were created once.
    const std::vector<uint32_t> creations{1, 1, 1, 1, 2, 1};
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(driver_of(*devices[i]).count_creation(), creations[i] + 1) << i;
    }

    // The second Tarn_v2 device runs; a v1 device with time-outs is never probed and listed as
    // created, its runs failing.
    for (size_t i : {size_t{1}, size_t{4}}) {
        EXPECT_FALSE(hrc_check_timeout(devices[i])) << i;
    }
    EXPECT_TRUE(hrc_check_timeout(devices[5]));
}

TEST(E2eHw, ProbeOnDevicesWithoutAnHrcLayerMapping) {
    // The probe's InputConvolutional is a v1 kind: mapping it elsewhere fails, and that
    // failure leaves the probe (discovery prints and skips such a device).
    emu::set_driver_specs("v2,mote");
    const DeviceList devices =
        detail::populate_devices([](std::shared_ptr<Device>) { return false; });
    ASSERT_EQ(devices.size(), 2u);
    for (const auto& device : devices) {
        EXPECT_NE(runtime_error_of([&] { hrc_check_timeout(device); }), "") << device->desc();
    }
}

TEST(E2eHw, VersionMismatchDuringDiscovery) {
    std::string out;
    try {
        discover("tarn_v2,v2+badversion", &out);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "Incompatible hardware and Ip versions: HW Version is 188.161.1.0 with "
                     "product id = 161 while IP version is v2.");
    }
    EXPECT_EQ(out, "");
}

// ---- Runs on a discovered v1 device ---------------------------------------------------------

TEST(E2eHw, ForwardOnAV1HostDevice) {
    std::string out;
    const DeviceList devices = discover("v1", &out);
    ASSERT_EQ(devices.size(), 1u);
    HardwareDevice& hw = *devices[0]->hardware();

    auto model = v1_dense_model(8, false);
    model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    ASSERT_EQ(model->sequences().size(), 1u);
    auto seq = hardware_sequence(*model);
    EXPECT_EQ(seq->name(), "HW/input-fc");
    EXPECT_EQ(hw.program().data, nullptr);  // programmed lazily

    auto in = frames(3, 1, 1, 64, 0);
    auto result = model->forward(in, 0);
    EXPECT_EQ(hw.program().data, seq->program().data);  // the sequence's own buffer
    EXPECT_EQ(hw.program().size, seq->program().size);
    EXPECT_FALSE(hw.learn_enabled());
    auto dense = Tensor::ensure_dense(result);
    ASSERT_EQ(dense->dimensions(), (Shape{3, 1, 1, 8}));
    EXPECT_EQ(dense->type(), TensorType::bit);
    for (uint32_t f = 0; f < 3; ++f) {
        for (size_t i = 0; i < 8; ++i) {
            EXPECT_EQ(int(dense->data<int8_t>()[f * 8 + i]),
                      expected_value(frame_sum(*in, f), i, 1))
                << f << " " << i;
        }
    }

    // Batches of 2: two hardware calls, the same outputs.
    auto batched = Tensor::ensure_dense(model->forward(in, 2));
    EXPECT_EQ(batched->buffer(), dense->buffer());

    // The model mapped on a virtual device of the same mesh has no hardware to run on.
    auto virtual_device = make_virtual_device(XVR2200_v1, devices[0]->mesh());
    model->map(virtual_device, true, std::make_shared<MapConstraints>(virtual_device));
    EXPECT_EQ(runtime_error_of([&] { model->forward(in, 0); }),
              "An actual hardware device is required.");
}

TEST(E2eHw, ProgrammedOnceThenAgainAfterAnotherModel) {
    std::string out;
    const DeviceList devices = discover("v1", &out);
    HardwareDevice& hw = *devices[0]->hardware();
    auto a = v1_dense_model(8, true);
    auto b = v1_dense_model(4, false);
    a->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    b->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    auto in = frames(1, 1, 1, 64, 1);

    a->forward(in, 0);
    // Programming resets the emulated learning memory: a change survives only while the device
    // is not reprogrammed.
    std::vector<uint32_t> mem = learn_mem(hw);
    ASSERT_GT(mem.size(), 2u);
    const std::vector<uint32_t> programmed = mem;
    mem[5] ^= 0x10;
    hw.write_learn_mem(mem.data());
    a->forward(in, 0);
    EXPECT_EQ(learn_mem(hw), mem);  // not reprogrammed

    b->forward(in, 0);
    EXPECT_EQ(hw.program().data, hardware_sequence(*b)->program().data);
    a->forward(in, 0);
    EXPECT_EQ(hw.program().data, hardware_sequence(*a)->program().data);
    EXPECT_EQ(learn_mem(hw), programmed);  // reprogrammed

    // Remapping drops the running sequence, which unprograms the device.
    a->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    EXPECT_EQ(hw.program().data, nullptr);
}

TEST(E2eHw, FitReadsTheLearnedVariablesBackOnV1) {
    std::string out;
    const DeviceList devices = discover("v1", &out);
    HardwareDevice& hw = *devices[0]->hardware();
    auto model = v1_dense_model(8, true);
    model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    auto fc = model->get_layer("fc");
    ASSERT_EQ(layer_mapping_of(*fc).nps->at(0).type, hw::Type::FNP3);
    const auto before = std::dynamic_pointer_cast<Dense>(fc->variables()->get("weights"));

    auto in = frames(2, 1, 1, 64, 0);
    model->forward(in, 0);
    // FNP3: two leading words, then per neuron ceil(64 / 32) + 4 = 6 words: the learning
    // fields in words 2 and 3, the connections in words 4 and 5.
    std::vector<uint32_t> mem = learn_mem(hw);
    ASSERT_EQ(mem.size(), 2u + 8 * 6);
    const uint32_t n1 = 2 + 1 * 6;        // neuron 1
    EXPECT_EQ(mem[n1 + 3] >> 16, 3u);     // threshold_learning as programmed
    EXPECT_EQ(mem[n1 + 3] & 0xFFFF, 2u);  // thswap as programmed
    mem[n1 + 2] = (mem[n1 + 2] & ~0xF0000u) | 0x50000;
    mem[n1 + 3] = 0x12340007;
    // Neuron 1 moves its connection from input 7 to input 40 (it keeps its 6 connections).
    ASSERT_EQ(mem[n1 + 4] >> 7 & 1u, 1u);
    mem[n1 + 4] &= ~(1u << 7);
    mem[n1 + 4 + 1] |= 1u << (40 - 32);
    hw.write_learn_mem(mem.data());

    const std::vector<int32_t> labels{1, 0};
    auto result = Tensor::ensure_dense(model->fit(in, labels, 0));
    EXPECT_TRUE(hw.learn_enabled());
    EXPECT_EQ(result->dimensions(), (Shape{2, 1, 1, 8}));

    const Dense& w = var(*fc, "weights");
    // Neuron 1 moved to input 40; every other connection is as programmed.
    EXPECT_NE(&w, before.get());
    EXPECT_EQ(w.type(), before->type());
    std::vector<int> gained;
    for (uint32_t n = 0; n < 8; ++n) {
        for (uint32_t j = 0; j < 64; ++j) {
            const int now = w.get<int8_t>({n, j});
            const int was = before->get<int8_t>({n, j});
            if (now != was) gained.push_back(int(n * 64 + j));
            EXPECT_TRUE(now == 0 || now == 1);
        }
    }
    EXPECT_EQ(gained, (std::vector<int>{1 * 64 + 7, 1 * 64 + 40}));
    const Dense& t = var(*fc, "threshold_learning");
    const Dense& s = var(*fc, "thswap");
    for (uint32_t n = 0; n < 8; ++n) {
        EXPECT_EQ(t.data<int32_t>()[n], n == 1 ? 0x51234 : 3) << n;
        EXPECT_EQ(s.data<int32_t>()[n], n == 1 ? 7 : 2) << n;
    }

    // Without labels learning is switched off again.
    model->forward(in, 0);
    EXPECT_FALSE(hw.learn_enabled());

    // Mapped again, the model's program carries what was learned: the device's learning memory
    // after programming is the one written before the fit.
    model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    model->forward(in, 0);
    EXPECT_EQ(learn_mem(hw), mem);
}

TEST(E2eHw, FitReadsBackFromAnFnp2) {
    std::string out;
    const DeviceList devices = discover("gemel", &out);
    HardwareDevice& hw = *devices[0]->hardware();
    auto model = Model::create();
    model->add(
        make_layer(
            LayerType::InputData, "input",
            {{"input_width", 1}, {"input_height", 1}, {"input_channels", 2048}, {"input_bits", 1}}),
        {});
    auto fc = make_layer(LayerType::FullyConnected, "learner",
                         {{"units", 400}, {"weights_bits", 1}, {"act_bits", 1}});
    model->add(fc, {});
    Dense& w = var(*fc, "weights");
    fill_i8(w, [](size_t) { return int8_t(0); });
    for (uint32_t n = 0; n < 400; ++n) {
        for (uint32_t k = 0; k < 4; ++k)
            w.data<int8_t>()[w.offset_of({n, (n + k * 512) % 2048})] = 1;
    }
    model->compile(unsupervised(4, 4));
    model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    ASSERT_EQ(layer_mapping_of(*fc).nps->at(0).type, hw::Type::FNP2);
    const auto before = std::dynamic_pointer_cast<Dense>(fc->variables()->get("weights"));

    auto in = frames(1, 1, 1, 2048, 1);
    model->forward(in, 0);
    // FNP2: the layout starts at word 0, 2048 / 32 + 4 = 68 words per neuron.
    std::vector<uint32_t> mem = learn_mem(hw);
    ASSERT_EQ(mem.size(), 400u * 68);
    // Neuron 3 moves its connection from input 3 to input 65.
    ASSERT_EQ(mem[3 * 68 + 4] >> 3 & 1u, 1u);
    mem[3 * 68 + 4] &= ~(1u << 3);
    mem[3 * 68 + 4 + 2] |= 1u << 1;
    hw.write_learn_mem(mem.data());
    model->fit(in, {2}, 0);
    const Dense& now = var(*fc, "weights");
    size_t differences = 0;
    for (uint32_t n = 0; n < 400; ++n) {
        for (uint32_t j = 0; j < 2048; ++j) {
            if (now.get<int8_t>({n, j}) != before->get<int8_t>({n, j})) ++differences;
        }
    }
    EXPECT_EQ(differences, 2u);
    EXPECT_EQ(now.get<int8_t>({3, 3}), 0);
    EXPECT_EQ(now.get<int8_t>({3, 65}), 1);

    model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    model->forward(in, 0);
    EXPECT_EQ(learn_mem(hw), mem);
}

// ---- Runs on discovered v2 and mote devices -------------------------------------------------

std::unique_ptr<Model> mote_model() {
    auto model = Model::create();
    model->add(
        make_layer(
            LayerType::InputData, "input",
            {{"input_width", 1}, {"input_height", 16}, {"input_channels", 32}, {"input_bits", 8}}),
        {});
    const struct {
        const char* name;
        int outputs, bits;
    } srs[] = {{"sr1", 16, 8}, {"sr2", 10, 32}};
    for (const auto& s : srs) {
        auto sr = make_layer(
            LayerType::StatefulRecurrent, s.name,
            {{"stateful_channels", 64}, {"output_channels", s.outputs}, {"output_bits", s.bits}});
        model->add(sr, {});
        fill_i8(var(*sr, "in_proj"), [](size_t i) { return int8_t(int(i % 3) - 1); });
    }
    model->add(make_layer(LayerType::Dequantizer, "dequantizer", {}), {});
    return model;
}

TEST(E2eHw, DequantizerLastLayerPredictsOnTheMote) {
    std::string out;
    const DeviceList devices = discover("mote", &out);
    ASSERT_EQ(devices.size(), 1u);
    auto model = mote_model();
    model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    auto seq = hardware_sequence(*model);
    const ProgramInfo info(seq->program().data, seq->program().size);
    const std::vector<float> scales = info.output_scales();
    const std::vector<uint32_t> out_dims = info.output_dims();

    std::shared_ptr<Dense> in =
        Dense::create(TensorType::uint8, Shape{2, 1, 16, 32}, Dense::Layout::RowMajor);
    for (size_t i = 0; i < in->size(); ++i) in->data<uint8_t>()[i] = uint8_t(i % 13);
    for (int kind = 0; kind < 2; ++kind) {
        // forward and predict both reach the device's predict: float outputs.
        auto r = Tensor::ensure_dense(kind == 0 ? model->predict(in, 0) : model->forward(in, 0));
        ASSERT_EQ(r->type(), TensorType::float32);
        // One row of 10 outputs per time step.
        ASSERT_EQ(out_dims, (std::vector<uint32_t>{1, 16, 10}));
        ASSERT_EQ(r->size(), 2u * 160);
        for (uint32_t f = 0; f < 2; ++f) {
            uint64_t sum = 0;
            for (size_t i = 0; i < 16 * 32; ++i) sum += in->data<uint8_t>()[f * 512 + i];
            for (size_t i = 0; i < 160; ++i) {
                const float scale = i % 10 < scales.size() ? scales[i % 10] : 1.0f;
                // 32-bit outputs: the frame's sum modulo 251 plus the element index.
                EXPECT_FLOAT_EQ(r->data<float>()[f * 160 + i], float(sum % 251 + i) * scale)
                    << f << " " << i;
            }
        }
    }
    // The mote does not learn: fit runs and the read-back refuses, on the NP count already
    // (the last recurrent layer shares the first one's TNP-R and has no component of its own).
    EXPECT_EQ(runtime_error_of([&] { model->fit(in, {1, 0}, 0); }),
              "Learning is not supported for layers mapped on more than 1 NP.");
    EXPECT_TRUE(devices[0]->hardware()->learn_enabled());
}

TEST(E2eHw, V2ModelRunsAndRefusesLearning) {
    std::string out;
    const DeviceList devices = discover("v2", &out);
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData, "input",
                          {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}}),
               {});
    model->add(
        make_layer(LayerType::Conv2D, "conv",
                   {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}, {"output_bits", 8}}),
        {});
    model->add(make_layer(LayerType::Dense1D, "dense",
                          {{"units", 10}, {"activation", 1}, {"output_bits", 8}}),
               {});
    for (const auto& l : model->layers()) {
        if (l->variables()->has("weights")) {
            fill_i8(var(*l, "weights"), [](size_t i) { return int8_t(int(i % 5) - 2); });
        }
    }
    model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
    EXPECT_EQ(hardware_sequence(*model)->name(), "HW/input-dense");
    std::shared_ptr<Dense> in =
        Dense::create(TensorType::uint8, Shape{1, 8, 8, 3}, Dense::Layout::RowMajor);
    for (size_t i = 0; i < in->size(); ++i) in->data<uint8_t>()[i] = uint8_t(i);
    auto r = Tensor::ensure_dense(model->forward(in, 0));
    ASSERT_EQ(r->type(), TensorType::uint8);
    ASSERT_EQ(r->size(), 10u);
    uint64_t sum = 0;
    for (size_t i = 0; i < in->size(); ++i) sum += in->data<uint8_t>()[i];
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(int(r->data<uint8_t>()[i]), expected_value(sum, i, 8)) << i;
    }
    EXPECT_EQ(runtime_error_of([&] { model->fit(in, {3}, 0); }), "Learning not implemented on v2.");
    EXPECT_TRUE(devices[0]->hardware()->learn_enabled());
}

// ---- Hardware then software -----------------------------------------------------------------

TEST(E2eHw, HardwareSequenceThenSoftwareSequence) {
    std::string out;
    const DeviceList devices = discover("v1", &out);
    auto model = v1_dense_model(8, false);
    // Dense1D is no v1 kind: it stays with the host, whose evaluation sums its inputs (the
    // hardware's outputs) times its weights.
    auto dense = make_layer(LayerType::Dense1D, "dense",
                            {{"units", 3}, {"activation", 0}, {"output_bits", 8}});
    model->add(dense, {});
    Dense& w = var(*dense, "weights");  // (inputs, units)
    ASSERT_EQ(w.dimensions(), (Shape{8, 3}));
    for (uint32_t i = 0; i < 8; ++i) {
        for (uint32_t u = 0; u < 3; ++u) {
            w.data<int8_t>()[w.offset_of({i, u})] = int8_t(int(i) * (u == 1 ? -1 : 1) + int(u));
        }
    }
    // A hardware-only map refuses it.
    EXPECT_NE(runtime_error_of([&] {
                  model->map(devices[0], true, std::make_shared<MapConstraints>(devices[0]));
              }).find("dense"),
              std::string::npos);
    model->map(devices[0], false, std::make_shared<MapConstraints>(devices[0]));
    const auto sequences = model->sequences();
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_EQ(sequences[0]->name(), "HW/input-fc");
    EXPECT_EQ(sequences[0]->backend(), BackendType::Hardware);
    EXPECT_EQ(sequences[1]->name(), "SW/dense");
    EXPECT_EQ(sequences[1]->backend(), BackendType::Software);

    auto in = frames(2, 1, 1, 64, 1);
    auto r = Tensor::ensure_dense(model->forward(in, 0));
    // The hardware ran first, programmed with the sequence's bytes.
    EXPECT_EQ(devices[0]->hardware()->program().data, sequences[0]->program().data);
    ASSERT_EQ(r->type(), TensorType::int32);
    ASSERT_EQ(r->dimensions(), (Shape{2, 1, 1, 3}));
    for (uint32_t f = 0; f < 2; ++f) {
        for (uint32_t u = 0; u < 3; ++u) {
            int32_t sum = 0;
            for (uint32_t i = 0; i < 8; ++i) {
                sum += expected_value(frame_sum(*in, f), i, 1) * w.get<int8_t>({i, u});
            }
            EXPECT_EQ(r->data<int32_t>()[f * 3 + u], sum) << f << " " << u;
        }
    }
    auto p = Tensor::ensure_dense(model->predict(in, 0));
    ASSERT_EQ(p->type(), TensorType::float32);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(p->data<float>()[i], float(r->data<int32_t>()[i]));
}

}  // namespace
}  // namespace vorna
