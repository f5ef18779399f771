"""The project's set-up: which Python every make step uses, and the one pybind11 minor
version that every declaration of the dependency admits."""

import contextlib
import fcntl
import importlib.util
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
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


# Folder names that run commands wherever a shell reads them as shell text, for the steps that
# take every character; and one that the whole set-up takes, with a leading '-', a trailing
# space and a letter outside ASCII.
HOSTILE = "it's $(touch PWNED) `touch PWNED`, R&D #1"
BUILDABLE = "-it's <R&D> = #1 (x), \u00fcn\u00ef "
# What the set-up refuses in a folder's path, and the control characters it takes, which the
# tests' reading of output would take for line breaks (str.splitlines) or spaces (str.split).
REFUSED = re.compile(r'[`$:"\\;*?|\[\]\x00-\x1f\x7f]')


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


# The scripts run here under a UTF-8 locale, as in a user's terminal: bash's printf %q then
# writes a letter outside ASCII as it is, not as $'\303\274'.
UTF8 = {"LC_ALL": "C.UTF-8"}


def shell_quoted(path):
    """A path as bash's printf %q writes it under the scripts' locale."""
    return subprocess.run(["bash", "-c", 'printf %q "$1"', "_", path], capture_output=True,
                          text=True, check=True, env={**os.environ, **UTF8}).stdout


def shell_words(text):
    """The words a shell reads in `text`, as bash itself reads them."""
    words = subprocess.run(["bash", "-c", 'eval "set -- $1" && printf "%s\\0" "$@"', "_", text],
                           capture_output=True, text=True, check=True, env={**os.environ, **UTF8})
    return words.stdout.split("\0")[:-1]


