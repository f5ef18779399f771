"""The NP submodule: Ident, Type, Info, NpSpace, MemoryInfo, Component, SramSize and Mesh."""

import gc
import sys

import pytest

import vorna.core as core

NP = core.NP
Ident, Info, Mesh, SramSize = NP.Ident, NP.Info, NP.Mesh, NP.SramSize


def mesh_v2(**overrides):
    args = dict(
        version=core.v2,
        dma_event=Ident(0, 0, 1),
        dma_conf=Ident(0, 0, 2),
        hrc=Info.hrc(False),
        nps=[Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2]), Info(Ident(1, 1, 2), [NP.FNP2, NP.FNP3], True)],
        skip_dmas=[Info(Ident(2, 0, 0, 1), [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE])],
    )
    args.update(overrides)
    return Mesh(**args)


# ---- submodule -------------------------------------------------------------------------------


def test_one_np_submodule_holds_both_halves():
    assert NP.__doc__ == "Neural Processor"
    assert NP.__name__ == "vorna.core.NP"
    assert sys.modules["vorna.core.NP"] is NP
    for name in ("SramSize", "SramSize_v1", "Mesh", "Ident", "Type", "Info", "NpSpace", "MemoryInfo", "Component"):
        assert hasattr(NP, name), name


# ---- Ident -----------------------------------------------------------------------------------


def test_ident_three_and_four_arguments():
    a = Ident(1, 2, 3)
    b = Ident(1, 2, 3, 4)
    assert (a.col, a.row, a.id, a.channel) == (1, 2, 3, 0)
    assert (b.col, b.row, b.id, b.channel) == (1, 2, 3, 4)
    # The channel is not shown, but it takes part in equality.
    assert str(a) == repr(a) == "(1, 2, 3)"
    assert str(b) == "(1, 2, 3)"
    assert a != b
    assert a == Ident(1, 2, 3, 0)
    assert str(Ident(255, 0, 10)) == "(255, 0, 10)"


def test_ident_fields_are_writable_bytes():
    a = Ident(0, 0, 0)
    a.col, a.row, a.id, a.channel = 255, 1, 2, 3
    assert a == Ident(255, 1, 2, 3)
    for value in (256, -1, 1.0, None):
        with pytest.raises(TypeError):
            a.col = value
    assert a.col == 255


@pytest.mark.parametrize("args", [(256, 0, 0), (-1, 0, 0), (1.0, 2, 3), (1, 2), (1, 2, 3, 4, 5), (1, 2, 3, 256)])
def test_ident_bad_arguments(args):
    with pytest.raises(TypeError):
        Ident(*args)
    with pytest.raises(TypeError):  # positional only
        Ident(col=1, row=2, id=3)


def test_ident_comparisons_with_other_types_and_hash():
    a = Ident(1, 2, 3)
    assert not (a == (1, 2, 3))
    assert a != (1, 2, 3)
    assert a != "(1, 2, 3)"
    with pytest.raises(TypeError):
        hash(a)


# ---- Info ------------------------------------------------------------------------------------


def test_info_types_are_ascending_without_duplicates():
    info = Info(Ident(1, 2, 3), [NP.CNP2, NP.CNP1, NP.CNP1])
    assert info.types == [NP.CNP1, NP.CNP2]
    assert info.has_lut is False
    assert info.ident == Ident(1, 2, 3)
    assert Info(ident=Ident(0, 0, 1), types=(), has_lut=True).has_lut is True
    # Registration order puts SKIP_DMA_STORE after TNP_R; the set is by value.
    assert Info(Ident(0, 0, 0), [NP.SKIP_DMA_LOAD, NP.TNP_R, NP.SKIP_DMA_STORE]).types == [
        NP.SKIP_DMA_STORE,
        NP.TNP_R,
        NP.SKIP_DMA_LOAD,
    ]


