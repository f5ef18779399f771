"""Builds the package from the source tree and installs it into the running interpreter's
environment with pip, showing only what the build itself prints while it compiles (the
progress lines [n/N] and the compiler's messages) and the warnings and errors of CMake and
pip. With nothing to compile and nothing to warn of, it prints nothing. When the
installation fails, all of pip's output follows.

pip's own options give either everything (-v: every step of pip, scikit-build-core and CMake)
or nothing of the build (the default, -q): neither shows the compiler's progress alone.

    python scripts/install_package.py
"""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# scikit-build-core starts each of its steps with a line "*** ...": the build step's output is
# Ninja's. pip indents what the build backend prints, by an amount of its choosing.
STEP = "*** "
BUILD_STEP = "*** Building project"
PROGRESS = re.compile(r"\[\d+/\d+\] ")
NO_NEWS = ("ninja: no work to do.", "Re-checking globbed directories...")
# A CMake message runs to the next empty line; pip's are one line each.
CMAKE_NOTICE = re.compile(r"CMake (Deprecation )?(Warning|Error)\b")
PIP_NOTICE = ("ERROR:", "WARNING:")


def build_output(lines):
    """The lines of pip's verbose output that the build printed while compiling, and the
    warnings and errors, without the indent pip gave them."""
    building = False
    in_notice = False
    indent = ""
    for line in lines:
        text = line.rstrip("\r\n")
        bare = text.strip()
        if bare.startswith(STEP):
            indent = text[:len(text) - len(text.lstrip())]
            building = bare.startswith(BUILD_STEP)
            in_notice = False
            continue
        shown = text.removeprefix(indent)
        if CMAKE_NOTICE.match(bare):
            in_notice = True
            yield shown
        elif in_notice:
            in_notice = bool(bare)
            yield shown
        elif bare.startswith(PIP_NOTICE):
            yield bare
        elif (building or PROGRESS.match(bare)) and not bare.endswith(NO_NEWS):
            yield shown


def main():
    # The tree as ".", from inside it: pip reads a path it is given as a requirement, which
    # loses a space that ends the folder's name.
    command = [sys.executable, "-m", "pip", "install", "--no-build-isolation",
               "--disable-pip-version-check", "-v", "."]
    # A compiler message need not be UTF-8: undecodable bytes show as U+FFFD.
    pip = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           encoding="utf-8", errors="replace", cwd=ROOT,
                           env={**os.environ, "PYTHONUNBUFFERED": "1"})
    log = []

    def logged():
        for line in pip.stdout:
            log.append(line)
            yield line

    try:
        for text in build_output(logged()):
            print(text, flush=True)
    except KeyboardInterrupt:
        # Ctrl-C reached pip too: it ends before this script does, and so before make.
        pip.wait()
        raise
    if pip.wait() != 0:
        sys.stdout.writelines(log)
        return pip.returncode
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # Ctrl-C reached pip too: stop without a traceback
        sys.exit(130)
