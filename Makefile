# Top-level commands. `make test` and `make demo` do all the set-up themselves.

# The Python every step uses: the activated virtual environment's when there is one, else the
# project's own environment .venv, which `make deps` makes with the system's python3.
VENV := $(if $(VIRTUAL_ENV),$(VIRTUAL_ENV),$(CURDIR)/.venv)
PYTHON := $(VENV)/bin/python
JOBS ?= $(shell nproc)
ASAN_BUILD := build/asan

.PHONY: deps install cpptest pytest test demo bench clean format format-check

deps:
	bash scripts/install-deps.sh

# Builds and installs the Python package (the extension module vorna.core) with pip. Of its
# output, only the compile progress ([n/N] lines) and the compiler's messages show, and all of
# it when the installation fails.
install: deps
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$(PYTHON)" scripts/install_package.py

# The C++ core and its GoogleTest suite, under AddressSanitizer and UBSan. Of ctest's output,
# the failures (with their output), the skipped tests and the summary show; a line for each
# passing test does not.
cpptest: deps
	cmake -S . -B "$(ASAN_BUILD)" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DVORNA_BUILD_PYTHON=OFF -DVORNA_BUILD_TESTS=ON -DVORNA_SANITIZE=ON
	cmake --build "$(ASAN_BUILD)" -j $(JOBS)
	@{ ctest --test-dir "$(ASAN_BUILD)" --output-on-failure -j $(JOBS); echo "ctest-status $$?"; } | \
	    awk '/^ctest-status [0-9]+$$/ { exit $$2 } \
	         /^ *Start +[0-9]+: / || / Test +#[0-9]+: .* Passed +[0-9.]+ sec$$/ { next } \
	         { print; fflush() }'

pytest: install
	"$(PYTHON)" -m pytest -q tests/python

# The benchmark's quick mode runs last, to prove it still works (no timing is checked).
test: deps format-check install cpptest pytest
	"$(PYTHON)" benchmarks/bench.py --quick

# The clang-format binary of the pinned PyPI package, whatever PATH holds.
CLANG_FORMAT = $(shell "$(PYTHON)" -c 'import clang_format; print(clang_format.get_executable("clang-format"))' 2>/dev/null)

# C++ sources and tests formatted by the pinned clang-format (see .clang-format): the tracked
# ones in a git clone, else (a source archive) those in the same folders, where no build
# directory lies.
CXX_DIRS := src tests/cpp benchmarks
CXX_FILES := $(shell if [ -e .git ] && command -v git >/dev/null; then \
                 git ls-files $(foreach d,$(CXX_DIRS),'$(d)/*.cpp' '$(d)/*.h'); \
             else \
                 find $(CXX_DIRS) -type f \( -name '*.cpp' -o -name '*.h' \) | sort; \
             fi)
# clang-format given no file would format its standard input: neither may happen.
CLANG_FORMAT_FILES = $(if $(CXX_FILES),$(CXX_FILES) </dev/null,$(error no C++ files found in $(CXX_DIRS)))

format: deps
	@"$(CLANG_FORMAT)" -i $(CLANG_FORMAT_FILES)

format-check: deps
	@"$(CLANG_FORMAT)" --dry-run -Werror $(CLANG_FORMAT_FILES)

# The speed figures against their ceilings (memcpy, np.copy, raw snappy); `--quick` in
# `make test` only proves that the script still runs.
bench: install
	"$(PYTHON)" benchmarks/bench.py

# Maps a small model onto a virtual v2 device and prints the result.
demo: install
	"$(PYTHON)" examples/map_v2_model.py

clean:
	rm -rf build
