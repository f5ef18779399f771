#!/usr/bin/env bash
# Installs everything the build and the tests need. Safe to run again: packages that are
# already present are not reinstalled.
#
# Python packages go into the project's Python environment: the activated virtual
# environment when there is one (VIRTUAL_ENV), else .venv at the project root, which is
# made here with the system's python3 (Debian's own is externally managed: pip may not
# install into it).
#
# Everything that can be checked without installing is checked first: the folders' names,
# who runs make, the Python (also the one apt would install), and that the tree is this
# user's. Paths are only ever passed as quoted arguments; in hints they are quoted so that
# they can be pasted into a shell.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# --build-dir: the build folder of scripts/dev-pytest.sh, checked too. --caller: what the user
# ran, named in the messages (make by default).
BUILD_DIR=""
who=make
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) BUILD_DIR="${2:?--build-dir needs a folder}"; shift 2 ;;
        --caller) who="${2:?--caller needs a name}"; shift 2 ;;
        *) echo "usage: install-deps.sh [--build-dir <folder>] [--caller <name>]" >&2; exit 2 ;;
    esac
done

# Ctrl-C: bash runs this once the command in progress (apt, pip) has returned, so nothing
# after it starts. It may run while python_run's redirection, to a cat that the Ctrl-C ended, is
# still in place: it writes to the script's own standard error, which python_run keeps meanwhile.
trap 'echo "install-deps: interrupted" >&"${kept_stderr:-2}"; exit 130' INT

# Runs a Python command (venv, pip, the scripts) with its standard error passed on as it comes,
# prompts that end without a line break included (pip's "User for <host>: "), through a cat that
# this shell starts before Python, in its process group (the braces make it this shell's child,
# to be waited for, not the command's). A Ctrl-C reaches that cat with the rest of the group and
# ends it there and then: what Python writes to standard error after it, from its start to its
# end (a traceback, pip's "Operation cancelled"), goes nowhere, and the INT trap's line, once
# Python has ended, is the only one; it goes to the script's standard error, kept meanwhile as
# kept_stderr (closed for the command and the cat). The command's status is kept.
python_run() {
    local status=0
    exec {kept_stderr}>&2
    { "$@" {kept_stderr}>&-; } 2> >(exec cat >&2 {kept_stderr}>&-) || status=$?
    wait "$!" 2>/dev/null || true
    local fd="$kept_stderr"
    unset kept_stderr  # first: the trap writes to standard error again
    exec {fd}>&-
    return "$status"
}

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

# A path or a command's words as a shell reads them back: safe to paste.
quoted() {
    local q
    printf -v q '%q ' "$@"
    echo "${q% }"
}

# The characters a folder's path may not hold, with the reason, for the tree and for the
# activated virtual environment; every other character works (spaces, apostrophes, '<', '>',
# '=', '#', '&', letters of any alphabet, a leading '-', a trailing space, ...).
#  - '`' and '$': pip writes each program it installs into the environment (pytest,
#    clang-format, ...) as a launcher. Its first line is "#!<python>" where that path holds no
#    space and the line fits in 127 bytes; else the launcher is shell text that sh reads with
#    the path in double quotes, where a backtick or a '$' runs as a command.
#  - a tab: the kernel splits a launcher's "#!" line at it, so the launcher does not start.
#  - ':': PATH, which activating the environment extends with its bin folder, and PYTHONPATH
#    split at a colon.
#  - '|': Ninja's build files separate a step's dependencies at it.
#  - a carriage return: Ninja's reader of its build files stops there (a lexing error).
#  - the rest: CMake. Its lists split at ';', its globs read '[', ']', '*' and '?' as patterns
#    (which can take in another folder's files), it reads '\' as a folder separator, its
#    compiler checks fail on '"', and it cuts its cache's values at a line break.
# Every other control character (DEL, ESC, ...) is taken, as '&' and '<' are: CMake and Ninja
# keep it, though Ninja's reader of the compiler's dependency files then cuts the headers' paths,
# so every build compiles everything again.
# Refused before anything is installed or built, the character named. (TMPDIR reaches none of
# them: the build steps use /tmp when it holds such a character.)
folder_rule() {  # folder_rule <character>: its name, a line break and the reason; nothing when taken
    local name reason cmake="CMake cannot take it"
    local launchers="pip's launchers in the environment's bin folder"
    case "$1" in
        '`' | '$')
            name="a backtick (\`)"
            if [ "$1" = '$' ]; then name="a dollar sign (\$)"; fi
            reason="$launchers would run it as a command where the path also holds a space or"
            reason+=" makes their first line longer than 127 bytes (they are shell text then)" ;;
        $'\t') name="a tab"
               reason="$launchers would not start: the kernel splits their first line (#!) there" ;;
        ':') name="a colon (:)"
             reason="PATH (extended by the environment's activate script) and PYTHONPATH split there" ;;
        ';') name="a semicolon (;)" reason="$cmake: its lists split there" ;;
        '[' | ']') name="a bracket ($1)" reason="$cmake: its globs read it as a pattern" ;;
        '*') name="an asterisk (*)" reason="$cmake: its globs read it as a pattern" ;;
        '?') name="a question mark (?)" reason="$cmake: its globs read it as a pattern" ;;
        '\') name="a backslash (\\)" reason="$cmake: it reads it as a folder separator" ;;
        '"') name="a double quote (\")" reason="$cmake: its compiler checks fail" ;;
        '|') name="a vertical bar (|)"
             reason="Ninja cannot take it: its build files separate a step's dependencies there" ;;
        $'\r') name="a carriage return" reason="Ninja cannot take it: its build files' reader stops there" ;;
        $'\n') name="a line break" reason="$cmake: it cuts its cache's values there" ;;
        *) return 0 ;;
    esac
    printf '%s\n%s\n' "$name" "$reason"
}

