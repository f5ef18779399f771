"""LayerParams: direct and compound names, copies, argument types."""

import collections
import copy
import types

import pytest

import vorna.core as core


def conv_params(**extra):
    return core.LayerParams(core.Conv2D, {"kernel_width": 3, "kernel_height": 5, **extra})


def test_direct_and_compound_names():
    p = core.LayerParams(core.FullyConnected, {"units": 10, "weights_bits": -4})
    assert (p.get("units"), p.weights_bits, dir(p)) == (10, -4, ["units", "weights_bits"])
    assert p.has("units") and not p.has("Units")
    p = conv_params(stride_x=2, stride_y=7, pooling_width=4, pooling_height=6,
                    pooling_stride_x=1, pooling_stride_y=9)
    assert (p.get("kernel_size"), p.kernel_stride, p.pool_size, p.get("pool_stride")) == (
        [3, 5], [2, 7], [4, 6], [1, 9])
    assert not p.has("kernel_size") and "kernel_size" not in dir(p)
    assert conv_params(pool_size=2).pool_size == 2  # a direct key wins
    with pytest.raises(ValueError, match="^Parameter 'stride_y' not found.$"):
        core.LayerParams(core.Conv2D, {"stride_x": 1}).get("kernel_stride")
    for key in ["", "Kernel_size", "kernel_size "]:
        for read in (p.get, lambda k: getattr(p, k)):
            with pytest.raises(ValueError) as err:
                read(key)
            assert str(err.value) == "Key " + key + " not found"
    # Member names shadow keys of the same name.
    p = core.LayerParams(core.Dense1D, {"get": 1, "has": 2, "layer_type": 3})
    assert (p.get("get"), p.get("has"), p.get("layer_type")) == (1, 2, 3)
    assert p.layer_type == core.Dense1D and callable(p.has)
    q = core.LayerParams(core.Unknown, {"a": 2**31 - 1, "b": -(2**31)})
    assert (q.a, q.b) == (2**31 - 1, -(2**31))


def test_copies_own_their_entries():
    p = conv_params()
    q = copy.copy(p)
    del p
    assert q.layer_type == core.Conv2D and q.kernel_size == [3, 5]
    entries = {"units": 4}
    p = core.LayerParams(core.FullyConnected, entries)
    entries["units"] = 5
    entries["other"] = 1
    assert p.units == 4 and dir(p) == ["units"]
    for other in (types.MappingProxyType({"units": 4}), collections.ChainMap({"units": 4}),
                  {b"units": 4}):
        assert core.LayerParams(core.FullyConnected, other).units == 4


@pytest.mark.parametrize("layer_type, entries", [
    (3, {"units": 4}), (core.Max, {"units": 4}), (core.FullyConnected, {"units": 4.0}),
    (core.FullyConnected, {"units": 2**31}), (core.FullyConnected, {"units": -(2**31) - 1}),
    (core.FullyConnected, {1: 4}), (core.FullyConnected, [("units", 4)]),
])
def test_bad_constructor_arguments(layer_type, entries):
    with pytest.raises(TypeError):
        core.LayerParams(layer_type, entries)
