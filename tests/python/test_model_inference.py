"""Model inference: forward, predict, fit, evaluate, and the metrics and power events of a run."""

import math

import numpy as np
import pytest

import vorna.core as core
from builders import fc_model as fc, layer


def dense_model(width, units, weights=None, **dense_params):
    """InputData (1, 1, width) -> Dense1D "d"; weights given as (units, width)."""
    m = core.Model()
    m.add(layer("InputData", "input", input_width=1, input_height=1, input_channels=width))
    m.add(layer("Dense1D", "d", units=units, **dense_params))
    if weights is not None:
        m.layers[1].variables["weights"] = np.asarray(weights, dtype=np.int8)
    return m


def identity_model(width, **dense_params):
    """Outputs its (1, 1, width) input unchanged (before any activation clamp)."""
    return dense_model(width, width, np.eye(width), **dense_params)


def fc_model():
    return fc(units=6, dims=(2, 2, 1), activation=0)[0]


# forward, predict, fit


def test_forward_of_an_unmapped_model():
    out = fc_model().forward(np.ones((3, 2, 2, 1), np.uint8))
    assert (out.shape, out.dtype) == ((3, 1, 1, 6), np.int32)
    # Known weights: units (1, -2) and (3, 0) over the inputs (5, 7) give 5 - 14 and 15.
    m = dense_model(2, 2, [[1, -2], [3, 0]], activation=0)
    x = np.array([[[[5, 7]]], [[[1, 1]]]], np.int8)
    np.testing.assert_array_equal(m.forward(x), [[[[-9, 15]]], [[[-1, 3]]]])
    np.testing.assert_array_equal(m.forward(x, batch_size=1), [[[[-9, 15]]], [[[-1, 3]]]])
    predicted = m.predict(x)
    assert predicted.dtype == np.float32
    np.testing.assert_array_equal(predicted, [[[[-9.0, 15.0]]], [[[-1.0, 3.0]]]])


def test_accepted_input_types_and_refusals():
    m = dense_model(2, 1, [[2, 3]], activation=0)
    for dtype in (np.int8, np.uint8, np.int16, np.float32):
        assert m.forward(np.array([[[[4, 5]]]], dtype)).tolist() == [[[[23]]]]
    m = identity_model(3)
    with pytest.raises(RuntimeError, match="^predict requires a last layer without activation.$"):
        m.predict(np.zeros((1, 1, 1, 3), np.uint8))
    with pytest.raises(ValueError) as err:
        m.forward(np.zeros((2, 4), np.uint8))
    assert str(err.value) == (
        "Input shape does not match the model input. Got inputs of shape (2, 4); expected "
        "(n, 1, 1, 3): n samples of the model's input shape (1, 1, 3).")
    for dtype in (np.float64, np.bool_, np.int32, np.uint16):
        with pytest.raises(ValueError, match=r"^Input dtype should be int8, uint8, int16 or float32\.$"):
            m.forward(np.zeros((7, 1, 1, 3), dtype))


def conv_model(kind="Conv2D", **params):
    """InputData (8, 8, 3) -> `kind` "conv" whose weights are all 1 -> Dense1D "d"."""
    m = core.Model()
    m.add(layer("InputData", "in", input_width=8, input_height=8, input_channels=3))
    m.add(layer(kind, "conv", kernel_size=3, activation=0, **params))
    conv = m.get_layer("conv")
    conv.variables["weights"] = np.ones(conv.variables["weights"].shape, np.int8)
    m.add(layer("Dense1D", "d", units=4, activation=0))
    return m


@pytest.mark.parametrize("call", [
    lambda m, x: m.forward(x),
    lambda m, x: m.forward(x, batch_size=1),
    lambda m, x: m.predict(x),
    lambda m, x: m.fit(x, [0, 1]),
    lambda m, x: m.evaluate(x, np.array([0, 1], np.int32), 2),
], ids=["forward", "forward-batch", "predict", "fit", "evaluate"])
@pytest.mark.parametrize("kind, params", [
    ("Conv2D", dict(filters=4)),
    ("DepthwiseConv2D", {}),
    ("Conv2DTranspose", dict(filters=4)),
])
def test_kinds_the_software_evaluation_does_not_compute_are_refused(call, kind, params):
    m = conv_model(kind, **params)
    x = np.random.default_rng(5).integers(0, 256, size=(2, 8, 8, 3), dtype=np.uint8)
    with pytest.raises(RuntimeError) as info:
        call(m, x)
    assert str(info.value) == (
        f"Layer 'conv' of kind {kind} cannot be evaluated without hardware: the software "
        "evaluation computes only InputData, Quantizer, Dequantizer, FullyConnected, Dense1D, "
        "Add and Concatenate layers.")
    assert m.metrics.names == []  # no run took place


# Metrics and power events


