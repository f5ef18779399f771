"""Models built in Python and mapped onto virtual v2 devices, read back through the Python API."""

import gc
import struct

import numpy as np
import pytest

import vorna.core as core

NP = core.NP
Ident, Info, Mesh = NP.Ident, NP.Info, NP.Mesh


def v2_mesh(nodes=((1, 2), (2, 1), (2, 2), (3, 1)), skip_channels=4):
    """CNP nodes of four NPs, one FNP3 and one FNP2, the DMA endpoints on node (1, 1) and, with
    `skip_channels`, one skip-DMA engine of that many channels."""
    nps = [Info(Ident(col, row, i), [NP.CNP1, NP.CNP2]) for col, row in nodes for i in range(4)]
    nps += [Info(Ident(4, 1, 0), [NP.CNP1, NP.CNP2, NP.FNP3]),
            Info(Ident(4, 1, 1), [NP.CNP1, NP.CNP2, NP.FNP2])]
    skip = [Info(Ident(1, 1, 3, skip_channels), [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE])]
    return Mesh(core.v2, Ident(1, 1, 0), Ident(1, 1, 1), None, nps,
                skip if skip_channels else [])


def v2_device(**mesh_args):
    return core.Device(core.Selvo_v2, v2_mesh(**mesh_args))


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def conv(name, filters=8):
    return layer(core.Conv2D, name, filters=filters, kernel_size=3, activation=1, output_bits=8)


def chain_model(rng=None):
    """input (16, 16, 3) -> conv -> dwconv (stride 2) -> dense (10 units), weights from numpy."""
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=16, input_height=16, input_channels=3))
    m.add(conv("conv", 16))
    m.add(layer(core.DepthwiseConv2D, "dwconv", kernel_size=3, kernel_stride=2, activation=1,
                output_bits=8))
    m.add(layer(core.Dense1D, "dense", units=10, activation=0, output_bits=8))
    rng = rng or np.random.default_rng(3)
    for l in m.layers[1:]:
        w = l.variables["weights"]
        l.variables["weights"] = rng.integers(-64, 64, size=w.shape).astype(w.dtype)
    return m


def residual_model():
    """in -> c1 -> c2 -> add(c2, c1) -> c3: c1's output is stored by a skip DMA, c3 loads it."""
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=8))
    m.add(conv("c1"))
    m.add(conv("c2"))
    m.add(layer(core.Add, "add"), [m.get_layer("c2"), m.get_layer("c1")])
    m.add(conv("c3"))
    return m


def mapped(model, device=None, constraints=None):
    device = device or v2_device()
    model._map(device, False, constraints or core.MapConstraints(device))
    return model


def hardware_sequences(model):
    return [s for s in model.sequences if s.backend == core.Hardware]


# --- The mapping and its sequences ----------------------------------------------------------


def test_map_without_constraints_leaves_the_model_unmapped():
    m = chain_model()
    device = v2_device()
    with pytest.raises(RuntimeError) as err:
        m._map(device, False, None)
    assert str(err.value) == "Map constraints must be specified."
    with pytest.raises(RuntimeError, match=r"^Map constraints must be specified\.$"):
        m._map(device)
    assert m.device is None and m.sequences == []
    assert all(l.mapping is None for l in m.layers)


def test_chain_maps_into_one_hardware_sequence():
    device = v2_device()
    m = chain_model()
    assert m._map(device, False, core.MapConstraints(device)) is None
    assert m.device is device
    assert m.device.desc == "VirtualDevice/BC.A2.001.000"
    assert m.ip_version == core.v2
    seq, = m.sequences
    assert type(seq) is core.Sequence
    assert seq.backend == core.Hardware
    assert seq.name == "HW/input-dense"
    passes = seq.passes
    assert len(passes) == 1 and type(passes[0]) is core.Pass
    # The pass holds the model's own layer objects, in order.
    assert all(a is b for a, b in zip(passes[0].layers, m.layers))
    assert len(passes[0].layers) == m.layer_count


