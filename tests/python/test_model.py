"""Model: building and editing, copies from layer lists, add_classes, summaries and _map."""

import gc

import numpy as np
import pytest

import vorna.core as core
from builders import layer, small_device


def input_layer(name="input", width=4, height=3, channels=2, bits=8, signed=1):
    return layer("InputData", name, input_width=width, input_height=height,
                 input_channels=channels, input_bits=bits, input_signed=signed)


def fc_model(units=10, classes=None, bits=8, signed=1):
    """InputData (4, 3, 2) -> FullyConnected "fc"; compiled when `classes` is given."""
    m = core.Model()
    m.add(input_layer(bits=bits, signed=signed))
    m.add(layer("FullyConnected", "fc", units=units, weights_bits=4))
    if classes is not None:
        m.compile(core.VornaUnsupervised(24, classes))
    return m


def branch_model():
    """InputData -> Conv2D a, Conv2D b (both from the input) -> Add."""
    m = core.Model()
    m.add(input_layer("in", 4, 4, 2))
    a = layer("Conv2D", "a", filters=3, kernel_size=3)
    b = layer("Conv2D", "b", filters=3, kernel_size=3)
    m.add(a, [m.layers[0]])
    m.add(b, [m.layers[0]])
    m.add(layer("Add", "add"), [a, b])
    return m


def names(model):
    return [layer.name for layer in model.layers]


def snapshot(model):
    """Everything add_classes may change, to check that a failure leaves it alone."""
    last = model.layers[-1:]
    return model.to_buffer(), last, [l.inbounds for l in last]


# Building and editing


def test_get_add_and_pop_layers():
    m = fc_model()
    fc = m.get_layer(1)
    assert fc is m.layers[1] and fc.inbounds[0] is m.layers[0]
    assert m.get_layer("fc") is fc and m.get_layer(2) is None
    with pytest.raises(ValueError, match="zz"):
        m.get_layer("zz")
    assert m.input_shape == [4, 3, 2] and m.output_shape == [1, 1, 10]
    assert m.macs == sum(l.macs for l in m.layers) > 0
    assert m.ip_version == core.v1 and branch_model().ip_version == core.v2
    m.pop_layer()
    assert names(m) == ["input"] and fc.name == "fc" and fc.inbounds == []
    # Inbounds from another model are refused; without inbounds the last layer is linked.
    with pytest.raises(ValueError):
        m.add(layer("FullyConnected", "fc", units=4, weights_bits=8), [fc_model().layers[0]])
    with pytest.raises(ValueError):
        m.add(None)
    assert m.layer_count == 1
    m.add(layer("FullyConnected", "fc", units=4, weights_bits=8))
    assert m.layers[1].inbounds[0] is m.layers[0]
    m.pop_layer()
    m.pop_layer()
    assert (m.layer_count, m.layers, m.input_shape, m.output_shape, m.macs) == (0, [], [], [], 0)
    with pytest.raises(RuntimeError):
        m.pop_layer()
    assert core.Model(layers=()).layer_count == 0


def test_compile_and_learning():
    m = fc_model()
    m.compile(core.VornaUnsupervised(24, 2))
    first = m.learning
    m.compile(core.VornaUnsupervised(24, 7))
    assert m.learning.get("num_classes") == 7
    gc.collect()  # the optimizer read earlier outlives its replacement
    assert first.get("num_classes") == 2


# Models built from lists of layers


@pytest.mark.parametrize("bits, signed, expected", [(8, 1, 1), (4, 1, 0), (8, 0, 0), (4, 0, 0)])
def test_layer_list_without_input_gets_one(bits, signed, expected):
    src = fc_model(bits=bits, signed=signed)
    fc = src.layers[1]
    m = core.Model([fc])
    assert names(m) == ["InputData", "fc"]
    inp = m.layers[0].parameters
    assert [inp.input_width, inp.input_height, inp.input_channels] == [4, 3, 2]
    assert (inp.input_bits, inp.input_signed) == (bits, expected)
    assert m.layers[1] is not fc and m.layers[1].inbounds[0] is m.layers[0]
    assert m.input_shape == [4, 3, 2] and m.output_shape == [1, 1, 10]


def test_layer_list_copies_params_learning_and_variables():
    src = fc_model(classes=3)
    fc = src.layers[1]
    weights = np.arange(240, dtype=np.int8).reshape(24, 10) % 8
    fc.variables["weights"] = weights
    m = core.Model(src.layers)
    assert m.to_buffer() == src.to_buffer()  # parameters, learning and variables
    copy = m.layers[1]
    # Changing the copy's variable leaves the source's alone.
    copy.variables["weights"] = np.zeros((24, 10), dtype=np.int8)
    np.testing.assert_array_equal(fc.variables["weights"], weights)
    # The sources still belong to their own model.
    assert src.layer_count == 2 and src.layers[1] is fc


def test_layer_list_links_inbounds_by_name_and_errors():
    src = branch_model()
    for layers in (src.layers, (l for l in src.layers)):
        m = core.Model(layers)
        assert names(m) == ["in", "a", "b", "add"]
        add = m.get_layer("add")
        assert [l.name for l in add.inbounds] == ["a", "b"]
        assert add.inbounds[0] is m.get_layer("a") and add.inbounds[1] is m.get_layer("b")
        assert add.input_dims == [[4, 4, 3], [4, 4, 3]]
    with pytest.raises(ValueError, match="'a'"):
        core.Model([src.layers[0], src.layers[3], src.layers[1], src.layers[2]])
    fc = fc_model().layers[1]
    for bad in ([fc, None], [None]):
        with pytest.raises(RuntimeError, match="^Invalid layer received$"):
            core.Model(bad)
    with pytest.raises(RuntimeError, match="^File not found.$"):  # a text is a file name
        core.Model("fc")
    lone = layer("FullyConnected", "lone", units=4, weights_bits=8)
    with pytest.raises(RuntimeError, match="Cannot get input size"):
        core.Model([lone])


