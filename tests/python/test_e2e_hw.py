"""Models mapped onto the emulated hardware devices and run from Python: outputs, metrics, power
events, learning read-back, direct device runs and hardware-then-software runs."""

import gc

import numpy as np
import pytest

from emu_support import PLAIN, SOC_CLKWRAP, SOC_FLASH

import vorna.core as core
from builders import layer, mapped


@pytest.fixture
def devices():
    found = core.HardwareDevice.devices()
    yield found
    # Leave every device as discovery gave it to the other tests.
    for device in found:
        device.unprogram()
        device.reset_top_memory()
        device.learn_enabled = False
        if device.soc is not None:
            device.soc.power_measurement_enabled = False


def v1_dense_model(units=8, learning=False):
    """input (1, 1, 64) of 1 bit -> FullyConnected "fc", each neuron with 6 connections (the
    weights read from Python as (inputs, units))."""
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=1, input_height=1, input_channels=64,
                input_bits=1))
    m.add(layer(core.FullyConnected, "fc", units=units, weights_bits=1, act_bits=1))
    fc = m.get_layer("fc")
    w, n = np.zeros(fc.variables["weights"].shape, np.int8), np.arange(units)
    for k in range(6):
        w[(n * 7 + k * 9) % 64, n] = 1
    fc.variables["weights"] = w
    if learning:
        for name, value in (("threshold_learning", 3), ("thswap", 2)):
            v = fc.variables[name]
            fc.variables[name] = np.full(v.shape, value, v.dtype)
        m.compile(core.VornaUnsupervised(6, 2))
    return m


def bits(n, seed):
    return (np.random.default_rng(seed).integers(0, 2, size=(n, 1, 1, 64))).astype(np.uint8)


def emulated(inputs, count, width):
    """The emulator's outputs: element i of a frame is (byte sum % 251 + i) % 2**width."""
    sums = inputs.reshape(len(inputs), -1).astype(np.int64).sum(axis=1) % 251
    return (sums[:, None] + np.arange(count)[None, :]) % (1 << width)


def test_model_forward_on_a_v1_hardware_device(devices):
    # The emulated counter starts just below 2^32 and counts 1000 cycles per frame plus 17 per
    # run; the difference is taken modulo 2^32.
    device = devices[SOC_CLKWRAP]
    m = mapped(v1_dense_model(), device)
    seq, = m.sequences
    assert seq.name == "HW/input-fc" and device.program is None  # programmed by the first run
    x = bits(3, 1)
    out = m.forward(x)
    assert out.shape == (3, 1, 1, 8)
    np.testing.assert_array_equal(out.reshape(3, 8), emulated(x, 8, 1))
    # The device runs the sequence's program bytes.
    assert device.program == seq.program
    assert (m.metrics["inference_frames"], m.metrics["inference_clk"]) == (3, 3 * 1000 + 17)
    assert m.metrics["program_clk"] == 100 + len(seq.program) // 4
    assert m.power_events == []  # measurement off

    # Batches of 2: two hardware runs, the same outputs.
    np.testing.assert_array_equal(m.forward(x, batch_size=2), out)
    assert m.metrics["inference_clk"] == 3 * 1000 + 2 * 17

    # The device's own forward on the program the model loaded gives the same outputs.
    np.testing.assert_array_equal(device.forward(x), out)

    # A model that is dropped unprograms the device it was running on.
    del m, seq, out
    gc.collect()
    assert device.program is None


def test_model_fit_reads_learned_variables_back(devices):
    device = devices[PLAIN]
    m = mapped(v1_dense_model(learning=True), device)
    fc = m.get_layer("fc")
    before = fc.variables["weights"].copy()
    x = bits(2, 2)
    m.forward(x)
    # FNP3 learning memory: two leading words, then 6 words per neuron (learning fields in
    # words 2 and 3, connections in 4 and 5).
    mem = np.frombuffer(device.learn_mem, dtype=np.uint32).copy()
    assert mem.size == 2 + 8 * 6 and device.learn_enabled is False
    n2 = 2 + 2 * 6
    assert (mem[n2 + 3] >> 16, mem[n2 + 3] & 0xFFFF) == (3, 2)
    mem[n2 + 2] = (mem[n2 + 2] & ~np.uint32(0xF0000)) | 0x30000
    mem[n2 + 3] = 0x00090004
    # Neuron 2 moves its connection from input 14 to input 31.
    assert mem[n2 + 4] >> 14 & 1 == 1
    mem[n2 + 4] = (mem[n2 + 4] & ~np.uint32(1 << 14)) | np.uint32(1 << 31)
    device.learn_mem = mem.tobytes()

    assert m.fit(x, [1, 0]).shape == (2, 1, 1, 8) and device.learn_enabled is True
    before[14, 2], before[31, 2] = 0, 1
    np.testing.assert_array_equal(fc.variables["weights"], before)
    assert list(fc.variables["threshold_learning"].reshape(-1)) == [3, 3, 0x30009, 3, 3, 3, 3, 3]
    assert list(fc.variables["thswap"].reshape(-1)) == [2, 2, 4, 2, 2, 2, 2, 2]

    # Fit with one label and with a float label, then a plain run switches learning off.
    m.fit(x, 1)
    m.fit(x, np.array([0, 1], np.int32))
    m.forward(x)
    assert device.learn_enabled is False

    # Mapped again, the program carries what was learned.
    mapped(m, device)
    m.forward(x)
    np.testing.assert_array_equal(np.frombuffer(device.learn_mem, dtype=np.uint32), mem)


