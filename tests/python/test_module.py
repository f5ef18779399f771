import pytest

import vorna
import vorna.core as core


def test_version():
    assert vorna.__version__ == core.__version__


# The names the module body registers, in its fixed order. Registrations that later work adds
# slot in at their place; the test checks the relative order of those present.
MODULE_ORDER = [
    "__version__", "BackendType", "Model", "Layer", "LayerType", "Padding", "PoolType",
    "ActivationType", "LayerParams", "Optimizer", "VornaUnsupervised", "Variables",
    "evaluate_bitwidth", "Metrics", "Device", "SocDriver", "HardwareDevice", "HwVersion",
    "Tarn_v1", "Tarn_v2", "Gemel_v1", "XVR2200_v1", "Selvo_v2", "Mote_Selvo", "NP",
    "MapConstraints", "ProgramParts", "Sequence", "Pass", "PowerEvent", "PowerMeter", "soc",
    "ProgramMemoryRequired", "get_program_memory_infos", "nn", "IpVersion", "boardXvr2200",
    "graph_utils",
]

NP_ORDER = ["SramSize", "Mesh", "Ident", "Type", "Info", "NpSpace", "MemoryInfo", "Component"]


@pytest.mark.parametrize("module, expected", [(core, MODULE_ORDER), (core.NP, NP_ORDER)])
def test_registration_order(module, expected):
    present = [name for name in module.__dict__ if name in expected]
    assert present == [name for name in expected if name in present]
