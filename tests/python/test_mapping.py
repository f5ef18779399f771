"""Models mapped onto virtual v2 devices, read back through the Python API, and mapping hooks."""

import gc
import struct

import pytest

import vorna.core as core
from builders import (Ident, Info, Mesh, NP, assert_unmapped, chain_model, conv, layer, mapped,
                      residual_model, v2_device)


def test_map_without_constraints_leaves_the_model_unmapped():
    m, device = chain_model(), v2_device()
    for call in (lambda: m._map(device, False, None), lambda: m._map(device)):
        with pytest.raises(RuntimeError, match=r"^Map constraints must be specified\.$"):
            call()
    assert_unmapped(m)


def test_chain_maps_into_one_hardware_sequence_and_its_program():
    device = v2_device()
    m = chain_model()
    assert m._map(device, False, core.MapConstraints(device)) is None
    assert m.device is device and m.device.desc == "VirtualDevice/BC.A2.001.000"
    assert m.ip_version == core.v2
    seq, = m.sequences
    assert (seq.backend, seq.name) == (core.Hardware, "HW/input-dense")
    p, = seq.passes
    assert len(p.layers) == 4 and all(a is b for a, b in zip(p.layers, m.layers))
    program = seq.program
    assert isinstance(program, bytes) and seq.program == program and seq.program is not program
    parts = seq.program_parts
    info, data = parts.program_info, parts.program_data
    assert info + data == program
    assert struct.unpack_from("<I", info)[0] == len(info) - 4
    assert struct.unpack_from("<I", data)[0] == len(data) - 4
    assert seq.program_parts is not parts and seq.program_parts.program_info == info
    # Sequences, passes and parts outlive the model.
    passes, lone_parts = seq.passes, mapped(chain_model()).sequences[0].program_parts
    names = [l.name for l in m.layers]
    del m, seq
    gc.collect()
    assert parts.program_info + parts.program_data == program
    assert lone_parts.program_info + lone_parts.program_data == program
    assert [l.name for l in passes[0].layers] == names


def test_layer_mappings_components_and_mapping_again():
    device = v2_device()
    m = mapped(chain_model(), device)
    inp, conv_, dw, dense = m.layers
    assert inp.mapping.nps == inp.mapping.skipdma_loads == inp.mapping.skipdma_stores == []
    for l, kinds in [(conv_, (NP.CNP1, NP.CNP2)), (dw, (NP.CNP1, NP.CNP2)),
                     (dense, (NP.FNP2, NP.FNP3))]:
        n, = l.mapping.nps
        assert n.type in kinds
        assert l.mapping.skipdma_loads == [] and l.mapping.skipdma_stores == []
    c = conv_.mapping.nps[0]
    assert (c.filters, c.start_neuron) == (16, 0)
    assert (c.spatial_partition.x, c.spatial_partition.y, c.spatial_partition.shape) == (0, 0, [16, 16, 3])
    assert dense.mapping.nps[0].filters == 10
    idents = [l.mapping.nps[0].ident for l in (conv_, dw, dense)]
    assert all(a != b for i, a in enumerate(idents) for b in idents[i + 1:])
    assert sum(m.component_count.values()) == 3
    # Components are copies whose ident and mem_info are write-through views.
    mapping = conv_.mapping
    first = mapping.nps[0]
    original = Ident(first.ident.col, first.ident.row, first.ident.id, first.ident.channel)
    weights = first.mem_info.weight_size
    assert weights > 0 and first.mem_info.input_size > 0
    assert mapping.nps == conv_.mapping.nps and mapping.nps[0] is not mapping.nps[0]
    view = first.ident
    view.col = 15
    assert first.ident.col == 15
    mem = mapping.nps[0].mem_info
    gc.collect()
    assert mem.weight_size == weights
    assert mapping.nps[0].ident == original and first != mapping.nps[0] != dw.mapping.nps[0]
    # Mapping again replaces the sequences; an edit of the model forgets them.
    first_seq, = m.sequences
    m._map(device, True, core.MapConstraints(device))
    second, = m.sequences
    assert second is not first_seq and second.program == first_seq.program
    assert [c.type for c in mapping.nps] == [c.type for c in conv_.mapping.nps]
    m.pop_layer()
    assert_unmapped(m)
    assert dense.mapping is None
    assert m.component_count == {} and m.external_memory_size == 0


