"""Hostile models and arguments: each is refused at its cause with a clear exception, or gives
the saturated result, and nothing the caller owns changes."""

import numpy as np
import pytest

import vorna.core as core
from builders import layer

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


def raw_snappy(data):
    """A raw snappy block of literals only, which any decoder reads."""
    out, n = bytearray(), len(data)
    while True:
        out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            break
    for i in range(0, len(data), 60):
        chunk = data[i:i + 60]
        out += bytes([(len(chunk) - 1) << 2]) + chunk
    return bytes(out)


def input_model_bytes(name):
    m = core.Model()
    m.add(layer("InputData", "in", input_width=1, input_height=1, input_channels=2))
    return m.to_buffer().replace(b"\x02\x00\x00\x00in", len(name).to_bytes(4, "little") + name)


@pytest.mark.parametrize("name, message", [
    (b"\xff\xfe", r"the name of layer 0 is not valid UTF-8: '\xff\xfe'."),
    (b"ok\xed\xa0\x80", r"the name of layer 0 is not valid UTF-8: 'ok\xed\xa0\x80'."),
    ("été".encode(), None),
])
def test_load_refuses_names_that_are_not_text(tmp_path, name, message):
    path = tmp_path / "model.fbz"
    path.write_bytes(raw_snappy(input_model_bytes(name)))
    if message is None:
        assert core.Model(str(path)).get_layer(0).name == name.decode()
        return
    with pytest.raises(RuntimeError) as info:
        core.Model(str(path))
    assert str(info.value) == "Invalid model serialization: " + message


def four_layer_model():
    m = core.Model()
    m.add(layer("InputData", "in", input_width=4, input_height=4, input_channels=2))
    m.add(layer("Conv2D", "a", filters=3, kernel_size=3))
    m.add(layer("Conv2D", "b", filters=5, kernel_size=3), [m.get_layer("in")])
    m.add(layer("Conv2D", "c", filters=3, kernel_size=3, kernel_stride=2), [m.get_layer("in")])
    return m


@pytest.mark.parametrize("kind, params, inbound, message", [
    ("Add", {}, ["a", "b"],
     "Layer 'x': the inputs of an Add must have one shape, got [4, 4, 3] and [4, 4, 5]."),
    ("Add", {}, ["c", "a"],
     "Layer 'x': the inputs of an Add must have one shape, got [2, 2, 3] and [4, 4, 3]."),
    ("FullyConnected", {"units": 0, "weights_bits": 2}, ["in"],
     "Layer 'x': a FullyConnected layer needs at least one unit ('units' is 0, output shape "
     "[1, 1, 0])."),
])
def test_add_refuses_layers_that_cannot_run(kind, params, inbound, message):
    m = four_layer_model()
    before = m.to_buffer()
    new = layer(kind, "x", **params)
    with pytest.raises(ValueError) as info:
        m.add(new, [m.get_layer(n) for n in inbound])
    assert str(info.value) == message
    assert m.to_buffer() == before
    assert list(new.variables.names) == [] and list(new.inbounds) == []


@pytest.mark.parametrize("kind", ["Dense1D", "FullyConnected"])
@pytest.mark.parametrize("dims, units, sizes", [
    ((5440, 2720, 513), 2,
     "7590758400 values (input shape [5440, 2720, 513]) by 2 units needs 15181516800"),
    ((65536, 65536, 1), 1, "4294967296 values (input shape [65536, 65536, 1]) by 1 units needs "
     "4294967296"),
    # A 64-bit product would wrap to 0.
    ((1 << 30, 1 << 30, 16), 3, "18446744073709551616 values (input shape [1073741824, "
     "1073741824, 16]) by 3 units needs 55340232221128654848"),
])
def test_add_refuses_dense_weights_no_tensor_can_hold(kind, dims, units, sizes):
    m = core.Model()
    m.add(layer("InputData", "in", input_width=dims[0], input_height=dims[1],
                input_channels=dims[2]))
    new = layer(kind, "x", units=units, weights_bits=2)
    with pytest.raises(ValueError) as info:
        m.add(new)
    assert str(info.value) == (
        f"Layer 'x': the flattened input of {sizes} weights, more than a tensor can hold "
        "(4294967295).")
    assert len(m.layers) == 1 and list(new.variables.names) == []


M = INT32_MIN


@pytest.mark.parametrize("a, b, bits, expected", [
    ([[M, M]], [[M], [M]], 0, INT32_MAX),           # 2^62 + 2^62 leaves int64
    ([[M, M, M]], [[M], [M], [1]], 0, INT32_MAX),   # stays at the bound, then goes on
    ([[M, M]], [[INT32_MAX], [INT32_MAX]], 0, INT32_MIN),
    ([[M, M]], [[M], [M]], 8, 127),
])
def test_matmul_saturates_at_every_addition(a, b, bits, expected):
    out = core.nn.matmul(np.array(a, np.int32), np.array(b, np.int32), bits, False)
    assert out.tolist() == [[expected]]
