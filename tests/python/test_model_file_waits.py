"""Waits of Model.save and the file constructor, and what their holding the interpreter lock from
start to end means: Ctrl-C sent by another process ends a wait, a handler that returns lets it go
on, no other thread runs meanwhile, threads in them do not abort the program's exit, and a handler
that forks during a wait leaves a child that holds no lock and whose copy of the call fails at
once. Each case runs in a child interpreter that starts with SIGINT's default disposition
(whatever this one's is), is signalled from here once it waits, and is killed and reaped if its
time runs out."""

import contextlib
import os
import select
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

# Waits in a save or load, signalled from outside: prints "waiting" just before the call,
# "handled" each time the SIGUSR1 handler runs, then how the call ended, how many SIGUSR1 the
# handler saw, how long the call took and how often the handler of a 10 ms timer ran (with a
# third argument "timer": the timer runs from the call's start).
WAITER = MODEL + """
action, path = sys.argv[1], sys.argv[2]
m = dense(512, 256)  # 128 KiB of weights: more than a pipe holds
calls, ticks = [], []
def handle(*_):
    calls.append(time.monotonic())
    print("handled", flush=True)
signal.signal(signal.SIGUSR1, handle)
signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
if action == "fifo":
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # never reads
print("waiting", flush=True)
if sys.argv[3:] == ["timer"]:
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
start = time.monotonic()
try:
    if action in ("fifo", "save"):
        m.save(path)
    else:
        core.Model(path)
    ended = "done"
except KeyboardInterrupt:
    ended = "KeyboardInterrupt"
signal.setitimer(signal.ITIMER_REAL, 0)
print(ended, len(calls), round(time.monotonic() - start, 2), len(ticks), flush=True)
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
    """A child interpreter running `args`, in a process group of its own; killed with every
    process it forked, and reaped, when the block ends."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-c", *args], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint,
                               start_new_session=True)
    try:
        yield process
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
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


def waiting_on(process, path, count=1, timeout=10):
    """Returns once `process` holds `count` descriptors of `path`: a save or load opens the file
    just before it waits on it, and a signal arriving from then on is handled in its wait."""
    deadline = time.monotonic() + timeout
    fds = f"/proc/{process.pid}/fd"
    while True:
        found = 0
        for fd in os.listdir(fds):
            with contextlib.suppress(OSError):
                found += os.readlink(os.path.join(fds, fd)) == str(path)
        if found >= count:
            return
        assert process.poll() is None and time.monotonic() < deadline, "the call never waited"
        time.sleep(0.002)


def result(process, timeout=60):
    out, err = process.communicate(timeout=timeout)
    assert process.returncode == 0, out + err
    return out.split()


