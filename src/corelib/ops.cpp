// Reference kernels of the core library (see ops.h for the conventions).

#include "corelib/ops.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorna::ops {
namespace {

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

[[noreturn]] void incompatible_shapes(const char* kernel) {
    throw std::invalid_argument(std::string(kernel) + ": incompatible shapes.");
}

void expect_type(const char* kernel, const Dense& t, TensorType type) {
    if (t.type() != type)
        throw std::invalid_argument(std::string(kernel) + ": incompatible types.");
}

void expect_dims(const char* kernel, const Dense& t, uint32_t count) {
    if (t.dimensions().size() != count) incompatible_shapes(kernel);
}

// Number of elements of the last dimension (the channels).
uint32_t channels(const Dense& t) {
    const Shape& s = t.dimensions();
    return s.size() == 0 ? 0 : s[s.size() - 1];
}

void expect_per_channel(const char* kernel, const Dense& param, uint32_t count) {
    if (count == 0 || param.size() != count) incompatible_shapes(kernel);
}

// Every tensor a kernel reads must hold at least one element.
void expect_elements(const char* kernel, const Dense& t) {
    if (t.size() == 0) incompatible_shapes(kernel);
}

// Storage offsets of the elements in logical row-major order (last dimension fastest).
std::vector<size_t> storage_offsets(const Dense& t) {
    const Shape& s = t.dimensions();
    const std::vector<uint32_t>& strides = t.strides();
    const size_t n = t.size();
    std::vector<size_t> out(n);
    uint32_t idx[Shape::MAX_DIMS] = {0, 0, 0, 0};
    for (size_t e = 0; e < n; ++e) {
        size_t off = 0;
        for (uint32_t d = 0; d < s.size(); ++d) off += size_t{idx[d]} * strides[d];
        out[e] = off;
        for (uint32_t d = s.size(); d-- > 0;) {
            if (++idx[d] < s[d]) break;
            idx[d] = 0;
        }
    }
    return out;
}

// The elements of a tensor in logical row-major order.
template <class T>
std::vector<T> logical(const Dense& t) {
    const T* p = t.data<T>();
    const std::vector<size_t> offsets = storage_offsets(t);
    std::vector<T> out(offsets.size());
    for (size_t i = 0; i < offsets.size(); ++i) out[i] = p[offsets[i]];
    return out;
}

// Per-channel parameters of any integer storage, widened.
std::vector<int64_t> int_values(const char* kernel, const Dense& t) {
    std::vector<int64_t> out;
    auto widen = [&out](const auto& v) { out.assign(v.begin(), v.end()); };
    switch (t.type()) {
        case TensorType::int32:
            widen(logical<int32_t>(t));
            break;
        case TensorType::int16:
            widen(logical<int16_t>(t));
            break;
        case TensorType::uint16:
            widen(logical<uint16_t>(t));
            break;
        case TensorType::int8:
            widen(logical<int8_t>(t));
            break;
        case TensorType::uint8:
            widen(logical<uint8_t>(t));
            break;
        default:
            throw std::invalid_argument(std::string(kernel) + ": incompatible types.");
    }
    return out;
}

// The bytes of a tensor's elements in logical row-major order.
std::vector<char> logical_bytes(const Dense& t) {
    const size_t es = element_size(t.type());
    const std::vector<size_t> offsets = storage_offsets(t);
    const uint8_t* p = t.buffer().data();
    std::vector<char> out(offsets.size() * es);
    for (size_t i = 0; i < offsets.size(); ++i) std::memcpy(&out[i * es], p + offsets[i] * es, es);
    return out;
}

// Checked shape of a result: one to four non-zero dimensions whose element count fits size_t.
Shape result_shape(const char* kernel, const std::vector<uint32_t>& dims, size_t element) {
    if (dims.empty() || dims.size() > Shape::MAX_DIMS) incompatible_shapes(kernel);
    size_t count = element;
    for (uint32_t d : dims) {
        if (d == 0 || count > std::numeric_limits<size_t>::max() / d) incompatible_shapes(kernel);
        count *= d;
    }
    return Shape(dims);
}

template <class T>
DensePtr make_result(const char* kernel, TensorType type, const std::vector<uint32_t>& dims,
                     const std::vector<T>& values) {
    const Shape shape = result_shape(kernel, dims, sizeof(T));
    return DensePtr(Dense::copy(reinterpret_cast<const char*>(values.data()),
                                values.size() * sizeof(T), type, shape, Dense::Layout::RowMajor));
}

DensePtr make_bytes_result(const char* kernel, TensorType type, const std::vector<uint32_t>& dims,
                           const std::vector<char>& bytes) {
    const Shape shape = result_shape(kernel, dims, element_size(type));
    return DensePtr(Dense::copy(bytes.data(), bytes.size(), type, shape, Dense::Layout::RowMajor));
}

// Writable bytes of a tensor's storage.
uint8_t* mutable_bytes(Dense& t) {
    return visit_storage_type(
        t.type(), [&t](auto zero) { return reinterpret_cast<uint8_t*>(t.data<decltype(zero)>()); });
}

std::vector<uint32_t> dims_of(const Dense& t) { return t.dimensions().to_vector(); }

int32_t saturate(int64_t v, int bits) {
    const int b = (bits > 0 && bits < 32) ? bits : 32;
    const int64_t hi = (int64_t{1} << (b - 1)) - 1;
    return static_cast<int32_t>(std::clamp(v, -hi - 1, hi));
}

int32_t clip_unsigned(int64_t v, int bits) {
    const int64_t hi = bits >= 31 ? kInt32Max : (int64_t{1} << bits) - 1;
    return static_cast<int32_t>(std::clamp<int64_t>(v, 0, hi));
}

// v * 2^amount for amount >= 0, round(v / 2^-amount) otherwise. |v| must stay below 2^62; a
// left shift that would leave that range saturates to +-2^62.
int64_t shift_by(int64_t v, int amount) {
    constexpr int64_t kLimit = int64_t{1} << 62;
    if (amount >= 0) {
        if (v == 0) return 0;
        if (amount >= 62 || (v > 0 ? v : -v) > (kLimit >> amount)) return v > 0 ? kLimit : -kLimit;
        return v * (int64_t{1} << amount);
    }
    const int n = -amount;
    if (n >= 62) return 0;
    return (v + (int64_t{1} << (n - 1))) >> n;
}

int64_t shift_right(int64_t v, int n) { return v >> std::min(n, 63); }

// sum + v, clamped to the int64 range instead of overflowing. Every accumulation of products
// goes through it: a sum of many large products would otherwise be undefined.
int64_t add_saturating(int64_t sum, int64_t v) {
    int64_t r;
    if (__builtin_add_overflow(sum, v, &r)) {
        return v > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return r;
}

// Element-wise map of an int32 tensor with one per-channel parameter.
template <class F>
DensePtr per_channel_int32(const char* kernel, const Dense& a, const std::vector<int64_t>& param,
                           F f) {
    const std::vector<int32_t> av = logical<int32_t>(a);
    const uint32_t c = channels(a);
    std::vector<int32_t> out(av.size());
    for (size_t i = 0; i < av.size(); ++i) out[i] = f(av[i], param[i % c]);
    return make_result(kernel, TensorType::int32, dims_of(a), out);
}

DensePtr shift_kernel(const char* kernel, const Dense& a, const Dense& b, int c, bool out_clip) {
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::int8);
    expect_per_channel(kernel, b, channels(a));
    return per_channel_int32(kernel, a, int_values(kernel, b), [&](int32_t v, int64_t s) {
        const int64_t r = shift_by(v, static_cast<int>(s));
        return out_clip && c > 0 ? clip_unsigned(r, c) : saturate(r, c);
    });
}

// Shared geometry checks of the convolutions over an int32 (x, y, c) input.
void check_conv_geometry(const char* kernel, int stride_x, int stride_y, unsigned out_w,
                         unsigned out_h) {
    if (stride_x < 1 || stride_y < 1 || out_w == 0 || out_h == 0) incompatible_shapes(kernel);
}

// Checks shared by the convolutions of an int32 (x, y, c) input `a` with int8 4-D weights `w`,
// in this order: the types, the ranks, then the geometry.
void check_int8_conv(const char* kernel, const Dense& a, const Dense& w, int stride_x, int stride_y,
                     unsigned out_w, unsigned out_h) {
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, w, TensorType::int8);
    expect_dims(kernel, a, 3);
    expect_dims(kernel, w, 4);
    check_conv_geometry(kernel, stride_x, stride_y, out_w, out_h);
}

