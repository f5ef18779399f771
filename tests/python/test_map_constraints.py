"""MapConstraints: defaults per IP version, limit setters, and Python overrides of the hooks."""

import pytest

import vorna.core as core

NP = core.NP
Ident, Info, Mesh = NP.Ident, NP.Info, NP.Mesh


def make_device(version, ip):
    nps = [Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2]), Info(Ident(1, 1, 2), [NP.FNP2, NP.FNP3])]
    return core.Device(version, Mesh(ip, Ident(0, 0, 1), Ident(0, 0, 2), None, nps))


@pytest.fixture
def v1_device():
    return make_device(core.Tarn_v1, core.v1)


@pytest.fixture
def v2_device():
    return make_device(core.Selvo_v2, core.v2)


IDENTS = [Ident(1, 2, 1), Ident(1, 2, 2), Ident(3, 1, 1, 1), Ident(4, 4, 4)]


# The bound methods of the base class call the virtual hooks from C++, as the mapping engine
# does: on an object of a subclass they go through the override bridge (argument copies,
# result conversion), unlike a plain Python call of the subclass's method.
def engine_select(constraints, source_nps, num_nps, np_type):
    return core.MapConstraints.select_nps(constraints, source_nps, num_nps, np_type)


def engine_next_layer(constraints, name):
    return core.MapConstraints.next_layer(constraints, name)


@pytest.mark.parametrize(
    "version, ip, defaults",
    [
        (core.Tarn_v1, core.v1, (32, 256, 512)),
        (core.Tarn_v2, core.v1, (32, 256, 504)),
        (core.HwVersion(0xBC, 0x00, 0, 2), core.v1, (32, 256, 504)),
        (core.HwVersion(0xBD, 0x00, 0, 2), core.v1, (32, 256, 512)),
        (core.HwVersion(0xBC, 0x00, 0, 3), core.v1, (32, 256, 512)),
        (core.Gemel_v1, core.v1, (32, 256, 512)),
        (core.XVR2200_v1, core.v1, (32, 256, 512)),
        (core.Selvo_v2, core.v2, (64, 256, 512)),
        (core.Mote_Selvo, core.mote, (0, 0, 0)),
    ],
)
def test_defaults_per_version(version, ip, defaults):
    device = make_device(version, ip)
    c = core.MapConstraints(device)
    limits = (c.cnp_max_width_default, c.cnp_max_height_default, c.cnp_max_filters_default)
    assert limits == defaults
    assert (c.cnp_max_width, c.cnp_max_height, c.cnp_max_filters) == defaults
    assert c.hwpr_loopitself is False
    assert c.device is device


def test_keyword_device(v2_device):
    assert core.MapConstraints(device=v2_device).device is v2_device


def test_none_device():
    with pytest.raises(ValueError) as err:
        core.MapConstraints(None)
    assert str(err.value) == "Invalid device passed to MapConstraints."


@pytest.mark.parametrize("arg", [core.Selvo_v2, 5, "dev"])
def test_device_argument_type(arg):
    with pytest.raises(TypeError):
        core.MapConstraints(arg)


@pytest.mark.parametrize(
    "attr, word, default, value",
    [
        ("cnp_max_width", "width", 32, 33),
        ("cnp_max_height", "height", 256, 257),
        ("cnp_max_filters", "filters", 512, 4294967295),
    ],
)
def test_limit_above_default_keeps_old_value(v1_device, attr, word, default, value):
    c = core.MapConstraints(v1_device)
    setattr(c, attr, 7)
    with pytest.raises(ValueError) as err:
        setattr(c, attr, value)
    assert str(err.value) == f"CNP max {word} should be <= {default}. Receives {value}."
    assert getattr(c, attr) == 7
    assert getattr(c, attr + "_default") == default
    setattr(c, attr, default)
    assert getattr(c, attr) == default
    setattr(c, attr, 0)
    assert getattr(c, attr) == 0


@pytest.mark.parametrize("value", [-1, 2**32, 1.0, "3", None])
def test_limit_out_of_uint32_is_type_error(v2_device, value):
    c = core.MapConstraints(v2_device)
    with pytest.raises(TypeError):
        c.cnp_max_width = value
    assert c.cnp_max_width == 64


def test_width_16_on_v1(v1_device):
    c = core.MapConstraints(v1_device)
    c.cnp_max_width = 16
    assert c.cnp_max_width == 16
    assert c.cnp_max_width_default == 32


def test_mote_refuses_any_positive_limit():
    c = core.MapConstraints(make_device(core.Mote_Selvo, core.mote))
    with pytest.raises(ValueError, match=r"^CNP max height should be <= 0\. Receives 1\.$"):
        c.cnp_max_height = 1
    c.cnp_max_height = 0