@pytest.mark.parametrize("action, lock", [
    ("fifo", None),    # a pipe no one reads: no deadline, but Ctrl-C ends it
    ("fifo", "timer"),  # the same beside a timer whose signal cuts every poll of the wait short
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
        waiter = stack.enter_context(child(WAITER, action, str(path), str(lock)))
        assert waiter.stdout.readline() == "waiting\n"
        waiting_on(waiter, path, count=2 if action == "fifo" else 1)  # the FIFO's reader too
        time.sleep(0.3 if lock == "timer" else 0)
        sent = time.monotonic()
        waiter.send_signal(signal.SIGINT)
        kind, calls, waited, ticks = result(waiter, timeout=10)
        ended = time.monotonic() - sent
    assert (kind, calls) == ("KeyboardInterrupt", "0")
    assert ended < 1 and float(waited) < 4  # not the 5 s of a lock's wait
    assert int(ticks) >= (10 if lock == "timer" else 0)  # the timer's handler ran meanwhile
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
        waiting_on(waiter, path)
        waiter.send_signal(signal.SIGUSR1)
        # The handler ran inside the wait; the wait goes on after it for as long as the lock
        # is held.
        assert waiter.stdout.readline() == "handled\n"
        time.sleep(0.7)
        release(holder)
        kind, calls, waited, _ = result(waiter, timeout=10)
    assert (kind, calls) == ("done", "1")
    assert 0.7 <= float(waited) < 4.5


# While a load waits for another's lock, the program's other threads do not run: prints how
# often a ticking thread ran inside the call (well inside: a busy machine may run the ticker
# once late, as the call starts, or early, as it ends).
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
print(sum(start + 0.25 < t < end - 0.25 for t in ticks), round(end - start, 2), flush=True)
"""


def test_no_other_thread_runs_while_a_load_waits_for_a_lock(tmp_path):
    path = tmp_path / "m.fbz"
    core.Model().save(str(path))
    with locked_by_another(path, "write") as holder, child(TICKER, str(path)) as ticker:
        assert ticker.stdout.readline() == "waiting\n"
        waiting_on(ticker, path)
        time.sleep(1.5)
        release(holder)
        ticks, waited = result(ticker, timeout=10)
    assert float(waited) >= 1.5
    assert ticks == "0"


# Ends with daemon threads inside save and Model(path) of an empty or a 4 MB model, once each
# of them has ended five calls (however busy the machine), so that they are running their loops
# when the program exits.
EXIT = MODEL + """
path, inputs = sys.argv[1], int(sys.argv[2])
m = dense(inputs, 2048) if inputs else core.Model()
m.save(path)
done = [threading.Semaphore(0) for _ in range(3)]
def loop(saving, calls):
    while True:
        m.save(path) if saving else core.Model(path)
        calls.release()
for saving, calls in zip((True, False, True), done):
    threading.Thread(target=loop, args=(saving, calls), daemon=True).start()
deadline = time.monotonic() + 30
for calls in done:
    for _ in range(5):
        if not calls.acquire(timeout=max(0, deadline - time.monotonic())):
            sys.exit("a thread did not run its calls")
"""


@pytest.mark.parametrize("inputs", [0, 2048])
def test_the_program_exits_whole_with_daemon_threads_in_save_and_load(tmp_path, inputs):
    for run in range(3):
        with child(EXIT, str(tmp_path / "m.fbz"), str(inputs)) as program:
            out, err = program.communicate(timeout=60)
        assert (program.returncode, err) == (0, "")


# A save in place (the file has two names) or a load, waiting for another process's lock, or a
# save into a pipe no one reads yet ("fifo"), whose SIGUSR1 handler forks. The child waits inside
# the handler, holding its copies of the call's descriptors, until SIGUSR2; then, at the descriptor
# limit ("limit") it frees numbers that the handler filled, or, as a daemon does ("closerange"),
# closes every descriptor and opens files of its own under numbers 3 to 10, the call's among them;
# else it opens two, and returns into its copy of the call. Each process prints how its call
# ended; the child also whether its files are as they were and still open, then lives on until
# killed. Both print into one pipe, each line in a single write (shorter than a pipe's atomic
# write), so that their lines never interleave, as print's words can when the output is
# unbuffered (PYTHONUNBUFFERED).
FORK_IN_WAIT = MODEL + """
import contextlib, resource
action, path, limit = sys.argv[1:4]
def say(*words):
    os.write(1, (" ".join(map(str, words)) + "\\n").encode())
m = dense(512, 256) if action == "fifo" else dense(64, 64)
mine = [path + ".mine%d" % i for i in range(2)]
own, forked = [], []
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR2})  # pending until the child waits
def fork(*_):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    filler = []
    if limit == "limit":
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(soft, 256), hard))
        with contextlib.suppress(OSError):
            while True:
                filler.append(os.open(os.devnull, os.O_RDONLY))
    pid = os.fork()
    if pid == 0:
        forked.append("child")
        say("child", os.getpid(), "holds its copies")
        signal.sigwait({signal.SIGUSR2})
        if limit == "closerange":
            os.closerange(3, 1 << 16)
        for fd in filler[-4:]:
            os.close(fd)
        own.extend(os.open(mine[i % 2], os.O_RDWR) for i in range(8 if limit == "closerange" else 2))
        return
    for fd in filler:
        os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    say("forked", pid)