def default_sigint():
    """For a child that is sent Ctrl-C: a SIGINT that this process ignores (make started with
    it ignored, as `make test &` in a script does) would stay ignored in the child."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@contextlib.contextmanager
def process_group(args, **kwargs):
    """A child in a group of its own, with the default Ctrl-C; the group killed and the child
    reaped on the way out, whatever the test did."""
    child = subprocess.Popen(args, start_new_session=True, preexec_fn=default_sigint, **kwargs)
    try:
        yield child
    finally:
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        child.communicate()


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
     ["-m pytest -q -rs --basetemp=build/pytest -p no:cacheprovider tests/python",
      "benchmarks/bench.py --quick"]),
    ("bench", ["install"], ["benchmarks/bench.py"]),
])
def test_make_steps_use_the_environment_python_and_run_no_folder_name(
        tmp_path, virtual_env, target, skipped, commands):
    # The Makefile in a hostile folder, its steps before `target` left out; the environment's
    # python logs how it was called.
    tree = tmp_path / HOSTILE / "vorna"
    (tree / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "Makefile", tree)
    shutil.copy(ROOT / "scripts" / "tree-lock.sh", tree / "scripts")
    env_dir = tmp_path / HOSTILE / "env" if virtual_env else tree / ".venv"
    executable(env_dir / "bin" / "python", 'echo "$0 $*" >> "$MAKE_LOG"')
    env = {k: v for k, v in os.environ.items() if k != "VIRTUAL_ENV"}
    env["MAKE_LOG"] = str(tmp_path / "log")
    if virtual_env:
        env["VIRTUAL_ENV"] = str(env_dir)
    subprocess.run(["make", *(f"-o{t}" for t in skipped), target], cwd=tree, env=env, check=True,
                   capture_output=True)
    python = env_dir / "bin" / "python" if virtual_env else ".venv/bin/python"
    # Whole, not split into lines: TMPDIR's path may hold a line break.
    assert (tmp_path / "log").read_text() == "".join(f"{python} {c}\n" for c in commands)
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


# What install-deps.sh and tree-lock.sh need of the system in the trees of stand-ins below.
SYSTEM_TOOLS = ("bash", "dirname", "find", "stat", "grep", "env", "chmod", "awk", "cat", "flock",
                "tail", "sort")
APT_PACKAGES = ("g++ libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev cmake "
                "ninja-build ccache python3 python3-venv python3-dev")
ADVICE = ("vorna needs Debian 12 with its own Python 3.11: run make on a Debian 12 machine or in a "
          "Debian 12 container")
APT_COMMAND = f"'apt-get update && apt-get install --no-install-recommends {APT_PACKAGES}'"
INSTALL = f"apt-get install -y --no-install-recommends {APT_PACKAGES}"
NO_SUDO = (f"sudo is not installed: as root, run {APT_COMMAND}, or install sudo, get the right to "
           "use it, and run make again")
SUDO_FAILED = f"failed: through sudo (you need the right to use it) or as root, run {APT_COMMAND}"
CHARACTER = ("has {} in its path: {}; move or rename the folder, and run make again (the README's "
             '"Folder names" lists what works)')
CMAKE = "CMake cannot take it: "
LAUNCHERS = ("pip's launchers in the environment's bin folder would run it as a command where the "
             "path also holds a space or makes their first line longer than 127 bytes (they are "
             "shell text then)")


@pytest.mark.parametrize("user, python3, venv, sudo, lists, env, calls, message", [
    ("root", "3.13.5", None, False, "3.11", {}, [], "Python 3.11 only, and python3 "
     "({bin}/python3) is Python 3.13.5: " + ADVICE),
    # Where a Python 3.11 is at hand, an environment made with it is offered too.
    ("root", "3.13.5", None, False, "3.11", {"python3.11": "echo 3.11.4"}, [], "Python 3.11 "
     "only, and python3 ({bin}/python3) is Python 3.13.5: " + ADVICE + ", or make a virtual "
     "environment with the Python 3.11 at {py311} and run make with it activated "
     "('{py311} -m venv ~/vorna-env && . ~/vorna-env/bin/activate')"),
    ("root", "3.13.5", None, False, "3.11", {"python3.11": "exit 1"}, [], "Python 3.11 "
     "only, and python3 ({bin}/python3) is Python 3.13.5: " + ADVICE),
    ("root", "3.11.2", "3.12.1", False, "3.11", {}, [], "Python 3.11 only, and the activated "
     "virtual environment {tmp}/env is Python 3.12.1: deactivate it to use the project's own "
     ".venv; " + ADVICE),
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
     'the activated virtual environment, /opt/a\\"b, ' + CHARACTER.format('a double quote (")',
                                                      CMAKE + "its compiler checks fail")),
    ("root", "3.11.2", None, False, "3.11", {"VIRTUAL_ENV": "/opt/a;b"}, [],
     "the activated virtual environment, /opt/a\\;b, " + CHARACTER.format("a semicolon (;)",
                                                      CMAKE + "its lists split there")),
    ("root", "3.11.2", None, False, "3.11", {"VIRTUAL_ENV": "/opt/$(a)"}, [],
     "the activated virtual environment, /opt/\\$\\(a\\), " + CHARACTER.format("a dollar sign ($)",
                                                                  LAUNCHERS)),
    ("root", "3.11.2", None, False, "3.11", {"VIRTUAL_ENV": "/opt/env\\"}, [],
     "the activated virtual environment, /opt/env\\\\, " + CHARACTER.format("a backslash (\\)",
                                                      CMAKE + "it reads it as a folder separator")),
])
def test_install_deps_checks_first_and_gives_one_apt_command(
        build_tmp, user, python3, venv, sudo, lists, env, calls, message):
    # install-deps.sh among stand-ins for the system's tools: nothing is installed; apt-get
    # brings a Python 3.13, and apt-cache knows the `lists` version of python3 (after apt-get
    # update when None); sudo runs apt-get update only; id says root or a user who owns the
    # tree.
    tree = build_tmp / "tree"
    (tree / "scripts").mkdir(parents=True)
    for name in ("install-deps.sh", "tree-lock.sh"):
        shutil.copy(ROOT / "scripts" / name, tree / "scripts")
    bin_dir, log = build_tmp / "bin", build_tmp / "calls"
    (build_tmp / "env" / "bin").mkdir(parents=True)
    bin_dir.mkdir()
    log.touch()
    for tool in SYSTEM_TOOLS:
        (bin_dir / tool).symlink_to(shutil.which(tool))
    uid = 0 if user == "root" else os.getuid() or 1000
    (tree / ".make.lock").touch()  # the user's own, from an earlier make
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
                 "BIN": str(bin_dir), **UTF8,
                 **({"VIRTUAL_ENV": str(build_tmp / "env")} if venv else {})}
    variables.update((k, v) for k, v in env.items() if k != "python3.11")
    if "python3.11" in env:
        executable(bin_dir / "python3.11", env["python3.11"])
    if "SUDO_UID" in env:
        variables["SUDO_UID"] = str(tree.stat().st_uid)
    result = subprocess.run(["bash", tree / "scripts" / "install-deps.sh"], env=variables,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert log.read_text().splitlines() == calls
    py311 = shell_quoted(bin_dir / "python3.11")
    assert result.stderr.endswith(message.format(bin=bin_dir, tmp=build_tmp, py311=py311) + "\n"), \
        result.stderr


def setup_tree(tmp_path, tree, fakes, tools=()):
    """install-deps.sh in `tree`, and a bin folder of stand-ins (`fakes`, name: sh body) and
    of the system's `tools`: the PATH to run it with."""
    (tree / "scripts").mkdir(parents=True)
    for name in ("install-deps.sh", "tree-lock.sh"):
        shutil.copy(ROOT / "scripts" / name, tree / "scripts")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in (*SYSTEM_TOOLS, *tools):
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
        "python3": 'case "$1 $2" in *venv.main*) shift 2; exec "$REAL" "$VENV_PY" "$@" ;; '
                   '-c*) echo 3.11.2 ;; *) exec "$REAL" "$@" ;; esac'}, tools=("rm", "mv", "id"))
    executable(tree / ".venv" / "bin" / "python",  # an old one, without pip
               'case "$1" in -c) echo 3.11.2 ;; *) exit 1 ;; esac')
    env = {"PATH": path, "REAL": sys.executable, "VENV_PY": str(build_tmp / "venv.py")}
    script = ["bash", tree / "scripts" / "install-deps.sh"]
    stopped = subprocess.run(script, env={**env, "STOP": "1"}, capture_output=True, text=True)
    assert stopped.returncode != 0, stopped.stderr
    assert not (tree / ".venv").exists() and (tree / ".venv.partial").exists(), stopped.stderr
    done = subprocess.run(script, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in tree.iterdir()) == [".make.lock", ".venv", "scripts"]
    venv = str(tree / ".venv")
    assert (tree / ".venv/bin/pip").read_text().splitlines()[1] == (
        f"'''exec' \"{venv}/bin/python\" \"$0\" \"$@\"")
    shown = subprocess.run(["sh", "-c", '. .venv/bin/activate && echo "$VIRTUAL_ENV"'], cwd=tree,
                           capture_output=True, text=True, check=True).stdout
    assert shown == f"{venv}\n"
    assert not list(build_tmp.rglob("PWNED"))