def test_device_runs_a_mapped_program_directly(devices):
    device = devices[PLAIN]
    m = mapped(v1_dense_model(learning=True), device)
    seq, = m.sequences
    device.program = seq.program
    assert len(device.learn_mem) == 4 * (2 + 8 * 6)
    x = bits(4, 3)
    np.testing.assert_array_equal(device.fit(x, [0, 1, 0, 1]).reshape(4, 8), emulated(x, 8, 1))
    np.testing.assert_array_equal(device.predict(x).reshape(4, 8),
                                  emulated(x, 8, 1).astype(np.float32))
    # The model finds its bytes already loaded (the device's copy) and runs on them; dropping the
    # model leaves the device programmed, since it runs the copy and not the sequence's buffer.
    np.testing.assert_array_equal(m.forward(x).reshape(4, 8), emulated(x, 8, 1))
    assert device.program == seq.program
    info = seq.program_parts.program_info
    del m, seq
    gc.collect()
    assert device.program is not None

    # Programmed from the program-info part alone (its data elsewhere on the device): the same
    # outputs, no learning memory.
    device.program_external(info, 0x20000)
    assert device.program == info and device.learn_mem is None
    np.testing.assert_array_equal(device.forward(x).reshape(4, 8), emulated(x, 8, 1))


def v2_model():
    m = core.Model()
    m.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=3))
    m.add(layer(core.Conv2D, "conv", filters=8, kernel_size=3, activation=1, output_bits=8))
    m.add(layer(core.Dense1D, "dense", units=10, activation=0, output_bits=8))
    m.add(layer(core.Dequantizer, "dequantizer"))
    rng = np.random.default_rng(5)
    for lyr in m.layers[1:3]:
        w = lyr.variables["weights"]
        lyr.variables["weights"] = rng.integers(-8, 8, size=w.shape).astype(w.dtype)
    return m


def test_v2_dequantizer_predicts_with_power_events(devices):
    device = devices[SOC_FLASH]
    m = mapped(v2_model(), device)
    seq, = m.sequences
    assert seq.name == "HW/input-dequantizer"
    x = np.random.default_rng(6).integers(0, 256, size=(2, 8, 8, 3)).astype(np.uint8)

    # Without measurement: no power events.
    out = m.predict(x)
    assert out.dtype == np.float32 and out.shape == (2, 1, 1, 10)
    assert m.power_events == []
    device.soc.power_measurement_enabled = True
    # The device's predict on the last layer, a Dequantizer: forward gives the same floats.
    fwd = m.forward(x)
    np.testing.assert_array_equal(fwd, out)
    events = m.power_events  # two per run, current 100 + frames % 50, oldest first; copies
    assert [(e.voltage, e.current) for e in events[-2:]] == [(800000, 102)] * 2
    assert events[-2].ts < events[-1].ts and m.power_events[0] is not events[0]
    # The raw values follow the emulator, scaled per channel by the program's output scales.
    raw = emulated(x, 10, 8)
    raw = np.where(raw >= 128, raw - 256, raw)  # 8-bit outputs without activation are signed
    scales = out.reshape(2, 10) / raw
    np.testing.assert_allclose(scales[0], scales[1], rtol=1e-6)

    # evaluate picks predict (no activation on the Dequantizer) and scores the classes.
    labels = out.reshape(2, 10).argmax(axis=1).astype(np.int32)
    assert m.evaluate(x, labels) == 1.0
    device.soc.power_measurement_enabled = False
    m.forward(x)
    assert m.power_events == []
    # v2 does not learn on chip.
    with pytest.raises(RuntimeError, match="Learning not implemented on v2."):
        m.fit(x, [1, 2])


def test_virtual_device_cannot_run(devices):
    device = devices[PLAIN]
    m = mapped(v1_dense_model(), core.Device(device.version, device.mesh))
    for run in (lambda: m.forward(bits(1, 7)), lambda: m.fit(bits(1, 7), [0])):
        with pytest.raises(RuntimeError, match="An actual hardware device is required."):
            run()
    # Mapped again onto the hardware device, the same model runs.
    mapped(m, device)
    assert m.forward(bits(1, 7)).shape == (1, 1, 1, 8)


def test_hardware_then_software_sequence(devices):
    device = devices[PLAIN]
    m = v1_dense_model()
    # Dense1D is no v1 kind: it is left to the host.
    m.add(layer(core.Dense1D, "dense", units=3, activation=0, output_bits=8))
    dense = m.get_layer("dense")
    w = np.arange(24).reshape(8, 3).astype(dense.variables["weights"].dtype) - 12
    dense.variables["weights"] = w.T  # read as (units, inputs)
    with pytest.raises(RuntimeError, match="dense"):
        mapped(m, device, hw_only=True)
    mapped(m, device, hw_only=False)
    hw, sw = m.sequences
    assert (hw.backend, hw.name) == (core.Hardware, "HW/input-fc")
    assert (sw.backend, sw.name) == (core.Software, "SW/dense")

    x = bits(3, 8)
    out = m.forward(x)
    assert out.dtype == np.int32 and out.shape == (3, 1, 1, 3)
    np.testing.assert_array_equal(out.reshape(3, 3), emulated(x, 8, 1) @ w.astype(np.int64))
    assert device.program == hw.program


def test_a_software_sequence_it_cannot_compute_is_refused_before_the_hardware_runs(devices):
    device = devices[PLAIN]
    m = v1_dense_model()
    # Conv2D is no v1 kind: it is left to the host, which cannot compute it.
    m.add(layer(core.Conv2D, "conv", filters=2, kernel_size=1, activation=0))
    mapped(m, device, hw_only=False)
    assert [s.backend for s in m.sequences] == [core.Hardware, core.Software]
    for run in (lambda: m.forward(bits(2, 3)), lambda: m.fit(bits(2, 3), [0, 1])):
        with pytest.raises(RuntimeError, match="^Layer 'conv' of kind Conv2D cannot be evaluated"):
            run()
    assert device.program is None and m.metrics.names == []
