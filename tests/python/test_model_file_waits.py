"""Waits of Model.save and the file constructor, and what their holding the interpreter lock from
start to end means: Ctrl-C sent by another process ends a wait, a handler that returns lets it go
on, no other thread runs meanwhile, and threads in them neither abort the program's exit nor
leave a forked child stuck or holding a lock. Each case runs in a child interpreter that starts
with SIGINT's default disposition (whatever this one's is), is signalled from here, and is killed
and reaped if its time runs out."""

import contextlib
import os
import signal
import subprocess
import sys
import time

import pytest

import vorna.core as core

MODEL = """
import os, signal, sys, threading, time
import numpy as np
import vorna.core as core
from builders import layer

def dense(inputs, units):
    m = core.Model()
    m.add(layer("InputData", "in", input_width=inputs, input_height=1, input_channels=1))
    m.add(layer("Dense1D", "d", units=units))
    d = m.get_layer("d")
    d.variables["weights"] = np.random.default_rng(1).integers(
        -128, 128, d.variables["weights"].shape, np.int8)
    return m
"""

# Waits in a save or load, signalled from outside: prints "waiting" just before the call, then
# how it ended, how many SIGUSR1 the handler saw and how long the call took.
WAITER = MODEL + """
action, path = sys.argv[1], sys.argv[2]
m = dense(512, 256)  # 128 KiB of weights: more than a pipe holds
calls = []
signal.signal(signal.SIGUSR1, lambda *_: calls.append(time.monotonic()))
if action == "fifo":
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # never reads
print("waiting", flush=True)
start = time.monotonic()
try:
    if action in ("fifo", "save"):
        m.save(path)
    else:
        core.Model(path)
    print("done", len(calls), round(time.monotonic() - start, 2), flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", len(calls), round(time.monotonic() - start, 2), flush=True)
"""

HOLDER = ("import fcntl, sys, time\n"
          "f = open(sys.argv[1], 'r+b')\n"
          "fcntl.lockf(f, fcntl.LOCK_EX if sys.argv[2] == 'write' else fcntl.LOCK_SH)\n"
          "print('locked', flush=True)\n"
          "time.sleep(60)\n")


def default_sigint():
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@contextlib.contextmanager
def child(*args):
    """A child interpreter running `args`; killed and reaped when the block ends."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-c", *args], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        yield process
    finally:
        process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()


@contextlib.contextmanager
def locked_by_another(path, kind):
    """A process holding a POSIX lock of `kind` ("read" or "write") on `path`."""
    with child(HOLDER, str(path), kind) as holder:
        assert holder.stdout.readline() == "locked\n"
        yield holder


def release(holder):
    holder.kill()
    holder.wait()


def result(process, timeout=60):
    out, err = process.communicate(timeout=timeout)
    assert process.returncode == 0, out + err
    return out.split()


@pytest.mark.parametrize("action, lock", [
    ("fifo", None),    # a pipe no one reads: no deadline, but Ctrl-C ends it
    ("load", "write"),  # another process's write lock, waited for five seconds at most
    ("save", "read"),   # in place (two names), held back by another process's reader
])
def test_ctrl_c_from_another_process_ends_a_wait_within_a_second(tmp_path, action, lock):
    path = tmp_path / "m.fbz"
    with contextlib.ExitStack() as stack:
        if action == "fifo":
            os.mkfifo(path)
        else:
            path.write_bytes(b"old bytes")
            os.link(path, tmp_path / "other.fbz")
            stack.enter_context(locked_by_another(path, lock))
        waiter = stack.enter_context(child(WAITER, action, str(path)))
        assert waiter.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        waiter.send_signal(signal.SIGINT)
        kind, calls, waited = result(waiter, timeout=10)
    assert (kind, calls) == ("KeyboardInterrupt", "0")
    assert float(waited) < 1.3
    # Refused: the file as it was, nothing beside it.
    names = ["m.fbz"] if action == "fifo" else ["m.fbz", "other.fbz"]
    assert sorted(os.listdir(tmp_path)) == names
    if action != "fifo":
        assert path.read_bytes() == b"old bytes"


def test_a_handler_that_returns_lets_the_wait_go_on(tmp_path):
    path = tmp_path / "m.fbz"
    core.Model().save(str(path))
    with locked_by_another(path, "write") as holder, child(WAITER, "load", str(path)) as waiter:
        assert waiter.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        waiter.send_signal(signal.SIGUSR1)
        time.sleep(0.7)
        release(holder)
        kind, calls, waited = result(waiter, timeout=10)
    assert (kind, calls) == ("done", "1")
    assert 0.8 <= float(waited) < 4


# While a load waits for another's lock, the program's other threads do not run: prints how
# often a ticking thread ran inside the call (well inside: the call may start a switch late).
TICKER = """
import sys, threading, time
import vorna.core as core
ticks = []
def tick():
    while True:
        ticks.append(time.monotonic())
        time.sleep(0.005)
