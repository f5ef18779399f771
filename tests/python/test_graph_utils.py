"""graph_utils: positional forwarders to the mapping engine's layer-graph queries."""

import pytest

import vorna.core as core
from builders import conv, layer

gu = core.graph_utils
LAYER_FUNCTIONS = ["extract_main_branch", "extract_skip_branch", "get_mappable_layer",
                   "dual_output_to_store_dma", "next_mappable_layer", "previous_mappable_layer",
                   "is_merge_layer"]
LIST_FUNCTIONS = ["first_mappable_layer", "last_mappable_layer"]


def input_layer():
    return layer(core.InputData, "in", input_width=8, input_height=8, input_channels=2)


@pytest.mark.parametrize("name", LAYER_FUNCTIONS)
def test_null_layer(name):
    with pytest.raises(RuntimeError, match="^Graph query on a null layer.$"):
        getattr(gu, name)(None)


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_list_arguments(name):
    f = getattr(gu, name)
    c = conv("c")
    assert f([]) is None
    # InputData targets no component and Add the skip DMA: neither is mappable.
    assert f([input_layer(), layer(core.Add, "add")]) is None
    assert f(x for x in [input_layer(), c]) is c


@pytest.mark.parametrize("tail", [True, False])
def test_residual_model(tail):
    # in -> c1 -> c2 -> add(c2, c1) [-> c3]: c1 splits, the Add merges, c3 is the merge layer.
    m = core.Model()
    m.add(input_layer())
    m.add(conv("c1"))
    m.add(conv("c2"))
    m.add(layer(core.Add, "add"), [m.get_layer("c2"), m.get_layer("c1")])
    if tail:
        m.add(conv("c3"))
    c1, c2, add = (m.get_layer(n) for n in ("c1", "c2", "add"))
    c3 = m.get_layer("c3") if tail else None
    main, skip = gu.extract_main_branch(c1), gu.extract_skip_branch(c1)
    assert all(any(x is y for y in m.layers) for x in main + skip)
    assert main[:2] == [c2, add] and (c3 in main) == tail and skip[0] is add and c2 not in skip
    main.clear()  # fresh lists
    assert len(gu.extract_main_branch(c1)) == (3 if tail else 2)
    assert gu.is_merge_layer(add) is False and gu.is_merge_layer(c2) is False
    assert gu.get_mappable_layer(add) is c3 and gu.get_mappable_layer(c2) is c2
    assert gu.next_mappable_layer(c1) is c2 and gu.next_mappable_layer(c2) is c3
    assert gu.previous_mappable_layer(c2) is c1
    assert gu.first_mappable_layer(m.layers) is c1
    assert gu.last_mappable_layer(l for l in m.layers) is (c3 if tail else c2)
    if tail:
        assert gu.is_merge_layer(c3) is True and gu.previous_mappable_layer(c3) is c2
        assert gu.dual_output_to_store_dma(c3) is False
