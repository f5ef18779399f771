// Submodule nn: the core library's reference kernels, one function each, on numpy data, for
// testing, debugging and validation. Every function converts its array arguments into new
// dense tensors of fixed element types, calls one kernel and returns the kernel's tensor as a
// new numpy array; the caller's arrays are never modified. Arguments are positional only.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "corelib/ops.h"
#include "python/numpy_conversion_py.h"
#include "python/registration_py.h"

namespace vorna::python {
namespace {

// Array-like arguments: any object numpy can turn into an array, force-cast to the element
// type; contiguity is not required.
template <class T>
using ArrayOf = py::array_t<T, py::array::forcecast>;
using I32 = ArrayOf<int32_t>;
using U8 = ArrayOf<uint8_t>;
using I8 = ArrayOf<int8_t>;
using I16 = ArrayOf<int16_t>;
using U16 = ArrayOf<uint16_t>;
using F32 = ArrayOf<float>;

using DensePtr = std::shared_ptr<Dense>;

DensePtr t_i32(const I32& a) { return dense_from_numpy<int32_t>(a, TensorType::int32); }
DensePtr t_u8(const U8& a) { return dense_from_numpy<uint8_t>(a, TensorType::uint8); }
DensePtr t_i8(const I8& a) { return dense_from_numpy<int8_t>(a, TensorType::int8); }
DensePtr t_i16(const I16& a) { return dense_from_numpy_i16(a, TensorType::int16); }
DensePtr t_u16(const U16& a) { return dense_from_numpy_u16(a, TensorType::uint16); }
DensePtr t_f32(const F32& a) { return dense_from_numpy<float>(a, TensorType::float32); }

py::array out(const std::shared_ptr<Dense>& t) { return tensor_to_numpy(t); }

// Size of dimension i of a tensor as a 32-bit integer (0 for a dimension it does not have).
int32_t dim(const Dense& t, size_t i) { return static_cast<int32_t>(t.dimensions()[i]); }

// Crop offset of a transposed convolution along one axis: half of (kernel - stride), the
// kernel size taken from its low 8 bits; 0 when the kernel is smaller than the stride.
int transpose_crop(int32_t kernel, int stride) {
    const int k = kernel & 0xFF;
    return k < stride ? 0 : (k - stride) / 2;
}

}  // namespace

void register_nn_ops(py::module_& m) {
    py::module_ nn = m.def_submodule(
        "nn",
        "Vorna Neural Network software internal functions. These are meant for testing, "
        "debugging and validation only.");

    nn.def("lshift", [](const I32& a, const U8& b, int c) {
        const DensePtr ta = t_i32(a), tb = t_u8(b);
        return out(ops::lshift(*ta, *tb, c));
    });
    nn.def("shift", [](const I32& a, const I8& b, int c) {
        const DensePtr ta = t_i32(a), tb = t_i8(b);
        return out(ops::shift(*ta, *tb, c));
    });
    nn.def("shift_out", [](const I32& a, const I8& b, int c) {
        const DensePtr ta = t_i32(a), tb = t_i8(b);
        return out(ops::shift_out(*ta, *tb, c));
    });
    nn.def("matmul", [](const I32& a, const I32& b, int c, bool d) {
        const DensePtr ta = t_i32(a), tb = t_i32(b);
        return out(ops::matmul(*ta, *tb, c, d));
    });
    nn.def("add", [](const I32& a, const I32& b, int c) {
        const DensePtr ta = t_i32(a), tb = t_i32(b);
        return out(ops::add(*ta, *tb, c));
    });
    nn.def("concatenate", [](const I32& a, const I32& b) {
        const DensePtr ta = t_i32(a), tb = t_i32(b);
        return out(ops::concatenate_last_dim({ta, tb}));
    });
    nn.def("scale_out", [](const I32& a, const py::array& b, const I8& k, int d, int e) {
        const DensePtr ta = t_i32(a), tk = t_i8(k);
        // The scales keep 16 bits when given as uint16; anything else is cast to uint8.
        const DensePtr tb = dtype_is(b.dtype(), "uint16")
                                ? dense_from_numpy_u16(b, TensorType::uint16)
                                : dense_from_numpy<uint8_t>(b, TensorType::uint8);
        return out(ops::scale_out(*ta, *tb, *tk, d, e));
    });
    nn.def("conv2d", [](const I32& a, const I8& w, uint8_t s, Padding p, int x) {
        const DensePtr ta = t_i32(a), tw = t_i8(w);
        const ImagePatches g(dim(*tw, 0), dim(*tw, 1), s, s, p, ta->dimensions());
        return out(ops::conv2d_v2(*ta, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_width,
                                  g.out_height, *tw, x));
    });
    // The last argument is accepted for compatibility and reaches no kernel.
    nn.def("input_conv2d",
           [](const U8& a, const I8& w, uint8_t s, Padding p, const U8& q, uint32_t /*r*/) {
               const DensePtr ta = t_u8(a), tw = t_i8(w), tq = t_u8(q);
               const DensePtr filters = ops::linearize_filters(*tw);
               const int32_t w0 = dim(*tw, 0), w1 = dim(*tw, 1);
               const ImagePatches g(w0, w1, s, s, p, ta->dimensions());
               return out(ops::input_conv2d(*ta, *tq, g.stride_x, g.stride_y, g.pad_top,
                                            g.pad_bottom, g.pad_left, g.pad_right, g.out_width,
                                            g.out_height, static_cast<unsigned>(w0),
                                            static_cast<unsigned>(w1), *filters));
           });
    nn.def("conv2d_transpose", [](const I32& a, const I8& w, uint8_t s) {
        const DensePtr ta = t_i32(a), tw = t_i8(w);
        const int stride = s;
        // The output sizes wrap at 32 bits, as unsigned products.
        const uint32_t out0 = static_cast<uint32_t>(dim(*ta, 0)) * s;
        const uint32_t out1 = static_cast<uint32_t>(dim(*ta, 1)) * s;
        return out(ops::conv2d_transpose(*ta, *tw, stride, transpose_crop(dim(*tw, 0), stride),
                                         transpose_crop(dim(*tw, 1), stride), out0, out1));
    });
    nn.def("dequantize", [](const I32& a, const F32& b) {
        const DensePtr ta = t_i32(a), tb = t_f32(b);
        return out(ops::dequantize(*ta, *tb));
    });
    nn.def("depthwise_conv2d", [](const I32& a, const I8& w, uint8_t s) {
        const DensePtr ta = t_i32(a), tw = t_i8(w);
        const ImagePatches g(dim(*tw, 0), dim(*tw, 1), s, s, Padding::Same, ta->dimensions());
        return out(ops::depthwise_conv2d(*ta, g.stride_x, g.stride_y, g.pad_left, g.pad_top,
                                         g.out_width, g.out_height, *tw));
    });
    nn.def("relu_activation", [](const I32& a, const I32& b) {
        const DensePtr ta = t_i32(a), tb = t_i32(b);
        return out(ops::relu_activation(*ta, *tb));
    });
    nn.def("look_up", [](const I32& a, const I32& b) {
        const DensePtr ta = t_i32(a), tb = t_i32(b);
        return out(ops::look_up(*ta, *tb));
    });
    nn.def("global_average_pooling", [](const I32& a, int n) {
        const DensePtr ta = t_i32(a);
        return out(ops::global_average_pooling(ta, n));
    });
    nn.def("max_pooling",
           [](const I32& a, uint8_t b, int8_t c, int8_t d, uint8_t e, Padding p, int f) {
               const DensePtr ta = t_i32(a);
               const ImagePatches g(b, c, d, e, p, ta->dimensions());
               // The pool width reaches the kernel as a signed 8-bit value.
               return out(ops::max_pooling(ta, static_cast<int8_t>(b), c, false, g.out_width,
                                           g.out_height, g.stride_x, g.stride_y, g.pad_top,
                                           g.pad_bottom, g.pad_left, g.pad_right, f));
           });
    nn.def("fifo_op", [](const I8& s, const I8& b) {
        const DensePtr state = t_i8(s), tb = t_i8(b);
        ops::fifo_op(state.get(), *tb);
        return out(state);
    });
    nn.def("depth_conv_like_op", [](const I32& a, const I8& b, int c) {
        const DensePtr ta = t_i32(a), tb = t_i8(b);
        return out(ops::depthwise_like_conv(*ta, *tb, c));
    });
    nn.def("stateful_main_op", [](const I32& a, const I8& b, const I32& k, const I32& d,
                                  const I16& e, const I16& f, int g, int h) {
        const DensePtr ta = t_i32(a), tb = t_i8(b), tk = t_i32(k), td = t_i32(d), te = t_i16(e),
                       tf = t_i16(f);
        const auto r = ops::update_internal_state(*ta, *tb, *tk, *td, *te, *tf, g, h);
        py::tuple result(2);  // "Could not allocate tuple object!" when it cannot be made
        result[0] = out(r.first);
        result[1] = out(r.second);
        return result;
    });
    nn.def("subsampling_op", [](const I32& a, uint8_t n) {
        const DensePtr ta = t_i32(a);
        return out(ops::subsampling(*ta, n));
    });
    nn.def("motepostprocessing_op", [](const I16& a, const I16& b, const U16& k, int d, bool e) {
        const DensePtr ta = t_i16(a), tb = t_i16(b), tk = t_u16(k);
        return out(ops::mote_post_processing(*ta, *tb, *tk, d, e));
    });
}

}  // namespace vorna::python