def test_residual_block_skip_dmas():
    m = mapped(residual_model())
    assert [s.backend for s in m.sequences] == [core.Hardware]
    inp, c1, c2, add, c3 = m.layers
    store, = c1.mapping.skipdma_stores
    load, = c3.mapping.skipdma_loads
    assert (store.type, load.type) == (NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD) and load.ident == store.ident
    assert (store.ident.col, store.ident.row, store.ident.id) == (1, 1, 3)
    assert [c.type for c in c1.mapping.nps] == [NP.CNP1] and add.mapping.nps == []
    assert c1.mapping.skipdma_loads == c3.mapping.skipdma_stores == []
    assert all(l.mapping.skipdma_loads == l.mapping.skipdma_stores == [] for l in (c2, add))
    for c in (store, load):  # no NP placement: the defaults show
        assert (c.filters, c.start_neuron, c.single_buffer) == (0, 0, True)
        assert (c.spatial_partition.x, c.spatial_partition.y, c.spatial_partition.shape) == (0, 0, [])
    c1.mapping.skipdma_stores[0].ident.channel = 3
    assert c1.mapping.skipdma_stores[0] == store
    assert m.component_count == {NP.CNP1: 3, NP.SKIP_DMA_STORE: 1, NP.SKIP_DMA_LOAD: 1}
    assert m.external_memory_size == store.mem_info.external_size > 0


def test_dual_output_store_is_listed_but_not_counted():
    # The first Add also feeds the second skip connection: c3 merges and stores it again.
    m = residual_model()
    m.add(conv("c4"))
    m.add(layer(core.Add, "add2"), [m.get_layer("c4"), m.get_layer("add")])
    m.add(conv("c5"))
    assert core.graph_utils.dual_output_to_store_dma(m.get_layer("c3")) is True
    mapped(m)
    assert [s.backend for s in m.sequences] == [core.Hardware]
    c1, c3, c5 = (m.get_layer(n) for n in ("c1", "c3", "c5"))
    store, = c1.mapping.skipdma_stores
    dual, = c3.mapping.skipdma_stores
    assert dual.type == NP.SKIP_DMA_STORE and dual.ident.channel != store.ident.channel
    assert dual.mem_info.external_size > 0
    assert len(c3.mapping.skipdma_loads) == 1 and len(c5.mapping.skipdma_loads) == 1
    assert m.component_count == {NP.CNP1: 5, NP.SKIP_DMA_STORE: 1, NP.SKIP_DMA_LOAD: 2}
    assert m.external_memory_size == store.mem_info.external_size


def test_several_passes():
    nps = [Info(Ident(1, 2, i), [NP.CNP1, NP.CNP2]) for i in range(2)]
    device = core.Device(core.Selvo_v2, Mesh(core.v2, Ident(1, 1, 0), Ident(1, 1, 1), None, nps))
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=8))
    for i in range(5):
        m.add(conv(f"k{i}"))
    seq, = mapped(m, device).sequences
    assert seq.name == "HW/in-k4"
    assert [[l.name for l in p.layers] for p in seq.passes] == [
        ["in", "k0", "k1"], ["k2", "k3"], ["k4"]]
    assert m.component_count == {NP.CNP1: 5}


# --- MapConstraints hooks during a real mapping ---------------------------------------------


