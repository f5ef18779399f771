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


def skip_then(branches):
    """in -> a -> b -> add(b, a), then one branch per entry of `branches`, in order, each
    reading the Add: "deep" (add -> d -> x -> join), "direct" (add -> d -> join) or "dense"
    (add -> d, a Dense1D that joins nothing). The Concatenate `join` of the first two
    branches' last layers feeds z. Returns the model and the branch heads."""
    m = core.Model()
    m.add(input_layer())
    m.add(conv("a"))
    m.add(conv("b"))
    m.add(layer(core.Add, "add"), [m.get_layer("b"), m.get_layer("a")])
    add = m.get_layer("add")
    heads, tails = [], []
    for i, kind in enumerate(branches):
        if kind == "dense":
            m.add(layer(core.Dense1D, "d%d" % i, units=4), [add])
        else:
            m.add(conv("d%d" % i), [add])
        heads.append(m.layers[-1])
        if kind == "deep":
            m.add(conv("x%d" % i), [heads[-1]])
        tails.append(m.layers[-1])
    if len(tails) >= 2 and "dense" not in branches:
        m.add(layer(core.Concatenate, "join"), tails[:2])
        m.add(conv("z"))
    return m, heads


# Of two layers at the same depth, the one whose branch reaches the meeting layer through the
# deeper layer wins; on equal depths, the preferred one: the first outbound layer of the
# skip-DMA layer, the first (for first_mappable_layer) or last (for last_mappable_layer) of
# the list.
@pytest.mark.parametrize("branches, representative", [
    (["deep", "direct"], 0), (["direct", "deep"], 1), (["direct", "direct"], 0),
    (["deep", "deep"], 0),
])
def test_tie_breaks_after_a_skip_connection(branches, representative):
    m, heads = skip_then(branches)
    add, b = m.get_layer("add"), m.get_layer("b")
    winner = heads[representative]
    assert gu.get_mappable_layer(add) is winner
    assert gu.next_mappable_layer(b) is winner
    equal = branches[0] == branches[1]
    for order in (heads, heads[::-1]):
        assert gu.first_mappable_layer(order) is (order[0] if equal else winner)
        assert gu.last_mappable_layer(order) is (order[-1] if equal else winner)
        # A shallower layer in the list decides alone.
        assert gu.first_mappable_layer([b] + order) is b
        assert gu.last_mappable_layer(order + [m.get_layer("z")]) is m.get_layer("z")


@pytest.mark.parametrize("inputs", [("b", "a"), ("a", "b")])
def test_previous_layer_through_a_skip_connection(inputs):
    # A merge layer answers the deepest input of its skip-DMA layer, whatever their order.
    m = core.Model()
    m.add(input_layer())
    m.add(conv("a"))
    m.add(conv("b"))
    m.add(layer(core.Add, "add"), [m.get_layer(n) for n in inputs])
    m.add(conv("c"))
    assert gu.previous_mappable_layer(m.get_layer("c")) is m.get_layer("b")
    # Inputs of equal depth: the last of them.
    m = core.Model()
    m.add(input_layer())
    m.add(conv("a"))
    m.add(conv("p"), [m.get_layer("a")])
    m.add(conv("q"), [m.get_layer("a")])
    m.add(layer(core.Add, "add"), [m.get_layer(n) for n in ("pq" if inputs[0] == "b" else "qp")])
    m.add(conv("c"))
    assert gu.previous_mappable_layer(m.get_layer("c")) is m.get_layer(
        "q" if inputs[0] == "b" else "p")


def test_previous_layer_of_a_layer_that_does_not_merge():
    # add feeds two convolutions: the first merges, the second answers the first, the head of
    # the Add's main branch. A dense layer after the Add is no merge and answers itself, the
    # head of the Add's main branch.
    m, (d0, d1) = skip_then(["direct", "direct"])
    assert gu.is_merge_layer(d0) and not gu.is_merge_layer(d1)
    assert gu.previous_mappable_layer(d0) is m.get_layer("b")
    assert gu.previous_mappable_layer(d1) is d0
    m, (dense,) = skip_then(["dense"])
    assert gu.previous_mappable_layer(dense) is dense
