"""Enum behaviour of the module's Python enumerations."""

import pickle

import pytest

import vorna.core as core

NP = core.NP


# (enum type, scope it is exported into, members in registration order with values)
ENUMS = [
    (core.BackendType, core, [("Software", 0), ("Hardware", 1), ("Hybrid", 2)]),
    (core.IpVersion, core, [("none", 0), ("v1", 1), ("v2", 2), ("mote", 3)]),
    (
        NP.Type,
        NP,
        [
            ("HRC", 1),
            ("CNP1", 2),
            ("CNP2", 3),
            ("FNP2", 4),
            ("FNP3", 5),
            ("TNP_B", 7),
            ("TNP_R", 8),
            ("SKIP_DMA_STORE", 6),
            ("SKIP_DMA_LOAD", 9),
        ],
    ),
]


@pytest.mark.parametrize("enum, scope, members", ENUMS, ids=lambda x: getattr(x, "__name__", ""))
def test_members_order_values_and_export(enum, scope, members):
    assert [(name, int(m)) for name, m in enum.__members__.items()] == members
    for name, value in members:
        member = getattr(enum, name)
        assert getattr(scope, name) == member
        assert member.name == name
        assert member.value == value
        assert int(member) == value
        assert hash(member) == value
        assert enum(value) == member
        assert str(member) == f"{enum.__name__}.{name}"
        assert repr(member) == f"<{enum.__name__}.{name}: {value}>"


@pytest.mark.parametrize("enum", [e for e, _, _ in ENUMS], ids=lambda e: e.__name__)
def test_any_int_is_accepted_and_unnamed_values_show_question_marks(enum):
    odd = enum(99)
    assert odd.value == 99
    assert odd.name == "???"
    assert str(odd) == f"{enum.__name__}.???"
    assert repr(odd) == f"<{enum.__name__}.???: 99>"
    assert enum(value=1) == enum(1)


def test_hw_type_values_without_member():
    # None (0) and DMA (10) of the hardware type have no Python member.
    assert NP.Type(0).name == "???"
    assert NP.Type(10).name == "???"
    assert "None" not in NP.Type.__members__ and "DMA" not in NP.Type.__members__


def test_equality_is_by_type_and_value():
    assert core.IpVersion(2) == core.v2
    assert core.v2 != 2
    assert not (core.v2 == 2)
    assert core.v2 != core.v1
    # Same integer, different enum type.
    assert core.v1 != core.Hardware
    assert core.Hardware != NP.HRC
    assert core.mote == core.IpVersion.mote
    assert ["a", "b", "c", "d"][core.v2] == "c"  # usable as an index


@pytest.mark.parametrize("a, b", [(core.v1, core.v2), (core.Software, core.Hybrid), (NP.HRC, NP.CNP1)])
def test_no_ordering_or_arithmetic(a, b):
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        a <= b
    with pytest.raises(TypeError):
        a + b
    with pytest.raises(TypeError):
        a | b


@pytest.mark.parametrize("member", [core.Hybrid, core.mote, core.none, NP.SKIP_DMA_LOAD, core.IpVersion(9)])
def test_pickle_round_trip(member):
    again = pickle.loads(pickle.dumps(member))
    assert again == member
    assert type(again) is type(member)
    assert member.__getstate__() == int(member)


def test_docstrings():
    assert core.IpVersion.__doc__ == "The reference Vorna IP version\n\nMembers:\n\n  none\n\n  v1\n\n  v2\n\n  mote"
    assert core.BackendType.__doc__ == "Members:\n\n  Software\n\n  Hardware\n\n  Hybrid"
    doc = NP.Type.__doc__
    assert doc.startswith("Harwdare Component type\n\nMembers:\n\n  HRC : High Resolution Convolution\n\n")
    assert doc.endswith("SKIP_DMA_STORE : Skip DMA store engine\n\n  SKIP_DMA_LOAD : Skip DMA load engine")


def test_plain_ints_are_refused_where_an_enum_is_expected():
    ident = NP.Ident(0, 0, 1)
    with pytest.raises(TypeError):
        NP.Mesh(2, ident, ident, None, [])
    with pytest.raises(TypeError):
        core.IpVersion("v2")


# The layer enums are created by the enum helpers and filled by the LayerParams registration.


def test_layer_type_members():
    members = list(core.LayerType.__members__.items())
    names = [n for n, _ in members]
    assert names.index("StatefulRecurrent") == names.index("Dense1D") - 1
    assert core.LayerType(26).name == "StatefulRecurrent"
    assert core.LayerType(25).name == "Dense1D"
    assert core.LayerType(7).name == "???"
    assert core.Conv2D == core.LayerType.Conv2D
    assert core.LayerType.__doc__.startswith("The layer type\n\nMembers:")


def test_padding_members():
    assert [(n, int(m)) for n, m in core.Padding.__members__.items()] == [
        ("Valid", 0),
        ("Same", 1),
        ("SameUpper", 2),
    ]
    assert int(core.SameUpper) == 2
    assert "  Valid : No padding" in core.Padding.__doc__
