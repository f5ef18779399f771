// Faults that were mended once and must stay mended: the bounded TNP-B re-check of the NP
// request, null neighbours met while splitting and planning, the size limit of the HRC probe's
// constant inputs, a sleep that ends on any failure but an interruption, and a hardware
// sequence whose destruction never throws. A broken guard crashes or hangs, so those cases run
// in a child process with an alarm.

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hardware_sequence.h"
#include "backend/layer_split.h"
#include "backend/mesh_mapper.h"
#include "corelib/hardware_device.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "devices/discovery.h"
#include "devices/host_hooks.h"
#include "mapper_fakes.h"
#include "test_support.h"

namespace vorna {
namespace {

using hw::Ident;
using hw::Type;
using mapper_test::FakeLayer;
using mapper_test::link;
using mapper_test::make_layer;
using mapper_test::plain_nps;
using mapper_test::Rig;
using mapper_test::skip_dma;
using test_support::runtime_error_text;

}  // namespace
}  // namespace vorna

// Present only in builds with coverage counters.
extern "C" void __gcov_dump(void) __attribute__((weak));

namespace vorna {
namespace {

// Runs `body` in a forked child that an alarm ends after `seconds`. Returns "exit N" or
// "signal N": "exit 0" when the body returned true, "exit 1" when it returned false.
std::string in_child(const std::function<bool()>& body, unsigned seconds = 20) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        ::alarm(seconds);
        bool ok = false;
        try {
            ok = body();
        } catch (...) {
            ok = false;
        }
        // _exit skips the exit handlers, among them the coverage counters' writer when the
        // suite is built with coverage; write them first so the child's work is counted.
        if (__gcov_dump != nullptr) __gcov_dump();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return "wait failed";
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
}

// ---------------------------------------------------------------------------
// The TNP-B re-check of the NP request: conv -> btc, where btc is a BufferTempConv.

struct ConvThenTnpB {
    explicit ConvThenTnpB(uint32_t nps, std::vector<np::Info> skips = {})
        : rig(plain_nps(nps), std::move(skips)), mapper(rig.checker, rig.constraints) {
        rig.checker.split_params.filters = 4;
        conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({4, 4, 4}),
                          {{"filters", 4}, {"kernel_size", 3}});
        btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B, Shape({4, 4, 4}),
                         {{"filters", 4}, {"fifo_size", 2}});
        link(conv, btc);
        mapper.reset();
    }
    std::pair<std::vector<hw::Component>, MappingStatus> request(bool allow_new_pass) {
        return mapper.np_request(conv, {}, false, &new_group, allow_new_pass);
    }
    size_t free_cnps() { return mapper.available_nps(Type::CNP1).size(); }

    Rig rig;
    MeshMapper mapper;
    std::shared_ptr<FakeLayer> conv, btc;
    bool new_group = false;
};

constexpr const char* kNoRoom = "The next BufferTempConv btc can't be mapped in the current pass.";

TEST(MeshMapperTnpB, NextTnpBLayerFits) {
    ConvThenTnpB g(4, {skip_dma(1, 1)});
    const auto [components, status] = g.request(true);
    EXPECT_FALSE(status.error) << status.to_string();
    EXPECT_FALSE(g.new_group);
    EXPECT_EQ(g.free_cnps(), 3u);
}

TEST(MeshMapperTnpB, NoSkipChannelOpensANewPassOnce) {
    ConvThenTnpB g(4);
    g.mapper.allocate_np({1, 1, 3}, Type::None);
    const auto [components, status] = g.request(true);
    EXPECT_TRUE(g.new_group);
    EXPECT_EQ(status.to_string(), std::string("Cannot map layer 'conv'. ") + kNoRoom);
    // The repeated allocation ran in the released pass, where the failed request keeps its NP:
    // 1.1.3 was freed with the pass, 1.1.0 is taken.
    EXPECT_EQ(components[0].ident, Ident(1, 1, 0));
    EXPECT_EQ(g.free_cnps(), 3u);
    EXPECT_EQ(g.mapper.available_nps(Type::CNP1),
              (std::vector<Ident>{Ident(1, 1, 1), Ident(1, 1, 2), Ident(1, 1, 3)}));
}