// Whether the windows of `out` positions stay within the padded input along one axis.
bool windows_fit(int64_t n, int64_t k, int64_t s, unsigned out, int64_t before, int64_t after) {
    if (before < 0 || after < 0) return false;
    return (int64_t{out} - 1) * s + k <= n + before + after;
}

// The taps of one output's window: calls visit(i, j, x, y, inside) for each
// tap (i, j) of a kx by ky window, i outer, with (x, y) the input position the
// tap reads and `inside` whether that lies in the in_w by in_h input (a tap
// outside reads padding).
struct WindowWalk {
    int64_t in_w, in_h, kx, ky, stride_x, stride_y, pad_left, pad_top;

    template <class Visit>
    void operator()(int64_t ox, int64_t oy, Visit&& visit) const {
        for (int64_t i = 0; i < kx; ++i) {
            const int64_t x = ox * stride_x - pad_left + i;
            for (int64_t j = 0; j < ky; ++j) {
                const int64_t y = oy * stride_y - pad_top + j;
                visit(i, j, x, y, x >= 0 && x < in_w && y >= 0 && y < in_h);
            }
        }
    }
};

// Sets out[(ox * out_h + oy) * depth + d] to value(ox, oy, d) at every output
// position (ox, oy) and depth d, in that storage order.
template <class Value>
void fill_outputs(std::vector<int32_t>* out, unsigned out_w, unsigned out_h, int64_t depth,
                  Value&& value) {
    for (int64_t ox = 0; ox < out_w; ++ox) {
        for (int64_t oy = 0; oy < out_h; ++oy) {
            for (int64_t d = 0; d < depth; ++d) {
                (*out)[(ox * out_h + oy) * depth + d] = value(ox, oy, d);
            }
        }
    }
}

