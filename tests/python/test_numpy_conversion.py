"""Numpy arrays in and out of core tensors: dtypes, memory orders and refused arrays.

Arrays go in through evaluate_bitwidth (every integer converter) and through
Variables.__setitem__ (every converter); tensors come out through Variables.__getitem__.
"""

import gc

import numpy as np
import pytest

import vorna.core as core
from builders import fc_model, layer


def built(*layers):
    model = core.Model()
    for item in layers:
        model.add(item)
    return model, layers[1], layers[-1]


def input_layer(width=2, height=1, channels=3):
    return layer(core.InputData, "in", input_width=width, input_height=height, input_channels=channels)


def recurrent_model():
    """InputData -> StatefulRecurrent -> MotePostProcessing: int8, int16, uint8, uint16."""
    return built(input_layer(1, 5, 3), layer(core.StatefulRecurrent, "sr", stateful_channels=4,
                                             output_channels=2), layer(core.MotePostProcessing, "post"))


# ---------------------------------------------------------------------------------------------
# Arrays going in: evaluate_bitwidth converts with the converter of the array's dtype.


@pytest.mark.parametrize(
    "dtype, values, bits",
    [(np.int32, [0, -1, 70000], 18), (np.int32, [-(2**31)], 32), (np.int16, [-129, 5], 9),
     (np.int8, list(range(-8, 8)), 4), (np.int8, [-128, 127], 8), (np.uint16, [65535], 16),
     (np.uint16, [256, 3], 9), (np.uint8, [255, 1], 8), (np.uint8, [0, 0], 0),
     (np.float32, [1e9, -3.5], 0)],
)
def test_evaluate_bitwidth_by_dtype(dtype, values, bits):
    assert core.evaluate_bitwidth(np.array(values, dtype=dtype)) == bits


def test_evaluate_bitwidth_keyword_and_shapes():
    assert core.evaluate_bitwidth(variable=np.full((2, 3, 4, 5), -3, np.int8)) == 3
    # A Fortran-order array and a strided slice are compacted before the copy: only the
    # elements the slice selects count.
    fortran = np.asfortranarray(np.arange(12, dtype=np.uint8).reshape(3, 4))
    assert not fortran.flags.c_contiguous
    assert core.evaluate_bitwidth(fortran) == 4
    sliced = np.array([1, 200, 1, 200, 1], dtype=np.uint8)[::2]
    assert not sliced.flags.c_contiguous
    assert core.evaluate_bitwidth(sliced) == 1


BAD_ARRAYS = [
    (np.zeros(3, np.float64), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.zeros(3, np.uint32), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.zeros(3, np.bool_), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.array(3, np.int8), ValueError, "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"),
    (np.zeros((2,) * 6, np.int32), ValueError,
     "Cannot instantiate a Dense with 6 dimensions (min 1, max 4).\n"),
    (np.zeros((3, 0), np.uint8), RuntimeError, "Cannot have a shape with a dimension set to 0"),
    (np.zeros((1, 2, 0, 1), np.uint8), RuntimeError, "Cannot have a shape with a dimension set to 0"),
    # 2**32 would wrap to 0 in a 32-bit shape (and 2**32 + 5 to 5, which would then disagree
    # with the bytes copied). The arrays are empty, so nothing large is allocated.
    (np.zeros((2**32, 0), np.int8), ValueError,
     "Cannot instantiate a Dense with a dimension of 4294967296 (max 4294967295)."),
    (np.zeros((2**32 + 5, 0), np.int8), ValueError,
     "Cannot instantiate a Dense with a dimension of 4294967301 (max 4294967295)."),
]


@pytest.mark.parametrize("array, error, message", BAD_ARRAYS)
def test_evaluate_bitwidth_refusals(array, error, message):
    with pytest.raises(error) as err:
        core.evaluate_bitwidth(array)
    assert str(err.value) == message


# ---------------------------------------------------------------------------------------------
# Both directions through a layer's variables.


@pytest.mark.parametrize("bits", [8, 1])
def test_column_major_tensor_comes_out_with_reversed_dims(bits):
    # FullyConnected weights are (units, inputs) with the first dimension fastest, so numpy
    # sees them as (inputs, units), row-major; narrow weights come out as int8.
    _, fc = fc_model(weights_bits=bits)
    weights = fc.variables["weights"]
    assert (weights.shape, weights.strides, weights.dtype) == ((6, 4), (4, 1), np.int8)
    assert weights.flags.owndata and fc.variables["threshold"].shape == (4,)


@pytest.mark.parametrize(
    "which, name, dtype",
    [("fc", "weights", np.int8), ("fc", "threshold", np.int32), ("fc", "act_step", np.float32),
     ("sr", "in_proj", np.int8), ("sr", "A_real", np.int16), ("sr", "new_state_scale", np.uint8),
     ("post", "threshold", np.uint16)],
)
def test_round_trip_of_every_dtype(which, name, dtype):
    _, sr, post = recurrent_model()
    variables = {"fc": fc_model()[1], "sr": sr, "post": post}[which].variables
    old = variables[name]
    assert old.dtype == dtype
    info = np.iinfo(dtype) if np.issubdtype(dtype, np.integer) else None
    if info is not None:
        values = np.linspace(info.min, info.max, old.size).astype(dtype).reshape(old.shape)
    else:
        values = np.linspace(-2.5, 7.25, old.size, dtype=dtype).reshape(old.shape)
    variables[name] = values
    np.testing.assert_array_equal(variables[name], values)


def test_fortran_and_sliced_arrays_keep_their_values():
    _, fc = fc_model()
    variables = fc.variables
    values = np.arange(24, dtype=np.int8).reshape(6, 4)
    fortran = np.asfortranarray(values)
    variables["weights"] = fortran
    np.testing.assert_array_equal(variables["weights"], values)
    wide = np.arange(48, dtype=np.int8).reshape(6, 8)
    sliced = wide[:, ::2]
    assert not sliced.flags.c_contiguous
    variables["weights"] = sliced
    np.testing.assert_array_equal(variables["weights"], wide[:, ::2])


def test_arrays_are_copies_both_ways():
    model, fc = fc_model()
    variables = fc.variables
    source = np.full((6, 4), 3, dtype=np.int8)
    variables["weights"] = source
    source[:] = 7  # the variable holds its own copy
    out = variables["weights"]
    out[:] = -1  # and the array returned is independent of the variable
    np.testing.assert_array_equal(variables["weights"], np.full((6, 4), 3, np.int8))
    # The array outlives the model and the layer that produced it.
    del model, fc, variables
    gc.collect()
    np.testing.assert_array_equal(out, np.full((6, 4), -1, np.int8))
