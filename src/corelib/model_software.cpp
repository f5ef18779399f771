// Running inputs through a model: frames are taken from the input tensor, passed through the
// model's sequences when it is mapped (or evaluated in software when it is not) and gathered
// into one (n, x, y, c) output tensor.
//
// The software evaluation is deliberately small: InputData passes its frame on, a Quantizer
// quantizes it, Dequantizer scales, FullyConnected and Dense1D compute the plain integer sum of
// inputs times weights, and Add and Concatenate combine their inputs. A run that would need any
// other kind in software is refused before anything is evaluated. Learning in software does
// nothing.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "corelib/layer_kinds.h"
#include "corelib/model.h"
#include "corelib/sequence.h"

namespace vorna {

namespace {

enum class RunKind { forward, predict, fit };

// One sample on its way through the layers: its element type, its (x, y, c) dimensions and its
// values in row-major order (exact for every integer type).
struct Frame {
    TensorType type = TensorType::int32;
    Shape dims;
    std::vector<double> values;
};

double element_at(const Dense& d, size_t offset) {
    if (element_size(d.type()) == 0) {
        throw std::runtime_error("Unsupported tensor element type " +
                                 std::to_string(static_cast<int>(d.type())) + ".");
    }
    return visit_storage_type(
        d.type(), [&](auto zero) { return static_cast<double>(d.data<decltype(zero)>()[offset]); });
}

// The elements of a tensor in logical row-major order, whatever its layout.
std::vector<double> logical_values(const Tensor& tensor) {
    const Dense* dense = dynamic_cast<const Dense*>(&tensor);
    if (dense == nullptr) {
        throw std::runtime_error("Only dense tensors can be evaluated.");
    }
    const Shape& dims = dense->dimensions();
    const std::vector<uint32_t>& strides = dense->strides();
    const size_t n = dense->size();
    const size_t rank = dims.size();
    std::vector<double> out(n);
    std::vector<uint32_t> coord(rank, 0);
    for (size_t i = 0; i < n; ++i) {
        size_t offset = 0;
        for (size_t k = 0; k < rank; ++k) offset += static_cast<size_t>(coord[k]) * strides[k];
        out[i] = element_at(*dense, offset);
        for (size_t k = rank; k-- > 0;) {
            if (++coord[k] < dims[k]) break;
            coord[k] = 0;
        }
    }
    return out;
}

// (x, y, c) dimensions of a tensor of any rank: missing leading dimensions are 1, extra
// trailing ones are folded into the last.
Shape frame_dims(const Shape& dims) {
    switch (dims.size()) {
        case 1:
            return shape3(1, 1, dims[0]);
        case 2:
            return shape3(1, dims[0], dims[1]);
        case 3:
            return dims;
        case 4:
            return shape3(dims[0], dims[1], dims[2] * dims[3]);
        default:
            throw std::runtime_error("A tensor without dimensions cannot be a frame.");
    }
}

Frame frame_of(const Tensor& tensor) {
    Frame f;
    f.type = tensor.type();
    f.dims = frame_dims(tensor.dimensions());
    f.values = logical_values(tensor);
    return f;
}

// The value range of a `bits`-bit integer; 32 bits and more give the int32 range.
struct Range {
    double lo;
    double hi;
};

Range int_range(int bits, bool is_signed) {
    if (bits >= 32) return {-2147483648.0, 2147483647.0};
    if (bits < 1) bits = 1;
    if (is_signed) {
        const double half = std::ldexp(1.0, bits - 1);
        return {-half, half - 1};
    }
    return {0.0, std::ldexp(1.0, bits) - 1};
}

double clip(double v, Range r) { return std::min(std::max(v, r.lo), r.hi); }

// The element type of an integer output of `bits` bits.
TensorType output_type(int bits, bool is_unsigned) {
    if (bits <= 1) return TensorType::bit;
    if (bits <= 2) return is_unsigned ? TensorType::uint2 : TensorType::int2;
    if (bits <= 4) return is_unsigned ? TensorType::uint4 : TensorType::int4;
    if (bits <= 8) return is_unsigned ? TensorType::uint8 : TensorType::int8;
    if (bits <= 16) return is_unsigned ? TensorType::uint16 : TensorType::int16;
    return TensorType::int32;
}

bool is_float(TensorType t) { return t == TensorType::float32; }

// The values of a layer variable, which must have at least `needed` elements.
std::vector<double> variable_values(const Layer& layer, const char* name, size_t needed) {
    const Variables* vars = layer.variables();
    if (!vars->has(name)) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has no variable " + name + ".");
    }
    std::vector<double> v = logical_values(*vars->get(name));
    if (v.size() < needed) {
        throw std::runtime_error("The variable " + std::string(name) + " of layer '" +
                                 layer.get_name() + "' has " + std::to_string(v.size()) +
                                 " elements, " + std::to_string(needed) + " expected.");
    }
    return v;
}

void expect_size(const Layer& layer, const Frame& in, size_t expected) {
    if (in.values.size() != expected) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' received " +
                                 std::to_string(in.values.size()) + " values, " +
                                 std::to_string(expected) + " expected.");
    }
}

