# The emulated device list is read once per process, at the first device query: set it before
# any test module runs, whichever modules are selected.
import emu_support  # noqa: F401