@pytest.mark.skipif(os.getuid() != 0,
                    reason="needs root's rights, to leave files of root's in a user's tree")
def test_root_s_files_in_a_user_s_tree_are_named_with_one_command(build_tmp):
    tree = build_tmp / "tree"
    path = setup_tree(build_tmp, tree, {"id": '[ "$1" = -un ] && echo alice || echo 1000',
                                       "python3": "echo 3.11.2"})
    (tree / ".make.lock").touch()
    # Root's: build/ whole, and files in folders of the user's: each folder that the commands
    # make is named once, any other path as it is.
    root_s = ("build/py/x.o", ".venv/bin/python", ".venv/lib/site.py", "tests/__pycache__/t.pyc",
              "tests/__pycache__/u.pyc", "src/a.cpp")
    for name in root_s:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).touch()
    for path_ in [tree, *tree.rglob("*")]:
        name = path_.relative_to(tree)
        if str(name) not in root_s and name.parts[:1] != ("build",):
            os.chown(path_, 1000, 1000)
    result = subprocess.run(["bash", tree / "scripts" / "install-deps.sh"],
                            env={"PATH": path, **UTF8}, capture_output=True, text=True)
    assert result.returncode == 1
    named = [".venv", "build", "src/a.cpp", "tests/__pycache__"]
    assert result.stderr == (
        "error: make cannot write all of the tree: files that belong to root, not to alice, are in "
        f"{', '.join(named)} (a run as root, such as sudo make, left them); make them yours with "
        f"'sudo chown -R 1000:1000 -- {' '.join(shell_quoted(tree / p) for p in named)}' and run "
        "make as yourself\n")
    # The command as a shell reads it, whatever the paths hold (TMPDIR's spaces included).
    command = shell_words(result.stderr.split(" make them yours with '")[1].removesuffix(
        "' and run make as yourself\n"))
    assert command == ["sudo", "chown", "-R", "1000:1000", "--", *(str(tree / p) for p in named)]


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