// Software evaluation holds every value of a frame in memory; outputs beyond this many values
// per sample (only reachable with absurd layer sizes) are refused rather than exhausting it.
constexpr uint64_t kMaxFrameValues = uint64_t{1} << 28;

Shape checked_output_dims(const Layer& layer) {
    const Shape dims = layer.output_dimensions();
    uint64_t count = 1;
    for (uint32_t d : dims) {
        count *= d;
        if (count > kMaxFrameValues) {
            throw std::runtime_error("The output of layer '" + layer.get_name() +
                                     "' is too large to evaluate in software.");
        }
    }
    return dims;
}

// The output of a layer with as many values as its input `in` (refused when
// `in` has another size): the layer's output dimensions and that many values
// of 0. The type is left to the caller.
Frame output_of_input_size(const Layer& layer, const Frame& in) {
    Frame out;
    out.dims = checked_output_dims(layer);
    expect_size(layer, in, out.dims.element_count());
    out.values.resize(out.dims.element_count());
    return out;
}

Frame quantize(const Layer& layer, const Frame& in) {
    Frame out = output_of_input_size(layer, in);
    const size_t n = out.values.size();
    const uint32_t c = out.dims[2];
    const auto scales = variable_values(layer, "scales", c);
    const auto zero_points = variable_values(layer, "zero_points", c);
    const int bits = layer.output_bits();
    const bool is_signed = layer.output_signed();
    const Range range = int_range(bits, is_signed);
    out.type = output_type(bits, !is_signed);
    for (size_t i = 0; i < n; ++i) {
        const size_t ch = i % c;
        const double scale = scales[ch];
        // A zero or non-finite scale maps every value to the zero point.
        const double q = (scale != 0.0 && std::isfinite(scale) && std::isfinite(in.values[i]))
                             ? std::round(in.values[i] / scale)
                             : 0.0;
        out.values[i] = clip(q + zero_points[ch], range);
    }
    return out;
}

Frame dequantize(const Layer& layer, const Frame& in) {
    Frame out = output_of_input_size(layer, in);
    const size_t n = out.values.size();
    const uint32_t c = out.dims[2];
    const auto scales = variable_values(layer, "scales", c);
    out.type = TensorType::float32;
    for (size_t i = 0; i < n; ++i) {
        out.values[i] = static_cast<double>(static_cast<float>(in.values[i] * scales[i % c]));
    }
    return out;
}

// FullyConnected holds its weights as (units, inputs), Dense1D as (inputs, units).
Frame dense_sum(const Layer& layer, const Frame& in, bool units_first) {
    const uint32_t units = static_cast<uint32_t>(layer.params()->get("units"));
    const size_t inputs = layer.input_dimensions().front().element_count();
    expect_size(layer, in, inputs);
    const auto weights = variable_values(layer, "weights", inputs * units);
    if (weights.size() != inputs * units) {
        throw std::runtime_error("The weights of layer '" + layer.get_name() +
                                 "' do not match its inputs and units.");
    }
    Frame out;
    out.dims = checked_output_dims(layer);
    const bool activation = layer.activation_enabled();
    const Range range = activation ? int_range(layer.output_bits(), false) : int_range(32, true);
    out.type = activation ? output_type(layer.output_bits(), true) : TensorType::int32;
    out.values.resize(units);
    for (uint32_t u = 0; u < units; ++u) {
        double sum = 0;
        for (size_t i = 0; i < inputs; ++i) {
            const double w = units_first ? weights[u * inputs + i] : weights[i * units + u];
            sum += in.values[i] * w;
        }
        // Float inputs give a real sum; it is rounded to the integer output.
        out.values[u] = clip(std::round(sum), range);
    }
    return out;
}