@pytest.mark.parametrize(
    "make",
    [
        lambda: {NP.FNP3, NP.HRC},
        lambda: (NP.HRC, NP.FNP3),
        lambda: (t for t in [NP.FNP3, NP.HRC, NP.FNP3]),
        lambda: {NP.FNP3: 1, NP.HRC: 2},
    ],
    ids=["set", "tuple", "generator", "dict-keys"],
)
def test_info_types_accepts_any_iterable(make):
    info = Info(Ident(1, 1, 1), make())
    assert info.types == [NP.HRC, NP.FNP3]
    info.types = []
    assert info.types == []
    info.types = make()
    assert info.types == [NP.HRC, NP.FNP3]


def test_info_types_failures_keep_the_old_set():
    info = Info(Ident(1, 1, 1), [NP.CNP1])
    with pytest.raises(TypeError):
        info.types = 5
    # An element of another type is a failed cast; None is refused by the binding layer.
    with pytest.raises(RuntimeError):
        info.types = [NP.FNP2, 1]
    with pytest.raises(RuntimeError):
        info.types = [NP.FNP2, core.v1]
    with pytest.raises(TypeError):
        info.types = [NP.FNP2, None]

    def failing():
        yield NP.FNP3
        raise KeyError("from the iterator")

    with pytest.raises(KeyError, match="from the iterator"):
        info.types = failing()
    assert info.types == [NP.CNP1]

    with pytest.raises(RuntimeError):
        Info(Ident(1, 1, 1), [NP.CNP1, "CNP2"])
    with pytest.raises(TypeError):
        Info(Ident(1, 1, 1), None)
    with pytest.raises(TypeError):
        Info(None, [NP.CNP1])


def test_info_hrc():
    assert Info.hrc(True) == Info(Ident(0, 0, 0, 0), [NP.HRC], True)
    assert Info.hrc(has_lut=False) == Info(Ident(0, 0, 0), [NP.HRC])
    assert Info.hrc(False) != Info.hrc(True)
    assert Info.hrc.__doc__.rstrip().endswith("Construct an vorna.NP.Info for HRC with optional LUT.")
    with pytest.raises(TypeError):
        Info.hrc()


def test_info_equality_fields():
    base = Info(Ident(1, 2, 3, 0), [NP.CNP1, NP.CNP2], False)
    assert base == Info(Ident(1, 2, 3), [NP.CNP2, NP.CNP1])
    assert base != Info(Ident(1, 2, 3, 1), [NP.CNP1, NP.CNP2])
    assert base != Info(Ident(1, 2, 3), [NP.CNP1])
    assert base != Info(Ident(1, 2, 3), [NP.CNP1, NP.FNP2])
    assert base != Info(Ident(1, 2, 3), [NP.CNP1, NP.CNP2], True)
    assert base != Ident(1, 2, 3)
    with pytest.raises(TypeError):
        hash(base)


def test_info_ident_is_a_view_that_keeps_the_record_alive():
    info = Info(Ident(1, 2, 3), [NP.CNP1])
    view = info.ident
    view.col = 7
    assert info.ident.col == 7
    # Assigning copies.
    replacement = Ident(9, 9, 9)
    info.ident = replacement
    replacement.col = 1
    assert info.ident == Ident(9, 9, 9)
    # The view outlives the name of its owner.
    view = Info(Ident(4, 5, 6), [NP.HRC]).ident
    gc.collect()
    assert view == Ident(4, 5, 6)


# ---- NpSpace, MemoryInfo, Component ------------------------------------------------------------


def test_np_space_defaults_and_identity_semantics():
    space = NP.NpSpace()
    assert (space.x, space.y, space.shape) == (0, 0, [])
    with pytest.raises(AttributeError):
        space.x = 1
    other = NP.NpSpace()
    assert space != other  # no __eq__: identity
    assert space == space
    hash(space)


