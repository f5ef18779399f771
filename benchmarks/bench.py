"""Speed of the module against the ceilings it is measured by.

Each subject is timed interleaved with its ceiling in one process (the machine may be shared
and noisy, so every round runs the subject, then the ceiling), and the figures are the fastest
round of each. One line per figure: the subject, the ceiling, their ratio and the goal.

    python benchmarks/bench.py            # the full set
    python benchmarks/bench.py --quick    # one short round of each, to prove the script works

Needs numpy and the `python-snappy` package (raw snappy, the ceiling of model files).
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import snappy

import vorna.core as core

NP = core.NP
Ident, Info, Mesh = NP.Ident, NP.Info, NP.Mesh


# ---------------------------------------------------------------------------
# Devices and models

def big_v2_device():
    """A virtual v2 mesh of 8 x 8 nodes of 4 NPs; node (1, 1) holds the DMA endpoints and a
    skip-DMA engine of 64 channels, the HRC is present and column 8 has the FNPs."""
    nps = []
    for col in range(1, 9):
        for row in range(1, 9):
            if (col, row) == (1, 1):
                continue
            for i in range(4):
                kinds = [NP.CNP1, NP.CNP2]
                if col == 8 and i == 0:
                    kinds.append(NP.FNP3)
                if col == 8 and i == 1:
                    kinds.append(NP.FNP2)
                nps.append(Info(Ident(col, row, i), kinds, True))
    skip = [Info(Ident(1, 1, 3, 64), [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE])]
    mesh = Mesh(core.v2, Ident(1, 1, 0), Ident(1, 1, 1), Info.hrc(False), nps, skip)
    return core.Device(core.Selvo_v2, mesh)


def layer(layer_type, name, **params):
    return core.Layer(core.LayerParams(layer_type, params), name)


def conv(name, filters, kernel=3, stride=1, **more):
    return layer(core.Conv2D, name, filters=filters, kernel_size=kernel, kernel_stride=stride,
                 activation=1, output_bits=8, **more)


def fill_weights(model, rng):
    """Random 8-bit weights in every layer that has weights; returns their total byte count."""
    total = 0
    for lyr in model.layers:
        if "weights" not in lyr.variables.names:
            continue
        w = lyr.variables["weights"]
        lyr.variables["weights"] = rng.integers(-128, 128, size=w.shape, dtype=np.int8)
        total += w.nbytes
    return total


def mobilenet(size=224, width=1.0):
    """InputData, InputConv2D on the HRC, 13 depthwise/pointwise pairs, global average pooling
    in the last pointwise convolution, Dense1D of 1000: 29 layers."""
    def ch(n):
        return int(n * width)
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=size, input_height=size, input_channels=3))
    m.add(layer(core.InputConv2D, "conv0", filters=ch(32), kernel_size=3, kernel_stride=2,
                activation=1, output_bits=8))
    pairs = [(64, 1), (128, 2), (128, 1), (256, 2), (256, 1), (512, 2)] + [(512, 1)] * 5 + \
        [(1024, 2), (1024, 1)]
    for i, (filters, stride) in enumerate(pairs, 1):
        m.add(layer(core.DepthwiseConv2D, f"dw{i}", kernel_size=3, kernel_stride=stride,
                    activation=1, output_bits=8))
        last = i == len(pairs)
        extra = dict(pool_type=2, pool_size=-1) if last else {}
        m.add(conv(f"pw{i}", ch(filters), kernel=1, **extra))
    m.add(layer(core.Dense1D, "fc", units=1000, activation=0, output_bits=8))
    return m


def conv_chain(depth, size=16, filters=16):
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=size, input_height=size,
                input_channels=filters))
    for i in range(depth):
        m.add(conv(f"c{i}", filters))
    return m


def residual_chain(blocks, size=16, filters=16):
    """A stem convolution, then `blocks` times: conv, conv, Add with the block input, conv."""
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=size, input_height=size,
                input_channels=filters))
    m.add(conv("stem", filters))
    block_input = m.get_layer("stem")
    for b in range(blocks):
        m.add(conv(f"a{b}", filters))
        m.add(conv(f"b{b}", filters))
        m.add(layer(core.Add, f"s{b}"), [m.get_layer(f"b{b}"), block_input])
        m.add(conv(f"c{b}", filters))
        block_input = m.get_layer(f"c{b}")
    return m


def map_model(model, device):
    model._map(device, False, core.MapConstraints(device))


def one_hardware_sequence(model):
    seqs = model.sequences
    return len(seqs) == 1 and seqs[0].backend != core.BackendType.Software \
        and len(seqs[0].passes[0].layers) == len(model.layers)


# ---------------------------------------------------------------------------
# Timing

# The clock of every figure: wall time, or with --cpu the CPU time of this thread alone,
# steadier on a machine that other work shares.
CLOCK = time.perf_counter


def timed(fn):
    start = CLOCK()
    fn()
    return CLOCK() - start


def interleaved(subject, ceiling, rounds, calls=1):
    """Fastest time of one call of each, the two run in turn `rounds` times, `calls` each."""
    best_s = best_c = float("inf")
    for _ in range(rounds):
        best_s = min(best_s, timed(lambda: [subject() for _ in range(calls)]) / calls)
        if ceiling is not None:
            best_c = min(best_c, timed(lambda: [ceiling() for _ in range(calls)]) / calls)
    return best_s, best_c


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.1f} us"
    return f"{seconds * 1e3:8.2f} ms"


def line(name, subject, ceiling_name, ceiling, ratio, goal):
    print(f"{name:46s} {fmt(subject)} | {ceiling_name:24s} {fmt(ceiling)} | "
          f"ratio {ratio:8.3f} | goal {goal}")
    sys.stdout.flush()


# ---------------------------------------------------------------------------
# Figures

def bench_map_speed(device, rounds):
    """Goal 1: the weight bytes of the 224 model through `_map` against a memcpy of them."""
    model = mobilenet()
    weight_bytes = fill_weights(model, np.random.default_rng(1))
    src = np.random.default_rng(2).integers(0, 255, size=weight_bytes, dtype=np.uint8)
    dst = np.empty_like(src)
    np.copyto(dst, src)  # the destination's pages are touched before the timing
    map_model(model, device)
    program = sum(len(s.program) for s in model.sequences)
    t_map, t_copy = interleaved(lambda: map_model(model, device),
                                lambda: np.copyto(dst, src), rounds)
    line(f"1 map 224 model, {weight_bytes / 1e6:.1f} MB w, {program / 1e6:.1f} MB prog",
         t_map, "memcpy of the weights", t_copy, t_copy / t_map, ">= 0.05 (aim 0.10)")
    return model


def per_layer_ratio(name, small, large, device, rounds, goal="<= 1.5"):
    """Goal 2: time per layer of the larger model against the smaller one's."""
    def per_layer(model):
        return lambda: map_model(model, device)
    t_small, t_large = interleaved(per_layer(small), per_layer(large), rounds)
    per_small = t_small / len(small.layers)
    per_large = t_large / len(large.layers)
    line(f"2 {name}, {len(large.layers)} layers", per_large,
         f"per layer, {len(small.layers)} layers", per_small, per_large / per_small, goal)


