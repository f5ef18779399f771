"""ProgramMemoryRequired and get_program_memory_infos."""

import pytest

import vorna.core as core
from builders import chain_model, mapped
from emu_support import program_info


@pytest.mark.parametrize(
    "output_bits, output_memory",
    [(4, 5 * 6 * 16), (8, 5 * 6 * 16), (12, 2 * 5 * 6 * 16), (32, 4 * 5 * 6 * 16)],
)
def test_counts_of_an_info_only_program(output_bits, output_memory):
    r = core.get_program_memory_infos(program_info([10, 12, 3], [5, 6, 16], output_bits, False))
    assert (r.input_memory, r.input_descriptor_memory, r.output_memory, r.program_memory,
            r.extra_program_memory, r.program_descriptors_memory) == (360, 16, output_memory, 0, 0, 0)
    assert repr(r) == (
        f"<vorna.ProgramMemoryRequired(input_memory=360B, input_descriptor_memory=16B, "
        f"output_memory={output_memory}B, program_memory=0B, extra_program_memory=0B, "
        f"program_descriptors_memory=0B)>")


def test_only_bytes_that_hold_a_whole_program_are_accepted():
    program = program_info([2, 2, 1], [1, 1, 4], 8, True)

    assert core.get_program_memory_infos(program).input_memory == 4
    for data in (b"", b"\x00", b"\xff" * 16, b"\x08\x00\x00\x00" + b"\x00" * 4, program[:4],
                 program[:len(program) // 2], program[:-1]):
        with pytest.raises(ValueError, match=r"^Invalid program\.$"):
            core.get_program_memory_infos(data)


def test_program_of_a_mapped_sequence():
    seq, = mapped(chain_model()).sequences
    r = core.get_program_memory_infos(seq.program)
    assert r.program_memory == len(seq.program) - len(seq.program_parts.program_info)
    assert r.input_descriptor_memory == 16 and r.input_memory == 16 * 16 * 3
