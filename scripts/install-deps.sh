#!/usr/bin/env bash
# Installs everything the build and the tests need. Safe to run again: packages that are
# already present are not reinstalled.
#
# Python packages go into the project's Python environment: the activated virtual
# environment when there is one (VIRTUAL_ENV), else .venv at the project root, which is
# made here with the system's python3 (Debian's own is externally managed: pip may not
# install into it).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"

# Besides make (and git, to clone), a fresh Debian 12 lacks the compiler and may lack python3.
APT_PACKAGES=(g++ libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev cmake
              ninja-build ccache python3 python3-venv python3-dev)
# The binding code relies on internals of pybind11 3.1: keep this range, the one in
# pyproject.toml and the one in CMakeLists.txt together.
PIP_PACKAGES=("pybind11>=3.1,<3.2" "numpy" "pytest" "scikit-build-core>=0.10" "clang-format==21.1.8"
              "python-snappy")

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "error: the Debian packages ${missing[*]} are missing; install them as root," \
                 "or install sudo and run again" >&2
            exit 1
        fi
        SUDO="sudo"
    fi
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

is_py311() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' 2>/dev/null
}

if [ -n "${VIRTUAL_ENV:-}" ]; then
    PYTHON="$VIRTUAL_ENV/bin/python"
    if ! is_py311 "$PYTHON"; then
        echo "error: the activated virtual environment $VIRTUAL_ENV has no Python 3.11" \
             "(vorna builds for Python 3.11 only)" >&2
        exit 1
    fi
else
    PYTHON="$ROOT/.venv/bin/python"
    # A .venv whose interpreter no longer runs (its base Python was removed) is made anew.
    if ! "$PYTHON" -c '' 2>/dev/null; then
        if ! is_py311 python3; then
            echo "error: vorna builds for Python 3.11 only, and python3 ($(command -v python3 ||
                  echo 'not found')) is not 3.11" >&2
            exit 1
        fi
        echo "Making the project's Python environment .venv with $(command -v python3)"
        python3 -m venv --clear "$ROOT/.venv"
    elif ! is_py311 "$PYTHON"; then
        echo "error: $ROOT/.venv is not a Python 3.11 environment: remove it and run again" >&2
        exit 1
    fi
fi

if ! "$PYTHON" "$ROOT/scripts/python_deps.py" "${PIP_PACKAGES[@]}" >/dev/null; then
    "$PYTHON" -m pip install --disable-pip-version-check "${PIP_PACKAGES[@]}"
    # Fails, naming the requirement, when pip kept a version outside a range.
    "$PYTHON" "$ROOT/scripts/python_deps.py" "${PIP_PACKAGES[@]}"
fi