def deepest_residual_chain(device, limit):
    """The largest block count (up to `limit`) whose residual chain maps as one hardware
    sequence of one pass."""
    low, high = 1, None
    blocks = 2
    while blocks <= limit:
        m = residual_chain(blocks)
        map_model(m, device)
        if not one_hardware_sequence(m):
            high = blocks
            break
        low = blocks
        blocks *= 2
    if high is None:
        return low
    while high - low > 1:
        mid = (low + high) // 2
        m = residual_chain(mid)
        map_model(m, device)
        if one_hardware_sequence(m):
            low = mid
        else:
            high = mid
    return low


def bench_linearity(device, rounds, quick):
    """Goal 2: plain chains and residual chains, per-layer map time."""
    small, large = conv_chain(24), conv_chain(192)
    per_layer_ratio("plain Conv2D chain", small, large, device, rounds)

    six = residual_chain(6)
    deepest = deepest_residual_chain(device, 64 if quick else 256)
    per_layer_ratio(f"residual chain of {deepest} blocks (deepest)", six,
                    residual_chain(deepest), device, rounds)
    # Residual graphs past what one sequence holds (the same path at both sizes): the
    # per-layer time shows whether any step grows faster than the layer count.
    per_layer_ratio("residual graph of 200 blocks", residual_chain(50), residual_chain(200),
                    device, max(1, rounds // 2), goal="<= 1.5 (no step past n log n)")


def bench_variables(rounds):
    """Goal 3: Variables set and get against np.copy."""
    big = core.Layer(core.LayerParams(core.Conv2D, dict(filters=2048, kernel_size=1)), "big")
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=1, input_height=1, input_channels=2048))
    m.add(big)
    a = np.random.default_rng(3).integers(-128, 128, size=big.variables["weights"].shape,
                                          dtype=np.int8)
    v = big.variables
    t_set, t_copy = interleaved(lambda: v.__setitem__("weights", a), lambda: np.copy(a), rounds)
    line(f"3 Variables set, {a.nbytes / 2**20:.0f} MB int8", t_set, "np.copy", t_copy,
         t_set / t_copy, "<= 1.5")
    t_get, t_copy = interleaved(lambda: v["weights"], lambda: np.copy(a), rounds)
    line(f"3 Variables get, {a.nbytes / 2**20:.0f} MB int8", t_get, "np.copy", t_copy,
         t_get / t_copy, "<= 1.2")

    small = core.Layer(core.LayerParams(core.Conv2D, dict(filters=64, kernel_size=1)), "small")
    m2 = core.Model()
    m2.add(layer(core.InputData, "input", input_width=1, input_height=1, input_channels=32))
    m2.add(small)
    s = np.ones(small.variables["weights"].shape, dtype=np.int8)
    sv = small.variables
    calls = 200
    t_set, t_copy = interleaved(lambda: sv.__setitem__("weights", s), lambda: np.copy(s),
                                rounds, calls)
    line(f"3 Variables set, {s.size} elements (per call)", t_set, "np.copy", t_copy, t_set / t_copy,
         "subject <= 5 us")
    t_get, t_copy = interleaved(lambda: sv["weights"], lambda: np.copy(s), rounds, calls)
    line(f"3 Variables get, {s.size} elements (per call)", t_get, "np.copy", t_copy, t_get / t_copy,
         "subject <= 5 us")
    return m, m2


