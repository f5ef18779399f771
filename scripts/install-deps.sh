#!/usr/bin/env bash
# Installs everything the build and the tests need. Safe to run again: packages that are
# already present are not reinstalled.
#
# Python packages go into the project's Python environment: the activated virtual
# environment when there is one (VIRTUAL_ENV), else .venv at the project root, which is
# made here with the system's python3 (Debian's own is externally managed: pip may not
# install into it).
#
# Everything that can be checked without installing is checked first: the Python, and that
# the folders the build writes are this user's.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"

# Ctrl-C: bash runs this once the command in progress (apt, pip) has returned, so nothing
# after it starts.
trap 'echo "install-deps: interrupted" >&2; exit 130' INT

# Besides make (and git, to clone), a fresh Debian 12 lacks the compiler and may lack python3.
APT_PACKAGES=(g++ libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev cmake
              ninja-build ccache python3 python3-venv python3-dev)
# The binding code relies on internals of pybind11 3.1: keep this range, the one in
# pyproject.toml and the one in CMakeLists.txt together.
PIP_PACKAGES=("pybind11>=3.1,<3.2" "numpy" "pytest" "scikit-build-core>=0.10" "clang-format==21.1.8"
              "python-snappy")

fail() {
    echo "error: $*" >&2
    exit 1
}

# "3.11.2", or nothing when the interpreter does not run.
py_version() {
    "$1" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null || true
}

USE_311="use Debian 12's own python3 (Python 3.11, /usr/bin/python3 first on PATH), or activate
a Python 3.11 virtual environment, and run make again"
USE_311="${USE_311//$'\n'/ }"

# The Python the project environment is made with, or refused: prints "ok", or "missing"
# when only a python3 from apt can tell.
check_python() {
    local version
    if [ -n "${VIRTUAL_ENV:-}" ]; then
        version="$(py_version "$VIRTUAL_ENV/bin/python")"
        [[ "$version" == 3.11.* ]] || fail "vorna builds for Python 3.11 only, and the activated" \
            "virtual environment $VIRTUAL_ENV is ${version:+Python }${version:-not a working one}:" \
            "deactivate it to use the project's own .venv, or $USE_311"
    elif [ -n "$(py_version "$ROOT/.venv/bin/python")" ]; then
        version="$(py_version "$ROOT/.venv/bin/python")"
        [[ "$version" == 3.11.* ]] || fail "vorna builds for Python 3.11 only, and $ROOT/.venv is" \
            "Python $version: remove .venv, then $USE_311"
    elif command -v python3 >/dev/null; then
        # A .venv whose interpreter no longer runs (its base Python was removed) is made anew.
        version="$(py_version python3)"
        [[ "$version" == 3.11.* ]] || fail "vorna builds for Python 3.11 only, and python3" \
            "($(command -v python3)) is ${version:+Python }${version:-not a working Python}: $USE_311"
    else
        echo missing
        return
    fi
    echo ok
}

# The folders the build writes must be this user's (a `sudo make` leaves them root's) and
# writable (not on a read-only file system).
check_writable() {
    local dir bad uid me
    uid="$(id -u)"
    me="$(id -un 2>/dev/null || echo "uid $uid")"
    for dir in "$ROOT/build" "${VIRTUAL_ENV:-$ROOT/.venv}"; do
        bad=""
        if [ ! -e "$dir" ]; then
            [ -w "$(dirname "$dir")" ] || bad="$(dirname "$dir")"
        elif [ ! -w "$dir" ]; then
            bad="$dir"
        elif [ "$uid" -ne 0 ]; then
            bad="$(find "$dir" ! -type l ! -user "$uid" -print -quit)"
        fi
        if [ -n "$bad" ]; then
            local owner
            owner="$(stat -c %U "$bad")"
            if [ "$owner" = UNKNOWN ]; then owner="uid $(stat -c %u "$bad")"; fi
            if [ "$(stat -c %u "$bad")" = "$uid" ]; then
                fail "cannot write $bad: it is $me's, but read-only (a read-only file system?):" \
                     "run make in a tree you can write"
            fi
            if [ "$(stat -c %u "$bad")" = 0 ]; then
                fail "cannot write $bad: it belongs to root, not to $me (a run as root, such as" \
                     "sudo make, left it): remove it with 'sudo rm -rf \"$dir\"' and run make as" \
                     "yourself"
            fi
            fail "cannot write $bad: it belongs to $owner, not to $me: run make in a tree you own"
        fi
    done
}

# apt-get as root: directly, or through sudo.
apt_install() {
    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            fail "the Debian packages $* are missing and sudo is not installed: as root, run" \
                 "'apt-get update && apt-get install --no-install-recommends $*', or install" \
                 "sudo, get the right to use it, and run make again"
        fi
        as_root=(sudo)
    fi
    # sudo resets the environment: env sets DEBIAN_FRONTEND for apt-get itself. The package
    # lists are read once, also when python3 comes first and the rest after it.
    if ! { [ -n "${apt_updated:-}" ] || "${as_root[@]}" apt-get update; } ||
       ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
             apt-get install -y --no-install-recommends "$@"; then
        local how="as root, run"
        if [ "${#as_root[@]}" -gt 0 ]; then how="through sudo (you need the right to use it) or $how"; fi
        fail "installing the Debian packages $* failed: $how" \
             "'apt-get update && apt-get install --no-install-recommends $*'"
    fi
    apt_updated=1
}

python_state="$(check_python)"
check_writable

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if [ "$python_state" = missing ]; then
    # The Python apt brings is checked before the rest is installed.
    apt_install python3
    check_python >/dev/null
    rest=()
    for pkg in "${missing[@]}"; do
        if [ "$pkg" != python3 ]; then rest+=("$pkg"); fi
    done
    missing=("${rest[@]}")
fi
if [ "${#missing[@]}" -gt 0 ]; then
    apt_install "${missing[@]}"
fi

if [ -n "${VIRTUAL_ENV:-}" ]; then
    PYTHON="$VIRTUAL_ENV/bin/python"
else
    PYTHON="$ROOT/.venv/bin/python"
    if [ -z "$(py_version "$PYTHON")" ]; then
        echo "Making the project's Python environment .venv with $(command -v python3)"
        python3 -m venv --clear "$ROOT/.venv"
    fi
fi

if ! "$PYTHON" "$ROOT/scripts/python_deps.py" "${PIP_PACKAGES[@]}" >/dev/null; then
    "$PYTHON" -m pip install --disable-pip-version-check "${PIP_PACKAGES[@]}"
    # Fails, naming the requirement, when pip kept a version outside a range.
    "$PYTHON" "$ROOT/scripts/python_deps.py" "${PIP_PACKAGES[@]}"
fi
