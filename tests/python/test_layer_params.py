"""LayerParams: direct and compound names, copies, argument types."""

import collections
import copy
import types

import pytest

import vorna.core as core

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
    p = core.LayerParams(core.Conv2D, {"kernel_width": 3, "kernel_height": 5, "stride_x": 2,
                                       "stride_y": 7, "pooling_width": 4, "pooling_height": 6,
                                       "pooling_stride_x": 1, "pooling_stride_y": 9})
    assert p.get("kernel_size") == [3, 5]
    assert p.kernel_stride == [2, 7]
    assert p.pool_size == [4, 6]
    assert p.get("pool_stride") == [1, 9]
    assert not p.has("kernel_size") and "kernel_size" not in dir(p)
    assert conv_params(pool_size=2).pool_size == 2  # a direct key wins
    with pytest.raises(ValueError, match="^Parameter 'stride_y' not found.$"):
        core.LayerParams(core.Conv2D, {"stride_x": 1}).get("kernel_stride")


@pytest.mark.parametrize("key", ["", "zz", "Kernel_size", "kernel_size "])
def test_missing_key(key):
    p = conv_params()
    with pytest.raises(ValueError) as err:
        p.get(key)
    assert str(err.value) == "Key " + key + " not found"
    with pytest.raises(ValueError) as err:
        getattr(p, key)
    assert str(err.value) == "Key " + key + " not found"


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


def test_entries_are_copied_from_any_mapping():
    entries = {"units": 4}
    p = core.LayerParams(core.FullyConnected, entries)
    entries["units"] = 5
    entries["other"] = 1
    assert p.units == 4 and dir(p) == ["units"]
    for other in (types.MappingProxyType({"units": 4}), collections.ChainMap({"units": 4}),
                  {b"units": 4}):
        assert core.LayerParams(core.FullyConnected, other).units == 4


@pytest.mark.parametrize(
    "layer_type, entries",
    [
        (3, {"units": 4}), (core.Max, {"units": 4}), (core.FullyConnected, {"units": 4.0}),
        (core.FullyConnected, {"units": 2**31}), (core.FullyConnected, {"units": -(2**31) - 1}),
        (core.FullyConnected, {1: 4}), (core.FullyConnected, [("units", 4)]),
        (core.FullyConnected, None),
    ],
)
def test_bad_constructor_arguments(layer_type, entries):
    with pytest.raises(TypeError):
        core.LayerParams(layer_type, entries)


def test_values_at_the_int32_limits():
    p = core.LayerParams(core.Unknown, {"a": 2**31 - 1, "b": -(2**31)})
    assert (p.a, p.b) == (2**31 - 1, -(2**31))
