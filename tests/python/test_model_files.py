"""Model files: save, the file constructor and to_buffer."""

import ctypes
import ctypes.util
import os

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
    # Cut the block short: the missing part stays zero and the serialization is refused.
    path.write_bytes(data[: len(data) // 2])
    with pytest.raises(RuntimeError, match="^Invalid model serialization: "):
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
    (lambda path: path.mkdir(), RuntimeError, r"^File not found\.$"),  # a directory cannot be read
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