// The operands of a stride-and-pad int8 convolution, checked by
// check_int8_conv: the input's and the kernel's sizes, both in logical order,
// and the walk over each output's window.
struct Int8Conv {
    int64_t X, Y, C, KX, KY;
    std::vector<int32_t> av;
    std::vector<int8_t> wv;
    WindowWalk window;
};

Int8Conv int8_conv(const char* kernel, const Dense& a, const Dense& w, int stride_x, int stride_y,
                   int pad_left, int pad_top, unsigned out_w, unsigned out_h) {
    check_int8_conv(kernel, a, w, stride_x, stride_y, out_w, out_h);
    const int64_t X = a.dimensions()[0], Y = a.dimensions()[1], C = a.dimensions()[2];
    const int64_t KX = w.dimensions()[0], KY = w.dimensions()[1];
    return {X,
            Y,
            C,
            KX,
            KY,
            logical<int32_t>(a),
            logical<int8_t>(w),
            {X, Y, KX, KY, stride_x, stride_y, pad_left, pad_top}};
}

}  // namespace

DensePtr lshift(const Dense& a, const Dense& b, int c) {
    const char* kernel = "lshift";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::uint8);
    expect_per_channel(kernel, b, channels(a));
    return per_channel_int32(kernel, a, int_values(kernel, b), [c](int32_t v, int64_t s) {
        return saturate(shift_by(v, static_cast<int>(s)), c);
    });
}

DensePtr shift(const Dense& a, const Dense& b, int c) {
    return shift_kernel("shift", a, b, c, false);
}

DensePtr shift_out(const Dense& a, const Dense& b, int c) {
    return shift_kernel("shift_out", a, b, c, true);
}

DensePtr matmul(const Dense& a, const Dense& b, int c, bool relu) {
    const char* kernel = "matmul";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::int32);
    expect_dims(kernel, a, 2);
    expect_dims(kernel, b, 2);
    const uint32_t n = a.dimensions()[0], k = a.dimensions()[1], m = b.dimensions()[1];
    if (b.dimensions()[0] != k) incompatible_shapes(kernel);
    const std::vector<int32_t> av = logical<int32_t>(a), bv = logical<int32_t>(b);
    std::vector<int32_t> out(size_t{n} * m);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < m; ++j) {
            int64_t sum = 0;
            for (size_t t = 0; t < k; ++t) {
                sum = add_saturating(sum, int64_t{av[i * k + t]} * bv[t * m + j]);
            }
            if (relu && sum < 0) sum = 0;
            out[i * m + j] = saturate(sum, c);
        }
    }
    return make_result(kernel, TensorType::int32, {n, m}, out);
}

DensePtr add(const Dense& a, const Dense& b, int c) {
    const char* kernel = "add";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::int32);
    if (a.dimensions() != b.dimensions()) incompatible_shapes(kernel);
    const std::vector<int32_t> av = logical<int32_t>(a), bv = logical<int32_t>(b);
    std::vector<int32_t> out(av.size());
    for (size_t i = 0; i < av.size(); ++i) out[i] = saturate(int64_t{av[i]} + bv[i], c);
    return make_result(kernel, TensorType::int32, dims_of(a), out);
}

