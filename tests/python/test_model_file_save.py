"""Model.save on targets a path alone does not tell apart: names that open no file, pipes and
descriptor links. Cases that could hang or lose a stream run in a child interpreter."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vorna.core as core
from builders import layer

OPEN = "Unable to open file for saving model: "


def small_model():
    m = core.Model()
    m.add(layer("InputData", "in", input_width=8, input_height=1, input_channels=1))
    m.add(layer("Dense1D", "d", units=4))
    d = m.get_layer("d")
    shape = d.variables["weights"].shape
    d.variables["weights"] = np.random.default_rng(5).integers(-128, 128, shape, np.int8)
    return m


@pytest.mark.parametrize("name", ["", "sub/", "m.fbz/", "m.fbz\0x"])
def test_a_path_that_names_no_file_is_refused_before_anything_is_written(tmp_path,
                                                                          monkeypatch, name):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as info:
        small_model().save(name)
    assert str(info.value) == OPEN + name.replace("\0", "\\0")
    assert sorted(os.listdir(tmp_path)) == ["sub"] and os.listdir(tmp_path / "sub") == []


CHILD = """
import os, sys, time
import vorna.core as core
from builders import layer
m = core.Model()
m.add(layer("InputData", "in", input_width=8, input_height=1, input_channels=1))
start = time.monotonic()
try:
    m.save(sys.argv[1])
    print("saved", file=sys.stderr)
except ValueError as e:
    print(e, file=sys.stderr)
print(round(time.monotonic() - start), file=sys.stderr)
"""


def run_child(target, **kwargs):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", CHILD, target], timeout=60, env=env,
                         stderr=subprocess.PIPE, text=True, **kwargs)
    return out.stderr.splitlines()


def test_a_pipe_without_a_reader_is_refused_at_once(tmp_path):
    pipe = tmp_path / "pipe.fbz"
    os.mkfifo(pipe)
    # The message split as run_child splits it: TMPDIR's path may hold a line break.
    assert run_child(str(pipe)) == f"{OPEN}{pipe}\n0\n".splitlines()


def test_saving_to_redirected_stdout_writes_the_file_stdout_is(tmp_path):
    # The file stays the one the descriptor holds: replacing its name would leave the process
    # writing to a file no longer there.
    out = tmp_path / "out.fbz"
    with open(out, "wb") as f:
        f.write(b"x" * 1000)
        inode = os.fstat(f.fileno()).st_ino
        f.flush()
        f.seek(0)
        assert run_child("/dev/stdout", stdout=f) == ["saved", "0"]
    assert os.stat(out).st_ino == inode and os.listdir(tmp_path) == ["out.fbz"]
    assert core.Model(str(out)).layer_count == 1


@pytest.mark.parametrize("name", ["m.fbz", "d/m.fbz", "d/../m.fbz"])
def test_a_relative_path_names_a_file_from_the_working_directory(tmp_path, monkeypatch, name):
    (tmp_path / "d").mkdir()
    monkeypatch.chdir(tmp_path)
    for _ in range(2):  # created, then replaced
        small_model().save(name)
        assert core.Model(name).to_buffer() == small_model().to_buffer()
    assert sorted(os.listdir(tmp_path)) == ["d", "m.fbz"][: 2 if "d/m" not in name else 1]
    assert os.listdir(tmp_path / "d") == (["m.fbz"] if name == "d/m.fbz" else [])
