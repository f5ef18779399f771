"""What the extension module exports to the core library, and that its own calls reach its own
definitions whatever else the process has loaded."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vorna.core

HERE = Path(__file__).resolve().parent

# The host hooks and panic, under their plain names.
C_EXPORTS = ["PyInit_core", "kick_watchdog", "msleep", "panic", "time_ms"]

# The C++ functions the core library calls, by qualified name (their parameter lists aside).
CXX_EXPORTS = [
    # The back end.
    "vorna::HardwareBackend::map",
    "vorna::HardwareBackend::type",
    "vorna::HardwareSequence::forward_samples",
    # Layer depth and branches.
    "vorna::get_layer_depth",
    "vorna::sort_by_depth",
    "vorna::common_layers",
    "vorna::get_skipconnect_branch",
    "vorna::get_out_branches_count",
    "vorna::get_layers_to_map_together",
    "vorna::is_split_layer",
    # Mappable-layer navigation.
    "vorna::get_mappable_layer",
    "vorna::first_mappable_layer",
    "vorna::last_mappable_layer",
    "vorna::next_mappable_layer",
    "vorna::previous_mappable_layer",
    # Skip, merge and dual-output classification.
    "vorna::is_merge",
    "vorna::is_dual_output_layer",
    "vorna::is_dual_output_to_store_dma",
    "vorna::is_alt_layer",
    "vorna::is_skip_layer",
    "vorna::layer_need_load_dma",
    "vorna::layer_need_store_dma",
    # Skip-DMA channel, merge and alternate-layer planning.
    "vorna::shift_output_into_sram",
    "vorna::set_skipdma_store_channel_info",
    "vorna::set_skipdma_store_channel_dual_output_info",
    "vorna::set_skipdma_load_channel_info",
    "vorna::set_merge_layer_info",
    "vorna::set_alt_layers",
    "vorna::skipdma_channel_ids",
    # IP v2 HRC.
    "vorna::v2::get_hrc_sram_size",
    "vorna::v2::record_program_input_conv2d_layer",
    # Devices.
    "vorna::PowerMeter::PowerMeter",
    "vorna::PowerMeter::get",
    "vorna::PowerMeter::log_event",
    "vorna::PowerMeter::has_events",
    "vorna::PowerMeter::floor",
    "vorna::PowerMeter::reset",
    "vorna::PowerMeter::events",
    "vorna::soc::get_clock_mode",
    "vorna::soc::set_clock_mode",
    "SpiFlashController::get_id",
    "SpiFlashController::~SpiFlashController",
    "vorna::Tensor::type_name",
]

# The classes the core library creates (the back end, the flash controller) or runs through
# virtual operations (the sequences): their vtables and type information.
CLASS_DATA = [
    "vtable for vorna::HardwareBackend",
    "typeinfo for vorna::HardwareBackend",
    "typeinfo name for vorna::HardwareBackend",
    "vtable for vorna::HardwareSequence",
    "typeinfo for vorna::HardwareSequence",
    "typeinfo name for vorna::HardwareSequence",
    "vtable for SpiFlashController",
    "typeinfo for SpiFlashController",
    "typeinfo name for SpiFlashController",
]

needs_nm = pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")


def exported(demangle):
    command = ["nm", "-D", "--defined-only"] + (["-C"] if demangle else [])
    out = subprocess.run(command + [vorna.core.__file__], check=True, capture_output=True,
                         text=True).stdout
    # "<address> <type> <name>": the name may hold spaces once demangled.
    return [line.split(" ", 2) for line in out.splitlines()]


@needs_nm
def test_module_exports_its_entry_and_what_the_core_library_calls():
    symbols = exported(demangle=True)
    # Constructors and destructors are there once per variant (complete, base, deleting).
    functions = {name.split("(")[0] for _, kind, name in symbols if kind == "T"}
    data = {name for _, kind, name in symbols if kind in "VDR"}
    assert (functions, data) == (set(C_EXPORTS + CXX_EXPORTS), set(CLASS_DATA))
    assert len(symbols) == len([s for s in symbols if s[1] in "TVDR"]), symbols
    # The C ones undecorated, every other one a C++ name; the save's test seams are not there.
    raw = [name for _, _, name in exported(demangle=False)]
    assert sorted(n for n in raw if not n.startswith("_Z")) == sorted(C_EXPORTS)
    assert not [n for _, _, n in symbols if "set_save_hook" in n or "set_protection_levels" in n]


# A library loaded before the module with global symbols defines the module's exported
# functions too: the module's own calls still reach its own definitions.
IMPOSTOR = r"""
#include <stdint.h>
#include <unistd.h>
void panic(const char* format, ...) { (void)format; _exit(97); }
void msleep(uint32_t ms) { (void)ms; _exit(96); }
void kick_watchdog(void) { _exit(95); }
int64_t time_ms(void) { return 4242424242424; }
"""

CHILD = textwrap.dedent("""
    import ctypes, sys
    ctypes.CDLL(sys.argv[1], mode=ctypes.RTLD_GLOBAL)
    import numpy as np
    import vorna.core as core
    from emu_support import program_info
    device = core.HardwareDevice.devices()[0]
    device.program = program_info([4], [2], 8, True)
    try:
        device.forward(np.ones((1, 4), np.uint8))
    except RuntimeError as error:
        print(error)
    print(device.metrics["inference_start"] != 4242424242424)