# Ctrl-C sent to the whole group, as a terminal sends it.
STOP = "import os, signal, time\nos.killpg(0, signal.SIGINT); time.sleep(5)\n"
PROMPT = "User for index.example: "
# pip, in an activated environment: sending Ctrl-C as it installs, asking for a user name and
# waiting for it, or failing with an error.
PIP = {
    "pip installs": STOP,
    "pip prompts": f"import os, sys\nsys.stderr.write({PROMPT!r}); sys.stderr.flush()\n"
                   "name = sys.stdin.readline()\nopen(os.environ['VIRTUAL_ENV'] + '/installed', 'w')\n"
                   "print('user', name.strip())\n",
    "pip fails": "import sys\nsys.stderr.write('ERROR: no index answers\\n')\nsys.exit(3)\n",
}
INTERRUPTED = (130, "install-deps: interrupted\n")


@pytest.mark.skipif(shutil.which("mv") is None, reason="needs coreutils")
@pytest.mark.parametrize("when, ended", [
    ("python starts", INTERRUPTED), ("venv loads", INTERRUPTED), ("venv works", INTERRUPTED),
    ("pip installs", INTERRUPTED), ("pip prompts", (0, PROMPT)),
    ("pip fails", (3, "ERROR: no index answers\n"))])
def test_python_s_errors_show_as_they_come_and_ctrl_c_says_interrupted_in_one_line(
        build_tmp, when, ended):
    # Ctrl-C from a module that Python loads: the sitecustomize that Python's start loads, or venv
    # (a stand-in) as it loads or works; or from pip, whose prompt must show while it waits.
    tree = build_tmp / "tree"
    env = {"REAL": sys.executable, "PYTHONPATH": str(build_tmp / "fake")}
    (build_tmp / "fake").mkdir()
    if when in PIP:
        executable(build_tmp / "env" / "bin" / "python",
                   'case "$*" in -c*) echo 3.11.2 ;; "-m pip --version") ;; '
                   '*python_deps.py*) [ -e "$VIRTUAL_ENV/installed" ] ;; '
                   '*) exec "$REAL" -c "$PIP" ;; esac')
        env.update(VIRTUAL_ENV=str(build_tmp / "env"), PIP=PIP[when])
    else:
        stop = STOP
        if when == "venv works":
            stop = "def main(args):\n    " + stop.replace("\n", "\n    ")
        module = "sitecustomize" if when == "python starts" else "venv"
        (build_tmp / "fake" / f"{module}.py").write_text(stop)
    path = setup_tree(build_tmp, tree, {
        "dpkg-query": "echo install ok installed",
        "python3": 'case "$1 $2" in *venv.main*) exec "$REAL" "$@" ;; -c*) echo 3.11.2 ;; esac'},
        tools=("rm", "mv", "id"))
    with process_group(["bash", tree / "scripts" / "install-deps.sh"], stdin=subprocess.PIPE,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env={"PATH": path, **env}) as child:
        seen, deadline = b"", time.monotonic() + 30
        while when == "pip prompts" and not seen.endswith(PROMPT.encode()):
            assert select.select([child.stderr], [], [], deadline - time.monotonic())[0], seen
            chunk = os.read(child.stderr.fileno(), 1024)
            assert chunk, seen
            seen += chunk
        out, err = child.communicate(b"alice\n", timeout=30)
    assert (child.returncode, (seen + err).decode()) == ended
    if when == "pip prompts":
        assert out.decode().endswith("user alice\n")


COLON = "PATH (extended by the environment's activate script) and PYTHONPATH split there"
GLOB = CMAKE + "its globs read it as a pattern"
FOLDER_RULES = [
    ("`", "a backtick (`)", LAUNCHERS), ("$", "a dollar sign ($)", LAUNCHERS),
    (":", "a colon (:)", COLON), ('"', 'a double quote (")', CMAKE + "its compiler checks fail"),
    ("|", "a vertical bar (|)",
     "Ninja cannot take it: its build files separate a step's dependencies there"),
    ("\\", "a backslash (\\)", CMAKE + "it reads it as a folder separator"),
    (";", "a semicolon (;)", CMAKE + "its lists split there"), ("[", "a bracket ([)", GLOB),
    ("]", "a bracket (])", GLOB), ("*", "an asterisk (*)", GLOB), ("?", "a question mark (?)", GLOB),
    ("\n", "a line break", CMAKE + "it cuts its cache's values there"),
    ("\r", "a carriage return", "Ninja cannot take it: its build files' reader stops there"),
    ("\t", "a tab", "pip's launchers in the environment's bin folder would not start: the kernel "
                    "splits their first line (#!) there"),
    # Taken: every other printable character, every other control character, a letter outside
    # ASCII, a leading '-' and a trailing space.
    *((c, None, None) for c in " !#%&'()+,-.<=>@^{}~\u00fc\x01\x0b\x1b\x1f\x7f"),
    ("-x", None, None), ("x ", None, None),
]


