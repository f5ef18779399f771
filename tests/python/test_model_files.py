"""Model files: save, the file constructor and to_buffer."""

import contextlib
import ctypes
import ctypes.util
import errno
import fcntl
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

import vorna.core as core
from builders import layer


def sample_model():
    """InputData -> Conv2D -> Dense1D, compiled, with non-zero weights."""
    m = core.Model()
    m.add(layer("InputData", "input", input_width=4, input_height=4, input_channels=2,
                input_bits=8, input_signed=1))
    m.add(layer("Conv2D", "conv", filters=3, kernel_size=3, activation=2))
    m.add(layer("Dense1D", "dense", units=4, weights_bits=4))
    m.compile(core.VornaUnsupervised(24, 2))
    conv = m.get_layer("conv")
    w = conv.variables["weights"]
    conv.variables["weights"] = (np.arange(w.size) % 200 - 100).astype(np.int8).reshape(w.shape)
    dense = m.get_layer("dense")
    dense.variables["weights"] = np.full(dense.variables["weights"].shape, -3, np.int8)
    return m


def describe(model):
    return [(l.name, [(k, l.parameters.get(k)) for k in dir(l.parameters)], [i.name for i in l.inbounds],
             {n: (l.variables[n].dtype, l.variables[n].tolist()) for n in l.variables.names})
            for l in model.layers]


def snappy():
    name = ctypes.util.find_library("snappy")
    if name is None:
        pytest.skip("libsnappy is not installed")
    return ctypes.CDLL(name)


def snappy_uncompress(data):
    lib = snappy()
    length = ctypes.c_size_t()
    assert lib.snappy_uncompressed_length(data, ctypes.c_size_t(len(data)),
                                          ctypes.byref(length)) == 0
    out = ctypes.create_string_buffer(max(length.value, 1))
    assert lib.snappy_uncompress(data, ctypes.c_size_t(len(data)), out,
                                 ctypes.byref(length)) == 0
    return out.raw[: length.value]


def snappy_compress(data):
    lib = snappy()
    lib.snappy_max_compressed_length.restype = ctypes.c_size_t
    size = ctypes.c_size_t(lib.snappy_max_compressed_length(ctypes.c_size_t(len(data))))
    out = ctypes.create_string_buffer(size.value)
    assert lib.snappy_compress(data, ctypes.c_size_t(len(data)), out, ctypes.byref(size)) == 0
    return out.raw[: size.value]