""")


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_a_library_loaded_globally_does_not_replace_the_module_functions(tmp_path):
    source = tmp_path / "impostor.c"
    source.write_text(IMPOSTOR)
    library = tmp_path / "libimpostor.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    env = dict(os.environ, VORNA_EMU_DEVICES="v1",
               PYTHONPATH=os.pathsep.join([str(HERE)] + sys.path))
    run = subprocess.run([sys.executable, "-c", CHILD, str(library)], env=env,
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (
        0, "Cannot have a shape with a dimension set to 0\nTrue\n"), run.stderr


# Code built apart from the module, as the core library is, makes the back end and a flash
# controller, calls them through their vtables and tells their types.
APART = r"""
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "backend/hardware_backend.h"
#include "devices/flash_controller.h"

extern "C" int made_apart(char* out, int size) {
    vorna::HardwareBackend backend;
    const vorna::Backend& base = backend;
    std::string text = std::to_string(static_cast<int>(base.type()));
    text += typeid(base) == typeid(vorna::HardwareBackend) ? " HardwareBackend" : " ?";
    const std::shared_ptr<SpiFlashController> flash = std::make_shared<SpiFlashController>();
    try {
        flash->get_id();
    } catch (const std::runtime_error& e) {
        text += std::string(", ") + e.what();
    }
    return std::snprintf(out, size, "%s", text.c_str());
}
"""

APART_CHILD = textwrap.dedent("""
    import ctypes, sys
    import vorna.core
    out = ctypes.create_string_buffer(256)
    ctypes.CDLL(sys.argv[1]).made_apart(out, 256)
    print(out.value.decode())
""")


@pytest.mark.skipif(shutil.which("c++") is None or not (HERE.parent.parent / "src").is_dir(),
                    reason="needs a C++ compiler and the sources")
def test_code_built_apart_makes_the_classes_the_core_library_creates(tmp_path):
    source = tmp_path / "apart.cpp"
    source.write_text(APART)
    library = tmp_path / "libapart.so"
    subprocess.run(["c++", "-std=c++17", "-shared", "-fPIC", "-I", str(HERE.parent.parent / "src"),
                    "-o", str(library), str(source), vorna.core.__file__], check=True)
    run = subprocess.run([sys.executable, "-c", APART_CHILD, str(library)],
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (
        0, "1 HardwareBackend, get_id function is not yet implemented\n"), run.stderr
