"""Hardware devices given hostile program bytes, and emulated hardware giving odd answers.

The emulated device list is read once per process: the odd-answer tests run in a child pytest
process whose VORNA_EMU_DEVICES names the devices they need.
"""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

from emu_support import program_info

import vorna.core as core
from builders import layer, mapped

ODD_DEVICES = "mote,v2+nooutputs+soc,v1+ragged,v2+powerwrap,v1+noflash"
MOTE, NO_OUTPUTS, RAGGED, POWER_WRAP, NO_FLASH = range(5)
IN_CHILD = os.environ.get("VORNA_EMU_DEVICES") == ODD_DEVICES
child_only = pytest.mark.skipif(not IN_CHILD, reason=(
    "runs only inside the child pytest that test_odd_answers_in_a_child_process starts, with the "
    "emulated devices it needs; nothing is missing"))

LIMIT = "takes more than 16777216 bytes per frame."


@pytest.mark.skipif(IN_CHILD, reason="starts this child pytest; does not run inside it")
def test_odd_answers_in_a_child_process():
    # Without this environment's pytest plugins and their options: the child needs none.
    env = dict(os.environ, VORNA_EMU_DEVICES=ODD_DEVICES, PYTEST_DISABLE_PLUGIN_AUTOLOAD="1",
               PYTEST_PLUGINS="", PYTEST_ADDOPTS="")
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
        env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    # Every test but this one ran in the child.
    assert re.match(r"\d+ passed, 1 skipped in ", run.stdout.splitlines()[-1]), run.stdout


# The rule in full is tested with the core library; here, what Python sees of it.
@pytest.mark.parametrize("inputs, outputs, message", [
    ([4], [1, 1, 2**30], "output_dims [1, 1, 1073741824] " + LIMIT),
    ([2**24 + 1], [1], "input_dims [16777217] " + LIMIT),
    ([4], [1, 0, 3], "output_dims [1, 0, 3] has a dimension of 0."),
    ([], [1], "input_dims [] has no dimension."),
])
def test_hostile_dims_are_refused_at_programming(inputs, outputs, message):
    device = core.HardwareDevice.devices()[0]
    bad = program_info(inputs, outputs, 8, True)
    assert len(bad) < 200
    for program in (lambda: setattr(device, "program", bad),
                    lambda: device.program_external(bad, 0x1000)):
        with pytest.raises(ValueError) as error:
            program()
        assert str(error.value) == "Invalid program: " + message
        assert device.program is None
    # The largest frames still program.
    largest = program_info([4096, 4096, 1], [4096, 4096, 1], 8, True)
    device.program = largest
    assert device.program == largest
    device.unprogram()


@pytest.fixture
def devices():
    found = core.HardwareDevice.devices()
    yield found
    for device in found:
        device.unprogram()


@child_only
def test_mote_post_processing_outputs_int16_on_the_model_path_only(devices):
    device = devices[MOTE]
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=1, input_height=5, input_channels=3,
                    input_bits=8))
    model.add(layer(core.StatefulRecurrent, "sr", stateful_channels=4, output_channels=1))
    model.add(layer(core.MotePostProcessing, "post"))
    x = np.arange(2 * 15, dtype=np.uint8).reshape(2, 1, 5, 3)
    assert mapped(model, device, hw_only=True).forward(x).dtype == np.int16
    with pytest.raises(RuntimeError, match="^Unexpected output type.$"):
        device.forward(x)


@child_only
def test_runs_without_outputs(devices):
    device = devices[NO_OUTPUTS]
    device.program = program_info([4], [1, 1, 3], 8, True)
    for run in (device.forward, device.predict, device.fit):
        out = run(np.ones((3, 4), np.uint8))
        assert out.dtype == np.float64 and out.shape == (0,)
        assert device.metrics["inference_frames"] == 3
        assert device.metrics["inference_clk"] == 3 * 1000 + 17


# Outputs of uint8: a frame's output keeps as many elements of the last dimension as its first
# byte says, element i is (byte sum % 251 + i) % 256. The array has the shape of the first
# output (its first three dims); each output is copied at i x (size of the first), never past
# the array's end.
@child_only
@pytest.mark.parametrize("dims, firsts, expected", [
    ([1, 1, 4], [4, 1], [[4, 5, 6, 7], [1, 0, 0, 0]]),     # shorter: zeros behind it
    ([1, 1, 4], [1, 4], [[1], [4]]),                       # longer: cut at the array's end
    ([1, 1, 4], [2, 4, 1], [[2, 3], [4, 5], [1, 7]]),       # longer: runs into the next slot
    ([1, 1, 4], [0, 200], [[0], [200]]),                   # at least one element, at most four
    ([1, 1, 2, 2], [2, 2, 2], [[2, 3], [4, 5], [2, 3]]),    # 4 dims: the third output is left out
])
def test_outputs_of_differing_sizes(devices, dims, firsts, expected):
    device = devices[RAGGED]
    device.program = program_info([4], dims, 8, True)
    x = np.zeros((len(firsts), 4), np.uint8)
    x[:, 0] = firsts
    out = device.forward(x)
    assert out.dtype == np.uint8
    assert out.shape == (len(firsts), 1, 1, len(expected[0]))
    np.testing.assert_array_equal(out.reshape(len(firsts), -1), expected)


@child_only
def test_power_readings_that_wrap_32_bits(devices):
    device = devices[POWER_WRAP]
    soc = device.soc
    device.program = program_info([4], [1, 1, 2], 8, True)
    soc.power_measurement_enabled = True
    device.forward(np.ones((50, 4), np.uint8))
    soc.power_measurement_enabled = False
    event = device.inference_power_events[-1]
    assert (event.voltage, event.current) == (3000000, 2000)
    # 3000000 x 2000 = 6000000000 wraps to 1705032704 before the division.
    assert event.power == 1705
    assert soc.power_meter is None


@child_only
def test_absent_flash_controller(devices):
    assert core.boardXvr2200.get_flash(devices[NO_FLASH]) is None
    with pytest.raises(ValueError, match="The device does not contain an XVR2200 flash"):
        core.boardXvr2200.get_flash(devices[MOTE])
