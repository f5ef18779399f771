"""The internal operations submodule nn: argument conversion, geometry, results."""

import numpy as np
import pytest

import vorna.core as core

nn = core.nn

i32, i8, i16 = ((lambda v, t=t: np.array(v, t)) for t in (np.int32, np.int8, np.int16))


A3 = np.arange(1, 10, dtype=np.int32).reshape(3, 3, 1)  # A[x][y] = 3x + y + 1

# One call per function: the arguments and the dtype and shape of the result.
CALLS = [
    ("lshift", (i32([[1, 2]]), [1, 0], 0), np.int32, (1, 2)),
    ("shift", (i32([[1, 2]]), [1, -1], 0), np.int32, (1, 2)),
    ("shift_out", (i32([[1, 2]]), [1, -1], 8), np.int32, (1, 2)),
    ("matmul", (i32([[1, 2]]), i32([[1], [2]]), 0, False), np.int32, (1, 1)),
    ("add", (i32([1, 2]), i32([3, 4]), 0), np.int32, (2,)),
    ("concatenate", (np.zeros((2, 3)), np.ones((2, 4))), np.int32, (2, 7)),
    ("scale_out", (i32([[1, 2]]), np.array([1, 1], np.uint8), [0, 0], 8, 1), np.int32, (1, 2)),
    ("conv2d", (A3, np.ones((3, 3, 1, 2)), 1, core.Padding.Same, 0), np.int32, (3, 3, 2)),
    ("input_conv2d", (np.ones((4, 4, 1)), np.ones((3, 3, 1, 2)), 2, core.Padding.Valid, [0], 0),
     np.int32, (1, 1, 2)),
    ("conv2d_transpose", (A3, np.ones((3, 3, 1, 4)), 2), np.int32, (6, 6, 4)),
    ("dequantize", (i32([[1, 2]]), [0.5, 0.25]), np.float32, (1, 2)),
    ("depthwise_conv2d", (A3, np.ones((3, 3, 1, 1)), 2), np.int32, (2, 2, 1)),
    ("relu_activation", (i32([[-1, 5]]), [3, 3]), np.int32, (1, 2)),
    ("look_up", (i32([0, 5]), [7, 8]), np.int32, (2,)),
    ("global_average_pooling", (A3, 0), np.int32, (1, 1, 1)),
    ("max_pooling", (A3, 2, 2, 1, 1, core.Padding.Valid, 0), np.int32, (2, 2, 1)),
    ("fifo_op", (i8([[1, 2], [3, 4]]), i8([5, 6])), np.int8, (2, 2)),
    ("depth_conv_like_op", (i32([[1, 2], [3, 4]]), i8([[1, 1], [1, 1]]), 0), np.int32, (2,)),
    ("subsampling_op", (i32([[1], [2], [3]]), 2), np.int32, (2, 1)),
    ("motepostprocessing_op", (i16([4, 6]), i16([1, 1]), [3], 1, True), np.int16, (1,)),
]


@pytest.mark.parametrize("name, args, dtype, shape", CALLS, ids=[c[0] for c in CALLS])
def test_result_dtype_and_shape(name, args, dtype, shape):
    result = getattr(nn, name)(*args)
    assert isinstance(result, np.ndarray) and (result.dtype, result.shape) == (dtype, shape)


SUM9 = [[12, 21, 16], [27, 45, 33], [24, 39, 28]]  # 3x3 window sums of A3, same padding
# Hand-computed results: a call and its values.
VALUES = [
    (lambda: nn.shift(i32([[5, -5]]), [1, -1], 0), [[10, -2]]),
    (lambda: nn.concatenate(i32([[1], [2]]), i32([[3, 4], [5, 6]])), [[1, 3, 4], [2, 5, 6]]),
    (lambda: nn.dequantize(i32([[4, 4]]), [0.5, 0.25]), [[2.0, 1.0]]),
    (lambda: nn.global_average_pooling(A3, 0), [[[5]]]),
    (lambda: nn.subsampling_op(i32([[1], [2], [3]]), 2), [[1], [3]]),
    (lambda: nn.motepostprocessing_op(i16([4, 6]), i16([1, 1]), [3], 1, False), [4]),
    (lambda: nn.lshift([[1.7, -2.9]], [0, 0], 0), [[1, -2]]),  # float lists truncate
    (lambda: nn.lshift(i32([[1, 2]]), [0, 0], np.int64(0)), [[1, 2]]),  # an integer index
    (lambda: nn.depthwise_conv2d(A3, np.ones((3, 3, 1, 1), np.int8), 1)[:, :, 0], SUM9),
    # Corners see 4 input pixels and 5 padded ones, edges 6 and 3, the centre 9.
    (lambda: nn.input_conv2d(np.ones((3, 3, 1), np.uint8), np.ones((3, 3, 1, 1), np.int8), 1,
                             core.Padding.Same, [10], 12345)[:, :, 0],
     [[54, 36, 54], [36, 9, 36], [54, 36, 54]]),
    # a[x][y] = 2x + y; width 2 along x with stride 2, height 1 along y with stride 1.
    (lambda: nn.max_pooling(np.arange(8, dtype=np.int32).reshape(4, 2, 1), 2, 1, 2, 1,
                            core.Padding.Valid, 0)[:, :, 0], [[2, 3], [6, 7]]),
    (lambda: nn.scale_out(i32([[1]]), np.array([300], np.uint16), [0], 0, 1), [[300]]),
    # Any other scale array is cast to uint8: 300 becomes 44.
    (lambda: nn.scale_out(i32([[1]]), np.array([300], np.int32), [0], 0, 1), [[44]]),
]