threading.Thread(target=tick, daemon=True).start()
time.sleep(0.1)
print("waiting", flush=True)
start = time.monotonic()
core.Model(sys.argv[1])
end = time.monotonic()
print(sum(start + 0.05 < t < end - 0.05 for t in ticks), round(end - start, 2), flush=True)
"""


def test_no_other_thread_runs_while_a_load_waits_for_a_lock(tmp_path):
    path = tmp_path / "m.fbz"
    core.Model().save(str(path))
    with locked_by_another(path, "write") as holder, child(TICKER, str(path)) as ticker:
        assert ticker.stdout.readline() == "waiting\n"
        time.sleep(1.0)
        release(holder)
        ticks, waited = result(ticker, timeout=10)
    assert float(waited) >= 0.8
    assert ticks == "0"


# Ends with daemon threads inside save and Model(path) of an empty or a 4 MB model.
EXIT = MODEL + """
path, inputs = sys.argv[1], int(sys.argv[2])
m = dense(inputs, 2048) if inputs else core.Model()
m.save(path)
def loop(saving):
    while True:
        m.save(path) if saving else core.Model(path)
for saving in (True, False, True):
    threading.Thread(target=loop, args=(saving,), daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.parametrize("inputs", [0, 2048])
def test_the_program_exits_whole_with_daemon_threads_in_save_and_load(tmp_path, inputs):
    for run in range(3):
        with child(EXIT, str(tmp_path / "m.fbz"), str(inputs)) as program:
            out, err = program.communicate(timeout=60)
        assert (program.returncode, err) == (0, "")


# Children forked while four threads save and load one file (in place: it has two names), each
# child loading and saving it once; prints how many ended, with status 0, within 5 s.
FORKS = MODEL + """
path = sys.argv[1]
m = dense(64, 64)
m.save(path)
os.link(path, path + ".2")
stop = False
def loop(saving):
    while not stop:
        m.save(path) if saving else core.Model(path)
threads = [threading.Thread(target=loop, args=(i % 2 == 0,)) for i in range(4)]
for t in threads:
    t.start()
children = []
for _ in range(40):
    pid = os.fork()
    if pid == 0:
        try:
            core.Model(path).save(path)
            os._exit(0)
        except BaseException:
            os._exit(1)
    children.append(pid)
    time.sleep(0.005)
deadline = time.monotonic() + 5
ended = 0
while children and time.monotonic() < deadline:
    for pid in list(children):
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            children.remove(pid)
            ended += os.waitstatus_to_exitcode(status) == 0
    time.sleep(0.01)
for pid in children:
    os.kill(pid, signal.SIGKILL)
stop = True
for t in threads:
    t.join()
print(ended, flush=True)
"""


def test_children_forked_while_threads_save_and_load_all_end(tmp_path):
    with child(FORKS, str(tmp_path / "m.fbz")) as program:
        assert result(program) == ["40"]


# A thread saves an 8 MB model in place while eight children are forked; after its last save,
# with the children alive, a load and a save: prints how long each took.
FORKED_MID_SAVE = MODEL + """
path = sys.argv[1]
m = dense(4096, 2048)
m.save(path)
os.link(path, path + ".2")
saver = threading.Thread(target=lambda: [m.save(path) for _ in range(8)])
saver.start()
children = []
for _ in range(8):
    pid = os.fork()
    if pid == 0:
        time.sleep(30)
        os._exit(0)
    children.append(pid)
    time.sleep(0.02)
saver.join()
start = time.monotonic()
core.Model(path)
loaded = time.monotonic() - start
start = time.monotonic()
m.save(path)
saved = time.monotonic() - start
for pid in children:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
print(round(loaded, 2), round(saved, 2), flush=True)
"""


def test_a_child_forked_during_a_save_keeps_none_of_its_locks(tmp_path):
    with child(FORKED_MID_SAVE, str(tmp_path / "m.fbz")) as program:
        loaded, saved = result(program)
    assert float(loaded) < 2 and float(saved) < 2
