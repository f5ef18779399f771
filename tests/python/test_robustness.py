"""Objects that never ran __init__ must raise, not crash, whatever is called on them."""

import re

import pytest

import vorna.core as core
from builders import bound_classes


CLASSES = sorted(bound_classes(core), key=lambda c: c.__qualname__)

NOT_INITIALISED = "object is not initialised: its __init__() has not been called."


def members(cls):
    """(name, kind) of the instance methods and properties defined by the class itself."""
    for name, value in vars(cls).items():
        if name in ("__init__", "__new__") or isinstance(value, (type, staticmethod)):
            continue
        if isinstance(value, property):
            yield name, "property"
        elif callable(value) and not isinstance(value, classmethod):
            yield name, "method"


def unconstructed(cls):
    """The self of a subclass __init__ that has not called the base __init__ yet."""
    try:
        class Early(cls):
            def __init__(self):
                Early.caught = self
                raise LookupError
    except TypeError:
        return None
    with pytest.raises(LookupError):
        Early()
    return Early.caught


CASES = [(cls, name, kind) for cls in CLASSES if not hasattr(cls, "__members__")
         for name, kind in members(cls) if not name.startswith("_pybind11")]


def test_the_probe_reaches_the_classes_that_crashed():
    names = {c.__qualname__ for c in CLASSES}
    assert {"Layer", "Model", "Device", "HardwareDevice", "MapConstraints", "Variables",
            "Sequence", "SocDriver", "LayerParams", "Layer.Mapping", "Component"} <= names
    assert len(CASES) > 100


@pytest.mark.parametrize("cls, name, kind", CASES,
                         ids=[f"{c.__qualname__}.{n}" for c, n, _ in CASES])
def test_member_of_an_unconstructed_object(cls, name, kind):
    obj = unconstructed(cls)
    if obj is None:
        return  # the class cannot be subclassed
    if kind == "property":
        with pytest.raises(TypeError, match=re.escape(NOT_INITIALISED)):
            getattr(obj, name)
        return
    # A method may refuse the arguments first, and an operator answer NotImplemented; the
    # bound code is never reached with the object.
    for args in [(), (None,), (obj,)]:
        try:
            result = getattr(obj, name)(*args)
        except TypeError:
            continue
        assert result is NotImplemented


@pytest.mark.parametrize("call", [
    lambda: core.Model().add(unconstructed(core.Layer)),
    lambda: core.graph_utils.is_merge_layer(unconstructed(core.Layer)),
    lambda: core.Layer(unconstructed(core.LayerParams), "x"),
    lambda: core.Device(core.Selvo_v2, unconstructed(core.NP.Mesh)),
    lambda: core.MapConstraints(unconstructed(core.Device)),
    lambda: core.Selvo_v2 == unconstructed(core.HwVersion),
    lambda: core.LayerParams(core.LayerType.__new__(core.LayerType), {}),
    lambda: core.Layer(params=unconstructed(core.LayerParams), name="x"),
    lambda: unconstructed(core.HwVersion) == core.Selvo_v2,
    lambda: str(unconstructed(core.HwVersion)),
    lambda: core.LayerType.__new__(core.LayerType).name,
], ids=["add", "graph_utils", "layer", "device", "constraints", "operator", "enum", "keyword",
        "operator_self", "str", "enum_member"])
def test_unconstructed_object_is_refused_as_an_argument(call):
    with pytest.raises(TypeError, match=re.escape(NOT_INITIALISED)):
        call()


PLAIN = [c for c in CLASSES if "__setstate__" not in vars(c)]


@pytest.mark.parametrize("cls", PLAIN, ids=[c.__qualname__ for c in PLAIN])
def test_new_cannot_be_called_directly(cls):
    with pytest.raises(TypeError, match=re.escape(".__new__() cannot be called directly")):
        cls.__new__(cls)
