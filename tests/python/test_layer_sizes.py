"""Layer sizes at add: no size wraps, no output without elements, and refusals that name the
layer, its kind and what to change; the model is left as it was."""

import numpy as np
import pytest

import vorna.core as core
from builders import layer

MORE = ", more than a tensor can hold (4294967295)."
HINT = (": every output dimension must be at least 1 (check its input size, kernel, stride and "
        "unit or filter count).")


@pytest.mark.parametrize("dims, kind, params, message", [
    ((1, 1, 65536), "BufferTempConv", {"filters": 2, "fifo_size": 65536},
     "Layer 'x': the variable 'weights' of shape [1, 1, 4294967296, 2] needs 8589934592 "
     "elements" + MORE),
    ((65536, 1, 1), "Conv2DTranspose", {"filters": 1, "kernel_size": 3, "kernel_stride": 65536},
     "Layer 'x': the output shape [4294967296, 65536, 1] has a dimension of 4294967296" + MORE),
    ((65536, 1, 1), "DepthwiseConv2DTranspose", {"kernel_size": 3, "kernel_stride": 65536},
     "Layer 'x': the output shape [4294967296, 65536, 1] has a dimension of 4294967296" + MORE),
    ((8, 8, 1), "Conv2D", {"filters": 4, "kernel_size": 9, "padding": 0},
     "Layer 'x' of kind Conv2D has the output shape [0, 0, 4]" + HINT),
    ((8, 8, 1), "Dense1D", {"units": 0}, "Layer 'x' of kind Dense1D has the output shape [1, 1, 0]"
     + HINT),
    ((8, 8, 1), "InputData", {"input_width": 0, "input_height": 2, "input_channels": 1},
     "Layer 'x' of kind InputData has the output shape [0, 2, 1]" + HINT),
    ((8, 8, 1), "Conv2D", {"padding": 0}, "Layer 'x' of kind Conv2D is missing the parameters "
     "'filters' and 'kernel_size': give them in the layer's parameters."),
])
def test_add_refuses_sizes_by_layer(dims, kind, params, message):
    m = core.Model()
    m.add(layer("InputData", "in", input_width=dims[0], input_height=dims[1],
                input_channels=dims[2]))
    before = m.to_buffer()
    new = layer(kind, "x", **params)
    with pytest.raises(ValueError) as err:
        m.add(new)
    assert str(err.value) == message
    assert m.to_buffer() == before and list(new.variables.names) == []
    # A model made from a list of layers refuses them the same way.
    with pytest.raises(ValueError) as err:
        core.Model([m.layers[0], layer(kind, "x", **params)])
    assert str(err.value) == message


def test_forward_names_the_shape_given_and_expected():
    m = core.Model()
    m.add(layer("InputData", "in", input_width=2, input_height=3, input_channels=4))
    assert m.forward(np.zeros((2, 24), np.uint8)).shape == (2, 2, 3, 4)
    with pytest.raises(ValueError) as err:
        m.forward(np.zeros((5, 2, 3, 5), np.uint8))
    assert str(err.value) == (
        "Input shape does not match the model input. Got inputs of shape (5, 2, 3, 5); expected "
        "(n, 2, 3, 4): n samples of the model's input shape (2, 3, 4).")
