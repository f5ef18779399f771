"""The NP submodule: Ident, Info, NpSpace, MemoryInfo, Component, SramSize and Mesh."""

import gc

import pytest

import vorna.core as core
from builders import conv, layer, mapped, residual_model, v2_mesh

NP = core.NP
Ident, Info, Mesh, SramSize = NP.Ident, NP.Info, NP.Mesh, NP.SramSize
SRAM_FIELDS = ["input_bytes", "weight_bytes", "stsram_32b_size", "fsram_64b_size",
               "tsram_51b_size", "evsram_32b_size"]


def mesh_v2(**overrides):
    args = dict(
        version=core.v2, dma_event=Ident(0, 0, 1), dma_conf=Ident(0, 0, 2), hrc=Info.hrc(False),
        nps=[Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2]), Info(Ident(1, 1, 2), [NP.FNP2, NP.FNP3], True)],
        skip_dmas=[Info(Ident(2, 0, 0, 1), [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE])],
    )
    args.update(overrides)
    return Mesh(**args)


def fields(s):
    return [getattr(s, n) for n in SRAM_FIELDS]


def test_ident():
    a, b = Ident(1, 2, 3), Ident(1, 2, 3, 4)
    assert (a.col, a.row, a.id, a.channel) == (1, 2, 3, 0)
    # The channel is not shown, but it takes part in equality.
    assert str(a) == repr(a) == str(b) == "(1, 2, 3)"
    assert a != b and a == Ident(1, 2, 3, 0)
    for args in [(256, 0, 0), (-1, 0, 0), (1, 2, 3, 256)]:
        with pytest.raises(TypeError):
            Ident(*args)


def test_info_types_are_a_set_in_value_order():
    info = Info(Ident(1, 2, 3), [NP.CNP2, NP.CNP1, NP.CNP1])
    assert info.types == [NP.CNP1, NP.CNP2] and info.has_lut is False
    assert Info(Ident(0, 0, 0), [NP.SKIP_DMA_LOAD, NP.TNP_R, NP.SKIP_DMA_STORE]).types == [
        NP.SKIP_DMA_STORE, NP.TNP_R, NP.SKIP_DMA_LOAD]
    for make in ({NP.FNP3, NP.HRC}, (t for t in [NP.FNP3, NP.HRC, NP.FNP3]), {NP.FNP3: 1, NP.HRC: 2}):
        info.types = make
        assert info.types == [NP.HRC, NP.FNP3]
    # A failed assignment keeps the old set.

    def failing():
        yield NP.FNP3
        raise KeyError("from the iterator")

    for bad, error in [(5, TypeError), ([NP.FNP2, 1], RuntimeError), ([NP.FNP2, core.v1], RuntimeError),
                       ([NP.FNP2, None], TypeError), (failing(), KeyError)]:
        with pytest.raises(error):
            info.types = bad
    assert info.types == [NP.HRC, NP.FNP3]


def test_info_equality_hrc_and_ident_view():
    base = Info(Ident(1, 2, 3, 0), [NP.CNP1, NP.CNP2], False)
    assert base == Info(Ident(1, 2, 3), [NP.CNP2, NP.CNP1])
    assert Info.hrc(has_lut=False) == Info(Ident(0, 0, 0), [NP.HRC]) != Info.hrc(True)
    view, replacement = base.ident, Ident(9, 9, 9)
    view.col = 7
    assert base.ident.col == 7
    base.ident = replacement
    replacement.col = 1
    assert base.ident == Ident(9, 9, 9)
    view = Info(Ident(4, 5, 6), [NP.HRC]).ident
    gc.collect()
    assert view == Ident(4, 5, 6)


def test_sram_size_constructors_and_fields():
    assert fields(SramSize()) == [0] * 6
    assert fields(SramSize(1, 2)) == [1, 2, 0, 0, 0, 0]
    assert fields(SramSize(1, 2, 3, 4)) == [0, 0, 1, 2, 3, 4]
    with pytest.raises(TypeError):
        SramSize(2**31, 0)
    # Signed constructor arguments, unsigned fields.
    assert SramSize(-1, 0).input_bytes == 4294967295
    assert SramSize(0, -2147483648).weight_bytes == 2147483648


