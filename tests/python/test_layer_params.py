"""LayerParams (direct and compound names, copies) and the layer enumerations."""

import collections
import copy
import pickle
import types

import pytest

import vorna.core as core

LAYER_TYPES = [
    ("Unknown", 0),
    ("InputData", 1),
    ("InputConvolutional", 2),
    ("FullyConnected", 3),
    ("Convolutional", 4),
    ("SeparableConvolutional", 5),
    ("Add", 6),
    ("Concatenate", 12),
    ("Conv2D", 14),
    ("InputConv2D", 15),
    ("DepthwiseConv2D", 16),
    ("Conv2DTranspose", 17),
    ("Dequantizer", 19),
    ("DepthwiseConv2DTranspose", 20),
    ("BufferTempConv", 21),
    ("DepthwiseBufferTempConv", 22),
    ("StatefulRecurrent", 26),
    ("Dense1D", 25),
    ("Quantizer", 27),
    ("MotePostProcessing", 28),
]

ENUMS = [
    (core.LayerType, "The layer type", LAYER_TYPES, {}),
    (
        core.Padding,
        "Sets the effective padding of the input for convolution, thereby determining the "
        "output dimensions. Naming conventions are the same as Keras/Tensorflow.",
        [("Valid", 0), ("Same", 1), ("SameUpper", 2)],
        {
            "Valid": "No padding",
            "Same": "Padded so that output size is input size divided by the stride. "
            "It always produces a bottom right padding.",
            "SameUpper": "Padded so that output size is input size divided by the stride. "
            "It always produces a top left padding.",
        },
    ),
    (
        core.PoolType,
        "The pooling type",
        [("NoPooling", 0), ("Max", 1), ("Average", 2)],
        {
            "NoPooling": "No pooling applied",
            "Max": "Maximum pixel value is selected",
            "Average": "Average pixel value is selected",
        },
    ),
    (
        core.ActivationType,
        "The activation type",
        [("NoActivation", 0), ("ReLU", 1), ("LUT", 2)],
        {
            "NoActivation": "No activation is applied",
            "ReLU": "ReLU activation is selected",
            "LUT": "LUT activation is selected",
        },
    ),
]


@pytest.mark.parametrize("enum, doc, members, member_docs", ENUMS, ids=lambda x: str(x)[:20])
def test_layer_enums(enum, doc, members, member_docs):
    assert [(name, int(m)) for name, m in enum.__members__.items()] == members
    assert enum.__doc__.startswith(doc + "\n\nMembers:")
    for name, value in members:
        member = getattr(enum, name)
        assert getattr(core, name) == member  # exported into the module
        assert enum(value) == member and hash(member) == value
        assert pickle.loads(pickle.dumps(member)) == member
        if name in member_docs:
            assert f"{name} : {member_docs[name]}" in enum.__doc__
    assert core.LayerType(26).name == "StatefulRecurrent"
    assert enum(99).name == "???"


def test_enum_members_are_distinct_types():
    assert core.ReLU == core.ActivationType.ReLU
    assert core.ReLU != core.PoolType.Max  # same value 1, other enum
    assert core.ReLU != 1
    assert int(core.SameUpper) == 2
    assert repr(core.Average) == "<PoolType.Average: 2>"
    assert str(core.LUT) == "ActivationType.LUT"


def conv_params(**extra):
    return core.LayerParams(core.Conv2D, {"kernel_width": 3, "kernel_height": 5, **extra})


def test_direct_keys():
    p = core.LayerParams(core.FullyConnected, {"units": 10, "weights_bits": -4})
    assert p.get("units") == 10
    assert p.weights_bits == -4
    assert p.has("units") and not p.has("Units")
    assert p.layer_type == core.FullyConnected
    assert dir(p) == ["units", "weights_bits"]


def test_compound_names():
    p = core.LayerParams(
        core.Conv2D,
        {
            "kernel_width": 3,
            "kernel_height": 5,
            "stride_x": 2,
            "stride_y": 7,
            "pooling_width": 4,
            "pooling_height": 6,
            "pooling_stride_x": 1,
            "pooling_stride_y": 9,
        },
    )
    assert p.get("kernel_size") == [3, 5]
    assert p.kernel_stride == [2, 7]
    assert p.pool_size == [4, 6]
    assert p.get("pool_stride") == [1, 9]
    assert not p.has("kernel_size")
    assert "kernel_size" not in dir(p)


def test_direct_key_wins_over_compound_name():
    p = conv_params(pool_size=2)
    assert p.get("pool_size") == 2
    assert p.pool_size == 2


def test_compound_name_with_a_missing_part():
    p = core.LayerParams(core.Conv2D, {"stride_x": 1})
    with pytest.raises(ValueError) as err:
        p.get("kernel_stride")
    assert str(err.value) == "Parameter 'stride_y' not found."


@pytest.mark.parametrize("key", ["", "zz", "Kernel_size", "kernel_size "])
def test_missing_key(key):
    p = conv_params()
    with pytest.raises(ValueError) as err:
        p.get(key)
    assert str(err.value) == "Key " + key + " not found"
    with pytest.raises(ValueError) as err:
        getattr(p, key)
    assert str(err.value) == "Key " + key + " not found"


def test_empty_key_message_has_two_blanks():
    with pytest.raises(ValueError) as err:
        conv_params().get("")
    assert str(err.value) == "Key  not found"


def test_member_names_shadow_keys():
    p = core.LayerParams(core.Dense1D, {"get": 1, "has": 2, "layer_type": 3})
    assert p.get("get") == 1 and p.get("has") == 2 and p.get("layer_type") == 3
    assert p.layer_type == core.Dense1D
    assert callable(p.has)


def test_copy_is_independent_and_owning():
    p = conv_params()
    q = copy.copy(p)
    assert q is not p
    assert q.layer_type == core.Conv2D and dir(q) == dir(p) and q.kernel_size == [3, 5]
    del p
    assert q.kernel_width == 3


def test_entries_are_copied():
    entries = {"units": 4}
    p = core.LayerParams(core.FullyConnected, entries)
    entries["units"] = 5
    entries["other"] = 1
    assert p.units == 4 and dir(p) == ["units"]


@pytest.mark.parametrize(
    "entries",
    [
        types.MappingProxyType({"units": 4}),
        collections.OrderedDict([("units", 4)]),
        collections.ChainMap({"units": 4}),
    ],
)
def test_any_mapping_is_accepted(entries):
    assert core.LayerParams(core.FullyConnected, entries).units == 4


def test_bytes_keys():
    assert core.LayerParams(core.FullyConnected, {b"units": 4}).units == 4


@pytest.mark.parametrize(
    "layer_type, entries",
    [
        (3, {"units": 4}),  # a plain int is not a LayerType
        (core.Max, {"units": 4}),  # a member of another enum
        (core.FullyConnected, {"units": 4.0}),
        (core.FullyConnected, {"units": 2**31}),
        (core.FullyConnected, {"units": -(2**31) - 1}),
        (core.FullyConnected, {1: 4}),
        (core.FullyConnected, [("units", 4)]),
        (core.FullyConnected, None),
    ],
)
def test_bad_constructor_arguments(layer_type, entries):
    with pytest.raises(TypeError):
        core.LayerParams(layer_type, entries)


def test_values_at_the_int32_limits():
    p = core.LayerParams(core.Unknown, {"a": 2**31 - 1, "b": -(2**31)})
    assert (p.a, p.b) == (2**31 - 1, -(2**31))


def test_keyword_arguments():
    p = core.LayerParams(layer_type=core.Add, entries={})
    assert p.layer_type == core.Add and dir(p) == []
    assert p.has(key="x") is False
