"""Hostile calls of the bindings: each gets a clear exception and changes nothing."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorna.core as core
from builders import fc_model, layer


def run_child(code, **env):
    """Runs `code` in a fresh interpreter; a crash shows as its return code."""
    child_env = dict(os.environ, **env)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


# ------------------------------------------------------------------ devices

def test_device_constructor_refuses_objects_it_cannot_initialise():
    lines = run_child("""
        import vorna.core as core
        hw = core.HardwareDevice.devices()[0]
        class Sub(core.HardwareDevice):
            def __init__(self, version, mesh):
                core.Device.__init__(self, version, mesh)
        calls = [
            lambda: core.Device.__init__(hw, hw.version, hw.mesh),
            lambda: Sub(hw.version, hw.mesh),
            lambda: core.Device.__init__(5, hw.version, hw.mesh),
            lambda: core.Device.__init__(),
        ]
        for call in calls:
            try:
                call()
                print("accepted")
            except Exception as e:
                print(type(e).__name__, e)
        print(hw.desc == core.HardwareDevice.devices()[0].desc)
    """, VORNA_EMU_DEVICES="v2")
    refused = ("TypeError Device.__init__() builds virtual devices only and cannot initialise "
               "an object of type {}.")
    assert lines == [
        refused.format("vorna.core.HardwareDevice"),
        refused.format("Sub"),
        refused.format("int"),
        "TypeError Device.__init__() needs the object to initialise.",
        "True",
    ]


# ------------------------------------------------------------------ variables

def recurrent_layer():
    """A mote layer of 64 states."""
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=1, input_height=16, input_channels=32,
                    input_bits=8))
    model.add(layer(core.StatefulRecurrent, "sr", stateful_channels=64, output_channels=16,
                    output_bits=8))
    return model, model.layers[1]


STATES = ["A_real", "A_imag", "internal_state_outputs_shift", "new_state_scale",
          "new_state_shift"]


@pytest.mark.parametrize("make, name, shape, refused", [
    (fc_model, "weights", (3, 3), "(6, 4)"),
    (fc_model, "weights", (24,), "(6, 4)"),
    (fc_model, "weights", (6, 4, 1), "(6, 4)"),
    (fc_model, "threshold", (5,), "(4,)"),
    (fc_model, "threshold", (4, 1), "(4,)"),
    # Read as (6, 4); the weights' own (units, inputs) order is refused like any other.
    (fc_model, "weights", (6, 4), None),
    (fc_model, "weights", (4, 6), "(6, 4)"),
] + [(recurrent_layer, state, (70,), "(64,)") for state in STATES],
    ids=lambda v: getattr(v, "__name__", str(v)))
def test_variable_of_another_shape_is_refused(make, name, shape, refused):
    _, lyr = make()
    before = lyr.variables[name]
    value = np.arange(np.prod(shape)).reshape(shape).astype(before.dtype)
    given = value.copy()
    if refused is None:
        lyr.variables[name] = value
        assert lyr.variables[name].size == before.size
        return
    with pytest.raises(ValueError) as err:
        lyr.variables[name] = value
    assert str(err.value) == (
        f"Cannot set variable '{name}' of shape {refused} from an array of shape {shape}.")
    np.testing.assert_array_equal(lyr.variables[name], before)
    np.testing.assert_array_equal(value, given)


def test_reading_a_variable_under_memory_pressure_raises_memory_error():
    lines = run_child("""
        import resource
        import vorna.core as core
        def layer(t, n, **p):
            return core.Layer(core.LayerParams(t, p), n)
        model = core.Model()
        model.add(layer(core.InputData, "in", input_width=1, input_height=1, input_channels=4096))
        model.add(layer(core.FullyConnected, "fc", units=16384, weights_bits=8))
        variables = model.layers[1].variables
        variables["threshold"]  # NumPy is loaded before the limit
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (32 << 20), resource.RLIM_INFINITY))
        try:
            variables["weights"]
            print("read")
        except Exception as e:
            print(type(e).__name__)
    """)
    assert lines == ["MemoryError"]
