"""Builds a small model, maps it onto a virtual v2 device and prints what was mapped."""

import numpy as np

import vorna.core as core
from vorna.core import NP


def v2_mesh():
    """A v2 mesh of 28 NPs on 7 nodes; the DMA node (1, 1) holds the two DMA endpoints."""
    nps = []
    for col, row in [(1, 2), (2, 1), (2, 2), (3, 1), (3, 2), (4, 1), (4, 2)]:
        for i in range(4):
            kinds = [NP.CNP1, NP.CNP2]
            if col in (2, 3) and i in (2, 3):
                kinds.append(NP.TNP_B)
            if col == 4 and i == 0:
                kinds.append(NP.FNP3)
            if col == 4 and i == 1:
                kinds.append(NP.FNP2)
            nps.append(NP.Info(NP.Ident(col, row, i), kinds, True))
    return NP.Mesh(core.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, nps)


def layer(layer_type, name, **params):
    return core.Layer(core.LayerParams(layer_type, params), name)


def build_model(rng):
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=16, input_height=16, input_channels=3))
    model.add(layer(core.Conv2D, "conv", filters=16, kernel_size=3, activation=1, output_bits=8))
    model.add(layer(core.DepthwiseConv2D, "dwconv", kernel_size=3, kernel_stride=2,
                    activation=1, output_bits=8))
    model.add(layer(core.Dense1D, "dense", units=10, activation=0, output_bits=8))
    for l in model.layers[1:]:
        weights = l.variables["weights"]
        l.variables["weights"] = rng.integers(-64, 64, size=weights.shape).astype(weights.dtype)
    return model


def main():
    rng = np.random.default_rng(7)
    model = build_model(rng)
    device = core.Device(core.Selvo_v2, v2_mesh())
    print(f"Device: {device.desc} (IP {device.ip_version.name}), "
          f"{len(device.mesh.nps)} NPs")
    print("Model:")
    for l in model.layers:
        print(f"  {l.name:8s} {l.parameters.layer_type.name:16s} in {l.input_dims} "
              f"out {l.output_dims}")

    model._map(device, False, core.MapConstraints(device))

    for seq in model.sequences:
        print(f"\nSequence {seq.name} on {seq.backend.name}, {len(seq.passes)} pass(es)")
        for index, hw_pass in enumerate(seq.passes):
            print(f"  Pass {index}: {', '.join(l.name for l in hw_pass.layers)}")
        program = seq.program
        parts = seq.program_parts
        print(f"  Program: {len(program)} bytes = program info {len(parts.program_info)} "
              f"+ program data {len(parts.program_data)}")
    print("\nNPs per layer:")
    for l in model.layers:
        if l.mapping is None or not l.mapping.nps:
            print(f"  {l.name:8s} (no NPs)")
            continue
        nps = ", ".join(f"{c.type.name}@{c.ident}" for c in l.mapping.nps)
        print(f"  {l.name:8s} {nps}")
    counts = {t.name: n for t, n in model.component_count.items()}
    print(f"\nComponents: {counts}")
    print(f"External memory: {model.external_memory_size} bytes")


if __name__ == "__main__":
    main()
