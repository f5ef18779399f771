"""Emulated devices and hand-encoded program bytes for the hardware-device tests.

The emulated drivers are read once per process from VORNA_EMU_DEVICES; every test module that
uses hardware devices sets the same list before the first device query.
"""

import os
import struct

EMU_DEVICES = "v2+flash,v1,fail,v1+soc+clkwrap"
os.environ.setdefault("VORNA_EMU_DEVICES", EMU_DEVICES)

# Indexes into HardwareDevice.devices() (the failing driver gives no device).
SOC_FLASH, PLAIN, SOC_CLKWRAP = 0, 1, 2


def program_info(input_dims, output_dims, output_bits, activation, output_scales=None):
    """A size-prefixed program-info flatbuffer holding only the fields the emulator reads."""
    max_id = 17
    vtable_pos = 4
    vtable_size = 4 + 2 * (max_id + 1)
    table = vtable_pos + vtable_size
    table_size = 20
    slots = {2: 4, 3: 8, 6: 16, 7: 17, 17: 18}
    if output_scales is not None:
        slots[11] = 12
    vtable = [0] * (max_id + 1)
    for field, offset in slots.items():
        vtable[field] = offset
    body = bytearray(struct.pack("<I", table))
    body += struct.pack("<HH", vtable_size, table_size)
    body += struct.pack("<%dH" % (max_id + 1), *vtable)
    assert len(body) == table
    body += bytearray(table_size)
    struct.pack_into("<i", body, table, table - vtable_pos)
    body[table + 16] = output_bits
    body[table + 17] = 1 if activation else 0
    body[table + 18] = 8

    def vector(fmt, values, field_pos):
        pos = len(body)
        body.extend(struct.pack("<I", len(values)))
        body.extend(struct.pack("<%d%s" % (len(values), fmt), *values))
        struct.pack_into("<I", body, field_pos, pos - field_pos)

    vector("I", input_dims, table + 4)
    vector("I", output_dims, table + 8)
    if output_scales is not None:
        vector("f", output_scales, table + 12)
    return struct.pack("<I", len(body)) + bytes(body)
