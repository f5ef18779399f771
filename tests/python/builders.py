"""Model and device builders shared by the Python tests."""

import inspect

import numpy as np

import vorna.core as core

NP = core.NP
Ident, Info, Mesh = NP.Ident, NP.Info, NP.Mesh


def layer(layer_type, name, **entries):
    if isinstance(layer_type, str):
        layer_type = getattr(core.LayerType, layer_type)
    return core.Layer(core.LayerParams(layer_type, entries), name)


def conv(name, filters=8):
    return layer(core.Conv2D, name, filters=filters, kernel_size=3, activation=1, output_bits=8)


def fc_model(weights_bits=8, units=4, dims=(2, 1, 3), **fc_params):
    """InputData of `dims` -> FullyConnected "fc"; returns the model and the fc layer."""
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=dims[0], input_height=dims[1],
                input_channels=dims[2]))
    m.add(layer(core.FullyConnected, "fc", units=units, weights_bits=weights_bits, **fc_params))
    return m, m.layers[1]


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


def small_device(version=core.Selvo_v2, ip=core.v2, nps=None):
    """One CNP and one FNP on node (1, 1), DMA endpoints on node (0, 0)."""
    nps = nps or [Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2]), Info(Ident(1, 1, 2), [NP.FNP2, NP.FNP3])]
    return core.Device(version, Mesh(ip, Ident(0, 0, 1), Ident(0, 0, 2), None, nps))


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


def mapped(model, device=None, constraints=None, hw_only=False):
    device = device or v2_device()
    model._map(device, hw_only, constraints or core.MapConstraints(device))
    return model


def assert_unmapped(model):
    assert model.sequences == [] and model.device is None
    assert all(l.mapping is None for l in model.layers)


def bound_classes(scope, seen=None):
    """Every class of vorna.core, its submodules and nested classes."""
    seen = set() if seen is None else seen
    for value in vars(scope).values():
        if inspect.ismodule(value) and value.__name__.startswith("vorna.core"):
            yield from bound_classes(value, seen)
        elif isinstance(value, type) and value.__module__.startswith("vorna.core"):
            if value not in seen:
                seen.add(value)
                yield value
                yield from bound_classes(value, seen)


def leaked_self(cls):
    """An object of a subclass of `cls` without its value: the `self` its __init__ leaks
    before failing, before the base __init__ runs."""
    store = []

    class Leak(cls):
        def __init__(self):
            store.append(self)
            raise LookupError

    try:
        Leak()
    except LookupError:
        pass
    return store[0]
