"""Layer: construction, properties, component kinds, views of parameters and variables."""

import copy
import gc
import sys

import pytest

import vorna.core as core

NP = core.NP


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def input_layer(name="in", width=4, height=3, channels=2):
    return layer(
        core.InputData, name, input_width=width, input_height=height, input_channels=channels
    )


def test_construction_and_name():
    fc = layer(core.FullyConnected, "fc \u00e9\u4e2d", units=10, weights_bits=4)
    assert fc.name == "fc \u00e9\u4e2d"
    assert fc.parameters.layer_type == core.FullyConnected
    assert fc.parameters.units == 10


def test_keyword_construction():
    params = core.LayerParams(core.Dense1D, {"units": 3})
    assert core.Layer(params=params, name="d").name == "d"


@pytest.mark.parametrize(
    "args", [({"units": 3}, "x"), (None, "x"), ("params", "x"), (core.FullyConnected, "x")]
)
def test_params_must_be_layer_params(args):
    with pytest.raises(TypeError):
        core.Layer(*args)


def test_name_must_be_str():
    with pytest.raises(TypeError):
        core.Layer(core.LayerParams(core.Dense1D, {"units": 3}), 5)


def test_unsupported_layer_type():
    with pytest.raises(ValueError) as err:
        layer(core.Unknown, "u")
    assert str(err.value) == "Unsupported layer type 0."


def test_parameters_are_the_layers_own_completed_copy():
    params = core.LayerParams(core.FullyConnected, {"units": 10, "weights_bits": 4})
    fc = core.Layer(params, "fc")
    # The layer copied the parameters and completed them with the kind's defaults.
    assert dir(params) == ["units", "weights_bits"]
    assert dir(fc.parameters) == ["act_bits", "activation", "units", "weights_bits"]


def test_parameters_view_keeps_the_layer_alive():
    fc = layer(core.FullyConnected, "fc", units=10, weights_bits=4)
    count = sys.getrefcount(fc)
    view = fc.parameters
    assert sys.getrefcount(fc) == count + 1  # the view holds its layer
    del fc
    gc.collect()
    assert view.units == 10
    assert view.get("activation") == 1


def test_parameters_copy_outlives_the_layer():
    fc = layer(core.FullyConnected, "fc", units=10, weights_bits=4)
    owned = copy.copy(fc.parameters)
    del fc
    gc.collect()
    assert owned.units == 10 and owned.layer_type == core.FullyConnected


def test_standalone_layer_properties():
    fc = layer(core.FullyConnected, "fc", units=10, weights_bits=4)
    assert fc.mapping is None
    assert fc.inbounds == []
    assert fc.macs == 0
    assert fc.input_bits == 0
    assert fc.output_signed is False
    with pytest.raises(RuntimeError) as err:
        fc.input_dims
    assert str(err.value) == "Cannot get input size before it is set."
    with pytest.raises(RuntimeError) as err:
        fc.output_dims
    assert str(err.value) == "Cannot get output size before it is set."


NP_TYPES = [
    NP.Type(0),
    NP.Type.HRC,
    NP.Type.CNP1,
    NP.Type.CNP2,
    NP.Type.FNP2,
    NP.Type.FNP3,
    NP.Type.SKIP_DMA_STORE,
    NP.Type.TNP_B,
    NP.Type.TNP_R,
    NP.Type.SKIP_DMA_LOAD,
    NP.Type(10),
    NP.Type(11),
    NP.Type(0xFFFFFFFF),
]

# The kind each layer targets, and the NP types (by value) that ask for that kind.
TARGETS = [
    (core.InputData, {0, 11, 0xFFFFFFFF}),  # none: also every value outside 1..10
    (core.InputConv2D, {1}),  # HRC
    (core.Conv2D, {2, 3}),  # CNP
    (core.DepthwiseConv2D, {2, 3}),
    (core.FullyConnected, {4, 5}),  # FNP
    (core.Dense1D, {4, 5}),
    (core.Add, {6, 9}),  # skip DMA: store and load
    (core.BufferTempConv, {7}),  # TNP_B
    (core.StatefulRecurrent, {8}),  # TNP_R
]


@pytest.mark.parametrize("layer_type, true_for", TARGETS, ids=lambda x: str(x))
def test_is_target_component(layer_type, true_for):
    lay = layer(layer_type, "l")
    answers = {int(t): lay.is_target_component(t) for t in NP_TYPES}
    assert answers == {int(t): int(t) in true_for for t in NP_TYPES}
    assert lay.is_target_component(hw_type=NP.Type.CNP1) == (2 in true_for)


@pytest.mark.parametrize("value", [2, None, core.Conv2D, "CNP1"])
def test_is_target_component_needs_an_np_type(value):
    with pytest.raises(TypeError):
        layer(core.Conv2D, "c").is_target_component(value)


@pytest.mark.parametrize(
    "layer_type, splittable",
    [
        (core.Conv2D, True),
        (core.BufferTempConv, True),
        (core.FullyConnected, False),
        (core.Dense1D, False),
        (core.InputData, False),
        (core.StatefulRecurrent, False),
    ],
)
def test_splittable(layer_type, splittable):
    assert layer(layer_type, "l").splittable is splittable


def test_mapping_class():
    assert core.Layer.Mapping.__doc__ == "The mapping of a Layer on one or more Neural Processors."
    assert core.Layer.Mapping.nps.__doc__ == "a list of ``NP.Component`` objects."
    with pytest.raises(TypeError):
        core.Layer.Mapping()


def test_docstrings():
    assert core.Layer.name.__doc__ == "The layer name."
    assert core.Layer.parameters.__doc__ == "The layer parameters set."
    assert core.Layer.is_target_component.__doc__.endswith(
        "Checks whether the layer can be mapped on the specified hardware component type. \n"
    )


def test_layers_in_a_model():
    model = core.Model()
    inp = input_layer(width=4, height=3, channels=2)
    fc = layer(core.FullyConnected, "fc", units=5, weights_bits=4)
    model.add(inp)
    model.add(fc)
    assert model.layers[1] is fc
    assert fc.inbounds[0] is inp and inp.inbounds == []
    assert inp.input_dims == [4, 3, 2]
    assert fc.input_dims == [4, 3, 2]
    assert fc.output_dims == [1, 1, 5]
    assert fc.macs == 4 * 3 * 2 * 5
    assert fc.input_bits == 8
    assert fc.mapping is None


def test_two_inputs_give_nested_input_dims():
    model = core.Model()
    inp = input_layer(width=4, height=3, channels=2)
    a = layer(core.Conv2D, "a", filters=2, kernel_size=1)
    add = layer(core.Add, "add")
    model.add(inp)
    model.add(a)
    model.add(add, [inp, a])
    assert add.input_dims == [[4, 3, 2], [4, 3, 2]]
    assert add.inbounds[0] is inp and add.inbounds[1] is a
    assert add.output_dims == [4, 3, 2]


def test_layer_outlives_its_model_through_python():
    model = core.Model()
    model.add(input_layer())
    model.add(layer(core.FullyConnected, "fc", units=5, weights_bits=4))
    fc = model.layers[1]
    params = fc.parameters
    variables = fc.variables
    del model, fc
    gc.collect()
    assert params.units == 5
    assert variables.names[0] == "weights"
