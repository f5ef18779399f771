#include "python/model_inference.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "corelib/device.h"
#include "corelib/drivers.h"
#include "corelib/hardware_device.h"
#include "devices/host_hooks.h"

namespace vorna::python {

std::shared_ptr<Tensor> run_model_inference(const Model& model, PyMetrics& metrics,
                                            std::vector<PowerMeter::PowerEvent>& power_events,
                                            const std::shared_ptr<Dense>& input,
                                            const ModelOperation& operation) {
    power_events.clear();
    const Shape& dims = input->dimensions();
    const int64_t frames = dims.empty() ? 0 : static_cast<int64_t>(dims[0]);
    const std::shared_ptr<Device> device = model.device();
    HardwareDevice* hw = device ? device->hardware() : nullptr;
    uint32_t before = 0;
    if (hw) {
        hw->enable_clock_counter(true);
        before = hw->read_clock_counter();
    }
    const int64_t start = time_ms();
    std::shared_ptr<Tensor> result = operation(input);
    const int64_t end = time_ms();
    if (hw) {
        const uint32_t after = hw->read_clock_counter();
        hw->enable_clock_counter(false);
        metrics.set("inference_clk", static_cast<int64_t>(static_cast<uint32_t>(after - before)));
        metrics.set("program_clk", static_cast<int64_t>(hw->program_clock_count()));
    }
    metrics.set("inference_frames", frames);
    metrics.set("inference_start", start);
    metrics.set("inference_end", end);
    if (hw) {
        if (auto* soc = dynamic_cast<SocDriver*>(hw->driver())) {
            if (auto meter = soc->power_meter()) power_events = meter->events();
        }
    }
    return result;
}

namespace {

template <class T>
std::vector<int32_t> vote(const Dense& out, size_t n, size_t num_classes, T lowest) {
    const T* values = out.data<T>();
    const size_t per = out.size() / (n * num_classes);
    std::vector<int32_t> predictions(n, -1);
    for (size_t s = 0; s < n; ++s) {
        T best = lowest;
        for (size_t c = 0; c < num_classes; ++c) {
            for (size_t d = 0; d < per; ++d) {
                const T v = values[s * per * num_classes + c * per + d];
                if (v > best) {
                    best = v;
                    predictions[s] = static_cast<int32_t>(c);
                }
            }
        }
    }
    return predictions;
}

}  // namespace

std::vector<int32_t> predict_classes(const std::shared_ptr<const Tensor>& output,
                                     int32_t num_classes) {
    if (!output) throw std::invalid_argument("No output to evaluate.");
    enum class Read { i32, f32, i8, u8 };
    Read read;
    switch (output->type()) {
        case TensorType::int32:
            read = Read::i32;
            break;
        case TensorType::float32:
            read = Read::f32;
            break;
        case TensorType::int8:
            read = Read::i8;
            break;
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
        case TensorType::bit:  // refused by the typed access below
            read = Read::u8;
            break;
        default:
            throw std::runtime_error(std::string("cannot evaluate on a Tensor of type ") +
                                     Tensor::type_name(output->type()));
    }
    if (num_classes < 2) {
        throw std::invalid_argument("Cannot classify with " + std::to_string(num_classes) +
                                    "class(es).");
    }
    const Shape& dims = output->dimensions();
    if (dims.size() < 4) {
        throw std::invalid_argument("Cannot evaluate an output of " + std::to_string(dims.size()) +
                                    " dimensions; 4 are expected.");
    }
    const uint32_t neurons = dims[3];
    if (neurons % static_cast<uint32_t>(num_classes) != 0) {
        throw std::invalid_argument("The number of neurons [" + std::to_string(neurons) +
                                    "] is not a multiple of " + " the number of classes [" +
                                    std::to_string(num_classes) + "].");
    }
    const size_t n = dims[0];
    const size_t classes = static_cast<size_t>(num_classes);
    if (n == 0) return {};
    const auto dense = Tensor::ensure_dense(output);
    switch (read) {
        case Read::i32:
            return vote<int32_t>(*dense, n, classes, std::numeric_limits<int32_t>::lowest());
        case Read::f32:
            return vote<float>(*dense, n, classes, std::numeric_limits<float>::lowest());
        case Read::i8:
            return vote<int8_t>(*dense, n, classes, std::numeric_limits<int8_t>::lowest());
        case Read::u8:
            break;
    }
    return vote<uint8_t>(*dense, n, classes, 0);
}

}  // namespace vorna::python
