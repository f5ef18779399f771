import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from emu_support import PLAIN, SOC_CLKWRAP, SOC_FLASH, program_info

import vorna.core as core


@pytest.fixture
def devices():
    return core.HardwareDevice.devices()


@pytest.fixture
def plain(devices):
    device = devices[PLAIN]
    yield device
    device.unprogram()


# Input (2, 2, 1), output (1, 1, 3) of 8 bits with activation: uint8 outputs (s + i) % 256,
# s the frame's byte sum modulo 251.
PROGRAM = program_info([2, 2, 1], [1, 1, 3], 8, True)


def test_discovery_lists_the_working_drivers(devices):
    assert [str(d.version) for d in devices] == ["BC.A2.001.000", "BC.A1.003.009", "BC.A1.003.009"]
    assert devices[SOC_FLASH].desc == "Emulated v2 BC.A2.001.000"
    assert len(devices[PLAIN].mesh.nps) == 28
    assert devices[0] is core.HardwareDevice.devices()[0] and not (devices[0] == devices[1])
    assert not (devices[PLAIN] == core.Device(devices[PLAIN].version, devices[PLAIN].mesh))


def test_programming(plain):
    assert plain.program is None
    plain.program = PROGRAM
    assert plain.program == PROGRAM
    assert plain.metrics["program_clk"] == 100 + len(PROGRAM) // 4
    assert plain.memory == (len(PROGRAM), len(PROGRAM))
    plain.unprogram()
    assert plain.program is None and plain.memory == (0, len(PROGRAM))
    plain.reset_top_memory()
    assert plain.memory == (0, 0)
    with pytest.raises(ValueError, match="Invalid program."):
        plain.program = b"\x01\x02\x03"
    assert plain.program is None
    plain.program_external(PROGRAM, 0x1000)
    assert plain.program == PROGRAM


def test_runs_outputs_metrics_and_refusals(plain):
    with pytest.raises(RuntimeError, match="The device is not programmed."):
        plain.forward(np.ones((1, 4), np.uint8))
    plain.program = PROGRAM
    metrics = plain.metrics
    inputs = np.array([[[[1], [2]], [[3], [4]]], [[[0], [0]], [[0], [255]]]], dtype=np.uint8)
    out = plain.forward(inputs)
    assert (out.dtype, out.shape) == (np.uint8, (2, 1, 1, 3))
    np.testing.assert_array_equal(out[:, 0, 0], [[10, 11, 12], [4, 5, 6]])
    assert (metrics["inference_frames"], metrics["inference_clk"]) == (2, 2 * 1000 + 17)
    assert metrics["inference_start"] <= metrics["inference_end"]
    # A 2-D input (n, k) runs with n frames; any array-like is cast to uint8.
    out = plain.predict([[1.7, 2, 3, 4]] * 3)
    assert out.dtype == np.float32 and out.shape == (3, 1, 1, 3)
    np.testing.assert_array_equal(out[2, 0, 0], [10.0, 11.0, 12.0])
    assert metrics["inference_frames"] == 3
    x = np.ones((3, 4), np.uint8)
    for labels in ([], [7], [1, 2, 3], 2.0, 5, np.array([1, 2, 3], np.int64)):
        assert plain.fit(x, labels).shape == (3, 1, 1, 3)
    assert plain.fit(inputs=x, input_labels=[0]).shape == (3, 1, 1, 3)
    # Refused inputs and labels leave the metrics alone.
    before = metrics["inference_end"]
    with pytest.raises(RuntimeError, match=r"Input dimensions are not correct \(Should be 4 or 2\)\."):
        plain.forward(np.zeros((1, 2, 2), np.uint8))
    with pytest.raises(ValueError, match="Input dimensions do not match the program."):
        plain.forward(np.zeros((1, 5), np.uint8))
    with pytest.raises(RuntimeError, match="Number of labels should be the same as number of inputs."):
        plain.fit(x, [1, 2])
    for bad in (2.5, float("nan"), 3e10, np.array([1.0, 2.0, 3.0]), ["a"], [2**40]):
        with pytest.raises(ValueError, match="fit method expects integers as labels"):
            plain.fit(x, bad)
    assert metrics["inference_end"] == before


def test_output_types(plain):
    cases = [(4, True, np.uint8), (8, False, np.int8), (1, True, np.uint8), (32, False, np.int32)]
    for bits, activation, dtype in cases:
        plain.program = program_info([4], [1, 1, 10], bits, activation)
        assert plain.forward(np.ones((3, 4), np.uint8)).dtype == dtype
    plain.program = program_info([4], [1, 1, 200], 8, False)
    out = plain.forward(np.ones((1, 4), np.uint8))
    np.testing.assert_array_equal(out[0, 0, 0, [0, 123, 124, 199]], [4, 127, -128, -53])
    # int4 and int16 outputs are refused.
    for frames, bits in ((2, 4), (3, 16)):
        plain.program = program_info([4], [1, 1, 2], bits, False)
        with pytest.raises(RuntimeError, match="Unexpected output type."):
            plain.forward(np.ones((frames, 4), np.uint8))
        # The run itself was recorded before the result was refused.
        assert plain.metrics["inference_frames"] == frames
    plain.program = program_info([4], [2], 8, True)
    with pytest.raises(RuntimeError, match="Cannot have a shape with a dimension set to 0"):
        plain.forward(np.ones((1, 4), np.uint8))


