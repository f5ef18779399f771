#!/usr/bin/env bash
# Runs the pinned clang-format (the binary of the PyPI package in the project's Python
# environment, whatever PATH holds) with the given options on the C++ sources and tests: the
# tracked ones in a git clone, else (a source archive) those in the same folders, where no
# build directory lies.
#     bash scripts/clang-format.sh --dry-run -Werror
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${VIRTUAL_ENV:-.venv}/bin/python"
clang_format="$("$PYTHON" -c 'import clang_format; print(clang_format.get_executable("clang-format"))')"
dirs=(src tests/cpp benchmarks)
files=()
if [ -e .git ] && command -v git >/dev/null; then
    patterns=()
    for dir in "${dirs[@]}"; do patterns+=("$dir/*.cpp" "$dir/*.h"); done
    listing="$(git ls-files -z -- "${patterns[@]}" | tr '\0' '\n')" ||
        { echo "error: git cannot list the tracked files" >&2; exit 1; }
else
    listing="$(find "${dirs[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)"
fi
mapfile -t files <<<"$listing"
# clang-format given no file would format its standard input: neither may happen.
if [ -z "${files[*]}" ]; then
    echo "error: no C++ files found in ${dirs[*]}" >&2
    exit 1
fi
exec "$clang_format" "$@" -- "${files[@]}" </dev/null
