"""Sequence, Pass and ProgramParts: the read-only view of a mapping."""

import gc
import struct

import pytest

import vorna.core as core

NP = core.NP
Ident, Info, Mesh = NP.Ident, NP.Info, NP.Mesh

CLASSES = ["ProgramParts", "Sequence", "Pass"]


@pytest.mark.parametrize("name", CLASSES)
def test_no_constructor(name):
    with pytest.raises(TypeError) as err:
        getattr(core, name)()
    assert str(err.value) == f"vorna.core.{name}: No constructor defined!"


def test_registration_order():
    names = list(vars(core))
    order = ["NP", "MapConstraints", "ProgramParts", "Sequence", "Pass", "IpVersion",
             "graph_utils"]
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)
    i = names.index("MapConstraints")
    assert names[i: i + 4] == ["MapConstraints"] + CLASSES


@pytest.mark.parametrize(
    "cls, members",
    [
        ("ProgramParts", [("program_info", None), ("program_data", None)]),
        (
            "Sequence",
            [
                ("passes", "Get the list of passes in this sequence."),
                ("backend", "The backend type for this Sequence."),
                ("program", "Get the hardware program for this sequence."),
                ("program_parts", "Get the program, split in different parts"),
                ("name", "The name of the sequence"),
            ],
        ),
        ("Pass", [("layers", "Get the list of layers in this pass.")]),
    ],
)
def test_read_only_properties(cls, members):
    klass = getattr(core, cls)
    assert [n for n in vars(klass) if not n.startswith("_")] == [m for m, _ in members]
    for member, doc in members:
        prop = vars(klass)[member]
        assert isinstance(prop, property)
        assert prop.fset is None
        if doc is None:
            assert not prop.__doc__
        else:
            assert prop.__doc__.startswith(doc)


def test_class_docstrings():
    assert core.ProgramParts.__doc__.startswith("Represents a program split in different parts.")
    assert "program_data is the program part containing the program data required by vorna" in \
        " ".join(core.ProgramParts.__doc__.split())
    assert core.Sequence.__doc__.startswith("Represents a sequence of layers.")
    assert "Sequences can be mapped in Software or on a Device." in core.Sequence.__doc__
    assert core.Pass.__doc__.startswith("Represents a subset of the Sequence.")
    assert "None is returned if the Sequence is not compatible with the selected Device." in \
        core.Sequence.program.__doc__


# --- Sequences of a mapped model ---------------------------------------------------------------


def v2_device():
    nps = [Info(Ident(1, r, i), [NP.CNP1, NP.CNP2]) for r in (1, 2) for i in (1, 2, 3, 4)]
    nps += [Info(Ident(2, 1, i), [NP.FNP2, NP.FNP3]) for i in (1, 2)]
    return core.Device(core.Selvo_v2, Mesh(core.v2, Ident(0, 0, 1), Ident(0, 0, 2), None, nps))


def layer(layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


def conv_model():
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=4))
    m.add(layer(core.Conv2D, "a", filters=8, kernel_size=3))
    m.add(layer(core.Conv2D, "b", filters=8, kernel_size=3))
    return m


def map_hardware_sequence():
    device = v2_device()
    m = conv_model()
    m._map(device, False, core.MapConstraints(device))
    hw = [s for s in m.sequences if s.backend == core.Hardware]
    assert len(hw) == 1
    return m, hw[0]


@pytest.fixture
def hw_sequence():
    return map_hardware_sequence()


def test_hardware_sequence_program(hw_sequence):
    m, seq = hw_sequence
    assert isinstance(seq, core.Sequence)
    assert seq.backend == core.Hardware
    program = seq.program
    assert isinstance(program, bytes) and program
    again = seq.program
    assert again == program and again is not program
    parts = seq.program_parts
    info, data = parts.program_info, parts.program_data
    assert info + data == program
    assert struct.unpack_from("<I", info)[0] == len(info) - 4
    assert struct.unpack_from("<I", data)[0] == len(data) - 4


def test_hardware_sequence_name_and_passes(hw_sequence):
    m, seq = hw_sequence
    layers = [l for p in seq.passes for l in p.layers]
    assert layers
    assert all(isinstance(p, core.Pass) for p in seq.passes)
    assert seq.passes is not seq.passes
    # The pass layers are the model's own layers.
    assert all(any(l is ml for ml in m.layers) for l in layers)
    expected = "HW/" + layers[0].name + ("-" + layers[-1].name if len(layers) > 1 else "")
    assert seq.name == expected


def test_program_parts_outlive_model_and_sequence():
    m, seq = map_hardware_sequence()
    program = seq.program
    parts = seq.program_parts
    passes = seq.passes
    # The parts point into the sequence's program bytes: they keep the sequence alive.
    del m, seq
    gc.collect()
    assert parts.program_info + parts.program_data == program
    assert all(p.layers for p in passes)


def test_next_layer_handler_sees_the_layers_in_order():
    device = v2_device()
    names = []

    class Watcher(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            names.append(layer_name)

    m = conv_model()
    m._map(device, False, Watcher(device))
    # Once per layer given NPs, in model order.
    assert names == ["a", "b"]


def test_override_exception_crosses_the_mapping():
    device = v2_device()

    class Raiser(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            raise KeyError("no NPs for you")

    m = conv_model()
    with pytest.raises(KeyError) as err:
        m._map(device, False, Raiser(device))
    assert err.value.args == ("no NPs for you",)