def test_hooks_see_each_placed_layer_and_their_choice_is_used():
    names, calls = [], []

    class Last(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            names.append(layer_name)

        def select_nps(self, source_nps, num_nps, type):
            calls.append((num_nps, type))
            return source_nps[len(source_nps) - num_nps:]

    device = v2_device()
    m = chain_model()
    m._map(device, False, Last(device))  # the subclass stays alive while C++ holds it
    assert names == ["conv", "dwconv", "dense"]
    assert calls[:2] == [(1, NP.CNP1), (1, NP.CNP1)]
    assert calls[2] in [(1, NP.FNP3), (1, NP.FNP2)] and len(calls) == 3
    conv_ident = m.layers[1].mapping.nps[0].ident
    assert conv_ident != mapped(chain_model()).layers[1].mapping.nps[0].ident
    assert conv_ident in [i.ident for i in device.mesh.nps if NP.CNP1 in i.types]


def test_a_next_layer_method_alone_is_never_called_and_super_gives_the_default():
    calls = []

    class Super(core.MapConstraints):
        def next_layer(self, layer_name):
            calls.append(layer_name)

        def select_nps(self, source_nps, num_nps, type):
            chosen = super().select_nps(source_nps, num_nps, type)
            assert chosen == list(source_nps[:num_nps])
            return chosen

    device = v2_device()
    m = mapped(chain_model(), device, Super(device))
    assert calls == []
    assert m.sequences[0].program == mapped(chain_model()).sequences[0].program


def test_a_short_selection_leaves_the_layer_unmapped():
    class Short(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return [] if type == NP.FNP3 else source_nps[:num_nps]

    class NoneAtAll(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return source_nps[:num_nps - 1]

    device = v2_device()
    m = mapped(chain_model(), device, Short(device))
    hw, sw = m.sequences
    assert (hw.backend, hw.name, sw.backend, sw.name) == (
        core.Hardware, "HW/input-dwconv", core.Software, "SW/dense")
    assert sw.passes[0].layers[0] is m.layers[-1] and len(sw.passes[0].layers) == 1
    assert sw.program is None
    assert sw.program_parts.program_info is None and sw.program_parts.program_data is None
    assert m.layers[-1].mapping is None and m.layers[2].mapping.nps
    m._map(device, False, NoneAtAll(device))
    sw, = m.sequences
    assert sw.backend == core.Software and sw.name == "SW/input-dense"
    assert all(l.mapping is None for l in m.layers)
    with pytest.raises(RuntimeError, match="Not enough hardware components of type CNP1"):
        m._map(device, True, NoneAtAll(device))
    assert_unmapped(m)


@pytest.mark.parametrize("hook, answer", [("next_layer_handler", None), ("select_nps", None),
                                          ("select_nps", [1, 2]), ("select_nps", "ab"),
                                          ("select_nps", Ident(1, 1, 1))])
def test_a_failing_override_leaves_the_model_unmapped(hook, answer):
    raised = KeyError("no NPs for you")

    def fail(self, *args):
        if answer is not None:
            return answer
        raise raised

    Raiser = type("Raiser", (core.MapConstraints,), {hook: fail})
    device = v2_device()
    m = mapped(chain_model(), device)
    with pytest.raises(KeyError if answer is None else RuntimeError) as err:
        m._map(device, False, Raiser(device))
    if answer is None:
        assert err.value is raised
    assert_unmapped(m)


def test_constraints_limits_reach_the_mapping():
    device = v2_device()
    c = core.MapConstraints(device)
    c.cnp_max_filters = 4
    nps = mapped(chain_model(), device, c).layers[1].mapping.nps
    assert [(n.start_neuron, n.filters) for n in nps] == [(0, 4), (4, 4), (8, 4), (12, 4)]


@pytest.mark.parametrize("hw_only", [True, False])
def test_a_fault_building_the_layers_before_a_refused_addition_passes_through(hw_only):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=8))
    m.add(conv("c"))
    m.add(layer(core.Add, "add"), [m.get_layer("c"), m.get_layer("c")])
    m.add(conv("d"))
    with pytest.raises(RuntimeError) as raised:
        mapped(m, v2_device(), hw_only=hw_only)
    assert str(raised.value) == (
        "Cannot map layer 'c'. Error: Cannot use P2P OUT mode for multiple NPs..")
    assert_unmapped(m)
