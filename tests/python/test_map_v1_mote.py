"""Mapping whole v1 and mote models from Python onto virtual devices."""

import struct

import numpy as np

import vorna.core as core
from builders import layer

NP = core.NP
Ident, Info, Mesh, SramSize = NP.Ident, NP.Info, NP.Mesh, NP.SramSize


def v1_mesh():
    """The NP layout of the emulator's v1 preset: 7 nodes of 4 CNPs, column 4 with FNPs."""
    extra = {(4, 0): [NP.FNP3], (4, 1): [NP.FNP2]}
    nps = [Info(Ident(col, row, i), [NP.CNP1, NP.CNP2] + extra.get((col, i), []))
           for col, row in [(1, 2), (2, 1), (2, 2), (3, 1), (3, 2), (4, 1), (4, 2)] for i in range(4)]
    return Mesh(core.v1, Ident(1, 1, 0), Ident(1, 1, 1), Info.hrc(False), nps)


def mote_mesh():
    return Mesh(core.mote, Ident(1, 1, 0), Ident(1, 1, 1), None,
                [Info(Ident(0, 0, 0), [NP.TNP_R])], [], SramSize(448, 8192, 892, 256))


def set_pattern(lyr, name, values):
    current = lyr.variables[name]
    pattern = np.resize(np.array(values), current.size).reshape(current.shape)
    lyr.variables[name] = pattern.astype(current.dtype)


def check_program(seq):
    program, parts = seq.program, seq.program_parts
    info_size = struct.unpack_from("<I", program, 0)[0] + 4
    assert parts.program_info + parts.program_data == program and info_size == len(parts.program_info)
    assert info_size + struct.unpack_from("<I", program, info_size)[0] + 4 == len(program)


def test_v1_model_maps_onto_xvr2200():
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=8,
                    input_bits=2))
    model.add(layer(core.Convolutional, "conv", filters=16, kernel_width=3, kernel_height=3,
                    weights_bits=2, act_bits=2))
    model.add(layer(core.FullyConnected, "fc", units=10, weights_bits=2, act_bits=4))
    for lyr in model.layers[1:]:
        set_pattern(lyr, "weights", [1, -1, 0])
    device = core.Device(core.XVR2200_v1, v1_mesh())
    model._map(device, False, core.MapConstraints(device))

    seq, = model.sequences
    p, = seq.passes
    assert [lyr.name for lyr in p.layers] == ["input", "conv", "fc"]
    check_program(seq)
    assert model.layers[1].mapping.nps[0].type in (NP.CNP1, NP.CNP2)
    assert model.layers[2].mapping.nps[0].type in (NP.FNP2, NP.FNP3)


def test_mote_model_maps_onto_mote_selvo():
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=1, input_height=16, input_channels=32,
                    input_bits=8))
    for name, outputs, bits in (("sr1", 16, 8), ("sr2", 10, 32)):
        model.add(layer(core.StatefulRecurrent, name, stateful_channels=64,
                        output_channels=outputs, output_bits=bits))
        sr = model.layers[-1]
        set_pattern(sr, "in_proj", [1, -2, 3])
        set_pattern(sr, "out_proj", [2, 0, -1])
        set_pattern(sr, "new_state_scale", [17])
    model.add(layer(core.Dequantizer, "dequantizer"))
    device = core.Device(core.Mote_Selvo, mote_mesh())
    model._map(device, False, core.MapConstraints(device))

    seq, = model.sequences
    assert [lyr.name for lyr in seq.passes[0].layers] == ["input", "sr1", "sr2", "dequantizer"]
    check_program(seq)
    assert [n.type for n in model.layers[1].mapping.nps] == [NP.TNP_R]
    assert model.layers[2].mapping.nps == []
