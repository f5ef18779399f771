"""The project's set-up: which Python every make step uses, and the one pybind11 minor
version that every declaration of the dependency admits."""

import importlib.util
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
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


# Folder names that run commands wherever a shell reads them as shell text: one for the steps
# that take every character, one that the build takes.
HOSTILE = "it's $(touch PWNED) `touch PWNED`, R&D #1"
BUILDABLE = "it's `touch PWNED`, R&D #1 (x)"
# What the build refuses in a folder's path.
REFUSED = re.compile(r'["\\;$*?|<>\[\]\x00-\x1f\x7f]')


@pytest.fixture
def build_tmp(tmp_path):
    """A folder the build takes: tmp_path, or one in /tmp (where the build's own temporary files
    go too) when TMPDIR's path holds a character that the build refuses."""
    if not REFUSED.search(str(tmp_path)):
        yield tmp_path
        return
    path = Path(tempfile.mkdtemp(prefix="vorna-test-", dir="/tmp"))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def executable(path, body):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/bin/sh\n{body}\n")
    path.chmod(0o755)


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
@pytest.mark.parametrize("virtual_env", [False, True])
@pytest.mark.parametrize("target, skipped, commands", [
    ("demo", ["install"], ["examples/map_v2_model.py"]),
    ("install", ["deps"], ["scripts/install_package.py"]),
    ("test", ["deps", "format-check", "install", "cpptest"],
     ["-m pytest -q tests/python", "benchmarks/bench.py --quick"]),
    ("bench", ["install"], ["benchmarks/bench.py"]),
])
def test_make_steps_use_the_environment_python_and_run_no_folder_name(
        tmp_path, virtual_env, target, skipped, commands):
    # The Makefile in a hostile folder, its steps before `target` left out; the environment's
    # python logs how it was called.
    tree = tmp_path / HOSTILE / "vorna"
    tree.mkdir(parents=True)
    shutil.copy(ROOT / "Makefile", tree)
    env_dir = tmp_path / HOSTILE / "env" if virtual_env else tree / ".venv"
    executable(env_dir / "bin" / "python", 'echo "$0 $*" >> "$MAKE_LOG"')
    env = {k: v for k, v in os.environ.items() if k != "VIRTUAL_ENV"}
    env["MAKE_LOG"] = str(tmp_path / "log")
    if virtual_env:
        env["VIRTUAL_ENV"] = str(env_dir)
    subprocess.run(["make", *(f"-o{t}" for t in skipped), target], cwd=tree, env=env, check=True,
                   capture_output=True)
    python = env_dir / "bin" / "python" if virtual_env else ".venv/bin/python"
    assert (tmp_path / "log").read_text().splitlines() == [f"{python} {c}" for c in commands]
    assert not list(tmp_path.rglob("PWNED"))


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
def test_cmake_configure_accepts_pybind11_3_1_only(build_tmp, version, accepted):
    # A pybind11 package of the given version: the real version file, and a config that
    # only declares the target the build links.
    import pybind11

    real = Path(pybind11.get_cmake_dir())
    fake = build_tmp / "pybind11"
    fake.mkdir()
    version_file = (real / "pybind11ConfigVersion.cmake").read_text()
    assert 'set(PACKAGE_VERSION "' in version_file
    (fake / "pybind11ConfigVersion.cmake").write_text(
        re.sub(r'set\(PACKAGE_VERSION "[^"]*"\)', f'set(PACKAGE_VERSION "{version}")', version_file))
    (fake / "pybind11Config.cmake").write_text("add_library(pybind11::headers INTERFACE IMPORTED)\n")
    result = subprocess.run(
        ["cmake", "-S", ROOT, "-B", build_tmp / "build", "-G", "Ninja",
         "-DVORNA_BUILD_PYTHON=ON", "-DVORNA_BUILD_TESTS=OFF", f"-Dpybind11_DIR={fake}",
         f"-DPython_EXECUTABLE={sys.executable}"], capture_output=True, text=True,
        env={**os.environ, "TMPDIR": "/tmp"})
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
@pytest.mark.parametrize("folder, stat_dirty", [("tree", False), ("my tree", True),
                                               (f"{HOSTILE}/tree", False)])
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
    assert not list(tmp_path.rglob("PWNED"))


APT_PACKAGES = ("g++ libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev cmake "
                "ninja-build ccache python3 python3-venv python3-dev")