def test_save_load_and_the_raw_snappy_block(tmp_path):
    m = sample_model()
    path = tmp_path / "model.fbz"
    assert m.save(str(path)) is None
    loaded = core.Model(str(path).encode())  # a file name given as bytes works too
    assert loaded.to_buffer() == m.to_buffer() and describe(loaded) == describe(m)
    assert loaded.learning.get("num_classes") == 2
    data = path.read_bytes()
    buffer = m.to_buffer()
    assert buffer.startswith(b"VRNMDL01") and snappy_uncompress(data) == buffer != data
    # Bytes after the block are ignored; a block written by any snappy encoder loads.
    path.write_bytes(data + b"\x00\xff junk" * 10)
    assert core.Model(str(path)).to_buffer() == buffer
    path.write_bytes(snappy_compress(buffer))
    assert core.Model(str(path)).to_buffer() == buffer
    # A block cut short is damaged, however little is missing.
    for cut in [len(data) // 2, 7, 6, 5, 4, 3, 2, 1]:
        path.write_bytes(data[:-cut])
        with pytest.raises(ValueError, match=CORRUPT):
            core.Model(str(path))
    core.Model().save(str(path))
    assert core.Model(str(path)).layer_count == 0
    assert core.Model().to_buffer() == b"VRNMDL01\x00\x00\x00\x00"


CORRUPT = "^Cannot uncompress corrupted serialization buffer$"
INVALID = "^Invalid model serialization: .*\\.$"


def garbage(content):
    return lambda path: path.write_bytes(snappy_compress(content))


@pytest.mark.parametrize("write, error, message", [
    (lambda path: None, RuntimeError, r"^File not found\.$"),
    (lambda path: path.mkdir(), RuntimeError, r"^File is empty\.$"),  # a directory holds no bytes
    (lambda path: path.write_bytes(b""), RuntimeError, r"^File is empty\.$"),
    (lambda path: path.write_bytes(b"\xff" * 10), ValueError, CORRUPT),
    # Five bytes claiming about 4 GiB of content are refused before anything is allocated.
    (lambda path: path.write_bytes(b"\xff\xff\xff\xff\x0f"), ValueError, CORRUPT),
    # 2 GiB, sparse: takes no disk space.
    (lambda path: path.write_bytes(b"") or os.truncate(path, 2**31), RuntimeError,
     r"^File is too large\.$"),
    # Valid compressed blocks of garbage.
    (garbage(b"not a model at all, but a valid compressed block"), RuntimeError, INVALID),
    (garbage(b"VRNMDL01" + b"\xff" * 40), RuntimeError, INVALID),
    (garbage(b"\x00" * 300), RuntimeError, INVALID),
])
def test_load_errors(tmp_path, write, error, message):
    path = tmp_path / "model.fbz"
    write(path)
    with pytest.raises(error, match=message):
        core.Model(str(path))


def test_save_errors(tmp_path):
    target = str(tmp_path / "no_such_dir" / "model.fbz")
    with pytest.raises(ValueError) as info:
        sample_model().save(target)
    assert str(info.value) == "Unable to open file for saving model: " + target
    if os.path.exists("/dev/full"):
        with pytest.raises(RuntimeError, match="^Unable to write model file: /dev/full$"):
            sample_model().save("/dev/full")


def dense_model(inputs, units):
    """in (inputs, 1, 1) -> Dense1D of `units` units with incompressible weights."""
    m = core.Model()
    m.add(layer("InputData", "in", input_width=inputs, input_height=1, input_channels=1))
    m.add(layer("Dense1D", "d", units=units))
    d = m.get_layer("d")
    shape = d.variables["weights"].shape
    d.variables["weights"] = np.random.default_rng(units).integers(-128, 128, shape, np.int8)
    return m


LOADER = """
import sys, time
import vorna.core as core

def layout(m):
    return [(l.name, [(k, l.parameters.get(k)) for k in dir(l.parameters)],
             [(n, l.variables[n].shape) for n in l.variables.names]) for l in m.layers]

path, models = sys.argv[1], [core.Model(p) for p in sys.argv[2:]]
buffers, layouts = [m.to_buffer() for m in models], [layout(m) for m in models]
seen, end = set(), time.monotonic() + 1.5
while time.monotonic() < end:
    try:
        m = core.Model(path)
    except (RuntimeError, ValueError):
        seen.add("refused")
        continue
    if m.to_buffer() in buffers:
        seen.add(buffers.index(m.to_buffer()))
    elif layout(m) in layouts:
        seen.add("torn")  # read while a write was half done: the layout of one, mixed values
    else:
        sys.exit("a load gave neither model: %r" % layout(m))
print(sorted(seen, key=str))
"""


def test_load_while_another_process_rewrites_the_file(tmp_path):
    # Two models with files of one size (bytes after the block are ignored) but serializations of
    # about 500 and 9000 bytes: a length header read from one with the content of the other is
    # what a rewrite between two reads of the file gave the loader. A read that meets a write
    # half done may mix the two files' values; the format has no checksum to tell, but the
    # layout of the model read is still one of the two.
    files = []
    for i, m in enumerate([dense_model(4, 2), dense_model(128, 64)]):
        m.save(str(tmp_path / f"{i}.fbz"))
        files.append((tmp_path / f"{i}.fbz").read_bytes())
    size = max(map(len, files))
    files = [f + bytes(size - len(f)) for f in files]
    path = tmp_path / "model.fbz"
    path.write_bytes(files[0])
    loader = subprocess.Popen([sys.executable, "-c", LOADER, str(path), str(tmp_path / "0.fbz"),
                               str(tmp_path / "1.fbz")], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    fd = os.open(path, os.O_WRONLY)
    try:
        while loader.poll() is None:
            for content in files:
                os.pwrite(fd, content, 0)
    finally:
        os.close(fd)
    out, err = loader.communicate()
    assert loader.returncode == 0, err
    assert "0" in out and "1" in out, out


def nobody_ids():
    """The ids of 'nobody', as which root runs a step in a folder of TMPDIR; skips the test where
    there is no such user, or where 'nobody' cannot pass through TMPDIR (a folder of root's alone,
    such as the 0700 /tmp/user/0 that pam_tmpdir makes), which is checked as the tests drop."""
    try:
        import pwd
        entry = pwd.getpwnam("nobody")
    except (ImportError, KeyError):
        pytest.skip("runs as root, and there is no user 'nobody' to act as")
    ids, tmp = (entry.pw_uid, entry.pw_gid), tempfile.gettempdir()
    pid = os.fork()
    if pid == 0:
        status = 2
        try:
            os.setgid(ids[1])
            os.setuid(ids[0])
            status = 0 if os.access(tmp, os.X_OK) else 1
        finally:
            os._exit(status)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if status == 2:
        pytest.skip("root cannot become the user 'nobody' here")
    if status != 0:
        pytest.skip(f"the user 'nobody' cannot reach the tests' temporary folder ({tmp}): it or a "
                    "folder above it lets no other user through; set TMPDIR to a folder every "
                    "user can pass through, such as /tmp")
    return ids


def test_save_in_place_when_the_directory_takes_no_new_file():
    """A writable file in a directory the caller cannot write is written in place."""
    ids = nobody_ids() if os.geteuid() == 0 else None
    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "model.fbz")
        dense_model(4, 2).save(path)
        os.chmod(path, 0o666)
        os.chmod(directory, 0o755 if ids else 0o555)
        new = dense_model(8, 3)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                if ids:
                    os.setgid(ids[1])
                    os.setuid(ids[0])
                new.save(path)
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert core.Model(path).to_buffer() == new.to_buffer()
        assert os.listdir(directory) == ["model.fbz"]
    finally:
        os.chmod(directory, 0o700)
        shutil.rmtree(directory)


def long_name(tmp_path, first, second):
    # A name of 250 characters: the temporary file's name is short.
    path = tmp_path / ("m" * 246 + ".fbz")
    first.save(str(path))
    second.save(str(path))
    assert core.Model(str(path)).to_buffer() == second.to_buffer()
    assert os.listdir(tmp_path) == [path.name]


def hard_links(tmp_path, first, second):
    # Every name of the file sees the new model, cut to its length.
    one, two, alone = tmp_path / "one.fbz", tmp_path / "two.fbz", tmp_path / "alone.fbz"
    second.save(str(one))
    os.link(one, two)
    first.save(str(two))
    first.save(str(alone))
    assert one.read_bytes() == alone.read_bytes() and os.path.samefile(one, two)
    assert os.stat(one).st_nlink == 2
    assert sorted(os.listdir(tmp_path)) == ["alone.fbz", "one.fbz", "two.fbz"]


def link_loop(tmp_path, first, second):
    # Opening a symbolic-link loop fails: the save is refused and both links stay.
    a, b = tmp_path / "a.fbz", tmp_path / "b.fbz"
    os.symlink(b.name, a)
    os.symlink(a.name, b)
    with pytest.raises(ValueError) as info:
        first.save(str(a))
    assert str(info.value) == "Unable to open file for saving model: " + str(a)
    assert os.readlink(a) == b.name and os.readlink(b) == a.name


@pytest.mark.parametrize("case", [long_name, hard_links, link_loop])
def test_save_wherever_opening_succeeds(tmp_path, case):
    case(tmp_path, dense_model(4, 2), dense_model(8, 3))


@pytest.mark.parametrize("action, name, error, message", [
    (lambda p: dense_model(4, 2).save(p), "m.fbz\0.x", ValueError,
     "Unable to open file for saving model: {}"),
    (core.Model, "good.fbz\0/../x", RuntimeError, "File not found."),
], ids=["save", "load"])
def test_a_path_with_a_null_byte_is_refused(tmp_path, action, name, error, message):
    # The system would stop at the null byte and use another file than the one named.
    dense_model(4, 2).save(str(tmp_path / "good.fbz"))
    path = str(tmp_path / name)
    with pytest.raises(error) as info:
        action(path)
    assert str(info.value) == message.format(path.replace("\0", "\\0"))
    assert os.listdir(tmp_path) == ["good.fbz"]


def test_load_refuses_a_pipe_without_waiting_and_measures_a_device(tmp_path):
    pipe = tmp_path / "pipe.fbz"
    os.mkfifo(pipe)
    code = ("import sys, time, vorna.core as core\n"
            "for p in sys.argv[1:]:\n"
            "    start = time.monotonic()\n"
            "    try: core.Model(p)\n"
            "    except RuntimeError as e: print(e, time.monotonic() - start < 1)\n")
    # Opening a pipe no one writes to would wait forever; it has no size to measure.
    out = subprocess.run([sys.executable, "-c", code, str(pipe), "/dev/null"], timeout=60,
                         capture_output=True, text=True)
    assert out.stdout.splitlines() == ["File is empty. True"] * 2, out.stderr


OLD_MODEL, NEW_MODEL = dense_model(128, 100), dense_model(128, 110)  # 4 pages each
BIG_MODEL = dense_model(256, 200)  # above 40,000 bytes


HOLDER = ("import fcntl, sys, time\n"
          "f = open(sys.argv[1], 'r+b' if sys.argv[2] == 'write' else 'rb')\n"
          "fcntl.lockf(f, fcntl.LOCK_EX if sys.argv[2] == 'write' else fcntl.LOCK_SH)\n"
          "print('locked', flush=True)\n"
          "time.sleep(60)\n")


@contextlib.contextmanager
def locked_by_another_process(path, kind):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(path), kind],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        yield
    finally:
        holder.kill()
        holder.wait()