// Each repetition takes one more CNP until none is left; the failed request keeps all three.
TEST(MeshMapperTnpB, SinglePassRepeatsUntilShort) {
    ConvThenTnpB g(3);
    const auto [components, status] = g.request(false);
    EXPECT_FALSE(g.new_group);
    EXPECT_EQ(status.message,
              "Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
              "available.");
    EXPECT_EQ(g.free_cnps(), 0u);
}

// A selection that hands back an NP already taken would repeat the allocation without end.
TEST(MeshMapperTnpB, RepetitionThatTakesNothingNewStops) {
    const std::string outcome = in_child([] {
        ConvThenTnpB g(3);
        g.rig.constraints.selector = [](const std::vector<Ident>&, size_t n, Type) {
            return std::vector<Ident>(n, Ident(1, 1, 0));  // always the same NP
        };
        const auto [components, status] = g.request(false);
        // The first attempt took 1.1.0, the second took nothing new and ended the repetition.
        return status.message == kNoRoom && !g.new_group && g.free_cnps() == 2u;
    });
    EXPECT_EQ(outcome, "exit 0");
}

// ---------------------------------------------------------------------------
// Null neighbours: an inbound layer that is null, an outbound layer that is gone.

TEST(NullNeighbours, PacketShiftAfterAnAddAndANullInboundLayer) {
    const Shape s({4, 4, 4});
    auto a = make_layer("a", LayerType::Conv2D, TargetComponent::CNP, s);
    auto add = make_layer("add", LayerType::Add, TargetComponent::SkipDMA, s);
    auto after_add = make_layer("x", LayerType::Conv2D, TargetComponent::CNP, s);
    auto after_conv = make_layer("y", LayerType::Conv2D, TargetComponent::CNP, s);
    link(a, add);
    link(add, after_add);
    link(a, after_conv);
    EXPECT_EQ(v2::get_add_pksram_shift(*after_add), 512u);
    EXPECT_EQ(v2::get_add_pksram_shift(*after_conv), 0u);
    EXPECT_EQ(v2::get_add_pksram_shift(*a), 0u);
    const std::string outcome = in_child([] {
        auto y = make_layer("y", LayerType::Conv2D, TargetComponent::CNP, Shape({4, 4, 4}),
                            {{"filters", 4}, {"kernel_size", 3}});
        y->inbound = {nullptr};
        const std::string direct = runtime_error_text([&] { v2::get_add_pksram_shift(*y); });
        // The NP request reaches the same question through the split.
        Rig rig(plain_nps(2));
        MeshMapper mapper(rig.checker, rig.constraints);
        mapper.reset();
        bool new_group = false;
        const std::string requested =
            runtime_error_text([&] { mapper.np_request(y, {}, false, &new_group, true); });
        return direct == "Layer 'y' has a null inbound layer." && requested == direct;
    });
    EXPECT_EQ(outcome, "exit 0");
}

TEST(NullNeighbours, NextLayerThatIsGone) {
    const std::string outcome = in_child([] {
        Rig rig(plain_nps(2));
        MeshMapper mapper(rig.checker, rig.constraints);
        mapper.reset();
        auto conv = make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({4, 4, 4}));
        conv->outbound.push_back(std::weak_ptr<Layer>());  // a next layer that is gone
        bool new_group = false;
        return runtime_error_text([&] { mapper.sanitize_tnp_b(*conv, &new_group, true); }) ==
                   "Layer 'conv' has a null outbound layer." &&
               !new_group;
    });
    EXPECT_EQ(outcome, "exit 0");
}

// ---------------------------------------------------------------------------
// The HRC probe's constant inputs.

