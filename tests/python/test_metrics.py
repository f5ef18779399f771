"""Metrics views."""

import numpy as np
import pytest

from emu_support import PLAIN, program_info

import vorna.core as core


def test_device_metrics_are_a_live_view():
    device = core.HardwareDevice.devices()[PLAIN]
    metrics = device.metrics
    assert set(metrics.names) <= {"program_clk", "inference_frames", "inference_clk",
                                  "inference_start", "inference_end"}
    with pytest.raises(ValueError, match="^no_such : no such metrics$"):
        metrics["no_such"]
    device.program = program_info([4], [1, 1, 2], 8, True)
    device.forward(np.ones((5, 4), np.uint8))
    assert (metrics["inference_frames"], metrics["inference_clk"]) == (5, 5017)
    device.unprogram()
    del device
    assert metrics["inference_frames"] == 5  # the view keeps the device alive
    model = core.Model()
    assert model.metrics.names == [] and model.power_events == []
