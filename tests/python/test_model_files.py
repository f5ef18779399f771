"""Model files: save, the file constructor and to_buffer."""

import ctypes
import ctypes.util
import os

import numpy as np
import pytest

import vorna.core as core


def params(kind, **entries):
    return core.LayerParams(getattr(core.LayerType, kind), entries)


def sample_model():
    """InputData -> Conv2D -> Dense1D, compiled, with non-zero weights."""
    m = core.Model()
    m.add(core.Layer(params("InputData", input_width=4, input_height=4, input_channels=2,
                            input_bits=8, input_signed=1), "input"))
    m.add(core.Layer(params("Conv2D", filters=3, kernel_size=3, activation=2), "conv"))
    m.add(core.Layer(params("Dense1D", units=4, weights_bits=4), "dense"))
    m.compile(core.VornaUnsupervised(24, 2))
    conv = m.get_layer("conv")
    w = conv.variables["weights"]
    conv.variables["weights"] = (np.arange(w.size) % 200 - 100).astype(np.int8).reshape(w.shape)
    dense = m.get_layer("dense")
    dense.variables["weights"] = np.full(dense.variables["weights"].shape, -3, np.int8)
    return m


def describe(model):
    return [
        (layer.name, sorted((k, layer.parameters.get(k)) for k in dir(layer.parameters)),
         [i.name for i in layer.inbounds],
         {n: (layer.variables[n].dtype, layer.variables[n].tolist())
          for n in layer.variables.names})
        for layer in model.layers
    ]


def snappy():
    name = ctypes.util.find_library("snappy")
    if name is None:
        pytest.skip("libsnappy is not installed")
    lib = ctypes.CDLL(name)
    return lib


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


def test_save_and_load_round_trip(tmp_path):
    m = sample_model()
    path = tmp_path / "model.fbz"
    assert m.save(str(path)) is None
    loaded = core.Model(str(path))
    assert loaded.to_buffer() == m.to_buffer()
    assert describe(loaded) == describe(m)
    assert loaded.learning is not None
    assert loaded.learning.get("num_classes") == 2
    # A file name given as bytes works too.
    assert core.Model(str(path).encode()).to_buffer() == m.to_buffer()


def test_file_is_the_raw_snappy_block_of_to_buffer(tmp_path):
    m = sample_model()
    path = tmp_path / "model.fbz"
    m.save(str(path))
    data = path.read_bytes()
    assert snappy_uncompress(data) == m.to_buffer()
    buffer = m.to_buffer()
    assert isinstance(buffer, bytes)
    assert buffer.startswith(b"VRNMDL01")
    assert data != buffer


def test_bytes_after_the_block_are_ignored(tmp_path):
    m = sample_model()
    path = tmp_path / "model.fbz"
    m.save(str(path))
    with open(path, "ab") as f:
        f.write(b"\x00\xff junk" * 10)
    assert core.Model(str(path)).to_buffer() == m.to_buffer()


def test_a_file_written_by_any_snappy_encoder_loads(tmp_path):
    m = sample_model()
    path = tmp_path / "other.fbz"
    path.write_bytes(snappy_compress(m.to_buffer()))
    assert core.Model(str(path)).to_buffer() == m.to_buffer()


def test_load_errors(tmp_path):
    with pytest.raises(RuntimeError, match=r"^File not found\.$"):
        core.Model(str(tmp_path / "missing.fbz"))
    with pytest.raises(RuntimeError, match=r"^File not found\.$"):
        core.Model(str(tmp_path))  # a directory cannot be read
    empty = tmp_path / "empty.fbz"
    empty.write_bytes(b"")
    with pytest.raises(RuntimeError, match=r"^File is empty\.$"):
        core.Model(str(empty))
    bad = tmp_path / "bad.fbz"
    bad.write_bytes(b"\xff" * 10)
    with pytest.raises(ValueError, match="^Cannot uncompress corrupted serialization buffer$"):
        core.Model(str(bad))
    # Five bytes claiming about 4 GiB of content are refused before anything is allocated.
    bad.write_bytes(b"\xff\xff\xff\xff\x0f")
    with pytest.raises(ValueError, match="^Cannot uncompress corrupted serialization buffer$"):
        core.Model(str(bad))


@pytest.mark.parametrize("content", [
    b"not a model at all, but a valid compressed block",
    b"VRNMDL01" + b"\xff" * 40,
    b"\x00" * 300,
])
def test_a_valid_block_of_garbage_is_refused(tmp_path, content):
    path = tmp_path / "garbage.fbz"
    path.write_bytes(snappy_compress(content))
    with pytest.raises(RuntimeError, match="^Invalid model serialization: .*\\.$"):
        core.Model(str(path))


def test_a_damaged_block_is_refused(tmp_path):
    m = sample_model()
    path = tmp_path / "model.fbz"
    m.save(str(path))
    data = bytearray(path.read_bytes())
    # Cut the block short: the missing part stays zero and the serialization is refused.
    path.write_bytes(bytes(data[: len(data) // 2]))
    with pytest.raises(RuntimeError, match="^Invalid model serialization: "):
        core.Model(str(path))


def test_files_of_2_gib_or_more_are_refused(tmp_path):
    path = tmp_path / "huge.fbz"
    with open(path, "wb") as f:
        f.truncate(2**31)  # sparse: takes no disk space
    with pytest.raises(RuntimeError, match=r"^File is too large\.$"):
        core.Model(str(path))


def test_save_errors(tmp_path):
    target = str(tmp_path / "no_such_dir" / "model.fbz")
    with pytest.raises(ValueError) as info:
        sample_model().save(target)
    assert str(info.value) == "Unable to open file for saving model: " + target


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_save_reports_a_failed_write():
    with pytest.raises(RuntimeError, match="^Unable to write model file: /dev/full$"):
        sample_model().save("/dev/full")


def test_empty_model_round_trip(tmp_path):
    path = tmp_path / "empty_model.fbz"
    core.Model().save(str(path))
    loaded = core.Model(str(path))
    assert loaded.layer_count == 0
    assert core.Model().to_buffer() == b"VRNMDL01\x00\x00\x00\x00"