DensePtr concatenate_last_dim(const std::vector<ConstDensePtr>& tensors) {
    const char* kernel = "concatenate_last_dim";
    if (tensors.empty()) incompatible_shapes(kernel);
    for (const ConstDensePtr& t : tensors) {
        if (!t) throw std::invalid_argument("concatenate_last_dim: null tensor.");
    }
    const Dense& first = *tensors.front();
    expect_elements(kernel, first);
    const uint32_t rank = first.dimensions().size();
    uint64_t last = 0;
    for (const ConstDensePtr& t : tensors) {
        expect_type(kernel, *t, first.type());
        if (t->dimensions().size() != rank) incompatible_shapes(kernel);
        for (uint32_t d = 0; d + 1 < rank; ++d) {
            if (t->dimensions()[d] != first.dimensions()[d]) incompatible_shapes(kernel);
        }
        last += channels(*t);
    }
    if (last > std::numeric_limits<uint32_t>::max()) incompatible_shapes(kernel);
    const size_t es = element_size(first.type());
    const size_t outer = first.size() / channels(first);
    std::vector<std::vector<char>> parts;
    for (const ConstDensePtr& t : tensors) parts.push_back(logical_bytes(*t));
    std::vector<char> out;
    out.reserve(outer * last * es);
    for (size_t o = 0; o < outer; ++o) {
        for (size_t i = 0; i < tensors.size(); ++i) {
            const size_t row = size_t{channels(*tensors[i])} * es;
            out.insert(out.end(), parts[i].begin() + o * row, parts[i].begin() + (o + 1) * row);
        }
    }
    std::vector<uint32_t> dims = dims_of(first);
    dims.back() = static_cast<uint32_t>(last);
    return make_bytes_result(kernel, first.type(), dims, out);
}

DensePtr scale_out(const Dense& a, const Dense& b, const Dense& k, int bits, int is_signed) {
    const char* kernel = "scale_out";
    expect_type(kernel, a, TensorType::int32);
    if (b.type() != TensorType::uint8 && b.type() != TensorType::uint16) {
        throw std::invalid_argument("scale_out: incompatible types.");
    }
    expect_type(kernel, k, TensorType::int8);
    const uint32_t c = channels(a);
    expect_per_channel(kernel, b, c);
    expect_per_channel(kernel, k, c);
    const std::vector<int64_t> scale = int_values(kernel, b), shifts = int_values(kernel, k);
    const std::vector<int32_t> av = logical<int32_t>(a);
    std::vector<int32_t> out(av.size());
    for (size_t i = 0; i < av.size(); ++i) {
        const size_t ch = i % c;
        const int64_t v = shift_by(int64_t{av[i]} * scale[ch], static_cast<int>(shifts[ch]));
        if (bits <= 0) {
            out[i] = saturate(v, 32);
        } else {
            out[i] = is_signed != 0 ? saturate(v, bits) : clip_unsigned(v, bits);
        }
    }
    return make_result(kernel, TensorType::int32, dims_of(a), out);
}

DensePtr conv2d_v2(const Dense& a, int stride_x, int stride_y, int pad_left, int pad_top,
                   unsigned out_w, unsigned out_h, const Dense& w, int clip_bits) {
    const char* kernel = "conv2d_v2";
    const Int8Conv conv =
        int8_conv(kernel, a, w, stride_x, stride_y, pad_left, pad_top, out_w, out_h);
    const int64_t Y = conv.Y, C = conv.C, KY = conv.KY, F = w.dimensions()[3];
    if (w.dimensions()[2] != C) incompatible_shapes(kernel);
    const Shape shape = result_shape(kernel, {out_w, out_h, w.dimensions()[3]}, sizeof(int32_t));
    const std::vector<int32_t>& av = conv.av;
    const std::vector<int8_t>& wv = conv.wv;
    const WindowWalk& window = conv.window;
    std::vector<int32_t> out(shape.element_count());
    fill_outputs(&out, out_w, out_h, F, [&](int64_t ox, int64_t oy, int64_t f) {
        int64_t sum = 0;
        window(ox, oy, [&](int64_t i, int64_t j, int64_t x, int64_t y, bool inside) {
            if (!inside) return;
            for (int64_t ch = 0; ch < C; ++ch) {
                sum = add_saturating(
                    sum, int64_t{av[(x * Y + y) * C + ch]} * wv[((i * KY + j) * C + ch) * F + f]);
            }
        });
        return saturate(sum, clip_bits);
    });
    return make_result(kernel, TensorType::int32, shape.to_vector(), out);
}

