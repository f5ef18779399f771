"""Variables of a layer: names, reading and replacing values, refused arrays."""

import gc
import sys
import tracemalloc

import numpy as np
import pytest

import vorna.core as core
from builders import fc_model, layer


def test_standalone_layer_has_no_variables_and_the_view_keeps_its_layer():
    fc = layer(core.FullyConnected, "fc", units=4, weights_bits=4)
    count = sys.getrefcount(fc)
    variables = fc.variables
    assert sys.getrefcount(fc) == count + 1  # the view holds its layer
    del fc
    gc.collect()
    assert variables.names == []
    with pytest.raises(ValueError, match="^Variable 'weights' not found.$"):
        variables["weights"]
    _, fc = fc_model()
    assert fc.variables.names == ["weights", "threshold", "act_step", "threshold_learning", "thswap"]


def test_setting_back_what_was_read_keeps_the_values():
    _, fc = fc_model(weights_bits=8)
    variables = fc.variables
    values = np.arange(-12, 12, dtype=np.int8).reshape(6, 4)
    variables["weights"] = values
    variables["weights"] = variables["weights"]
    np.testing.assert_array_equal(variables["weights"], values)


@pytest.mark.parametrize("bits", [4, 2, 1])
def test_narrow_variable_takes_int8(bits):
    _, fc = fc_model(weights_bits=bits)
    fc.variables["weights"] = np.full((6, 4), -1, dtype=np.int8)
    np.testing.assert_array_equal(fc.variables["weights"], np.full((6, 4), -1, np.int8))


@pytest.mark.parametrize(
    "name, given, expected, received",
    [("weights", np.uint8, "int8", "uint8"), ("threshold", np.int64, "int32", "int64"),
     ("threshold", np.uint32, "int32", "uint32"), ("act_step", np.float64, "float32", "float64")],
)
def test_wrong_dtype_is_refused_and_nothing_changes(name, given, expected, received):
    _, fc = fc_model(weights_bits=4)
    before = fc.variables[name]
    with pytest.raises(ValueError) as err:
        fc.variables[name] = np.ones(before.shape, dtype=given)
    assert str(err.value) == (
        f"Unsupported variable type for {name} expected {expected} received {received}"
    )
    np.testing.assert_array_equal(fc.variables[name], before)


def test_refused_arrays_leave_the_variable_unchanged():
    _, fc = fc_model(weights_bits=8)
    before = fc.variables["threshold"]
    with pytest.raises(ValueError) as err:
        fc.variables["threshold"] = np.array(5, dtype=np.int32)
    assert str(err.value) == "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"
    with pytest.raises(RuntimeError, match="^Cannot have a shape with a dimension set to 0$"):
        fc.variables["threshold"] = np.zeros((4, 0), dtype=np.int32)
    np.testing.assert_array_equal(fc.variables["threshold"], before)
    with pytest.raises(TypeError):
        fc.variables["threshold"] = [1, 2, 3, 4]
    with pytest.raises(ValueError, match="^Variable 'nope' not found.$"):
        fc.variables["nope"] = np.zeros(3, np.int8)


def built(kind, **params):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=3, input_height=3, input_channels=3))
    m.add(layer(kind, "x", **params))
    return m.get_layer("x")


# Weights stored first dimension fastest read in reversed order. Only the read shape is taken,
# also where the stored order gives the same shape (3 channels into 3 filters, 27 inputs into 27
# units): any other shape, the stored order included, is refused and changes nothing.
@pytest.mark.parametrize("kind, params, read", [
    (core.Conv2D, dict(filters=16, kernel_size=3), (16, 3, 3, 3)),
    (core.Conv2D, dict(filters=3, kernel_size=3), (3, 3, 3, 3)),
    (core.FullyConnected, dict(units=5, weights_bits=8), (27, 5)),
    (core.Dense1D, dict(units=5), (5, 27)),
    (core.Dense1D, dict(units=27), (27, 27)),
])
def test_weights_are_set_in_the_read_shape_only(kind, params, read):
    lyr = built(kind, **params)
    w = lyr.variables["weights"]
    assert w.shape == read
    values = (np.arange(w.size) % 251 - 125).astype(np.int8).reshape(read)
    lyr.variables["weights"] = values
    np.testing.assert_array_equal(lyr.variables["weights"], values)
    for other in sorted({read[::-1], (1, w.size)} - {read}):
        with pytest.raises(ValueError) as err:
            lyr.variables["weights"] = values.reshape(other)
        assert str(err.value) == (
            f"Cannot set variable 'weights' of shape {read} from an array of shape {other}.")
        np.testing.assert_array_equal(lyr.variables["weights"], values)


# One variable of each remaining storage type: a wrong dtype and a wrong shape are refused by
# name, a right array is taken as it is.
@pytest.mark.parametrize("kind, params, name, dtype, shape", [
    (core.StatefulRecurrent, dict(stateful_channels=2, output_channels=3), "A_real", "int16", (2,)),
    (core.StatefulRecurrent, dict(stateful_channels=2, output_channels=3), "new_state_scale",
     "uint8", (2,)),
    (core.MotePostProcessing, {}, "threshold", "uint16", (1,)),
    (core.Dequantizer, {}, "scales", "float32", (3,)),
])
def test_variables_of_every_storage_type(kind, params, name, dtype, shape):
    x = built(kind, **params)
    assert x.variables[name].dtype == np.dtype(dtype) and x.variables[name].shape == shape
    with pytest.raises(ValueError) as err:
        x.variables[name] = np.ones(shape, np.int64)
    assert str(err.value) == (
        f"Unsupported variable type for {name} expected {dtype} received int64")
    with pytest.raises(ValueError) as err:
        x.variables[name] = np.ones((5,), dtype)
    assert str(err.value) == (
        f"Cannot set variable '{name}' of shape {shape} from an array of shape (5,).")
    value = np.arange(1, shape[0] + 1).astype(dtype)
    x.variables[name] = value
    np.testing.assert_array_equal(x.variables[name], value)


# A wrong shape is refused from the array's own shape, before anything is converted: no copy of
# a broadcast or strided view is made, whatever its size (2^31 elements here).
@pytest.mark.parametrize("name, view, held, given", [
    ("weights", lambda: np.broadcast_to(np.zeros(1, np.int8), (2**15, 2**16)), "(6, 4)",
     "(32768, 65536)"),
    ("weights", lambda: np.zeros((2**12, 2**11), np.int8).T[::2], "(6, 4)", "(1024, 4096)"),
    ("threshold", lambda: np.broadcast_to(np.zeros((1, 1), np.int32), (2**14, 2**14)), "(4,)",
     "(16384, 16384)"),
])
def test_wrong_shape_is_refused_before_any_copy(name, view, held, given):
    _, fc = fc_model(weights_bits=8)
    before = fc.variables[name]
    array = view()
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as err:
            fc.variables[name] = array
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(err.value) == (f"Cannot set variable '{name}' of shape {held} "
                              f"from an array of shape {given}.")
    assert peak < 2**16
    np.testing.assert_array_equal(fc.variables[name], before)
