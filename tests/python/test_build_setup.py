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


def script(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "scripts" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


python_deps = script("python_deps")
install_package = script("install_package")


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


CMAKE_WARNING = ["CMake Warning at CMakeLists.txt:9 (message):", "  no ccache", ""]
PIP_ERROR = "ERROR: pip's dependency resolver does not currently take into account all packages"


@pytest.mark.parametrize("indent", ["  ", "    ", ""])
@pytest.mark.parametrize("configure, ninja, after, shown", [
    ([], ["ninja: no work to do."], [], []),
    ([], ["[1/2] Building CXX object a.cpp.o", "a.cpp:7:12: warning: unused", "    7 | int x;",
          "[2/2] Linking CXX shared module core.so"], [], None),
    (CMAKE_WARNING, ["ninja: no work to do."], [PIP_ERROR], CMAKE_WARNING + [PIP_ERROR]),
    # Undecodable bytes arrive as U+FFFD.
    ([], ["[1/1] Building CXX object a.cpp.o", "a.cpp:1:1: warning: \ufffd"], [], None),
])
def test_install_shows_the_build_and_warnings_only(indent, configure, ninja, after, shown):
    steps = ["*** Configuring CMake...", *configure, "-- Configuring done (0.2s)",
             "*** Building project with Ninja...", "[0/2] Re-checking globbed directories...",
             *ninja, "*** Installing project into wheel...", "-- Installing: /tmp/core.so"]
    lines = ["Processing /work/vorna\n", *(f"{indent}{step}".rstrip() + "\n" for step in steps),
             "Successfully installed vorna-0.1.0\n", *(f"{line}\n" for line in after)]
    assert list(install_package.build_output(lines)) == (ninja if shown is None else shown)


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
    import pybind11

    real = Path(pybind11.get_cmake_dir())
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


def tracked_files(repo, tree):
    """Copies the tracked files of a git working tree, as they are, into `tree` (no .git)."""
    names = subprocess.run(["git", "ls-files", "-z"], cwd=repo, check=True,
                           capture_output=True).stdout.split(b"\0")
    for name in map(os.fsdecode, filter(None, names)):
        if os.path.lexists(repo / name):  # not deleted in the working tree
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(repo / name, tree / name, follow_symlinks=False)


@pytest.mark.skipif(None in (shutil.which("make"), shutil.which("git"),
                             importlib.util.find_spec("clang_format"))
                    or not (ROOT / ".git").exists(), reason="needs make, a git clone and clang-format")
@pytest.mark.parametrize("folder, stat_dirty", [("tree", False), ("my tree", True)])
def test_format_check_in_a_source_archive(tmp_path, folder, stat_dirty):
    # The tracked files as they are, without .git. A stat-dirty index (a file touched) is made
    # in a clone, so that nothing is written into the repository under test. This environment
    # has the pinned clang-format: `deps` is left out.
    repo = ROOT
    if stat_dirty:
        repo = tmp_path / "my clone"
        subprocess.run(["git", "clone", "-q", "--no-hardlinks", ROOT, repo], check=True)
        os.utime(repo / "Makefile")
    tree = tmp_path / folder
    tracked_files(repo, tree)
    for bad in ("src/badly_formatted.cpp", "build/py/built.cpp"):
        (tree / bad).parent.mkdir(parents=True, exist_ok=True)
        (tree / bad).write_text("int  f( ){return 1;}\n")
    with open(tmp_path / "out", "w") as out, subprocess.Popen(
            ["make", "-o", "deps", "format-check"], cwd=tree, stdin=subprocess.PIPE, stdout=out,
            stderr=subprocess.STDOUT, env={**os.environ, "VIRTUAL_ENV": sys.prefix}) as make:
        try:
            make.wait(timeout=60)  # with its standard input open
        finally:
            make.kill()
    output = (tmp_path / "out").read_text()
    named = {line.split(":")[0] for line in output.splitlines() if ": error: " in line}
    assert make.returncode != 0 and named == {"src/badly_formatted.cpp"}, output


APT_PACKAGES = ("g++ libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev cmake "
                "ninja-build ccache python3 python3-venv python3-dev")
ADVICE = ("use Debian 12's own python3 (Python 3.11, /usr/bin/python3 first on PATH), or "
          "activate a Python 3.11 virtual environment, and run make again")
APT_COMMAND = f"'apt-get update && apt-get install --no-install-recommends {APT_PACKAGES}'"


@pytest.mark.parametrize("uid, python3, venv, sudo, calls, message", [
    (0, "3.13.5", None, False, [], "Python 3.11 only, and python3 ({bin}/python3) is Python "
     "3.13.5: " + ADVICE),
    (0, "3.11.2", "3.12.1", False, [], "Python 3.11 only, and the activated virtual environment "
     "{tmp}/env is Python 3.12.1: deactivate it to use the project's own .venv, or " + ADVICE),
    # No python3 yet: apt brings it alone, and it is checked before anything else is installed.
    (0, None, None, False, ["apt-get update", "apt-get install -y --no-install-recommends python3"],
     "Python 3.11 only, and python3 ({bin}/python3) is Python 3.13.5: " + ADVICE),
    (1000, "3.11.2", None, False, [], f"sudo is not installed: as root, run {APT_COMMAND}, or "
     "install sudo, get the right to use it, and run make again"),
    (1000, "3.11.2", None, True, ["sudo apt-get update", "sudo env DEBIAN_FRONTEND=noninteractive "
                                  f"apt-get install -y --no-install-recommends {APT_PACKAGES}"],
     f"failed: through sudo (you need the right to use it) or as root, run {APT_COMMAND}"),
])
def test_install_deps_checks_the_python_first_and_gives_the_apt_command(
        tmp_path, uid, python3, venv, sudo, calls, message):
    # install-deps.sh among stand-ins for the system's tools: nothing is installed; apt-get
    # brings a Python 3.13; sudo runs apt-get update only; id says `uid`.
    (tmp_path / "tree" / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "install-deps.sh", tmp_path / "tree" / "scripts")
    bin_dir, log = tmp_path / "bin", tmp_path / "calls"
    (tmp_path / "env" / "bin").mkdir(parents=True)
    bin_dir.mkdir()
    log.touch()
    for tool in ("bash", "dirname", "find", "stat", "grep", "env", "chmod"):
        (bin_dir / tool).symlink_to(shutil.which(tool))
    fakes = {"dpkg-query": "exit 1", "id": f'[ "$1" = -un ] && echo alice || echo {uid}',
             "apt-get": f'echo "apt-get $*" >> "{log}"\n[ "$1" != install ] || '
                        f'{{ echo "echo 3.13.5" > "{bin_dir}/python3"; chmod +x "{bin_dir}/python3"; }}',
             "sudo": sudo and f'echo "sudo $*" >> "{log}"\n[ "$1" = apt-get ]',
             "python3": python3 and f"echo {python3}", "../env/bin/python": f"echo {venv}"}
    for name, body in fakes.items():
        if body:
            (bin_dir / name).write_text(f"#!/bin/sh\n{body}\n")
            (bin_dir / name).chmod(0o755)
    env = {"PATH": str(bin_dir), **({"VIRTUAL_ENV": str(tmp_path / "env")} if venv else {})}
    result = subprocess.run(["bash", tmp_path / "tree" / "scripts" / "install-deps.sh"], env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert log.read_text().splitlines() == calls
    assert result.stderr.endswith(message.format(bin=bin_dir, tmp=tmp_path) + "\n"), result.stderr