@pytest.mark.parametrize("where", ["tree", "build"])
@pytest.mark.parametrize("char, name, reason", FOLDER_RULES)
def test_folder_names_are_refused_before_apt_with_the_reason_or_taken(
        build_tmp, where, char, name, reason):
    # As root (id says so) with every Debian package missing: a taken name goes on to apt-get,
    # which fails; a refused one stops before it. The build folder is dev-pytest.sh's.
    folder = build_tmp / (char if len(char) > 1 else f"a{char}b")
    tree, build = (folder / "vorna", None) if where == "tree" else (build_tmp / "tree", folder)
    log = build_tmp / "calls"
    path = setup_tree(build_tmp, tree, {"dpkg-query": "exit 1", "id": "echo 0",
                                        "python3": "echo 3.11.2",
                                        "apt-get": f'echo "$*" >> {shlex.quote(str(log))}; exit 1'})
    result = subprocess.run(["bash", tree / "scripts" / "install-deps.sh",
                             *(["--build-dir", build] if build else [])],
                            env={"PATH": path, **UTF8}, capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    calls = log.read_text().splitlines() if log.exists() else []
    if name is None or (where == "build" and char in "`$\t"):  # no launchers in a build folder
        assert calls == ["update"], result.stderr
        return
    label = "the project's folder" if where == "tree" else "the build folder"
    printed = shell_quoted(tree if build is None else build)
    assert calls == []
    assert result.stderr.endswith(
        "error: " + f"{label}, {printed}, " + CHARACTER.format(name, reason) + "\n"), result.stderr


def test_dev_pytest_takes_a_build_folder_that_starts_with_a_dash(tmp_path):
    # The set-up is a stand-in that logs its arguments and stops the script.
    tree, log = tmp_path / "tree", tmp_path / "args"
    (tree / "scripts").mkdir(parents=True)
    for name in ("dev-pytest.sh", "tree-lock.sh"):
        shutil.copy(ROOT / "scripts" / name, tree / "scripts")
    executable(tree / "scripts" / "install-deps.sh", 'printf "%s\\0" "$@" > "$LOG"; exit 1')
    result = subprocess.run(["bash", tree / "scripts" / "dev-pytest.sh", "-build", "-q"],
                            cwd=tmp_path, env={**os.environ, "LOG": str(log)},
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1, result.stderr
    assert log.read_text().split("\0") == [
        "--build-dir", os.path.join(os.path.realpath(tmp_path), "-build"),
        "--caller", "scripts/dev-pytest.sh", ""]


GOLDEN_FILTER = "--gtest_filter=GoldenMote.ProgramBytesOfEveryFormatterPath"


def test_golden_update_script_takes_paths_holding_equals_signs(build_tmp):
    # The test binary is a stand-in that logs how it was started; its folder, the expected
    # files' and TMPDIR hold '='.
    folder, log = build_tmp / "a=b", build_tmp / "calls"
    binary, golden, tmp = folder / "x=1" / "vorna_tests", folder / "golden=g", folder / "tmp=t"
    executable(binary, f'echo "${{VORNA_UPDATE_GOLDEN-unset}}|$VORNA_GOLDEN_DIR|$*" >> {shlex.quote(str(log))}')
    shutil.copytree(ROOT / "tests" / "data" / "golden" / "mote", golden / "mote")
    tmp.mkdir()
    result = subprocess.run(["bash", ROOT / "tests" / "cpp" / "golden_update_test.sh", binary, golden],
                            env={**os.environ, "TMPDIR": str(tmp)}, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 1  # the stand-in passes every run, which the script refuses
    calls = [line.split("|") for line in log.read_text().splitlines()]
    assert [c[0] for c in calls] == ["unset", "0", "", "true", " 1", "10", "1", "1", "unset", "1"]
    work = {Path(c[1]).parent for c in calls}
    assert len(work) == 1 and work.pop().parent == tmp
    assert all(Path(c[1]).name == "golden" and c[2] == GOLDEN_FILTER for c in calls)


def make_tree(tmp_path, python_body):
    """The Makefile and the lock script in a tree named with what the set-up takes, and a
    stand-in for the environment's python."""
    tree = tmp_path / BUILDABLE / "vorna"
    (tree / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "Makefile", tree)
    shutil.copy(ROOT / "scripts" / "tree-lock.sh", tree / "scripts")
    executable(tree / ".venv" / "bin" / "python", python_body)
    return tree


def make_env(log):
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "VORNA_TREE_LOCK",
                                                            "MAKEFLAGS", "MAKELEVEL")}
    return {**env, "LOG": str(log)}


def start_make(tree, log, *args):
    """make in a group of its own, killed with all it started when the test ends."""
    return process_group(["make", *args], cwd=tree, env=make_env(log), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)


def wait_for(predicate, seconds=10):
    end = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.05)


