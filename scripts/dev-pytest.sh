#!/usr/bin/env bash
# Builds the extension module in a private build directory and runs pytest against it,
# without installing anything. Usage: scripts/dev-pytest.sh <build-dir> [pytest args...]
# Uses the Python that `make` uses: the activated virtual environment's, else .venv's.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# The folder as given may start with '-': it is no option of realpath's.
BUILD="$(realpath -m -- "${1:?usage: dev-pytest.sh <build-dir> [pytest args]}")"
shift
if [ -n "${VIRTUAL_ENV:-}" ]; then
    PYTHON="$VIRTUAL_ENV/bin/python"
else
    PYTHON="$ROOT/.venv/bin/python"
fi
# The tree's lock, held until this script ends (a make in progress is waited for), and the
# set-up, which checks the build folder's name too.
ME=scripts/dev-pytest.sh
VORNA_TREE_LOCK="$(bash "$ROOT/scripts/tree-lock.sh" "$$" "$ME")" ||
    { echo "error: $VORNA_TREE_LOCK" >&2; exit 1; }
export VORNA_TREE_LOCK
bash "$ROOT/scripts/install-deps.sh" --build-dir "$BUILD" --caller "$ME"
# The path itself (the --cmakedir option prints it quoted for a shell).
PYBIND11_DIR="$("$PYTHON" -c 'import pybind11; print(pybind11.get_cmake_dir())')"
# The build's own temporary files go to /tmp, as in the Makefile.
TMPDIR=/tmp cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORNA_BUILD_PYTHON=ON \
    -DVORNA_BUILD_TESTS=OFF -Dpybind11_DIR="$PYBIND11_DIR" \
    -DPython_EXECUTABLE="$PYTHON" >/dev/null
TMPDIR=/tmp cmake --build "$BUILD" -j "${JOBS:-$(nproc)}" --target core
PKG="$BUILD/pkg/vorna"
mkdir -p "$PKG"
cp "$ROOT"/python/vorna/*.py "$PKG/"
cp "$BUILD"/core*.so "$PKG/"
cd "$ROOT"
# As in the Makefile: the tests' temporary folders go to the build folder, emptied first, skip
# reasons show, and pytest keeps no cache.
PYTHONPATH="$BUILD/pkg" "$PYTHON" -m pytest -q -rs --basetemp="$BUILD/pytest" -p no:cacheprovider \
    "$@" tests/python