@pytest.mark.parametrize("attr", ["cnp_max_width_default", "cnp_max_height_default",
                                  "cnp_max_filters_default", "device"])
def test_read_only_properties(v2_device, attr):
    c = core.MapConstraints(v2_device)
    with pytest.raises(AttributeError):
        setattr(c, attr, getattr(c, attr))


@pytest.mark.parametrize(
    "version, ip, accepted",
    [(core.Tarn_v1, core.v1, False), (core.Selvo_v2, core.v2, True),
     (core.Mote_Selvo, core.mote, False)],
)
def test_hwpr_loopitself(version, ip, accepted):
    c = core.MapConstraints(make_device(version, ip))
    if accepted:
        c.hwpr_loopitself = True
        assert c.hwpr_loopitself is True
    else:
        with pytest.raises(ValueError) as err:
            c.hwpr_loopitself = True
        assert str(err.value) == "HWPR NP loopitself feature is only supported for IP v2."
        assert c.hwpr_loopitself is False
    c.hwpr_loopitself = False
    assert c.hwpr_loopitself is False


@pytest.mark.parametrize("num, expected", [(0, []), (1, IDENTS[:1]), (3, IDENTS[:3]),
                                           (4, IDENTS), (9, IDENTS)])
def test_builtin_select_nps(v2_device, num, expected):
    c = core.MapConstraints(v2_device)
    chosen = c.select_nps(IDENTS, num, NP.CNP1)
    assert chosen == expected
    # Channels are part of the ident and survive the selection.
    if num >= 3:
        assert chosen[2].channel == 1
    # Copies: changing the answer leaves the argument alone.
    if chosen:
        chosen[0].col = 99
        assert IDENTS[0].col == 1


def test_builtin_select_nps_accepts_iterables(v2_device):
    c = core.MapConstraints(v2_device)
    assert c.select_nps(tuple(IDENTS), 2, NP.FNP3) == IDENTS[:2]
    assert c.select_nps((i for i in IDENTS), 2, NP.FNP3) == IDENTS[:2]
    assert c.select_nps([], 2, NP.CNP2) == []


@pytest.mark.parametrize(
    "args",
    [(IDENTS, -1, NP.CNP1), (IDENTS, 1, 2), ([1, 2], 1, NP.CNP1), ("ab", 1, NP.CNP1)],
)
def test_select_nps_argument_types(v2_device, args):
    with pytest.raises(TypeError):
        core.MapConstraints(v2_device).select_nps(*args)


def test_builtin_next_layer_does_nothing(v2_device):
    assert core.MapConstraints(v2_device).next_layer("conv") is None


class Recorder(core.MapConstraints):
    """Records the calls of both hooks; select_nps answers in reverse order."""

    def __init__(self, device):
        super().__init__(device)
        self.names = []
        self.selections = []

    def next_layer_handler(self, layer_name):
        self.names.append(layer_name)
        return "ignored"

    def select_nps(self, source_nps, num_nps, type):
        self.selections.append((list(source_nps), num_nps, type))
        return list(reversed(source_nps[:num_nps]))


def test_next_layer_reaches_the_override(v2_device):
    c = Recorder(v2_device)
    for name in ["in", "conv_1", "dense \u00e9"]:
        assert c.next_layer(name) is None
    assert c.names == ["in", "conv_1", "dense \u00e9"]


def test_next_layer_override_alone_is_not_a_hook(v2_device):
    calls = []

    class OnlyNextLayer(core.MapConstraints):
        def next_layer(self, layer_name):
            calls.append(layer_name)

    c = OnlyNextLayer(v2_device)
    assert engine_next_layer(c, "conv") is None
    assert calls == []
    c.next_layer("direct")
    assert calls == ["direct"]


def test_hook_called_from_native_code(v2_device):
    c = Recorder(v2_device)
    assert engine_next_layer(c, "a") is None
    assert engine_next_layer(c, "b") is None
    assert c.names == ["a", "b"]


def test_select_nps_reaches_the_override(v2_device):
    c = Recorder(v2_device)
    chosen = engine_select(c, IDENTS, 3, NP.FNP2)
    assert chosen == [IDENTS[2], IDENTS[1], IDENTS[0]]
    (source, num, np_type), = c.selections
    assert source == IDENTS and num == 3
    assert np_type == NP.FNP2
    assert isinstance(np_type, NP.Type)


