// The byte form of a model, little-endian throughout:
//
//   "VRNMDL01", u32 layer count, then per layer in model order:
//     name                      u32 length, bytes
//     layer type                u32
//     parameters                u32 count; per entry: key (u32 length, bytes), i32 value
//     inbound layers            u32 count; per entry: u32 index of an earlier layer
//     variables                 u32 count; per entry: name (u32 length, bytes), u32 element
//                               type, u32 layout, u32 rank, rank x u32 dimensions,
//                               u64 byte count, bytes
//     learning                  u8 present; when 1: u32 learning type, u32 count; per entry:
//                               key (u32 length, bytes), f64 value
//
// The mapping of a model is not part of it. Reading validates every count, size and value
// against the bytes actually present, so a damaged buffer is refused with a message instead
// of being read out of bounds.

#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/layer_kinds.h"
#include "corelib/model.h"

namespace vorna {

namespace {

constexpr char kMagic[8] = {'V', 'R', 'N', 'M', 'D', 'L', '0', '1'};

class Writer {
  public:
    void raw(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void u8(uint8_t v) { out_.push_back(v); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void f64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        u64(bits);
    }
    void text(const std::string& s) {
        u32(checked_u32(s.size()));
        raw(s.data(), s.size());
    }
    static uint32_t checked_u32(size_t n) {
        if (n > std::numeric_limits<uint32_t>::max()) {
            throw std::runtime_error("The model is too large to serialize.");
        }
        return static_cast<uint32_t>(n);
    }
    void reserve(size_t n) { out_.reserve(n); }
    std::vector<uint8_t> take() { return std::move(out_); }

  private:
    std::vector<uint8_t> out_;
};

// The length of the UTF-8 sequence at s[i], or 0 when none starts there (overlong forms,
// surrogates and code points above U+10FFFF are not UTF-8).
size_t utf8_sequence(const std::string& s, size_t i) {
    const auto byte = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = i + 2; k < i + n; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
    }
    return n;
}

bool is_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_sequence(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// A message text that may quote bytes of the buffer: control characters, backslashes and
// bytes that are not UTF-8 become \xNN escapes, so that a NUL cannot cut the message short
// and the text always decodes.
std::string escaped(const std::string& s) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = utf8_sequence(s, i);
        if (n == 0 || c < 0x20 || c == 0x7f || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

// The refusal of a buffer. Its own type lets the rebuild step tell it from the errors of the
// model operations, which it wraps.
class InvalidSerialization : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void invalid(std::string reason) {
    // Reasons taken from other messages lose their own final period.
    while (!reason.empty() && reason.back() == '.') reason.pop_back();
    throw InvalidSerialization("Invalid model serialization: " + escaped(reason) + ".");
}

// Names become Python text: bytes that are not UTF-8 are refused here rather than failing at
// every later use of the name.
void expect_utf8(const std::string& text, const std::string& what) {
    if (!is_utf8(text)) invalid(what + " is not valid UTF-8: '" + text + "'");
}

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - pos_; }
    const uint8_t* take(size_t n) {
        if (n > remaining()) invalid("unexpected end of data at byte " + std::to_string(pos_));
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    uint8_t u8() { return *take(1); }
    uint32_t u32() {
        const uint8_t* p = take(4);
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
        return v;
    }
    uint64_t u64() {
        const uint8_t* p = take(8);
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
        return v;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    double f64() {
        const uint64_t bits = u64();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::string text() {
        const uint32_t n = u32();
        const uint8_t* p = take(n);
        return std::string(reinterpret_cast<const char*>(p), n);
    }
    // A count of entries of at least `min_entry_size` bytes each, refused when the remaining
    // bytes cannot hold that many.
    uint32_t count(size_t min_entry_size, const char* what) {
        const uint32_t n = u32();
        if (static_cast<uint64_t>(n) * min_entry_size > remaining()) {
            invalid(std::string("the ") + what + " count " + std::to_string(n) +
                    " exceeds the data");
        }
        return n;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct StoredVariable {
    std::string name;
    std::shared_ptr<Tensor> value;
};

struct StoredLearning {
    LearningType type = LearningType::Unsupervised;
    std::map<std::string, double> entries;
};

// A layer's named values as a map: a count of entries of at least
// `min_entry_size` bytes, then each name followed by its value, read by
// `read_value`. A name must be UTF-8 and stand once; `what` names one entry in
// the messages ("parameter").
template <class Value, class ReadValue>
std::map<std::string, Value> read_named_values(Reader& r, size_t min_entry_size,
                                               const std::string& what,
                                               const std::string& layer_name,
                                               ReadValue read_value) {
    std::map<std::string, Value> values;
    const uint32_t count = r.count(min_entry_size, what.c_str());
    for (uint32_t k = 0; k < count; ++k) {
        std::string key = r.text();
        expect_utf8(key, "a " + what + " name of layer '" + layer_name + "'");
        const Value value = read_value(r);
        if (!values.emplace(std::move(key), value).second) {
            invalid("layer '" + layer_name + "' repeats a " + what);
        }
    }
    return values;
}

std::shared_ptr<Tensor> read_tensor(Reader& r, const std::string& name) {
    const uint32_t type = r.u32();
    if (type > static_cast<uint32_t>(TensorType::uint16)) {
        invalid("variable '" + name + "' has the unknown element type " + std::to_string(type));
    }
    const uint32_t layout = r.u32();
    if (layout > 1) {
        invalid("variable '" + name + "' has the unknown layout " + std::to_string(layout));
    }
    const uint32_t rank = r.u32();
    if (rank < 1 || rank > Shape::MAX_DIMS) {
        invalid("variable '" + name + "' has " + std::to_string(rank) + " dimensions");
    }
    std::vector<uint32_t> dims(rank);
    uint64_t elements = 1;
    for (uint32_t& d : dims) {
        d = r.u32();
        if (d == 0) invalid("variable '" + name + "' has a dimension of 0");
        elements *= d;
        if (elements > r.remaining()) invalid("variable '" + name + "' exceeds the data");
    }
    const uint64_t bytes = r.u64();
    const size_t elem = element_size(static_cast<TensorType>(type));
    if (bytes != elements * elem) {
        invalid("variable '" + name + "' holds " + std::to_string(bytes) + " bytes for " +
                std::to_string(elements) + " elements");
    }
    const uint8_t* data = r.take(static_cast<size_t>(bytes));
    return Dense::copy(reinterpret_cast<const char*>(data), static_cast<size_t>(bytes),
                       static_cast<TensorType>(type), Shape(dims),
                       static_cast<Dense::Layout>(layout));
}

// Adding a layer creates its variables at the sizes its parameters give, before the stored
// values replace them. A model always stores every variable its layers create, so parameters
// whose variables would be far larger than the stored ones (damaged sizes) are refused before
// anything is allocated.
void check_fresh_variables(const Layer& layer, const std::vector<std::shared_ptr<Layer>>& inbound,
                           const std::vector<StoredVariable>& stored) {
    if (!layer.is_input_layer() && inbound.empty()) return;  // add refuses it
    const auto state = layer_kinds::compute(layer.get_name(), *layer.params(), inbound);
    uint64_t fresh = 0;
    for (const auto& spec : layer_kinds::variables(layer.get_name(), *layer.params(), state)) {
        uint64_t elements = 1;
        for (uint32_t d : spec.dims) {
            elements *= d;
            if (elements > (uint64_t{1} << 40)) break;
        }
        fresh += elements;
        bool present = false;
        for (const auto& var : stored) present = present || var.name == spec.name;
        if (!present) {
            invalid("layer '" + layer.get_name() + "' lacks the variable '" + spec.name + "'");
        }
    }
    uint64_t kept = 0;
    for (const auto& var : stored) kept += var.value->size();
    if (fresh > kept + 4096) {
        invalid("the parameters of layer '" + layer.get_name() +
                "' do not match its stored variables");
    }
}

// A layer's named values: their count, then each name in key order followed by
// its value, written by `write_value`.
template <class Params, class WriteValue>
void write_named_values(Writer& w, const Params& params, WriteValue write_value) {
    const auto keys = params.keys();
    w.u32(Writer::checked_u32(keys.size()));
    for (const auto& key : keys) {
        w.text(key);
        write_value(params.get(key));
    }
}

}  // namespace

std::vector<uint8_t> Model::serialize() const {
    // The variables make up nearly all of the bytes: reserving for them (and generously for the
    // rest) writes the buffer once instead of copying it as it grows.
    size_t estimate = sizeof kMagic + 4;
    for (const auto& layer : layers_) {
        estimate += 1024 + layer->get_name().size();
        const Variables* vars = layer->variables();
        for (const auto& name : vars->names()) {
            estimate += 64 + name.size() + Tensor::ensure_dense(vars->get(name))->buffer().size();
        }
    }
    Writer w;
    w.reserve(estimate);
    w.raw(kMagic, sizeof kMagic);
    w.u32(Writer::checked_u32(layers_.size()));
    for (size_t i = 0; i < layers_.size(); ++i) {
        const LayerImpl& layer = *layers_[i];
        w.text(layer.get_name());
        const LayerParams* params = layer.params();
        w.u32(static_cast<uint32_t>(params->layer_type()));
        write_named_values(w, *params, [&w](int value) { w.i32(value); });
        const auto inbound = layer.inbound_layers();
        w.u32(Writer::checked_u32(inbound.size()));
        for (const auto& in : inbound) {
            size_t index = 0;
            while (index < i && layers_[index].get() != in.get()) ++index;
            if (index == i) throw std::runtime_error("Inbound layer missing from the model.");
            w.u32(static_cast<uint32_t>(index));
        }
        const Variables* vars = layer.variables();
        const auto names = vars->names();
        w.u32(Writer::checked_u32(names.size()));
        for (const auto& name : names) {
            const auto dense = Tensor::ensure_dense(vars->get(name));
            w.text(name);
            w.u32(static_cast<uint32_t>(dense->type()));
            w.u32(static_cast<uint32_t>(dense->layout()));
            const Shape& dims = dense->dimensions();
            w.u32(dims.size());
            for (uint32_t d : dims) w.u32(d);
            const auto& bytes = dense->buffer();
            w.u64(bytes.size());
            w.raw(bytes.data(), bytes.size());
        }
        const auto learning = layer.learning();
        w.u8(learning ? 1 : 0);
        if (learning) {
            w.u32(static_cast<uint32_t>(learning->learning_type()));
            write_named_values(w, *learning, [&w](double value) { w.f64(value); });
        }
    }
    return w.take();
}

std::unique_ptr<Model> Model::from_buffer(const char* data, size_t size) {
    if (size == 0) invalid("empty buffer");
    if (data == nullptr) invalid("no data");
    Reader r(reinterpret_cast<const uint8_t*>(data), size);
    if (size < sizeof kMagic || std::memcmp(r.take(sizeof kMagic), kMagic, sizeof kMagic) != 0) {
        invalid("bad header");
    }
    // The smallest layer entry: name length, type, three counts and the learning flag.
    constexpr size_t kMinLayerSize = 4 + 4 + 4 + 4 + 4 + 1;
    const uint32_t layer_count = r.count(kMinLayerSize, "layer");

    std::unique_ptr<Model> model = Model::create();
    for (uint32_t i = 0; i < layer_count; ++i) {
        const std::string name = r.text();
        expect_utf8(name, "the name of layer " + std::to_string(i));
        const uint32_t type = r.u32();
        if (layer_kinds::find(static_cast<LayerType>(type)) == nullptr) {
            invalid("layer '" + name + "' has the unknown layer type " + std::to_string(type));
        }
        const std::map<std::string, int> entries =
            read_named_values<int>(r, 8, "parameter", name, [](Reader& in) { return in.i32(); });
        std::vector<std::shared_ptr<Layer>> inbound;
        const uint32_t inbound_count = r.count(4, "inbound layer");
        for (uint32_t k = 0; k < inbound_count; ++k) {
            const uint32_t index = r.u32();
            if (index >= i) {
                invalid("layer '" + name + "' names the inbound layer " + std::to_string(index));
            }
            inbound.push_back(model->get_layer(static_cast<size_t>(index)));
        }
        std::vector<StoredVariable> variables;
        std::set<std::string> variable_names;
        const uint32_t variable_count = r.count(4 + 4 + 4 + 4 + 4 + 8, "variable");
        for (uint32_t k = 0; k < variable_count; ++k) {
            std::string var_name = r.text();
            expect_utf8(var_name, "a variable name of layer '" + name + "'");
            if (!variable_names.insert(var_name).second) {
                invalid("layer '" + name + "' repeats the variable '" + var_name + "'");
            }
            auto value = read_tensor(r, var_name);
            variables.push_back(StoredVariable{std::move(var_name), std::move(value)});
        }
        const uint8_t has_learning = r.u8();
        if (has_learning > 1) invalid("layer '" + name + "' has a bad learning flag");
        std::shared_ptr<LearningParams> learning;
        if (has_learning) {
            const uint32_t learning_type = r.u32();
            if (learning_type != static_cast<uint32_t>(LearningType::Unsupervised)) {
                invalid("layer '" + name + "' has the unknown learning type " +
                        std::to_string(learning_type));
            }
            const std::map<std::string, double> values = read_named_values<double>(
                r, 12, "learning parameter", name, [](Reader& in) { return in.f64(); });
            learning = LearningParams::create(LearningType::Unsupervised, values);
        }

        // Rebuilding can still refuse what the bytes describe (a missing parameter, a wrong
        // link, a duplicate name); that too is a bad serialization.
        try {
            const auto params = LayerParams::create(static_cast<LayerType>(type), entries);
            std::shared_ptr<Layer> layer = Layer::create(params.get(), name);
            // With no inbound layers, add links a layer to the current last one.
            std::vector<std::shared_ptr<Layer>> links = inbound;
            if (links.empty() && !layer->is_input_layer() && i > 0) {
                links.push_back(model->get_layer(static_cast<size_t>(i - 1)));
            }
            check_fresh_variables(*layer, links, variables);
            // The stored values go in before the layer is built: building keeps a variable that
            // already has the type and dimensions it needs instead of making a zero-filled one
            // only to have it replaced.
            for (const auto& var : variables) layer->variables()->set(var.name, var.value);
            model->add(layer, inbound);
            if (learning) model->compile(learning);
            // A stored value that building replaced (another shape or type) still wins.
            for (auto& var : variables) {
                if (layer->variables()->get(var.name) != var.value) {
                    layer->variables()->set(var.name, std::move(var.value));
                }
            }
        } catch (const InvalidSerialization&) {
            throw;
        } catch (const std::invalid_argument& e) {
            invalid(e.what());
        } catch (const std::out_of_range& e) {
            invalid(e.what());
        } catch (const std::runtime_error& e) {
            invalid(e.what());
        }
    }
    if (r.remaining() != 0) {
        invalid(std::to_string(r.remaining()) + " bytes after the last layer");
    }
    return model;
}

}  // namespace vorna
