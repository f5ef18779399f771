"""Layer: construction, properties, component kinds, views of parameters and variables."""

import copy
import gc
import sys

import pytest

import vorna.core as core
from builders import NP, layer


def test_construction_parameters_and_standalone_properties():
    params = core.LayerParams(core.FullyConnected, {"units": 10, "weights_bits": 4})
    fc = core.Layer(params=params, name="fc \u00e9\u4e2d")
    assert fc.name == "fc \u00e9\u4e2d" and fc.parameters.layer_type == core.FullyConnected
    # The layer copied the parameters and completed them with the kind's defaults.
    assert dir(params) == ["units", "weights_bits"]
    assert dir(fc.parameters) == ["act_bits", "activation", "units", "weights_bits"]
    assert (fc.mapping, fc.inbounds, fc.macs, fc.input_bits, fc.output_signed) == (None, [], 0, 0, False)
    for attr, what in (("input_dims", "input"), ("output_dims", "output")):
        with pytest.raises(RuntimeError, match=f"^Cannot get {what} size before it is set.$"):
            getattr(fc, attr)
    with pytest.raises(ValueError, match="^Unsupported layer type 0.$"):
        layer(core.Unknown, "u")
    # The parameters view keeps its layer alive; a copy owns itself.
    count = sys.getrefcount(fc)
    view = fc.parameters
    assert sys.getrefcount(fc) == count + 1  # the view holds its layer
    owned = copy.copy(fc.parameters)
    del fc
    gc.collect()
    assert view.units == 10 and view.get("activation") == 1
    assert owned.units == 10 and owned.layer_type == core.FullyConnected


NP_VALUES = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xFFFFFFFF]
# The kind each layer targets, and the NP types (by value) that ask for that kind.
TARGETS = [
    (core.InputData, {0, 11, 0xFFFFFFFF}, False),  # none: also every value outside 1..10
    (core.InputConv2D, {1}, False),  # HRC
    (core.Conv2D, {2, 3}, True),  # CNP
    (core.DepthwiseConv2D, {2, 3}, True),
    (core.FullyConnected, {4, 5}, False),  # FNP
    (core.Dense1D, {4, 5}, False),
    (core.Add, {6, 9}, False),  # skip DMA: store and load
    (core.BufferTempConv, {7}, True),  # TNP_B
    (core.StatefulRecurrent, {8}, False),  # TNP_R
]


@pytest.mark.parametrize("layer_type, true_for, splittable", TARGETS, ids=lambda x: str(x))
def test_is_target_component_and_splittable(layer_type, true_for, splittable):
    lay = layer(layer_type, "l")
    assert {v: lay.is_target_component(NP.Type(v)) for v in NP_VALUES} == {
        v: v in true_for for v in NP_VALUES}
    assert lay.splittable is splittable


def test_layers_in_a_model_and_after_it():
    model = core.Model()
    inp = layer(core.InputData, "in", input_width=4, input_height=3, input_channels=2)
    fc = layer(core.FullyConnected, "fc", units=5, weights_bits=4)
    model.add(inp)
    model.add(fc)
    assert model.layers[1] is fc and fc.inbounds[0] is inp and inp.inbounds == []
    assert inp.input_dims == fc.input_dims == [4, 3, 2] and fc.output_dims == [1, 1, 5]
    assert (fc.macs, fc.input_bits, fc.mapping) == (4 * 3 * 2 * 5, 8, None)
    a = layer(core.Conv2D, "a", filters=2, kernel_size=1)
    add = layer(core.Add, "add")
    model.pop_layer()
    model.add(a)
    model.add(add, [inp, a])
    assert add.input_dims == [[4, 3, 2], [4, 3, 2]] and add.output_dims == [4, 3, 2]
    assert add.inbounds[0] is inp and add.inbounds[1] is a
    params, variables = a.parameters, a.variables
    del model, a
    gc.collect()
    assert params.filters == 2 and variables.names[0] == "weights"
