"""Waits of Model.save and the file constructor: Ctrl-C (or any exception a signal handler
raises) ends them, a handler that returns lets them go on, and other threads run meanwhile.
Each case runs in a child interpreter, so that a signal never reaches the test runner."""

import os
import subprocess
import sys
import time

import pytest

import vorna.core as core

CHILD = """
import os, signal, sys, threading, time
import numpy as np
import vorna.core as core
from builders import layer

action, path = sys.argv[1], sys.argv[2]
m = core.Model()
m.add(layer("InputData", "in", input_width=512, input_height=1, input_channels=1))
m.add(layer("Dense1D", "d", units=256))  # 128 KiB of weights: more than a pipe holds
d = m.get_layer("d")
d.variables["weights"] = np.random.default_rng(1).integers(-128, 128, d.variables["weights"].shape,
                                                            np.int8)
calls = []
signal.signal(signal.SIGUSR1, lambda *_: calls.append(time.monotonic()))
if action == "fifo":
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # never reads
sent = signal.SIGUSR1 if action == "load-on" else signal.SIGINT
threading.Timer(0.3, os.kill, (os.getpid(), sent)).start()  # runs while the call waits
print("waiting", flush=True)
start = time.monotonic()
try:
    if action in ("fifo", "save"):
        m.save(path)
    else:
        core.Model(path)
    print("done", len(calls), round(time.monotonic() - start, 1), flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", len(calls), round(time.monotonic() - start, 1), flush=True)
"""

HOLDER = ("import fcntl, sys, time\n"
          "f = open(sys.argv[1], 'r+b')\n"
          "fcntl.lockf(f, fcntl.LOCK_EX if sys.argv[2] == 'write' else fcntl.LOCK_SH)\n"
          "print('locked', flush=True)\n"
          "time.sleep(60)\n")


def start(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.Popen([sys.executable, "-c", *args], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def outcome(child):
    out, err = child.communicate(timeout=60)
    words = out.strip().split("\n")[-1].split()  # after "waiting"
    assert len(words) == 3, out + err
    return words[0], int(words[1]), float(words[2])


@pytest.mark.parametrize("action, lock", [
    ("fifo", None),    # a pipe no one reads: no deadline, but Ctrl-C ends it
    ("load", "write"),  # another process's write lock, waited for five seconds at most
    ("save", "read"),   # in place (two names), held back by another process's reader
])
def test_ctrl_c_ends_a_wait_within_a_second(tmp_path, action, lock):
    path = tmp_path / "m.fbz"
    holder = None
    if action == "fifo":
        os.mkfifo(path)
    else:
        path.write_bytes(b"old bytes")
        os.link(path, tmp_path / "other.fbz")
        holder = start(HOLDER, str(path), lock)
        assert holder.stdout.readline() == "locked\n"
    try:
        kind, calls, waited = outcome(start(CHILD, action, str(path)))
    finally:
        if holder:
            holder.kill()
            holder.wait()
    assert (kind, calls) == ("KeyboardInterrupt", 0)
    assert waited < 1.3
    # Refused: the file as it was, nothing beside it.
    names = ["m.fbz"] if action == "fifo" else ["m.fbz", "other.fbz"]
    assert sorted(os.listdir(tmp_path)) == names
    if action != "fifo":
        assert path.read_bytes() == b"old bytes"


def test_a_handler_that_returns_lets_the_wait_go_on(tmp_path):
    path = tmp_path / "m.fbz"
    core.Model().save(str(path))
    holder = start(HOLDER, str(path), "write")
    try:
        assert holder.stdout.readline() == "locked\n"
        child = start(CHILD, "load-on", str(path))
        assert child.stdout.readline() == "waiting\n"
        time.sleep(1.0)
    finally:
        holder.kill()
        holder.wait()
    kind, calls, waited = outcome(child)
    assert (kind, calls) == ("done", 1)
    assert 0.8 <= waited < 4