# add_classes


def test_add_classes_grows_and_keeps_learned_neurons():
    m = fc_model(units=10, classes=2)
    old = m.layers[1]
    inbound = old.inbounds[0]
    weights = np.random.default_rng(7).integers(-8, 8, size=(24, 10), dtype=np.int8)
    threshold = np.arange(1, 11, dtype=np.int32)
    old.variables["weights"], old.variables["threshold"] = weights, threshold
    settings = {k: m.learning.get(k) for k in dir(m.learning)}
    m.add_classes(3)
    fc = m.layers[1]
    assert fc is not old and fc.name == "fc" and fc.inbounds[0] is inbound
    p = fc.parameters
    assert sorted(dir(p)) == ["act_bits", "activation", "units", "weights_bits"]
    assert (p.units, p.weights_bits) == (25, 4)
    assert p.activation == old.parameters.activation and p.act_bits == old.parameters.act_bits
    settings["num_classes"] = 5
    assert {k: m.learning.get(k) for k in dir(m.learning)} == settings
    # Learned neurons kept, added ones zero; act_step keeps its fresh value 1.0.
    np.testing.assert_array_equal(fc.variables["weights"], np.pad(weights, ((0, 0), (0, 15))))
    np.testing.assert_array_equal(fc.variables["threshold"], np.pad(threshold, (0, 15)))
    np.testing.assert_array_equal(fc.variables["act_step"], np.ones(25, dtype=np.float32))
    np.testing.assert_array_equal(old.variables["weights"], weights)  # the old layer untouched


@pytest.mark.parametrize(
    "units, classes, added, expected",
    [(10, 2, 3, 25), (10, 3, 2, 16), (10, 1, 1, 20), (3, 5, 4, 3)],
)
def test_add_classes_unit_counts(units, classes, added, expected):
    m = fc_model(units=units, classes=classes)
    m.add_classes(added)
    assert m.layers[-1].parameters.units == expected
    assert m.learning.get("num_classes") == classes + added


def not_fc():
    m = branch_model()
    m.compile(core.VornaUnsupervised(24, 2))
    return m


@pytest.mark.parametrize(
    "make, added, error, message",
    [
        (lambda: fc_model(classes=2), 0, ValueError, "The number of classes to add must be positive."),
        (lambda: fc_model(classes=2), -2, ValueError, "The number of classes to add must be positive."),
        (core.Model, 1, RuntimeError, "The model must have at least one layer."),
        (not_fc, 1, RuntimeError, "The last layer must be a FullyConnected layer."),
        (fc_model, 1, RuntimeError, "The last layer must be compiled."),
        (lambda: fc_model(classes=0), 1, ValueError,
         "The learning parameter num_classes must be positive."),
        (lambda: fc_model(units=10, classes=1), 2**30, ValueError,
         "The number of units after adding classes is out of range."),
    ],
)
def test_add_classes_errors_leave_the_model_unchanged(make, added, error, message):
    m = make()
    before = snapshot(m)
    with pytest.raises(error) as info:
        m.add_classes(added)
    assert str(info.value) == message
    assert snapshot(m) == before


def test_add_classes_carries_weights_set_in_the_read_order_only():
    m = fc_model(units=10, classes=2)
    fc = m.layers[1]
    weights = np.random.default_rng(3).integers(-8, 8, size=(24, 10), dtype=np.int8)
    fc.variables["weights"] = weights
    # The stored (units, inputs) order is refused: the read (inputs, units) weights stay.
    with pytest.raises(ValueError, match=r"^Cannot set variable 'weights' of shape \(24, 10\)"):
        fc.variables["weights"] = weights.T.copy()
    m.add_classes(1)
    np.testing.assert_array_equal(m.layers[1].variables["weights"], np.pad(weights, ((0, 0), (0, 5))))


def test_add_classes_failing_after_removing_the_last_layer_puts_it_back():
    m = core.Model()
    m.add(input_layer(width=32, height=32, channels=4))
    m.add(layer("FullyConnected", "fc", units=4, weights_bits=4))
    m.compile(core.VornaUnsupervised(24, 4))
    fc = m.layers[1]
    fc.variables["weights"] = np.random.default_rng(5).integers(-8, 8, (4096, 4), dtype=np.int8)
    fc.variables["threshold"] = np.array([3, -1, 7, 2], dtype=np.int32)
    before = snapshot(m)
    values = {name: fc.variables[name] for name in fc.variables.names}
    # 1,100,004 units of 4,096 weights each: the grown layer cannot be built.
    with pytest.raises(ValueError, match="'fc'"):
        m.add_classes(1100000)
    assert snapshot(m) == before
    assert names(m) == ["input", "fc"] and m.layers[1] is fc
    assert fc.parameters.units == 4 and m.learning.get("num_classes") == 4
    assert fc.variables.names == list(values)
    for name, value in values.items():
        assert fc.variables[name].shape == value.shape
        np.testing.assert_array_equal(fc.variables[name], value)


# Mapping


def test_map_refuses_a_device_other_than_the_constraints_device():
    m = branch_model()
    device = small_device()
    constraints = core.MapConstraints(device)
    for other, message in [
        (small_device(), "The map constraints were made for another device than the one to map onto."),
        (None, "Invalid device."),
    ]:
        with pytest.raises(ValueError) as info:
            m._map(other, False, constraints)
        assert str(info.value) == message
        with pytest.raises(ValueError):
            m._map(other, hw_only=True, constraints=constraints)
    assert m.device is None and m.sequences == []