DensePtr linearize_filters(const Dense& w) {
    const char* kernel = "linearize_filters";
    expect_dims(kernel, w, 4);
    const Shape& s = w.dimensions();
    const uint64_t rows = uint64_t{s[0]} * s[1] * s[2];
    if (rows > std::numeric_limits<uint32_t>::max()) incompatible_shapes(kernel);
    // The logical row-major order of (kx, ky, c, f) is already the order of the rows
    // i * ky * c + j * c + ch.
    return make_bytes_result(kernel, w.type(), {static_cast<uint32_t>(rows), s[3]},
                             logical_bytes(w));
}

DensePtr input_conv2d(const Dense& a, const Dense& q, int8_t stride_x, int8_t stride_y, int pad_top,
                      int pad_bottom, int pad_left, int pad_right, unsigned out_w, unsigned out_h,
                      unsigned kernel_x, unsigned kernel_y, const Dense& l) {
    const char* kernel = "input_conv2d";
    expect_type(kernel, a, TensorType::uint8);
    expect_type(kernel, q, TensorType::uint8);
    expect_type(kernel, l, TensorType::int8);
    expect_dims(kernel, a, 3);
    expect_dims(kernel, l, 2);
    check_conv_geometry(kernel, stride_x, stride_y, out_w, out_h);
    const int64_t X = a.dimensions()[0], Y = a.dimensions()[1], C = a.dimensions()[2];
    const int64_t KX = kernel_x, KY = kernel_y, F = l.dimensions()[1];
    expect_per_channel(kernel, q, a.dimensions()[2]);
    if (KX == 0 || KY == 0 || int64_t{l.dimensions()[0]} != KX * KY * C) {
        incompatible_shapes(kernel);
    }
    if (!windows_fit(X, KX, stride_x, out_w, pad_left, pad_right) ||
        !windows_fit(Y, KY, stride_y, out_h, pad_top, pad_bottom)) {
        incompatible_shapes(kernel);
    }
    const Shape shape = result_shape(kernel, {out_w, out_h, l.dimensions()[1]}, sizeof(int32_t));
    const std::vector<uint8_t> av = logical<uint8_t>(a), qv = logical<uint8_t>(q);
    const std::vector<int8_t> lv = logical<int8_t>(l);
    std::vector<int32_t> out(shape.element_count());
    const WindowWalk window{X, Y, KX, KY, stride_x, stride_y, pad_left, pad_top};
    fill_outputs(&out, out_w, out_h, F, [&](int64_t ox, int64_t oy, int64_t f) {
        int64_t sum = 0;
        window(ox, oy, [&](int64_t i, int64_t j, int64_t x, int64_t y, bool inside) {
            for (int64_t ch = 0; ch < C; ++ch) {
                const int64_t v = inside ? av[(x * Y + y) * C + ch] : qv[ch];
                sum = add_saturating(sum, v * lv[((i * KY + j) * C + ch) * F + f]);
            }
        });
        return saturate(sum, 32);
    });
    return make_result(kernel, TensorType::int32, shape.to_vector(), out);
}

DensePtr conv2d_transpose(const Dense& a, const Dense& w, int stride, int crop_x, int crop_y,
                          unsigned out_w, unsigned out_h) {
    const char* kernel = "conv2d_transpose";
    check_int8_conv(kernel, a, w, stride, stride, out_w, out_h);
    const int64_t X = a.dimensions()[0], Y = a.dimensions()[1], C = a.dimensions()[2];
    const int64_t KX = w.dimensions()[0], KY = w.dimensions()[1], F = w.dimensions()[3];
    if (w.dimensions()[2] != C) incompatible_shapes(kernel);
    const Shape shape = result_shape(kernel, {out_w, out_h, w.dimensions()[3]}, sizeof(int32_t));
    const std::vector<int32_t> av = logical<int32_t>(a);
    const std::vector<int8_t> wv = logical<int8_t>(w);
    std::vector<int64_t> acc(shape.element_count(), 0);
    for (int64_t x = 0; x < X; ++x) {
        for (int64_t i = 0; i < KX; ++i) {
            const int64_t ox = x * stride + i - crop_x;
            if (ox < 0 || ox >= out_w) continue;
            for (int64_t y = 0; y < Y; ++y) {
                for (int64_t j = 0; j < KY; ++j) {
                    const int64_t oy = y * stride + j - crop_y;
                    if (oy < 0 || oy >= out_h) continue;
                    for (int64_t ch = 0; ch < C; ++ch) {
                        const int64_t v = av[(x * Y + y) * C + ch];
                        for (int64_t f = 0; f < F; ++f) {
                            int64_t& sum = acc[(ox * out_h + oy) * F + f];
                            sum = add_saturating(sum, v * wv[((i * KY + j) * C + ch) * F + f]);
                        }
                    }
                }
            }
        }
    }
    std::vector<int32_t> out(acc.size());
    for (size_t i = 0; i < acc.size(); ++i) out[i] = saturate(acc[i], 32);
    return make_result(kernel, TensorType::int32, shape.to_vector(), out);
}

