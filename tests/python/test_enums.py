"""The module's enumerations: member names and values (the values are what model files and the
core store), export into their scope, unnamed values, and no mixing with plain ints."""

import pickle

import pytest

import vorna.core as core

NP = core.NP

ENUMS = [
    (core.BackendType, core, [("Software", 0), ("Hardware", 1), ("Hybrid", 2)]),
    (core.IpVersion, core, [("none", 0), ("v1", 1), ("v2", 2), ("mote", 3)]),
    (NP.Type, NP, [("HRC", 1), ("CNP1", 2), ("CNP2", 3), ("FNP2", 4), ("FNP3", 5), ("TNP_B", 7),
                   ("TNP_R", 8), ("SKIP_DMA_STORE", 6), ("SKIP_DMA_LOAD", 9)]),
    (core.LayerType, core, [
        ("Unknown", 0), ("InputData", 1), ("InputConvolutional", 2), ("FullyConnected", 3),
        ("Convolutional", 4), ("SeparableConvolutional", 5), ("Add", 6), ("Concatenate", 12),
        ("Conv2D", 14), ("InputConv2D", 15), ("DepthwiseConv2D", 16), ("Conv2DTranspose", 17),
        ("Dequantizer", 19), ("DepthwiseConv2DTranspose", 20), ("BufferTempConv", 21),
        ("DepthwiseBufferTempConv", 22), ("StatefulRecurrent", 26), ("Dense1D", 25),
        ("Quantizer", 27), ("MotePostProcessing", 28)]),
    (core.Padding, core, [("Valid", 0), ("Same", 1), ("SameUpper", 2)]),
    (core.PoolType, core, [("NoPooling", 0), ("Max", 1), ("Average", 2)]),
    (core.ActivationType, core, [("NoActivation", 0), ("ReLU", 1), ("LUT", 2)]),
]


@pytest.mark.parametrize("enum, scope, members", ENUMS, ids=lambda x: getattr(x, "__name__", ""))
def test_members_values_and_export(enum, scope, members):
    assert [(name, int(m)) for name, m in enum.__members__.items()] == members
    for name, value in members:
        member = getattr(enum, name)
        assert getattr(scope, name) == member == enum(value)
        assert pickle.loads(pickle.dumps(member)) == member
    assert enum(99).name == "???" and enum(99).value == 99


def test_equality_is_by_type_and_value():
    assert NP.Type(0).name == NP.Type(10).name == "???"  # None and DMA have no member
    assert core.IpVersion(2) == core.v2 and core.v2 != 2 and core.v2 != core.v1
    assert core.v1 != core.Hardware and core.ReLU != core.PoolType.Max
    with pytest.raises(TypeError):
        core.v1 < core.v2
    with pytest.raises(TypeError):
        NP.Mesh(2, NP.Ident(0, 0, 1), NP.Ident(0, 0, 1), None, [])
