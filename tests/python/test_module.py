import pytest

import vorna
import vorna.core as core


def test_docstring_and_version():
    assert core.__doc__ == "Vorna core library"
    assert isinstance(core.__version__, str) and core.__version__
    assert vorna.__version__ == core.__version__


def test_module_is_imported_once():
    import importlib

    again = importlib.import_module("vorna.core")
    assert again is core
