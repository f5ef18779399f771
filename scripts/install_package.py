"""Builds the package from the source tree and installs it into the running interpreter's
environment with pip, showing only what the build itself prints while it compiles: the
progress lines ([n/N]) and the compiler's messages. With nothing to compile, it prints
nothing. When the installation fails, all of pip's output follows.

    python scripts/install_package.py
"""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# scikit-build-core starts each of its steps with a line "*** ...": the build step's output is
# Ninja's. pip indents the output of the build backend.
STEP = "*** "
BUILD_STEP = "*** Building project"
PROGRESS = re.compile(r"\[\d+/\d+\] ")
NO_NEWS = ("ninja: no work to do.", "Re-checking globbed directories...")
INDENT = "  "


def build_output(lines):
    """The lines of pip's verbose output that the build printed while compiling."""
    building = False
    for line in lines:
        text = line.removeprefix(INDENT).rstrip("\n")
        if text.startswith(STEP):
            building = text.startswith(BUILD_STEP)
        elif (building or PROGRESS.match(text)) and not text.endswith(NO_NEWS):
            yield text


def main():
    command = [sys.executable, "-m", "pip", "install", "--no-build-isolation",
               "--disable-pip-version-check", "-v", str(ROOT)]
    pip = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, env={**os.environ, "PYTHONUNBUFFERED": "1"})
    log = []

    def logged():
        for line in pip.stdout:
            log.append(line)
            yield line

    for text in build_output(logged()):
        print(text, flush=True)
    if pip.wait() != 0:
        sys.stdout.writelines(log)
        return pip.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