def test_program_and_its_parts():
    seq, = mapped(chain_model()).sequences
    program = seq.program
    assert isinstance(program, bytes) and len(program) > 8
    again = seq.program
    assert again == program and again is not program
    parts = seq.program_parts
    assert type(parts) is core.ProgramParts
    info, data = parts.program_info, parts.program_data
    assert isinstance(info, bytes) and isinstance(data, bytes)
    assert info + data == program
    assert struct.unpack_from("<I", info)[0] == len(info) - 4
    assert struct.unpack_from("<I", data)[0] == len(data) - 4
    # Two reads of the parts are independent objects with the same bytes.
    assert seq.program_parts is not parts
    assert seq.program_parts.program_info == info


def test_sequences_passes_and_parts_outlive_the_model():
    m = mapped(chain_model())
    seq, = m.sequences
    program = seq.program
    parts = seq.program_parts
    passes = seq.passes
    names = [l.name for l in m.layers]
    del m, seq
    gc.collect()
    assert parts.program_info + parts.program_data == program
    assert [l.name for l in passes[0].layers] == names


def test_program_parts_outlive_their_sequence_alone():
    parts = mapped(chain_model()).sequences[0].program_parts
    gc.collect()
    info, data = parts.program_info, parts.program_data
    assert struct.unpack_from("<I", info)[0] == len(info) - 4
    assert struct.unpack_from("<I", data)[0] == len(data) - 4


def test_mapping_again_replaces_the_sequences():
    device = v2_device()
    m = mapped(chain_model(), device)
    first, = m.sequences
    old_mapping = m.layers[1].mapping
    m._map(device, True, core.MapConstraints(device))
    second, = m.sequences
    assert second is not first
    assert second.program == first.program
    # The old Mapping object stays readable.
    assert [c.type for c in old_mapping.nps] == [c.type for c in m.layers[1].mapping.nps]


def test_graph_edits_forget_the_mapping():
    m = mapped(chain_model())
    dense = m.layers[-1]
    m.pop_layer()
    assert m.sequences == [] and m.device is None
    assert dense.mapping is None and all(l.mapping is None for l in m.layers)
    assert m.component_count == {} and m.external_memory_size == 0


# --- Layer.Mapping and NP.Component of a real mapping ---------------------------------------


def test_layer_mappings_of_the_chain():
    m = mapped(chain_model())
    inp, conv_, dw, dense = m.layers
    # InputData gets a mapping with no components.
    assert type(inp.mapping) is core.Layer.Mapping
    assert inp.mapping.nps == [] and inp.mapping.skipdma_loads == []
    assert inp.mapping.skipdma_stores == []
    for l, kinds in [(conv_, (NP.CNP1, NP.CNP2)), (dw, (NP.CNP1, NP.CNP2)),
                     (dense, (NP.FNP2, NP.FNP3))]:
        nps = l.mapping.nps
        assert len(nps) == 1, l.name
        assert nps[0].type in kinds
        assert l.mapping.skipdma_loads == [] and l.mapping.skipdma_stores == []
    # The conv covers all of its 16 filters on one NP, over the whole input.
    c = conv_.mapping.nps[0]
    assert (c.filters, c.start_neuron) == (16, 0)
    assert (c.spatial_partition.x, c.spatial_partition.y) == (0, 0)
    assert c.spatial_partition.shape == [16, 16, 3]
    assert isinstance(c.single_buffer, bool)
    assert dense.mapping.nps[0].filters == 10
    # Different layers sit on different NPs.
    idents = [l.mapping.nps[0].ident for l in (conv_, dw, dense)]
    assert all(a != b for i, a in enumerate(idents) for b in idents[i + 1:])