def test_memory_info_defaults_and_equality():
    a, b = NP.MemoryInfo(), NP.MemoryInfo()
    assert a == b
    assert a != 0
    names = ["input_size", "weight_size", "external_size", "stsram_32b_size", "fsram_64b_size",
             "tsram_51b_size", "evsram_32b_size"]
    assert [getattr(a, n) for n in names] == [0] * 7
    with pytest.raises(AttributeError):
        a.input_size = 1
    with pytest.raises(TypeError):
        hash(a)
    assert NP.MemoryInfo.tsram_51b_size.__doc__ == "Tsram Mote memory size. (Number of 51-bits words)"


def test_component_cannot_be_created_from_python():
    with pytest.raises(TypeError):
        NP.Component()
    for name in ("ident", "type", "mem_info", "filters", "start_neuron", "spatial_partition", "single_buffer"):
        assert isinstance(getattr(NP.Component, name), property), name
    assert NP.Component.__hash__ is None  # __eq__ without a hash


# ---- SramSize --------------------------------------------------------------------------------

SRAM_FIELDS = ["input_bytes", "weight_bytes", "stsram_32b_size", "fsram_64b_size", "tsram_51b_size", "evsram_32b_size"]


def fields(s):
    return [getattr(s, n) for n in SRAM_FIELDS]


def test_sram_size_constructors():
    assert fields(SramSize()) == [0] * 6
    assert fields(SramSize(1, 2)) == [1, 2, 0, 0, 0, 0]
    assert fields(SramSize(1, 2, 3, 4)) == [0, 0, 1, 2, 3, 4]
    assert fields(SramSize(stsram_32b_size=5, fsram_64b_size=6, tsram_51b_size=7, evsram_32b_size=8)) == [0, 0, 5, 6, 7, 8]
    with pytest.raises(TypeError):
        SramSize(1, 2, 3)
    with pytest.raises(TypeError):
        SramSize(input_bytes=1)


def test_sram_size_signed_constructor_unsigned_fields():
    assert SramSize(-1, 0).input_bytes == 4294967295
    assert SramSize(0, -2147483648).weight_bytes == 2147483648
    assert SramSize(-1, -1, -1, -1).evsram_32b_size == 4294967295
    with pytest.raises(TypeError):
        SramSize(2**31, 0)
    s = SramSize()
    s.input_bytes = 4294967295
    assert s.input_bytes == 4294967295
    for bad in (-1, 2**32, 1.5):
        with pytest.raises(TypeError):
            s.weight_bytes = bad
    assert s.weight_bytes == 0


@pytest.mark.parametrize(
    "name, values",
    [
        ("SramSize_v1", [43008, 44800, 0, 0, 0, 0]),
        ("SramSize_v2", [65536, 51200, 0, 0, 0, 0]),
        ("SramSize_mote", [0, 0, 448, 8192, 892, 256]),
    ],
)
def test_sram_size_presets(name, values):
    assert fields(getattr(NP, name)) == values


def test_sram_size_equality():
    assert SramSize(input_bytes=43008, weight_bytes=44800) == NP.SramSize_v1
    for name in SRAM_FIELDS:
        s = SramSize()
        setattr(s, name, 1)
        assert s != SramSize(), name
    assert SramSize() != 0
    with pytest.raises(TypeError):
        hash(SramSize())


def test_changing_a_preset_object_leaves_the_preset_sizes_alone():
    preset = NP.SramSize_v2
    old = preset.input_bytes
    try:
        preset.input_bytes = 1
        assert mesh_v2().np_sram_size == SramSize(65536, 51200)
    finally:
        preset.input_bytes = old


# ---- Mesh ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "version, preset",
    [(core.v1, "SramSize_v1"), (core.v2, "SramSize_v2"), (core.mote, "SramSize_mote")],
)
def test_mesh_gets_the_preset_of_its_ip_version(version, preset):
    mesh = Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, [])
    assert mesh.np_sram_size == getattr(NP, preset)
    assert mesh.hrc is None
    assert mesh.nps == [] and mesh.skip_dmas == []