DensePtr dequantize(const Dense& a, const Dense& b) {
    const char* kernel = "dequantize";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::float32);
    const uint32_t c = channels(a);
    expect_per_channel(kernel, b, c);
    const std::vector<int32_t> av = logical<int32_t>(a);
    const std::vector<float> scale = logical<float>(b);
    std::vector<float> out(av.size());
    for (size_t i = 0; i < av.size(); ++i) out[i] = static_cast<float>(av[i]) * scale[i % c];
    return make_result(kernel, TensorType::float32, dims_of(a), out);
}

DensePtr depthwise_conv2d(const Dense& a, int stride_x, int stride_y, int pad_left, int pad_top,
                          unsigned out_w, unsigned out_h, const Dense& w) {
    const char* kernel = "depthwise_conv2d";
    const Int8Conv conv =
        int8_conv(kernel, a, w, stride_x, stride_y, pad_left, pad_top, out_w, out_h);
    const int64_t Y = conv.Y, C = conv.C, KY = conv.KY;
    if (w.dimensions()[2] != 1 || w.dimensions()[3] != C) incompatible_shapes(kernel);
    const Shape shape = result_shape(kernel, {out_w, out_h, a.dimensions()[2]}, sizeof(int32_t));
    const std::vector<int32_t>& av = conv.av;
    const std::vector<int8_t>& wv = conv.wv;
    const WindowWalk& window = conv.window;
    std::vector<int32_t> out(shape.element_count());
    fill_outputs(&out, out_w, out_h, C, [&](int64_t ox, int64_t oy, int64_t ch) {
        int64_t sum = 0;
        window(ox, oy, [&](int64_t i, int64_t j, int64_t x, int64_t y, bool inside) {
            if (!inside) return;
            sum =
                add_saturating(sum, int64_t{av[(x * Y + y) * C + ch]} * wv[(i * KY + j) * C + ch]);
        });
        return saturate(sum, 32);
    });
    return make_result(kernel, TensorType::int32, shape.to_vector(), out);
}

DensePtr relu_activation(const Dense& a, const Dense& b) {
    const char* kernel = "relu_activation";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::int32);
    expect_per_channel(kernel, b, channels(a));
    return per_channel_int32(kernel, a, int_values(kernel, b), [](int32_t v, int64_t hi) {
        return static_cast<int32_t>(std::max<int64_t>(0, std::min<int64_t>(v, hi)));
    });
}

DensePtr look_up(const Dense& a, const Dense& b) {
    const char* kernel = "look_up";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::int32);
    expect_elements(kernel, b);
    const std::vector<int32_t> av = logical<int32_t>(a), table = logical<int32_t>(b);
    const int64_t last = static_cast<int64_t>(table.size()) - 1;
    std::vector<int32_t> out(av.size());
    for (size_t i = 0; i < av.size(); ++i) {
        out[i] = table[static_cast<size_t>(std::clamp<int64_t>(av[i], 0, last))];
    }
    return make_result(kernel, TensorType::int32, dims_of(a), out);
}

DensePtr global_average_pooling(const ConstDensePtr& a, int shift) {
    const char* kernel = "global_average_pooling";
    if (!a) throw std::invalid_argument("global_average_pooling: null tensor.");
    expect_type(kernel, *a, TensorType::int32);
    expect_dims(kernel, *a, 3);
    expect_elements(kernel, *a);
    if (shift < 0) throw std::invalid_argument("global_average_pooling: negative shift.");
    const uint32_t c = channels(*a);
    const size_t pixels = a->size() / c;
    const std::vector<int32_t> av = logical<int32_t>(*a);
    std::vector<int64_t> sums(c, 0);
    for (size_t i = 0; i < av.size(); ++i) sums[i % c] = add_saturating(sums[i % c], av[i]);
    std::vector<int32_t> out(c);
    for (uint32_t ch = 0; ch < c; ++ch) {
        const int64_t v =
            shift == 0 ? sums[ch] / static_cast<int64_t>(pixels) : shift_right(sums[ch], shift);
        out[ch] = saturate(v, 32);
    }
    return make_result(kernel, TensorType::int32, {1, 1, c}, out);
}