def test_learning_memory(plain):
    assert plain.learn_mem is None
    plain.learn_mem = b"abc"  # 3 // 4 == 0 words
    with pytest.raises(RuntimeError, match="Unexpected input buffer size."):
        plain.learn_mem = b"abcd"


def test_soc_and_power_events(devices):
    assert devices[PLAIN].soc is None and devices[PLAIN].inference_power_events == []
    device = devices[SOC_FLASH]
    soc = device.soc
    assert soc.power_measurement_enabled is False and soc.power_meter is None
    device.program = program_info([4], [1, 1, 2], 8, True)
    device.forward(np.ones((1, 4), np.uint8))
    assert device.inference_power_events == []
    soc.power_measurement_enabled = True
    meter = soc.power_meter
    if meter.events():
        assert meter.floor == 0.0  # kept events, floor forgotten by the reset
    device.forward(np.ones((3, 4), np.uint8))
    events = device.inference_power_events
    assert len(events) >= 2
    last = events[-2:]
    assert [(e.voltage, e.current, e.power) for e in last] == [(800000, 103, 82)] * 2
    assert last[0].ts < last[1].ts
    assert meter.floor == pytest.approx(82.4)
    soc.power_measurement_enabled = np.bool_(False)
    assert soc.power_meter is None
    device.forward(np.ones((1, 4), np.uint8))
    assert len(device.inference_power_events) == len(events)
    device.unprogram()


def test_soc_clock_mode(devices):
    soc = devices[SOC_FLASH].soc
    assert soc.clock_mode == core.soc.Performance
    soc.clock_mode = core.soc.LowPower
    assert soc.clock_mode == core.soc.LowPower
    with pytest.raises(ValueError, match="Invalid clock mode"):
        soc.clock_mode = core.soc.ClockMode(200000000)
    soc.clock_mode = core.soc.Performance


def test_flash_submodule(devices):
    board = core.boardXvr2200
    flash = board.get_flash(devices[SOC_FLASH])
    assert isinstance(flash, board.SpiFlashController)
    with pytest.raises(RuntimeError, match="get_id function is not yet implemented"):
        flash.get_id()
    with pytest.raises(ValueError, match="The device does not contain an XVR2200 flash"):
        board.get_flash(devices[SOC_CLKWRAP])
    virtual = core.Device(devices[PLAIN].version, devices[PLAIN].mesh)
    for bad in (virtual, None):
        with pytest.raises(TypeError):
            board.get_flash(bad)


def run_with_devices(devices, code):
    """Runs `code` in a fresh interpreter whose emulated device list is `devices`; returns the
    lines it printed. A crash shows as its return code."""
    env = dict(os.environ, VORNA_EMU_DEVICES=devices)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_clock_change_options_of_the_emulated_devices():
    # clkstuck: a clock change never completes; clkbusy: one is under way from the start.
    lines = run_with_devices("v2+soc+clkstuck,v1+soc+clkbusy", """
        import vorna.core as core
        def attempt(soc, mode):
            try:
                soc.clock_mode = mode
                print("ok", soc.clock_mode)
            except RuntimeError as e:
                print(type(e).__name__, e)
        stuck, busy = (d.soc for d in core.HardwareDevice.devices())
        attempt(stuck, core.soc.Economy)
        attempt(stuck, core.soc.Economy)
        attempt(busy, core.soc.LowPower)
        attempt(busy, core.soc.LowPower)
    """)
    assert lines == ["RuntimeError Failed to apply clock mode.",
                     "RuntimeError Clock mode is already changing.",
                     "RuntimeError Clock mode is already changing.",
                     "ok ClockMode.LowPower"]


@pytest.mark.parametrize("devices, message", [
    ("v1+turbo", "Unknown emulated device option 'turbo'."),
    ("v2+soc,v1+clkstuk", "Unknown emulated device option 'clkstuk'."),
    ("v4", "Unknown emulated device preset 'v4'."),
])
def test_unknown_emulated_device_options_are_refused(devices, message):
    lines = run_with_devices(devices, """
        import vorna.core as core
        for _ in range(2):
            try:
                core.HardwareDevice.devices()
                print("listed")
            except Exception as e:
                print(type(e).__name__, e)
    """)
    assert lines == ["ValueError " + message] * 2
