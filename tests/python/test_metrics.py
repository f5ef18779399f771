import numpy as np
import pytest

import emu_support
from emu_support import PLAIN, program_info

import vorna.core as core


def test_metrics_class():
    assert core.Metrics.__doc__ == "A set of 64-bit integer metrics indexed by name."
    with pytest.raises(TypeError):
        core.Metrics()


def test_device_metrics_are_a_live_view():
    device = core.HardwareDevice.devices()[PLAIN]
    metrics = device.metrics
    names = set(metrics.names)
    assert names <= {"program_clk", "inference_frames", "inference_clk", "inference_start",
                     "inference_end"}
    with pytest.raises(ValueError, match="^no_such : no such metrics$"):
        metrics["no_such"]
    device.program = program_info([4], [1, 1, 2], 8, True)
    device.forward(np.ones((5, 4), np.uint8))
    assert metrics["inference_frames"] == 5
    assert metrics["inference_clk"] == 5017
    assert isinstance(metrics["inference_start"], int)
    device.unprogram()
    del device
    assert metrics["inference_frames"] == 5  # the view keeps the device alive


def test_model_metrics_and_power_events():
    model = core.Model()
    metrics = model.metrics
    assert metrics.names == []
    with pytest.raises(ValueError, match="inference_clk : no such metrics"):
        metrics["inference_clk"]
    assert model.power_events == []
    assert model.metrics.names == []