DensePtr max_pooling(const ConstDensePtr& a, int8_t w, int8_t h, bool ignore_padding,
                     unsigned out_w, unsigned out_h, int8_t stride_x, int8_t stride_y, int pad_top,
                     int pad_bottom, int pad_left, int pad_right, int pad_value) {
    const char* kernel = "max_pooling";
    if (!a) throw std::invalid_argument("max_pooling: null tensor.");
    expect_type(kernel, *a, TensorType::int32);
    expect_dims(kernel, *a, 3);
    if (w < 1 || h < 1) incompatible_shapes(kernel);
    check_conv_geometry(kernel, stride_x, stride_y, out_w, out_h);
    const int64_t X = a->dimensions()[0], Y = a->dimensions()[1], C = a->dimensions()[2];
    if (!windows_fit(X, w, stride_x, out_w, pad_left, pad_right) ||
        !windows_fit(Y, h, stride_y, out_h, pad_top, pad_bottom)) {
        incompatible_shapes(kernel);
    }
    const Shape shape = result_shape(kernel, {out_w, out_h, a->dimensions()[2]}, sizeof(int32_t));
    const std::vector<int32_t> av = logical<int32_t>(*a);
    std::vector<int32_t> out(shape.element_count());
    const WindowWalk window{X, Y, w, h, stride_x, stride_y, pad_left, pad_top};
    fill_outputs(&out, out_w, out_h, C, [&](int64_t ox, int64_t oy, int64_t ch) {
        bool any = false;
        int32_t best = std::numeric_limits<int32_t>::min();
        window(ox, oy, [&](int64_t, int64_t, int64_t x, int64_t y, bool inside) {
            if (!inside && ignore_padding) return;
            const int32_t v = inside ? av[(x * Y + y) * C + ch] : pad_value;
            best = any ? std::max(best, v) : v;
            any = true;
        });
        return any ? best : pad_value;
    });
    return make_result(kernel, TensorType::int32, shape.to_vector(), out);
}

DensePtr fifo_op(Dense* state, const Dense& b) {
    const char* kernel = "fifo_op";
    if (state == nullptr) throw std::invalid_argument("fifo_op: null tensor.");
    expect_type(kernel, b, state->type());
    expect_elements(kernel, *state);
    const size_t slots = state->dimensions()[0];
    const size_t slot = state->size() / slots;
    if (b.size() != slot) incompatible_shapes(kernel);
    const size_t es = element_size(state->type());
    const std::vector<size_t> offsets = storage_offsets(*state);
    // b may be the state itself: read its bytes before anything is written.
    const std::vector<char> incoming = logical_bytes(b);
    uint8_t* p = mutable_bytes(*state);
    for (size_t i = 0; i + slot < offsets.size(); ++i) {
        std::memmove(p + offsets[i] * es, p + offsets[i + slot] * es, es);
    }
    for (size_t i = 0; i < slot; ++i) {
        std::memcpy(p + offsets[offsets.size() - slot + i] * es, &incoming[i * es], es);
    }
    return make_bytes_result(kernel, state->type(), dims_of(*state), logical_bytes(*state));
}

DensePtr depthwise_like_conv(const Dense& a, const Dense& b, int shift) {
    const char* kernel = "depthwise_like_conv";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::int8);
    expect_dims(kernel, b, 2);
    if (a.dimensions().size() < 2) incompatible_shapes(kernel);
    const uint32_t t = a.dimensions()[0], c = channels(a);
    if (b.dimensions()[0] != t || b.dimensions()[1] != c) incompatible_shapes(kernel);
    if (shift < 0) throw std::invalid_argument("depthwise_like_conv: negative shift.");
    const std::vector<int32_t> av = logical<int32_t>(a);
    const std::vector<int8_t> bv = logical<int8_t>(b);
    const size_t inner = a.size() / t;
    std::vector<int32_t> out(inner);
    for (size_t r = 0; r < inner; ++r) {
        int64_t sum = 0;
        for (size_t s = 0; s < t; ++s) {
            sum = add_saturating(sum, int64_t{av[s * inner + r]} * bv[s * c + r % c]);
        }
        out[r] = saturate(shift_right(sum, shift), 32);
    }
    std::vector<uint32_t> dims = dims_of(a);
    dims.erase(dims.begin());
    return make_result(kernel, TensorType::int32, dims, out);
}