ADVICE = ("vorna is supported on Debian 12 with its own Python 3.11: run make on a Debian 12 "
          "machine or container (its /usr/bin/python3 first on PATH), or activate a Python 3.11 "
          "virtual environment before running make")
APT_COMMAND = f"'apt-get update && apt-get install --no-install-recommends {APT_PACKAGES}'"
INSTALL = f"apt-get install -y --no-install-recommends {APT_PACKAGES}"
NO_SUDO = (f"sudo is not installed: as root, run {APT_COMMAND}, or install sudo, get the right to "
           "use it, and run make again")
SUDO_FAILED = f"failed: through sudo (you need the right to use it) or as root, run {APT_COMMAND}"
CHARACTER = ("has {} in its path, which the build cannot take: move or rename the folder (spaces, "
             "apostrophes, commas, ampersands, '#', parentheses and backticks are fine), and run "
             "make again")


@pytest.mark.parametrize("user, python3, venv, sudo, lists, env, calls, message", [
    ("root", "3.13.5", None, False, "3.11", {}, [], "Python 3.11 only, and python3 "
     "({bin}/python3) is Python 3.13.5: " + ADVICE),
    ("root", "3.11.2", "3.12.1", False, "3.11", {}, [], "Python 3.11 only, and the activated "
     "virtual environment {tmp}/env is Python 3.12.1: deactivate it to use the project's own "
     ".venv, or " + ADVICE),
    # No python3: the one apt would bring is known before anything is installed, from the
    # package lists, read first when they are empty.
    ("root", None, None, False, "3.13", {}, [], "python3 is missing: apt would install Python "
     "3.13: " + ADVICE),
    ("root", None, None, False, None, {}, ["apt-get update"], "python3 is missing: apt would "
     "install Python 3.13: " + ADVICE),
    # Without sudo, one message names every missing package, python3 among them.
    ("user", "3.11.2", None, False, None, {}, [], NO_SUDO),
    ("user", None, None, False, "3.11", {}, [], NO_SUDO),
    ("user", "3.11.2", None, True, "3.11", {}, ["sudo apt-get update",
                                              f"sudo env DEBIAN_FRONTEND=noninteractive {INSTALL}"],
     SUDO_FAILED),
    ("user", None, None, True, None, {}, ["sudo apt-get update",
                                          f"sudo env DEBIAN_FRONTEND=noninteractive {INSTALL}"],
     SUDO_FAILED),
    # `sudo make` in the tree of the user who ran sudo.
    ("root", "3.11.2", None, False, "3.11", {"SUDO_UID": "owner"}, [], "make runs as root "
     "through sudo in a tree that is yours: run make as yourself, without sudo; it asks for sudo "
     "itself where it must (to install Debian packages)"),
    # Folder names CMake cannot take, in any of the folders the build reaches.
    ("root", "3.11.2", None, False, "3.11", {"VIRTUAL_ENV": '/opt/a"b'}, [],
     'the activated virtual environment, /opt/a\\"b, ' + CHARACTER.format('a double quote (")')),
    ("root", "3.11.2", None, False, "3.11", {"VIRTUAL_ENV": "/opt/a;b"}, [],
     "the activated virtual environment, /opt/a\\;b, " + CHARACTER.format("a semicolon (;)")),
    ("root", "3.11.2", None, False, "3.11", {"VIRTUAL_ENV": "/opt/$(a)"}, [],
     "the activated virtual environment, /opt/\\$\\(a\\), " + CHARACTER.format("a dollar sign ($)")),
    ("root", "3.11.2", None, False, "3.11", {"VIRTUAL_ENV": "/opt/env\\"}, [],
     "the activated virtual environment, /opt/env\\\\, " + CHARACTER.format("a backslash (\\)")),
])
def test_install_deps_checks_first_and_gives_one_apt_command(
        build_tmp, user, python3, venv, sudo, lists, env, calls, message):
    # install-deps.sh among stand-ins for the system's tools: nothing is installed; apt-get
    # brings a Python 3.13, and apt-cache knows the `lists` version of python3 (after apt-get
    # update when None); sudo runs apt-get update only; id says root or a user who owns the
    # tree.
    tree = build_tmp / "tree"
    (tree / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "install-deps.sh", tree / "scripts")
    bin_dir, log = build_tmp / "bin", build_tmp / "calls"
    (build_tmp / "env" / "bin").mkdir(parents=True)
    bin_dir.mkdir()
    log.touch()
    for tool in ("bash", "dirname", "find", "stat", "grep", "env", "chmod", "awk", "cat", "flock"):
        (bin_dir / tool).symlink_to(shutil.which(tool))
    uid = 0 if user == "root" else os.getuid() or 1000
    if os.getuid() == 0 and (uid or "SUDO_UID" in env):  # as root: the tree is a user's
        for path in [tree, *tree.rglob("*")]:
            os.chown(path, 1000, 1000)
    fakes = {"dpkg-query": "exit 1", "id": f'[ "$1" = -un ] && echo alice || echo {uid}',
             "apt-get": 'echo "apt-get $*" >> "$LOG"\n'
                        '[ "$1" != update ] || echo 3.13 > "$LISTS"\n'
                        '[ "$1" != install ] || { printf "#!/bin/sh\\necho 3.13.5\\n" > "$BIN/python3"; '
                        'chmod +x "$BIN/python3"; }',
             "apt-cache": '[ -s "$LISTS" ] && echo "  Candidate: $(cat "$LISTS").2-1+b1" || '
                          'echo "  Candidate: (none)"',
             "sudo": sudo and 'echo "sudo $*" >> "$LOG"\n[ "$1" = apt-get ] && echo 3.11 > "$LISTS"',
             "python3": python3 and f"echo {python3}", "../env/bin/python": f"echo {venv}"}
    for name, body in fakes.items():
        if body:
            executable(bin_dir / name, body)
    (build_tmp / "lists").write_text(lists or "")
    variables = {"PATH": str(bin_dir), "LOG": str(log), "LISTS": str(build_tmp / "lists"),
                 "BIN": str(bin_dir), **({"VIRTUAL_ENV": str(build_tmp / "env")} if venv else {})}
    variables.update(env)
    if "SUDO_UID" in env:
        variables["SUDO_UID"] = str(tree.stat().st_uid)
    result = subprocess.run(["bash", tree / "scripts" / "install-deps.sh"], env=variables,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert log.read_text().splitlines() == calls
    assert result.stderr.endswith(message.format(bin=bin_dir, tmp=build_tmp) + "\n"), result.stderr


def setup_tree(tmp_path, tree, fakes, tools=()):
    """install-deps.sh in `tree`, and a bin folder of stand-ins (`fakes`, name: sh body) and
    of the system's `tools`: the PATH to run it with."""
    (tree / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "install-deps.sh", tree / "scripts")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in ("bash", "dirname", "find", "stat", "grep", "env", "chmod", "awk", "cat", "flock", *tools):
        (bin_dir / tool).symlink_to(shutil.which(tool))
    for name, body in fakes.items():
        executable(bin_dir / name, body)
    return str(bin_dir)


FAKE_VENV = r"""
import os, shlex, sys
env = sys.argv[-1]
os.makedirs(f"{env}/bin")
with open(f"{env}/bin/python", "w") as f:  # pip works once the environment is whole
    f.write('#!/bin/sh\ncase "$*" in -c*) echo 3.11.2 ;; "-m pip --version") '
            '[ -e "$(dirname "$0")/pip" ] ;; esac\n')
os.chmod(f"{env}/bin/python", 0o755)
if os.environ.get("STOP"):
    sys.exit(130)
with open(f"{env}/bin/activate", "w") as f:
    f.write(f"VIRTUAL_ENV={shlex.quote(env)}\nexport VIRTUAL_ENV\n")
with open(f"{env}/bin/pip", "w") as f:
    f.write("#!/bin/sh\n'''exec' " + f'"{env}/bin/python" "$0" "$@"' + "\n' '''\n")
"""


@pytest.mark.skipif(shutil.which("mv") is None, reason="needs coreutils")
def test_an_interrupted_venv_is_made_anew_whole_under_any_name(build_tmp):
    # python3 stands in for venv (FAKE_VENV, stopped midway when STOP is set) and runs the real
    # interpreter for the rest; every Debian package is installed.
    tree = build_tmp / BUILDABLE / "vorna"
    (build_tmp / "venv.py").write_text(FAKE_VENV)
    path = setup_tree(build_tmp, tree, {
        "dpkg-query": "echo install ok installed",
        "python3": 'case "$1" in -m) exec "$REAL" "$VENV_PY" "$@" ;; -c) echo 3.11.2 ;; '
                   '*) exec "$REAL" "$@" ;; esac'}, tools=("rm", "mv", "id"))
    executable(tree / ".venv" / "bin" / "python",  # an old one, without pip
               'case "$1" in -c) echo 3.11.2 ;; *) exit 1 ;; esac')
    env = {"PATH": path, "REAL": sys.executable, "VENV_PY": str(build_tmp / "venv.py")}
    script = ["bash", tree / "scripts" / "install-deps.sh"]
    stopped = subprocess.run(script, env={**env, "STOP": "1"}, capture_output=True, text=True)
    assert stopped.returncode != 0, stopped.stderr
    assert not (tree / ".venv").exists() and (tree / ".venv.partial").exists(), stopped.stderr
    done = subprocess.run(script, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in tree.iterdir()) == [".venv", "scripts"]
    venv = str(tree / ".venv")
    assert (tree / ".venv/bin/pip").read_text().splitlines()[1] == (
        f"'''exec' {shlex.quote(venv + '/bin/python')} \"$0\" \"$@\"")
    shown = subprocess.run(["sh", "-c", '. .venv/bin/activate && echo "$VIRTUAL_ENV"'], cwd=tree,
                           capture_output=True, text=True, check=True).stdout
    assert shown == f"{venv}\n"
    assert not list(build_tmp.rglob("PWNED"))


@pytest.mark.skipif(os.getuid() != 0, reason="needs root, to leave root's files in a user's tree")
def test_root_s_files_in_a_user_s_tree_are_named_with_one_command(build_tmp):
    tree = build_tmp / "tree"
    path = setup_tree(build_tmp, tree, {"id": '[ "$1" = -un ] && echo alice || echo 1000',
                                       "python3": "echo 3.11.2"})
    for root_s in ("build/py/x.o", ".venv/bin/python", "tests/__pycache__/t.pyc"):
        (tree / root_s).parent.mkdir(parents=True, exist_ok=True)
        (tree / root_s).touch()
    for path_ in [tree, *tree.rglob("*")]:
        if not {"build", ".venv", "__pycache__"} & set(path_.relative_to(tree).parts):
            os.chown(path_, 1000, 1000)
    result = subprocess.run(["bash", tree / "scripts" / "install-deps.sh"], env={"PATH": path},
                            capture_output=True, text=True)
    assert result.returncode == 1
    paths = sorted(str(tree / p) for p in ("build", ".venv", "tests/__pycache__"))
    message = result.stderr.strip()
    assert message.startswith("error: make cannot write all of the tree: they belong to root, "
                              "not to alice (a run as root, such as sudo make, left them): ")
    named = message.split("sudo chown -R 1000:1000 -- ")[1].removesuffix(
        "' and run make as yourself").split()
    assert sorted(named) == [shlex.quote(p) for p in paths]


@pytest.mark.skipif(None in (shutil.which("cmake"), shutil.which("ninja"), shutil.which("flatc")),
                    reason="needs cmake, ninja and flatc")
def test_the_build_takes_a_folder_named_with_apostrophes_commas_and_ampersands(build_tmp):
    # Configured, the generated schema header made, and two objects compiled that include it
    # and the source tree's test data path, in a folder that names the build's usual enemies.
    tree = build_tmp / BUILDABLE / "vorna"
    for part in ("src", "tests/cpp"):
        shutil.copytree(ROOT / part, tree / part)
    shutil.copy(ROOT / "CMakeLists.txt", tree)
    build, env = tree / "build", {**os.environ, "TMPDIR": "/tmp"}
    objects = ["CMakeFiles/vorna_native.dir/src/program/program_format.cpp.o",
               "CMakeFiles/vorna_tests.dir/tests/cpp/golden_program.cpp.o"]
    for command in (["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DVORNA_BUILD_PYTHON=OFF",
                     "-DVORNA_BUILD_TESTS=ON"], ["ninja", "-C", build, *objects]):
        result = subprocess.run(command, env=env, capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr
    assert all((build / o).stat().st_size > 0 for o in objects)
    assert (build / "test_config" / "test_data_dir.h").read_text() == (
        f'#define VORNA_TEST_DATA_DIR R"vorna({tree}/tests/data)vorna"\n')
    assert not list(build_tmp.rglob("PWNED"))
