# Top-level commands. `make test` and `make demo` do all the set-up themselves.
#
# No path is pasted into a command line: recipes name the tree's files relative to it, and
# the Python by the shell's own expansion of VIRTUAL_ENV inside double quotes, which the
# shell does not read again, so that no character of a folder's name can run as a command.
# The Python is the activated virtual environment's when there is one, else the project's
# own environment .venv, which `make deps` makes with the system's python3.
PYTHON := "$${VIRTUAL_ENV:-.venv}/bin/python"
JOBS ?= $(shell nproc)
# The build's own temporary files go to /tmp: CMake cannot read back a compiler's command line
# that names a temporary folder with an apostrophe or a semicolon in its path.
BUILD_ENV := TMPDIR=/tmp
ASAN_BUILD := build/asan

# One make at a time in a tree: the tree's lock is taken before any goal starts and held until
# this make has ended (scripts/tree-lock.sh); a second make waits for it, saying so. Its
# descriptor reaches none of the commands below. `make -n` and `make -q` run nothing, so they
# take no lock. `sudo make` in the tree of the user who ran sudo stops here, before any goal,
# with the script's refusal as make's only message.
ifeq ($(findstring n,$(firstword -$(MAKEFLAGS)))$(findstring q,$(firstword -$(MAKEFLAGS))),)
export VORNA_TREE_LOCK := $(shell bash scripts/tree-lock.sh "$$PPID")
ifeq ($(.SHELLSTATUS),3)
$(error $(VORNA_TREE_LOCK))
endif
endif

.PHONY: deps install cpptest pytest test demo bench clean format format-check

deps:
	bash scripts/install-deps.sh

# Builds and installs the Python package (the extension module vorna.core) with pip. Of its
# output, only the compile progress ([n/N] lines) and the compiler's messages show, and all of
# it when the installation fails.
install: deps
	$(BUILD_ENV) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) scripts/install_package.py

# The C++ core and its GoogleTest suite, under AddressSanitizer and UBSan. Of ctest's output,
# the failures (with their output), the skipped tests with their reasons and the summary show
# (scripts/ctest.sh); the tests' temporary files go to a folder of the run's own in TMPDIR,
# removed when the suite ends, Ctrl-C included.
cpptest: deps
	$(BUILD_ENV) cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DVORNA_BUILD_PYTHON=OFF -DVORNA_BUILD_TESTS=ON -DVORNA_SANITIZE=ON
	$(BUILD_ENV) cmake --build $(ASAN_BUILD) -j $(JOBS)
	@bash scripts/ctest.sh $(ASAN_BUILD) $(JOBS)

# The tests' temporary folders go to build/pytest, which pytest empties at the start of each run
# (not to TMPDIR, where nothing would remove them), and pytest keeps no cache: everything the
# suite leaves is in build/. -rs shows why each skipped test was skipped.
pytest: install
	$(PYTHON) -m pytest -q -rs --basetemp=build/pytest -p no:cacheprovider tests/python

# The benchmark's quick mode runs last. It only proves that the script still runs: its
# ratios are printed, not checked against their goals.
test: deps format-check install cpptest pytest
	$(PYTHON) benchmarks/bench.py --quick

# The C++ sources and tests, formatted by the pinned clang-format (see .clang-format).
format: deps
	@bash scripts/clang-format.sh -i

format-check: deps
	@bash scripts/clang-format.sh --dry-run -Werror

# The speed figures against their ceilings (memcpy, np.copy, raw snappy).
bench: install
	$(PYTHON) benchmarks/bench.py

# Maps a small model onto a virtual v2 device and prints the result.
demo: install
	$(PYTHON) examples/map_v2_model.py

clean:
	rm -rf build