std::pair<DensePtr, DensePtr> update_internal_state(const Dense& a, const Dense& b, Dense& k,
                                                    Dense& d, const Dense& e, const Dense& f, int g,
                                                    int h) {
    const char* kernel = "update_internal_state";
    expect_type(kernel, a, TensorType::int32);
    expect_type(kernel, b, TensorType::int8);
    expect_type(kernel, k, TensorType::int32);
    expect_type(kernel, d, TensorType::int32);
    expect_type(kernel, e, TensorType::int16);
    expect_type(kernel, f, TensorType::int16);
    if (k.dimensions() != a.dimensions() || d.dimensions() != a.dimensions()) {
        incompatible_shapes(kernel);
    }
    const uint32_t c = channels(a);
    expect_per_channel(kernel, b, c);
    expect_per_channel(kernel, e, c);
    expect_per_channel(kernel, f, c);
    if (g < 0) throw std::invalid_argument("update_internal_state: negative shift.");
    const std::vector<int32_t> av = logical<int32_t>(a), kv = logical<int32_t>(k),
                               dv = logical<int32_t>(d);
    const std::vector<int64_t> bv = int_values(kernel, b), ev = int_values(kernel, e),
                               fv = int_values(kernel, f);
    std::vector<int32_t> k_next(av.size()), d_next(av.size());
    for (size_t i = 0; i < av.size(); ++i) {
        const size_t ch = i % c;
        const int64_t input = saturate(shift_by(av[i], static_cast<int>(bv[ch])), 32);
        k_next[i] = saturate(shift_right(kv[i] * ev[ch] - dv[i] * fv[ch], g) + input, h);
        d_next[i] = saturate(shift_right(kv[i] * fv[ch] + dv[i] * ev[ch], g), h);
    }
    // The new state is computed in full before either tensor is written (they may alias).
    const std::vector<size_t> k_off = storage_offsets(k), d_off = storage_offsets(d);
    int32_t* kp = k.data<int32_t>();
    int32_t* dp = d.data<int32_t>();
    for (size_t i = 0; i < av.size(); ++i) kp[k_off[i]] = k_next[i];
    for (size_t i = 0; i < av.size(); ++i) dp[d_off[i]] = d_next[i];
    return {make_result(kernel, TensorType::int32, dims_of(a), k_next),
            make_result(kernel, TensorType::int32, dims_of(a), d_next)};
}

DensePtr subsampling(const Dense& a, uint8_t n) {
    const char* kernel = "subsampling";
    if (n == 0) throw std::invalid_argument("subsampling: the factor must be positive.");
    expect_elements(kernel, a);
    const uint32_t slots = a.dimensions()[0];
    const size_t slot_bytes = a.size() / slots * element_size(a.type());
    const std::vector<char> bytes = logical_bytes(a);
    std::vector<char> out;
    for (size_t s = 0; s < slots; s += n) {
        out.insert(out.end(), bytes.begin() + s * slot_bytes, bytes.begin() + (s + 1) * slot_bytes);
    }
    std::vector<uint32_t> dims = dims_of(a);
    dims[0] = (slots + n - 1) / n;
    return make_bytes_result(kernel, a.type(), dims, out);
}

DensePtr mote_post_processing(const Dense& a, const Dense& b, const Dense& k, int shift,
                              bool threshold) {
    const char* kernel = "mote_post_processing";
    expect_type(kernel, a, TensorType::int16);
    expect_type(kernel, b, TensorType::int16);
    expect_type(kernel, k, TensorType::uint16);
    if (a.dimensions() != b.dimensions()) incompatible_shapes(kernel);
    expect_elements(kernel, k);
    if (shift < 0) throw std::invalid_argument("mote_post_processing: negative shift.");
    const std::vector<int16_t> av = logical<int16_t>(a), bv = logical<int16_t>(b);
    int64_t sum = 0;
    for (size_t i = 0; i < av.size(); ++i) sum = add_saturating(sum, int64_t{av[i]} - bv[i]);
    int64_t v = std::clamp<int64_t>(shift_right(sum, shift), std::numeric_limits<int16_t>::min(),
                                    std::numeric_limits<int16_t>::max());
    if (threshold) v = v > int64_t{logical<uint16_t>(k).front()} ? 1 : 0;
    return make_result(kernel, TensorType::int16, {1},
                       std::vector<int16_t>{static_cast<int16_t>(v)});
}

}  // namespace vorna::ops