@pytest.mark.parametrize("version, name, values", [
    (core.v1, "SramSize_v1", [43008, 44800, 0, 0, 0, 0]),
    (core.v2, "SramSize_v2", [65536, 51200, 0, 0, 0, 0]),
    (core.mote, "SramSize_mote", [0, 0, 448, 8192, 892, 256]),
])
def test_sram_size_presets_and_the_mesh_of_each_version(version, name, values):
    assert fields(getattr(NP, name)) == values
    mesh = Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, [])
    assert fields(mesh.np_sram_size) == values
    # Changing the preset object leaves the preset sizes alone.
    preset = getattr(NP, name)
    preset.input_bytes = 1
    assert fields(Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, []).np_sram_size) == values


@pytest.mark.parametrize("version", [core.none, core.IpVersion(7)])
def test_mesh_with_invalid_ip_version(version):
    for extra in ((), ([], SramSize())):
        with pytest.raises(RuntimeError, match=r"^The mesh should have a valid IP version\.$"):
            Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, [], *extra)


def test_mesh_fields_and_seven_argument_form():
    mesh = mesh_v2()
    assert mesh.nps[1] == Info(Ident(1, 1, 2), [NP.FNP2, NP.FNP3], True)
    assert mesh.skip_dmas == [Info(Ident(2, 0, 0, 1), [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE])]
    sizes = SramSize(1, 2, 3, 4)
    mesh = Mesh(core.v2, Ident(0, 0, 1), Ident(0, 0, 2), has_hrc=Info.hrc(True), nps=[],
                np_sram_size=sizes)
    sizes.input_bytes = 99  # copied
    assert mesh.np_sram_size == SramSize(1, 2, 3, 4) and mesh.hrc == Info.hrc(True)
    a, b = Ident(0, 0, 1), Ident(0, 0, 2)
    for args in [(core.v2, a, b, None, [None]), (core.v2, a, b, Ident(0, 0, 0), []),
                 (core.v2, a, b, None, [], [], (1, 2))]:
        with pytest.raises(TypeError):
            Mesh(*args)


def test_mesh_equality_rules():
    assert mesh_v2() == mesh_v2() and mesh_v2() != "mesh"
    skip = mesh_v2().skip_dmas
    skip[0].has_lut = True
    for overrides in [dict(nps=list(reversed(mesh_v2().nps))), dict(skip_dmas=skip),
                      dict(hrc=Info.hrc(True)), dict(dma_event=Ident(0, 0, 1, 1))]:
        assert mesh_v2(**overrides) != mesh_v2(), overrides


def test_mesh_views_write_through_and_assignments_copy():
    mesh = mesh_v2()
    mesh.np_sram_size.input_bytes = 5
    mesh.dma_event.channel = 3
    assert mesh.np_sram_size.input_bytes == 5 and mesh.dma_event == Ident(0, 0, 1, 3)
    event = mesh_v2().dma_event
    gc.collect()
    assert event == Ident(0, 0, 1)
    ident = Ident(5, 5, 5)
    mesh.dma_event = ident
    ident.col = 0
    assert mesh.dma_event == Ident(5, 5, 5)
    nps = mesh.nps
    nps.append(Info(Ident(3, 3, 3), [NP.CNP2]))
    assert len(mesh.nps) == 2
    mesh.nps = (i for i in nps)
    record = mesh.nps[0]
    record.ident.col = 42
    assert len(mesh.nps) == 3 and mesh.nps[0] == Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2])
    with pytest.raises(TypeError):
        mesh.nps = [None]
    assert len(mesh.nps) == 3
    hrc = Info.hrc(True)
    mesh.hrc = hrc
    hrc.has_lut = False
    copy = mesh.hrc
    mesh.hrc = None
    assert mesh.hrc is None and copy == Info.hrc(True)


