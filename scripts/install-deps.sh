#!/usr/bin/env bash
# Installs everything the build and the tests need. Safe to run again: packages
# that are already present are not reinstalled.
set -euo pipefail

PYTHON="${PYTHON:-python3}"
APT_PACKAGES=(libflatbuffers-dev flatbuffers-compiler libsnappy-dev libgtest-dev cmake ninja-build ccache)

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

PIP_PACKAGES=("pybind11>=3,<4" "numpy" "pytest" "scikit-build-core>=0.10" "clang-format==21.1.8"
              "python-snappy")
if ! "$PYTHON" - "${PIP_PACKAGES[@]}" <<'PYEOF'
import sys
from importlib import metadata
import re
for req in sys.argv[1:]:
    name = re.split(r"[<>=!]", req)[0]
    try:
        version = metadata.version(name)
    except metadata.PackageNotFoundError:
        sys.exit(1)
    if name == "pybind11" and not version.startswith("3."):
        sys.exit(1)
    if "==" in req and version != req.split("==")[1]:
        sys.exit(1)
PYEOF
then
    "$PYTHON" -m pip install --disable-pip-version-check "${PIP_PACKAGES[@]}"
fi