TEST(HrcProbeInputs, OnesOfTheModelShapeAndRefusedShapes) {
    // A dimension of 1 is a dimension like any other.
    auto single = detail::constant_inputs(1, 1, 1);
    EXPECT_EQ(single->dimensions(), (Shape{1, 1, 1, 1}));
    EXPECT_EQ(single->buffer(), std::vector<uint8_t>{1});
    EXPECT_EQ(detail::constant_inputs(1, 3, 2)->dimensions(), (Shape{1, 1, 3, 2}));
    auto inputs = detail::constant_inputs(8, 8, 1);
    EXPECT_EQ(inputs->type(), TensorType::uint8);
    EXPECT_EQ(inputs->dimensions(), (Shape{1, 8, 8, 1}));
    EXPECT_EQ(inputs->buffer(), std::vector<uint8_t>(64, 1));
    auto model = Model::create();
    auto params = LayerParams::create(
        LayerType::InputData, {{"input_width", 4}, {"input_height", 2}, {"input_channels", 3}});
    model->add(Layer::create(params.get(), "input"), {});
    inputs = get_constant_inputs(*model);
    EXPECT_EQ(inputs->dimensions(), (Shape{1, 4, 2, 3}));
    EXPECT_EQ(inputs->buffer(), std::vector<uint8_t>(24, 1));

    const struct {
        uint32_t x, y, c;
        const char* message;
    } refused[] = {
        {0, 8, 1, "Cannot have a shape with a dimension set to 0"},
        {8, 0, 1, "Cannot have a shape with a dimension set to 0"},
        {8, 8, 0, "Cannot have a shape with a dimension set to 0"},
        {65536, 65536, 1, "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)"},
        {4294967295u, 4294967295u, 1,
         "Tensor shape size 18446744065119617025 exceeds maximum shape size (4294967295)"},
        // The product wraps to 0 in 64 bits.
        {4194304u, 2097152u, 2097152u,
         "Tensor shape size 18446744073709551616 exceeds maximum shape size (4294967295)"},
    };
    for (const auto& r : refused) {
        // Without the limit the probe would fill gigabytes: run each case apart.
        const std::string outcome = in_child([&] {
            return runtime_error_text([&] { detail::constant_inputs(r.x, r.y, r.c); }) == r.message;
        });
        EXPECT_EQ(outcome, "exit 0") << r.message;
    }
}

// ---------------------------------------------------------------------------
// msleep: an interruption sleeps on for the time left, any other failure ends the sleep.

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }

TEST(HostHooks, SignalDoesNotShortenTheSleep) {
    const std::string outcome = in_child([] {
        struct sigaction action{};
        action.sa_handler = on_alarm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the sleep is interrupted with EINTR
        if (sigaction(SIGALRM, &action, nullptr) != 0) return false;
        itimerval timer{};
        timer.it_value.tv_usec = 10000;
        timer.it_interval.tv_usec = 10000;
        if (setitimer(ITIMER_REAL, &timer, nullptr) != 0) return false;
        const auto start = Clock::now();
        msleep(60);
        const int64_t slept = ms_since(start);
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        return g_alarms > 0 && slept >= 60;
    });
    EXPECT_EQ(outcome, "exit 0");
}

// Makes every sleep system call fail with EPERM in this process.
bool refuse_sleep_calls() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef __NR_nanosleep
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_nanosleep, 2, 0),
#else
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_nanosleep, 2, 0),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_nanosleep, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(HostHooks, SleepEndsOnAFailureOtherThanAnInterruption) {
    // A sleep that retried every failure would spin until the alarm ends the child.
    const std::string outcome = in_child(
        [] {
            if (!refuse_sleep_calls()) ::_exit(2);
            const auto start = Clock::now();
            msleep(60000);
            return ms_since(start) < 5000;
        },
        10);
    if (outcome == "exit 2") {
        GTEST_SKIP() << "the kernel refuses this process a system-call filter (seccomp) here";
    }
    EXPECT_EQ(outcome, "exit 0");
}

// ---------------------------------------------------------------------------
// A hardware sequence dropped while its device runs its program.

// Hardware whose unprogram logs and then throws.
class FailingUnprogram : public HardwareDevice {
  public:
    HwVersion version() const override { return Selvo_v2; }
    HardwareDriver* driver() const override { return nullptr; }
    uint32_t read_np_config(const Ident&) const override { return 0; }
    const ByteView& program() const override { return current; }
    void unprogram() override {
        ++unprograms;
        throw std::runtime_error("The device is gone.");
    }
    ByteView current;
    int unprograms = 0;
};

