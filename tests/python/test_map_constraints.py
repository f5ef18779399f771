"""MapConstraints: defaults, limit setters, and Python hooks called from C++."""

import pytest

import vorna.core as core
from builders import Ident, NP, small_device

IDENTS = [Ident(1, 2, 1), Ident(1, 2, 2), Ident(3, 1, 1, 1), Ident(4, 4, 4)]


@pytest.fixture
def v2_device():
    return small_device()


# The base class's bound methods call the virtual hooks from C++, as the mapping engine does: on
# a subclass they go through the override bridge (argument copies, result conversion).
def engine_select(constraints, source_nps, num_nps, np_type):
    return core.MapConstraints.select_nps(constraints, source_nps, num_nps, np_type)


@pytest.mark.parametrize("version, ip, defaults", [
    (core.Tarn_v1, core.v1, (32, 256, 512)), (core.Tarn_v2, core.v1, (32, 256, 504)),
    (core.HwVersion(0xBD, 0x00, 0, 2), core.v1, (32, 256, 512)),
    (core.Selvo_v2, core.v2, (64, 256, 512)), (core.Mote_Selvo, core.mote, (0, 0, 0))])
def test_defaults_per_version(version, ip, defaults):
    device = small_device(version, ip)
    c = core.MapConstraints(device=device)
    assert (c.cnp_max_width_default, c.cnp_max_height_default, c.cnp_max_filters_default) == defaults
    assert (c.cnp_max_width, c.cnp_max_height, c.cnp_max_filters) == defaults
    assert c.hwpr_loopitself is False and c.device is device


def test_device_argument():
    with pytest.raises(TypeError):
        core.MapConstraints(core.Selvo_v2)
    with pytest.raises(ValueError, match="^Invalid device passed to MapConstraints.$"):
        core.MapConstraints(None)


@pytest.mark.parametrize("attr, word, default, value", [
    ("cnp_max_width", "width", 32, 33), ("cnp_max_height", "height", 256, 257),
    ("cnp_max_filters", "filters", 512, 4294967295)])
def test_limit_above_default_keeps_old_value(attr, word, default, value):
    c = core.MapConstraints(small_device(core.Tarn_v1, core.v1))
    setattr(c, attr, 7)
    with pytest.raises(ValueError) as err:
        setattr(c, attr, value)
    assert str(err.value) == f"CNP max {word} should be <= {default}. Receives {value}."
    assert getattr(c, attr) == 7
    for ok in (default, 0):
        setattr(c, attr, ok)
        assert getattr(c, attr) == ok


def test_mote_refuses_any_positive_limit():
    c = core.MapConstraints(small_device(core.Mote_Selvo, core.mote))
    with pytest.raises(ValueError, match=r"^CNP max height should be <= 0\. Receives 1\.$"):
        c.cnp_max_height = 1


@pytest.mark.parametrize("version, ip, accepted",
                         [(core.Tarn_v1, core.v1, False), (core.Selvo_v2, core.v2, True),
                          (core.Mote_Selvo, core.mote, False)])
def test_hwpr_loopitself(version, ip, accepted):
    c = core.MapConstraints(small_device(version, ip))
    if accepted:
        c.hwpr_loopitself = True
        assert c.hwpr_loopitself is True
    else:
        with pytest.raises(ValueError, match="^HWPR NP loopitself feature is only supported for IP v2.$"):
            c.hwpr_loopitself = True
        assert c.hwpr_loopitself is False


@pytest.mark.parametrize("num, expected", [(0, []), (3, IDENTS[:3]), (9, IDENTS)])
def test_builtin_select_nps(v2_device, num, expected):
    c = core.MapConstraints(v2_device)
    chosen = c.select_nps(IDENTS, num, NP.CNP1)
    assert chosen == expected
    assert c.select_nps((i for i in IDENTS), num, NP.FNP3) == expected
    if chosen:  # copies: changing the answer leaves the argument alone
        chosen[0].col = 99
        assert IDENTS[0].col == 1
    assert c.next_layer("conv") is None


def test_overrides_are_reached_from_native_code(v2_device):
    seen = []

    class Recorder(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            seen.append(layer_name)
            return "ignored"

        def select_nps(self, source_nps, num_nps, type):
            seen.append((num_nps, type))
            source_nps[0].col = 77  # a fresh copy: the caller's candidates stay
            return list(reversed(source_nps[:num_nps]))

    c = Recorder(v2_device)
    assert core.MapConstraints.next_layer(c, "dense \u00e9") is None
    candidates = [Ident(i, 1, 1) for i in range(4)]
    assert [i.col for i in engine_select(c, candidates, 3, NP.FNP2)] == [2, 1, 77]
    assert candidates[0] == Ident(0, 1, 1)
    assert seen == ["dense \u00e9", (3, NP.FNP2)] and type(seen[1][1]) is NP.Type


@pytest.mark.parametrize("make", [tuple, lambda ids: (i for i in ids[:1])])
def test_override_result_may_be_any_iterable_and_short(v2_device, make):
    class Iterable(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return make(source_nps)

    assert engine_select(Iterable(v2_device), IDENTS, 3, NP.CNP1)[:1] == IDENTS[:1]