# The demo's python: logs its start and end (a Ctrl-C takes it half a second more, as pip's
# does), the descriptors it holds, and a second take of the tree's lock by a script it starts.
# It runs on for well over the second that a waiting make keeps quiet.
SLOW_PYTHON = """echo "start $$" >> "$LOG"
trap 'sleep 0.5; echo "end $$ interrupted" >> "$LOG"; exit 130' INT
ls -l /proc/$$/fd | grep -c 'make.lock' >> "$LOG"
timeout 5 bash scripts/tree-lock.sh $$ >/dev/null && echo "relocked" >> "$LOG"
sleep 2 & wait
echo "end $$" >> "$LOG"
"""


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
@pytest.mark.parametrize("interrupt", [False, True])
def test_a_second_make_waits_for_the_whole_of_the_first(tmp_path, interrupt):
    tree = make_tree(tmp_path, SLOW_PYTHON)
    log = tmp_path / "log"
    with start_make(tree, log, "-o", "install", "demo") as first:
        wait_for(lambda: log.exists() and "relocked" in log.read_text())
        with start_make(tree, log, "-o", "install", "demo") as second:
            if interrupt:
                os.killpg(first.pid, signal.SIGINT)
            first.communicate(timeout=30)
            out, err = second.communicate(timeout=30)
    assert second.returncode == 0, err
    assert first.returncode == (-signal.SIGINT if interrupt else 0)
    pids = [line.split()[1] for line in log.read_text().splitlines() if line.startswith("start")]
    assert log.read_text().splitlines() == [
        f"start {pids[0]}", "0", "relocked", f"end {pids[0]}" + (" interrupted" if interrupt else ""),
        f"start {pids[1]}", "0", "relocked", f"end {pids[1]}"]
    assert err.count("Waiting for another make in this tree to end") == 1
    # Once make has ended, the lock is free.
    with open(tree / ".make.lock", "a") as lock:
        wait_for(lambda: not locked(lock), seconds=3)
    assert not list(tmp_path.rglob("PWNED"))


def locked(lock):
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    fcntl.flock(lock, fcntl.LOCK_UN)
    return False