// Hardware that reads only the mesh: every run-time operation is refused by name.
TEST(HardwareDeviceDefaults, RunTimeOperationsAreRefusedByName) {
    FailingUnprogram bare;
    HardwareDevice& hw = bare;
    uint32_t word = 0;
    const uint8_t byte = 0;
    const std::vector<std::pair<std::string, std::function<void()>>> calls = {
        {"desc", [&] { hw.desc(); }},
        {"program", [&] { hw.program(&byte, 1); }},
        {"program_external", [&] { hw.program_external(&byte, 1, 0); }},
        {"set_batch_size", [&] { hw.set_batch_size(1, true); }},
        {"learn_enabled", [&] { hw.learn_enabled(); }},
        {"set_learn_enabled", [&] { hw.set_learn_enabled(true); }},
        {"forward", [&] { hw.forward({}); }},
        {"predict", [&] { hw.predict({}); }},
        {"fit", [&] { hw.fit({}, {}); }},
        {"learn_mem_size", [&] { hw.learn_mem_size(); }},
        {"read_learn_mem", [&] { hw.read_learn_mem(&word); }},
        {"write_learn_mem", [&] { hw.write_learn_mem(&word); }},
        {"enable_clock_counter", [&] { hw.enable_clock_counter(true); }},
        {"read_clock_counter", [&] { hw.read_clock_counter(); }},
        {"program_clock_count", [&] { hw.program_clock_count(); }},
        {"memory", [&] { hw.memory(); }},
        {"reset_top_memory", [&] { hw.reset_top_memory(); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(runtime_error_text(call),
                  "HardwareDevice::" + name + " not implemented for this hardware device");
    }
    // A device without a run-time has no program.
    struct MeshOnly : HardwareDevice {
        HwVersion version() const override { return Selvo_v2; }
        HardwareDriver* driver() const override { return nullptr; }
        uint32_t read_np_config(const Ident&) const override { return 0; }
    } mesh_only;
    EXPECT_EQ(mesh_only.program().size, 0u);
    EXPECT_EQ(runtime_error_text([&] { mesh_only.unprogram(); }),
              "HardwareDevice::unprogram not implemented for this hardware device");
}

class DeviceWith : public Device {
  public:
    explicit DeviceWith(HardwareDevice* hw)
        : mesh_(IpVersion::v2, Ident(0, 0, 0), Ident(1, 0, 0), std::nullopt, {}, {}), hw_(hw) {}
    HwVersion version() const override { return Selvo_v2; }
    const char* desc() const override { return "DeviceWith"; }
    const Mesh& mesh() const override { return mesh_; }
    HardwareDevice* hardware() const override { return hw_; }

  private:
    Mesh mesh_;
    HardwareDevice* hw_;
};

TEST(HardwareSequence, DestructionNeverThrows) {
    // Runs in a child: a destructor that lets the exception out terminates the process.
    const std::string outcome = in_child([] {
        FailingUnprogram hw;
        auto device = std::make_shared<DeviceWith>(&hw);
        auto running = std::make_unique<HardwareSequence>(
            device, HardwareConstraints{}, LayerList{},
            std::vector<std::shared_ptr<Sequence::Pass>>{}, std::vector<uint8_t>{1, 2, 3, 4});
        auto idle = std::make_unique<HardwareSequence>(
            device, HardwareConstraints{}, LayerList{},
            std::vector<std::shared_ptr<Sequence::Pass>>{}, std::vector<uint8_t>{1, 2, 3, 4});
        hw.current = running->program();
        idle.reset();  // the device runs another buffer with equal bytes: left alone
        const bool idle_left_alone = hw.unprograms == 0;
        running.reset();
        return idle_left_alone && hw.unprograms == 1;
    });
    EXPECT_EQ(outcome, "exit 0");
}

}  // namespace
}  // namespace vorna