signal.signal(signal.SIGUSR1, fork)
say("waiting")
try:
    m.save(path) if action in ("save", "fifo") else core.Model(path)
    ended = "done"
except RuntimeError as failure:
    ended = str(failure)
if forked:
    try:  # a descriptor the call's copy closed fails too
        whole = len(own) == (8 if limit == "closerange" else 2) and all(
            os.pread(fd, 100, 0) == b"mine" for fd in own)
    except OSError:
        whole = False
    say("child", ended, "| files whole" if whole else "| files changed")
    time.sleep(60)
say("parent", ended)
"""


def read_to_end(fd, timeout=5):
    """What the pipe open as `fd` (not blocking) holds until every writer has closed it."""
    data, deadline = b"", time.monotonic() + timeout
    while select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return data
        data += chunk
    raise AssertionError("a process still holds the pipe open for writing")


@pytest.mark.parametrize("limit", ["limit", "no limit", "closerange"])
@pytest.mark.parametrize("action, lock", [("save", "read"), ("load", "write"), ("fifo", None)])
def test_a_fork_during_a_wait_leaves_a_child_that_holds_no_lock_and_whose_call_fails(
        tmp_path, action, lock, limit):
    path = tmp_path / "m.fbz"
    model = core.Model()
    names = ["m.fbz", "m.fbz.mine0", "m.fbz.mine1"]
    for i in range(2):
        (tmp_path / f"m.fbz.mine{i}").write_bytes(b"mine")
    with contextlib.ExitStack() as stack:
        if action == "fifo":
            os.mkfifo(path)
            reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            stack.callback(os.close, reader)
            names.append("read.fbz")
        else:
            model.save(str(path))
            os.link(path, tmp_path / "other.fbz")
            holder = stack.enter_context(locked_by_another(path, lock))
            names.append("other.fbz")
        waiter = stack.enter_context(child(FORK_IN_WAIT, action, str(path), limit))
        assert waiter.stdout.readline() == "waiting\n"
        waiting_on(waiter, path)
        waiter.send_signal(signal.SIGUSR1)
        # The parent's line and the child's, in either order.
        lines = [waiter.stdout.readline(), waiter.stdout.readline()]
        said = dict(line.rstrip("\n").split(" ", 1) for line in lines if " " in line)
        assert said.keys() == {"forked", "child"}, lines
        pid = int(said["forked"])
        assert said["child"] == f"{pid} holds its copies"
        # While the child holds its copies, the parent's call ends and this process loads and
        # saves at once; a pipe ends when the parent's save has written it all. The child, in
        # the waiter's process group, is killed with it.
        if action == "fifo":
            (tmp_path / "read.fbz").write_bytes(read_to_end(reader))
            loaded = core.Model(str(tmp_path / "read.fbz"))
        else:
            release(holder)
        assert waiter.stdout.readline() == "parent done\n"
        if action != "fifo":
            start = time.monotonic()
            loaded = core.Model(str(path))
            model.save(str(path))
            assert time.monotonic() - start < 1
        os.kill(pid, signal.SIGUSR2)
        verb, kind = ("read", "load") if action == "load" else ("write", "save")
        assert waiter.stdout.readline() == (f"child Unable to {verb} model file: {path} (the"
                                            f" process forked during the {kind}) | files whole\n")
    # The waiter's save landed whole; the files beside it are as they were.
    assert (loaded.to_buffer() != model.to_buffer()) == (action != "load")
    assert sorted(os.listdir(tmp_path)) == names
    assert all((tmp_path / f"m.fbz.mine{i}").read_bytes() == b"mine" for i in range(2))
    if action != "fifo":
        assert core.Model(str(tmp_path / "other.fbz")).to_buffer() == model.to_buffer()