def test_components_are_copies_with_write_through_views():
    m = mapped(chain_model())
    conv_ = m.layers[1]
    mapping = conv_.mapping
    first = mapping.nps[0]
    original = Ident(first.ident.col, first.ident.row, first.ident.id, first.ident.channel)
    weights = first.mem_info.weight_size
    assert weights > 0 and first.mem_info.input_size > 0
    # Equal on every read, but each read is a new copy.
    assert mapping.nps == conv_.mapping.nps
    assert mapping.nps[0] is not mapping.nps[0]
    # The ident view writes through into the copy it came from, and keeps it alive.
    view = first.ident
    view.col = 15
    assert first.ident.col == 15
    mem = mapping.nps[0].mem_info
    gc.collect()
    assert mem.weight_size == weights
    # The mapping itself is unchanged.
    assert mapping.nps[0].ident == original
    assert first != mapping.nps[0]
    # Components compare by value and answer NotImplemented to other types: no hash.
    assert (mapping.nps[0] == original) is False
    assert mapping.nps[0] != "component"
    with pytest.raises(TypeError):
        hash(mapping.nps[0])
    with pytest.raises(TypeError):
        NP.Component()


def test_component_equality():
    m = mapped(chain_model())
    a, b, c = (l.mapping.nps[0] for l in m.layers[1:])
    assert a == m.layers[1].mapping.nps[0]
    assert a != b and b != c
    copy = m.layers[1].mapping.nps[0]
    copy.ident.channel = 1
    assert copy != a


def test_residual_block_skip_dmas():
    m = mapped(residual_model())
    seq, = hardware_sequences(m)
    assert len(m.sequences) == 1
    inp, c1, c2, add, c3 = m.layers
    # c1 starts the skip connection: its output is stored by a skip DMA.
    store, = c1.mapping.skipdma_stores
    assert store.type == NP.SKIP_DMA_STORE
    assert (store.ident.col, store.ident.row, store.ident.id) == (1, 1, 3)
    assert c1.mapping.skipdma_loads == []
    assert [c.type for c in c1.mapping.nps] == [NP.CNP1]
    # c3 merges the two branches: it loads the stored output back.
    load, = c3.mapping.skipdma_loads
    assert load.type == NP.SKIP_DMA_LOAD
    assert load.ident == store.ident
    assert c3.mapping.skipdma_stores == []
    # Skip-DMA components have no NP placement: the defaults show.
    for c in (store, load):
        assert (c.filters, c.start_neuron, c.single_buffer) == (0, 0, True)
        part = c.spatial_partition
        assert (part.x, part.y, part.shape) == (0, 0, [])
    # Neither c2 nor the Add (which targets the skip DMA itself) has a skip-DMA component.
    for l in (c2, add):
        assert l.mapping.skipdma_loads == [] and l.mapping.skipdma_stores == []
    assert add.mapping.nps == []
    # Each read is a new list of copies.
    assert c1.mapping.skipdma_stores is not c1.mapping.skipdma_stores
    c1.mapping.skipdma_stores[0].ident.channel = 3
    assert c1.mapping.skipdma_stores[0] == store

    # Counting: the layers' NPs plus one store and one load.
    counts = m.component_count
    assert counts == {NP.CNP1: 3, NP.SKIP_DMA_STORE: 1, NP.SKIP_DMA_LOAD: 1}
    assert list(counts) == sorted(counts, key=int)
    assert all(type(k) is NP.Type for k in counts)
    # External memory: the stored output of c1 (the NPs keep everything on chip).
    assert store.mem_info.external_size > 0
    expected = sum(c.mem_info.external_size
                   for l in m.layers
                   for c in l.mapping.nps + l.mapping.skipdma_loads + l.mapping.skipdma_stores)
    assert m.external_memory_size == expected == store.mem_info.external_size


def test_dual_output_store_is_listed_but_not_counted():
    # in -> c1 -> c2 -> add(c2, c1) -> c3 -> c4 -> add2(c4, add) -> c5: the first Add also
    # feeds the second skip connection, so c3 merges and stores the Add's output again.
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=8))
    for name in ("c1", "c2"):
        m.add(conv(name))
    m.add(layer(core.Add, "add"), [m.get_layer("c2"), m.get_layer("c1")])
    for name in ("c3", "c4"):
        m.add(conv(name))
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
    # The dual-output store is in neither the count nor the external memory.
    assert m.component_count == {NP.CNP1: 5, NP.SKIP_DMA_STORE: 1, NP.SKIP_DMA_LOAD: 2}
    assert m.external_memory_size == store.mem_info.external_size


