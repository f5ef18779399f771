"""The project's set-up: which Python every make step uses, and the one pybind11 minor
version that every declaration of the dependency admits."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

spec = importlib.util.spec_from_file_location("python_deps", ROOT / "scripts" / "python_deps.py")
python_deps = importlib.util.module_from_spec(spec)
spec.loader.exec_module(python_deps)
spec = importlib.util.spec_from_file_location("install_package",
                                              ROOT / "scripts" / "install_package.py")
install_package = importlib.util.module_from_spec(spec)
spec.loader.exec_module(install_package)


def make_dry_run(target, virtual_env):
    env = {k: v for k, v in os.environ.items() if k != "VIRTUAL_ENV"}
    if virtual_env:
        env["VIRTUAL_ENV"] = virtual_env
    out = subprocess.run(["make", "-n", "-s", target], cwd=ROOT, env=env, check=True,
                         capture_output=True, text=True).stdout
    commands = [" ".join(line.split()) for line in out.replace("\\\n", " ").splitlines()]
    return [c for c in commands if "python" in c]


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
@pytest.mark.parametrize("virtual_env, python", [
    (None, f"{ROOT}/.venv/bin/python"),
    ("/opt/some env", "/opt/some env/bin/python"),
])
@pytest.mark.parametrize("target, last", [
    ("demo", "examples/map_v2_model.py"),
    ("test", "benchmarks/bench.py --quick"),
    ("bench", "benchmarks/bench.py"),
])
def test_make_steps_use_the_environment_python(virtual_env, python, target, last):
    lines = make_dry_run(target, virtual_env)
    install = [line for line in lines if "install_package.py" in line]
    assert len(install) == 1 and install[0].endswith(f' "{python}" scripts/install_package.py')
    assert lines[-1] == f'"{python}" {last}'
    if target == "test":
        assert f'"{python}" -m pytest -q tests/python' in lines


PIP_OUTPUT = """\
Processing /work/vorna
  Running command Building wheel for vorna (pyproject.toml)
  *** scikit-build-core 1.1.2 using CMake 4.4.5 (wheel)
  *** Configuring CMake...
  -- Configuring done (0.2s)
  *** Building project with Ninja...
  [0/2] Re-checking globbed directories...
{ninja}
  *** Installing project into wheel...
  -- Installing: /tmp/wheel/platlib/vorna/core.cpython-311-x86_64-linux-gnu.so
  *** Created vorna-0.1.0-cp311-cp311-linux_x86_64.whl