def test_override_gets_a_fresh_copy_of_the_candidates(v2_device):
    seen = []

    class Mutating(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            seen.append(source_nps)
            source_nps[0].col = 77
            source_nps.clear()
            return []

    candidates = [Ident(1, 1, 1), Ident(2, 2, 2)]
    assert engine_select(Mutating(v2_device), candidates, 1, NP.CNP1) == []
    assert candidates == [Ident(1, 1, 1), Ident(2, 2, 2)]
    assert seen == [[]]


def test_short_override_result_is_returned_as_is(v2_device):
    class Short(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return source_nps[:1]

    # The trampoline does not compare the answer with what was asked for.
    assert engine_select(Short(v2_device), IDENTS, 3, NP.CNP1) == IDENTS[:1]


@pytest.mark.parametrize(
    "make",
    [
        tuple,
        lambda ids: (i for i in ids),
        lambda ids: dict(enumerate(ids)).values(),
        lambda ids: map(lambda i: i, ids),
    ],
)
def test_override_result_may_be_any_iterable(v2_device, make):
    class Iterable(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return make(source_nps[:1])

    assert engine_select(Iterable(v2_device), IDENTS, 1, NP.CNP1) == IDENTS[:1]


@pytest.mark.parametrize("answer", [[1, 2], "ab", None, Ident(1, 1, 1)])
def test_unconvertible_override_result_is_runtime_error(v2_device, answer):
    class Bad(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return answer

    with pytest.raises(RuntimeError):
        engine_select(Bad(v2_device), IDENTS, 1, NP.CNP1)


def test_super_select_nps_gives_the_builtin_selection(v2_device):
    class Super(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return super().select_nps(source_nps, num_nps, type) + [Ident(9, 9, 9)]

        def next_layer_handler(self, layer_name):
            self.last = layer_name
            return super().next_layer(layer_name)

    c = Super(v2_device)
    assert c.select_nps(IDENTS, 2, NP.CNP2) == IDENTS[:2] + [Ident(9, 9, 9)]
    assert engine_select(c, IDENTS, 2, NP.CNP2) == IDENTS[:2] + [Ident(9, 9, 9)]
    assert c.next_layer("x") is None
    assert c.last == "x"


def test_subclass_without_overrides_keeps_builtin_behaviour(v2_device):
    class Plain(core.MapConstraints):
        pass

    c = Plain(v2_device)
    assert c.select_nps(IDENTS, 2, NP.CNP1) == IDENTS[:2]
    assert engine_select(c, IDENTS, 2, NP.CNP1) == IDENTS[:2]
    assert c.next_layer("x") is None
    c.cnp_max_width = 8
    assert c.cnp_max_width == 8


class KeyErrorRaiser(core.MapConstraints):
    def next_layer_handler(self, layer_name):
        raise KeyError(layer_name)

    def select_nps(self, source_nps, num_nps, type):
        raise KeyError("select")


def test_override_exception_reaches_the_caller_unchanged(v2_device):
    c = KeyErrorRaiser(v2_device)
    with pytest.raises(KeyError) as err:
        c.next_layer("conv")
    assert err.value.args == ("conv",)
    with pytest.raises(KeyError) as err:
        engine_select(c, IDENTS, 1, NP.CNP1)
    assert err.value.args == ("select",)


def test_override_exception_object_is_the_same(v2_device):
    raised = ValueError("from the override")

    class Raiser(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            raise raised

    with pytest.raises(ValueError) as err:
        Raiser(v2_device).next_layer("a")
    assert err.value is raised


def test_subclass_must_call_base_init(v2_device):
    class NoInit(core.MapConstraints):
        def __init__(self, device):
            pass

    with pytest.raises(TypeError):
        NoInit(v2_device)


def test_subclass_construction_errors():
    with pytest.raises(ValueError, match="^Invalid device passed to MapConstraints.$"):
        Recorder(None)


@pytest.mark.parametrize(
    "member, doc",
    [
        ("__init__", "Obtain hardware constraints from a device."),
        ("cnp_max_width_default", "The maximal width to map a CNP."),
        ("cnp_max_height_default", "The maximal height to map a CNP."),
        ("cnp_max_filters_default", "The maximal filters number to map a CNP."),
        ("device", "Return the device used."),
        ("cnp_max_width", "The width to use to map a CNP."),
        ("cnp_max_height", "The height to use to map a CNP."),
        ("cnp_max_filters", "The filters number to use to map a CNP."),
        ("hwpr_loopitself", "The HWPR NP loopitself feature."),
        ("next_layer", "Callback on the layer mapping."),
        ("select_nps", "Selection from a predefined list of NPs."),
    ],
)
def test_docstrings(member, doc):
    assert doc in getattr(core.MapConstraints, member).__doc__


def test_members_in_registration_order():
    names = [n for n in vars(core.MapConstraints) if not n.startswith("_")]
    assert names == [
        "cnp_max_width_default", "cnp_max_height_default", "cnp_max_filters_default", "device",
        "cnp_max_width", "cnp_max_height", "cnp_max_filters", "hwpr_loopitself", "next_layer",
        "select_nps",
    ]