@pytest.mark.parametrize("kind, message", [
    # Read past the lock, a file that a writer holds may be half one model over another.
    ("write", "Unable to read model file: {} (locked by a writer)"),
    # A reader holds back an in-place save (two names), not a load.
    ("read", "Unable to write model file: {} (locked by another process)"),
], ids=["writer", "reader"])
def test_a_lock_another_process_holds_past_the_wait_refuses(tmp_path, kind, message):
    path = tmp_path / "m.fbz"
    OLD_MODEL.save(str(path))
    os.link(path, tmp_path / "other.fbz")
    before = path.read_bytes()
    with locked_by_another_process(path, kind):
        start = time.monotonic()
        with pytest.raises(RuntimeError) as info:
            if kind == "write":
                core.Model(str(path))
            else:
                NEW_MODEL.save(str(path))
        waited = time.monotonic() - start
        if kind == "read":
            start = time.monotonic()
            assert core.Model(str(path)).to_buffer() == OLD_MODEL.to_buffer()
            assert time.monotonic() - start < 1
    assert str(info.value) == message.format(path)
    assert 4 <= waited < 20
    assert path.read_bytes() == before


@pytest.mark.parametrize("kind", [fcntl.LOCK_EX, fcntl.LOCK_SH], ids=["write", "read"])
def test_a_process_holding_its_own_lockf_saves_in_place_and_loads_at_once(tmp_path, kind):
    path = tmp_path / "m.fbz"
    OLD_MODEL.save(str(path))
    os.link(path, tmp_path / "other.fbz")  # written in place
    loaded = []
    with open(path, "r+b") as guard:
        for action in (lambda: NEW_MODEL.save(str(path)),
                       lambda: loaded.append(core.Model(str(path)).to_buffer())):
            fcntl.lockf(guard, kind)  # again: the module's close of the file drops it
            start = time.monotonic()
            action()
            assert time.monotonic() - start < 1
    assert loaded == [NEW_MODEL.to_buffer()]
    assert (tmp_path / "other.fbz").read_bytes() == path.read_bytes()