Successfully installed vorna-0.1.0
"""


@pytest.mark.parametrize("ninja, shown", [
    ("  ninja: no work to do.", []),
    ("  [1/2] Building CXX object ops.cpp.o\n  ops.cpp:7:12: warning: unused\n"
     "      7 | static int x;\n  [2/2] Linking CXX shared module core.so",
     ["[1/2] Building CXX object ops.cpp.o", "ops.cpp:7:12: warning: unused",
      "    7 | static int x;", "[2/2] Linking CXX shared module core.so"]),
])
def test_install_shows_the_build_only(ninja, shown):
    lines = PIP_OUTPUT.format(ninja=ninja).splitlines(keepends=True)
    assert list(install_package.build_output(lines)) == shown


def pybind11_requirement_in_install_deps():
    text = (ROOT / "scripts" / "install-deps.sh").read_text()
    return re.search(r'"(pybind11[^"]*)"', text).group(1)


def pybind11_requirement_in_pyproject():
    requires = tomllib.loads((ROOT / "pyproject.toml").read_text())["build-system"]["requires"]
    return next(r for r in requires if r.startswith("pybind11"))


VERSIONS = [("3.0.0", False), ("3.0.9", False), ("3.1.0rc1", False), ("3.1.0", True),
            ("3.1.7", True), ("3.2.0rc1", False), ("3.2.0", False), ("4.0.0", False)]


@pytest.mark.parametrize("declared", [pybind11_requirement_in_install_deps,
                                      pybind11_requirement_in_pyproject])
@pytest.mark.parametrize("version, accepted", VERSIONS)
def test_pybind11_declarations_admit_3_1_only(declared, version, accepted):
    req = declared()
    problems = python_deps.unmet([req], {"pybind11": version}.get)
    assert problems == ([] if accepted else [f"{req}: {version} is installed"])


def test_python_deps_script_exit_status():
    script = ROOT / "scripts" / "python_deps.py"
    ok = subprocess.run([sys.executable, script, "pytest"], capture_output=True, text=True)
    assert (ok.returncode, ok.stdout) == (0, "")
    bad = subprocess.run([sys.executable, script, "pytest<1", "no-such-dist-vorna"],
                         capture_output=True, text=True)
    assert bad.returncode == 1
    assert bad.stdout.splitlines() == [f"pytest<1: {pytest.__version__} is installed",
                                       "no-such-dist-vorna: not installed"]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
@pytest.mark.parametrize("version, accepted", [("3.0.9", False), ("3.1.7", True), ("3.2.0", False)])
def test_cmake_configure_accepts_pybind11_3_1_only(tmp_path, version, accepted):
    # A pybind11 package of the given version: the real version file, and a config that
    # only declares the target the build links.
    real = Path(subprocess.run([sys.executable, "-m", "pybind11", "--cmakedir"], check=True,
                               capture_output=True, text=True).stdout.strip())
    fake = tmp_path / "pybind11"
    fake.mkdir()
    version_file = (real / "pybind11ConfigVersion.cmake").read_text()
    assert 'set(PACKAGE_VERSION "' in version_file
    (fake / "pybind11ConfigVersion.cmake").write_text(
        re.sub(r'set\(PACKAGE_VERSION "[^"]*"\)', f'set(PACKAGE_VERSION "{version}")', version_file))
    (fake / "pybind11Config.cmake").write_text("add_library(pybind11::headers INTERFACE IMPORTED)\n")
    result = subprocess.run(
        ["cmake", "-S", ROOT, "-B", tmp_path / "build", "-G", "Ninja",
         "-DVORNA_BUILD_PYTHON=ON", "-DVORNA_BUILD_TESTS=OFF", f"-Dpybind11_DIR={fake}",
         f"-DPython_EXECUTABLE={sys.executable}"], capture_output=True, text=True)
    output = " ".join((result.stdout + result.stderr).split())
    if accepted:
        assert result.returncode == 0, output
    else:
        assert result.returncode != 0
        assert (f"vorna.core builds with pybind11 3.1.x only (found {version} at "
                f"{fake}/pybind11Config.cmake)") in output


@pytest.mark.parametrize("value", ["0", "", "1", "yes", None])
def test_ci_refuses_to_start_with_golden_update_set(tmp_path, value):
    # A copy of the CI script in a tree without a Makefile: past its checks, make stops at once.
    (tmp_path / ".ci").mkdir()
    shutil.copy(ROOT / ".ci" / "run", tmp_path / ".ci" / "run")
    env = {k: v for k, v in os.environ.items() if k != "VORNA_UPDATE_GOLDEN"}
    if value is not None:
        env["VORNA_UPDATE_GOLDEN"] = value
    result = subprocess.run(["bash", tmp_path / ".ci" / "run"], env=env, capture_output=True,
                            text=True, timeout=60)
    refused = "error: VORNA_UPDATE_GOLDEN is set" in result.stderr
    assert result.returncode != 0
    assert refused == (value is not None), result.stderr
    if value is not None:
        assert f"(to '{value}')" in result.stderr
        assert "make" not in result.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_module_exports_its_entry_only():
    import vorna.core

    out = subprocess.run(["nm", "-D", "--defined-only", vorna.core.__file__], check=True,
                         capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_core"], out


@pytest.mark.skipif(shutil.which("make") is None or not (ROOT / ".git").exists()
                    or importlib.util.find_spec("clang_format") is None,
                    reason="needs make, a git clone and clang-format")
def test_format_check_in_a_source_archive(tmp_path):
    # The tracked files as they are now (HEAD when nothing is changed), without .git; the
    # environment running this test has the pinned clang-format, so `deps` is left out.
    rev = subprocess.run(["git", "stash", "create"], cwd=ROOT, check=True, capture_output=True,
                         text=True).stdout.strip() or "HEAD"
    tree = tmp_path / "tree"
    tree.mkdir()
    archive = subprocess.run(["git", "archive", rev], cwd=ROOT, check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
    bad = "int  f( ){return 1;}\n"
    (tree / "src" / "corelib" / "badly_formatted.cpp").write_text(bad)
    (tree / "build" / "py").mkdir(parents=True)
    (tree / "build" / "py" / "built.cpp").write_text(bad)
    env = {**os.environ, "VIRTUAL_ENV": sys.prefix}
    with open(tmp_path / "out", "w+") as out:
        # Standard input stays open (and empty) until make has finished.
        make = subprocess.Popen(["make", "-o", "deps", "format-check"], cwd=tree, env=env,
                                stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT)
        try:
            status = make.wait(timeout=60)
        finally:
            make.kill()
            make.stdin.close()
        out.seek(0)
        output = out.read()
    assert status != 0, output
    named = {line.split(":")[0] for line in output.splitlines() if ": error: " in line}
    assert named == {"src/corelib/badly_formatted.cpp"}, output
