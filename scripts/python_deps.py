"""Which of the given requirements the running interpreter does not meet.

    python scripts/python_deps.py "pybind11>=3.1,<3.2" "numpy" ...

Exits 0 when every requirement is met; else prints one line per requirement that is not
(missing, or installed at a version outside its range) and exits 1. Versions compare as pip
compares them, so a pre-release of the next minor version is outside "<3.2" too.
"""

import sys
from importlib import metadata

try:
    from packaging.requirements import Requirement
except ImportError:  # a bare virtual environment: pip carries its own copy
    from pip._vendor.packaging.requirements import Requirement


def unmet(requirements, version_of):
    """The requirements that are not met, each with the reason, as text lines.

    `version_of(name)` gives the installed version of a distribution, or None.
    """
    problems = []
    for text in requirements:
        req = Requirement(text)
        version = version_of(req.name)
        if version is None:
            problems.append(f"{text}: not installed")
        elif not req.specifier.contains(version, prereleases=True):
            problems.append(f"{text}: {version} is installed")
    return problems


def installed_version(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


if __name__ == "__main__":
    lines = unmet(sys.argv[1:], installed_version)
    for line in lines:
        print(line)
    sys.exit(1 if lines else 0)