def test_component_count_of_the_chain():
    m = chain_model()
    assert m.component_count == {} and m.external_memory_size == 0
    mapped(m)
    counts = m.component_count
    expected = {}
    for l in m.layers:
        for c in l.mapping.nps:
            expected[c.type] = expected.get(c.type, 0) + 1
    assert counts == expected
    assert sum(counts.values()) == 3
    assert counts is not m.component_count


def test_several_passes():
    # One node of two CNPs for five convolutions: the mapping opens new passes.
    nps = [Info(Ident(1, 2, i), [NP.CNP1, NP.CNP2]) for i in range(2)]
    device = core.Device(core.Selvo_v2, Mesh(core.v2, Ident(1, 1, 0), Ident(1, 1, 1), None, nps))
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=8))
    for i in range(5):
        m.add(conv(f"k{i}"))
    mapped(m, device)
    seq, = m.sequences
    assert seq.name == "HW/in-k4"
    assert [[l.name for l in p.layers] for p in seq.passes] == [
        ["in", "k0", "k1"], ["k2", "k3"], ["k4"]]
    assert m.component_count == {NP.CNP1: 5}
    assert seq.program_parts.program_info + seq.program_parts.program_data == seq.program


# --- What the hardware cannot take ---------------------------------------------------------


def test_layers_left_to_software():
    # No FNP on the mesh: the dense layer stays with the host.
    nps = [Info(Ident(1, 2, i), [NP.CNP1, NP.CNP2]) for i in range(4)]
    device = core.Device(core.Selvo_v2, Mesh(core.v2, Ident(1, 1, 0), Ident(1, 1, 1), None, nps))
    m = chain_model()
    mapped(m, device)
    hw, sw = m.sequences
    assert (hw.backend, hw.name) == (core.Hardware, "HW/input-dwconv")
    assert (sw.backend, sw.name) == (core.Software, "SW/dense")
    assert [l.name for p in sw.passes for l in p.layers] == ["dense"]
    assert sw.passes[0].layers[0] is m.layers[-1]
    assert sw.program is None
    parts = sw.program_parts
    assert parts.program_info is None and parts.program_data is None
    assert m.layers[-1].mapping is None
    assert m.layers[1].mapping.nps
    assert NP.FNP3 not in m.component_count and NP.FNP2 not in m.component_count

    # A hardware-only map refuses it, names the layer, and leaves the model unmapped.
    with pytest.raises(RuntimeError, match="dense"):
        m._map(device, True, core.MapConstraints(device))
    assert m.sequences == [] and m.device is None
    assert all(l.mapping is None for l in m.layers)


# --- MapConstraints hooks during a real mapping ---------------------------------------------


def test_next_layer_handler_sees_each_placed_layer_in_order():
    class Watcher(core.MapConstraints):
        def __init__(self, device):
            super().__init__(device)
            self.names = []

        def next_layer_handler(self, layer_name):
            self.names.append(layer_name)

    device = v2_device()
    watcher = Watcher(device)
    m = mapped(chain_model(), device, watcher)
    # Called for every layer that is given NPs, in model order.
    assert watcher.names == ["conv", "dwconv", "dense"]
    assert m.sequences[0].backend == core.Hardware
    watcher.next_layer("by hand")
    assert watcher.names[-1] == "by hand"


def test_a_next_layer_method_alone_is_never_called_by_the_mapping():
    calls = []

    class OnlyNextLayer(core.MapConstraints):
        def next_layer(self, layer_name):
            calls.append(layer_name)

    device = v2_device()
    m = mapped(chain_model(), device, OnlyNextLayer(device))
    assert calls == []
    assert hardware_sequences(m)


