"""Vorna: maps neural-network models onto neural-processor accelerators."""

from . import core  # noqa: F401

__version__ = core.__version__