@pytest.mark.parametrize("call, expected", VALUES)
def test_values(call, expected):
    assert call().tolist() == expected


# --- argument conversion ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "name, args",
    [
        ("conv2d", (A3, np.ones((3, 3, 1, 1)), 256, core.Padding.Same, 0)),  # uint8
        ("max_pooling", (A3, 2, 128, 1, 1, core.Padding.Valid, 0)),  # int8
        ("input_conv2d", (np.ones((3, 3, 1)), np.ones((1, 1, 1, 1)), 1, core.Padding.Valid,
                          [0], -1)),  # uint32
        ("conv2d", (A3, np.ones((3, 3, 1, 1)), 1, 1, 0)),  # a plain int is not a Padding
        ("add", (object(), i32([1]), 0)),  # numpy cannot make an int32 array of it
        ("add", (i32([1]), i32([1]), 2 ** 31)),  # int32
        ("lshift", (i32([[1, 2]]), [0, 0], 1.5)),
        ("scale_out", (i32([[1]]), [300], [0], 0, 1)),
    ],
)
def test_refused_arguments(name, args):
    with pytest.raises(TypeError):
        getattr(nn, name)(*args)


def test_pool_width_255_reaches_the_kernel_as_minus_one():
    # ImagePatches accepts a 255-wide window (Same padding); the kernel refuses width -1.
    with pytest.raises(ValueError, match=r"^max_pooling: incompatible shapes\.$"):
        nn.max_pooling(A3, 255, 2, 1, 1, core.Padding.Same, 0)


def test_array_conversion_and_shape_errors():
    with pytest.raises(ValueError, match="dimensions"):
        nn.add(np.zeros((1, 1, 1, 1, 1)), i32([1]), 0)
    with pytest.raises(RuntimeError):
        nn.add(np.zeros((2, 0)), np.zeros((2, 0)), 0)
    with pytest.raises(ValueError, match=r"^add: incompatible shapes\.$"):
        nn.add(i32([1, 2]), i32([1, 2, 3]), 0)
    with pytest.raises(ValueError, match=r"^concatenate_last_dim: incompatible shapes\.$"):
        nn.concatenate(np.zeros((2, 3)), np.zeros((3, 3)))
    with pytest.raises(ValueError, match=r"^ImagePatches: incompatible shapes\.$"):
        nn.conv2d(i32([[1, 2]]), np.ones((1, 1, 2, 1)), 1, core.Padding.Valid, 0)
    # Non-contiguous arrays keep their values.
    a = np.arange(12, dtype=np.int32).reshape(3, 4)
    assert nn.add(a[:, ::2], a.T[::2, :3].T, 0).tolist() == (a[:, ::2] + a.T[::2, :3].T).tolist()
    f = np.asfortranarray(a)
    assert nn.add(f, f, 0).tolist() == (2 * a).tolist()


# --- geometry -----------------------------------------------------------------------------------

def test_conv2d_same_padding_values():
    w = np.zeros((3, 3, 1, 2), np.int8)
    w[:, :, 0, 0] = 1  # sums the window
    w[1, 1, 0, 1] = 1  # picks the centre
    out = nn.conv2d(A3, w, 1, core.Padding.Same, 0)
    assert out[:, :, 0].tolist() == SUM9
    assert out[:, :, 1].tolist() == A3[:, :, 0].tolist()
    # The last argument saturates the result.
    assert nn.conv2d(A3, w, 1, core.Padding.Same, 4)[1, 1, 0] == 7


def test_conv2d_transpose_stride_two_doubles_the_input():
    a = i32([[[1], [2]], [[3], [4]]])
    out = nn.conv2d_transpose(a, np.ones((3, 3, 1, 1)), 2)  # crop (3 - 2) // 2 = 0
    assert out[:, :, 0].tolist() == [[1, 1, 3, 2], [1, 1, 3, 2], [4, 4, 10, 6], [3, 3, 7, 4]]


# --- state kernels ------------------------------------------------------------------------------

def test_fifo_op_returns_a_new_state_and_keeps_the_callers_array():
    state = i8([[1, 2], [3, 4], [5, 6]])
    result = nn.fifo_op(state, [7, 8])
    assert result.dtype == np.int8
    assert result.tolist() == [[3, 4], [5, 6], [7, 8]]
    assert state.tolist() == [[1, 2], [3, 4], [5, 6]]


def test_stateful_main_op_returns_two_arrays_and_keeps_the_state_arrays():
    k, d = i32([[100, 10]]), i32([[50, 20]])
    result = nn.stateful_main_op(i32([[4, -4]]), [1, -1], k, d, i16([2, 1]), i16([1, 3]), 1, 0)
    assert type(result) is tuple and len(result) == 2
    assert result[0].tolist() == [[83, -27]]
    assert result[1].tolist() == [[100, 25]]
    assert k.tolist() == [[100, 10]] and d.tolist() == [[50, 20]]