@pytest.mark.parametrize("version", [core.none, core.IpVersion(7)])
def test_mesh_with_invalid_ip_version(version):
    with pytest.raises(RuntimeError, match=r"^The mesh should have a valid IP version\.$"):
        Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, [])
    with pytest.raises(RuntimeError, match=r"^The mesh should have a valid IP version\.$"):
        Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, [], [], SramSize())


def test_mesh_fields():
    mesh = mesh_v2()
    assert mesh.dma_event == Ident(0, 0, 1)
    assert mesh.dma_conf == Ident(0, 0, 2)
    assert mesh.hrc == Info.hrc(False)
    assert mesh.nps == [Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2]), Info(Ident(1, 1, 2), [NP.FNP2, NP.FNP3], True)]
    assert mesh.skip_dmas == [Info(Ident(2, 0, 0, 1), [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE])]
    assert not hasattr(mesh, "ip_version")


def test_mesh_seven_argument_form_keeps_the_given_sizes():
    sizes = SramSize(1, 2, 3, 4)
    for version in (core.v1, core.v2, core.mote):
        mesh = Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, [], [], sizes)
        assert mesh.np_sram_size == sizes
    mesh = Mesh(core.v2, Ident(0, 0, 1), Ident(0, 0, 2), has_hrc=None, nps=[], np_sram_size=sizes)
    assert mesh.np_sram_size == sizes and mesh.hrc is None
    mesh = Mesh(core.v2, Ident(0, 0, 1), Ident(0, 0, 2), has_hrc=Info.hrc(True), nps=[], np_sram_size=sizes)
    assert mesh.hrc == Info.hrc(True)
    # The argument is copied.
    sizes.input_bytes = 99
    assert mesh.np_sram_size == SramSize(1, 2, 3, 4)


def test_mesh_overload_choice():
    a, b = Ident(0, 0, 1), Ident(0, 0, 2)
    assert Mesh(core.v2, a, b, hrc=None, nps=[]).np_sram_size == NP.SramSize_v2
    with pytest.raises(TypeError):
        Mesh(core.v2, a, b, has_hrc=None, nps=[])  # np_sram_size has no default
    with pytest.raises(TypeError):
        Mesh(core.v2, a, b, hrc=None, nps=[], np_sram_size=SramSize())
    with pytest.raises(TypeError):
        Mesh(core.v2, a, b, None)


@pytest.mark.parametrize(
    "args",
    [
        (core.v2, None, Ident(0, 0, 2), None, []),
        (core.v2, Ident(0, 0, 1), Ident(0, 0, 2), None, [None]),
        (core.v2, Ident(0, 0, 1), Ident(0, 0, 2), None, [Ident(1, 1, 1)]),
        (core.v2, Ident(0, 0, 1), Ident(0, 0, 2), Ident(0, 0, 0), []),
        (core.Selvo_v2, Ident(0, 0, 1), Ident(0, 0, 2), None, []),
        (core.v2, Ident(0, 0, 1), Ident(0, 0, 2), None, [], [], (1, 2)),
    ],
)
def test_mesh_wrong_argument_types(args):
    with pytest.raises(TypeError):
        Mesh(*args)


def test_mesh_accepts_any_iterable_of_infos():
    infos = [Info(Ident(1, 1, i), [NP.CNP1]) for i in range(3)]
    mesh = mesh_v2(nps=(i for i in infos), skip_dmas=tuple(infos[:1]))
    assert mesh.nps == infos
    assert mesh.skip_dmas == infos[:1]