// The exact sum: float32 when an input is float, else int32 (a narrower type could overflow).
Frame add(const Layer& layer, const Frame& a, const Frame& b) {
    Frame out = output_of_input_size(layer, a);
    const size_t n = out.values.size();
    expect_size(layer, b, n);
    const bool as_float = is_float(a.type) || is_float(b.type);
    out.type = as_float ? TensorType::float32 : TensorType::int32;
    const Range range = int_range(32, true);
    for (size_t i = 0; i < n; ++i) {
        const double v = a.values[i] + b.values[i];
        out.values[i] = as_float ? static_cast<double>(static_cast<float>(v)) : clip(v, range);
    }
    return out;
}

// Joins the two inputs on their last dimension.
Frame concatenate(const Layer& layer, const Frame& a, const Frame& b) {
    Frame out;
    out.dims = checked_output_dims(layer);
    const size_t positions = static_cast<size_t>(out.dims[0]) * out.dims[1];
    const size_t ca = a.dims.size() == 3 ? a.dims[2] : 0;
    const size_t cb = b.dims.size() == 3 ? b.dims[2] : 0;
    expect_size(layer, a, positions * ca);
    expect_size(layer, b, positions * cb);
    if (ca + cb != out.dims[2]) {
        throw std::runtime_error("Layer '" + layer.get_name() +
                                 "' received inputs that do not join into its output.");
    }
    // Inputs of two types join as float32 when one is float, else as int32.
    if (a.type == b.type) {
        out.type = a.type;
    } else {
        out.type = is_float(a.type) || is_float(b.type) ? TensorType::float32 : TensorType::int32;
    }
    out.values.reserve(positions * (ca + cb));
    for (size_t p = 0; p < positions; ++p) {
        out.values.insert(out.values.end(), a.values.begin() + p * ca,
                          a.values.begin() + (p + 1) * ca);
        out.values.insert(out.values.end(), b.values.begin() + p * cb,
                          b.values.begin() + (p + 1) * cb);
    }
    return out;
}

Frame evaluate_layer(const Layer& layer, const std::vector<const Frame*>& ins) {
    switch (layer.params()->layer_type()) {
        case LayerType::InputData: {
            Frame out = *ins.at(0);
            expect_size(layer, out, layer.output_dimensions().element_count());
            out.dims = layer.output_dimensions();
            return out;
        }
        case LayerType::Quantizer:
            return quantize(layer, *ins.at(0));
        case LayerType::Dequantizer:
            return dequantize(layer, *ins.at(0));
        case LayerType::FullyConnected:
            return dense_sum(layer, *ins.at(0), true);
        case LayerType::Dense1D:
            return dense_sum(layer, *ins.at(0), false);
        case LayerType::Add:
            return add(layer, *ins.at(0), *ins.at(1));
        case LayerType::Concatenate:
            return concatenate(layer, *ins.at(0), *ins.at(1));
        default:
            // check_computable refused the run before it began.
            throw std::logic_error("Layer '" + layer.get_name() +
                                   "' cannot be evaluated in software.");
    }
}

// The kinds evaluate_layer computes.
bool computable(LayerType type) {
    switch (type) {
        case LayerType::InputData:
        case LayerType::Quantizer:
        case LayerType::Dequantizer:
        case LayerType::FullyConnected:
        case LayerType::Dense1D:
        case LayerType::Add:
        case LayerType::Concatenate:
            return true;
        default:
            return false;
    }
}