def test_run_metrics_and_fit_labels_without_hardware():
    m = fc_model()
    metrics = m.metrics
    m.forward(np.zeros((5, 2, 2, 1), np.int8))
    assert sorted(metrics.names) == ["inference_end", "inference_frames", "inference_start"]
    assert metrics["inference_frames"] == 5
    assert 0 <= metrics["inference_start"] <= metrics["inference_end"]
    with pytest.raises(ValueError, match="^inference_clk : no such metrics$"):
        metrics["inference_clk"]
    assert m.power_events == []
    X = np.zeros((2, 2, 2, 1), np.uint8)
    for labels in (2.0, -1, np.array([1, 0], np.uint8), [1, 0], [], [np.int64(4)]):
        assert m.fit(X, labels).shape == (2, 1, 1, 6)
    assert m.fit(X, batch_size=1).shape == (2, 1, 1, 6) and metrics["inference_frames"] == 2
    for labels in (2.5, math.nan, math.inf, -3e9, np.array([1.0]), np.array([True]), ["a"], [2**31]):
        with pytest.raises(TypeError, match="^fit method expects integers as labels$"):
            m.fit(X, labels)


@pytest.mark.parametrize("call", [
    lambda m, x: m.forward(x),
    lambda m, x: m.fit(x, 1.0),
    lambda m, x: m.evaluate(x, np.zeros(1, np.int32)),
    lambda m, x: m.forward(x.astype(np.float64)),
])
def test_empty_model_refuses_every_run(call):
    m = core.Model()
    with pytest.raises(ValueError, match="^Cannot perform an inference on a model with no layers$"):
        call(m, np.zeros((1, 2, 2, 1), np.uint8))
    assert m.metrics.names == []


# evaluate


def test_evaluate_argument_errors():
    m = identity_model(10, activation=0)
    x = np.zeros((4, 1, 1, 10), np.int8)
    cases = [
        (np.zeros((4, 1), np.int32), {}, "Labels must be 1-D."),
        (np.zeros(3, np.int32), {}, "Inputs and labels must have the same size."),
        (np.zeros(4, np.int64), {}, "Labels must be int32."),
        (np.zeros(4, np.int32), {"num_classes": 1}, "Cannot classify with 1class(es)."),
        (np.zeros(4, np.int32), {"num_classes": 3},
         "The number of neurons [10] is not a multiple of  the number of classes [3]."),
    ]
    for labels, kwargs, message in cases:
        with pytest.raises(ValueError) as info:
            m.evaluate(x, labels, **kwargs)
        assert str(info.value) == message


def test_evaluate_accuracy_with_known_weights():
    # Units: class 0 = x0 + x1, class 1 = x2 - x0, class 2 = 2 * x3.
    weights = [[1, 1, 0, 0], [-1, 0, 1, 0], [0, 0, 0, 2]]
    m = dense_model(4, 3, weights, activation=0)
    x = np.array([[5, 5, 0, 0], [0, 0, 9, 1], [0, 0, 0, 7], [1, 0, 0, 0]], np.int8)
    x = x.reshape(4, 1, 1, 4)
    labels = np.array([0, 1, 2, 1], np.int32)  # the last sample predicts class 0: a miss
    assert m.evaluate(x, labels) == 0.75
    # Labels read through a stride.
    strided = np.array([0, 9, 1, 9, 2, 9, 1, 9], np.int32)[::2]
    assert m.evaluate(x, strided, batch_size=2) == 0.75


def test_evaluate_groups_neurons_by_class():
    m = identity_model(10, activation=0)

    def predict(values, num_classes=5):
        x = np.array(values, np.int8).reshape(1, 1, 1, 10)
        hits = [m.evaluate(x, np.array([c], np.int32), num_classes) for c in range(num_classes)]
        return hits.index(1.0) if 1.0 in hits else -1

    assert predict([0, 0, 0, 0, 0, 0, 0, 0, 0, 9]) == 4  # neurons 8 and 9 are class 4
    assert predict([0, 9, 0, 0, 0, 0, 0, 0, 0, 0]) == 0  # neurons 0 and 1 are class 0
    assert predict([0, 9, 0, 0, 0, 0, 0, 0, 9, 0]) == 0  # the first maximum wins
    assert predict([0, 0, 0, 0, 0, 0, 0, 0, 0, 9], 2) == 1
    # Float predictions start from the lowest float: -128 everywhere is still a vote for class 0.
    assert predict([-128] * 10) == 0
    m = identity_model(4)  # ReLU: negative inputs give 0, uint8 outputs
    x = np.array([[-1, -2, -3, -4], [0, 0, 7, 0]], np.int8).reshape(2, 1, 1, 4)
    # Sample 0 predicts -1 (a miss even against label 0); sample 1 predicts class 1.
    assert m.forward(x).dtype == np.uint8 and m.evaluate(x, np.array([0, 1], np.int32), 2) == 0.5


@pytest.mark.parametrize("output_bits, message", [
    (16, "^cannot evaluate on a Tensor of type uint16$"),
    (1, r"^Wrong requested type h for a tensor of type bit\.$"),
])
def test_evaluate_refuses_output_types(output_bits, message):
    m = identity_model(4, output_bits=output_bits)
    with pytest.raises(RuntimeError, match=message):
        m.evaluate(np.zeros((1, 1, 1, 4), np.int8), np.zeros(1, np.int32), 2)