def test_mesh_equality_rules():
    assert mesh_v2() == mesh_v2()
    assert mesh_v2() != "mesh"
    with pytest.raises(TypeError):
        hash(mesh_v2())
    nps = mesh_v2().nps
    # NP order matters.
    assert mesh_v2(nps=list(reversed(nps))) != mesh_v2()
    # has_lut of one skip-DMA record.
    skip = mesh_v2().skip_dmas
    skip[0].has_lut = True
    assert mesh_v2(skip_dmas=skip) != mesh_v2()
    # HRC present versus absent, and its look-up table.
    assert mesh_v2(hrc=None) != mesh_v2()
    assert mesh_v2(hrc=Info.hrc(True)) != mesh_v2()
    assert mesh_v2(dma_event=Ident(0, 0, 1, 1)) != mesh_v2()
    assert mesh_v2(dma_conf=Ident(0, 0, 3)) != mesh_v2()
    assert mesh_v2(version=core.v1) != mesh_v2()
    different_sizes = mesh_v2()
    different_sizes.np_sram_size.evsram_32b_size = 1
    assert different_sizes != mesh_v2()


def test_mesh_views_write_through_and_keep_the_mesh_alive():
    mesh = mesh_v2()
    mesh.np_sram_size.input_bytes = 5
    assert mesh.np_sram_size.input_bytes == 5
    mesh.dma_event.channel = 3
    assert mesh.dma_event == Ident(0, 0, 1, 3)
    mesh.dma_conf.id = 9
    assert mesh.dma_conf == Ident(0, 0, 9)

    sizes = mesh_v2().np_sram_size
    event = mesh_v2().dma_event
    gc.collect()
    assert sizes == NP.SramSize_v2
    assert event == Ident(0, 0, 1)


def test_mesh_assignments_copy():
    mesh = mesh_v2()
    sizes = SramSize(7, 8)
    mesh.np_sram_size = sizes
    sizes.input_bytes = 0
    assert mesh.np_sram_size == SramSize(7, 8)
    ident = Ident(5, 5, 5)
    mesh.dma_event = ident
    ident.col = 0
    assert mesh.dma_event == Ident(5, 5, 5)
    with pytest.raises(TypeError):
        mesh.dma_conf = None
    with pytest.raises(TypeError):
        mesh.np_sram_size = None


def test_mesh_lists_are_new_lists_of_copies():
    mesh = mesh_v2()
    nps = mesh.nps
    assert nps is not mesh.nps
    nps.append(Info(Ident(3, 3, 3), [NP.CNP2]))
    assert len(mesh.nps) == 2
    mesh.nps = nps
    assert len(mesh.nps) == 3 and mesh.nps[2] == Info(Ident(3, 3, 3), [NP.CNP2])
    # Records read from a mesh are copies: changing one does not change the mesh.
    record = mesh.nps[0]
    record.has_lut = True
    record.ident.col = 42
    assert mesh.nps[0] == Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2])
    mesh.skip_dmas = []
    assert mesh.skip_dmas == []
    with pytest.raises(TypeError):
        mesh.nps = [None]
    with pytest.raises(TypeError):
        mesh.nps = 5
    assert len(mesh.nps) == 3


def test_mesh_hrc_set_and_remove():
    mesh = mesh_v2(hrc=None)
    assert mesh.hrc is None
    hrc = Info.hrc(True)
    mesh.hrc = hrc
    hrc.has_lut = False
    assert mesh.hrc == Info.hrc(True)
    copy = mesh.hrc
    mesh.hrc = None
    assert mesh.hrc is None
    assert copy == Info.hrc(True)  # a copy stays valid after the HRC is removed
    with pytest.raises(TypeError):
        mesh.hrc = Ident(0, 0, 0)


def test_docstrings():
    assert NP.SramSize.input_bytes.__doc__ == (
        "Size of shared input packet SRAM available inside the mesh for each two NPs. (Bytes)."
    )
    assert NP.Mesh.hrc.__doc__ == "HRC if installed."
    assert NP.Mesh.nps.__doc__ == "Neural processors"
    assert NP.Info.has_lut.__doc__ == "Indicate whether the NP has a lookup table."
    assert NP.Ident.channel.__doc__ == "Component channel"
    assert "Represents the layout of a mesh of Neural Processors." in NP.Mesh.__doc__