// Refuses, before any sample is run, layers that the run would have to evaluate in software
// and that the software evaluation does not compute: a result of zeros would pass for one.
void check_computable(const std::vector<std::shared_ptr<Layer>>& layers) {
    for (const auto& layer : layers) {
        if (!layer) continue;
        const LayerType type = layer->params()->layer_type();
        if (computable(type)) continue;
        throw std::runtime_error(
            "Layer '" + layer->get_name() + "' of kind " + layer_kinds::kind_name(type) +
            " cannot be evaluated without hardware: the software evaluation computes only "
            "InputData, Quantizer, Dequantizer, FullyConnected, Dense1D, Add and Concatenate "
            "layers.");
    }
}

// Evaluates `layers` in order on one frame. Input layers, and inbound layers outside the list
// (the layers of an earlier sequence), receive `input`.
Frame evaluate_layers(const std::vector<std::shared_ptr<Layer>>& layers, const Frame& input) {
    std::unordered_map<const Layer*, Frame> values;
    const Frame* last = &input;
    for (const auto& layer : layers) {
        if (!layer) continue;
        std::vector<const Frame*> ins;
        if (layer->is_input_layer()) {
            ins.push_back(&input);
        } else {
            for (const auto& in : layer->inbound_layers()) {
                auto it = values.find(in.get());
                ins.push_back(it != values.end() ? &it->second : &input);
            }
            if (ins.empty()) ins.push_back(&input);
        }
        Frame out = evaluate_layer(*layer, ins);
        last = &(values[layer.get()] = std::move(out));
    }
    return *last;
}

std::vector<std::shared_ptr<Layer>> sequence_layers(const Sequence& sequence) {
    std::vector<std::shared_ptr<Layer>> layers;
    for (const auto& pass : sequence.passes()) {
        if (!pass) continue;
        layers.insert(layers.end(), pass->layers.begin(), pass->layers.end());
    }
    return layers;
}

// Integers are rounded and clamped to the storage type's range; NaN stores 0.
void store(Dense& d, size_t i, double v) {
    if (element_size(d.type()) == 0) return;
    visit_storage_type(d.type(), [&](auto zero) {
        using T = decltype(zero);
        if constexpr (std::is_floating_point_v<T>) {
            d.data<T>()[i] = static_cast<T>(v);
        } else {
            const double lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
            d.data<T>()[i] =
                static_cast<T>(std::isnan(v) ? 0.0 : std::round(std::min(std::max(v, lo), hi)));
        }
    });
}

// One (n, x, y, c) tensor of the first frame's type (float32 for predict).
std::shared_ptr<Tensor> assemble(const std::vector<Frame>& frames, RunKind kind) {
    const Frame& first = frames.front();
    const TensorType type = kind == RunKind::predict ? TensorType::float32 : first.type;
    const size_t per = first.values.size();
    for (const Frame& f : frames) {
        if (f.values.size() != per || (kind != RunKind::predict && f.type != first.type)) {
            throw std::runtime_error("The outputs of the samples differ in size or type.");
        }
    }
    const Shape dims{static_cast<uint32_t>(frames.size()), first.dims[0], first.dims[1],
                     first.dims[2]};
    std::shared_ptr<Dense> out = Dense::create(type, dims, Dense::Layout::RowMajor);
    size_t i = 0;
    for (const Frame& f : frames) {
        for (double v : f.values) store(*out, i++, v);
    }
    return out;
}

