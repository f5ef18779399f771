"""ProgramMemoryRequired and get_program_memory_infos."""

import re

import pytest

import vorna.core as core
from emu_support import program_info

PROPERTIES = [
    ("input_memory", "memory required (in bytes) for one input"),
    ("input_descriptor_memory", "memory required (in bytes) for one input descriptor"),
    ("output_memory", "memory required (in bytes) for one output"),
    ("program_memory", "memory required (in bytes) for program"),
    ("extra_program_memory", None),
    ("program_descriptors_memory", "memory required (in bytes) for program descriptors"),
]

REPR = re.compile(
    r"<vorna\.ProgramMemoryRequired\(input_memory=(\d+)B, input_descriptor_memory=(\d+)B, "
    r"output_memory=(\d+)B, program_memory=(\d+)B, extra_program_memory=(\d+)B, "
    r"program_descriptors_memory=(\d+)B\)>"
)


def test_registration():
    names = list(vars(core))
    i = names.index("ProgramMemoryRequired")
    assert names[i: i + 3] == ["ProgramMemoryRequired", "get_program_memory_infos", "nn"]
    assert core.get_program_memory_infos.__doc__.rstrip().endswith(
        "Get the memory requirements for the given program")


def test_no_constructor():
    with pytest.raises(TypeError, match=r": No constructor defined!$"):
        core.ProgramMemoryRequired()


def test_read_only_properties_and_their_docstrings():
    klass = core.ProgramMemoryRequired
    assert [n for n in vars(klass) if not n.startswith("_")] == [p for p, _ in PROPERTIES]
    for name, doc in PROPERTIES:
        prop = vars(klass)[name]
        assert isinstance(prop, property) and prop.fset is None
        if doc is None:
            assert not prop.__doc__
        else:
            assert prop.__doc__ == doc


@pytest.mark.parametrize(
    "output_bits, output_memory",
    [(4, 5 * 6 * 16), (8, 5 * 6 * 16), (12, 2 * 5 * 6 * 16), (32, 4 * 5 * 6 * 16)],
)
def test_counts_of_an_info_only_program(output_bits, output_memory):
    program = program_info([10, 12, 3], [5, 6, 16], output_bits, False)
    r = core.get_program_memory_infos(program)
    counts = (10 * 12 * 3, 16, output_memory, 0, 0, 0)
    assert (r.input_memory, r.input_descriptor_memory, r.output_memory, r.program_memory,
            r.extra_program_memory, r.program_descriptors_memory) == counts
    assert repr(r) == (
        f"<vorna.ProgramMemoryRequired(input_memory=360B, input_descriptor_memory=16B, "
        f"output_memory={output_memory}B, program_memory=0B, extra_program_memory=0B, "
        f"program_descriptors_memory=0B)>"
    )
    assert REPR.fullmatch(repr(r))


def test_only_bytes_are_accepted():
    program = program_info([2, 2, 1], [1, 1, 4], 8, True)

    class Bytes(bytes):
        pass

    assert core.get_program_memory_infos(Bytes(program)).input_memory == 4
    for other in (bytearray(program), memoryview(program), list(program), program.hex()):
        with pytest.raises(TypeError):
            core.get_program_memory_infos(other)
    with pytest.raises(TypeError):
        core.get_program_memory_infos(program=program)


@pytest.mark.parametrize(
    "data",
    [b"", b"\x00", b"\xff" * 16, b"\x08\x00\x00\x00" + b"\x00" * 4],
    ids=["empty", "one byte", "garbage", "empty table"],
)
def test_bytes_that_are_not_a_program(data):
    with pytest.raises(ValueError, match=r"^Invalid program\.$"):
        core.get_program_memory_infos(data)


def test_truncated_program_is_refused():
    program = program_info([2, 2, 1], [1, 1, 4], 8, True)
    for cut in (4, len(program) // 2, len(program) - 1):
        with pytest.raises(ValueError, match=r"^Invalid program\.$"):
            core.get_program_memory_infos(program[:cut])


def test_program_of_a_mapped_sequence():
    from test_sequence import map_hardware_sequence

    model, seq = map_hardware_sequence()  # skipped while mapping onto v2 is not available
    program = seq.program
    r = core.get_program_memory_infos(program)
    assert REPR.fullmatch(repr(r))
    assert r.program_memory == len(program) - len(seq.program_parts.program_info)
    assert r.input_descriptor_memory == 16
    with pytest.raises(TypeError):
        core.get_program_memory_infos(bytearray(program))