REFUSED='[]`$:"\;[*?|'$'\t\n\r'']'

# The tree, the activated environment, and the build folder of scripts/dev-pytest.sh
# (--build-dir), whose path goes to CMake and PYTHONPATH. No launcher is made in the build
# folder: it may hold what only the launchers cannot take ('`', '$', a tab).
check_folder_names() {
    local label path rule checked
    for label in "the project's folder" "the activated virtual environment" "the build folder"; do
        case "$label" in
            *project*) path="$ROOT" ;; *environment) path="${VIRTUAL_ENV:-}" ;; *) path="$BUILD_DIR" ;;
        esac
        checked="$path"
        if [ "$label" = "the build folder" ]; then checked="${path//[\`\$$'\t']/}"; fi
        [[ "$checked" =~ $REFUSED ]] || continue
        rule="$(folder_rule "${BASH_REMATCH[0]}")"
        fail "$label, $(quoted "$path"), has ${rule%%$'\n'*} in its path: ${rule#*$'\n'}; move or" \
             "rename the folder, and run $who again (the README's \"Folder names\" lists" \
             "what works)"
    done
}

# "3.11.2", or nothing when the interpreter does not run.
py_version() {
    "$1" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null || true
}

# What works instead: Debian 12 (other releases have no Python 3.11 package), and a Python 3.11
# virtual environment only where a Python 3.11 with venv is at hand.
use_311() {
    local advice="vorna needs Debian 12 with its own Python 3.11: run make on a Debian 12 machine"
    advice+=" or in a Debian 12 container"
    local py
    while IFS= read -r py; do
        if [[ "$(py_version "$py")" == 3.11.* ]] && "$py" -c 'import ensurepip, venv' >/dev/null 2>&1; then
            advice+=", or make a virtual environment with the Python 3.11 at $(quoted "$py") and"
            advice+=" run make with it activated ('$(quoted "$py") -m venv ~/vorna-env &&"
            advice+=" . ~/vorna-env/bin/activate')"
            break
        fi
    done < <(type -ap python3.11 || true)
    echo "$advice"
}

# The Python the project environment is made with, or refused: prints "ok", or "missing"
# when only a python3 from apt can tell.
check_python() {
    local version
    if [ -n "${VIRTUAL_ENV:-}" ]; then
        version="$(py_version "$VIRTUAL_ENV/bin/python")"
        [[ "$version" == 3.11.* ]] || fail "vorna builds for Python 3.11 only, and the activated" \
            "virtual environment $VIRTUAL_ENV is ${version:+Python }${version:-not a working one}:" \
            "deactivate it to use the project's own .venv; $(use_311)"
    elif [ -n "$(py_version "$ROOT/.venv/bin/python")" ]; then
        version="$(py_version "$ROOT/.venv/bin/python")"
        [[ "$version" == 3.11.* ]] || fail "vorna builds for Python 3.11 only, and $ROOT/.venv is" \
            "Python $version: remove it ($(quoted rm -rf "$ROOT/.venv")); $(use_311)"
    elif command -v python3 >/dev/null; then
        # A .venv whose interpreter no longer runs (its base Python was removed) is made anew.
        version="$(py_version python3)"
        [[ "$version" == 3.11.* ]] || fail "vorna builds for Python 3.11 only, and python3" \
            "($(command -v python3)) is ${version:+Python }${version:-not a working Python}: $(use_311)"
    else
        echo missing
        return
    fi
    echo ok
}