NOT_OWN = ("note: make runs without the tree's lock ({{lock}} {}): another make in this tree "
           "would not wait for this one\n")


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
@pytest.mark.parametrize("args, lock, shown", [
    (["-n", "demo"], "held", ""),  # -n runs nothing, and waits for no lock
    # Anything but a regular file of the user's own is never opened (a FIFO would block the
    # open, a link to a missing path would make a file there): make goes on, saying so once.
    (["-o", "install", "demo"], "folder", NOT_OWN.format("is a directory, not a regular file")),
    (["-o", "install", "demo"], "fifo", NOT_OWN.format("is a FIFO, not a regular file")),
    (["-o", "install", "demo"], "link", NOT_OWN.format("is a symbolic link, not a file of its own")),
    # A make that has just ended: the next one says nothing.
    (["-o", "install", "demo"], "ended", ""),
])
def test_make_without_the_lock(tmp_path, args, lock, shown):
    tree = make_tree(tmp_path, 'echo ran >> "$LOG"')
    log, lock_file = tmp_path / "log", tree / ".make.lock"
    if lock == "folder":
        lock_file.mkdir()
    elif lock == "fifo":
        os.mkfifo(lock_file)
    elif lock == "link":
        lock_file.symlink_to(tmp_path / "missing")
    elif lock == "ended":  # left to end by itself, its lock's holder included
        first = subprocess.run(["make", *args], cwd=tree, env=make_env(log), capture_output=True,
                               text=True, timeout=30)
        assert first.stderr == ""
    with open(tmp_path / "held", "w") as held:
        if lock == "held":  # another make holds the lock
            os.link(tmp_path / "held", lock_file)
            fcntl.flock(held, fcntl.LOCK_EX)
        with start_make(tree, log, *args) as make:
            out, err = make.communicate(timeout=30)
    assert make.returncode == 0, err
    assert err == shown.format(lock=lock_file)
    assert not (tmp_path / "missing").exists()
    if lock == "held":
        assert not log.exists() and out.strip().endswith("/bin/python\" examples/map_v2_model.py")
    else:
        assert log.read_text() == "ran\n" * (2 if lock == "ended" else 1)


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
@pytest.mark.parametrize("goal", ["test", "demo"])
def test_sudo_make_in_the_user_s_tree_says_the_refusal_alone(tmp_path, goal):
    # Root through sudo, run by the tree's owner: as root, the tree is given to uid 1000;
    # otherwise a stand-in for id says root.
    tree = make_tree(tmp_path, 'echo ran >> "$LOG"')
    log, env = tmp_path / "log", make_env(tmp_path / "log")
    if os.getuid() == 0:
        for path in [tree, *tree.rglob("*")]:
            os.chown(path, 1000, 1000)
    else:
        executable(tmp_path / "bin" / "id",
                   f'[ "$1" = -u ] && echo 0 || exec {shlex.quote(shutil.which("id"))} "$@"')
        env["PATH"] = f"{tmp_path / 'bin'}{os.pathsep}{env['PATH']}"
    env["SUDO_UID"] = str(tree.stat().st_uid)
    before = sorted(tree.rglob("*"))
    result = subprocess.run(["make", goal], cwd=tree, env=env, capture_output=True, text=True,
                            timeout=30)
    assert (result.returncode, result.stdout) == (2, "")
    assert re.fullmatch(r"Makefile:\d+: \*\*\* make runs as root through sudo in a tree that is "
                        r"yours: run make as yourself, without sudo; it asks for sudo itself where "
                        r"it must \(to install Debian packages\)\.  Stop\.\n", result.stderr), \
        result.stderr
    assert sorted(tree.rglob("*")) == before and not log.exists()


# ctest's log (Testing/Temporary/LastTest.log) of a GoogleTest skip with a reason of two lines
# after other output and before a trace, one without a reason, and a pass, as ctest 3.25 writes it (abridged).
CTEST_LOG = """Start testing: Dec 08 02:42 UTC
----------------------------------------------------------
{n}/3 Testing: {name}
{n}/3 Test: {name}
Command: "/b/vorna_tests" "--gtest_filter={name}"
Output:
----------------------------------------------------------
Note: Google Test filter = {name}
[ RUN      ] {name}
{output}[==========] 1 test from 1 test suite ran. (0 ms total)
{summary}<end of output>
Test time =   0.01 sec
----------------------------------------------------------
{verdict}
"{name}" end time: Dec 08 02:42 UTC
----------------------------------------------------------

"""
SKIPPED = ("[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] {name}\n", "Test Pass Reason:\n"
           "Skip regular expression found in output. Regex=[\\[  SKIPPED \\]]")
CTEST_RUNS = [("ModelFileSave.InPlace", "noise\n/s/t.cpp:3: Skipped\nline one\nline two\n"
               "Google Test trace:\n/s/t.cpp:2: immutable\n"
               "[  SKIPPED ] ModelFileSave.InPlace (0 ms)\n", *SKIPPED),
              ("Filters.Fork", "/s/t.cpp:9: Skipped\n\n[  SKIPPED ] Filters.Fork (0 ms)\n",
               *SKIPPED),
              ("Layer.Sizes", "[       OK ] Layer.Sizes (0 ms)\n", "[  PASSED  ] 1 test.\n",
               "Test Passed.")]
# ctest: its log written, a temporary folder left behind (as a test stopped by Ctrl-C leaves
# it), and its output, passes and starts included.
FAKE_CTEST = """while [ "$1" != --test-dir ]; do shift; done
mkdir -p "$2/Testing/Temporary" && cp "$CTEST_LOG" "$2/Testing/Temporary/LastTest.log"
mktemp -d "${TMPDIR:-/tmp}/vorna-inplace-XXXXXX" >/dev/null
printf '%s\\n' "Internal ctest changing into directory: $2" \\
    "    Start 1: Layer.Sizes" "1/3 Test #1: Layer.Sizes ....   Passed    0.01 sec" \\
    "2/3 Test #2: Filters.Fork ....***Skipped   0.01 sec" "100% tests passed out of 3"
"""
SAMPLE_TEST = """import pytest
def test_makes_files(tmp_path):
    (tmp_path / "made").write_text("x")
def test_skips():
    pytest.skip("needs what this machine lacks")
"""


