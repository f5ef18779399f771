"""graph_utils: positional forwarders to the mapping engine's layer-graph queries."""

import pytest

import vorna.core as core

gu = core.graph_utils

FUNCTIONS = [
    "extract_main_branch",
    "extract_skip_branch",
    "get_mappable_layer",
    "dual_output_to_store_dma",
    "first_mappable_layer",
    "last_mappable_layer",
    "next_mappable_layer",
    "previous_mappable_layer",
    "is_merge_layer",
]
LIST_FUNCTIONS = {"first_mappable_layer", "last_mappable_layer"}


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def conv(name):
    return layer(core.Conv2D, name, filters=2, kernel_size=1)


def test_submodule_surface():
    assert gu.__doc__ == (
        "Vorna graph utilities software internal functions. These are meant for testing, "
        "debugging and validation only."
    )
    assert [n for n in vars(gu) if not n.startswith("_")] == FUNCTIONS
    # The submodule is the last registration of the module body.
    assert list(vars(core))[-1] == "graph_utils"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keyword_argument_is_type_error(name):
    keyword = "layers" if name in LIST_FUNCTIONS else "layer"
    arg = [] if name in LIST_FUNCTIONS else conv("c")
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(gu, name)(**{keyword: arg})
    with pytest.raises(TypeError):
        getattr(gu, name)(arg0=arg)


@pytest.mark.parametrize("name", sorted(set(FUNCTIONS) - LIST_FUNCTIONS))
@pytest.mark.parametrize("arg", [[], "c", 1, core.Conv2D])
def test_layer_argument_type(name, arg):
    with pytest.raises(TypeError):
        getattr(gu, name)(arg)


@pytest.mark.parametrize("name", sorted(LIST_FUNCTIONS))
@pytest.mark.parametrize("make", [lambda c: "ab", lambda c: b"ab", lambda c: [c, 3], lambda c: c])
def test_list_argument_type(name, make):
    with pytest.raises(TypeError):
        getattr(gu, name)(make(conv("c")))


@pytest.mark.parametrize("name", sorted(set(FUNCTIONS) - LIST_FUNCTIONS))
def test_none_layer_is_refused_by_the_engine(name):
    with pytest.raises(RuntimeError, match="^Graph query on a null layer.$"):
        getattr(gu, name)(None)


@pytest.mark.parametrize("name", sorted(LIST_FUNCTIONS))
def test_empty_or_unmappable_lists_give_none(name):
    f = getattr(gu, name)
    assert f([]) is None
    assert f(()) is None
    # InputData targets no component and Add the skip DMA: neither is mappable.
    assert f([layer(core.InputData, "in", input_width=4, input_height=4, input_channels=1),
              layer(core.Add, "add")]) is None


@pytest.mark.parametrize("name", sorted(LIST_FUNCTIONS))
@pytest.mark.parametrize(
    "make",
    [list, tuple, lambda ls: (x for x in ls), lambda ls: dict(enumerate(ls)).values(),
     lambda ls: map(lambda x: x, ls), lambda ls: {x: 0 for x in ls}.keys(), set],
)
def test_list_argument_accepts_iterables(name, make):
    inp = layer(core.InputData, "in", input_width=4, input_height=4, input_channels=1)
    c = conv("c")
    assert getattr(gu, name)(make([inp, c])) is c


def test_lone_layer():
    c = conv("c")
    add = layer(core.Add, "add")
    assert gu.get_mappable_layer(c) is c
    # A skip-DMA layer without outbound layers has nothing standing for it.
    assert gu.get_mappable_layer(add) is None
    assert gu.next_mappable_layer(c) is None
    assert gu.previous_mappable_layer(c) is None
    assert gu.is_merge_layer(c) is False
    assert gu.dual_output_to_store_dma(c) is False
    main, skip = gu.extract_main_branch(c), gu.extract_skip_branch(c)
    assert main == [] and skip == []
    assert main is not gu.extract_main_branch(c)


def test_residual_model():
    # in -> c1 -> c2 -> add(c2, c1) -> c3: c1 splits, the Add merges, c3 is the merge layer.
    m = core.Model()
    inp = layer(core.InputData, "in", input_width=8, input_height=8, input_channels=2)
    c1, c2, c3 = conv("c1"), conv("c2"), conv("c3")
    add = layer(core.Add, "add")
    m.add(inp)
    m.add(c1)
    m.add(c2)
    m.add(add, [c2, c1])
    m.add(c3)
    c1, c2, add, c3 = (m.get_layer(n) for n in ("c1", "c2", "add", "c3"))

    main = gu.extract_main_branch(c1)
    skip = gu.extract_skip_branch(c1)
    # Fresh lists holding the model's own layers.
    assert main is not gu.extract_main_branch(c1)
    assert all(any(x is y for y in m.layers) for x in main + skip)
    assert c2 in main and add in main and add in skip and c3 in main
    assert c2 not in skip

    assert gu.is_merge_layer(c3) is True
    assert gu.is_merge_layer(add) is False
    assert gu.is_merge_layer(c2) is False
    assert gu.get_mappable_layer(add) is c3
    assert gu.get_mappable_layer(c2) is c2
    assert gu.next_mappable_layer(c1) is c2
    assert gu.next_mappable_layer(c2) is c3
    assert gu.previous_mappable_layer(c2) is c1
    assert gu.previous_mappable_layer(c3) is c2
    assert gu.first_mappable_layer(m.layers) is c1
    assert gu.last_mappable_layer(m.layers) is c3
    assert gu.dual_output_to_store_dma(c3) is False


def test_model_ending_with_the_add():
    # in -> c1 -> c2 -> add(c2, c1): the Add closes the skip connection but nothing follows it.
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=2))
    m.add(conv("c1"))
    m.add(conv("c2"))
    m.add(layer(core.Add, "add"), [m.get_layer("c2"), m.get_layer("c1")])
    inp, c1, c2, add = m.layers

    main, skip = gu.extract_main_branch(c1), gu.extract_skip_branch(c1)
    assert len(main) == 2 and main[0] is c2 and main[1] is add
    assert len(skip) == 1 and skip[0] is add
    main.clear()
    assert len(gu.extract_main_branch(c1)) == 2
    # The Add targets the skip DMA, not a CNP: it is no merge layer and stands for nothing.
    assert gu.is_merge_layer(add) is False
    assert gu.get_mappable_layer(add) is None
    assert gu.next_mappable_layer(c2) is None
    assert gu.previous_mappable_layer(c2) is c1
    assert gu.first_mappable_layer(m.layers) is c1
    assert gu.last_mappable_layer(l for l in m.layers) is c2
    assert gu.first_mappable_layer([]) is None
    with pytest.raises(TypeError):
        gu.is_merge_layer(layer=add)