def test_select_nps_override_result_is_used():
    class Last(core.MapConstraints):
        def __init__(self, device):
            super().__init__(device)
            self.calls = []

        def select_nps(self, source_nps, num_nps, type):
            self.calls.append((len(source_nps), num_nps, type))
            return source_nps[len(source_nps) - num_nps:]

    device = v2_device()
    c = Last(device)
    m = mapped(chain_model(), device, c)
    # One call per layer that needs NPs; which FNP kind the dense layer asks for depends on
    # the NPs the convolutions took.
    assert [(n, t) for _, n, t in c.calls[:2]] == [(1, NP.CNP1), (1, NP.CNP1)]
    assert len(c.calls) == 3 and c.calls[2][1:] in [(1, NP.FNP3), (1, NP.FNP2)]
    assert all(type(t) is NP.Type for _, _, t in c.calls)
    # The default mapping takes the first candidates; this one the last.
    default = mapped(chain_model())
    conv_ident = m.layers[1].mapping.nps[0].ident
    assert conv_ident != default.layers[1].mapping.nps[0].ident
    candidates = [i.ident for i in device.mesh.nps if NP.CNP1 in i.types]
    assert conv_ident in candidates


def test_super_select_nps_during_mapping_gives_the_default_mapping():
    class Super(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            chosen = super().select_nps(source_nps, num_nps, type)
            assert chosen == list(source_nps[:num_nps])
            return chosen

    device = v2_device()
    m = mapped(chain_model(), device, Super(device))
    default = mapped(chain_model())
    assert m.sequences[0].program == default.sequences[0].program


def test_a_short_selection_leaves_the_layer_unmapped():
    class Short(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            if type == NP.FNP3:
                return []
            return source_nps[:num_nps]

    device = v2_device()
    m = chain_model()
    m._map(device, False, Short(device))  # no Python error
    hw, sw = m.sequences
    assert hw.name == "HW/input-dwconv" and sw.name == "SW/dense"
    assert m.layers[-1].mapping is None
    assert m.layers[1].mapping.nps and m.layers[2].mapping.nps
    # Nothing maps when the first layer that needs NPs gets too few.

    class NoneAtAll(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return source_nps[:num_nps - 1]

    m._map(device, False, NoneAtAll(device))
    sw, = m.sequences
    assert sw.backend == core.Software and sw.name == "SW/input-dense"
    assert all(l.mapping is None for l in m.layers)
    assert m.component_count == {} and m.external_memory_size == 0
    # A hardware-only map reports the engine's component error.
    with pytest.raises(RuntimeError, match="Not enough hardware components of type CNP1"):
        m._map(device, True, NoneAtAll(device))


@pytest.mark.parametrize("hook", ["next_layer_handler", "select_nps"])
def test_an_override_exception_leaves_map_unchanged(hook):
    raised = KeyError("no NPs for you")

    def fail(self, *args):
        raise raised

    Raiser = type("Raiser", (core.MapConstraints,), {hook: fail})
    device = v2_device()
    m = mapped(chain_model(), device)
    with pytest.raises(KeyError) as err:
        m._map(device, False, Raiser(device))
    assert err.value is raised
    assert err.value.args == ("no NPs for you",)
    # The model is left unmapped, not half mapped.
    assert m.sequences == [] and m.device is None
    assert all(l.mapping is None for l in m.layers)


@pytest.mark.parametrize("answer", [[1, 2], "ab", None])
def test_an_unconvertible_selection_fails_the_map(answer):
    class Bad(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return answer

    device = v2_device()
    m = mapped(chain_model(), device)
    with pytest.raises(RuntimeError):
        m._map(device, False, Bad(device))
    assert m.sequences == [] and m.device is None
    assert all(l.mapping is None for l in m.layers)


def test_constraints_limits_reach_the_mapping():
    device = v2_device()
    c = core.MapConstraints(device)
    c.cnp_max_filters = 4
    m = mapped(chain_model(), device, c)
    # The 16 filters of the conv are split over NPs of at most 4 filters each.
    nps = m.layers[1].mapping.nps
    assert len(nps) == 4
    assert [(n.start_neuron, n.filters) for n in nps] == [(0, 4), (4, 4), (8, 4), (12, 4)]
    assert m.component_count[NP.CNP1] + m.component_count.get(NP.CNP2, 0) >= 5


def test_constraints_keep_their_python_subclass_alive():
    class Watcher(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            seen.append(layer_name)

    seen = []
    device = v2_device()
    m = chain_model()
    m._map(device, False, Watcher(device))
    gc.collect()
    assert seen == ["conv", "dwconv", "dense"]
