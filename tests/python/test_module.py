import os
import shutil
import subprocess

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


SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")


# The binding headers stop a build against any pybind11 but 3.1.x: a stand-in pybind11 header
# of each version is compiled with them.
@pytest.mark.parametrize("version, accepted", [
    ((3, 1, 0), True), ((3, 1, 7), True), ((3, 0, 1), False), ((3, 2, 0), False),
    ((2, 13, 6), False), ((4, 1, 0), False), (None, False),
])
def test_build_needs_pybind11_3_1(tmp_path, version, accepted):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    (tmp_path / "pybind11").mkdir()
    macros = "" if version is None else "".join(
        f"#define PYBIND11_VERSION_{part} {number}\n"
        for part, number in zip(("MAJOR", "MINOR", "PATCH"), version))
    (tmp_path / "pybind11" / "pybind11.h").write_text(macros)
    source = tmp_path / "probe.cpp"
    source.write_text('#include "python/pybind11_version_py.h"\n')
    result = subprocess.run([compiler, "-std=c++17", "-fsyntax-only", "-I", str(tmp_path), "-I",
                             SRC, str(source)], capture_output=True, text=True)
    assert (result.returncode == 0) == accepted, result.stderr
    if not accepted:
        assert ("vorna.core supports pybind11 3.1.x only: the guard of its objects relies on "
                "that version's internals.") in result.stderr
