#pragma once

// The parts of the Python Model's inference and evaluation that need no Python: the run driver
// that times a core call and collects the metrics and power events, and the class votes of
// evaluation.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "corelib/model.h"
#include "corelib/tensor.h"
#include "devices/power_meter.h"
#include "devices/python/metrics_py.h"

namespace vorna::python {

using ModelOperation = std::function<std::shared_ptr<Tensor>(std::shared_ptr<Dense>)>;

// Runs `operation` on `input`: empties `power_events`; when the model is mapped onto a device
// with hardware, enables its clock counter around the call and records "inference_clk" (the
// counter difference modulo 2^32) and "program_clk"; records "inference_frames" (dimension 0 of
// the input), "inference_start" and "inference_end" (time_ms around the call); copies the
// events of the power meter of the device's SoC driver, when it has one. When the operation
// throws, no metric is written and the clock counter stays enabled.
std::shared_ptr<Tensor> run_model_inference(const Model& model, PyMetrics& metrics,
                                            std::vector<PowerMeter::PowerEvent>& power_events,
                                            const std::shared_ptr<Dense>& input,
                                            const ModelOperation& operation);

// The predicted class of each sample of a (n, x, y, neurons) output: the neurons are split into
// `num_classes` consecutive groups of neurons / num_classes, and the class whose group holds
// the first strictly greatest value (above the lowest value of the element type) wins; -1 when
// no value exceeds that. Element types int32, float32, int8, uint8, uint4 and uint2 are read;
// bit fails in the typed access ("Wrong requested type ..."); the others throw
// std::runtime_error "cannot evaluate on a Tensor of type <name>". Fewer than 2 classes, or a
// neuron count that is not a multiple of them, is an invalid argument; so is an output with
// fewer than 4 dimensions.
std::vector<int32_t> predict_classes(const std::shared_ptr<const Tensor>& output,
                                     int32_t num_classes);

}  // namespace vorna::python
