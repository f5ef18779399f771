"""The extension runs in the main interpreter only: a sub-interpreter's import is refused at once,
whether or not the main interpreter imported the module first."""

import subprocess
import sys

import pytest

pytest.importorskip("_xxsubinterpreters")

MESSAGE = ("<class 'ImportError'>: vorna.core can only be imported in the main interpreter, "
           "not in a sub-interpreter.")

# Each case runs in a fresh process, so that a hang fails the test instead of the suite, and
# so that "before" really comes before any import of the module.
SCRIPT = """
import time
import _xxsubinterpreters as si
{main_first}
start = time.monotonic()
try:
    si.run_string(si.create(), "import vorna.core")
    print("imported")
except si.RunFailedError as e:
    print(e)
print("quick", time.monotonic() - start < 1.0)
import vorna.core
print("main", vorna.core.Model().layer_count)
"""


@pytest.mark.parametrize("main_first", ["", "import vorna.core"], ids=["before", "after"])
def test_sub_interpreter_import_is_refused(main_first):
    result = subprocess.run([sys.executable, "-c", SCRIPT.format(main_first=main_first)],
                            capture_output=True, text=True, timeout=20)
    assert result.returncode == 0, result.stderr
    # The refusal leaves the main interpreter free to import and use the module.
    assert result.stdout.splitlines() == [MESSAGE, "quick True", "main 0"]