# The tree must be this user's: a run as root (sudo make) leaves root's files in build/,
# .venv and the caches, which the next run cannot replace. The folders that hold them are named,
# each once, with one command that gives them back: for a path in a folder that the commands
# make (build, .venv, .venv.partial, .pytest_cache, a __pycache__, the activated environment),
# that folder, else the path itself. The folders the build writes must be writable (not on a
# read-only file system).
check_writable() {
    local uid me dir
    uid="$(id -u)"
    me="$(id -un 2>/dev/null || echo "$uid")"
    if [ "$uid" -ne 0 ]; then
        local folders=() path owners=""
        while IFS= read -r -d '' path; do
            local owner rel=""  # the path in the tree, between slashes
            if [[ "$path" == "$ROOT"/* ]]; then rel="/${path#"$ROOT"/}/"; fi
            owner="$(stat -c %U "$path")"
            if [ "$owner" = UNKNOWN ]; then owner="uid $(stat -c %u "$path")"; fi
            [[ " $owners, " == *" $owner, "* ]] || owners="${owners:+$owners, }$owner"
            if [ -n "${VIRTUAL_ENV:-}" ] && [[ "$path/" == "$VIRTUAL_ENV"/* ]]; then
                path="$VIRTUAL_ENV"
            elif [[ "$rel" =~ ^/(build|\.venv|\.venv\.partial|\.pytest_cache)/ ]]; then
                path="$ROOT/${BASH_REMATCH[1]}"
            elif [[ "$rel" == */__pycache__/* ]]; then
                path="$ROOT${rel%%/__pycache__/*}/__pycache__"
            fi
            folders+=("$path")
        done < <(find "$ROOT" ${VIRTUAL_ENV:+"$VIRTUAL_ENV"} -name .git -prune -o \
                     ! -user "$uid" -print0 -prune)
        if [ "${#folders[@]}" -gt 0 ]; then
            mapfile -d '' folders < <(printf '%s\0' "${folders[@]}" | LC_ALL=C sort -zu)
            local names=""
            for path in "${folders[@]}"; do names+="${names:+, }$(quoted "${path#"$ROOT"/}")"; done
            local left=""
            if [ "$owners" = root ]; then left=" (a run as root, such as sudo make, left them)"; fi
            fail "$who cannot write all of the tree: files that belong to $owners, not to $me, are" \
                 "in $names$left; make them yours with" \
                 "'$(quoted sudo chown -R "$uid:$(id -g)" -- "${folders[@]}")' and run $who as" \
                 "yourself"
        fi
    fi
    for dir in "$ROOT/build" "${VIRTUAL_ENV:-$ROOT/.venv}"; do
        if { [ -e "$dir" ] && [ ! -w "$dir" ]; } || { [ ! -e "$dir" ] && [ ! -w "$(dirname "$dir")" ]; }; then
            fail "cannot write $(quoted "$dir"): run $who in a tree you can write (not on a" \
                 "read-only file system)"
        fi
    done
}

# apt-get as root: directly, or through sudo. Without a way to root, one message names every
# missing package in one command.
as_root=()
can_be_root() {
    [ "$(id -u)" -eq 0 ] || { command -v sudo >/dev/null && as_root=(sudo); }
}

apt_update() {
    if [ -z "${apt_updated:-}" ] && ! "${as_root[@]}" apt-get update; then
        apt_failed "$@"
    fi
    apt_updated=1
}

apt_failed() {
    local how="as root, run"
    if [ "${#as_root[@]}" -gt 0 ]; then how="through sudo (you need the right to use it) or $how"; fi
    fail "installing the Debian packages $* failed: $how" \
         "'apt-get update && apt-get install --no-install-recommends $*'"
}

# The major.minor version of the python3 apt would install, or nothing when its package lists
# do not say.
apt_python_version() {
    local candidate
    candidate="$(apt-cache policy python3 2>/dev/null | awk '$1 == "Candidate:" { print $2 }' || true)"
    candidate="${candidate#*:}"
    if [[ "$candidate" =~ ^([0-9]+\.[0-9]+) ]]; then echo "${BASH_REMATCH[1]}"; fi
}

# Without python3, the one apt would bring is checked before anything is installed: from
# apt's package lists (read first where they are empty), else, without a way to root, from the
# system's release.
check_apt_python() {
    local version
    version="$(apt_python_version)"
    if [ -z "$version" ] && can_be_root; then
        apt_update "$@"
        version="$(apt_python_version)"
    fi
    if [ -z "$version" ]; then
        local id="" version_id=""
        if [ -r /etc/os-release ]; then
            id="$(. /etc/os-release && echo "${ID:-}")"
            version_id="$(. /etc/os-release && echo "${VERSION_ID:-}")"
        fi
        if [ "$id" = debian ] && [ "$version_id" != 12 ]; then
            fail "vorna builds for Python 3.11 only, and this is Debian $version_id, whose python3" \
                 "is not Python 3.11: $(use_311)"
        fi
        return
    fi
    [ "$version" = 3.11 ] || fail "vorna builds for Python 3.11 only, and python3 is missing:" \
        "apt would install Python $version: $(use_311)"
}

apt_install() {
    if ! can_be_root; then
        fail "the Debian packages $* are missing and sudo is not installed: as root, run" \
             "'apt-get update && apt-get install --no-install-recommends $*', or install" \
             "sudo, get the right to use it, and run $who again"
    fi
    # sudo resets the environment: env sets DEBIAN_FRONTEND for apt-get itself.
    apt_update "$@"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "$@" || apt_failed "$@"
}

# The project's own .venv, made whole or not at all: made in .venv.partial and renamed .venv
# once pip works in it, the path in its scripts (activate, pip's launchers) and pyvenv.cfg then
# changed to the final one. A .venv without a working pip (an older interrupted run) is made
# anew; a .venv.partial is what an interrupt left. Ctrl-C at any moment of it prints only the
# INT trap's line: each Python runs under python_run.
make_venv() {
    local venv="$ROOT/.venv" partial="$ROOT/.venv.partial"
    if [ -e "$venv" ] && "$venv/bin/python" -m pip --version >/dev/null 2>&1; then return; fi
    echo "Making the project's Python environment .venv with $(command -v python3)"
    rm -rf "$venv" "$partial"
    python_run python3 -c 'import sys, venv
try:
    venv.main(sys.argv[1:])
except KeyboardInterrupt:
    sys.exit(130)' --prompt .venv "$partial"
    python_run "$partial/bin/python" -m pip --version >/dev/null ||
        fail "python3 -m venv made an environment without a working pip"
    python_run python3 - "$partial" "$venv" <<'PY'
import os, shlex, sys
old, new = sys.argv[1:]
pairs = [(os.fsencode(shlex.quote(old)), os.fsencode(shlex.quote(new))),
         (os.fsencode(old), os.fsencode(new))]
bin_dir = os.path.join(old, "bin")
for path in [os.path.join(old, "pyvenv.cfg")] + [os.path.join(bin_dir, n) for n in os.listdir(bin_dir)]:
    if os.path.isfile(path) and not os.path.islink(path):
        with open(path, "rb") as f:
            data = f.read()
        text = data
        for before, after in pairs:
            text = text.replace(before, after)
        if text != data:
            with open(path, "wb") as f:
                f.write(text)
PY
    mv -T "$partial" "$venv"
}

check_folder_names
# One set-up at a time in a tree: make holds the tree's lock already; run by hand, this script
# takes it until it ends, waiting for a make in progress. `sudo make` in the tree of the user
# who ran sudo is refused there (status 3, the refusal on standard output).
if ! VORNA_TREE_LOCK="$(bash "$ROOT/scripts/tree-lock.sh" "$$" "$who")"; then
    fail "$VORNA_TREE_LOCK"
fi
export VORNA_TREE_LOCK
python_state="$(check_python)"
check_writable

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done
if [ "$python_state" = missing ]; then
    check_apt_python "${missing[@]}"
fi
if [ "${#missing[@]}" -gt 0 ]; then
    apt_install "${missing[@]}"
fi

if [ -n "${VIRTUAL_ENV:-}" ]; then
    PYTHON="$VIRTUAL_ENV/bin/python"
    "$PYTHON" -m pip --version >/dev/null 2>&1 ||
        fail "the activated virtual environment $(quoted "$VIRTUAL_ENV") has no working pip:" \
             "run '$(quoted "$PYTHON" -m ensurepip --upgrade)', or deactivate it to use the" \
             "project's own .venv"
else
    PYTHON="$ROOT/.venv/bin/python"
    make_venv
fi

# pip's progress, warnings, errors and prompts show as they come.
if ! python_run "$PYTHON" "$ROOT/scripts/python_deps.py" "${PIP_PACKAGES[@]}" >/dev/null; then
    python_run "$PYTHON" -m pip install --disable-pip-version-check "${PIP_PACKAGES[@]}"
    # Fails, naming the requirement, when pip kept a version outside a range.
    python_run "$PYTHON" "$ROOT/scripts/python_deps.py" "${PIP_PACKAGES[@]}"
fi