def removal_commands():
    """The README's commands that remove what make made in the tree."""
    readme = (ROOT / "README.md").read_text()
    return readme.split("**Removing what the commands made.**")[1].split("```sh\n")[1].split("```")[0]


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
def test_the_tests_leave_nothing_outside_the_removal_list_and_show_why_they_skipped(tmp_path):
    # The C++ suite (cmake and ctest stand-ins) and the Python suite (a sample of two tests, the
    # real pytest) run by make with a TMPDIR of their own; the README's removal commands then
    # leave the tree as it was, and TMPDIR stays empty.
    tree = make_tree(tmp_path, 'exec "$REAL" "$@"')
    shutil.copy(ROOT / "scripts" / "ctest.sh", tree / "scripts")
    (tree / "tests" / "python").mkdir(parents=True)
    (tree / "tests" / "python" / "test_sample.py").write_text(SAMPLE_TEST)
    (tree / "pyproject.toml").write_text("[tool.pytest.ini_options]\n")
    before = {p for p in tree.rglob("*") if ".venv" not in p.parts}
    executable(tmp_path / "bin" / "cmake", "exit 0")
    executable(tmp_path / "bin" / "ctest", FAKE_CTEST)
    (tmp_path / "ctest.log").write_text("".join(
        CTEST_LOG.format(n=n, name=name, output=output, summary=summary.format(name=name),
                         verdict=verdict) for n, (name, output, summary, verdict) in
        enumerate(CTEST_RUNS, 1)))
    (tmp_path / "tmp").mkdir()
    # The inner pytest without this environment's plugins and their options: what a benchmark
    # plugin leaves is not the project's to list.
    env = {**make_env(tmp_path / "log"), "REAL": sys.executable, "TMPDIR": str(tmp_path / "tmp"),
           "CTEST_LOG": str(tmp_path / "ctest.log"), "PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1",
           "PYTEST_PLUGINS": "", "PYTEST_ADDOPTS": "",
           "PATH": f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}"}
    result = subprocess.run(["make", "-o", "deps", "-o", "install", "cpptest", "pytest"], cwd=tree,
                            env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert ("2/3 Test #2: Filters.Fork ....***Skipped   0.01 sec\n100% tests passed out of 3\n"
            "Why the skipped tests did not run:\n  Filters.Fork: (no reason given)\n"
            "  ModelFileSave.InPlace: line one line two\n") in result.stdout
    assert not [line for line in ("Internal ctest", "Start 1", "Layer.Sizes") if line in result.stdout]
    assert "SKIPPED [1] tests/python/test_sample.py:5: needs what this machine lacks" in result.stdout
    assert os.listdir(tmp_path / "tmp") == []
    subprocess.run(["sh", "-c", removal_commands()], cwd=tree, check=True)
    assert {p for p in tree.rglob("*") if ".venv" not in p.parts} == before


# ctest stopped by Ctrl-C, as its tests are: it leaves a folder in its TMPDIR, says where, and
# waits for the signal that the whole group gets.
WAITING_CTEST = """mkdir "$TMPDIR/vorna-inplace-x" && ls -ld "$TMPDIR" >"$SEEN" && exec sleep 60"""


def test_the_c_tests_temporary_folder_lets_others_through_and_goes_on_ctrl_c(tmp_path):
    executable(tmp_path / "bin" / "ctest", WAITING_CTEST)
    (tmp_path / "tmp").mkdir()
    seen = tmp_path / "seen"
    env = {**os.environ, "TMPDIR": str(tmp_path / "tmp"), "SEEN": str(seen),
           "PATH": f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}"}
    with process_group(["bash", str(ROOT / "scripts" / "ctest.sh"), str(tmp_path / "b"), "1"],
                       env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as run:
        wait_for(lambda: seen.exists() and seen.read_text())
        # Mode 0711: 'nobody' passes through to the folders root's tests give it.
        assert seen.read_text().startswith("drwx--x--x ")
        assert os.listdir(tmp_path / "tmp") != []
        os.killpg(run.pid, signal.SIGINT)
        assert run.wait(timeout=10) == 130
    assert os.listdir(tmp_path / "tmp") == []