def needs_root_and_nobody():
    """The ids of 'nobody'; skips the test unless it runs as root, which alone can give files
    to another user and become it."""
    if os.geteuid() != 0:
        pytest.skip("needs root's rights, to give files to the user 'nobody' and act as it")
    return nobody_ids()


def as_nobody(action, file_size=None):
    """Runs `action` in a forked child as 'nobody', under a file-size limit if one is given;
    returns what it raised as "Type: message", or None."""
    ids = needs_root_and_nobody()
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        result = b"setup"
        try:
            if file_size is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))
            os.setgid(ids[1])
            os.setuid(ids[0])
            try:
                action()
                result = b""
            except Exception as e:  # noqa: BLE001 - reported to the parent
                result = f"{type(e).__name__}: {e}".encode()
        finally:
            os.write(write, result)
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        result = f.read().decode()
    os.waitpid(pid, 0)
    assert result != "setup"
    return result or None


WRITE = "RuntimeError: Unable to write model file: "
OPEN = "ValueError: Unable to open file for saving model: "


@pytest.mark.parametrize("file_mode, dir_mode, owned, file_size, new, refusal", [
    # The directory takes no new file: written in place, and under a size limit refused before
    # any old byte is overwritten.
    (0o666, 0o755, False, 40000, BIG_MODEL, WRITE),
    # A file the caller may not write is kept, though its directory could take a new one.
    (0o444, 0o755, True, None, NEW_MODEL, OPEN),
    # Another user's writable file in a sticky directory cannot be renamed over: in place.
    (0o666, 0o1777, False, None, NEW_MODEL, None),
], ids=["no new file, size limit", "protected", "sticky"])
def test_a_refused_save_keeps_the_old_model(file_mode, dir_mode, owned, file_size, new, refusal):
    ids = needs_root_and_nobody()
    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "m.fbz")
        OLD_MODEL.save(path)
        if owned:
            os.chown(directory, *ids)
            os.chown(path, *ids)
        os.chmod(path, file_mode)
        os.chmod(directory, dir_mode)
        old, st = open(path, "rb").read(), os.stat(path)
        error = as_nobody(lambda: new.save(path), file_size)
        assert error == (refusal and refusal + path)
        if refusal:
            assert open(path, "rb").read() == old
        else:
            assert core.Model(path).to_buffer() == new.to_buffer()
        assert os.listdir(directory) == ["m.fbz"]
        now = os.stat(path)
        assert (now.st_ino, now.st_uid, now.st_mode) == (st.st_ino, st.st_uid, st.st_mode)
    finally:
        os.chmod(directory, 0o700)
        shutil.rmtree(directory)