def test_np_space_and_memory_info_built_from_python():
    space = NP.NpSpace()
    assert (space.x, space.y, space.shape) == (0, 0, [])
    with pytest.raises(AttributeError):
        space.x = 1
    assert space != NP.NpSpace() and space == space  # no __eq__: identity, and a hash
    hash(space)
    a, b = NP.MemoryInfo(), NP.MemoryInfo()
    assert [getattr(a, n) for n in MEMORY_FIELDS] == [0] * 7
    assert a == b and not (a != b) and a != 0
    with pytest.raises(AttributeError):
        a.input_size = 1
    with pytest.raises(TypeError):
        hash(a)


MEMORY_FIELDS = ["input_size", "weight_size", "external_size", "stsram_32b_size",
                 "fsram_64b_size", "tsram_51b_size", "evsram_32b_size"]


def test_memory_info_equality_compares_all_seven_sizes():
    # Sizes of mapped components: NP input and weights (pairs that differ in one of them only),
    # a skip-DMA store's external memory, the four mote memories of a TNP-R, and the zeros of a
    # new object.
    m = mapped(residual_model())
    infos = [NP.MemoryInfo()]
    for lyr in m.layers[1:]:
        infos += [c.mem_info for c in lyr.mapping.nps + lyr.mapping.skipdma_stores
                  + lyr.mapping.skipdma_loads]
    wide = core.Model()  # the input of c1, more weights
    wide.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=8))
    wide.add(conv("wide", 16))
    infos.append(mapped(wide).layers[1].mapping.nps[0].mem_info)
    mote = core.Model()
    mote.add(layer(core.InputData, "in", input_width=1, input_height=16, input_channels=32))
    mote.add(layer(core.StatefulRecurrent, "sr", stateful_channels=64, output_channels=16))
    device = core.Device(core.Mote_Selvo, Mesh(core.mote, Ident(1, 1, 0), Ident(1, 1, 1), None,
                                               [Info(Ident(0, 0, 0), [NP.TNP_R])]))
    infos.append(mapped(mote, device).layers[1].mapping.nps[0].mem_info)
    values = [tuple(getattr(i, n) for n in MEMORY_FIELDS) for i in infos]
    # Every size is non-zero somewhere, so no field can be left out of the comparison.
    assert all(any(v[k] for v in values) for k in range(7)), values
    for i, x in enumerate(infos):
        for j, y in enumerate(infos):
            assert (x == y) == (values[i] == values[j]), (values[i], values[j])
            assert (x != y) == (values[i] != values[j])


def test_mesh_skip_dmas_setter():
    mesh = mesh_v2()
    records = [Info(Ident(2, 0, 0, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]),
               Info(Ident(3, 0, 1, 2), [NP.SKIP_DMA_LOAD], True)]
    mesh.skip_dmas = (r for r in records)
    assert mesh.skip_dmas == records and mesh != mesh_v2()
    records[0].ident.col = 9  # the records were copied
    assert mesh.skip_dmas[0].ident == Ident(2, 0, 0, 4)
    for bad in ([None], 5, [Ident(1, 1, 1)]):
        with pytest.raises(TypeError):
            mesh.skip_dmas = bad
    assert len(mesh.skip_dmas) == 2
    mesh.skip_dmas = []
    assert mesh.skip_dmas == []
    # A device built from a mesh whose skip DMA was set afterwards stores and loads through it.
    plain = v2_mesh(skip_channels=0)
    plain.skip_dmas = [Info(Ident(1, 1, 3, 4), [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE])]
    m = mapped(residual_model(), core.Device(core.Selvo_v2, plain))
    store, = m.get_layer("c1").mapping.skipdma_stores
    load, = m.get_layer("c3").mapping.skipdma_loads
    assert store.ident == load.ident and (store.ident.col, store.ident.row, store.ident.id) == (1, 1, 3)