def bench_model_files(model, rounds):
    """Goal 4: Model(path) and save against raw snappy and a plain file read or write."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "model.fbz")
        ceiling_path = os.path.join(tmp, "ceiling.bin")
        model.save(path)
        with open(path, "rb") as f:
            stored = f.read()
        raw = snappy.decompress(stored)

        def read_and_decompress():
            with open(path, "rb") as f:
                snappy.decompress(f.read())

        def compress_and_write():
            with open(ceiling_path, "wb") as f:
                f.write(snappy.compress(raw))

        t_load, t_ceiling = interleaved(lambda: core.Model(path), read_and_decompress, rounds)
        line(f"4 Model(path), {len(stored) / 1e6:.1f} MB file", t_load,
             "file read + unsnappy", t_ceiling, t_load / t_ceiling, "<= 1.3")
        t_save, t_ceiling = interleaved(lambda: model.save(path), compress_and_write, rounds)
        line(f"4 Model.save, {len(raw) / 1e6:.1f} MB model", t_save, "snappy + file write",
             t_ceiling, t_save / t_ceiling, "<= 1.3")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="one short round of each figure, to prove the script works")
    parser.add_argument("--rounds", type=int, default=None, help="rounds per figure")
    parser.add_argument("--cpu", action="store_true",
                        help="time by the CPU time of this thread instead of wall time")
    args = parser.parse_args(argv)
    global CLOCK
    if args.cpu:
        CLOCK = time.thread_time
    rounds = args.rounds or (1 if args.quick else 15)

    device = big_v2_device()
    print(f"vorna benchmark: {'quick, ' if args.quick else ''}{rounds} round(s) per figure, "
          f"fastest round of each side, {'thread CPU' if args.cpu else 'wall'} time")
    if args.quick:
        print("quick mode only proves that the script runs: one short round of each figure is "
              "far from a measurement, and no ratio is checked against its goal")
    model = bench_map_speed(device, rounds)
    bench_linearity(device, rounds, args.quick)
    bench_variables(rounds)
    bench_model_files(model, rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