@pytest.fixture
def small_file_system(tmp_path):
    """A file system of 16 pages of 4 KiB mounted at tmp_path / "fs"; skipped where no file
    system can be mounted."""
    if os.geteuid() != 0:
        pytest.skip("needs root's rights, to mount a small file system")
    mount = tmp_path / "fs"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("runs as root, but mounting a small file system failed here (a container may "
                    f"forbid it): {' '.join(mounted.stderr.split())}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


@pytest.mark.parametrize("links, new, refused", [
    # No room for a second copy of 4 pages: the file's own 4 pages take the new model.
    (1, NEW_MODEL, False),
    # 13 pages do not fit in 4 + 2: refused before the file is touched.
    (2, BIG_MODEL, True),
], ids=["in place", "refused"])
def test_save_on_a_full_file_system(small_file_system, links, new, refused):
    path = small_file_system / "m.fbz"
    OLD_MODEL.save(str(path))
    if links == 2:
        os.link(path, small_file_system / "other.fbz")
    fd = os.open(small_file_system / "filler", os.O_WRONLY | os.O_CREAT)
    try:
        with pytest.raises(OSError) as info:
            while True:
                os.write(fd, bytes(4096))
        assert info.value.errno == errno.ENOSPC
        os.ftruncate(fd, os.fstat(fd).st_size // 4096 * 4096 - 2 * 4096)  # 2 pages free
    finally:
        os.close(fd)
    old = path.read_bytes()
    if refused:
        with pytest.raises(RuntimeError) as info:
            new.save(str(path))
        assert str(info.value) == "Unable to write model file: " + str(path)
    else:
        new.save(str(path))
    for name in ["m.fbz", "other.fbz"][:links]:
        content = (small_file_system / name).read_bytes()
        assert content == old if refused else snappy_uncompress(content) == new.to_buffer()
    assert sorted(os.listdir(small_file_system)) == ["filler", "m.fbz", "other.fbz"][:links + 1]
