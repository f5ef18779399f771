import pickle

import pytest

import emu_support  # noqa: F401  (sets the emulated devices before the first query)

import vorna.core as core


def test_soc_submodule_and_clock_mode_enum():
    assert core.soc.__doc__ == "Vorna Tarn specific functions"
    mode = core.soc.ClockMode
    assert list(mode.__members__) == ["Performance", "Economy", "LowPower"]
    assert [int(m) for m in mode.__members__.values()] == [300000000, 100000000, 5000000]
    assert core.soc.Economy == mode.Economy
    assert core.soc.LowPower.value == 5000000
    assert mode.__doc__.startswith("Clock mode configuration")
    assert pickle.loads(pickle.dumps(mode.Economy)) == mode.Economy
    assert mode.Economy != 100000000
    assert mode(7).name == "???"
    with pytest.raises(TypeError):
        mode.Economy < mode.LowPower


def test_power_classes_cannot_be_built():
    for cls in (core.PowerEvent, core.PowerMeter, core.SocDriver):
        with pytest.raises(TypeError):
            cls()
    assert "A timestamped power measurement." in core.PowerEvent.__doc__
    assert "older\n    events are replaced by newer events." in core.PowerMeter.__doc__


def test_registration_order():
    names = list(vars(core))
    order = ["Metrics", "Device", "SocDriver", "HardwareDevice", "HwVersion", "PowerEvent",
             "PowerMeter", "soc", "IpVersion", "boardXvr2200", "graph_utils"]
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)