std::shared_ptr<Tensor> run(Model& model, const std::shared_ptr<Dense>& inputs,
                            const std::vector<int32_t>* labels, uint32_t batch, RunKind kind) {
    if (model.layer_count() == 0) {
        throw std::invalid_argument("Cannot perform an inference on a model with no layers");
    }
    if (!inputs) throw std::invalid_argument("Invalid input tensor.");
    const auto layers = model.layers();
    if (kind == RunKind::predict && layers.back()->has_activation()) {
        throw std::runtime_error("predict requires a last layer without activation.");
    }
    const Shape& in_dims = inputs->dimensions();
    const Shape frame_shape = model.input_dimensions();
    if (in_dims.empty() || inputs->size() / in_dims[0] != frame_shape.element_count()) {
        // The inputs are samples of the model's input shape, one per index of the first
        // dimension: say which shape came and which was expected.
        std::string expected = "(n";
        for (uint32_t d : frame_shape) expected += ", " + std::to_string(d);
        throw std::invalid_argument(
            "Input shape does not match the model input. Got inputs of "
            "shape " +
            shape_text(in_dims) + "; expected " + expected +
            "): n samples of the model's input shape " + shape_text(frame_shape) + ".");
    }
    // The layers evaluated in software: all of them when the model is not mapped, else those
    // of the sequences that do not run samples themselves.
    const auto sequences = model.sequences();
    if (sequences.empty()) {
        check_computable(layers);
    } else {
        for (const auto& sequence : sequences) {
            if (sequence && dynamic_cast<ForwardableSequence*>(sequence.get()) == nullptr) {
                check_computable(sequence_layers(*sequence));
            }
        }
    }

    // Frames of the model's input shape, in row-major order.
    std::vector<std::shared_ptr<const Tensor>> frames;
    for (const auto& split : Dense::split(*inputs)) {
        const auto dense = Tensor::ensure_dense(split);
        const auto& bytes = dense->buffer();
        frames.push_back(Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(),
                                     dense->type(), frame_shape, Dense::Layout::RowMajor));
    }
    const size_t n = frames.size();
    const size_t step = batch == 0 ? n : batch;

    std::vector<Frame> results;
    results.reserve(n);
    for (size_t begin = 0; begin < n; begin += step) {
        const size_t end = std::min(n, begin + step);
        std::vector<Frame> current;
        for (size_t i = begin; i < end; ++i) current.push_back(frame_of(*frames[i]));
        if (sequences.empty()) {
            for (Frame& f : current) f = evaluate_layers(layers, f);
        } else {
            // Labels go with their samples when there is one per sample.
            std::vector<int32_t> chunk_labels;
            if (labels != nullptr) {
                if (labels->size() == n) {
                    chunk_labels.assign(labels->begin() + begin, labels->begin() + end);
                } else {
                    chunk_labels = *labels;
                }
            }
            std::vector<std::shared_ptr<const Tensor>> tensors(frames.begin() + begin,
                                                               frames.begin() + end);
            bool tensors_current = true;
            for (const auto& sequence : sequences) {
                if (!sequence) continue;
                if (auto* fs = dynamic_cast<ForwardableSequence*>(sequence.get())) {
                    if (!tensors_current) {
                        tensors.clear();
                        for (const Frame& f : current) {
                            auto d = Dense::create(f.type, f.dims, Dense::Layout::RowMajor);
                            for (size_t i = 0; i < f.values.size(); ++i) store(*d, i, f.values[i]);
                            tensors.push_back(std::move(d));
                        }
                    }
                    auto outs = fs->forward_samples(tensors, labels ? &chunk_labels : nullptr);
                    if (outs.size() != tensors.size()) {
                        throw std::runtime_error("The sequence " + sequence->name() + " returned " +
                                                 std::to_string(outs.size()) + " outputs for " +
                                                 std::to_string(tensors.size()) + " samples.");
                    }
                    tensors.clear();
                    current.clear();
                    for (auto& out : outs) {
                        if (!out) throw std::runtime_error("A sequence returned no output.");
                        current.push_back(frame_of(*out));
                        tensors.push_back(std::move(out));
                    }
                    tensors_current = true;
                } else {
                    const auto seq_layers = sequence_layers(*sequence);
                    for (Frame& f : current) f = evaluate_layers(seq_layers, f);
                    tensors_current = false;
                }
            }
        }
        for (Frame& f : current) results.push_back(std::move(f));
    }
    return assemble(results, kind);
}

}  // namespace

std::shared_ptr<Tensor> Model::forward(std::shared_ptr<Dense> inputs, uint32_t batch) {
    return run(*this, inputs, nullptr, batch, RunKind::forward);
}

std::shared_ptr<Tensor> Model::predict(std::shared_ptr<Dense> inputs, uint32_t batch) {
    return run(*this, inputs, nullptr, batch, RunKind::predict);
}

std::shared_ptr<Tensor> Model::fit(std::shared_ptr<Dense> inputs,
                                   const std::vector<int32_t>& labels, uint32_t batch) {
    return run(*this, inputs, &labels, batch, RunKind::fit);
}

}  // namespace vorna
